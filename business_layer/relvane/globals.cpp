#include "business_layer/relvane/relvane.hpp"
#include "common/globals.hpp"

#include <unordered_map>

namespace relvane {

namespace {
tv::ModuleGlobals g_globals;

void log_at(PyObject* level, py::handle text) { call_method(G(K("logger")), level, text); }

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

void set_globals(py::dict d) { g_globals.set(d); }

py::dict globals() { return py::reinterpret_borrow<py::dict>(g_globals.dict()); }

py::object G(PyObject* key) {
  PyObject* v = PyDict_GetItemWithError(g_globals.dict(), key);
  if (v) return borrow(v);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
  throw py::error_already_set();
}

py::object G(const char* name) {
  // Call sites pass literals: one interned key per literal, made once.
  static std::unordered_map<const char*, PyObject*> keys;  // guarded by the GIL
  auto it = keys.find(name);
  if (it == keys.end()) it = keys.emplace(name, intern(name)).first;
  return G(it->second);
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

void log_debug(py::handle text) { log_at(K("debug"), text); }
void log_info(py::handle text) { log_at(K("info"), text); }
void log_warning(py::handle text) { log_at(K("warning"), text); }
void log_error(py::handle text) { log_at(K("error"), text); }

bool debug_enabled() {
  static PyObject* level = nullptr;
  static PyObject* logger_type = nullptr;
  if (!level) level = PyLong_FromLong(10);  // logging.DEBUG
  if (!logger_type) logger_type = tv::import_attr("logging", "Logger");
  py::object logger = G(K("logger"));
  // A plain Logger answers from its level cache, as its isEnabledFor would;
  // anything else (a subclass, a stand-in, a cache miss) is asked.
  if (Py_TYPE(logger.ptr()) == reinterpret_cast<PyTypeObject*>(logger_type)) {
    if (truthy(attr(logger, K("disabled")))) return false;
    py::object cache = attr(logger, K("_cache"));
    if (PyDict_CheckExact(cache.ptr())) {
      PyObject* known = PyDict_GetItemWithError(cache.ptr(), level);
      if (known) return truthy(known);
      if (PyErr_Occurred()) throw py::error_already_set();
    }
  }
  return truthy(call_method(logger, K("isEnabledFor"), level));
}

py::object send_to(PyObject* client_type, py::handle client_id, py::handle message) {
  return call_method(G(K("manager")), K("send_message"), client_type, client_id, message);
}

py::object broadcast_to_ide(py::handle message) { return call_method(G(K("manager")), K("broadcast"), K("ide"), message); }

py::object start_background_task(py::object coro) {
  static PyObject* running = PySet_New(nullptr);  // lives as long as the process
  static PyObject* discard = PyObject_GetAttrString(running, "discard");
  py::object task = call_method(G(K("asyncio")), K("create_task"), coro);
  if (PySet_Add(running, task.ptr()) < 0) throw py::error_already_set();
  call_method(task, K("add_done_callback"), discard);
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
