// The IDE's kernel-bound requests: debugger commands, language-service
// requests and the object-registry query go unchanged to the kernel of the
// named workbook; a hover-mode change goes to every connected kernel. The
// kernel's answers come back through the kernel-message relays.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task relay_to_kernel(py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(fmt("Received {} from IDE without workbook_id", get(message, K("type"))));
    co_return py::none();
  }
  co_await send_to(K("kernel"), workbook_id, message);
  co_return py::none();
}

Task handle_debug_command(py::str, py::dict message) {
  co_await relay_to_kernel(message);
  co_return py::none();
}

Task handle_lsp_request(py::str, py::dict message) {
  co_await relay_to_kernel(message);
  co_return py::none();
}

Task handle_set_hover_mode(py::str, py::dict message) {
  py::object mode = get(message, K("mode"), K("compact"));
  debug("[Server] Broadcasting set_hover_mode to all kernels: {}", mode);
  py::dict connections = as_dict(attr(G(K("manager")), K("active_connections")), "active_connections");
  // A snapshot: kernels may connect or leave between the sends.
  py::list kernel_ids(get(connections, K("kernel"), py::dict()));
  for (py::handle kernel_id : kernel_ids) {
    py::dict change;
    set_item(change, K("type"), K("set_hover_mode"));
    set_item(change, K("mode"), mode);
    // One kernel whose socket fails must not keep the change from the others.
    try {
      co_await call_method(G(K("manager")), K("send_message"), K("kernel"),
                           py::reinterpret_borrow<py::object>(kernel_id), change);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      log_error(fmt("[Server] Error sending set_hover_mode to kernel {}: {}", kernel_id, py::str(e.value())));
    }
  }
  co_return py::none();
}

Task handle_get_object_registry(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received get_object_registry from IDE without workbook_id"));
    co_return py::none();
  }
  debug("[Server] Forwarding get_object_registry to kernel {}", workbook_id);
  co_await send_to(K("kernel"), workbook_id, message);
  co_return py::none();
}

}  // namespace

void define_debug_relay(Scope& m) { tv::def<&handle_debug_command>(m, "handle_debug_command", handler_params()); }

void define_kernel_query_relays(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_lsp_request>(m, "handle_lsp_request", params);
  tv::def<&handle_set_hover_mode>(m, "handle_set_hover_mode", params);
  tv::def<&handle_get_object_registry>(m, "handle_get_object_registry", params);
}

}  // namespace relvane
