// A kernel asking for one module: answered from the cache, or asked of the
// workbook's add-in when the cache has no text for it.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task handle_kernel_request_module_sync(py::str client_id, py::dict message) {
  py::object module_name = get(message, K("module_name"));
  py::object workbook_id = get(message, K("workbook_id"), client_id);
  log_info(fmt("[Server] Kernel requesting module sync: {} for workbook: {}", module_name, workbook_id));

  py::object manager = G(K("manager"));
  py::object code = call_method(manager, K("get_module"), workbook_id, module_name);
  if (PyUnicode_Check(code.ptr()) && PyUnicode_GET_LENGTH(code.ptr()) > 0) {
    log_info(fmt("[Server] Sending cached module {} to kernel", module_name));
    py::dict update;
    set_item(update, K("type"), K("update_module"));
    set_item(update, K("module_name"), module_name);
    set_item(update, K("code"), code);
    co_await call_method(manager, K("send_message"), K("kernel"), workbook_id, update);
    co_return py::none();
  }

  log_info(fmt("[Server] Module {} not in cache, requesting from addin", module_name));
  py::dict request;
  set_item(request, K("type"), K("get_module_request"));
  set_item(request, K("module_name"), module_name);
  set_item(request, K("for_streaming"), Py_True);
  co_await call_method(manager, K("send_to_addin"), workbook_id, request);
  co_return py::none();
}

}  // namespace

void define_module_sync_handler(Scope& m) {
  tv::def<&handle_kernel_request_module_sync>(m, "handle_kernel_request_module_sync", {"client_id", "message"});
}

}  // namespace relvane
