// A kernel's answers to worksheet-function calls: turned into
// "function_execution_result" for the add-in that made the call and coalesced
// by the result batcher; answers that match no call are relayed unchanged.
#include "business_layer/relvane/execution/pending_calls.hpp"
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

struct Outcome {
  bool success;
  PyObject* status;
  PyObject* payload_key;
  const char* log_text;
};

Outcome success_outcome() {
  return {true, K("success"), K("result"), "Queued function_execution_result for request_id: {}"};
}
Outcome error_outcome() {
  return {false, K("error"), K("error"), "Queued function_execution_result (error) for request_id: {}"};
}

py::object payload_default(const Outcome& outcome) {
  if (outcome.success) return py::none();
  py::dict unknown;
  set_item(unknown, K("message"), K("Unknown error"));
  return unknown;
}

Task handle_answer(Outcome outcome, py::str client_id, py::dict message) {
  py::object manager = G(K("manager"));
  py::object kernel_id = get(message, K("request_id"), K("N/A"));

  // A kernel completes only its own workbook's calls: another kernel quoting a
  // pending id must neither answer that workbook's add-in nor drop its entry.
  py::object pending = truthy(kernel_id) ? take_pending_call(manager, kernel_id, client_id) : py::object();
  if (!pending) {
    // An id of the master's that nobody waits for any more: the answer would
    // tell the add-in nothing it asked.
    if (is_kernel_id(kernel_id)) {
      debug("Dropped {} of kernel/{} for call {}: no add-in connection waits for it", get(message, K("type")),
            client_id, kernel_id);
      co_return py::none();
    }
    co_await call(G(K("handle_kernel_transfert")), client_id, message);
    co_return py::none();
  }
  // The results go to the workbook's add-in: the connection that made the call.
  py::handle request_id = PyTuple_GET_ITEM(pending.ptr(), 2);
  if (!is_current_addin(manager, client_id, PyTuple_GET_ITEM(pending.ptr(), 1))) {
    debug("Dropped the answer to {} of addin/{}: the connection that made the call has gone", request_id, client_id);
    co_return py::none();
  }

  const py::str& workbook_id = client_id;
  py::dict function_result;
  set_item(function_result, K("type"), K("function_execution_result"));
  set_item(function_result, K("request_id"), request_id);
  set_item(function_result, K("status"), outcome.status);
  py::object payload = find(message, outcome.payload_key);
  set_item(function_result, outcome.payload_key, payload ? payload : payload_default(outcome));
  set_item(function_result, K("logs"), get(message, K("logs"), K("")));

  co_await call_method(attr(manager, K("_result_batcher")), K("add_result"), workbook_id, function_result);
  debug(outcome.log_text, request_id);
  co_return py::none();
}

Task handle_kernel_execution_result(py::str client_id, py::dict message) {
  co_await handle_answer(success_outcome(), client_id, message);
  co_return py::none();
}

Task handle_kernel_execution_error(py::str client_id, py::dict message) {
  co_await handle_answer(error_outcome(), client_id, message);
  co_return py::none();
}

}  // namespace

void define_result_handlers(Scope& m) {
  tv::def<&handle_kernel_execution_result>(m, "handle_kernel_execution_result", {"client_id", "message"});
  tv::def<&handle_kernel_execution_error>(m, "handle_kernel_execution_error", {"client_id", "message"});
}

}  // namespace relvane
