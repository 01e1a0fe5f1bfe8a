// Shared internals of the business layer: module globals read at each use,
// logging through the module logger, text formatting like an f-string.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/coro.hpp"
#include "common/native.hpp"
#include "common/pyapi.hpp"

namespace relvane {
namespace py = pybind11;
using tv::OptDict;
using tv::OptList;
using tv::OptStr;
using tv::Param;
using tv::Real;
using tv::Scope;
using tv::Task;
using namespace pybind11::literals;

// The module's globals; set when start-up begins.
void set_globals(py::dict globals);
py::dict globals();

// The common short forms for Python calls (common/pyapi.hpp), under the
// names every part of the business layer uses.
using tv::attr;
using tv::borrow;
using tv::call;
using tv::call_method;
using tv::contains;
using tv::find;
using tv::get;
using tv::intern;
using tv::set_attr;
using tv::set_item;
using tv::snapshot;
using tv::steal;
using tv::truthy;

// A module global, looked up now (tests and later modules may replace it).
py::object G(PyObject* key);

// Python's str.format: "{}" renders a value as an f-string would.
template <class... A>
py::str fmt(const char* pattern, A&&... args) {
  return py::str(pattern).format(std::forward<A>(args)...);
}

void log_debug(py::handle text);
void log_info(py::handle text);
void log_warning(py::handle text);
void log_error(py::handle text);
// An error line with the traceback of `error` (an exception object) attached.
void log_error_with_traceback(py::handle text, py::handle error);

// Whether the module logger (read now) would write a debug line.
bool debug_enabled();
// A debug line, formatted only when it will be written.
template <class... A>
void debug(const char* pattern, A&&... args) {
  if (debug_enabled()) log_debug(fmt(pattern, std::forward<A>(args)...));
}

// manager.send_message(client_type, client_id, message) with the manager read
// now: the awaitable to await.
py::object send_to(PyObject* client_type, py::handle client_id, py::handle message);
// manager.broadcast("ide", message): the awaitable to await.
py::object broadcast_to_ide(py::handle message);

// Sends one JSON message on a client's socket without waiting on the client:
// it goes out now, or queues behind what is still in flight to that socket,
// in order (connection/outbox.cpp). An error of a send that starts at once is
// raised; a socket that fails later, or does not keep up, is closed.
void socket_send(py::handle websocket, py::handle message);
// Nothing more is written to a socket whose close begins: what waits is
// dropped, a message partly written stays so (the close frame, a control frame,
// may follow it), and later sends are dropped until release_socket.
void stop_sending(py::handle websocket);
// Forgets a departed socket's queue and its writer, in time proportional to
// what was queued.
void release_socket(py::handle websocket);
// Drops a connection at once, unsent data and all, through the host's
// transport; false when the host offers no way to.
bool abort_connection(py::handle websocket);
// Bytes queued for a socket (0 when nothing waits).
size_t socket_backlog(py::handle websocket);

// While it lives, a stream's message ("streaming_function_result") is known to
// the outboxes as `workbook_id`'s: its values may then give way to newer ones
// of the same stream, which the message's request id alone cannot tell, as
// every IDE gets every workbook's streams. A stream message sent without one
// takes the plain road.
class StreamSource {
 public:
  StreamSource(py::handle message, py::handle workbook_id);
  ~StreamSource();
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

 private:
  py::object message_, workbook_;
};

// Starts a task that nobody awaits and keeps it referenced until it is done,
// so the loop cannot drop it half-way.
py::object start_background_task(py::object coro);

// Async iteration from C++: `item = co_await async_next(it)` until
// `item.is(async_end())`.
py::object async_iter(py::handle iterable);
py::object async_next(py::handle iterator);
py::handle async_end();

// Checked views of fields that must hold a dict or a list.
py::dict as_dict(py::handle o, const char* what);
py::list as_list(py::handle o, const char* what);

// Why a call's module or function name is refused ("{call_kind} missing
// module_name", "Invalid module name ...", ...), or none when both pass.
py::object call_name_error(const char* call_kind, py::handle module_name, py::handle function_name);

// Runs `f` when the scope ends, on every path; errors from it are reported as
// unraisable (under `what`) so that they never replace the error in flight.
template <class F>
struct Finally {
  F f;
  const char* what = "cleanup";
  ~Finally() noexcept(false) {  // lets a forced unwind through
    try {
      f();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(what);
    } catch (...) {
      if (tv::forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    }
  }
};
template <class F>
Finally(F) -> Finally<F>;
template <class F>
Finally(F, const char*) -> Finally<F>;

// Definitions of each area, called by start-up in definition order.
void define_helpers(Scope& m);             // code hash, paths, validation
void define_parameter_helpers(Scope& m);   // function-parameter extraction
void define_outbox_constants(Scope& m);   // SLOW_CLIENT_TIMEOUT, MAX_CLIENT_BACKLOG, MAX_CLIENT_TASKS
void define_result_batcher(Scope& m);
void define_connection_manager(Scope& m);
void define_event_conversions(Scope& m);   // _events_from_addin_to_ide, _events_from_ide_to_addin
void define_response_matcher(Scope& m);    // _try_handle_response
void define_response_message_handler(Scope& m);  // handle_response_message
void define_handler_table(Scope& m);       // MESSAGE_HANDLERS from the handlers bound so far
void define_lifecycle_hooks(Scope& m);     // startup_event, shutdown_event
void define_dispatch(Scope& m);            // handle_message
void define_addin_relays(Scope& m);        // handle_forward_to_kernel ... handle_sys_response
void define_call_handlers(Scope& m);       // handle_function_event_execution
void define_streaming_handlers(Scope& m);  // _send_streaming_error, handle_streaming_function_execution, ...
void define_python_call_handler(Scope& m); // handle_python_function_call
void define_workbook_update_handlers(Scope& m);  // structure, name and definition updates
void define_log_entry_handler(Scope& m);   // handle_log_entry
void define_module_sync_handler(Scope& m); // handle_kernel_request_module_sync
void define_ide_requests(Scope& m);        // handle_ide_execution_request ... handle_inspector_result
void define_ide_control_requests(Scope& m);  // handle_get_settings ... handle_restart_addin
void define_package_installation(Scope& m);  // _get_package_key ... handle_workbook_packages_install
void define_event_config_relay(Scope& m);  // handle_event_config_response
void define_kernel_batch(Scope& m);        // handle_kernel_batch
void define_kernel_relays(Scope& m);       // handle_kernel_to_addin, handle_kernel_to_ide, handle_kernel_transfert
void define_result_handlers(Scope& m);     // handle_kernel_execution_result, handle_kernel_execution_error
void define_function_list_handlers(Scope& m);  // the add-in's function and package lists
void define_workbook_pushes(Scope& m);     // send_workbook_list_to_ide ... send_python_paths_to_kernel
void define_on_connect(Scope& m);          // on_addin_coonection, on_ide_connection, on_kernel_connection
void define_endpoint(Scope& m);            // websocket_endpoint
void define_full_code_sync(Scope& m);      // full_code_sync

// Awaits full_code_sync before a call: None once done, or the error it ended
// with, logged with its traceback (the call is then answered with it).
Task sync_before_call(py::str workbook_id);

// The full "update_module" message, and a snapshot of a workbook's cached modules.
py::dict make_update_module_message(py::handle workbook_id, py::handle name, py::handle code);
py::list snapshot_module_items(py::handle manager, py::handle workbook_id);
void define_status_and_configuration(Scope& m);  // root, get_connections, _port, set_port, initialize_ide_manager

// Methods of ConnectionManager, in the class's order.
void define_transport_methods(Scope& cls);   // __init__ ... send_to_addin
void define_request_methods(Scope& cls);     // send_and_wait_response, handle_response
void define_broadcast(Scope& cls);
void define_chunk_methods(Scope& cls);              // _handle_chunk_message, send_message_with_chunking, ...
void define_kernel_methods(Scope& cls);             // spawn_kernel, terminate_kernel, kill_and_restart_kernel
void define_module_cache_methods(Scope& cls);       // save_module, delete_module, get_module, list_modules
void define_addin_request_methods(Scope& cls);      // request_*_from_addin
void define_module_storage_methods(Scope& cls);     // save/load/delete_module_*_addin
void define_event_view_updates(Scope& cls);         // handle_workbook_structure_update, handle_event_definitions_update
void define_handler_registry_methods(Scope& cls);   // handle_register_handler, handle_unregister_handler
void define_event_view_methods(Scope& cls);         // _merge_tree_with_events, _push_event_manager_state
void define_published_function_methods(Scope& cls); // _validate_function_entry ... _push_published_functions_state
void define_ide_push_methods(Scope& cls);           // _push_modules, _push_packages_and_python_paths
void define_events_config_push(Scope& cls);         // _push_events_config_to_addin
void define_ide_console_pushes(Scope& cls);         // _push_object_clear, _push_message_to_ide_console

}  // namespace relvane
