// Queries of the IDE for the inspector service (client "main"), and the
// inspector's results, which every IDE receives.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_get_function_at_position(py::str, py::dict message) {
  py::object inspector = G("manager").attr("get_connection")("inspector", "main");
  if (!inspector.is_none()) {
    co_await inspector.attr("send_json")(message);
    log_debug(py::str("Forwarded get_function_at_position to inspector"));
    co_return py::none();
  }
  log_warning(py::str("Inspector not connected, cannot process get_function_at_position"));
  py::dict answer;
  answer["type"] = "function_at_position_result";
  answer["request_id"] = field(message, "request_id");
  answer["function_name"] = py::none();
  answer["error"] = "Inspector service not available";
  co_await G("manager").attr("send_to_ide")(answer);
  co_return py::none();
}

Task handle_inspector_result(py::str, py::dict message) {
  co_await G("manager").attr("send_to_ide")(message);
  debug("Forwarded {} to IDE", field(message, "type"));
  co_return py::none();
}

}  // namespace

void define_inspector_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_get_function_at_position>(m, "handle_get_function_at_position", params);
  tv::def<&handle_inspector_result>(m, "handle_inspector_result", params);
}

}  // namespace relvane
