// Unrequested state pushes to the IDE: a workbook's modules, its packages and
// python paths, an object-registry reset, console lines. Also the one send
// routine every state push of the workbook state shares.
#include <string_view>

#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

void check_cached(py::handle value, const char* func, const char* field, bool want_list) {
  PyObject* o = value.ptr();
  if (o == Py_None || (want_list ? PyList_CheckExact(o) : PyDict_CheckExact(o))) return;
  PyErr_Format(PyExc_TypeError, "%s() cached %s must be %s, not %s", func, field,
               want_list ? "list or None" : "dict or None", Py_TYPE(o)->tp_name);
  throw py::error_already_set();
}

namespace {
py::str pushed_line(const PushLog& log, bool on_socket) {
  py::str subject = log.workbook_id.is_none() ? py::str("") : fmt(" for: {}", log.workbook_id);
  return fmt("Pushed {}{} to {}{}{}{}", log.qualifier, log.what, log.destination, on_socket ? " websocket" : "",
             subject, log.tail);
}
}  // namespace

Task push_message(py::object self, py::dict message, py::object websocket, py::object addin_workbook, PushLog log) {
  py::object error;
  try {
    if (truthy(websocket)) {
      socket_send(websocket, message);
      if (debug_enabled()) log_debug(pushed_line(log, true));
    } else if (!addin_workbook.is_none()) {
      co_await call_method(self, K("send_to_addin"), addin_workbook, message);
    } else {
      co_await call_method(self, K("broadcast"), K("ide"), message);
    }
    if (debug_enabled()) log_debug(pushed_line(log, false));
  } catch (py::error_already_set& e) {
    // Only ordinary errors: a cancellation must reach the caller.
    if (!e.matches(PyExc_Exception)) throw;
    error = e.value();
  }
  if (error) {
    if (std::string_view(log.destination) == "IDE")
      log_error(fmt("Error pushing {}: {}", log.what, error));
    else
      log_error(fmt("Error pushing {} to {}: {}", log.what, log.destination, error));
  }
  co_return py::none();
}

namespace {

// The cached entry of `field` for the workbook, or a new empty dict/list.
py::object cached_or_empty(py::handle owner, PyObject* field, py::handle workbook_id, bool want_list) {
  py::object table = attr(owner, field);
  if (truthy(call_method(table, K("__contains__"), workbook_id))) return table[workbook_id];
  return want_list ? py::object(py::list()) : py::object(py::dict());
}

Task push_modules(py::object self, py::str workbook_id, OptDict modules, py::object websocket) {
  py::object value = modules;
  if (!truthy(value)) {
    value = cached_or_empty(self, K("workbook_modules"), workbook_id, false);
    check_cached(value, "ConnectionManager._push_modules", "modules", false);
  }
  py::dict message;
  set_item(message, K("type"), K("workbook_connected"));
  set_item(message, K("workbook_id"), workbook_id);
  set_item(message, K("modules"), value);
  set_item(message, K("name"), get(attr(self, K("client_names")), workbook_id, K("")));
  PushLog log{"modules state", workbook_id};
  co_await push_message(self, message, websocket, py::none(), log);
  co_return py::none();
}

Task push_packages_and_python_paths(py::object self, py::str workbook_id, OptList packages, OptList python_paths,
                                    OptDict package_errors, py::object websocket) {
  const char* qual = "ConnectionManager._push_packages_and_python_paths";
  py::object manager = G(K("manager"));
  py::object pk = packages, paths = python_paths, errors = package_errors;
  if (!truthy(pk)) {
    pk = cached_or_empty(manager, K("workbook_packages"), workbook_id, true);
    check_cached(pk, qual, "packages", true);
  }
  if (!truthy(paths)) {
    paths = cached_or_empty(manager, K("workbook_python_paths"), workbook_id, true);
    check_cached(paths, qual, "python_paths", true);
  }
  if (!truthy(errors)) {
    errors = cached_or_empty(manager, K("package_errors"), workbook_id, false);
    check_cached(errors, qual, "package_errors", false);
  }
  py::dict message;
  set_item(message, K("type"), K("workbook_packages_update"));
  set_item(message, K("workbook_id"), workbook_id);
  set_item(message, K("packages"), pk);
  set_item(message, K("python_paths"), paths);
  set_item(message, K("package_errors"), errors);
  PushLog log{"packages and python paths state", workbook_id};
  co_await push_message(self, message, websocket, py::none(), log);
  co_return py::none();
}

Task push_object_clear(py::object self, py::str workbook_id, py::object websocket) {
  py::dict message;
  set_item(message, K("type"), K("object_registry_update"));
  set_item(message, K("action"), K("clear_all"));
  set_item(message, K("workbook_id"), workbook_id);
  PushLog log{"object clear", workbook_id};
  co_await push_message(self, message, websocket, py::none(), log);
  co_return py::none();
}

Task push_message_to_ide_console(py::object self, py::str message, OptStr color, py::object websocket) {
  py::dict out;
  set_item(out, K("type"), K("log_to_console"));
  set_item(out, K("content"), message);
  if (!color.is_none() && PyUnicode_GET_LENGTH(color.ptr()) > 0) out[K("color")] = color;
  PushLog log{"console message"};
  co_await push_message(self, out, websocket, py::none(), log);
  co_return py::none();
}

}  // namespace

void define_ide_push_methods(Scope& cls) {
  tv::def<&push_modules>(cls, "_push_modules",
                         {"self", "workbook_id", {"modules", py::none()}, {"websocket", py::none()}});
  tv::def<&push_packages_and_python_paths>(cls, "_push_packages_and_python_paths",
                                           {"self",
                                            "workbook_id",
                                            {"packages", py::none()},
                                            {"python_paths", py::none()},
                                            {"package_errors", py::none()},
                                            {"websocket", py::none()}});
}

void define_ide_console_pushes(Scope& cls) {
  tv::def<&push_object_clear>(cls, "_push_object_clear", {"self", "workbook_id", {"websocket", py::none()}});
  tv::def<&push_message_to_ide_console>(cls, "_push_message_to_ide_console",
                                        {"self", "message", {"color", py::none()}, {"websocket", py::none()}});
}

}  // namespace relvane
