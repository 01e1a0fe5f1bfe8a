// Control of the IDE process, a workbook's kernel and a workbook's add-in.
// The IDE process manager and the kernel restart are synchronous calls on the
// event loop; only a kernel restart is answered.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

// The workbook a control request names, else the sender's own id.
py::object target_workbook(const py::str& client_id, const py::dict& message) {
  py::object workbook_id = get(message, K("workbook_id"));
  return truthy(workbook_id) ? workbook_id : py::object(client_id);
}

Task handle_show_ide(py::str client_id, py::dict) {
  py::object ide_manager = G(K("ide_manager"));
  if (ide_manager.is_none()) {
    log_error(py::str("IDE manager not initialized"));
    co_return py::none();
  }
  log_info(fmt("Received show_ide request from addin: {}", client_id));
  if (!truthy(call_method(ide_manager, K("ensure_running")))) {
    log_error(py::str("Failed to start IDE"));
    co_return py::none();
  }
  py::dict show;
  set_item(show, K("type"), K("show_ide"));
  co_await call_method(G(K("manager")), K("send_to_ide"), show);
  log_info(py::str("Sent show_ide message to IDE"));
  co_return py::none();
}

Task handle_kill_ide(py::str client_id, py::dict) {
  log_info(fmt("[BusinessLayer] Received kill_ide from {}", client_id));
  py::object ide_manager = G(K("ide_manager"));
  if (!truthy(ide_manager)) {
    log_warning(py::str("[BusinessLayer] IDE manager not initialized"));
    co_return py::none();
  }
  if (truthy(call_method(ide_manager, K("kill_and_restart"))))
    log_info(py::str("[BusinessLayer] IDE killed and restarted successfully"));
  else
    log_error(py::str("[BusinessLayer] Failed to restart IDE"));
  co_return py::none();
}

// The start of a forwarded value for the log: texts and lists by their first
// 50 items, anything else by its first 50 characters.
py::str message_preview(py::handle value) {
  py::slice first(0, 50, 1);
  if (PyUnicode_Check(value.ptr())) return py::str(value[first]);
  if (PyList_Check(value.ptr())) return py::str(value[first]);
  return py::str(py::str(value)[first]);
}

Task handle_message_ide(py::str client_id, py::dict message) {
  log_info(fmt("[BusinessLayer] Received message_ide from {}", client_id));
  py::object value = get(message, K("message"), K(""));
  py::dict forward;
  set_item(forward, K("type"), K("message_ide"));
  set_item(forward, K("message"), value);
  set_item(forward, K("from_client"), client_id);
  co_await call_method(G(K("manager")), K("send_to_ide"), forward);
  debug("[BusinessLayer] Forwarded message_ide to IDE: {}...", message_preview(value));
  co_return py::none();
}

Task handle_kill_kernel(py::str client_id, py::dict message) {
  py::object workbook_id = target_workbook(client_id, message);
  log_info(fmt("[BusinessLayer] Received kill_kernel request for workbook: {}", workbook_id));
  bool restarted = truthy(call_method(G(K("manager")), K("kill_and_restart_kernel"), workbook_id));
  py::dict response;
  set_item(response, K("type"), K("kill_kernel_response"));
  set_item(response, K("workbook_id"), workbook_id);
  set_item(response, K("success"), py::bool_(restarted));
  co_await call_method(G(K("manager")), K("send_to_addin"), workbook_id, response);
  co_await call_method(G(K("manager")), K("broadcast"), K("ide"), response);
  if (restarted)
    log_info(fmt("[BusinessLayer] Kernel killed and restarted successfully for: {}", workbook_id));
  else
    log_error(fmt("[BusinessLayer] Failed to restart kernel for: {}", workbook_id));
  co_return py::none();
}

Task handle_restart_addin(py::str client_id, py::dict message) {
  py::object workbook_id = target_workbook(client_id, message);
  log_info(fmt("[BusinessLayer] Received restart_addin request for workbook: {}", workbook_id));
  py::dict restart;
  set_item(restart, K("type"), K("restart_addin"));
  co_await call_method(G(K("manager")), K("send_to_addin"), workbook_id, restart);
  log_info(fmt("[BusinessLayer] Sent restart_addin to add-in: {}", workbook_id));
  co_return py::none();
}

}  // namespace

void define_control_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_show_ide>(m, "handle_show_ide", params);
  tv::def<&handle_kill_ide>(m, "handle_kill_ide", params);
  tv::def<&handle_message_ide>(m, "handle_message_ide", params);
  tv::def<&handle_kill_kernel>(m, "handle_kill_kernel", params);
  tv::def<&handle_restart_addin>(m, "handle_restart_addin", params);
}

}  // namespace relvane
