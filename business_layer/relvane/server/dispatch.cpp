// The one door for every incoming message: chunk reassembly, the pending-request
// matcher, then the handler the table names for the sender's type.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// Offers a message to the pending requests; an error is logged, never raised.
bool match_response(py::handle message) {
  try {
    return truthy(call_method(G(K("manager")), K("handle_response"), message));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    attr(G(K("logger")), K("error"))(fmt("Error handling response: {}", e.value()), "exc_info"_a = e.value());
  }
  return false;
}

Task try_handle_response(py::dict message) {
  co_return py::bool_(match_response(message));
}

PyObject* own_matcher = nullptr;  // the module's _try_handle_response, kept for the process

// The matcher's one step as a loop callback: queued where its task's first step
// would be, so it runs at the same moment, without a task's cost.
PyObject* match_callback(PyObject*, PyObject* message) {
  try {
    match_response(message);
    Py_RETURN_NONE;
  } catch (...) {
    if (tv::forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    tv::set_python_error_from_current_exception();
    return nullptr;
  }
}
PyMethodDef match_callback_def = {"_try_handle_response", match_callback, METH_O, nullptr};

void start_matcher(py::dict message) {
  py::object matcher = G(K("_try_handle_response"));
  if (matcher.ptr() != own_matcher) {  // replaced: run whatever it now is as a task
    start_background_task(call(matcher, message));
    return;
  }
  static PyObject* callback = PyCFunction_New(&match_callback_def, nullptr);
  py::object loop = call_method(G(K("asyncio")), K("get_running_loop"));
  call_method(loop, K("call_soon"), callback, message);
}

Task handle_message(py::str client_type, py::str client_id, py::dict message) {
  py::object type = get(message, K("type"));
  py::object request_id = get(message, K("request_id"), K("N/A"));

  if (PyUnicode_CheckExact(type.ptr()) && PyUnicode_CompareWithASCIIString(type.ptr(), "chunk") == 0) {
    py::object whole = co_await call_method(G(K("manager")), K("_handle_chunk_message"), client_type, client_id, message);
    if (PyDict_Check(whole.ptr()) && PyDict_GET_SIZE(whole.ptr()) > 0)
      co_await call(G(K("handle_message")), client_type, client_id, whole);
    co_return py::none();
  }

  start_matcher(message);
  debug("[TIMING] Received from {}: type={}, request_id={}", client_type, type, request_id);

  py::object table = find(G(K("MESSAGE_HANDLERS")), client_type);
  py::object handler = table ? get(table, type) : py::none();
  if (handler.is_none()) {
    log_warning(fmt("No handler for {}/{}", client_type, type));
    co_return py::none();
  }
  co_await call(handler, client_id, message);
  co_return py::none();
}

Task handle_response_message(py::str, py::dict) { co_return py::none(); }

}  // namespace

void define_response_matcher(Scope& m) {
  own_matcher = tv::def<&try_handle_response>(m, "_try_handle_response", {"message"}).release().ptr();
}

void define_response_message_handler(Scope& m) {
  tv::def<&handle_response_message>(m, "handle_response_message", {"client_id", "message"});
}

void define_dispatch(Scope& m) {
  tv::def<&handle_message>(m, "handle_message", {"client_type", "client_id", "message"});
}

}  // namespace relvane
