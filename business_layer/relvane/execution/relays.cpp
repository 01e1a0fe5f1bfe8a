// Relays between a workbook's add-in, its kernel and the IDE connections, and
// the kernel-control requests that act on the sender's own id. A workbook's
// add-in and kernel share the workbook id, so the other side is addressed by
// the sender's client id; the IDEs learn the workbook from "workbook_id".
#include "business_layer/relvane/execution/pending_calls.hpp"
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

bool is_type(py::handle type, const char* name) {
  return PyUnicode_Check(type.ptr()) && PyUnicode_CompareWithASCIIString(type.ptr(), name) == 0;
}

// An event's result and a stream's values carry their call's kernel id: they
// go to the connection that made the call, under its own id, or to nobody.
Route route_call_answer(py::handle workbook_id, py::handle message) {
  py::object type = get(message, K("type"));
  bool stream = is_type(type, "streaming_function_result");
  if (!stream && !is_type(type, "event_execution_result")) return Route::Relay;
  bool end = !stream || truthy(get(message, K("done"), Py_False)) || contains(message, K("error"));
  return route_kernel_answer(G(K("manager")), workbook_id, message, K("request_id"), end);
}

// ---------------------------------------------------------------- add-in side

Task handle_forward_to_kernel(py::str client_id, py::dict message) {
  co_await send_to(K("kernel"), client_id, message);
  co_return py::none();
}

Task handle_forward_to_addin(py::str client_id, py::dict message) {
  // A present "workbook_id" names the add-in whatever its value; a non-text
  // value is refused by send_message.
  py::object workbook_id = find(message, K("workbook_id"));
  co_await send_to(K("addin"), workbook_id ? workbook_id : client_id, message);
  co_return py::none();
}

Task handle_broadcast_to_ide(py::str, py::dict message) {
  co_await broadcast_to_ide(message);
  co_return py::none();
}

Task handle_execution_request(py::str client_id, py::dict message) {
  co_await send_to(K("kernel"), client_id, message);
  co_return py::none();
}

Task handle_spawn_kernel(py::str client_id, py::dict) {
  call_method(G(K("manager")), K("spawn_kernel"), client_id);
  co_return py::none();
}

Task handle_terminate_kernel(py::str client_id, py::dict) {
  call_method(G(K("manager")), K("terminate_kernel"), client_id);
  co_return py::none();
}

Task handle_excel_response(py::str client_id, py::dict message) {
  co_await send_to(K("kernel"), client_id, message);
  co_return py::none();
}

Task handle_sys_response(py::str client_id, py::dict message) {
  debug("[Server] Routing sys_response from addin {} to kernel", client_id);
  co_await send_to(K("kernel"), client_id, message);
  co_return py::none();
}

Task handle_event_config_response(py::str client_id, py::dict message) {
  set_item(message, K("workbook_id"), client_id);
  co_await call_method(G(K("manager")), K("send_to_ide"), message);
  co_return py::none();
}

// ---------------------------------------------------------------- kernel side

Task handle_kernel_to_addin(py::str client_id, py::dict message) {
  // A callable's answer, in the add-in's response envelope, is one connection's.
  if (is_type(get(message, K("kind")), "response") &&
      route_kernel_answer(G(K("manager")), client_id, message, K("requestId"), true) == Route::Drop)
    co_return py::none();
  co_await call_method(G(K("manager")), K("send_to_addin"), client_id, message);
  co_return py::none();
}

Task handle_kernel_to_ide(py::str client_id, py::dict message) {
  py::object given = get(message, K("workbook_id"));
  py::object workbook_id = truthy(given) ? given : py::object(client_id);
  set_item(message, K("workbook_id"), workbook_id);
  log_info(fmt("[BusinessLayer] Forwarded {} to IDE for workbook {}", get(message, K("type")), workbook_id));
  co_await broadcast_to_ide(message);
  co_return py::none();
}

Task handle_kernel_transfert(py::str client_id, py::dict message) {
  if (route_call_answer(client_id, message) == Route::Drop) co_return py::none();
  StreamSource stream(message, client_id);
  // The add-in's copy first; a failed send to it keeps the IDEs from getting one.
  co_await send_to(K("addin"), client_id, message);
  co_await broadcast_to_ide(message);
  co_return py::none();
}

}  // namespace

void define_addin_relays(Scope& m) {
  const std::vector<Param> params = {"client_id", "message"};
  tv::def<&handle_forward_to_kernel>(m, "handle_forward_to_kernel", params);
  tv::def<&handle_forward_to_addin>(m, "handle_forward_to_addin", params);
  tv::def<&handle_broadcast_to_ide>(m, "handle_broadcast_to_ide", params);
  tv::def<&handle_execution_request>(m, "handle_execution_request", params);
  tv::def<&handle_spawn_kernel>(m, "handle_spawn_kernel", params);
  tv::def<&handle_terminate_kernel>(m, "handle_terminate_kernel", params);
  tv::def<&handle_excel_response>(m, "handle_excel_response", params);
  tv::def<&handle_sys_response>(m, "handle_sys_response", params);
}

void define_event_config_relay(Scope& m) {
  tv::def<&handle_event_config_response>(m, "handle_event_config_response", {"client_id", "message"});
}

void define_kernel_relays(Scope& m) {
  const std::vector<Param> params = {"client_id", "message"};
  tv::def<&handle_kernel_to_addin>(m, "handle_kernel_to_addin", params);
  tv::def<&handle_kernel_to_ide>(m, "handle_kernel_to_ide", params);
  tv::def<&handle_kernel_transfert>(m, "handle_kernel_transfert", params);
}

}  // namespace relvane
