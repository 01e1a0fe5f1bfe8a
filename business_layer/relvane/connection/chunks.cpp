// Long messages travel as "chunk" pieces, each holding a slice of the JSON text:
// reassembly of the pieces any client sends, and a send that cuts a long
// message into pieces.
#include "business_layer/relvane/connection/frames.hpp"
#include "business_layer/relvane/relvane.hpp"
#include "common/limits.hpp"

#include <algorithm>
#include <climits>
#include <vector>

namespace relvane {

namespace {

// Bounds of reassembly. Pieces come from clients, so what they announce is not
// trusted with memory:
// - the characters one client may have buffered, over all its open messages,
//   are at most kSizeFactor × MAX_MESSAGE_SIZE (32 MiB with the default);
// - a message has at most that many characters / kMinPieceSize pieces (4096
//   with the default), and never more than kMaxSlots whatever the setting, so
//   slots are never allocated for a huge announced total;
// - a client has at most kMaxOpenBuffers messages open; opening one more drops
//   its oldest;
// - a message that has received no piece for kBufferTimeout seconds is dropped
//   when the next piece of any client arrives.
constexpr long long kSizeFactor = tv::kReassemblyFactor;
constexpr long long kMinPieceSize = 8192;
constexpr long long kMaxSlots = 1LL << 20;
constexpr Py_ssize_t kMaxOpenBuffers = 64;
constexpr double kBufferTimeout = 120.0;
// All clients together hold at most kAllFactor × MAX_MESSAGE_SIZE (64 Mi with
// the default): client ids are free to invent, so a bound per id is not one.
constexpr long long kAllFactor = 64;
constexpr long long kSlotWeight = 8;

// A positive int setting, read as a module global at each use.
long long int_global(PyObject* name) {
  py::object value = G(name);
  if (!PyLong_Check(value.ptr())) {
    PyErr_Format(PyExc_TypeError, "%U must be an int, not %s", name, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n <= 0) {
    PyErr_Format(PyExc_ValueError, "%U must be positive, not %lld", name, n);
    throw py::error_already_set();
  }
  return n;
}

// factor × MAX_MESSAGE_SIZE; a huge setting means "no practical limit" and
// saturates rather than wrapping.
long long message_size_times(long long factor) {
  long long size = int_global(K("MAX_MESSAGE_SIZE"));
  return size > LLONG_MAX / factor ? LLONG_MAX : factor * size;
}
long long max_buffered_characters() { return message_size_times(kSizeFactor); }
long long max_all_buffered() { return message_size_times(kAllFactor); }
long long max_total_chunks() { return std::clamp(max_buffered_characters() / kMinPieceSize, 1LL, kMaxSlots); }

// An integer-valued Python int (booleans included) as a C++ value; out of range
// values saturate, which the range checks then reject.
long long as_long_long(py::handle o) {
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0) return LLONG_MIN;
  return n;
}

void drop_buffer(py::handle table, py::handle chunk_id) {
  if (PyDict_DelItem(table.ptr(), chunk_id.ptr()) < 0) throw py::error_already_set();
}

// One piece as received, checked: the fields are there and of the right
// kind, and the index lies within the announced total.
struct Piece {
  py::object chunk_id, index_field, total_field, data;
  long long index = 0, total = 0;
  long long chars = 0;  // characters of data (0 when null)
};

// Reads a piece; logs and answers false when it is refused as a whole.
bool read_piece(py::dict message, Piece& p) {
  p.chunk_id = get(message, K("chunk_id"));
  p.index_field = get(message, K("chunk_index"));
  p.total_field = get(message, K("total_chunks"));
  p.data = get(message, K("data"), K(""));
  if (p.chunk_id.is_none() || p.index_field.is_none() || p.total_field.is_none()) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: missing required fields"));
    return false;
  }
  if (!PyLong_Check(p.index_field.ptr()) || !PyLong_Check(p.total_field.ptr())) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: chunk_index and total_chunks must be integers"));
    return false;
  }
  p.index = as_long_long(p.index_field);
  p.total = as_long_long(p.total_field);
  if (p.index < 0 || p.index >= p.total) {
    log_error(fmt("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", p.index_field, p.total_field));
    return false;
  }
  // Only text is buffered, so what a client holds is measured in characters.
  if (!p.data.is_none() && !PyUnicode_Check(p.data.ptr())) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: data must be a string"));
    return false;
  }
  long long max_chunks = max_total_chunks();
  if (p.total > max_chunks) {
    log_error(fmt("[BusinessLayer] Chunk message rejected: total_chunks {} exceeds the limit of {}", p.total_field,
                  max_chunks));
    return false;
  }
  p.chars = p.data.is_none() ? 0 : PyUnicode_GET_LENGTH(p.data.ptr());
  return true;
}

// A count kept in a buffer; anything but a non-negative int there reads as 0.
long long count_in(PyObject* buffer, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(buffer, key);
  if (!value) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return 0;
  }
  if (!PyLong_Check(value)) return 0;
  long long n = PyLong_AsLongLong(value);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n;
}

// An open message as the bounds see it, read once from its buffer. The buffer
// itself stays the dictionary callers may look into: "chunks", "received",
// "total", and the "size" (characters stored) and "updated" (monotonic time of
// its last piece) that the bounds keep there.
struct OpenMessage {
  py::object client_id, chunk_id;
  py::dict table;  // the client's table holding it
  long long chars = 0;
  long long cost = 0;  // characters, plus its slots at the size of a pointer
  double updated = 0.0;
  bool expires = false;  // false when it carries no "updated"
  bool open = true;      // false once dropped while this piece is handled
};

OpenMessage read_open_message(py::handle client_id, py::dict table, py::handle chunk_id, PyObject* buffer) {
  OpenMessage m{borrow(client_id.ptr()), borrow(chunk_id.ptr()), table};
  if (!PyDict_Check(buffer)) return m;
  m.chars = count_in(buffer, K("size"));
  m.cost = m.chars;
  PyObject* slots = PyDict_GetItemWithError(buffer, K("chunks"));
  if (!slots && PyErr_Occurred()) throw py::error_already_set();
  if (slots && PyList_Check(slots)) m.cost += kSlotWeight * PyList_GET_SIZE(slots);
  PyObject* updated = PyDict_GetItemWithError(buffer, K("updated"));
  if (!updated && PyErr_Occurred()) throw py::error_already_set();
  m.expires = updated != nullptr;
  m.updated = updated && PyFloat_Check(updated) ? PyFloat_AS_DOUBLE(updated) : 0.0;
  return m;
}

void log_too_large(py::handle client_id, py::handle chunk_id, long long limit) {
  log_error(fmt("[BusinessLayer] Chunked message too large from {} for chunk_id {} (limit {} characters), dropping",
                client_id, chunk_id, limit));
}

// The bounds of one client's piece against everything open. Made when a
// piece arrives: stale messages of every client are dropped then, and the
// remaining ones are read once.
class Assembler {
 public:
  Assembler(py::dict all_tables, py::str sender, py::object chunk_id, double now)
      : all_(all_tables), sender_(sender), chunk_id_(chunk_id) {
    sweep(now);
    table_ = find(all_, sender_);
    if (!table_) {
      table_ = py::dict();
      set_item(all_, sender_, table_);
    }
    table_ = as_dict(table_, "chunk buffers");
  }

  py::dict table() const { return table_; }

  // Whether `chars` more characters keep the sender within its own bound.
  bool client_room(long long chars) const {
    long long limit = max_buffered_characters();
    long long held = 0;
    for (const OpenMessage& m : open_)
      if (m.open && m.table.is(table_)) held += m.chars;
    if (held + chars <= limit) return true;
    log_too_large(sender_, chunk_id_, limit);
    return false;
  }

  // Room for `cost` more under the bound on all clients' open messages
  // together, dropping the least recently fed messages first (never the one
  // this piece belongs to); false when even that is not enough.
  bool all_room(long long cost) {
    long long limit = max_all_buffered();
    if (held_ + cost > limit) {
      std::vector<OpenMessage*> by_age;
      for (OpenMessage& m : open_)
        if (m.open && !(m.table.is(table_) && m.chunk_id.equal(chunk_id_))) by_age.push_back(&m);
      std::stable_sort(by_age.begin(), by_age.end(),
                       [](const OpenMessage* a, const OpenMessage* b) { return a->updated < b->updated; });
      for (OpenMessage* m : by_age) {
        if (held_ + cost <= limit) break;
        drop(*m);
        log_error(fmt("[BusinessLayer] Open chunked messages exceed {} characters in all, dropping chunk_id {} from {}",
                      limit, m->chunk_id, m->client_id));
      }
    }
    if (held_ + cost <= limit) return true;
    log_too_large(sender_, chunk_id_, limit);
    return false;
  }

  // A client keeps at most kMaxOpenBuffers messages open: before one more
  // opens, its oldest goes.
  void cap_open_messages() {
    if (PyDict_Size(table_.ptr()) < kMaxOpenBuffers) return;
    for (OpenMessage& m : open_) {
      if (!m.open || !m.table.is(table_)) continue;
      drop(m);
      log_error(
          fmt("[BusinessLayer] Too many open chunked messages from {}, dropping chunk_id {}", sender_, m.chunk_id));
      return;
    }
  }

  void add(long long cost) { held_ += cost; }

 private:
  // One pass over every client's open messages: messages whose pieces stopped
  // coming are forgotten, and so are the tables of other clients left empty.
  void sweep(double now) {
    std::vector<py::object> emptied;
    for (auto client : py::list(call_method(all_, K("items")))) {
      py::handle client_id = client[py::int_(0)];
      py::dict table = as_dict(client[py::int_(1)], "chunk buffers");
      for (auto item : py::list(call_method(table, K("items")))) {
        py::handle chunk_id = item[py::int_(0)];
        OpenMessage m = read_open_message(client_id, table, chunk_id, item[py::int_(1)].ptr());
        if (m.expires && now - m.updated > kBufferTimeout) {
          drop_buffer(table, chunk_id);
          log_error(fmt("[BusinessLayer] Dropping incomplete chunked message {} from {}: no piece for {} s", chunk_id,
                        client_id, kBufferTimeout));
          continue;
        }
        held_ += m.cost;
        open_.push_back(std::move(m));
      }
      if (PyDict_Size(table.ptr()) == 0 && !client_id.equal(sender_)) emptied.push_back(borrow(client_id.ptr()));
    }
    for (auto& client_id : emptied) drop_buffer(all_, client_id);
  }

  void drop(OpenMessage& m) {
    held_ -= m.cost;
    m.open = false;
    drop_buffer(m.table, m.chunk_id);
  }

  py::dict all_;
  py::str sender_;
  py::object chunk_id_;
  py::object table_;
  std::vector<OpenMessage> open_;
  long long held_ = 0;  // what the open messages of all clients cost together
};

py::dict new_buffer(const Piece& p, double now) {
  py::list slots(static_cast<size_t>(p.total));
  for (long long i = 0; i < p.total; ++i) PyList_SET_ITEM(slots.ptr(), i, Py_NewRef(Py_None));
  py::dict buffer;
  set_item(buffer, K("chunks"), slots);
  set_item(buffer, K("received"), py::int_(0));
  set_item(buffer, K("total"), p.total_field);
  set_item(buffer, K("size"), py::int_(0));
  set_item(buffer, K("updated"), py::float_(now));
  return buffer;
}

// The message the complete buffer holds; the buffer is gone afterwards,
// whatever the outcome.
py::object reassemble(py::dict table, py::handle chunk_id, py::list slots) {
  for (py::handle slot : slots) {
    if (slot.is_none()) {
      log_error(fmt("[BusinessLayer] Incomplete chunk buffer for chunk_id {}", chunk_id));
      drop_buffer(table, chunk_id);
      return py::none();
    }
  }
  py::object text = call_method(K(""), K("join"), slots);
  drop_buffer(table, chunk_id);

  py::object value;
  try {
    value = parse_frame(text);
  } catch (py::error_already_set& e) {
    if (!e.matches(attr(G(K("json")), K("JSONDecodeError")).ptr())) throw;
    log_error(fmt("Failed to parse reassembled message: {}", e.value()));
    return py::none();
  }
  if (value.is_none()) return value;
  if (!PyDict_CheckExact(value.ptr()))
    tv::raise_result_type("ConnectionManager._handle_chunk_message", "dict", value.ptr());
  if (get(value, K("type")).equal(py::handle(K("chunk")))) {
    log_error(fmt("[BusinessLayer] Nested chunk message detected for chunk_id {}, rejecting", chunk_id));
    return py::none();
  }
  return value;
}

Task handle_chunk_message(py::object self, py::str client_type, py::str client_id, py::dict message) {
  (void)client_type;
  Piece p;
  if (!read_piece(message, p)) co_return py::none();

  double now = py::cast<double>(call_method(G(K("time")), K("monotonic")));
  Assembler assembler(as_dict(attr(self, K("_chunk_buffers")), "_chunk_buffers"), client_id, p.chunk_id, now);
  py::dict table = assembler.table();

  py::object found = get(table, p.chunk_id);
  if (found.is_none()) {
    if (!assembler.client_room(p.chars)) co_return py::none();
    assembler.cap_open_messages();
    if (!assembler.all_room(kSlotWeight * p.total)) co_return py::none();
    found = new_buffer(p, now);
    set_item(table, p.chunk_id, found);
    assembler.add(kSlotWeight * p.total);
  }
  py::dict buffer = as_dict(found, "chunk buffer");
  py::list slots = as_list(buffer[K("chunks")], "chunk slots");

  // The first piece of a message fixes its number of slots.
  if (p.index >= static_cast<long long>(PyList_GET_SIZE(slots.ptr()))) {
    log_error(fmt("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", p.index_field, buffer[K("total")]));
    co_return py::none();
  }
  if (PyList_GET_ITEM(slots.ptr(), p.index) == Py_None) {
    if (!assembler.client_room(p.chars) || !assembler.all_room(p.chars)) {
      drop_buffer(table, p.chunk_id);
      co_return py::none();
    }
    set_item(slots, py::int_(p.index), p.data);
    assembler.add(p.chars);
    set_item(buffer, K("received"), py::object(buffer[K("received")]) + py::int_(1));
    set_item(buffer, K("size"), py::int_(py::cast<long long>(get(buffer, K("size"), py::int_(0))) + p.chars));
    set_item(buffer, K("updated"), py::float_(now));
  }

  if (!py::object(buffer[K("received")]).equal(py::object(buffer[K("total")]))) co_return py::none();
  co_return reassemble(table, p.chunk_id, slots);
}

Task send_message_with_chunking(py::object self, py::str client_type, py::str client_id, py::dict message) {
  py::object websocket = call_method(self, K("get_connection"), client_type, client_id);
  if (websocket.is_none()) co_return py::none();
  py::str raw_json = call_method(G(K("json")), K("dumps"), message);
  if (static_cast<long long>(PyUnicode_GET_LENGTH(raw_json.ptr())) > int_global(K("CHUNK_SIZE"))) {
    co_await call_method(self, K("_send_chunked_to_client"), websocket, raw_json, message);
  } else {
    socket_send(websocket, message);
  }
  co_return py::none();
}

Task send_chunked_to_client(py::object self, py::object websocket, py::str raw_json, py::dict original_message) {
  (void)self;
  long long chunk_size = int_global(K("CHUNK_SIZE"));
  py::str chunk_id = py::str(call_method(G(K("uuid")), K("uuid4")));
  long long size = PyUnicode_GET_LENGTH(raw_json.ptr());
  long long total = size / chunk_size + (size % chunk_size ? 1 : 0);
  py::object type = get(original_message, K("type"));
  log_info(fmt("[BusinessLayer] Chunking large message: type={}, size={}, chunks={}", type, size, total));
  py::object original_type = get(original_message, K("type"), K("unknown"));
  for (long long i = 0; i < total; ++i) {
    long long end = std::min((i + 1) * chunk_size, size);
    PyObject* piece = PyUnicode_Substring(raw_json.ptr(), i * chunk_size, end);
    if (!piece) throw py::error_already_set();
    py::dict chunk;
    set_item(chunk, K("type"), K("chunk"));
    set_item(chunk, K("chunk_id"), chunk_id);
    set_item(chunk, K("chunk_index"), py::int_(i));
    set_item(chunk, K("total_chunks"), py::int_(total));
    set_item(chunk, K("data"), py::reinterpret_steal<py::str>(piece));
    set_item(chunk, K("original_type"), original_type);
    socket_send(websocket, chunk);
  }
  debug("[BusinessLayer] Sent {} chunks, chunk_id={}", total, chunk_id);
  co_return py::none();
}

}  // namespace

void define_chunk_methods(Scope& cls) {
  tv::def<&handle_chunk_message>(cls, "_handle_chunk_message", {"self", "client_type", "client_id", "message"});
  tv::def<&send_message_with_chunking>(cls, "send_message_with_chunking",
                                       {"self", "client_type", "client_id", "message"});
  tv::def<&send_chunked_to_client>(cls, "_send_chunked_to_client",
                                   {"self", "websocket", "raw_json", "original_message"});
}

}  // namespace relvane
