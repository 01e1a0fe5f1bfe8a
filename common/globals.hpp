// A module's globals, looked up at each use so that tests and later code may
// replace any of them.
#pragma once

#include "common/pyapi.hpp"

namespace tv {

class ModuleGlobals {
 public:
  // Holds a strong reference; a start-up that runs again replaces it.
  void set(py::dict d) {
    Py_XDECREF(dict_);
    dict_ = d.release().ptr();
  }
  PyObject* dict() const { return dict_; }

  // The global under an interned key, borrowed; null with NameError (or the
  // lookup's own error) set when it is missing.
  PyObject* find(PyObject* key) const {
    PyObject* v = PyDict_GetItemWithError(dict_, key);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    return v;
  }
  // The same as an owner; throws when it is missing.
  py::object get(PyObject* key) const {
    PyObject* v = find(key);
    if (!v) throw py::error_already_set();
    return borrow(v);
  }

 private:
  PyObject* dict_ = nullptr;
};

}  // namespace tv
