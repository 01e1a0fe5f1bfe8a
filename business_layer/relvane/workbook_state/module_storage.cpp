// Saving, loading and deleting one module in the workbook through its add-in;
// the module cache follows each change the add-in confirms.
#include "business_layer/relvane/dicts.hpp"
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

py::dict modules_of(py::handle self, py::handle workbook_id, bool create) {
  py::dict all = as_dict(attr(self, K("workbook_modules")), "workbook_modules");
  if (!all.contains(workbook_id)) {
    if (!create) return py::dict();
    all[workbook_id] = py::dict();
  }
  return as_dict(all[workbook_id], "workbook_modules entry");
}

Task save_module_to_addin(py::object self, py::str workbook_id, py::str module_name, py::str code) {
  ModuleEdit edit(self, workbook_id, module_name, ModuleEdit::kChange);
  py::object error;
  try {
    py::dict message =
        dict_of({{K("type"), K("save_module_request")}, {K("module_name"), module_name}, {K("code"), code}});
    py::object reply = co_await ask_addin(self, workbook_id, message);
    py::object success = get(reply, K("success"), Py_False);
    if (truthy(success)) {
      if (edit.is_latest()) modules_of(self, workbook_id, true)[module_name] = code;
      debug("Saved module '{}' to workbook: {}", module_name, workbook_id);
    }
    co_return success;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error saving module to workbook {}: {}", workbook_id, py::str(error)));
  co_return py::bool_(false);
}

Task load_module_from_addin(py::object self, py::str workbook_id, py::str module_name) {
  // A save or delete started while the load is out makes its answer stale.
  ModuleEdit edit(self, workbook_id, module_name, ModuleEdit::kWatch);
  py::object error;
  try {
    py::dict message = dict_of({{K("type"), K("load_module_request")}, {K("module_name"), module_name}});
    py::object reply = co_await ask_addin(self, workbook_id, message);
    py::object code = get(reply, K("code"));
    // Only text goes into the cache: anything else counts as no such module.
    if (!code.is_none() && !PyUnicode_CheckExact(code.ptr())) {
      const AnswerReader answer{workbook_id, "load_module_request"};
      answer.skip(fmt("module '{}'", module_name), "its source as text", code);
      code = py::none();
    }
    if (!code.is_none()) {
      if (edit.is_latest()) modules_of(self, workbook_id, true)[module_name] = code;
      debug("Loaded module '{}' from workbook: {}", module_name, workbook_id);
    }
    co_return code;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error loading module from workbook {}: {}", workbook_id, py::str(error)));
  co_return py::none();
}

Task delete_module_from_addin(py::object self, py::str workbook_id, py::str module_name) {
  ModuleEdit edit(self, workbook_id, module_name, ModuleEdit::kChange);
  py::object error;
  try {
    py::dict message = dict_of({{K("type"), K("delete_module_request")}, {K("module_name"), module_name}});
    py::object reply = co_await ask_addin(self, workbook_id, message);
    py::object success = get(reply, K("success"), Py_False);
    if (truthy(success)) {
      if (edit.is_latest()) call_method(modules_of(self, workbook_id, false), K("pop"), module_name, py::none());
      debug("Deleted module '{}' from workbook: {}", module_name, workbook_id);
    }
    co_return success;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error deleting module from workbook {}: {}", workbook_id, py::str(error)));
  co_return py::bool_(false);
}

}  // namespace

void define_module_storage_methods(Scope& cls) {
  tv::def<&save_module_to_addin>(cls, "save_module_to_addin", {"self", "workbook_id", "module_name", "code"});
  tv::def<&load_module_from_addin>(cls, "load_module_from_addin", {"self", "workbook_id", "module_name"});
  tv::def<&delete_module_from_addin>(cls, "delete_module_from_addin", {"self", "workbook_id", "module_name"});
}

}  // namespace relvane
