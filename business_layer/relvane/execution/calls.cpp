// The add-in's worksheet-function and event calls: names checked, the kernel's
// modules brought up to date, then the call forwarded to the workbook's kernel.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

py::dict validation_error(py::handle error_msg) {
  py::dict error;
  error["type"] = "ValidationError";
  error["message"] = error_msg;
  return error;
}

// The answers to a refused call: "execution_error", and for a worksheet
// function also the "function_execution_result" the cell waits for.
py::list error_answers(py::handle error_msg, py::handle workbook_id, py::handle request_id, py::handle module_name,
                       py::handle function_name, bool is_function_execution) {
  py::list answers;
  py::dict failure;
  failure["type"] = "execution_error";
  failure["success"] = false;
  failure["error"] = validation_error(error_msg);
  failure["request_id"] = request_id;
  failure["workbook_id"] = workbook_id;
  failure["module_name"] = module_name;
  failure["function_name"] = function_name;
  answers.append(failure);
  if (is_function_execution) {
    py::dict result;
    result["type"] = "function_execution_result";
    result["request_id"] = request_id;
    result["success"] = false;
    result["error"] = validation_error(error_msg);
    answers.append(result);
  }
  return answers;
}

// The reason a name fails the naming rule, or none.
py::object invalid_name(py::handle name) {
  py::object verdict = G("validate_python_identifier")(name);
  if (truthy(verdict[py::int_(0)])) return py::none();
  return verdict[py::int_(1)];
}

py::object error_text(py::handle module_name, py::handle function_name) {
  if (!truthy(module_name)) return py::str("function_execution/event_execution missing module_name");
  if (!truthy(function_name)) return py::str("function_execution/event_execution missing function_name");
  py::object reason = invalid_name(module_name);
  if (!reason.is_none()) return fmt("Invalid module name '{}': {}", module_name, reason);
  reason = invalid_name(function_name);
  if (!reason.is_none()) return fmt("Invalid function name '{}': {}", function_name, reason);
  return py::none();
}

Task handle_function_event_execution(py::str client_id, py::dict message) {
  py::str workbook_id = client_id;
  py::object type = message.attr("get")("type", "");
  py::object module_name = message.attr("get")("module_name", "");
  py::object function_name = message.attr("get")("function_name", "");
  py::object args = message.attr("get")("args", py::list());
  py::str fresh_id = py::str(G("uuid").attr("uuid4")());
  py::object request_id = message.attr("get")("request_id", fresh_id);
  bool is_function_execution = type.equal(py::str("function_execution"));

  py::object error = error_text(module_name, function_name);
  if (!error.is_none()) {
    log_warning(error);
    py::list answers = error_answers(error, workbook_id, request_id, module_name, function_name, is_function_execution);
    for (py::handle answer : answers) co_await G("manager").attr("send_message")("addin", workbook_id, answer);
    co_return py::none();
  }

  co_await G("full_code_sync")(workbook_id);

  py::dict call;
  call["type"] = is_function_execution ? "custom_function_call" : "event_execution";
  call["module_name"] = module_name;
  call["function_name"] = function_name;
  call["args"] = args;
  call["request_id"] = request_id;
  call["workbook_id"] = workbook_id;
  if (!is_function_execution) {
    for (const char* key : {"object_name", "event_type", "object_type"}) call[key] = message.attr("get")(key, "");
  }

  log_debug(fmt("Forwarding function/event execution to kernel: {}.{}", module_name, function_name));
  log_debug(fmt("[TIMING] Forwarded to kernel: type={}, request_id={}", call["type"], request_id));

  py::object manager = G("manager");
  // Recorded before the send, so the kernel's answer always finds it.
  if (is_function_execution)
    as_dict(manager.attr("_pending_function_executions"), "_pending_function_executions")[request_id] = workbook_id;
  co_await manager.attr("send_message")("kernel", workbook_id, call);
  co_return py::none();
}

}  // namespace

void define_call_handlers(Scope& m) {
  tv::def<&handle_function_event_execution>(m, "handle_function_event_execution", {"client_id", "message"});
}

}  // namespace relvane
