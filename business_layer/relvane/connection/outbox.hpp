// The outbox in two parts. outbox.cpp queues what a client's socket cannot
// take at once and writes it out in order; outbox_streams.cpp knows the
// streams: which message is a stream's value or end, which streams each socket
// has had a first value of, and where each stream's waiting value sits in a
// socket's queue. The outbox asks the streams part, for every message it
// queues, whether a waiting value of the same stream may give way to it; it
// owns the queue itself and the bytes counted against the backlog bound.
#pragma once

#include <deque>

#include "business_layer/relvane/relvane.hpp"

namespace relvane::outbox {

struct Item {
  py::object data;  // the JSON text, or the message itself for a socket that takes dicts
  Py_ssize_t size;  // counted against MAX_CLIENT_BACKLOG
};

// What a message is to a stream: a value that a newer one of the same stream
// may replace while it waits, or the stream's final message.
enum class StreamPart { None, Value, End };

// The stream values that wait in one socket's queue and may give way: stream
// key -> place in the queue, counted from the first item ever queued (the
// outbox's `taken_out` have left it).
class WaitingValues {
 public:
  // The waiting value of the stream, still in `queue`, that a newer one may
  // replace; none when nothing of that stream waits.
  Item* give_way(std::deque<Item>& queue, unsigned long long taken_out, PyObject* key) const;
  // The stream's value now waits at `place`.
  void note(PyObject* key, unsigned long long place, size_t queue_size, unsigned long long taken_out);
  void forget(PyObject* key);
  void clear();

 private:
  py::dict places_;
};

// A stream's value or its final message, with the stream's key; none for
// every other message, and for a stream's message that must take the plain
// road (sent by no StreamSource, or under an id the bookkeeping may not keep).
StreamPart stream_part(py::handle message, py::object& key);

// Notes a stream's message to `ws`, whose queue's waiting values (if it has a
// queue) are `waiting`; true for a value that is not the stream's first.
bool note_stream(py::handle ws, StreamPart part, PyObject* key, WaitingValues* waiting);

// Forgets the streams of a departed socket.
void forget_streams(py::handle ws);

}  // namespace relvane::outbox
