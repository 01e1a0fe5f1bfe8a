#include "business_layer/relvane/relvane.hpp"
#include "common/globals.hpp"

namespace relvane {

namespace {
tv::ModuleGlobals g_globals;

void log_at(const char* level, py::handle text) { G("logger").attr(level)(text); }
}  // namespace

void set_globals(py::dict d) { g_globals.set(d); }

py::dict globals() { return py::reinterpret_borrow<py::dict>(g_globals.dict()); }

py::object G(const char* name) { return g_globals.get(name); }

void log_debug(py::handle text) { log_at("debug", text); }
void log_info(py::handle text) { log_at("info", text); }
void log_warning(py::handle text) { log_at("warning", text); }
void log_error(py::handle text) { log_at("error", text); }

py::object start_background_task(py::object coro) {
  static PyObject* running = PySet_New(nullptr);  // lives as long as the process
  py::object task = G("asyncio").attr("create_task")(coro);
  if (PySet_Add(running, task.ptr()) < 0) throw py::error_already_set();
  task.attr("add_done_callback")(py::handle(running).attr("discard"));
  return task;
}

py::object async_iter(py::handle iterable) {
  static PyObject* aiter = tv::import_attr("builtins", "aiter");
  return py::handle(aiter)(iterable);
}

py::handle async_end() {
  static PyObject* end = PyObject_CallNoArgs((PyObject*)&PyBaseObject_Type);  // a sentinel for the process
  return end;
}

py::object async_next(py::handle iterator) {
  static PyObject* anext = tv::import_attr("builtins", "anext");
  return py::handle(anext)(iterator, async_end());
}

py::dict as_dict(py::handle o, const char* what) {
  if (!PyDict_Check(o.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s must be a dict, not %s", what, Py_TYPE(o.ptr())->tp_name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::dict>(o);
}

py::list as_list(py::handle o, const char* what) {
  if (!PyList_Check(o.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s must be a list, not %s", what, Py_TYPE(o.ptr())->tp_name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::list>(o);
}

bool truthy(py::handle o) {
  int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace relvane
