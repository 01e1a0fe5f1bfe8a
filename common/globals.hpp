// A module's globals, looked up at each use so that tests and later code may
// replace any of them.
#pragma once

#include <array>
#include <cstdint>

#include "common/pyapi.hpp"

namespace tv {

class ModuleGlobals {
 public:
  // Holds a strong reference; a start-up that runs again replaces it.
  void set(py::dict d) {
    Py_XDECREF(dict_);
    dict_ = d.release().ptr();
    remembered_ = {};
  }
  PyObject* dict() const { return dict_; }

  // The global under an interned key, borrowed; null with NameError (or the
  // lookup's own error) set when it is missing. A lookup is remembered with
  // the dictionary's version, which every change to the dictionary moves (as
  // the interpreter's own global caches do), so that an unchanged module
  // answers without a lookup and a replaced global is seen at once.
  PyObject* find(PyObject* key) const {
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict_)->ma_version_tag;
    Remembered& r = remembered_[(reinterpret_cast<uintptr_t>(key) >> 4) % kRemembered];
    if (r.key == key && r.version == version) return r.value;
    PyObject* v = PyDict_GetItemWithError(dict_, key);
    if (!v) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      return v;
    }
    r = {key, v, version};  // borrowed: the dictionary holds it while its version stands
    return v;
  }
  // The same as an owner; throws when it is missing.
  py::object get(PyObject* key) const {
    PyObject* v = find(key);
    if (!v) throw py::error_already_set();
    return borrow(v);
  }

 private:
  struct Remembered {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    uint64_t version = 0;
  };
  static constexpr size_t kRemembered = 64;
  PyObject* dict_ = nullptr;
  mutable std::array<Remembered, kRemembered> remembered_{};
};

}  // namespace tv
