#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {
PyObject* g_globals = nullptr;  // strong reference, replaced if start-up runs again

void log_at(const char* level, py::handle text) { G("logger").attr(level)(text); }
}  // namespace

void set_globals(py::dict d) {
  Py_XDECREF(g_globals);
  g_globals = d.release().ptr();
}

py::dict globals() { return py::reinterpret_borrow<py::dict>(g_globals); }

py::object G(const char* name) {
  PyObject* v = PyDict_GetItemString(g_globals, name);
  if (!v) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(v);
}

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
