// The connection manager's data model and its transport: registering sockets,
// looking them up, sending to one client and broadcasting to a client type.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

const char* const kClientTypes[] = {"addin", "ide", "kernel", "inspector"};

void init(py::object self) {
  py::dict active;
  for (const char* t : kClientTypes) active[t] = py::dict();
  set_attr(self, K("active_connections"), active);
  for (PyObject* field :
       {K("kernel_processes"), K("client_names"), K("workbook_modules"), K("_pending_requests"),
        K("_synced_hashes"), K("workbook_tree"), K("event_definitions"), K("registered_handlers"),
        K("published_functions"), K("_pending_function_executions"), K("workbook_packages"),
        K("workbook_resolved_deps"), K("workbook_package_paths"), K("workbook_pip_outputs"),
        K("workbook_installed_packages"), K("package_errors"), K("package_stderr"), K("workbook_python_paths")}) {
    set_attr(self, field, py::dict());
  }
  set_attr(self, K("_result_batcher"), call(G(K("ResultBatcher")), self));
  set_attr(self, K("_chunk_buffers"), py::dict());
}

py::dict connections_of(py::handle self) { return as_dict(attr(self, K("active_connections")), "active_connections"); }

// True when the framework's socket has already been accepted (the endpoint
// accepts and pings before it registers).
bool already_accepted(py::handle websocket) {
  static PyObject* state_type = tv::import_attr("starlette.websockets", "WebSocketState");
  static PyObject* connected = attr(state_type, K("CONNECTED")).release().ptr();
  py::object state = py::getattr(websocket, K("application_state"), py::none());
  return state.is(py::handle(connected));
}

Task connect(py::object self, py::str client_type, py::str client_id, py::object websocket, OptStr name) {
  if (!already_accepted(websocket)) co_await call_method(websocket, K("accept"));
  py::dict active = connections_of(self);
  if (!active.contains(client_type)) active[client_type] = py::dict();
  as_dict(active[client_type], "connection table")[client_id] = websocket;
  if (!name.is_none() && PyUnicode_GET_LENGTH(name.ptr()) > 0)
    as_dict(attr(self, K("client_names")), "client_names")[client_id] = name;
  co_return py::none();
}

void disconnect(py::object self, py::str client_type, py::str client_id) {
  py::dict active = connections_of(self);
  if (active.contains(client_type)) {
    py::dict table = as_dict(active[client_type], "connection table");
    if (table.contains(client_id)) PyDict_DelItem(table.ptr(), client_id.ptr());
  }
  // A workbook's display name belongs to its add-in: a kernel restart (same id,
  // client type "kernel") must not erase it.
  if (std::string(client_type) == "addin") {
    py::dict names = as_dict(attr(self, K("client_names")), "client_names");
    if (names.contains(client_id)) PyDict_DelItem(names.ptr(), client_id.ptr());
  }
}

py::object get_connection(py::object self, py::str client_type, py::str client_id) {
  py::object table = find(connections_of(self), client_type);
  return table ? get(table, client_id) : py::none();
}

Task send_message(py::object self, py::str client_type, py::str client_id, py::dict message) {
  py::object ws = call_method(self, K("get_connection"), client_type, client_id);
  if (ws.is_none()) co_return py::none();
  socket_send(ws, message);
  co_return py::none();
}

Task send_to_ide(py::object self, py::dict message) {
  co_await call_method(self, K("broadcast"), K("ide"), message);
  co_return py::none();
}

Task send_to_addin(py::object self, py::str workbook_id, py::dict message) {
  co_await call_method(self, K("send_message"), K("addin"), workbook_id, message);
  co_return py::none();
}

Task broadcast(py::object self, py::str client_type, py::dict message) {
  py::object table = get(connections_of(self), client_type, py::dict());
  if (!truthy(table)) co_return py::none();
  // Each send goes out or queues for its own socket at once, so a slow or dead
  // client delays nobody; a failing socket is skipped.
  for (py::handle ws : py::list(call_method(table, K("values")))) {
    try {
      socket_send(ws, message);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  co_return py::none();
}

}  // namespace

void define_transport_methods(Scope& cls) {
  tv::def<&init>(cls, "__init__", {"self"});
  tv::def<&connect>(cls, "connect", {"self", "client_type", "client_id", "websocket", {"name", py::none()}});
  tv::def<&disconnect>(cls, "disconnect", {"self", "client_type", "client_id"});
  tv::def<&get_connection>(cls, "get_connection", {"self", "client_type", "client_id"});
  tv::def<&send_message>(cls, "send_message", {"self", "client_type", "client_id", "message"});
  tv::def<&send_to_ide>(cls, "send_to_ide", {"self", "message"});
  tv::def<&send_to_addin>(cls, "send_to_addin", {"self", "workbook_id", "message"});
}

void define_broadcast(Scope& cls) {
  tv::def<&broadcast>(cls, "broadcast", {"self", "client_type", "message"});
}

void define_connection_manager(Scope& m) {
  tv::make_class(m, "ConnectionManager", [](Scope& cls) {
    // Methods in the class's order.
    define_transport_methods(cls);
    define_request_methods(cls);
    define_broadcast(cls);
    define_chunk_methods(cls);
    define_kernel_methods(cls);
    define_module_cache_methods(cls);
    define_addin_request_methods(cls);
    define_module_storage_methods(cls);
    define_event_view_updates(cls);
    define_handler_registry_methods(cls);
    define_event_view_methods(cls);
    define_published_function_methods(cls);
    define_ide_push_methods(cls);
    define_events_config_push(cls);
    define_ide_console_pushes(cls);
  });
}

}  // namespace relvane
