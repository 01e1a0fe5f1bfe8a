// Brings a workbook's kernel up to date before a call: every cached module whose
// text differs from the one last sent goes out as "update_module".
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

py::dict update_module_message(py::handle workbook_id, py::handle name, py::handle code) {
  py::dict message;
  message["type"] = "update_module";
  message["workbook_id"] = workbook_id;
  message["module_name"] = name;
  message["code"] = code;
  return message;
}

// A snapshot of the workbook's modules: other tasks may change the cache while
// the sends are awaited.
py::list module_items(py::handle manager, py::handle workbook_id) {
  py::object modules = as_dict(manager.attr("workbook_modules"), "workbook_modules").attr("get")(workbook_id, py::dict());
  return py::list(modules.attr("items")());
}

Task full_code_sync(py::str workbook_id) {
  py::object manager = G("manager");
  py::dict synced_all = as_dict(manager.attr("_synced_hashes"), "_synced_hashes");
  if (!synced_all.contains(workbook_id)) synced_all[workbook_id] = py::dict();
  py::object synced = synced_all[workbook_id];
  long sent = 0;
  for (py::handle item : module_items(manager, workbook_id)) {
    py::object name = item[py::int_(0)];
    py::object code = item[py::int_(1)];
    if (code.is_none() || (PyUnicode_Check(code.ptr()) && PyUnicode_GET_LENGTH(code.ptr()) == 0)) continue;
    py::object hash = G("compute_code_hash")(code);
    if (hash.equal(synced.attr("get")(name))) continue;
    // A hash stands for text the kernel holds: with no kernel connected nothing
    // is recorded, so the kernel that connects later still receives the module.
    if (manager.attr("get_connection")("kernel", workbook_id).is_none()) continue;
    co_await manager.attr("send_message")("kernel", workbook_id, update_module_message(workbook_id, name, code));
    synced[name] = hash;
    ++sent;
    log_debug(fmt("[Full Sync] Synced module '{}' to kernel", name));
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
