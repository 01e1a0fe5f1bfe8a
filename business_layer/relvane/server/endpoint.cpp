// One call per WebSocket connection: turn away bad clients, register, start the
// on-connect work, ping, read and dispatch every message in a task of its own,
// and clean up however the reading ends.
#include <optional>

#include "business_layer/relvane/connection/frames.hpp"
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// Done callback: reads the error of a task that failed, which marks it as
// seen. Nothing reports a connection task's error; unread, asyncio would print
// it with its traceback whenever the task happens to be collected (typically a
// client that left while its connect work was sending to it).
PyObject* read_error(PyObject*, PyObject* task) {
  PyObject* cancelled = PyObject_CallMethod(task, "cancelled", nullptr);
  if (!cancelled) return nullptr;
  int is_cancelled = PyObject_IsTrue(cancelled);
  Py_DECREF(cancelled);
  if (is_cancelled < 0) return nullptr;
  if (!is_cancelled) {
    PyObject* error = PyObject_CallMethod(task, "exception", nullptr);
    if (!error) return nullptr;
    Py_DECREF(error);
  }
  Py_RETURN_NONE;
}

PyMethodDef read_error_def = {"read_error", read_error, METH_O, nullptr};

// Keeps a connection's unfinished tasks; each removes itself (`discard` is
// the set's own discard) when done.
void track(py::set& tasks, py::handle discard, py::object task) {
  static PyObject* reader = PyCFunction_New(&read_error_def, nullptr);  // lives as long as the process
  if (PySet_Add(tasks.ptr(), task.ptr()) < 0) throw py::error_already_set();
  call_method(task, K("add_done_callback"), discard);
  call_method(task, K("add_done_callback"), reader);
}

py::object on_connect_work(const std::string& client_type) {
  if (client_type == "addin") return G(K("on_addin_coonection"));
  if (client_type == "ide") return G(K("on_ide_connection"));
  if (client_type == "kernel") return G(K("on_kernel_connection"));
  return py::none();
}

py::dict workbook_message(PyObject* type, py::handle workbook_id) {
  py::dict message;
  set_item(message, K("type"), type);
  set_item(message, K("workbook_id"), workbook_id);
  return message;
}

// True for the errors a send raises when its peer has gone: the framework's
// disconnect, the WebSocket library's closed connection, a reset socket, or a
// send after the server has seen the close.
bool is_gone(const py::error_already_set& e) {
  static PyObject* closed = [] {
    PyObject* found = nullptr;
    if (PyObject* module = PyImport_ImportModule("websockets.exceptions")) {
      found = PyObject_GetAttrString(module, "ConnectionClosed");
      Py_DECREF(module);
    }
    if (!found) PyErr_Clear();
    return found;
  }();
  return e.matches(G(K("WebSocketDisconnect")).ptr()) || (closed && e.matches(closed)) ||
         e.matches(PyExc_OSError) || e.matches(PyExc_RuntimeError);
}

Task websocket_endpoint(py::object websocket, py::str client_type, py::str client_id) {
  const std::string type = client_type;
  if (type != "addin" && type != "ide" && type != "kernel" && type != "inspector") {
    co_await attr(websocket, K("close"))("code"_a = 4001, "reason"_a = "Invalid client type");
    co_return py::none();
  }
  py::tuple verdict = call(G(K("validate_client_id")), client_id);
  if (!truthy(verdict[0])) {
    co_await attr(websocket, K("close"))("code"_a = 4002,
                                         "reason"_a = py::str("Invalid client ID: ") + py::str(verdict[1]));
    co_return py::none();
  }
  py::object name = get(attr(websocket, K("query_params")), K("name"), K(""));
  py::object manager = G(K("manager"));

  py::set tasks;
  bool pinged = false;
  // The reading ends with the client's departure, a frame that is not JSON or
  // another error; the cleanup below runs in every case.
  std::optional<py::error_already_set> failure;
  bool interrupted = false;  // cancelled: clean up without waiting on sends
  try {
    // The ping is the first message the client gets. Its send waits for the
    // server's handshake to finish, and a send started by another task in that
    // wait could overtake it: nobody can reach the socket before it is
    // registered, so the ping goes out between accepting and registering.
    co_await call_method(websocket, K("accept"));
    py::dict ping;
    set_item(ping, K("type"), K("ping"));
    co_await call_method(websocket, K("send_json"), ping);
    pinged = true;
    co_await call_method(manager, K("connect"), client_type, client_id, websocket, name);
    log_info(fmt("Client connected: {}/{} (name: {})", client_type, client_id, name));
    py::object discard = attr(tasks, K("discard"));
    py::object work = on_connect_work(type);
    if (!work.is_none())
      track(tasks, discard,
            call_method(G(K("asyncio")), K("create_task"), call(work, websocket, client_type, client_id)));
    while (true) {
      // Parsed here rather than by the framework: what is relayed must never
      // hold a non-finite number (see parse_frame).
      py::object text = co_await call_method(websocket, K("receive_text"));
      py::object value = parse_frame(text);
      if (!PyDict_CheckExact(value.ptr())) {
        log_warning(fmt("Dropped a message from {}/{} that is not a JSON object", client_type, client_id));
        continue;
      }
      track(tasks, discard,
            call_method(G(K("asyncio")), K("create_task"), call(G(K("handle_message")), client_type, client_id, value)));
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(G(K("WebSocketDisconnect")).ptr())) failure = e;
    interrupted = !e.matches(PyExc_Exception);
  }

  for (py::handle task : py::list(tasks)) call_method(task, K("cancel"));
  log_info(fmt("Client disconnected: {}/{}", client_type, client_id));

  // A newer connection under the same type and id may have replaced this one:
  // then it is not ours to unregister, and nobody is told of a departure.
  if (call_method(manager, K("get_connection"), client_type, client_id).is(websocket)) {
    call_method(manager, K("disconnect"), client_type, client_id);
    if (type == "addin") call_method(manager, K("terminate_kernel"), client_id);
    if (!interrupted) {
      if (type == "addin" && pinged)
        co_await call_method(manager, K("broadcast"), K("ide"),
                             workbook_message(K("workbook_disconnected"), client_id));
      if (type == "kernel") {
        try {
          co_await call_method(manager, K("send_message"), K("addin"), client_id,
                               workbook_message(K("kernel_disconnected"), client_id));
        } catch (py::error_already_set& e) {
          // The add-in often leaves in the same moment (the workbook closes, the
          // master stops): a notice that nobody is left to read is no error.
          if (!is_gone(e)) throw;
          debug("Departure notice for {} dropped: the add-in has gone", client_id);
        }
      }
    }
  }
  if (failure) throw *failure;
  co_return py::none();
}

}  // namespace

void define_endpoint(Scope& m) {
  py::object ws_type = G(K("WebSocket"));
  py::object str_type = py::type::of(py::str());
  tv::def<&websocket_endpoint>(m, "websocket_endpoint",
                               {tv::Param("websocket").with_annotation(ws_type),
                                tv::Param("client_type").with_annotation(str_type),
                                tv::Param("client_id").with_annotation(str_type)});
}

}  // namespace relvane
