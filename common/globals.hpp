// A module's globals, looked up at each use so that tests and later code may
// replace any of them.
#pragma once

#include "common/native.hpp"

namespace tv {

class ModuleGlobals {
 public:
  // Holds a strong reference; a start-up that runs again replaces it.
  void set(py::dict d) {
    Py_XDECREF(dict_);
    dict_ = d.release().ptr();
  }
  PyObject* dict() const { return dict_; }
  // The global `name`; NameError when it is missing.
  py::object get(const char* name) const {
    PyObject* v = PyDict_GetItemString(dict_, name);
    if (!v) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
      throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
  }

 private:
  PyObject* dict_ = nullptr;
};

}  // namespace tv
