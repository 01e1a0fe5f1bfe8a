// Shared internals of the kernel-side bridge: the module's globals, cached
// library types and the native entry points the parts share.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/native.hpp"
#include "common/pyapi.hpp"

namespace panticle {
namespace py = pybind11;
using tv::Param;
using tv::Scope;

// The common short forms for Python calls (common/pyapi.hpp) the parts use.
using tv::attr;
using tv::borrow;
using tv::call;
using tv::call_method;
using tv::find;
using tv::get;
using tv::refuse_arg;
using tv::set_attr;
using tv::set_item;
using tv::steal;
using tv::truthy;

// The module's global namespace; set first thing at start-up, kept forever.
void set_globals(py::dict globals);
PyObject* globals_dict();

// A module global under an interned key, looked up now (tests and the kernel
// program may replace it).
py::object G(PyObject* key);
// The same borrowed, or null with NameError set.
PyObject* global_ref(PyObject* key);

// Sets `cls` with `text` and throws it as the pending Python error.
[[noreturn]] void raise(PyObject* cls, const char* text);

// Library objects looked up once at start-up and kept for the process.
struct Libs {
  PyObject* np_bool = nullptr;        // numpy.bool_
  PyObject* np_datetime64 = nullptr;  // numpy.datetime64
  PyObject* np_floating = nullptr;    // numpy.floating
  PyObject* np_integer = nullptr;     // numpy.integer
  PyObject* np_timedelta64 = nullptr; // numpy.timedelta64, an integer type that is no number
  PyObject* np_ndarray = nullptr;     // numpy.ndarray
  PyObject* np_dtype = nullptr;       // numpy.dtype
  PyObject* pd_series = nullptr;      // pandas.Series
  PyObject* pd_frame = nullptr;       // pandas.DataFrame
  PyObject* pd_na = nullptr;          // pandas.NA
  PyObject* pd_nat = nullptr;         // pandas.NaT
  PyObject* utc = nullptr;            // datetime.timezone.utc
  PyObject* future_cls = nullptr;     // concurrent.futures.Future
  PyObject* invalid_state = nullptr;  // concurrent.futures.InvalidStateError
};
extern Libs libs;

// The three proxy classes, set when they are defined.
extern PyTypeObject* object_type;
extern PyTypeObject* array_type;
extern PyTypeObject* dict_type;

// "Argument 'x' has incorrect type (expected T, got U)", the proxies' own form.
[[noreturn]] void raise_incorrect_type(const char* arg, const char* expected, PyObject* given, bool subclass);

// Containers made by a conversion join the collector only when the outermost
// conversion of the thread ends: a large conversion would otherwise drive
// repeated full collections over everything it has built so far.
void defer_tracking(PyObject* container);
class TrackingScope {
 public:
  TrackingScope();
  ~TrackingScope();
  TrackingScope(const TrackingScope&) = delete;
  TrackingScope& operator=(const TrackingScope&) = delete;

 private:
  std::vector<PyObject*> held_;
  bool outer_;
};

// Wire values (wire_values.cpp, tables.cpp).
py::object to_wire(PyObject* value);
py::object from_wire(PyObject* wire);
void define_serializer(Scope& m);

// Messaging and the callable registry.
void define_messaging(Scope& m);
// True on the thread that last handed an answer to on_message.
bool on_listener_thread();

// Remote operations and proxies.
void define_remote_operations(Scope& m);
void define_proxies(Scope& m);
// The constructors' shared work, also used by the serializer.
py::object new_object_proxy(PyObject* object_id, PyObject* type_name);
py::object new_array_proxy(PyObject* object_id);
py::object new_dict_proxy(PyObject* object_id);

}  // namespace panticle
