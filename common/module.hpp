// Multi-phase module initialisation that runs a module's start-up once per
// process: a later import (after removal from sys.modules) gets the same module
// object back, and every interpreter but the main one is refused.
#pragma once

#include "common/native.hpp"

namespace tv {

struct OnceModule {
  PyModuleDef def;  // first member: the slots find this object through it
  PyModuleDef_Slot slots[3];
  void (*startup)(py::module_ m);
  PyObject* module = nullptr;  // set once start-up succeeded

  OnceModule(const char* name, const char* doc, void (*startup)(py::module_));
  PyObject* init() { return PyModuleDef_Init(&def); }
};

// The scope for module-level definitions of a module under start-up.
inline Scope module_scope(py::module_ m) {
  return Scope{py::reinterpret_borrow<py::dict>(PyModule_GetDict(m.ptr())),
               py::str(attr(m, K("__name__"))).cast<std::string>(), ""};
}

}  // namespace tv
