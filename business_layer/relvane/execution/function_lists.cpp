// The add-in's published-function and package lists: normalised records for
// the master, stored per workbook and shown to every IDE.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// The value under `key`, else under `fallback`, else `dflt`.
py::object pick(py::dict entry, const char* key, const char* fallback, py::object dflt) {
  if (entry.contains(key)) return entry[key];
  if (fallback && entry.contains(fallback)) return entry[fallback];
  return dflt;
}

py::list published_records(py::object functions) {
  py::list records;
  for (py::handle item : functions) {
    if (!PyDict_Check(item.ptr())) continue;
    py::dict entry = py::reinterpret_borrow<py::dict>(item);
    py::object module = pick(entry, "module", "module_name", py::str(""));
    py::object function = pick(entry, "function", "function_name", py::str(""));
    py::object excel = pick(entry, "excel_name", nullptr, py::str(""));
    if (!truthy(module) || !truthy(function) || !truthy(excel)) continue;
    py::dict record;
    set_item(record, K("module_name"), module);
    set_item(record, K("function_name"), function);
    set_item(record, K("excel_name"), excel);
    set_item(record, K("dimension"), pick(entry, "dimension", nullptr, py::str("Scalar")));
    set_item(record, K("streaming"), pick(entry, "streaming", nullptr, py::bool_(false)));
    records.append(record);
  }
  return records;
}

py::list get_functions_from_addin_message(py::dict message) {
  py::object functions = get(message, K("functions"), py::list());
  log_info(fmt("[Server] Client syncing {} functions", py::len(functions)));
  return published_records(functions);
}

Task store_and_push(py::str client_id, py::list functions) {
  py::object manager = G(K("manager"));
  as_dict(attr(manager, K("published_functions")), "published_functions")[client_id] = functions;
  co_await call_method(manager, K("_push_published_functions_state"), client_id, functions);
  co_return py::none();
}

Task handle_client_sync_functions(py::str client_id, py::dict message) {
  py::list functions = call(G(K("get_functions_from_addin_message")), message);
  co_await store_and_push(client_id, functions);
  debug("[Server] Synced functions to IDE for workbook: {}", client_id);
  co_return py::none();
}

Task handle_client_restored_functions(py::str client_id, py::dict message) {
  py::object functions = get(message, K("functions"), py::list());
  log_info(fmt("[Server] Client restored {} functions for workbook: {}", py::len(functions), client_id));
  co_await store_and_push(client_id, published_records(functions));
  debug("[Server] Synced restored functions to IDE for workbook: {}", client_id);
  co_return py::none();
}

py::tuple get_pacakages_and_python_paths_from_addin_message(py::dict message) {
  py::object packages = get(message, K("packages"), py::list());
  py::object python_paths = get(message, K("python_paths"), py::list());
  py::str pending("pending");
  // The connect's reader has skipped entries that are not objects; one that
  // still comes here is left alone (the installation run refuses it) rather
  // than raising, which would end the add-in's connect work.
  for (py::handle package : packages) {
    if (!PyDict_Check(package.ptr())) continue;
    if (PyObject_SetItem(package.ptr(), py::str("status").ptr(), pending.ptr()) < 0) throw py::error_already_set();
  }
  return py::make_tuple(packages, python_paths);
}

Task handle_client_sync_packages(py::str, py::dict) { co_return py::none(); }

}  // namespace

void define_function_list_handlers(Scope& m) {
  tv::def<&get_functions_from_addin_message>(m, "get_functions_from_addin_message", {"message"});
  tv::def<&handle_client_sync_functions>(m, "handle_client_sync_functions", {"client_id", "message"});
  tv::def<&handle_client_restored_functions>(m, "handle_client_restored_functions", {"client_id", "message"});
  tv::def<&get_pacakages_and_python_paths_from_addin_message>(m, "get_pacakages_and_python_paths_from_addin_message",
                                                              {"message"});
  tv::def<&handle_client_sync_packages>(m, "handle_client_sync_packages", {"client_id", "message"});
}

}  // namespace relvane
