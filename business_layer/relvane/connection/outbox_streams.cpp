// The stream give-way of the outbox (outbox.cpp, which queues and writes; see
// outbox.hpp for how the two meet). A stream's value that waits for a slow
// socket gives way to a newer value of the same stream: a cell shows only the
// latest value, so a reader slower than its streams is sent at most one
// waiting value of each, and a reader that keeps up finds nothing waiting and
// gets them all. A stream's first value to a socket, its end and every other
// message never give way, and what is being written is out of the queue.
#include <unordered_map>

#include "business_layer/relvane/connection/outbox.hpp"

namespace relvane::outbox {

namespace {

// The streams whose first value each socket has been sent, by request id: a
// stream's first value never gives way, and a value is known as not the first
// only here (earlier ones may have gone out while nothing waited). Forgotten at
// the stream's end and at the socket's departure; a socket with more unended
// streams than kMaxStreams forgets them all, and their next values are then
// kept as firsts are.
constexpr Py_ssize_t kMaxStreams = 4096;
// Each entry holds its socket, whose address keys it, so that no other socket
// takes that address while the entry lives.
struct Streams {
  py::object ws;
  py::object ids;  // a set
};
using Started = std::unordered_map<PyObject*, Streams>;
Started& started() {
  static Started* s = new Started();  // kept for the process: its entries hold Python objects
  return *s;
}

bool is_text(PyObject* value, PyObject* text) {
  return value == text || (PyUnicode_CheckExact(value) && PyUnicode_Compare(value, text) == 0);
}

}  // namespace

// A stream's value ("result", not done, no error) or its final message, with
// its request id (borrowed); anything else is none, and so is a request id that
// cannot key a table.
StreamPart stream_part(py::handle message, PyObject*& rid) {
  if (!PyDict_CheckExact(message.ptr())) return StreamPart::None;
  PyObject* type = PyDict_GetItemWithError(message.ptr(), K("type"));
  if (!type || !is_text(type, K("streaming_function_result"))) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return StreamPart::None;
  }
  rid = PyDict_GetItemWithError(message.ptr(), K("request_id"));
  if (!rid) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return StreamPart::None;
  }
  if (PyObject_Hash(rid) == -1) {
    PyErr_Clear();
    return StreamPart::None;
  }
  PyObject* done = PyDict_GetItemWithError(message.ptr(), K("done"));
  if (!done && PyErr_Occurred()) throw py::error_already_set();
  if ((done && truthy(done)) || PyDict_Contains(message.ptr(), K("error")) != 0) return StreamPart::End;
  int has_result = PyDict_Contains(message.ptr(), K("result"));
  if (has_result < 0) throw py::error_already_set();
  return has_result ? StreamPart::Value : StreamPart::None;
}

bool note_stream(py::handle ws, StreamPart part, PyObject* rid) {
  auto found = started().find(ws.ptr());
  if (part == StreamPart::End) {
    if (found != started().end() && PySet_Discard(found->second.ids.ptr(), rid) < 0) throw py::error_already_set();
    return false;
  }
  if (found == started().end())
    found = started().emplace(ws.ptr(), Streams{borrow(ws.ptr()), steal(PySet_New(nullptr))}).first;
  PyObject* seen = found->second.ids.ptr();
  int known = PySet_Contains(seen, rid);
  if (known < 0) throw py::error_already_set();
  if (known) return true;
  if (PySet_GET_SIZE(seen) >= kMaxStreams) PySet_Clear(seen);
  if (PySet_Add(seen, rid) < 0) throw py::error_already_set();
  return false;
}

void forget_streams(py::handle ws) { started().erase(ws.ptr()); }

Item* WaitingValues::give_way(std::deque<Item>& queue, unsigned long long taken_out, PyObject* rid) const {
  PyObject* place = PyDict_GetItemWithError(places_.ptr(), rid);
  if (!place) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return nullptr;
  }
  unsigned long long at = PyLong_AsUnsignedLongLong(place);
  if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  if (at < taken_out) return nullptr;  // it has left the queue
  return &queue[static_cast<size_t>(at - taken_out)];
}

void WaitingValues::note(PyObject* rid, unsigned long long place, size_t queue_size, unsigned long long taken_out) {
  // Keys of values that have left are dropped now and then, not one by one.
  if (PyDict_GET_SIZE(places_.ptr()) > static_cast<Py_ssize_t>(queue_size) + 64) {
    py::dict kept;
    for (auto [key, at] : places_)
      if (PyLong_AsUnsignedLongLong(at.ptr()) >= taken_out) kept[key] = at;
    places_ = kept;
  }
  py::object at = steal(PyLong_FromUnsignedLongLong(place));
  if (PyDict_SetItem(places_.ptr(), rid, at.ptr()) < 0) throw py::error_already_set();
}

void WaitingValues::forget(PyObject* rid) {
  if (PyDict_DelItem(places_.ptr(), rid) < 0) PyErr_Clear();
}

void WaitingValues::clear() { PyDict_Clear(places_.ptr()); }

}  // namespace relvane::outbox
