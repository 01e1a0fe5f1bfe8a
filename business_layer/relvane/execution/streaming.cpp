// Streaming worksheet functions: the add-in's start request is checked, the
// kernel's modules brought up to date and the call forwarded; results flow back
// through the kernel relays. The master keeps no record of running streams.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task _send_streaming_error(py::str client_id, py::str request_id, py::str error_msg) {
  py::dict answer;
  set_item(answer, K("type"), K("streaming_function_result"));
  set_item(answer, K("request_id"), request_id);
  set_item(answer, K("error"), error_msg);
  set_item(answer, K("done"), Py_True);
  co_await call_method(G(K("manager")), K("send_to_addin"), client_id, answer);
  co_return py::none();
}

Task handle_streaming_function_execution(py::str client_id, py::dict message) {
  py::object request_id = get(message, K("request_id"));
  py::object module_name = get(message, K("module_name"));
  py::object function_name = get(message, K("function_name"));
  py::object args = get(message, K("args"), py::list());

  // Without an id there is nothing to answer under.
  if (!truthy(request_id)) {
    log_warning(py::str("streaming_function_execution missing request_id"));
    co_return py::none();
  }

  py::object error = call_name_error("streaming_function_execution", module_name, function_name);
  if (!error.is_none()) {
    log_warning(error);
    co_await call(G(K("_send_streaming_error")), client_id, request_id, error);
    co_return py::none();
  }

  py::object failed = co_await sync_before_call(client_id);
  if (!failed.is_none()) {
    py::str text = fmt("Code synchronisation failed: {}", failed);
    co_await call(G(K("_send_streaming_error")), client_id, request_id, text);
    co_return py::none();
  }

  py::dict execute;
  set_item(execute, K("type"), K("execute_streaming_function"));
  set_item(execute, K("request_id"), request_id);
  set_item(execute, K("module_name"), module_name);
  set_item(execute, K("function_name"), function_name);
  set_item(execute, K("args"), args);
  debug("[TIMING] Forwarded to kernel: type={}, request_id={}", get(message, K("type")), request_id);
  co_await call_method(G(K("manager")), K("send_message"), K("kernel"), client_id, execute);
  co_return py::none();
}

Task handle_cancel_streaming_function(py::str client_id, py::dict message) {
  py::dict cancel;
  set_item(cancel, K("type"), K("cancel_streaming_function"));
  set_item(cancel, K("request_id"), get(message, K("request_id")));
  co_await call_method(G(K("manager")), K("send_message"), K("kernel"), client_id, cancel);
  co_return py::none();
}

}  // namespace

void define_streaming_handlers(Scope& m) {
  tv::def<&_send_streaming_error>(m, "_send_streaming_error", {"client_id", "request_id", "error_msg"});
  tv::def<&handle_streaming_function_execution>(m, "handle_streaming_function_execution", {"client_id", "message"});
  tv::def<&handle_cancel_streaming_function>(m, "handle_cancel_streaming_function", {"client_id", "message"});
}

}  // namespace relvane
