// The IDE's module requests: execution and run requests go to the workbook's
// kernel (a run once the kernel holds the cached modules); edits and
// deletions go to the workbook (through its add-in), the module cache and,
// for updates and deletions, the kernel.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// Whether `name` passes validate_python_identifier; a refused name is logged
// with the rule's message.
bool valid_name(py::handle name, const char* what) {
  py::object verdict = call(G(K("validate_python_identifier")), name);
  if (truthy(verdict[py::int_(0)])) return true;
  log_warning(fmt("Invalid {} name '{}': {}", what, name, verdict[py::int_(1)]));
  return false;
}

// The module's whole new text, or null when the edit carries none: an edit
// without it (a misspelt key, a null) would erase the module in the cache, the
// workbook and the kernel. An explicit empty text is a real edit.
py::object edited_code(const py::str& client_id, const py::dict& message, const char* request,
                       py::handle module_name) {
  py::object code = find(message, K("code"));
  if (code && PyUnicode_Check(code.ptr())) return code;
  log_warning(fmt("Received {} from IDE {} for module '{}' without a text \"code\"; the module is left unchanged",
                  request, client_id, module_name));
  return py::object();
}

Task handle_ide_execution_request(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received execution_request from IDE without workbook_id"));
    co_return py::none();
  }
  co_await send_to(K("kernel"), workbook_id, message);
  co_return py::none();
}

Task handle_run_module(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object module_name = get(message, K("module_name"));
  py::object function_name = get(message, K("function_name"));
  const char* missing = !truthy(workbook_id)    ? "workbook_id"
                        : !truthy(module_name)  ? "module_name"
                        : !truthy(function_name) ? "function_name"
                                                 : nullptr;
  if (missing) {
    log_warning(fmt("Received run_module from IDE without {}", missing));
    co_return py::none();
  }
  if (!valid_name(module_name, "module") || !valid_name(function_name, "function")) co_return py::none();
  log_info(fmt("[BusinessLayer] Routing run_module to kernel: {}.{} (workbook_id={})", module_name, function_name,
               workbook_id));
  // As before a worksheet call: the kernel runs the text the master holds,
  // a module saved since the kernel last got it included.
  co_await call(G(K("full_code_sync")), workbook_id);
  co_await send_to(K("kernel"), workbook_id, message);
  co_return py::none();
}

Task handle_update_module(py::str client_id, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object module_name = get(message, K("module_name"));
  if (!truthy(workbook_id) || !truthy(module_name)) {
    log_warning(py::str("Received update_module from IDE without workbook_id or module_name"));
    co_return py::none();
  }
  py::object code = edited_code(client_id, message, "update_module", module_name);
  if (!code) co_return py::none();
  // The name reaches the kernel, which imports it.
  if (!valid_name(module_name, "module")) co_return py::none();
  py::object manager = G(K("manager"));
  // Only starts running once this handler first gives way, by which time the
  // cache already holds the new text.
  start_background_task(call_method(manager, K("save_module_to_addin"), workbook_id, module_name, code));
  call_method(manager, K("save_module"), workbook_id, module_name, code);
  supersede_module_edits(manager, workbook_id, module_name);
  co_await send_to(K("kernel"), workbook_id, message);
  co_return py::none();
}

py::dict outcome(PyObject* type, py::handle workbook_id, py::handle module_name, py::handle success) {
  py::dict answer;
  set_item(answer, K("type"), type);
  set_item(answer, K("workbook_id"), workbook_id);
  set_item(answer, K("module_name"), module_name);
  set_item(answer, K("success"), success);
  return answer;
}

Task handle_save_module(py::str client_id, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object module_name = get(message, K("module_name"));
  if (!truthy(workbook_id) || !truthy(module_name)) {
    log_warning(py::str("Received save_module from IDE without workbook_id or module_name"));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  // The IDE waits for the outcome of a save: it learns that nothing was saved.
  py::object code = edited_code(client_id, message, "save_module", module_name);
  if (!code) {
    co_await call_method(manager, K("send_to_ide"),
                         outcome(K("module_saved"), workbook_id, module_name, py::bool_(false)));
    co_return py::none();
  }
  // The cache feeds every kernel sync: a name the kernel could not import
  // safely never enters it. The IDE learns that nothing was saved.
  if (!valid_name(module_name, "module")) {
    co_await call_method(manager, K("send_to_ide"),
                         outcome(K("module_saved"), workbook_id, module_name, py::bool_(false)));
    co_return py::none();
  }
  py::object saving = call_method(manager, K("save_module_to_addin"), workbook_id, module_name, code);
  // The save to the workbook joins this edit (same task).
  ModuleEdit edit(manager, workbook_id, module_name, ModuleEdit::kChange);
  py::object success = co_await saving;
  // The cache takes the text whatever the workbook answered, unless a newer
  // edit or deletion of the module has started meanwhile.
  if (edit.is_latest()) call_method(manager, K("save_module"), workbook_id, module_name, code);
  co_await call_method(manager, K("send_to_ide"), outcome(K("module_saved"), workbook_id, module_name, success));
  co_return py::none();
}

Task handle_delete_module(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object module_name = get(message, K("module_name"));
  if (!truthy(workbook_id) || !truthy(module_name)) {
    log_warning(py::str("Received delete_module from IDE without workbook_id or module_name"));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  // As for saves: a name no module can have deletes nothing anywhere.
  if (!valid_name(module_name, "module")) {
    co_await call_method(manager, K("send_to_ide"),
                         outcome(K("module_deleted"), workbook_id, module_name, py::bool_(false)));
    co_return py::none();
  }
  py::object deleting = call_method(manager, K("delete_module_from_addin"), workbook_id, module_name);
  ModuleEdit edit(manager, workbook_id, module_name, ModuleEdit::kChange);
  py::object deleted = co_await deleting;
  if (edit.is_latest()) call_method(manager, K("delete_module"), workbook_id, module_name);

  py::dict notice;
  set_item(notice, K("type"), K("delete_module"));
  set_item(notice, K("workbook_id"), workbook_id);
  set_item(notice, K("module_name"), module_name);
  co_await send_to(K("kernel"), workbook_id, notice);

  // A module of that name sent later must reach the kernel again.
  py::dict synced = as_dict(attr(G(K("manager")), K("_synced_hashes")), "_synced_hashes");
  if (synced.contains(workbook_id))
    call_method(as_dict(synced[workbook_id], "_synced_hashes entry"), K("pop"), module_name, py::none());

  co_await call_method(G(K("manager")), K("send_to_ide"),
                       outcome(K("module_deleted"), workbook_id, module_name, deleted));
  co_return py::none();
}

}  // namespace

void define_module_edit_handlers(Scope& m) {
  const std::vector<Param> params = handler_params();
  tv::def<&handle_ide_execution_request>(m, "handle_ide_execution_request", params);
  tv::def<&handle_run_module>(m, "handle_run_module", params);
  tv::def<&handle_update_module>(m, "handle_update_module", params);
  tv::def<&handle_save_module>(m, "handle_save_module", params);
  tv::def<&handle_delete_module>(m, "handle_delete_module", params);
}

}  // namespace relvane
