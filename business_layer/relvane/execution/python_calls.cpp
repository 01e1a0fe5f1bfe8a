// The add-in calling a Python callable that a kernel registered: forwarded to
// the workbook's kernel under the kernel's snake-case correlation key, whose
// value is the master's id for the call: the answer goes back under the
// add-in's "requestId" to the connection that called (kernel relays).
#include "business_layer/relvane/execution/pending_calls.hpp"
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task handle_python_function_call(py::str client_id, py::dict message) {
  py::object callable_id = get(message, K("callable_id"));
  py::object args = get(message, K("args"), py::list());
  py::object request_id = get(message, K("requestId"));
  py::object manager = G(K("manager"));
  py::object origin = calling_connection(manager, client_id);
  if (!origin) {
    debug("Dropped python_function_call {} of addin/{}: its connection has been replaced", request_id, client_id);
    co_return py::none();
  }

  if (!truthy(callable_id)) {
    log_warning(py::str("python_function_call missing callable_id"));
    // The add-in's response envelope, not a typed message.
    py::dict error;
    set_item(error, K("message"), K("python_function_call missing callable_id"));
    py::dict response;
    set_item(response, K("kind"), K("response"));
    set_item(response, K("requestId"), request_id);
    set_item(response, K("ok"), Py_False);
    set_item(response, K("error"), error);
    co_await call_method(manager, K("send_to_addin"), client_id, response);
    co_return py::none();
  }

  log_info(fmt("[Server] Routing python_function_call: callable_id={}, request_id={}", callable_id, request_id));
  py::dict forward;
  set_item(forward, K("type"), K("python_function_call"));
  set_item(forward, K("callable_id"), callable_id);
  set_item(forward, K("args"), args);
  py::object kernel_id = new_kernel_id();
  set_item(forward, K("request_id"), kernel_id);
  set_item(forward, K("workbook_id"), client_id);
  // Not kept when no kernel will ever answer it.
  if (registered_connection(manager, K("kernel"), client_id).is_none()) co_return py::none();
  record_kernel_call(manager, kernel_id, client_id, origin, request_id, false);
  co_await call_method(manager, K("send_message"), K("kernel"), client_id, forward);
  co_return py::none();
}

}  // namespace

void define_python_call_handler(Scope& m) {
  tv::def<&handle_python_function_call>(m, "handle_python_function_call", {"client_id", "message"});
}

}  // namespace relvane
