// The IDE's event-configuration requests: relays to the add-in, the cached
// event-manager view, and handler registration, which the workbook state
// applies once the add-in has confirmed it.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

bool all_true(std::initializer_list<py::handle> values) {
  for (py::handle v : values)
    if (!truthy(v)) return false;
  return true;
}

Task handle_event_request_to_addin(py::str, py::dict message) {
  py::object workbook_id = field(message, "workbook_id");
  if (!truthy(workbook_id)) {
    log_warning(fmt("Received {} from IDE without workbook_id", field(message, "type")));
    co_return py::none();
  }
  co_await G("manager").attr("send_to_addin")(workbook_id, message);
  co_return py::none();
}

Task handle_refresh_event_manager_state(py::str, py::dict message) {
  py::object workbook_id = field(message, "workbook_id");
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received refresh_event_manager_state from IDE without workbook_id"));
    co_return py::none();
  }
  py::object manager = G("manager");
  bool cached = as_dict(manager.attr("workbook_tree"), "workbook_tree").contains(workbook_id) &&
                as_dict(manager.attr("event_definitions"), "event_definitions").contains(workbook_id);
  if (cached) {
    co_await manager.attr("_push_event_manager_state")(workbook_id);
    debug("Pushed cached event manager state for: {}", workbook_id);
    co_return py::none();
  }
  debug("No cached data, triggering scan for: {}", workbook_id);
  py::dict scan;
  scan["type"] = "scan_objects_request";
  scan["workbook_id"] = workbook_id;
  co_await manager.attr("send_to_addin")(workbook_id, scan);
  co_return py::none();
}

py::dict handler_result(const char* type, py::handle workbook_id, py::handle object_id, py::handle event_name,
                        py::handle success) {
  py::dict result;
  result["type"] = type;
  result["workbook_id"] = workbook_id;
  result["object_id"] = object_id;
  result["event_name"] = event_name;
  result["success"] = success;
  return result;
}

Task handle_register_handler(py::str, py::dict message) {
  py::object workbook_id = field(message, "workbook_id");
  py::object object_type = field(message, "object_type");
  py::object object_id = field(message, "object_id");
  py::object event_name = field(message, "event_name");
  py::object module_name = field(message, "module_name");
  py::object function_name = field(message, "function_name");
  if (!all_true({workbook_id, object_type, object_id, event_name, module_name, function_name})) {
    log_warning(py::str("Received register_handler from IDE with missing parameters"));
    co_return py::none();
  }
  py::object success = co_await G("manager").attr("handle_register_handler")(workbook_id, object_type, object_id,
                                                                              event_name, module_name, function_name);
  co_await G("manager").attr("send_to_ide")(
      handler_result("register_handler_result", workbook_id, object_id, event_name, success));
  co_return py::none();
}

Task handle_unregister_handler(py::str, py::dict message) {
  py::object workbook_id = field(message, "workbook_id");
  py::object object_id = field(message, "object_id");
  py::object event_name = field(message, "event_name");
  if (!all_true({workbook_id, object_id, event_name})) {
    log_warning(py::str("Received unregister_handler from IDE with missing parameters"));
    co_return py::none();
  }
  py::object success =
      co_await G("manager").attr("handle_unregister_handler")(workbook_id, object_id, event_name);
  co_await G("manager").attr("send_to_ide")(
      handler_result("unregister_handler_result", workbook_id, object_id, event_name, success));
  co_return py::none();
}

Task handle_rename_module_in_events(py::str, py::dict message) {
  py::object workbook_id = field(message, "workbook_id");
  py::object old_name = field(message, "old_module_name");
  py::object new_name = field(message, "new_module_name");
  py::object events = field(message, "events", py::list());
  if (!all_true({workbook_id, old_name, new_name})) {
    log_warning(py::str("Received rename_module_in_events from IDE with missing parameters"));
    co_return py::none();
  }
  if (!truthy(events)) {
    debug("[BusinessLayer] No events to update for module rename: {} -> {}", old_name, new_name);
    co_return py::none();
  }
  log_info(fmt("[BusinessLayer] Renaming module in {} event handler(s): {} -> {}", py::len(events), old_name,
               new_name));
  // A snapshot, so the entries are the ones named when the request arrived.
  py::list entries(events);
  for (py::handle item : entries) {
    py::dict entry = as_dict(item, "rename event entry");
    py::object object_type = field(entry, "object_type");
    py::object object_id = field(entry, "object_id");
    py::object event_name = field(entry, "event_name");
    py::object function_name = field(entry, "function_name");
    if (!all_true({object_type, object_id, event_name, function_name})) {
      log_warning(fmt("[BusinessLayer] Skipping event with missing parameters: {}", entry));
      continue;
    }
    py::object removed = co_await G("manager").attr("handle_unregister_handler")(workbook_id, object_id, event_name);
    py::object added = co_await G("manager").attr("handle_register_handler")(workbook_id, object_type, object_id,
                                                                            event_name, new_name, function_name);
    // Unbound after a confirmed removal: the handler would stop firing, so it
    // goes back to the module it was bound to.
    if (truthy(removed) && !truthy(added)) {
      log_warning(fmt("[BusinessLayer] Could not bind {}[{}].{} to {}, restoring {}", object_type, object_id,
                      event_name, new_name, old_name));
      py::object restored = co_await G("manager").attr("handle_register_handler")(
          workbook_id, object_type, object_id, event_name, old_name, function_name);
      if (!truthy(restored))
        log_error(fmt("[BusinessLayer] Event handler {}[{}].{} is left unbound", object_type, object_id, event_name));
    }
  }
  log_info(py::str("[BusinessLayer] Successfully updated event handlers for module rename"));
  co_return py::none();
}

}  // namespace

void define_event_request_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_event_request_to_addin>(m, "handle_event_request_to_addin", params);
  tv::def<&handle_refresh_event_manager_state>(m, "handle_refresh_event_manager_state", params);
  tv::def<&handle_register_handler>(m, "handle_register_handler", params);
  tv::def<&handle_unregister_handler>(m, "handle_unregister_handler", params);
  tv::def<&handle_rename_module_in_events>(m, "handle_rename_module_in_events", params);
}

}  // namespace relvane
