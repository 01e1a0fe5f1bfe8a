// The IDE's settings requests, answered from the outside settings manager.
// Its calls are synchronous and run on the event loop.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_get_settings(py::str, py::dict message) {
  py::object path = field(message, "path", py::str(""));
  py::object value = G("settings_manager").attr("get")(path);
  py::dict answer;
  answer["type"] = "settings_response";
  answer["request_id"] = field(message, "request_id");
  answer["path"] = path;
  answer["value"] = value;
  co_await G("manager").attr("send_to_ide")(answer);
  co_return py::none();
}

Task handle_set_setting(py::str, py::dict message) {
  py::object path = field(message, "path");
  py::object value = field(message, "value");
  // A failing set raises here, so "success" true is sent only for a stored value.
  G("settings_manager").attr("set")(path, value);
  py::dict answer;
  answer["type"] = "setting_saved";
  answer["request_id"] = field(message, "request_id");
  answer["path"] = path;
  answer["success"] = true;
  co_await G("manager").attr("send_to_ide")(answer);
  co_return py::none();
}

Task handle_get_all_settings(py::str, py::dict message) {
  py::dict answer;
  answer["type"] = "all_settings_response";
  answer["request_id"] = field(message, "request_id");
  answer["initial"] = field(message, "initial", py::bool_(false));
  answer["settings"] = G("settings_manager").attr("get_all")();
  co_await G("manager").attr("send_to_ide")(answer);
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
