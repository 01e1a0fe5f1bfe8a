// One call per WebSocket connection: turn away bad clients, register, start the
// on-connect work, ping, read and dispatch every message in a task of its own,
// and clean up however the reading ends.
#include <algorithm>
#include <optional>

#include "business_layer/relvane/connection/frames.hpp"
#include "business_layer/relvane/connection/kernels.hpp"
#include "business_layer/relvane/execution/pending_calls.hpp"
#include "business_layer/relvane/relvane.hpp"
#include "business_layer/relvane/server/replacement.hpp"

namespace relvane {

namespace {

// Reads the error of a task that failed, which marks it as seen. A message's
// failure has had its line from the dispatch; unread, asyncio would print it
// (or a connect work's error) with its traceback whenever the task happens to
// be collected (typically a client that left while its connect work was
// sending to it).
bool read_error(PyObject* task) {
  PyObject* cancelled = PyObject_CallMethodNoArgs(task, K("cancelled"));
  if (!cancelled) return false;
  const int is_cancelled = PyObject_IsTrue(cancelled);
  Py_DECREF(cancelled);
  if (is_cancelled != 0) return is_cancelled > 0;
  PyObject* error = PyObject_CallMethodNoArgs(task, K("exception"));
  Py_XDECREF(error);
  return error != nullptr;
}

// A connection's unfinished tasks, and the future the reading waits on while
// as many tasks as MAX_CLIENT_TASKS are in flight: [task set, future or None].
// Each task's completion callback (task_done, bound to this list) reads its
// error, takes it out of the set and wakes the reading when there is room again.
bool is_task_state(PyObject* state) {
  return PyList_CheckExact(state) && PyList_GET_SIZE(state) == 2 && PySet_CheckExact(PyList_GET_ITEM(state, 0));
}

PyObject* refuse_state(PyObject* state) {
  return tv::refuse_builtin_arg("_task_done", "__self__", "[set, future or None]", state);
}

PyObject* task_done(PyObject* state, PyObject* task) {
  // Both reach Python: the task as the argument, the state as __self__.
  static PyObject* future_type = nullptr;  // kept for the process
  if (!future_type) {
    PyObject* asyncio = PyImport_ImportModule("asyncio");
    future_type = asyncio ? PyObject_GetAttrString(asyncio, "Future") : nullptr;
    Py_XDECREF(asyncio);
    if (!future_type) return nullptr;
  }
  const int is_future = PyObject_IsInstance(task, future_type);
  if (is_future < 0) return nullptr;
  if (!is_future) return tv::refuse_builtin_arg("_task_done", "task", "asyncio.Future", task);
  if (!is_task_state(state)) return refuse_state(state);
  // The task's __hash__ and __eq__ run in the discard, and its own cancelled()
  // and exception() in read_error: any of them may change the list, so it is
  // checked again after each, and the set is held while it is searched.
  PyObject* tasks = Py_NewRef(PyList_GET_ITEM(state, 0));
  const int discarded = PySet_Discard(tasks, task);
  Py_DECREF(tasks);
  if (discarded < 0 || !read_error(task)) return nullptr;
  if (!is_task_state(state)) return refuse_state(state);
  if (PyList_GET_ITEM(state, 1) == Py_None) Py_RETURN_NONE;
  PyObject* room = Py_NewRef(PyList_GET_ITEM(state, 1));
  if (PyList_SetItem(state, 1, Py_NewRef(Py_None)) < 0) {  // drops the list's reference
    Py_DECREF(room);
    return nullptr;
  }
  PyObject* done = PyObject_CallMethodNoArgs(room, K("done"));
  int finished = done ? PyObject_IsTrue(done) : -1;
  Py_XDECREF(done);
  PyObject* r = finished == 0 ? PyObject_CallMethodOneArg(room, K("set_result"), Py_None) : Py_NewRef(Py_None);
  Py_DECREF(room);
  if (finished < 0 || !r) {
    Py_XDECREF(r);
    return nullptr;
  }
  Py_DECREF(r);
  Py_RETURN_NONE;
}
PyMethodDef task_done_def = {"_task_done", task_done, METH_O, nullptr};

void track(py::set& tasks, py::handle done_callback, py::object task) {
  if (PySet_Add(tasks.ptr(), task.ptr()) < 0) throw py::error_already_set();
  call_method(task, K("add_done_callback"), done_callback);
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

// A client's connect work, whose failure would otherwise leave no trace: a
// workbook whose connect work ended early has no kernel, and its calls go
// unanswered. A client that left meanwhile is no failure.
Task connect_work(py::object work, py::object websocket, py::str client_type, py::str client_id) {
  try {
    co_await call(work, websocket, client_type, client_id);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // cancelled: the client has gone
    if (is_gone(e))
      debug("Connect work of {}/{} ended: the client has gone ({})", client_type, client_id, e.value());
    else
      log_error_with_traceback(fmt("Error in the connect work of {}/{}: {}", client_type, client_id, e.value()),
                               e.value());
  }
  co_return py::none();
}

// A workbook's kernel connection has gone: it ended, or a newer one took its
// place. The calls sent over it will never be answered, so they leave the
// pending table at once; a paused kernel keeps its connection and its calls.
// The add-in is told unless the master is stopping.
Task kernel_departed(py::object manager, py::str workbook_id, bool tell_addin) {
  drop_pending_calls_of(manager, workbook_id);
  if (!tell_addin) co_return py::none();
  try {
    co_await call_method(manager, K("send_message"), K("addin"), workbook_id,
                         workbook_message(K("kernel_disconnected"), workbook_id));
  } catch (py::error_already_set& e) {
    // The add-in often leaves in the same moment (the workbook closes, the
    // master stops): a notice that nobody is left to read is no error.
    if (!is_gone(e)) throw;
    debug("Departure notice for {} dropped: the add-in has gone", workbook_id);
  }
  co_return py::none();
}

// The workbook's add-in has gone: its kernel process is ended. The kernel's
// connection, open until the process has died, is forgotten once it has: an
// add-in that returns meanwhile waits for that and then starts a kernel of its
// own, and the old connection's close, whenever it comes, is no news to it.
void end_kernel_of_departed_addin(py::handle manager, py::handle workbook_id) {
  py::object process = get(as_dict(attr(manager, K("kernel_processes")), "kernel_processes"), workbook_id);
  py::object connection = call_method(manager, K("get_connection"), K("kernel"), workbook_id);
  call_method(manager, K("terminate_kernel"), workbook_id);
  if (process.is_none()) return;  // a kernel the master did not start is not its to end
  if (!connection.is_none()) forget_kernel_connection_once_ended(manager, workbook_id, process, connection);
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

  // The loop this endpoint runs on, asked once: asyncio.create_task would ask
  // for it at every message, a system call (getpid) each time.
  py::object loop = call_method(G(K("asyncio")), K("get_running_loop"));
  py::set tasks;
  py::list state(2);
  PyList_SET_ITEM(state.ptr(), 0, tasks.inc_ref().ptr());
  PyList_SET_ITEM(state.ptr(), 1, py::none().release().ptr());
  const Py_ssize_t max_tasks = std::max<Py_ssize_t>(1, py::cast<Py_ssize_t>(G(K("MAX_CLIENT_TASKS"))));
  bool pinged = false;
  // The reading ends with the client's departure, a frame it refuses or
  // another error; the cleanup below runs in every case.
  std::optional<py::error_already_set> failure;
  bool interrupted = false;  // cancelled: clean up without waiting on sends
  // A frame the master refuses ends the reading with a close code (1003: not
  // text; 1007: not JSON) and then the departure, as for a client that leaves.
  struct Refusal {
    int code;
    const char* reason;
    py::str what;
  };
  std::optional<Refusal> refusal;
  py::object marked;  // an add-in's: the connection its tasks serve
  try {
    // The ping is the first message the client gets. Its send waits for the
    // server's handshake to finish, and a send started by another task in that
    // wait could overtake it: nobody can reach the socket before it is
    // registered, so the ping goes out between accepting and registering.
    co_await call_method(websocket, K("accept"));
    py::dict ping;
    set_item(ping, K("type"), K("ping"));
    try {
      co_await call_method(websocket, K("send_json"), ping);
    } catch (py::error_already_set& e) {
      // A client that left right after its handshake: a departure like any
      // other, though never registered.
      if (!is_gone(e)) throw;
      py::object disconnect = G(K("WebSocketDisconnect"));
      PyErr_SetObject(disconnect.ptr(), call(disconnect, py::int_(1006)).ptr());
      throw py::error_already_set();
    }
    pinged = true;
    py::object displaced = call_method(manager, K("get_connection"), client_type, client_id);
    co_await call_method(manager, K("connect"), client_type, client_id, websocket, name);
    log_info(fmt("Client connected: {}/{} (name: {})", client_type, client_id, name));
    // A kernel connection that this one replaces has gone as far as its workbook is concerned.
    if (type == "kernel" && !displaced.is_none() && !displaced.is(websocket))
      co_await kernel_departed(manager, client_id, true);
    if ((type == "addin" || type == "ide") && !displaced.is_none() && !displaced.is(websocket))
      close_replaced_connection(manager, client_type, client_id, displaced);
    if (type == "addin") marked = mark_connection(websocket);
    // What a kernel connection sends once it is no longer the workbook's answers nobody.
    py::object kernels = type == "kernel" ? get(attr(manager, K("active_connections")), K("kernel")) : py::none();
    py::object done = steal(PyCFunction_New(&task_done_def, state.ptr()));
    py::object work = on_connect_work(type);
    if (!work.is_none())
      track(tasks, done,
            call_method(loop, K("create_task"),
                        tv::as_awaitable(connect_work(std::move(work), websocket, client_type, client_id))));
    while (true) {
      // The framework's own message, read as it comes: a frame the master
      // cannot take is answered with a close code, not with an error.
      py::object frame = co_await call_method(websocket, K("receive"));
      py::object kind = get(frame, K("type"));
      if (PyUnicode_Check(kind.ptr()) && PyUnicode_CompareWithASCIIString(kind.ptr(), "websocket.disconnect") == 0)
        break;
      py::object text = get(frame, K("text"));
      if (text.is_none()) {
        refusal = Refusal{1003, "Binary frames are not accepted", py::str("a binary frame")};
        break;
      }
      // Parsed here rather than by the framework: what is relayed must never
      // hold a non-finite number (see parse_frame).
      py::object value;
      try {
        value = parse_frame(text);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;  // json's decode error is one
        refusal = Refusal{1007, "Text frame is not JSON", fmt("a text frame that is not JSON ({})", e.value())};
        break;
      }
      if (!PyDict_CheckExact(value.ptr())) {
        log_warning(fmt("Dropped a message from {}/{} that is not a JSON object", client_type, client_id));
        continue;
      }
      if (!kernels.is_none() && !get(kernels, client_id).is(websocket)) {
        debug("Dropped {} from kernel/{}: the connection is no longer the workbook's kernel", get(value, K("type")),
              client_id);
        continue;
      }
      track(tasks, done,
            call_method(loop, K("create_task"), call(G(K("handle_message")), client_type, client_id, value)));
      if (PySet_GET_SIZE(tasks.ptr()) >= max_tasks) {
        // Read no more of this client until one of its tasks is done.
        py::object room = call_method(loop, K("create_future"));
        PyList_SetItem(state.ptr(), 1, room.inc_ref().ptr());
        co_await room;
      }
    }
    if (refusal) {
      log_warning(fmt("Closing {}/{} with code {}: {}", client_type, client_id, refusal->code, refusal->what));
      // The close must not queue behind data the client has yet to take, and
      // no message may start before it: the frames of one partly written may
      // only be followed by the close.
      stop_sending(websocket);
      try {
        co_await attr(websocket, K("close"))("code"_a = refusal->code, "reason"_a = refusal->reason);
      } catch (py::error_already_set& e) {
        if (!is_gone(e)) throw;  // it left meanwhile: the departure is the same
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(G(K("WebSocketDisconnect")).ptr())) failure = e;
    interrupted = !e.matches(PyExc_Exception);
  }

  for (py::handle task : py::list(tasks)) call_method(task, K("cancel"));
  PyList_SetItem(state.ptr(), 1, py::none().release().ptr());
  release_socket(websocket);
  log_info(fmt("Client disconnected: {}/{}", client_type, client_id));

  // A newer connection under the same type and id may have replaced this one:
  // then it is not ours to unregister, and the newcomer saw to the departure.
  if (call_method(manager, K("get_connection"), client_type, client_id).is(websocket)) {
    call_method(manager, K("disconnect"), client_type, client_id);
    if (type == "addin") forget_connection_calls(manager, client_id, websocket, "has left");
    if (type == "addin") end_kernel_of_departed_addin(manager, client_id);
    if (type == "addin" && pinged && !interrupted)
      co_await call_method(manager, K("broadcast"), K("ide"), workbook_message(K("workbook_disconnected"), client_id));
    if (type == "kernel")
      co_await kernel_departed(manager, client_id,
                               !interrupted && !is_ending_kernel_connection(manager, client_id, websocket));
  }
  if (marked) unmark_connection(marked);
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
