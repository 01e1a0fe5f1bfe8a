// The add-in's worksheet-function and event calls: names checked, the kernel's
// modules brought up to date, then the call forwarded to the workbook's kernel.
#include "business_layer/relvane/execution/pending_calls.hpp"
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

py::dict call_error(py::handle error_type, py::handle error_msg) {
  py::dict error;
  set_item(error, K("type"), error_type);
  set_item(error, K("message"), error_msg);
  return error;
}

// The answers to a refused call: "execution_error", and for a worksheet
// function also the "function_execution_result" the cell waits for.
py::list error_answers(py::handle error_type, py::handle error_msg, py::handle workbook_id, py::handle request_id,
                       py::handle module_name, py::handle function_name, bool is_function_execution) {
  py::list answers;
  py::dict failure;
  set_item(failure, K("type"), K("execution_error"));
  set_item(failure, K("success"), Py_False);
  set_item(failure, K("error"), call_error(error_type, error_msg));
  set_item(failure, K("request_id"), request_id);
  set_item(failure, K("workbook_id"), workbook_id);
  set_item(failure, K("module_name"), module_name);
  set_item(failure, K("function_name"), function_name);
  answers.append(failure);
  if (is_function_execution) {
    py::dict result;
    set_item(result, K("type"), K("function_execution_result"));
    set_item(result, K("request_id"), request_id);
    set_item(result, K("success"), Py_False);
    set_item(result, K("error"), call_error(error_type, error_msg));
    answers.append(result);
  }
  return answers;
}

Task handle_function_event_execution(py::str client_id, py::dict message) {
  py::str workbook_id = client_id;
  py::object type = get(message, K("type"), K(""));
  py::object module_name = get(message, K("module_name"), K(""));
  py::object function_name = get(message, K("function_name"), K(""));
  py::object args = find(message, K("args"));
  if (!args) args = py::list();
  // A fresh id only for a call that brings none.
  py::object request_id = find(message, K("request_id"));
  if (!request_id) request_id = py::str(call_method(G(K("uuid")), K("uuid4")));
  int same = PyObject_RichCompareBool(type.ptr(), K("function_execution"), Py_EQ);
  if (same < 0) throw py::error_already_set();
  bool is_function_execution = same == 1;

  py::object manager = G(K("manager"));
  py::object origin = calling_connection(manager, workbook_id);
  if (!origin) {
    debug("Dropped {} {} of addin/{}: its connection has been replaced", type, request_id, workbook_id);
    co_return py::none();
  }

  py::object error_type = borrow(K("ValidationError"));
  py::object error = call_name_error("function_execution/event_execution", module_name, function_name);
  if (!error.is_none()) {
    log_warning(error);
  } else {
    py::object failed = co_await sync_before_call(workbook_id);
    if (!failed.is_none()) {
      error_type = attr(py::type::handle_of(failed), K("__name__"));
      error = fmt("Code synchronisation failed: {}", failed);
    }
  }
  if (!error.is_none()) {
    py::list answers =
        error_answers(error_type, error, workbook_id, request_id, module_name, function_name, is_function_execution);
    for (py::handle answer : answers)
      co_await call_method(manager, K("send_message"), K("addin"), workbook_id, answer);
    co_return py::none();
  }

  py::dict call_message;
  set_item(call_message, K("type"), is_function_execution ? K("custom_function_call") : K("event_execution"));
  set_item(call_message, K("module_name"), module_name);
  set_item(call_message, K("function_name"), function_name);
  set_item(call_message, K("args"), args);
  // The kernel's id for the call: the add-in's own ids may repeat (see pending_calls.hpp).
  py::object kernel_id = new_kernel_id();
  set_item(call_message, K("request_id"), kernel_id);
  set_item(call_message, K("workbook_id"), workbook_id);
  if (!is_function_execution) {
    for (PyObject* key : {K("object_name"), K("event_type"), K("object_type")})
      set_item(call_message, key, get(message, key, K("")));
  }

  if (debug_enabled()) {
    log_debug(fmt("Forwarding function/event execution to kernel: {}.{}", module_name, function_name));
    debug("[TIMING] Forwarded to kernel: type={}, request_id={}", call_message["type"], request_id);
  }

  // Without a kernel connection the call goes nowhere and nothing will ever
  // answer it: it is not kept. Nor is the call of a connection that left
  // while the modules were being synchronised.
  py::object kernel = registered_connection(manager, K("kernel"), workbook_id);
  if (kernel.is_none()) co_return py::none();
  if (!is_current_addin(manager, workbook_id, origin)) {
    debug("Dropped {} {} of addin/{}: its connection has gone", type, request_id, workbook_id);
    co_return py::none();
  }
  // Recorded before the send, so the kernel's answer always finds it.
  if (is_function_execution)
    record_pending_call(manager, kernel_id, workbook_id, origin, request_id);
  else
    record_kernel_call(manager, kernel_id, workbook_id, origin, request_id, false);
  socket_send(kernel, call_message);  // what send_message does, without the lookup again
  co_return py::none();
}

}  // namespace

void define_call_handlers(Scope& m) {
  tv::def<&handle_function_event_execution>(m, "handle_function_event_execution", {"client_id", "message"});
}

}  // namespace relvane
