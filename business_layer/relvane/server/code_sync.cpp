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

// A snapshot of the workbook's modules: other tasks may change the cache while
// the sends are awaited.
py::list module_items(py::handle manager, py::handle workbook_id) {
  py::object modules = find(as_dict(attr(manager, K("workbook_modules")), "workbook_modules"), workbook_id);
  if (!modules) return py::list();
  if (PyDict_CheckExact(modules.ptr())) return steal(PyDict_Items(modules.ptr()));
  return py::list(call_method(modules, K("items")));
}

Task full_code_sync(py::str workbook_id) {
  py::object manager = G(K("manager"));
  py::dict synced_all = as_dict(attr(manager, K("_synced_hashes")), "_synced_hashes");
  py::object synced = find(synced_all, workbook_id);
  if (!synced) {
    synced = py::dict();
    set_item(synced_all, workbook_id, synced);
  }
  long sent = 0;
  for (py::handle item : module_items(manager, workbook_id)) {
    py::object name = steal(PySequence_GetItem(item.ptr(), 0));
    py::object code = steal(PySequence_GetItem(item.ptr(), 1));
    if (code.is_none() || (PyUnicode_Check(code.ptr()) && PyUnicode_GET_LENGTH(code.ptr()) == 0)) continue;
    py::object hash = call(G(K("compute_code_hash")), code);
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
  if (sent > 0) log_info(fmt("[Full Sync] Synced {} module(s) to kernel for workbook: {}", sent, workbook_id));
  co_return py::none();
}

}  // namespace

py::dict make_update_module_message(py::handle workbook_id, py::handle name, py::handle code) {
  return update_module_message(workbook_id, name, code);
}

py::list snapshot_module_items(py::handle manager, py::handle workbook_id) { return module_items(manager, workbook_id); }

void define_full_code_sync(Scope& m) { tv::def<&full_code_sync>(m, "full_code_sync", {"workbook_id"}); }

}  // namespace relvane
