// Shared internals of the business layer: module globals read at each use,
// logging through the module logger, text formatting like an f-string.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/coro.hpp"
#include "common/native.hpp"

namespace relvane {
namespace py = pybind11;
using tv::OptStr;
using tv::Param;
using tv::Real;
using tv::Scope;
using tv::Task;
using namespace pybind11::literals;

// The module's globals; set when start-up begins.
void set_globals(py::dict globals);
py::dict globals();

// A module global, looked up now (tests and later modules may replace it).
py::object G(const char* name);

// Python's str.format: "{}" renders a value as an f-string would.
template <class... A>
py::str fmt(const char* pattern, A&&... args) {
  return py::str(pattern).format(std::forward<A>(args)...);
}

void log_debug(py::handle text);
void log_info(py::handle text);
void log_warning(py::handle text);
void log_error(py::handle text);

// Checked views of fields that must hold a dict or a list.
py::dict as_dict(py::handle o, const char* what);
py::list as_list(py::handle o, const char* what);

// Python truth value; raises like bool() would.
bool truthy(py::handle o);

// Runs `f` when the scope ends, on every path; errors from it are reported as
// unraisable so that they never replace the error in flight.
template <class F>
struct Finally {
  F f;
  ~Finally() {
    try {
      f();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("cleanup");
    } catch (...) {
    }
  }
};
template <class F>
Finally(F) -> Finally<F>;

// Definitions of each area, called by start-up in definition order.
void define_helpers(Scope& m);             // code hash, paths, validation
void define_parameter_helpers(Scope& m);   // function-parameter extraction
void define_result_batcher(Scope& m);
void define_connection_manager(Scope& m);
void define_configuration(Scope& m);       // port

// Methods of ConnectionManager, in the class's order.
void define_transport_methods(Scope& cls);   // __init__ ... send_to_addin
void define_request_methods(Scope& cls);     // send_and_wait_response, handle_response
void define_broadcast(Scope& cls);

}  // namespace relvane
