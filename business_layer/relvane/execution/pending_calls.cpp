// Calls a workbook's kernel works on, each remembered with the add-in
// connection that made it (see pending_calls.hpp).
#include "business_layer/relvane/execution/pending_calls.hpp"

#include <vector>

namespace relvane {

namespace {

// The add-in connection whose messages the running task handles. Set by the
// endpoint once per connection: every task it starts copies it.
PyObject* connection_var() {
  static PyObject* var = nullptr;  // kept for the process
  if (!var) {
    var = PyContextVar_New("relvane.addin_connection", nullptr);
    if (!var) throw py::error_already_set();
  }
  return var;
}

bool same(PyObject* a, PyObject* b) {
  if (a == b) return true;
  int equal = PyObject_RichCompareBool(a, b, Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

py::object addin_socket(py::handle manager, py::handle workbook_id) {
  return registered_connection(manager, K("addin"), workbook_id);
}

py::dict pending_table(py::handle manager) {
  return as_dict(manager_field(manager, K("_pending_function_executions")), "_pending_function_executions");
}

// A table made on first use, or a null object when there is none (and `create`
// is false). An instance attribute: the instance's own dict answers without
// the cost of an AttributeError while there is none.
py::object lazy_table(py::handle manager, PyObject* name, bool create) {
  py::object fields = steal(PyObject_GenericGetDict(manager.ptr(), nullptr));
  py::object found = find(fields, name);
  if (found) return as_dict(found, PyUnicode_AsUTF8(name));
  if (!create) return py::object();
  py::dict table;
  set_attr(manager, name, table);
  return table;
}

// Entries: (workbook id, add-in socket, add-in's request id[, is a stream]).
constexpr Py_ssize_t kWorkbook = 0, kSocket = 1, kRequest = 2, kStream = 3;

PyObject* field(py::handle entry, Py_ssize_t i) { return PyTuple_GET_ITEM(entry.ptr(), i); }

bool entry_of(PyObject* entry, Py_ssize_t size, py::handle workbook_id) {
  return PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == size &&
         same(PyTuple_GET_ITEM(entry, kWorkbook), workbook_id.ptr());
}

py::object stream_key(PyObject* websocket, PyObject* request_id) {
  return steal(PyTuple_Pack(2, websocket, request_id));
}

// Takes a stream's cancel entry out, when it is still this stream's.
void drop_stream_key(py::handle manager, py::handle kernel_id, py::handle entry) {
  py::object streams = lazy_table(manager, K("_streams"), false);
  if (!streams) return;
  py::object key = stream_key(field(entry, kSocket), field(entry, kRequest));
  PyObject* running = PyDict_GetItemWithError(streams.ptr(), key.ptr());
  if (!running) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return;
  }
  if (same(running, kernel_id.ptr()) && PyDict_DelItem(streams.ptr(), key.ptr()) < 0) throw py::error_already_set();
}

// The keys of `table` whose entries `pick` chooses; collected first, as
// taking them out changes the table.
template <class Pick>
std::vector<py::object> keys_where(py::handle table, Pick pick) {
  std::vector<py::object> keys;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(table.ptr(), &pos, &key, &value))
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) > kRequest && pick(value)) keys.push_back(borrow(key));
  return keys;
}

}  // namespace

py::object manager_field(py::handle manager, PyObject* name) {
  // The instance's own dict first: the type's attribute cache is shared by the
  // whole process, and a lookup it misses walks the class.
  py::object fields = steal(PyObject_GenericGetDict(manager.ptr(), nullptr));
  if (PyObject* found = PyDict_GetItemWithError(fields.ptr(), name)) return borrow(found);
  if (PyErr_Occurred()) throw py::error_already_set();
  return attr(manager, name);
}

py::object registered_connection(py::handle manager, PyObject* client_type, py::handle client_id) {
  py::object table = find(manager_field(manager, K("active_connections")), client_type);
  return table ? get(table, client_id) : py::none();
}

py::object mark_connection(py::handle websocket) { return steal(PyContextVar_Set(connection_var(), websocket.ptr())); }

void unmark_connection(py::handle token) {
  // Fails only for a task whose context someone else has swapped: nothing to undo then.
  if (PyContextVar_Reset(connection_var(), token.ptr()) < 0) PyErr_Clear();
}

py::object calling_connection(py::handle manager, py::handle workbook_id) {
  PyObject* marked = nullptr;
  if (PyContextVar_Get(connection_var(), nullptr, &marked) < 0) throw py::error_already_set();
  py::object current = addin_socket(manager, workbook_id);
  if (!marked) return current;  // a handler called directly, not by an endpoint
  py::object origin = steal(marked);
  return origin.is(current) ? current : py::object();
}

bool is_current_addin(py::handle manager, py::handle workbook_id, py::handle websocket) {
  return addin_socket(manager, workbook_id).is(websocket);
}

py::object new_kernel_id() {
  static unsigned long long last = 0;
  char digits[24];
  int n = 0;
  for (unsigned long long v = ++last; v; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
  PyObject* id = PyUnicode_New(2 + n, 127);
  if (!id) throw py::error_already_set();
  Py_UCS1* out = PyUnicode_1BYTE_DATA(id);
  out[0] = 'm';
  out[1] = ':';
  for (int i = 0; i < n; ++i) out[2 + i] = static_cast<Py_UCS1>(digits[n - 1 - i]);
  return steal(id);
}

bool is_kernel_id(py::handle value) {
  PyObject* v = value.ptr();
  if (!PyUnicode_CheckExact(v) || PyUnicode_KIND(v) != PyUnicode_1BYTE_KIND) return false;
  Py_ssize_t n = PyUnicode_GET_LENGTH(v);
  const Py_UCS1* text = PyUnicode_1BYTE_DATA(v);
  if (n < 3 || text[0] != 'm' || text[1] != ':') return false;
  for (Py_ssize_t i = 2; i < n; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

void record_pending_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, py::handle websocket,
                         py::handle request_id) {
  // The add-in tells its answers apart by the id: one that could not key a
  // table of its own is refused, as for streams.
  if (PyObject_Hash(request_id.ptr()) == -1) throw py::error_already_set();
  py::object entry = steal(PyTuple_Pack(3, workbook_id.ptr(), websocket.ptr(), request_id.ptr()));
  set_item(pending_table(manager), kernel_id, entry);
}

py::object take_pending_call(py::handle manager, py::handle kernel_id, py::handle workbook_id) {
  py::dict pending = pending_table(manager);
  PyObject* entry = PyDict_GetItemWithError(pending.ptr(), kernel_id.ptr());  // raises for an unhashable id
  if (!entry) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::object();
  }
  // A kernel completes only its own workbook's calls.
  if (!entry_of(entry, 3, workbook_id)) return py::object();
  py::object taken = borrow(entry);
  if (PyDict_DelItem(pending.ptr(), kernel_id.ptr()) < 0) throw py::error_already_set();
  return taken;
}

void record_kernel_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, py::handle websocket,
                        py::handle request_id, bool stream) {
  py::object entry = steal(PyTuple_Pack(4, workbook_id.ptr(), websocket.ptr(), request_id.ptr(), stream ? Py_True : Py_False));
  if (stream) set_item(lazy_table(manager, K("_streams"), true), stream_key(websocket.ptr(), request_id.ptr()), kernel_id);
  set_item(lazy_table(manager, K("_kernel_calls"), true), kernel_id, entry);
}

py::object find_kernel_call(py::handle manager, py::handle kernel_id, py::handle workbook_id, bool end) {
  py::object calls = lazy_table(manager, K("_kernel_calls"), false);
  if (!calls) return py::object();
  PyObject* entry = PyDict_GetItemWithError(calls.ptr(), kernel_id.ptr());
  if (!entry) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::object();
  }
  if (!entry_of(entry, 4, workbook_id)) return py::object();
  py::object found = borrow(entry);
  if (end) {
    if (PyDict_DelItem(calls.ptr(), kernel_id.ptr()) < 0) throw py::error_already_set();
    if (field(found, kStream) == Py_True) drop_stream_key(manager, kernel_id, found);
  }
  return found;
}

py::object stream_of(py::handle manager, py::handle websocket, py::handle request_id) {
  py::object streams = lazy_table(manager, K("_streams"), false);
  return streams ? find(streams, stream_key(websocket.ptr(), request_id.ptr())) : py::object();
}

Route route_kernel_answer(py::handle manager, py::handle workbook_id, py::handle message, PyObject* key, bool end) {
  py::object kernel_id = find(message, key);
  if (!kernel_id || !is_kernel_id(kernel_id)) return Route::Relay;
  py::object entry = find_kernel_call(manager, kernel_id, workbook_id, end);
  if (entry && !is_current_addin(manager, workbook_id, field(entry, kSocket))) {
    // Its connection has gone without the call being forgotten: it is now.
    if (!end) find_kernel_call(manager, kernel_id, workbook_id, true);
    entry = py::object();
  }
  if (!entry) {
    debug("Dropped {} of kernel/{} for call {}: no add-in connection waits for it", get(message, K("type")),
          workbook_id, kernel_id);
    return Route::Drop;
  }
  set_item(message, key, field(entry, kRequest));
  return Route::Deliver;
}

Py_ssize_t drop_pending_calls_of(py::handle manager, py::handle workbook_id) {
  auto of_workbook = [&](PyObject* entry) { return same(PyTuple_GET_ITEM(entry, kWorkbook), workbook_id.ptr()); };
  py::dict pending = pending_table(manager);
  std::vector<py::object> ids = keys_where(pending, of_workbook);
  for (const py::object& id : ids)
    if (PyDict_DelItem(pending.ptr(), id.ptr()) < 0) throw py::error_already_set();
  Py_ssize_t dropped = static_cast<Py_ssize_t>(ids.size());
  if (py::object calls = lazy_table(manager, K("_kernel_calls"), false)) {
    for (const py::object& id : keys_where(calls, of_workbook))
      if (find_kernel_call(manager, id, workbook_id, true)) ++dropped;
  }
  return dropped;
}

void forget_connection_calls(py::handle manager, py::handle workbook_id, py::handle websocket, const char* why) {
  auto of_socket = [&](PyObject* entry) { return PyTuple_GET_ITEM(entry, kSocket) == websocket.ptr(); };
  py::dict pending = pending_table(manager);
  std::vector<py::object> ids = keys_where(pending, of_socket);
  for (const py::object& id : ids)
    if (PyDict_DelItem(pending.ptr(), id.ptr()) < 0) throw py::error_already_set();
  Py_ssize_t calls_dropped = static_cast<Py_ssize_t>(ids.size());

  std::vector<py::object> streams;
  if (py::object calls = lazy_table(manager, K("_kernel_calls"), false)) {
    for (const py::object& id : keys_where(calls, of_socket)) {
      py::object entry = find_kernel_call(manager, id, workbook_id, true);
      if (!entry) continue;
      if (field(entry, kStream) == Py_True)
        streams.push_back(id);
      else
        ++calls_dropped;
    }
  }

  // Results already answered wait for the batcher's window: they were this connection's.
  Py_ssize_t results_dropped = 0;
  py::object waiting = attr(attr(manager, K("_result_batcher")), K("_pending"));
  if (PyDict_Check(waiting.ptr())) {
    py::object results = find(waiting, workbook_id);
    if (results) {
      results_dropped = PyList_Check(results.ptr()) ? PyList_GET_SIZE(results.ptr()) : 1;
      if (PyDict_DelItem(waiting.ptr(), workbook_id.ptr()) < 0) throw py::error_already_set();
    }
  }

  // The kernel stops the streams nobody reads any more.
  size_t cancelled = 0;
  py::object kernel = streams.empty() ? py::none() : registered_connection(manager, K("kernel"), workbook_id);
  for (const py::object& id : streams) {
    if (kernel.is_none()) break;  // no kernel, no stream
    py::dict cancel;
    set_item(cancel, K("type"), K("cancel_streaming_function"));
    set_item(cancel, K("request_id"), id);
    try {
      socket_send(kernel, cancel);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      log_info(fmt("Could not cancel stream {} in kernel/{}: {}", id, workbook_id, e.value()));
      break;
    }
    ++cancelled;
  }

  if (calls_dropped || results_dropped || !streams.empty())
    log_info(fmt("Forgot {} outstanding calls and {} waiting results of addin/{} and cancelled {} of its streams: "
                 "the connection {}",
                 calls_dropped, results_dropped, workbook_id, cancelled, why));
}

}  // namespace relvane
