// The short forms both modules use to talk to Python: interned names, calls
// through vectorcall, attribute and mapping access and truth tests, all on
// the C API and throwing py::error_already_set when Python reports an error.
#pragma once

#include <pybind11/pybind11.h>

namespace tv {
namespace py = pybind11;

// An interned text object kept for the life of the process.
PyObject* intern(const char* text);

// The interned text of a literal, made on first use at this call site and
// kept: hot paths name globals, attributes and keys with it instead of
// building and hashing a fresh text each time. The GIL serialises the first
// use (a guarded static could deadlock against a thread waiting for the GIL).
#define K(text)                                                                  \
  ([]() -> PyObject* {                                                           \
    static PyObject* interned_key = nullptr;                                     \
    if (!interned_key) interned_key = ::tv::intern(text);                        \
    return interned_key;                                                         \
  }())

// Owns a new reference; a null one means the pending Python error is thrown.
inline py::object steal(PyObject* o) {
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}
inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

inline py::object attr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }
inline void set_attr(py::handle o, PyObject* name, py::handle value) {
  if (PyObject_SetAttr(o.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

namespace detail {
inline PyObject* arg_ptr(py::handle h) { return h.ptr(); }
inline PyObject* arg_ptr(PyObject* o) { return o; }
}  // namespace detail

// fn(args...) through vectorcall: no argument tuple, no pybind11 casts.
template <class... A>
py::object call(py::handle fn, const A&... args) {
  PyObject* argv[] = {nullptr, detail::arg_ptr(args)...};
  return steal(PyObject_Vectorcall(fn.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(args...), looked up now but without making a bound method.
template <class... A>
py::object call_method(py::handle self, PyObject* name, const A&... args) {
  PyObject* argv[] = {self.ptr(), detail::arg_ptr(args)...};
  return steal(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// mapping.get(key, default): straight into the table for a plain dict.
py::object get(py::handle mapping, py::handle key, py::handle dflt = Py_None);
// mapping.get(key), or a null object when the key is absent (so that a default
// that costs something is made only when needed).
py::object find(py::handle mapping, py::handle key);

inline void set_item(py::handle mapping, py::handle key, py::handle value) {
  if (PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// A walk over a Python container whose loop body can run Python code (a call,
// a comparison or hash, a log line that formats an item, an await) walks this
// copy instead:
//   for (py::handle item : tv::snapshot(list)) ...
//   for (py::handle pair : tv::snapshot(dict)) { PyTuple_GET_ITEM(pair.ptr(), 0) ... }
// pybind11's list iterator points into the item array with its end fixed at
// the start, a dict's iterator hands out borrowed keys and values, and
// `py::list(x)` does not copy a list: a body that resizes or clears the
// container would read freed memory. The copy holds its own reference to each
// item. A list (or subclass) gives its items as stored, a dict its (key,
// value) pairs, anything else what iterating it gives. A body that runs no
// Python code may walk the container itself.
py::list snapshot(py::handle container);

// `key in container`.
inline bool contains(py::handle container, py::handle key) {
  int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// Python truth value; raises like bool() would.
inline bool truthy(py::handle o) {
  int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace tv
