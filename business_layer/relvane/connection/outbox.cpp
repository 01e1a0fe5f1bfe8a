// Every send to a client's socket goes through here, so that no sender ever
// waits on a client that reads slowly, and no client holds up the event loop.
// A send goes out at once while nothing of that socket waits; otherwise it
// queues, serialised and counted in bytes, behind what does, and a writer task
// of the socket sends the queue in order.
//
// On the host's connections (the host offers each one's WebSocket protocol in
// its scope) the outbox writes the frames itself and hands the transport only a
// bounded window: it writes while the transport holds less than its high-water
// mark, at most kSlice bytes per turn of the loop, a long message as fragments
// of one WebSocket message. Whatever else the connection writes (the
// keep-alive's ping and pong) so waits behind a bounded amount, and a message
// of any size costs other clients one slice per turn. Progress is counted in
// bytes: the stall check looks at what the transport has taken since its last
// look, so a client that reads slowly is never taken for one that reads nothing.
//
// A socket whose backlog passes MAX_CLIENT_BACKLOG, or that takes nothing for
// SLOW_CLIENT_TIMEOUT seconds while data waits for it, is closed; its endpoint
// then cleans up as for any departure.
//
// A stream's value that waits may give way to a newer one of the same stream:
// which values may, and where they wait, is the part of outbox_streams.cpp
// (outbox.hpp says how the two meet).
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

#include "business_layer/relvane/connection/outbox.hpp"

namespace relvane {

namespace {

using namespace outbox;
using Clock = std::chrono::steady_clock;

// How the host hands the business layer a way to drop a connection at once
// (a close handshake would queue behind the data the client does not read).
constexpr const char* kAbortKey = "tavrino.abort_transport";
// The connection's WebSocket protocol, whose frames the outbox writes itself.
constexpr const char* kFramesKey = "tavrino.frames";
// Bytes written per turn of the loop, and per fragment of a long message.
constexpr Py_ssize_t kSlice = 65536;
// What a queued message costs beyond its text.
constexpr Py_ssize_t kItemOverhead = 64;
constexpr long kOpText = 1, kOpContinuation = 0;

struct Outbox {
  py::object ws;
  py::object frames;        // the protocol, when the outbox writes the frames
  bool text_mode = false;   // the framework's WebSocket without frames: queue JSON text, send it with send_text
  bool closing = false;     // closed for slowness or failure, or gone: later messages are dropped
  std::optional<Item> current;  // frames: the message being written, not counted in `bytes`
  Py_ssize_t offset = 0;        // frames: bytes of it already written
  std::deque<Item> queue;
  Py_ssize_t bytes = 0;
  WaitingValues waiting;  // the stream values in `queue` that may give way
  unsigned long long taken_out = 0, queued = 0;
  py::object writer;        // the writer task
  py::object timer;         // the pending check for a stall
  Clock::time_point progress = Clock::now();  // when the socket last took data
  // frames: bytes handed to the transport, and what the last stall check saw
  unsigned long long written = 0, seen_written = 0;
  Py_ssize_t seen_buffered = 0;
  long long seen_taken = -1;  // frames: what the connection's socket had taken at the last look
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

double stall_limit() { return number_global(K("SLOW_CLIENT_TIMEOUT"), 15.0); }

bool is_framework_socket(py::handle ws) {
  static PyObject* type = tv::import_attr("starlette.websockets", "WebSocket");
  return PyObject_TypeCheck(ws.ptr(), reinterpret_cast<PyTypeObject*>(type));
}

// An entry of the socket's ASGI scope, or none.
py::object scope_entry(py::handle ws, PyObject* key) {
  PyObject* scope = PyObject_GetAttr(ws.ptr(), K("scope"));
  if (!scope) {
    PyErr_Clear();
    return py::none();
  }
  py::object owned = steal(scope);
  return PyDict_Check(scope) ? get(owned, key) : py::none();
}

// The protocol whose frames the outbox writes for `ws`, or none.
py::object frames_of(py::handle ws) { return scope_entry(ws, K(kFramesKey)); }

bool frames_open(py::handle frames) { return truthy(attr(frames, K("open"))); }

Py_ssize_t buffered(py::handle frames) {
  py::object size = call_method(attr(frames, K("transport")), K("get_write_buffer_size"));
  Py_ssize_t n = PyLong_AsSsize_t(size.ptr());
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

// Bytes the connection's socket has taken in all, as the host counts them; -1
// when the host keeps no count.
long long taken_by(py::handle frames) {
  PyObject* method = PyObject_GetAttr(frames.ptr(), K("taken"));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return -1;
  }
  py::object count = call(steal(method));
  long long n = PyLong_AsLongLong(count.ptr());
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  return n;
}

// The text's bytes; json's text is ASCII, so its characters.
const char* text_bytes(py::handle text, Py_ssize_t& size) {
  const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!p) throw py::error_already_set();
  return p;
}

void write_frame(py::handle frames, bool fin, long opcode, const char* data, Py_ssize_t size) {
  py::object payload = steal(PyBytes_FromStringAndSize(data, size));
  call_method(frames, K("write_frame_sync"), fin ? Py_True : Py_False, py::int_(opcode), payload);
}

py::object dumps(py::handle message) { return call_method(G(K("json")), K("dumps"), message); }

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
  box.taken_out += box.queue.size();
  box.waiting.clear();
  box.queue.clear();
  box.current.reset();
  box.bytes = 0;
}

// Drops the connection: at once through the host's transport, else with a
// close handshake started in the background.
void close_socket(py::handle ws) {
  if (abort_connection(ws)) return;
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

// The connection has gone (or is going) by other hands: nothing more is
// written, and the endpoint's departure forgets the box.
void gone(Outbox& box) {
  box.closing = true;
  drop_queue(box);
  cancel(box.timer);
}

void forget(const std::shared_ptr<Outbox>& box) {
  auto it = boxes().find(box->ws.ptr());
  if (it != boxes().end() && it->second == box) boxes().erase(it);
  cancel(box->timer);
}

void schedule_check(Outbox& box, double delay);

// With frames the check also looks at the transport: what the connection's
// socket took since the last look (as the host counts it, else what was written
// less what the transport holds) is progress. Taking nothing shows a peer does
// not read; taking bytes shows no more (its answers to the keep-alive do).
void note_progress(Outbox& box) {
  if (!box.frames) return;
  long long now_taken = taken_by(box.frames);
  if (now_taken >= 0) {
    if (now_taken != box.seen_taken) box.progress = Clock::now();
    box.seen_taken = now_taken;
    return;
  }
  Py_ssize_t now_buffered = buffered(box.frames);
  if (box.written != box.seen_written || now_buffered < box.seen_buffered) box.progress = Clock::now();
  box.seen_written = box.written;
  box.seen_buffered = now_buffered;
}

// How long until the next look: at the deadline for a socket whose progress
// the writer notes, every quarter of the limit for one whose transport is looked at.
double next_check(const Outbox& box, double limit, double idle) {
  double left = limit - idle;
  return box.frames ? std::min(left, limit / 4) : left;
}

// The stall check: runs until the socket has taken nothing for SLOW_CLIENT_TIMEOUT.
PyObject* check_stall(PyObject*, PyObject* ws) {
  try {
    auto it = boxes().find(ws);
    if (it == boxes().end()) Py_RETURN_NONE;
    Outbox& box = *it->second;
    box.timer = py::object();
    if (box.closing) Py_RETURN_NONE;
    double limit = stall_limit();
    note_progress(box);
    double idle = std::chrono::duration<double>(Clock::now() - box.progress).count();
    if (idle >= limit)
      give_up(box, fmt("it took no data for {} s while data waited for it", limit), false);
    else
      schedule_check(box, next_check(box, limit, idle));
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

// One turn's worth of frames: whole messages while they fit in the slice, or
// the next fragment of a long one. A long message starts on a turn of its own.
void write_turn(Outbox& box) {
  Py_ssize_t budget = kSlice;
  while (budget > 0) {
    if (!box.current) {
      if (box.queue.empty()) return;
      if (budget < kSlice && box.queue.front().size - kItemOverhead > budget) return;
      box.current = std::move(box.queue.front());
      box.queue.pop_front();
      ++box.taken_out;
      box.bytes -= box.current->size;
      box.offset = 0;
    }
    Py_ssize_t size;
    const char* text = text_bytes(box.current->data, size);
    Py_ssize_t take = std::min(size - box.offset, budget);
    bool fin = box.offset + take == size;
    write_frame(box.frames, fin, box.offset == 0 ? kOpText : kOpContinuation, text + box.offset, take);
    box.offset += take;
    box.written += static_cast<unsigned long long>(take);
    budget -= take;
    if (fin) box.current.reset();
  }
}

// The writer of a socket whose frames the outbox writes: a slice per turn,
// and no more while the transport holds more than its high-water mark.
Task write_frames(std::shared_ptr<Outbox> box) {
  std::optional<py::error_already_set> failure;
  try {
    py::object sleep = attr(G(K("asyncio")), K("sleep"));
    py::object zero = py::int_(0);
    while (!box->closing && (box->current || !box->queue.empty())) {
      if (!frames_open(box->frames)) {
        gone(*box);
        break;
      }
      write_turn(*box);
      co_await call_method(box->frames, K("drain"));
      co_await call(sleep, zero);
    }
  } catch (py::error_already_set& e) {
    failure = e;
  }
  if (failure) {
    if (!failure->matches(PyExc_Exception)) throw *failure;  // cancelled: whoever cancelled has cleaned up
    bool open = false;
    try {
      open = frames_open(box->frames);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
    if (open)
      give_up(*box, fmt("sending failed: {}", failure->value()), true);
    else
      gone(*box);
  } else if (!box->closing) {
    forget(box);
  }
  box->writer = py::object();  // the task holds this frame, which holds the box
  co_return py::none();
}

// The writer of any other socket: finishes the send that could not go out at
// once, then everything queued behind it, a message at a time.
Task write_out(std::shared_ptr<Outbox> box, py::object iterator, py::object first) {
  std::optional<py::error_already_set> failure;
  try {
    tv::Resumed step{std::move(iterator), std::move(first)};
    co_await step;
    box->progress = Clock::now();
    while (!box->closing && !box->queue.empty()) {
      py::object item = std::move(box->queue.front().data);
      box->bytes -= box->queue.front().size;
      box->queue.pop_front();
      ++box->taken_out;
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

double backlog_limit() { return number_global(K("MAX_CLIENT_BACKLOG"), 33554432.0); }

void too_much(Outbox& box, double limit) {
  give_up(box, fmt("more than {} bytes waited to be sent to it", static_cast<long long>(limit)), false);
}

// Queues a message behind what waits, or closes the socket when that would
// pass the bound.
void enqueue_item(Outbox& box, py::object data, Py_ssize_t size) {
  double limit = backlog_limit();
  if (static_cast<double>(box.bytes + size) > limit) {
    too_much(box, limit);
    return;
  }
  box.queue.push_back(Item{std::move(data), size});
  box.bytes += size;
  ++box.queued;
}

// A stream's newer value takes the place of its waiting one.
void take_place(Outbox& box, Item& item, py::object& data, Py_ssize_t size) {
  double limit = backlog_limit();
  if (static_cast<double>(box.bytes - item.size + size) > limit) {
    too_much(box, limit);
    return;
  }
  box.bytes += size - item.size;
  item = Item{std::move(data), size};
}

void enqueue(Outbox& box, py::handle message, PyObject* later_value) {
  if (box.closing) return;
  py::object text = dumps(message);
  Py_ssize_t size = PyUnicode_GET_LENGTH(text.ptr()) + kItemOverhead;
  bool as_text = box.text_mode || box.frames;
  py::object data = as_text ? text : py::reinterpret_borrow<py::object>(message);
  if (later_value) {
    if (Item* waiting = box.waiting.give_way(box.queue, box.taken_out, later_value)) {
      take_place(box, *waiting, data, size);
      return;
    }
    enqueue_item(box, std::move(data), size);
    if (box.closing) return;
    box.waiting.note(later_value, box.queued - 1, box.queue.size(), box.taken_out);
    return;
  }
  enqueue_item(box, std::move(data), size);
}

// The iterator that drives an awaitable step by step.
py::object awaitable_iterator(py::object awaitable) {
  if (PyCoro_CheckExact(awaitable.ptr()) || PyGen_CheckExact(awaitable.ptr()) ||
      Py_TYPE(awaitable.ptr()) == tv::coroutine_type())
    return awaitable;
  return call_method(awaitable, K("__await__"));
}

std::shared_ptr<Outbox> new_box(py::handle ws) {
  auto box = std::make_shared<Outbox>();
  box->ws = py::reinterpret_borrow<py::object>(ws);
  boxes().emplace(ws.ptr(), box);
  return box;
}

void start_writer(const std::shared_ptr<Outbox>& box, py::object writer, double first_check) {
  try {
    box->writer = start_background_task(std::move(writer));
    schedule_check(*box, first_check);
  } catch (...) {
    forget(box);
    throw;
  }
}

// Frames: the message goes out now when it fits in what the transport may
// still take, else it waits for the socket's writer.
void send_frames(py::handle ws, py::object frames, py::handle message) {
  py::object text = dumps(message);
  Py_ssize_t size;
  const char* data = text_bytes(text, size);
  Py_ssize_t held = buffered(frames);
  if (size <= kSlice && held + size <= kSlice) {
    write_frame(frames, true, kOpText, data, size);
    return;
  }
  auto box = new_box(ws);
  box->frames = std::move(frames);
  box->seen_buffered = held;
  box->seen_taken = taken_by(box->frames);
  box->current = Item{std::move(text), size + kItemOverhead};  // in flight: not counted as backlog
  double limit = stall_limit();
  start_writer(box, tv::as_awaitable(write_frames(box)), limit / 4);
}

}  // namespace

void socket_send(py::handle ws, py::handle message) {
  py::object key;
  StreamPart part = stream_part(message, key);
  auto found = boxes().find(ws.ptr());
  Outbox* queued = found != boxes().end() ? found->second.get() : nullptr;
  bool later_value = part != StreamPart::None && note_stream(ws, part, key.ptr(), queued ? &queued->waiting : nullptr);
  if (queued) {
    enqueue(*queued, message, later_value ? key.ptr() : nullptr);
    return;
  }
  py::object frames = frames_of(ws);
  if (!frames.is_none()) {
    // A connection whose close has begun, from either side, takes no more:
    // the message is dropped, as for a client that has gone.
    if (frames_open(frames)) send_frames(ws, std::move(frames), message);
    return;
  }
  // Any other socket (one that is closing then raises as usual).
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
  auto box = new_box(ws);
  box->text_mode = is_framework_socket(ws);
  start_writer(box, tv::as_awaitable(write_out(box, std::move(it), std::move(first))), stall_limit());
}

void stop_sending(py::handle ws) {
  auto found = boxes().find(ws.ptr());
  std::shared_ptr<Outbox> box = found != boxes().end() ? found->second : new_box(ws);
  box->closing = true;
  drop_queue(*box);
  cancel(box->timer);
  cancel(box->writer);
}

void release_socket(py::handle ws) {
  forget_streams(ws);
  auto found = boxes().find(ws.ptr());
  if (found == boxes().end()) return;
  std::shared_ptr<Outbox> box = found->second;
  boxes().erase(found);
  box->closing = true;
  drop_queue(*box);
  cancel(box->timer);
  cancel(box->writer);
}

bool abort_connection(py::handle ws) {
  py::object abort = scope_entry(ws, K(kAbortKey));
  if (abort.is_none()) return false;
  call(abort);
  return true;
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
