// The event-handler registry: changed only once the add-in confirms, and sent
// back to the add-in whole in the add-in's own form.
#include "business_layer/relvane/dicts.hpp"
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

Task handle_register_handler(py::object self, py::str workbook_id, py::str object_type, py::str object_id,
                             py::str event_name, py::str module_name, py::str function_name) {
  log_info(fmt("Registering handler: {}/{}[{}].{} -> {}.{}", workbook_id, object_type, object_id, event_name,
               module_name, function_name));
  py::object error;
  try {
    py::dict message = dict_of({{K("type"), K("register_handler_request")},
                                {K("object_type"), object_type},
                                {K("object_id"), object_id},
                                {K("event_name"), event_name},
                                {K("module_name"), module_name},
                                {K("function_name"), function_name}});
    py::object reply = co_await ask_addin(self, workbook_id, message);
    py::object success = get(reply, K("success"), Py_False);
    if (truthy(success)) {
      py::dict all = as_dict(attr(self, K("registered_handlers")), "registered_handlers");
      if (!all.contains(workbook_id)) all[workbook_id] = py::dict();
      py::dict registration;
      set_item(registration, K("module_name"), module_name);
      set_item(registration, K("function_name"), function_name);
      set_item(registration, K("object_type"), object_type);
      as_dict(all[workbook_id], "registered_handlers entry")[py::make_tuple(object_id, event_name)] = registration;
      log_debug(py::str("Registered handler in local registry"));
      co_await call_method(self, K("_push_event_manager_state"), workbook_id);
    }
    co_return success;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error registering handler: {}", py::str(error)));
  co_return py::bool_(false);
}

Task handle_unregister_handler(py::object self, py::str workbook_id, py::str object_id, py::str event_name) {
  log_info(fmt("Unregistering handler: {}/{}.{}", workbook_id, object_id, event_name));
  py::object error;
  try {
    py::dict message = dict_of(
        {{K("type"), K("unregister_handler_request")}, {K("object_id"), object_id}, {K("event_name"), event_name}});
    py::object reply = co_await ask_addin(self, workbook_id, message);
    py::object success = get(reply, K("success"), Py_False);
    if (truthy(success)) {
      py::dict all = as_dict(attr(self, K("registered_handlers")), "registered_handlers");
      if (all.contains(workbook_id))
        call_method(all[workbook_id], K("pop"), py::make_tuple(object_id, event_name), py::none());
      log_debug(py::str("Unregistered handler from local registry"));
      co_await call_method(self, K("_push_event_manager_state"), workbook_id);
    }
    co_return success;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error unregistering handler: {}", py::str(error)));
  co_return py::bool_(false);
}

Task push_events_config_to_addin(py::object self, py::str workbook_id, OptDict events_config, py::object save,
                                 py::object websocket) {
  bool save_flag = truthy(save);
  py::object config = events_config;
  if (!truthy(config)) config = get(attr(self, K("registered_handlers")), workbook_id, py::dict());
  py::object request_id = py::str(call_method(G(K("uuid")), K("uuid4")));
  py::object addin_config = call(G(K("_events_from_ide_to_addin")), config);
  py::bool_ save_value(save_flag);
  py::dict message = dict_of({{K("type"), K("save_event_config_request")},
                              {K("workbook_id"), workbook_id},
                              {K("config"), addin_config},
                              {K("request_id"), request_id},
                              {K("requestId"), request_id},
                              {K("save"), save_value}});
  PushLog log{"events configuration", workbook_id};
  co_await push_message(self, message, websocket, workbook_id, log);
  co_return py::none();
}

}  // namespace

void define_handler_registry_methods(Scope& cls) {
  tv::def<&handle_register_handler>(
      cls, "handle_register_handler",
      {"self", "workbook_id", "object_type", "object_id", "event_name", "module_name", "function_name"});
  tv::def<&handle_unregister_handler>(cls, "handle_unregister_handler",
                                      {"self", "workbook_id", "object_id", "event_name"});
}

void define_events_config_push(Scope& cls) {
  tv::def<&push_events_config_to_addin>(
      cls, "_push_events_config_to_addin",
      {"self", "workbook_id", {"events_config", py::none()}, {"save", py::bool_(true)}, {"websocket", py::none()}});
}

}  // namespace relvane
