#include "common/module.hpp"

#include <cstddef>

namespace tv {

namespace {

OnceModule* owner(PyModuleDef* def) { return reinterpret_cast<OnceModule*>(def); }

PyObject* create(PyObject* spec, PyModuleDef* def) {
  OnceModule* self = owner(def);
  // The module's state (pybind11's included) is process-wide and tied to the
  // main interpreter's GIL: a subinterpreter is refused before any of it runs.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_Format(PyExc_ImportError, "module %s can be loaded in the main interpreter only", def->m_name);
    return nullptr;
  }
  if (self->module) return Py_NewRef(self->module);
  PyObject* name = PyObject_GetAttr(spec, K("name"));
  if (!name) return nullptr;
  PyObject* m = PyModule_NewObject(name);
  Py_DECREF(name);
  return m;
}

// The module carries its own copy of the unwinder (libgcc is linked in), and
// that copy fills its register table on its first throw. A forced unwind
// (CPython ending a daemon thread at exit) is started by the system's libgcc_s
// but runs our personality routine, which writes registers through our copy:
// with the table still empty it aborts the process. One throw at start-up
// fills it.
void prime_unwinder() {
  try {
    throw 0;
  } catch (int) {
  }
}

int exec(PyObject* m) {
  PyModuleDef* def = PyModule_GetDef(m);
  OnceModule* self = owner(def);
  if (self->module) return 0;  // start-up already ran in this process
  prime_unwinder();
  try {
    self->startup(py::reinterpret_borrow<py::module_>(m));
  } catch (...) {
    if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    set_python_error_from_current_exception();
    return -1;
  }
  self->module = Py_NewRef(m);  // kept for the life of the process
  return 0;
}

}  // namespace

OnceModule::OnceModule(const char* name, const char* doc, void (*fn)(py::module_)) : startup(fn) {
  static_assert(std::is_standard_layout_v<OnceModule>);
  static_assert(offsetof(OnceModule, def) == 0);
  slots[0] = {Py_mod_create, (void*)create};
  slots[1] = {Py_mod_exec, (void*)exec};
  slots[2] = {0, nullptr};
  def = {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace tv
