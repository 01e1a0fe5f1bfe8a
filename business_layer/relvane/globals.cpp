#include "business_layer/relvane/relvane.hpp"
#include "common/globals.hpp"

namespace relvane {

namespace {
tv::ModuleGlobals g_globals;

void log_at(PyObject* level, py::handle text) { call_method(G(K("logger")), level, text); }
}  // namespace

void set_globals(py::dict d) { g_globals.set(d); }

py::dict globals() { return py::reinterpret_borrow<py::dict>(g_globals.dict()); }

py::object G(PyObject* key) { return g_globals.get(key); }

void log_debug(py::handle text) { log_at(K("debug"), text); }
void log_info(py::handle text) { log_at(K("info"), text); }
void log_warning(py::handle text) { log_at(K("warning"), text); }
void log_error(py::handle text) { log_at(K("error"), text); }
void log_error_with_traceback(py::handle text, py::handle error) {
  attr(G(K("logger")), K("error"))(text, "exc_info"_a = error);
}

bool debug_enabled() {
  static PyObject* level = PyLong_FromLong(10);  // logging.DEBUG, kept for the process
  static PyObject* logger_type = attr(py::module_::import("logging"), K("Logger")).release().ptr();
  // The logger last asked and its attribute dictionary, and the answer last
  // read from that logger's per-level cache with the versions of both
  // dictionaries then: isEnabledFor fills that cache, and every change of a
  // level or of logging.disable clears it, which moves its version.
  static PyObject* known_logger = nullptr;
  static PyObject* known_dict = nullptr;
  static uint64_t dict_version = 0, cache_version = 0;
  static PyObject* known_cache = nullptr;  // borrowed from known_dict while dict_version stands
  static bool answer = false;

  py::object logger = G(K("logger"));
  if (logger.ptr() != known_logger) {
    Py_CLEAR(known_dict);
    known_cache = nullptr;
    if (Py_TYPE(logger.ptr()) == reinterpret_cast<PyTypeObject*>(logger_type)) {
      known_dict = PyObject_GenericGetDict(logger.ptr(), nullptr);
      if (!known_dict) throw py::error_already_set();
    }
    Py_XSETREF(known_logger, Py_NewRef(logger.ptr()));
  }
  if (!known_dict) return truthy(call_method(logger, K("isEnabledFor"), level));  // a logger of its own kind
  auto version = [](PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; };
  if (known_cache && version(known_dict) == dict_version && version(known_cache) == cache_version) return answer;

  known_cache = nullptr;
  PyObject* disabled = PyDict_GetItemWithError(known_dict, K("disabled"));
  PyObject* cache = disabled == Py_False ? PyDict_GetItemWithError(known_dict, K("_cache")) : nullptr;
  PyObject* known = cache && PyDict_CheckExact(cache) ? PyDict_GetItemWithError(cache, level) : nullptr;
  if (PyErr_Occurred()) throw py::error_already_set();
  if (known != Py_True && known != Py_False) return truthy(call_method(logger, K("isEnabledFor"), level));
  known_cache = cache;
  dict_version = version(known_dict);
  cache_version = version(cache);
  answer = known == Py_True;
  return answer;
}

py::object send_to(PyObject* client_type, py::handle client_id, py::handle message) {
  return call_method(G(K("manager")), K("send_message"), client_type, client_id, message);
}

py::object broadcast_to_ide(py::handle message) { return call_method(G(K("manager")), K("broadcast"), K("ide"), message); }

py::object start_background_task(py::object coro) {
  static PyObject* running = PySet_New(nullptr);  // lives as long as the process
  static PyObject* discard = PyObject_GetAttr(running, K("discard"));
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

}  // namespace relvane
