// The IDE's event-configuration requests: relays to the add-in, the cached
// event-manager view, and handler registration, which the workbook state
// applies once the add-in has confirmed it.
#include "business_layer/relvane/dicts.hpp"
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

bool all_true(std::initializer_list<py::handle> values) {
  for (py::handle v : values)
    if (!truthy(v)) return false;
  return true;
}

// Whether one of an IDE request's required values is missing or empty; such a
// request is logged and dropped.
bool lacks_parameters(const char* request, std::initializer_list<py::handle> values) {
  if (all_true(values)) return false;
  log_warning(fmt("Received {} from IDE with missing parameters", request));
  return true;
}

Task handle_event_request_to_addin(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(fmt("Received {} from IDE without workbook_id", get(message, K("type"))));
    co_return py::none();
  }
  co_await call_method(G(K("manager")), K("send_to_addin"), workbook_id, message);
  co_return py::none();
}

Task handle_refresh_event_manager_state(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received refresh_event_manager_state from IDE without workbook_id"));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  bool cached = as_dict(attr(manager, K("workbook_tree")), "workbook_tree").contains(workbook_id) &&
                as_dict(attr(manager, K("event_definitions")), "event_definitions").contains(workbook_id);
  if (cached) {
    co_await call_method(manager, K("_push_event_manager_state"), workbook_id);
    debug("Pushed cached event manager state for: {}", workbook_id);
    co_return py::none();
  }
  debug("No cached data, triggering scan for: {}", workbook_id);
  py::dict scan;
  set_item(scan, K("type"), K("scan_objects_request"));
  set_item(scan, K("workbook_id"), workbook_id);
  co_await call_method(manager, K("send_to_addin"), workbook_id, scan);
  co_return py::none();
}

// Awaits the manager's registry change and tells the IDEs how it went.
Task answer_handler_change(PyObject* type, py::object workbook_id, py::object object_id, py::object event_name,
                           py::object change) {
  py::object success = co_await change;
  py::dict result = dict_of({{K("type"), type},
                             {K("workbook_id"), workbook_id},
                             {K("object_id"), object_id},
                             {K("event_name"), event_name},
                             {K("success"), success}});
  co_await call_method(G(K("manager")), K("send_to_ide"), result);
  co_return py::none();
}

Task handle_register_handler(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object object_type = get(message, K("object_type"));
  py::object object_id = get(message, K("object_id"));
  py::object event_name = get(message, K("event_name"));
  py::object module_name = get(message, K("module_name"));
  py::object function_name = get(message, K("function_name"));
  if (lacks_parameters("register_handler",
                       {workbook_id, object_type, object_id, event_name, module_name, function_name}))
    co_return py::none();
  py::object change = call_method(G(K("manager")), K("handle_register_handler"), workbook_id, object_type, object_id,
                                  event_name, module_name, function_name);
  co_await answer_handler_change(K("register_handler_result"), workbook_id, object_id, event_name, change);
  co_return py::none();
}

Task handle_unregister_handler(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object object_id = get(message, K("object_id"));
  py::object event_name = get(message, K("event_name"));
  if (lacks_parameters("unregister_handler", {workbook_id, object_id, event_name})) co_return py::none();
  py::object change = call_method(G(K("manager")), K("handle_unregister_handler"), workbook_id, object_id, event_name);
  co_await answer_handler_change(K("unregister_handler_result"), workbook_id, object_id, event_name, change);
  co_return py::none();
}

Task handle_rename_module_in_events(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object old_name = get(message, K("old_module_name"));
  py::object new_name = get(message, K("new_module_name"));
  py::object events = get(message, K("events"), py::list());
  if (lacks_parameters("rename_module_in_events", {workbook_id, old_name, new_name})) co_return py::none();
  if (!truthy(events)) {
    debug("[BusinessLayer] No events to update for module rename: {} -> {}", old_name, new_name);
    co_return py::none();
  }
  log_info(fmt("[BusinessLayer] Renaming module in {} event handler(s): {} -> {}", py::len(events), old_name,
               new_name));
  // A copy: the entries named when the request arrived, whatever another task
  // does to the message's list while this one awaits.
  for (py::handle item : snapshot(events)) {
    py::dict entry = as_dict(item, "rename event entry");
    py::object object_type = get(entry, K("object_type"));
    py::object object_id = get(entry, K("object_id"));
    py::object event_name = get(entry, K("event_name"));
    py::object function_name = get(entry, K("function_name"));
    if (!all_true({object_type, object_id, event_name, function_name})) {
      log_warning(fmt("[BusinessLayer] Skipping event with missing parameters: {}", entry));
      continue;
    }
    py::object removed =
        co_await call_method(G(K("manager")), K("handle_unregister_handler"), workbook_id, object_id, event_name);
    py::object added = co_await call_method(G(K("manager")), K("handle_register_handler"), workbook_id, object_type,
                                            object_id, event_name, new_name, function_name);
    // Unbound after a confirmed removal: the handler would stop firing, so it
    // goes back to the module it was bound to.
    if (truthy(removed) && !truthy(added)) {
      log_warning(fmt("[BusinessLayer] Could not bind {}[{}].{} to {}, restoring {}", object_type, object_id,
                      event_name, new_name, old_name));
      py::object restored = co_await call_method(G(K("manager")), K("handle_register_handler"), workbook_id,
                                                 object_type, object_id, event_name, old_name, function_name);
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
