// What the host calls directly: the start and end hooks, the two status
// handlers, and the port and IDE-manager configuration.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// Any number becomes an int (floats truncate, bools give 0/1); text and None do not.
py::int_ as_port(const char* func, const char* arg, py::object value) {
  PyObject* v = value.ptr();
  if (PyLong_CheckExact(v)) return py::reinterpret_borrow<py::int_>(v);
  static PyObject* real = tv::import_attr("numbers", "Real");
  int is_real = PyObject_IsInstance(v, real);
  if (is_real < 0) throw py::error_already_set();
  if (!is_real) tv::raise_arg_type(func, arg, "int", v);
  PyObject* as_int = PyNumber_Long(v);
  if (!as_int) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(as_int);
}

Task startup_event() {
  log_info(py::str("Starting Business Layer server..."));
  py::object launched = call(G(K("launch_inspector")), G(K("_port")));
  if (truthy(launched)) {
    co_await call_method(G(K("asyncio")), K("sleep"), py::int_(1));
    log_info(py::str("Python Inspector launched successfully"));
  } else {
    log_warning(py::str("Failed to launch Python Inspector - some features may not work"));
  }
  co_return py::none();
}

Task shutdown_event() {
  log_info(py::str("Shutting down Business Layer server..."));
  call(G(K("terminate_inspector")));
  co_return py::none();
}

Task root() {
  py::dict status;
  set_item(status, K("status"), K("running"));
  set_item(status, K("service"), K("Tavrino Business Layer"));
  co_return status;
}

Task get_connections() {
  py::dict result;
  py::dict active = as_dict(attr(G(K("manager")), K("active_connections")), "active_connections");
  for (py::handle pair : snapshot(active)) {
    py::handle client_type = PyTuple_GET_ITEM(pair.ptr(), 0);
    set_item(result, client_type, steal(PySequence_List(PyTuple_GET_ITEM(pair.ptr(), 1))));
  }
  co_return result;
}

void set_port(py::object port) { globals()["_port"] = as_port("set_port", "port", port); }

void initialize_ide_manager(py::object server_port, py::object watchdog_port, py::object auth_token,
                            py::object docs_port) {
  const char* f = "initialize_ide_manager";
  py::int_ server = as_port(f, "server_port", server_port);
  py::int_ watchdog = as_port(f, "watchdog_port", watchdog_port);
  py::int_ docs = as_port(f, "docs_port", docs_port);
  if (!PyUnicode_CheckExact(auth_token.ptr())) tv::raise_arg_type(f, "auth_token", "str", auth_token.ptr());
  py::object ide = G(K("IDEProcessManager"))("server_port"_a = server, "watchdog_port"_a = watchdog,
                                             "auth_token"_a = auth_token, "docs_port"_a = docs);
  set_item(globals(), K("ide_manager"), ide);
  log_info(fmt("IDE manager initialized with server port: {}, watchdog port: {}, docs port: {}", server, watchdog,
               docs));
}

}  // namespace

void define_lifecycle_hooks(Scope& m) {
  tv::def<&startup_event>(m, "startup_event", {});
  tv::def<&shutdown_event>(m, "shutdown_event", {});
}

void define_status_and_configuration(Scope& m) {
  tv::def<&root>(m, "root", {});
  tv::def<&get_connections>(m, "get_connections", {});
  set_item(m.ns, K("_port"), py::int_(8000));
  tv::def<&set_port>(m, "set_port", {tv::Param("port").with_annotation(py::type::of(py::int_()))});
  py::object int_t = py::type::of(py::int_());
  tv::def<&initialize_ide_manager>(m, "initialize_ide_manager",
                                   {tv::Param("server_port").with_annotation(int_t),
                                    tv::Param("watchdog_port").with_annotation(int_t),
                                    tv::Param("auth_token").with_annotation(py::type::of(py::str())),
                                    tv::Param("docs_port").with_annotation(int_t)});
}

}  // namespace relvane
