// Long messages travel as "chunk" pieces, each holding a slice of the JSON text:
// reassembly of the pieces any client sends, and a send that cuts a long
// message into pieces.
#include "business_layer/relvane/connection/frames.hpp"
#include "business_layer/relvane/relvane.hpp"

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
constexpr long long kSizeFactor = 32;
constexpr long long kMinPieceSize = 8192;
constexpr long long kMaxSlots = 1LL << 20;
constexpr Py_ssize_t kMaxOpenBuffers = 64;
constexpr double kBufferTimeout = 120.0;
// All clients together hold at most kAllFactor × MAX_MESSAGE_SIZE (64 Mi with
// the default): client ids are free to invent, so a bound per id is not one.
constexpr long long kAllFactor = 64;
constexpr long long kSlotWeight = 8;

long long int_global(const char* name) {
  py::object value = G(name);
  if (!PyLong_Check(value.ptr())) {
    PyErr_Format(PyExc_TypeError, "%s must be an int, not %s", name, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (n <= 0) {
    PyErr_Format(PyExc_ValueError, "%s must be positive, not %lld", name, n);
    throw py::error_already_set();
  }
  return n;
}

// factor × MAX_MESSAGE_SIZE; a huge setting means "no practical limit" and
// saturates rather than wrapping.
long long message_size_times(long long factor) {
  long long size = int_global("MAX_MESSAGE_SIZE");
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

void drop_buffer(py::dict buffers, py::handle chunk_id) {
  if (PyDict_DelItem(buffers.ptr(), chunk_id.ptr()) < 0) throw py::error_already_set();
}

long long buffered_characters(py::dict buffers) {
  long long held = 0;
  for (auto item : buffers) held += py::cast<long long>(item.second.attr("get")("size", 0));
  return held;
}

double updated_of(PyObject* buffer) {
  PyObject* updated = PyDict_Check(buffer) ? PyDict_GetItemString(buffer, "updated") : nullptr;
  return updated && PyFloat_Check(updated) ? PyFloat_AS_DOUBLE(updated) : 0.0;
}

// What an open message costs: its characters, and its slots at the size of a pointer.
long long weight_of(PyObject* buffer) {
  if (!PyDict_Check(buffer)) return 0;
  PyObject* size = PyDict_GetItemString(buffer, "size");
  PyObject* slots = PyDict_GetItemString(buffer, "chunks");
  long long w = size && PyLong_Check(size) ? PyLong_AsLongLong(size) : 0;
  if (w < 0) {
    PyErr_Clear();
    w = 0;
  }
  if (slots && PyList_Check(slots)) w += kSlotWeight * PyList_GET_SIZE(slots);
  return w;
}

void log_too_large(py::handle client_id, py::handle chunk_id, long long limit) {
  log_error(fmt("[BusinessLayer] Chunked message too large from {} for chunk_id {} (limit {} characters), dropping",
                client_id, chunk_id, limit));
}

struct OpenMessage {
  double updated;
  py::object client_id, chunk_id;
};

// One pass over every client's open messages: messages whose pieces stopped
// coming are forgotten, and so are the tables of other clients left empty.
// Returns what the remaining messages cost together, and lists them.
long long sweep(py::dict all_buffers, py::handle sender, double now, std::vector<OpenMessage>& open) {
  long long total = 0;
  std::vector<py::object> emptied;
  for (auto client : py::list(all_buffers.attr("items")())) {
    py::handle client_id = client[py::int_(0)];
    py::dict buffers = as_dict(client[py::int_(1)], "chunk buffers");
    for (auto item : py::list(buffers.attr("items")())) {
      py::handle chunk_id = item[py::int_(0)];
      PyObject* buffer = item[py::int_(1)].ptr();
      double updated = updated_of(buffer);
      if (PyDict_Check(buffer) && PyDict_GetItemString(buffer, "updated") && now - updated > kBufferTimeout) {
        drop_buffer(buffers, chunk_id);
        log_error(fmt("[BusinessLayer] Dropping incomplete chunked message {} from {}: no piece for {} s", chunk_id,
                      client_id, kBufferTimeout));
        continue;
      }
      total += weight_of(buffer);
      open.push_back({updated, py::reinterpret_borrow<py::object>(client_id),
                      py::reinterpret_borrow<py::object>(chunk_id)});
    }
    if (PyDict_Size(buffers.ptr()) == 0 && !py::handle(client_id).equal(sender))
      emptied.push_back(py::reinterpret_borrow<py::object>(client_id));
  }
  for (auto& client_id : emptied) drop_buffer(all_buffers, client_id);
  return total;
}

// Makes room for `needed` more under the bound on all clients' open messages
// together, dropping the least recently fed messages first (never `keep`).
// False when even that is not enough.
bool make_room(py::dict all_buffers, std::vector<OpenMessage>& open, long long& total, long long needed,
               py::handle keep_client, py::handle keep_chunk) {
  long long limit = max_all_buffered();
  if (total + needed <= limit) return true;
  std::stable_sort(open.begin(), open.end(),
                   [](const OpenMessage& a, const OpenMessage& b) { return a.updated < b.updated; });
  for (auto& m : open) {
    if (total + needed <= limit) break;
    if (m.client_id.equal(keep_client) && m.chunk_id.equal(keep_chunk)) continue;
    py::object table = all_buffers.attr("get")(m.client_id);
    if (table.is_none()) continue;
    py::dict buffers = as_dict(table, "chunk buffers");
    PyObject* buffer = PyDict_GetItemWithError(buffers.ptr(), m.chunk_id.ptr());
    if (!buffer) {
      if (PyErr_Occurred()) throw py::error_already_set();
      continue;
    }
    total -= weight_of(buffer);
    drop_buffer(buffers, m.chunk_id);
    log_error(fmt("[BusinessLayer] Open chunked messages exceed {} characters in all, dropping chunk_id {} from {}",
                  limit, m.chunk_id, m.client_id));
  }
  return total + needed <= limit;
}

Task handle_chunk_message(py::object self, py::str client_type, py::str client_id, py::dict message) {
  (void)client_type;
  py::object chunk_id = message.attr("get")("chunk_id");
  py::object chunk_index = message.attr("get")("chunk_index");
  py::object total_chunks = message.attr("get")("total_chunks");
  py::object data = message.attr("get")("data", "");

  if (chunk_id.is_none() || chunk_index.is_none() || total_chunks.is_none()) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: missing required fields"));
    co_return py::none();
  }
  if (!PyLong_Check(chunk_index.ptr()) || !PyLong_Check(total_chunks.ptr())) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: chunk_index and total_chunks must be integers"));
    co_return py::none();
  }
  long long index = as_long_long(chunk_index);
  long long total = as_long_long(total_chunks);
  if (index < 0 || index >= total) {
    log_error(fmt("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", chunk_index, total_chunks));
    co_return py::none();
  }
  // Only text is buffered, so what a client holds here is measured in characters.
  if (!data.is_none() && !PyUnicode_Check(data.ptr())) {
    log_error(py::str("[BusinessLayer] Invalid chunk message: data must be a string"));
    co_return py::none();
  }
  long long max_chunks = max_total_chunks();
  if (total > max_chunks) {
    log_error(fmt("[BusinessLayer] Chunk message rejected: total_chunks {} exceeds the limit of {}", total_chunks,
                  max_chunks));
    co_return py::none();
  }

  py::dict all_buffers = as_dict(self.attr("_chunk_buffers"), "_chunk_buffers");
  double now = py::cast<double>(G("time").attr("monotonic")());
  std::vector<OpenMessage> open;
  long long all_held = sweep(all_buffers, client_id, now, open);

  if (!all_buffers.contains(client_id)) all_buffers[client_id] = py::dict();
  py::dict buffers = as_dict(all_buffers[client_id], "chunk buffers");
  long long piece_size = data.is_none() ? 0 : PyUnicode_GET_LENGTH(data.ptr());

  py::object existing = buffers.attr("get")(chunk_id);
  if (existing.is_none()) {
    long long limit = max_buffered_characters();
    if (buffered_characters(buffers) + piece_size > limit) {
      log_too_large(client_id, chunk_id, limit);
      co_return py::none();
    }
    if (py::len(buffers) >= static_cast<size_t>(kMaxOpenBuffers)) {
      py::object oldest = py::list(buffers)[py::int_(0)];
      all_held -= weight_of(py::object(buffers[oldest]).ptr());
      drop_buffer(buffers, oldest);
      log_error(fmt("[BusinessLayer] Too many open chunked messages from {}, dropping chunk_id {}", client_id, oldest));
    }
    if (!make_room(all_buffers, open, all_held, kSlotWeight * total, client_id, chunk_id)) {
      log_too_large(client_id, chunk_id, max_all_buffered());
      co_return py::none();
    }
    py::list slots(static_cast<size_t>(total));
    for (long long i = 0; i < total; ++i) PyList_SET_ITEM(slots.ptr(), i, Py_NewRef(Py_None));
    py::dict fresh;
    fresh["chunks"] = slots;
    fresh["received"] = py::int_(0);
    fresh["total"] = total_chunks;
    fresh["size"] = py::int_(0);  // characters stored so far
    fresh["updated"] = py::float_(now);
    buffers[chunk_id] = fresh;
    all_held += kSlotWeight * total;
    existing = fresh;
  }
  py::dict buffer = as_dict(existing, "chunk buffer");
  py::list slots = as_list(buffer["chunks"], "chunk slots");

  // The first piece of a message fixes its number of slots.
  if (index >= static_cast<long long>(PyList_GET_SIZE(slots.ptr()))) {
    log_error(fmt("[BusinessLayer] Invalid chunk_index {} for total_chunks {}", chunk_index, buffer["total"]));
    co_return py::none();
  }
  if (PyList_GET_ITEM(slots.ptr(), index) == Py_None) {
    long long limit = max_buffered_characters();
    if (buffered_characters(buffers) + piece_size > limit) {
      drop_buffer(buffers, chunk_id);
      log_too_large(client_id, chunk_id, limit);
      co_return py::none();
    }
    if (!make_room(all_buffers, open, all_held, piece_size, client_id, chunk_id)) {
      drop_buffer(buffers, chunk_id);
      log_too_large(client_id, chunk_id, max_all_buffered());
      co_return py::none();
    }
    slots[py::int_(index)] = data;
    all_held += piece_size;
    buffer["received"] = py::object(buffer["received"]) + py::int_(1);
    buffer["size"] = py::int_(py::cast<long long>(buffer.attr("get")("size", 0)) + piece_size);
    buffer["updated"] = py::float_(now);
  }

  if (!py::object(buffer["received"]).equal(py::object(buffer["total"]))) co_return py::none();

  for (py::handle slot : slots) {
    if (slot.is_none()) {
      log_error(fmt("[BusinessLayer] Incomplete chunk buffer for chunk_id {}", chunk_id));
      drop_buffer(buffers, chunk_id);
      co_return py::none();
    }
  }
  py::str text = py::str("").attr("join")(slots);
  drop_buffer(buffers, chunk_id);

  py::object value;
  py::object decode_error;
  try {
    value = parse_frame(text);
  } catch (py::error_already_set& e) {
    if (!e.matches(G("json").attr("JSONDecodeError").ptr())) throw;
    decode_error = e.value();
  }
  if (decode_error) {
    log_error(fmt("Failed to parse reassembled message: {}", decode_error));
    co_return py::none();
  }
  if (value.is_none()) co_return py::none();
  if (!PyDict_CheckExact(value.ptr()))
    tv::raise_result_type("ConnectionManager._handle_chunk_message", "dict", value.ptr());
  if (py::object(value.attr("get")("type")).equal(py::str("chunk"))) {
    log_error(fmt("[BusinessLayer] Nested chunk message detected for chunk_id {}, rejecting", chunk_id));
    co_return py::none();
  }
  co_return value;
}

Task send_message_with_chunking(py::object self, py::str client_type, py::str client_id, py::dict message) {
  py::object websocket = self.attr("get_connection")(client_type, client_id);
  if (websocket.is_none()) co_return py::none();
  py::str raw_json = G("json").attr("dumps")(message);
  if (static_cast<long long>(PyUnicode_GET_LENGTH(raw_json.ptr())) > int_global("CHUNK_SIZE")) {
    co_await self.attr("_send_chunked_to_client")(websocket, raw_json, message);
  } else {
    co_await websocket.attr("send_json")(message);
  }
  co_return py::none();
}

Task send_chunked_to_client(py::object self, py::object websocket, py::str raw_json, py::dict original_message) {
  (void)self;
  long long chunk_size = int_global("CHUNK_SIZE");
  py::str chunk_id = py::str(G("uuid").attr("uuid4")());
  long long size = PyUnicode_GET_LENGTH(raw_json.ptr());
  long long total = size / chunk_size + (size % chunk_size ? 1 : 0);
  py::object type = original_message.attr("get")("type");
  log_info(fmt("[BusinessLayer] Chunking large message: type={}, size={}, chunks={}", type, size, total));
  py::object original_type = original_message.attr("get")("type", "unknown");
  for (long long i = 0; i < total; ++i) {
    long long end = std::min((i + 1) * chunk_size, size);
    PyObject* piece = PyUnicode_Substring(raw_json.ptr(), i * chunk_size, end);
    if (!piece) throw py::error_already_set();
    py::dict chunk;
    chunk["type"] = "chunk";
    chunk["chunk_id"] = chunk_id;
    chunk["chunk_index"] = py::int_(i);
    chunk["total_chunks"] = py::int_(total);
    chunk["data"] = py::reinterpret_steal<py::str>(piece);
    chunk["original_type"] = original_type;
    co_await websocket.attr("send_json")(chunk);
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
