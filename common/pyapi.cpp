#include "common/pyapi.hpp"

namespace tv {

namespace {
// What `find` hands to a mapping's own get() to learn that a key is absent.
PyObject* missing() {
  static PyObject* sentinel = PyObject_CallNoArgs((PyObject*)&PyBaseObject_Type);  // lives as long as the process
  return sentinel;
}
}  // namespace

PyObject* intern(const char* text) {
  PyObject* o = PyUnicode_InternFromString(text);
  if (!o) throw py::error_already_set();
  return o;
}

py::object get(py::handle mapping, py::handle key, py::handle dflt) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
    if (v) return borrow(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    return borrow(dflt.ptr());
  }
  return call_method(mapping, K("get"), key, dflt);
}

py::object find(py::handle mapping, py::handle key) {
  py::object v = get(mapping, key, missing());
  if (v.ptr() == missing()) return py::object();
  return v;
}

py::list snapshot(py::handle container) {
  PyObject* o = container.ptr();
  PyObject* copy;
  if (PyList_Check(o)) copy = PyList_GetSlice(o, 0, PY_SSIZE_T_MAX);
  else if (PyDict_Check(o)) copy = PyDict_Items(o);
  else copy = PySequence_List(o);
  if (!copy) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(copy);
}

}  // namespace tv
