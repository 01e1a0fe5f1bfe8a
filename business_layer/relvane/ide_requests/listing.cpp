// The IDE's listing and content requests, answered from the module cache; a
// module the cache lacks is asked of the workbook.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_list_modules(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received list_modules from IDE without workbook_id"));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  py::list names(call_method(manager, K("list_modules"), workbook_id));
  py::dict answer;
  set_item(answer, K("type"), K("module_list"));
  set_item(answer, K("workbook_id"), workbook_id);
  set_item(answer, K("modules"), names);
  co_await call_method(manager, K("send_to_ide"), answer);
  co_return py::none();
}

Task handle_get_module(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object module_name = get(message, K("module_name"));
  if (!truthy(workbook_id) || !truthy(module_name)) {
    log_warning(py::str("Received get_module from IDE without workbook_id or module_name"));
    co_return py::none();
  }
  py::object code = call_method(G(K("manager")), K("get_module"), workbook_id, module_name);
  // Cached empty text is an answer too; only a miss asks the workbook.
  if (code.is_none())
    code = co_await call_method(G(K("manager")), K("load_module_from_addin"), workbook_id, module_name);
  py::dict answer;
  set_item(answer, K("type"), K("module_content"));
  set_item(answer, K("workbook_id"), workbook_id);
  set_item(answer, K("module_name"), module_name);
  set_item(answer, K("code"), code);
  co_await call_method(G(K("manager")), K("send_to_ide"), answer);
  co_return py::none();
}

Task handle_get_all_modules(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received get_all_modules from IDE without workbook_id"));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  py::dict answer;
  set_item(answer, K("type"), K("all_modules"));
  set_item(answer, K("workbook_id"), workbook_id);
  set_item(answer, K("modules"), call_method(manager, K("list_modules"), workbook_id));
  co_await call_method(manager, K("send_to_ide"), answer);
  co_return py::none();
}

}  // namespace

void define_module_listing_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_list_modules>(m, "handle_list_modules", params);
  tv::def<&handle_get_module>(m, "handle_get_module", params);
  tv::def<&handle_get_all_modules>(m, "handle_get_all_modules", params);
}

}  // namespace relvane
