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

// A stream is known by its workbook and its request id: every IDE gets every
// workbook's streams, under the ids each workbook's add-in chose. The key is
// the tuple (workbook id, request id); the workbook's id is the one its kernel
// connected under (at most 256 characters, the client-id rule).
//
// What a socket remembers of its streams is bounded in bytes, whatever the
// ids: an id must be a text of at most kMaxStreamId characters or an integer
// of at most 64 bits, else the stream's messages take the plain road and its
// values never give way; and a socket remembers at most kMaxStreams unended
// streams whose ids hold at most kMaxStreamIdText characters in all. So a
// socket's table and its index of waiting values hold at most kMaxStreams keys
// each, and the ids they keep alive at most kMaxStreamIdText characters.
constexpr Py_ssize_t kMaxStreamId = 256;
constexpr Py_ssize_t kMaxStreams = 4096;
constexpr Py_ssize_t kMaxStreamIdText = 128 * 1024;

// The streams whose first value each socket has been sent: a stream's first
// value never gives way, and a value is known as not the first only here
// (earlier ones may have gone out while nothing waited). Forgotten at the
// stream's end and at the socket's departure. A socket whose table is full
// forgets all its streams, and with them their waiting values' places: each
// stream's next value is then kept as a first is, and nothing newer can take
// the place of a value queued before it.
// Each entry holds its socket, whose address keys it, so that no other socket
// takes that address while the entry lives.
struct Streams {
  py::object ws;
  py::object keys;      // a set
  Py_ssize_t text = 0;  // characters of the ids in `keys`
};
using Started = std::unordered_map<PyObject*, Streams>;
Started& started() {
  static Started* s = new Started();  // kept for the process: its entries hold Python objects
  return *s;
}

// The stream messages being sent, each with its workbook's id (both kept
// alive by their StreamSource).
using Sources = std::unordered_map<PyObject*, PyObject*>;
Sources& sources() {
  static Sources* s = new Sources();
  return *s;
}

bool is_text(PyObject* value, PyObject* text) {
  return value == text || (PyUnicode_CheckExact(value) && PyUnicode_Compare(value, text) == 0);
}

bool is_stream_message(PyObject* message) {
  if (!PyDict_CheckExact(message)) return false;
  PyObject* type = PyDict_GetItemWithError(message, K("type"));
  if (!type && PyErr_Occurred()) throw py::error_already_set();
  return type && is_text(type, K("streaming_function_result"));
}

// What an id costs a socket's table, in characters; -1 for an id that may not key it.
Py_ssize_t id_cost(PyObject* rid) {
  if (PyUnicode_CheckExact(rid)) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(rid);
    return length <= kMaxStreamId ? length : -1;
  }
  if (PyLong_CheckExact(rid)) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(rid, &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow ? -1 : 0;
  }
  return -1;
}

Py_ssize_t key_cost(PyObject* key) { return id_cost(PyTuple_GET_ITEM(key, 1)); }

}  // namespace

// A stream's value ("result", not done, no error) or its final message, sent
// for a workbook and under an id that may key a table, with its key; anything
// else is none.
StreamPart stream_part(py::handle message, py::object& key) {
  if (!is_stream_message(message.ptr())) return StreamPart::None;
  auto source = sources().find(message.ptr());
  if (source == sources().end()) return StreamPart::None;
  PyObject* rid = PyDict_GetItemWithError(message.ptr(), K("request_id"));
  if (!rid) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return StreamPart::None;
  }
  if (id_cost(rid) < 0) return StreamPart::None;
  PyObject* done = PyDict_GetItemWithError(message.ptr(), K("done"));
  if (!done && PyErr_Occurred()) throw py::error_already_set();
  StreamPart part = StreamPart::End;
  if (!(done && truthy(done))) {
    int has_error = PyDict_Contains(message.ptr(), K("error"));
    if (has_error < 0) throw py::error_already_set();
    int has_result = has_error ? 0 : PyDict_Contains(message.ptr(), K("result"));
    if (has_result < 0) throw py::error_already_set();
    if (!has_error) part = has_result ? StreamPart::Value : StreamPart::None;
  }
  if (part != StreamPart::None) key = steal(PyTuple_Pack(2, source->second, rid));
  return part;
}

bool note_stream(py::handle ws, StreamPart part, PyObject* key, WaitingValues* waiting) {
  auto found = started().find(ws.ptr());
  if (part == StreamPart::End) {
    if (waiting) waiting->forget(key);
    if (found == started().end()) return false;
    int discarded = PySet_Discard(found->second.keys.ptr(), key);
    if (discarded < 0) throw py::error_already_set();
    if (discarded) found->second.text -= key_cost(key);
    return false;
  }
  if (found == started().end())
    found = started().emplace(ws.ptr(), Streams{borrow(ws.ptr()), steal(PySet_New(nullptr))}).first;
  Streams& streams = found->second;
  int known = PySet_Contains(streams.keys.ptr(), key);
  if (known < 0) throw py::error_already_set();
  if (known) return true;
  Py_ssize_t cost = key_cost(key);
  if (PySet_GET_SIZE(streams.keys.ptr()) >= kMaxStreams || streams.text + cost > kMaxStreamIdText) {
    if (PySet_Clear(streams.keys.ptr()) < 0) throw py::error_already_set();
    streams.text = 0;
    if (waiting) waiting->clear();
  }
  if (PySet_Add(streams.keys.ptr(), key) < 0) throw py::error_already_set();
  streams.text += cost;
  return false;
}

void forget_streams(py::handle ws) { started().erase(ws.ptr()); }

Item* WaitingValues::give_way(std::deque<Item>& queue, unsigned long long taken_out, PyObject* key) const {
  PyObject* place = PyDict_GetItemWithError(places_.ptr(), key);
  if (!place) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return nullptr;
  }
  unsigned long long at = PyLong_AsUnsignedLongLong(place);
  if (at == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw py::error_already_set();
  if (at < taken_out) return nullptr;  // it has left the queue
  return &queue[static_cast<size_t>(at - taken_out)];
}

void WaitingValues::note(PyObject* key, unsigned long long place, size_t queue_size, unsigned long long taken_out) {
  // Keys of values that have left are dropped now and then, not one by one.
  if (PyDict_GET_SIZE(places_.ptr()) > static_cast<Py_ssize_t>(queue_size) + 64) {
    py::dict kept;
    for (auto [waiting, at] : places_)
      if (PyLong_AsUnsignedLongLong(at.ptr()) >= taken_out) kept[waiting] = at;
    places_ = kept;
  }
  py::object at = steal(PyLong_FromUnsignedLongLong(place));
  if (PyDict_SetItem(places_.ptr(), key, at.ptr()) < 0) throw py::error_already_set();
}

void WaitingValues::forget(PyObject* key) {
  if (PyDict_DelItem(places_.ptr(), key) < 0) PyErr_Clear();
}

void WaitingValues::clear() { PyDict_Clear(places_.ptr()); }

}  // namespace relvane::outbox

namespace relvane {

StreamSource::StreamSource(py::handle message, py::handle workbook_id) {
  if (!outbox::is_stream_message(message.ptr())) return;
  // A message already being sent for a workbook stays that workbook's.
  if (!outbox::sources().try_emplace(message.ptr(), workbook_id.ptr()).second) return;
  message_ = borrow(message.ptr());
  workbook_ = borrow(workbook_id.ptr());
}

StreamSource::~StreamSource() {
  if (message_) outbox::sources().erase(message_.ptr());
}

}  // namespace relvane
