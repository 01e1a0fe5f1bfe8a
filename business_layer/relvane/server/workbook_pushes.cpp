// What a party that has just connected needs to hear: the workbook list and each
// workbook's state for the IDE, the modules and python paths for a kernel.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task send_workbook_list_to_ide(py::object websocket) {
  py::object manager = G(K("manager"));
  py::object addins =
      get(as_dict(attr(manager, K("active_connections")), "active_connections"), K("addin"), py::dict());
  py::object names = attr(manager, K("client_names"));
  py::object modules = attr(manager, K("workbook_modules"));
  py::list workbooks;
  for (py::handle id : py::list(addins)) {
    py::dict entry;
    set_item(entry, K("id"), id);
    set_item(entry, K("name"), get(names, id, K("Untitled")));
    set_item(entry, K("modules"), get(modules, id, py::dict()));
    workbooks.append(entry);
  }
  py::dict message;
  set_item(message, K("type"), K("workbook_list"));
  set_item(message, K("workbooks"), workbooks);
  if (websocket.is_none())
    co_await call_method(manager, K("broadcast"), K("ide"), message);
  else
    socket_send(websocket, message);
  co_return py::none();
}

Task send_workbook_info_to_ide(py::str workbook_id, py::object websocket) {
  py::object manager = G(K("manager"));
  co_await call_method(manager, K("_push_event_manager_state"), workbook_id, websocket);
  co_await attr(manager, K("_push_published_functions_state"))(workbook_id, "websocket"_a = websocket);
  co_await attr(manager, K("_push_packages_and_python_paths"))(workbook_id, "websocket"_a = websocket);
  co_await attr(manager, K("_push_modules"))(workbook_id, "websocket"_a = websocket);
  co_return py::none();
}

Task send_modules_to_kernel(py::str workbook_id) {
  py::object manager = G(K("manager"));
  py::list items = snapshot_module_items(manager, workbook_id);
  for (py::handle item : items) {
    py::dict message = make_update_module_message(workbook_id, item[py::int_(0)], item[py::int_(1)]);
    co_await call_method(manager, K("send_message"), K("kernel"), workbook_id, message);
  }
  log_info(fmt("Synced {} module(s) to kernel for workbook: {}", py::len(items), workbook_id));
  co_return py::none();
}

Task send_python_paths_to_kernel(py::str workbook_id) {
  py::object manager = G(K("manager"));
  py::object paths = get(attr(manager, K("workbook_python_paths")), workbook_id, py::list());
  if (!truthy(paths)) co_return py::none();
  py::dict message;
  set_item(message, K("type"), K("set_python_paths"));
  set_item(message, K("old_paths"), py::list());
  set_item(message, K("new_paths"), paths);
  co_await call_method(manager, K("send_message"), K("kernel"), workbook_id, message);
  log_info(fmt("Sent {} python paths to kernel for workbook {}", py::len(paths), workbook_id));
  co_return py::none();
}

}  // namespace

void define_workbook_pushes(Scope& m) {
  tv::def<&send_workbook_list_to_ide>(m, "send_workbook_list_to_ide", {{"websocket", py::none()}});
  tv::def<&send_workbook_info_to_ide>(m, "send_workbook_info_to_ide", {"workbook_id", {"websocket", py::none()}});
  tv::def<&send_modules_to_kernel>(m, "send_modules_to_kernel", {"workbook_id"});
  tv::def<&send_python_paths_to_kernel>(m, "send_python_paths_to_kernel", {"workbook_id"});
}

}  // namespace relvane
