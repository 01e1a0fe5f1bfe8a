// The one door for every incoming message: chunk reassembly, the pending-request
// matcher, then the handler the table names for the sender's type.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task try_handle_response(py::dict message) {
  bool failed = false;
  py::object result;
  try {
    result = G("manager").attr("handle_response")(message);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    G("logger").attr("error")(fmt("Error handling response: {}", e.value()), "exc_info"_a = e.value());
    failed = true;
  }
  if (failed) co_return py::bool_(false);
  co_return result;
}

Task handle_message(py::str client_type, py::str client_id, py::dict message) {
  py::object type = message.attr("get")("type");
  py::object request_id = message.attr("get")("request_id", "N/A");

  if (PyUnicode_CheckExact(type.ptr()) && std::string(py::str(type)) == "chunk") {
    py::object whole = co_await G("manager").attr("_handle_chunk_message")(client_type, client_id, message);
    if (PyDict_Check(whole.ptr()) && PyDict_GET_SIZE(whole.ptr()) > 0)
      co_await G("handle_message")(client_type, client_id, whole);
    co_return py::none();
  }

  start_background_task(G("_try_handle_response")(message));
  log_debug(fmt("[TIMING] Received from {}: type={}, request_id={}", client_type, type, request_id));

  py::object table = G("MESSAGE_HANDLERS").attr("get")(client_type, py::dict());
  py::object handler = table.attr("get")(type);
  if (handler.is_none()) {
    log_warning(fmt("No handler for {}/{}", client_type, type));
    co_return py::none();
  }
  co_await handler(client_id, message);
  co_return py::none();
}

Task handle_response_message(py::str, py::dict) { co_return py::none(); }

}  // namespace

void define_response_matcher(Scope& m) { tv::def<&try_handle_response>(m, "_try_handle_response", {"message"}); }

void define_response_message_handler(Scope& m) {
  tv::def<&handle_response_message>(m, "handle_response_message", {"client_id", "message"});
}

void define_dispatch(Scope& m) {
  tv::def<&handle_message>(m, "handle_message", {"client_type", "client_id", "message"});
}

}  // namespace relvane
