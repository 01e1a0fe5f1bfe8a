// Every send to a client's socket goes through here, so that no sender ever
// waits on a client that reads slowly. A send starts at once when nothing of
// that socket is in flight; if the socket cannot take it yet, the rest of it
// moves to a writer task of that socket and the sender goes on. While the
// writer works, later messages queue behind it in order, serialised, counted
// in bytes. A socket whose backlog passes MAX_CLIENT_BACKLOG, or that takes
// nothing for SLOW_CLIENT_TIMEOUT seconds while data waits for it, is closed;
// its endpoint then cleans up as for any departure.
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

using Clock = std::chrono::steady_clock;

// How the host hands the business layer a way to drop a connection at once
// (a close handshake would queue behind the data the client does not read).
constexpr const char* kAbortKey = "tavrino.abort_transport";

struct Outbox {
  py::object ws;
  bool text_mode = false;   // the framework's WebSocket: queue JSON text, send it with send_text
  bool closing = false;     // closed for slowness or failure: later messages are dropped
  std::deque<std::pair<py::object, Py_ssize_t>> queue;
  Py_ssize_t bytes = 0;
  py::object writer;        // the writer task
  py::object timer;         // the pending check for a stall
  Clock::time_point progress = Clock::now();  // when the socket last took a message
};

using Boxes = std::unordered_map<PyObject*, std::shared_ptr<Outbox>>;
// Kept for the process: the entries hold Python objects, which must not be
// released after the interpreter has gone.
Boxes& boxes() {
  static Boxes* b = new Boxes();
  return *b;
}

double number_global(PyObject* key, double fallback) {
  double v = PyFloat_AsDouble(G(key).ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return fallback;
  }
  return v > 0 ? v : fallback;
}

bool is_framework_socket(py::handle ws) {
  static PyObject* type = tv::import_attr("starlette.websockets", "WebSocket");
  return PyObject_TypeCheck(ws.ptr(), reinterpret_cast<PyTypeObject*>(type));
}

// "addin/book-1", or the socket's text when it is not registered.
py::str client_name(py::handle ws) {
  py::object active = attr(G(K("manager")), K("active_connections"));
  if (PyDict_Check(active.ptr())) {
    PyObject *type, *table;
    Py_ssize_t i = 0;
    while (PyDict_Next(active.ptr(), &i, &type, &table)) {
      if (!PyDict_Check(table)) continue;
      PyObject *id, *sock;
      Py_ssize_t j = 0;
      while (PyDict_Next(table, &j, &id, &sock))
        if (sock == ws.ptr()) return fmt("{}/{}", borrow(type), borrow(id));
    }
  }
  return py::str(ws);
}

void cancel(py::object& handle) {
  if (handle && !handle.is_none()) call_method(handle, K("cancel"));
  handle = py::object();
}

void drop_queue(Outbox& box) {
  box.queue.clear();
  box.bytes = 0;
}

// Drops the connection: at once through the host's transport, else with a
// close handshake started in the background.
void close_socket(py::handle ws) {
  py::object scope = py::getattr(ws, K("scope"), py::none());
  py::object abort = PyDict_Check(scope.ptr()) ? get(scope, K(kAbortKey)) : py::none();
  if (!abort.is_none()) {
    call(abort);
    return;
  }
  start_background_task(attr(ws, K("close"))("code"_a = 1008));
}

// Closes a socket that does not keep up; its messages are dropped from now on.
void give_up(Outbox& box, py::str why, bool from_writer) {
  if (box.closing) return;
  box.closing = true;
  drop_queue(box);
  cancel(box.timer);
  if (!from_writer) cancel(box.writer);  // frees the socket's send path for the close
  log_warning(fmt("Closing {}: {}", client_name(box.ws), why));
  try {
    close_socket(box.ws);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

void forget(const std::shared_ptr<Outbox>& box) {
  auto it = boxes().find(box->ws.ptr());
  if (it != boxes().end() && it->second == box) boxes().erase(it);
  cancel(box->timer);
}

void schedule_check(Outbox& box, double delay);

// The stall check: runs SLOW_CLIENT_TIMEOUT after the last progress.
PyObject* check_stall(PyObject*, PyObject* ws) {
  try {
    auto it = boxes().find(ws);
    if (it == boxes().end()) Py_RETURN_NONE;
    Outbox& box = *it->second;
    box.timer = py::object();
    if (box.closing) Py_RETURN_NONE;
    double limit = number_global(K("SLOW_CLIENT_TIMEOUT"), 15.0);
    double idle = std::chrono::duration<double>(Clock::now() - box.progress).count();
    if (idle >= limit)
      give_up(box, fmt("it took no data for {} s while data waited for it", limit), false);
    else
      schedule_check(box, limit - idle);
    Py_RETURN_NONE;
  } catch (...) {
    tv::set_python_error_from_current_exception();
    return nullptr;
  }
}
PyMethodDef check_stall_def = {"_check_slow_client", check_stall, METH_O, nullptr};

void schedule_check(Outbox& box, double delay) {
  static PyObject* callback = PyCFunction_New(&check_stall_def, nullptr);
  py::object loop = call_method(G(K("asyncio")), K("get_running_loop"));
  box.timer = call_method(loop, K("call_later"), py::float_(delay), callback, box.ws);
}

// Finishes the send that could not go out at once, then everything queued
// behind it, in order.
Task write_out(std::shared_ptr<Outbox> box, py::object iterator, py::object first) {
  std::optional<py::error_already_set> failure;
  try {
    tv::Resumed step{std::move(iterator), std::move(first)};
    co_await step;
    box->progress = Clock::now();
    while (!box->closing && !box->queue.empty()) {
      py::object item = std::move(box->queue.front().first);
      box->bytes -= box->queue.front().second;
      box->queue.pop_front();
      co_await call_method(box->ws, box->text_mode ? K("send_text") : K("send_json"), item);
      box->progress = Clock::now();
    }
  } catch (py::error_already_set& e) {
    failure = e;
  }
  if (failure) {
    // Cancelled: whoever cancelled has cleaned up (a departure, or a close).
    if (!failure->matches(PyExc_Exception)) throw *failure;
    give_up(*box, fmt("sending failed: {}", failure->value()), true);
  } else if (!box->closing) {
    forget(box);
  }
  box->writer = py::object();  // the task holds this frame, which holds the box
  co_return py::none();
}

void enqueue(Outbox& box, py::handle message) {
  if (box.closing) return;
  py::object text = call_method(G(K("json")), K("dumps"), message);
  Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr()) + 64;  // the text and its share of the queue
  double limit = number_global(K("MAX_CLIENT_BACKLOG"), 33554432.0);
  if (static_cast<double>(box.bytes + size) > limit) {
    give_up(box, fmt("more than {} bytes waited to be sent to it", static_cast<long long>(limit)), false);
    return;
  }
  box.queue.emplace_back(box.text_mode ? text : py::reinterpret_borrow<py::object>(message), size);
  box.bytes += size;
}

// The iterator that drives an awaitable step by step.
py::object awaitable_iterator(py::object awaitable) {
  if (PyCoro_CheckExact(awaitable.ptr()) || PyGen_CheckExact(awaitable.ptr()) ||
      Py_TYPE(awaitable.ptr()) == tv::coroutine_type())
    return awaitable;
  return call_method(awaitable, K("__await__"));
}

}  // namespace

void socket_send(py::handle ws, py::handle message) {
  auto found = boxes().find(ws.ptr());
  if (found != boxes().end()) {
    enqueue(*found->second, message);
    return;
  }
  py::object it = awaitable_iterator(call_method(ws, K("send_json"), message));
  PyObject* out = nullptr;
  PySendResult st = PyIter_Send(it.ptr(), Py_None, &out);
  if (st == PYGEN_RETURN) {
    Py_DECREF(out);
    return;
  }
  if (st == PYGEN_ERROR) throw py::error_already_set();
  // The socket cannot take it now: its writer finishes it, and the sender goes on.
  py::object first = steal(out);
  auto box = std::make_shared<Outbox>();
  box->ws = py::reinterpret_borrow<py::object>(ws);
  box->text_mode = is_framework_socket(ws);
  boxes().emplace(ws.ptr(), box);
  try {
    box->writer = start_background_task(tv::as_awaitable(write_out(box, std::move(it), std::move(first))));
    schedule_check(*box, number_global(K("SLOW_CLIENT_TIMEOUT"), 15.0));
  } catch (...) {
    forget(box);
    throw;
  }
}

void release_socket(py::handle ws) {
  auto found = boxes().find(ws.ptr());
  if (found == boxes().end()) return;
  std::shared_ptr<Outbox> box = found->second;
  boxes().erase(found);
  box->closing = true;
  drop_queue(*box);
  cancel(box->timer);
  cancel(box->writer);
}

size_t socket_backlog(py::handle ws) {
  auto found = boxes().find(ws.ptr());
  return found == boxes().end() ? 0 : static_cast<size_t>(found->second->bytes);
}

void define_outbox_constants(Scope& m) {
  double timeout = 15.0;
  if (const char* env = std::getenv("TAVRINO_SLOW_CLIENT_TIMEOUT")) {
    char* end = nullptr;
    double v = std::strtod(env, &end);
    if (end != env && *end == '\0' && v > 0) timeout = v;
  }
  m.ns["SLOW_CLIENT_TIMEOUT"] = py::float_(timeout);
  m.ns["MAX_CLIENT_BACKLOG"] = py::int_(32 * 1024 * 1024);
  m.ns["MAX_CLIENT_TASKS"] = py::int_(1000);
}

}  // namespace relvane
