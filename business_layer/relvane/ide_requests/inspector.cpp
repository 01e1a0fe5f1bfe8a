// Queries of the IDE for the inspector service (client "main"), and the
// inspector's results, which every IDE receives.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_get_function_at_position(py::str, py::dict message) {
  py::object inspector = call_method(G(K("manager")), K("get_connection"), K("inspector"), K("main"));
  if (!inspector.is_none()) {
    socket_send(inspector, message);
    log_debug(py::str("Forwarded get_function_at_position to inspector"));
    co_return py::none();
  }
  log_warning(py::str("Inspector not connected, cannot process get_function_at_position"));
  py::dict answer;
  set_item(answer, K("type"), K("function_at_position_result"));
  set_item(answer, K("request_id"), get(message, K("request_id")));
  set_item(answer, K("function_name"), py::none());
  set_item(answer, K("error"), K("Inspector service not available"));
  co_await call_method(G(K("manager")), K("send_to_ide"), answer);
  co_return py::none();
}

Task handle_inspector_result(py::str, py::dict message) {
  co_await call_method(G(K("manager")), K("send_to_ide"), message);
  debug("Forwarded {} to IDE", get(message, K("type")));
  co_return py::none();
}

}  // namespace

void define_inspector_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_get_function_at_position>(m, "handle_get_function_at_position", params);
  tv::def<&handle_inspector_result>(m, "handle_inspector_result", params);
}

}  // namespace relvane
