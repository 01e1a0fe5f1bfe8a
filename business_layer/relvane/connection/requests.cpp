// Requests the master sends and awaits: correlated with the answer by request
// id alone, whatever the answer's type or sender.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// "request_id" when present and true, else "requestId" (None when missing).
py::object message_request_id(py::dict message) {
  py::object rid = get(message, K("request_id"));
  if (truthy(rid)) return rid;
  return get(message, K("requestId"));
}

Task send_and_wait_response(py::object self, py::str client_type, py::str client_id, py::dict message,
                            Real timeout) {
  py::object rid = message_request_id(message);
  if (!truthy(rid)) rid = py::str(call_method(G(K("uuid")), K("uuid4")));
  set_item(message, K("request_id"), rid);
  set_item(message, K("requestId"), rid);

  py::dict pending = as_dict(attr(self, K("_pending_requests")), "_pending_requests");
  py::object future = call_method(call_method(G(K("asyncio")), K("get_running_loop")), K("create_future"));
  pending[rid] = future;
  Finally drop{[&] { call_method(pending, K("pop"), rid, py::none()); }};

  py::object ws = call_method(self, K("get_connection"), client_type, client_id);
  if (ws.is_none()) {
    PyErr_SetObject(PyExc_ConnectionError, fmt("{} {} not connected", client_type, client_id).ptr());
    throw py::error_already_set();
  }
  socket_send(ws, message);
  py::object type = get(message, K("type"));
  debug("Sent message to {} {}: {}", client_type, client_id, type);

  bool timed_out = false;
  py::object answer;
  try {
    answer = co_await call_method(G(K("asyncio")), K("wait_for"), future, timeout);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TimeoutError)) throw;
    timed_out = true;
  }
  if (timed_out) {
    log_error(fmt("Timeout waiting for response to {} from {} {}", type, client_type, client_id));
    PyErr_SetObject(PyExc_TimeoutError, fmt("Timeout waiting for response from {} {}", client_type, client_id).ptr());
    throw py::error_already_set();
  }
  co_return answer;
}

bool handle_response(py::object self, py::dict message) {
  py::object rid = message_request_id(message);
  if (!truthy(rid)) return false;
  py::object future = get(as_dict(attr(self, K("_pending_requests")), "_pending_requests"), rid);
  if (future.is_none() || truthy(call_method(future, K("done")))) return false;
  call_method(future, K("set_result"), message);
  debug("Completed pending request: {}", rid);
  return true;
}

}  // namespace

void define_request_methods(Scope& cls) {
  tv::def<&send_and_wait_response>(cls, "send_and_wait_response",
                                   {"self", "client_type", "client_id", "message", {"timeout", py::float_(30.0)}});
  tv::def<&handle_response>(cls, "handle_response", {"self", "message"});
}

}  // namespace relvane
