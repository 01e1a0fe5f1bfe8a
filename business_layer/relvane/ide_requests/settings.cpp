// The IDE's settings requests, answered from the outside settings manager.
// Its calls are synchronous and run on the event loop.
#include "business_layer/relvane/dicts.hpp"
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_get_settings(py::str, py::dict message) {
  py::object path = get(message, K("path"), K(""));
  py::object value = call_method(G(K("settings_manager")), K("get"), path);
  py::object request_id = get(message, K("request_id"));
  py::dict answer = dict_of(
      {{K("type"), K("settings_response")}, {K("request_id"), request_id}, {K("path"), path}, {K("value"), value}});
  co_await call_method(G(K("manager")), K("send_to_ide"), answer);
  co_return py::none();
}

Task handle_set_setting(py::str client_id, py::dict message) {
  py::object path = get(message, K("path"));
  py::object value = find(message, K("value"));
  // A request without a value (a misspelt key) would overwrite the stored
  // setting with null; an explicit null is a value like any other.
  if (value) {
    // A failing set raises here, so "success" true is sent only for a stored value.
    call_method(G(K("settings_manager")), K("set"), path, value);
  } else {
    log_warning(fmt("Received set_setting from IDE {} for setting '{}' without a \"value\"; the setting is left "
                    "unchanged",
                    client_id, path));
  }
  py::object request_id = get(message, K("request_id"));
  py::dict answer = dict_of({{K("type"), K("setting_saved")},
                             {K("request_id"), request_id},
                             {K("path"), path},
                             {K("success"), value ? Py_True : Py_False}});
  co_await call_method(G(K("manager")), K("send_to_ide"), answer);
  co_return py::none();
}

Task handle_get_all_settings(py::str, py::dict message) {
  py::dict answer;
  set_item(answer, K("type"), K("all_settings_response"));
  set_item(answer, K("request_id"), get(message, K("request_id")));
  set_item(answer, K("initial"), get(message, K("initial"), Py_False));
  set_item(answer, K("settings"), call_method(G(K("settings_manager")), K("get_all")));
  co_await call_method(G(K("manager")), K("send_to_ide"), answer);
  co_return py::none();
}

}  // namespace

void define_settings_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_get_settings>(m, "handle_get_settings", params);
  tv::def<&handle_set_setting>(m, "handle_set_setting", params);
  tv::def<&handle_get_all_settings>(m, "handle_get_all_settings", params);
}

}  // namespace relvane
