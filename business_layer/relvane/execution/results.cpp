// A kernel's answers to worksheet-function calls: turned into
// "function_execution_result" for the add-in that made the call and coalesced
// by the result batcher; answers that match no call are relayed unchanged.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

struct Outcome {
  bool success;
  const char* status;
  const char* payload_key;
  const char* log_text;
};

constexpr Outcome kSuccess{true, "success", "result", "Queued function_execution_result for request_id: {}"};
constexpr Outcome kError{false, "error", "error", "Queued function_execution_result (error) for request_id: {}"};

bool contains_key(py::handle table, py::handle key) {
  int found = PyDict_Contains(table.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();  // an unhashable id
  return found == 1;
}

py::object payload_default(const Outcome& outcome) {
  if (outcome.success) return py::none();
  py::dict unknown;
  unknown["message"] = "Unknown error";
  return unknown;
}

Task handle_answer(Outcome outcome, py::str client_id, py::dict message) {
  py::object manager = G("manager");
  py::dict pending = as_dict(manager.attr("_pending_function_executions"), "_pending_function_executions");
  py::object request_id = message.attr("get")("request_id", "N/A");

  // A kernel completes only its own workbook's calls: another kernel quoting a
  // pending id must neither answer that workbook's add-in nor drop its entry.
  bool is_function_execution = truthy(request_id) && contains_key(pending, request_id) &&
                               py::object(pending[request_id]).equal(client_id);
  if (!is_function_execution) {
    co_await G("handle_kernel_transfert")(client_id, message);
    co_return py::none();
  }

  py::object workbook_id = pending.attr("pop")(request_id);
  py::dict function_result;
  function_result["type"] = "function_execution_result";
  function_result["request_id"] = request_id;
  function_result["status"] = outcome.status;
  function_result[outcome.payload_key] = message.attr("get")(outcome.payload_key, payload_default(outcome));
  function_result["logs"] = message.attr("get")("logs", "");

  co_await manager.attr("_result_batcher").attr("add_result")(workbook_id, function_result);
  log_debug(fmt(outcome.log_text, request_id));
  co_return py::none();
}

Task handle_kernel_execution_result(py::str client_id, py::dict message) {
  co_await handle_answer(kSuccess, client_id, message);
  co_return py::none();
}

Task handle_kernel_execution_error(py::str client_id, py::dict message) {
  co_await handle_answer(kError, client_id, message);
  co_return py::none();
}

}  // namespace

void define_result_handlers(Scope& m) {
  tv::def<&handle_kernel_execution_result>(m, "handle_kernel_execution_result", {"client_id", "message"});
  tv::def<&handle_kernel_execution_error>(m, "handle_kernel_execution_error", {"client_id", "message"});
}

}  // namespace relvane
