// The add-in calling a Python callable that a kernel registered: forwarded to
// the workbook's kernel under the kernel's snake-case correlation key.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task handle_python_function_call(py::str client_id, py::dict message) {
  py::object callable_id = message.attr("get")("callable_id");
  py::object args = message.attr("get")("args", py::list());
  py::object request_id = message.attr("get")("requestId");
  py::object manager = G("manager");

  if (!truthy(callable_id)) {
    log_warning(py::str("python_function_call missing callable_id"));
    // The add-in's response envelope, not a typed message.
    py::dict error;
    error["message"] = "python_function_call missing callable_id";
    py::dict response;
    response["kind"] = "response";
    response["requestId"] = request_id;
    response["ok"] = false;
    response["error"] = error;
    co_await manager.attr("send_to_addin")(client_id, response);
    co_return py::none();
  }

  log_info(fmt("[Server] Routing python_function_call: callable_id={}, request_id={}", callable_id, request_id));
  py::dict call;
  call["type"] = "python_function_call";
  call["callable_id"] = callable_id;
  call["args"] = args;
  call["request_id"] = request_id;
  call["workbook_id"] = client_id;
  co_await manager.attr("send_message")("kernel", client_id, call);
  co_return py::none();
}

}  // namespace

void define_python_call_handler(Scope& m) {
  tv::def<&handle_python_function_call>(m, "handle_python_function_call", {"client_id", "message"});
}

}  // namespace relvane
