// Brings a workbook's kernel up to date before a call: every cached module whose
// text differs from the one last sent goes out as "update_module".
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

py::dict update_module_message(py::handle workbook_id, py::handle name, py::handle code) {
  py::dict message;
  set_item(message, K("type"), K("update_module"));
  set_item(message, K("workbook_id"), workbook_id);
  set_item(message, K("module_name"), name);
  set_item(message, K("code"), code);
  return message;
}

py::object cached_modules(py::handle manager, py::handle workbook_id) {
  return find(as_dict(attr(manager, K("workbook_modules")), "workbook_modules"), workbook_id);
}

// A snapshot of the workbook's modules: other tasks may change the cache while
// the sends are awaited.
py::list module_items(py::handle manager, py::handle workbook_id) {
  py::object modules = cached_modules(manager, workbook_id);
  if (!modules) return py::list();
  if (PyDict_CheckExact(modules.ptr())) return steal(PyDict_Items(modules.ptr()));
  return py::list(call_method(modules, K("items")));
}

// Digests of module texts already hashed, so that a call for a workbook whose
// code did not change hashes nothing: workbook id -> {module name -> (text,
// digest)}, kept for the process. A text never changes and the entry holds it,
// so meeting the very same object again means the same digest (its address
// cannot pass to another text while the entry lives); any other object is
// hashed anew. Only the last text seen per module is kept.
PyObject* hashed_texts = nullptr;
// compute_code_hash as start-up defined it; a replacement is called every time.
PyObject* builtin_code_hash = nullptr;

py::dict hashed_for(py::handle workbook_id) {
  py::object table = find(hashed_texts, workbook_id);
  if (!table) {
    table = py::dict();
    set_item(hashed_texts, workbook_id, table);
  }
  return py::reinterpret_steal<py::dict>(table.release());
}

// The builtin hash of a text. JSON lets an add-in send a lone surrogate
// ("\ud800"), which no UTF-8 can hold: such a text is hashed by its code
// points, so that it cannot stop the sync of the modules beside it.
py::object text_digest(py::handle hash_fn, py::handle code) {
  try {
    return call(hash_fn, code);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeEncodeError)) throw;
  }
  py::object data = steal(PyUnicode_AsEncodedString(code.ptr(), "utf-8", "surrogatepass"));
  return call_method(call_method(G(K("hashlib")), K("sha256"), data), K("hexdigest"));
}

py::object code_hash(py::handle hash_fn, py::dict hashed, py::handle name, py::handle code) {
  if (hash_fn.ptr() != builtin_code_hash || !PyUnicode_CheckExact(code.ptr())) return call(hash_fn, code);
  PyObject* entry = PyDict_GetItemWithError(hashed.ptr(), name.ptr());
  if (!entry && PyErr_Occurred()) throw py::error_already_set();
  if (entry && PyTuple_GET_ITEM(entry, 0) == code.ptr()) return borrow(PyTuple_GET_ITEM(entry, 1));
  py::object digest = text_digest(hash_fn, code);
  set_item(hashed, name, py::make_tuple(code, digest));
  return digest;
}

bool empty_code(py::handle code) {
  return code.is_none() || (PyUnicode_Check(code.ptr()) && PyUnicode_GET_LENGTH(code.ptr()) == 0);
}

// The same snapshot as a dictionary, walked without making a pair per module.
py::dict module_copy(py::handle manager, py::handle workbook_id) {
  py::object modules = cached_modules(manager, workbook_id);
  if (!modules) return py::dict();
  if (!PyDict_CheckExact(modules.ptr())) return py::dict(py::list(call_method(modules, K("items"))));
  return py::reinterpret_steal<py::dict>(steal(PyDict_Copy(modules.ptr())).release());
}

// Drops the digests of modules that are gone from the cache or emptied, so
// their old texts are not kept alive; `live` counts the modules hashed.
void forget_gone(py::dict hashed, py::dict modules, Py_ssize_t live) {
  if (PyDict_GET_SIZE(hashed.ptr()) <= live) return;
  for (py::handle name : py::list(hashed)) {
    PyObject* code = PyDict_GetItemWithError(modules.ptr(), name.ptr());
    if (!code && PyErr_Occurred()) throw py::error_already_set();
    if (!code || empty_code(code)) PyDict_DelItem(hashed.ptr(), name.ptr());
  }
}

Task full_code_sync(py::str workbook_id) {
  py::object manager = G(K("manager"));
  py::dict synced_all = as_dict(attr(manager, K("_synced_hashes")), "_synced_hashes");
  py::object synced = find(synced_all, workbook_id);
  if (!synced) {
    synced = py::dict();
    set_item(synced_all, workbook_id, synced);
  }
  py::object hash_fn = G(K("compute_code_hash"));
  py::dict hashed = hashed_for(workbook_id);
  py::dict modules = module_copy(manager, workbook_id);
  long sent = 0;
  Py_ssize_t live = 0, pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(modules.ptr(), &pos, &key, &value)) {  // the copy is ours alone: safe across awaits
    py::object name = borrow(key), code = borrow(value);
    if (empty_code(code)) continue;
    py::object hash = code_hash(hash_fn, hashed, name, code);
    ++live;
    if (hash.equal(get(synced, name))) continue;
    // A hash stands for text the kernel holds: with no kernel connected nothing
    // is recorded, so the kernel that connects later still receives the module.
    if (call_method(manager, K("get_connection"), K("kernel"), workbook_id).is_none()) continue;
    co_await call_method(manager, K("send_message"), K("kernel"), workbook_id,
                         update_module_message(workbook_id, name, code));
    set_item(synced, name, hash);
    ++sent;
    debug("[Full Sync] Synced module '{}' to kernel", name);
  }
  forget_gone(hashed, modules, live);
  if (sent > 0) log_info(fmt("[Full Sync] Synced {} module(s) to kernel for workbook: {}", sent, workbook_id));
  co_return py::none();
}

}  // namespace

Task sync_before_call(py::str workbook_id) {
  py::object error;
  try {
    co_await call(G(K("full_code_sync")), workbook_id);
    co_return py::none();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    error = e.value();
  }
  // Nothing the caller sent can make it fail: the fault is the master's own.
  log_error_with_traceback(fmt("Code synchronisation for workbook {} failed: {}", workbook_id, error), error);
  co_return error;
}

py::dict make_update_module_message(py::handle workbook_id, py::handle name, py::handle code) {
  return update_module_message(workbook_id, name, code);
}

py::list snapshot_module_items(py::handle manager, py::handle workbook_id) { return module_items(manager, workbook_id); }

void define_full_code_sync(Scope& m) {
  if (!hashed_texts) hashed_texts = py::dict().release().ptr();
  builtin_code_hash = G(K("compute_code_hash")).release().ptr();  // kept for the process
  tv::def<&full_code_sync>(m, "full_code_sync", {"workbook_id"});
}

}  // namespace relvane
