// The master's working copy of each workbook's modules: module name → source
// text, in the order the modules were first saved.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

py::dict all_modules(py::handle self) { return as_dict(attr(self, K("workbook_modules")), "workbook_modules"); }

// The workbook's entry as stored, or nullptr when the workbook is not cached.
PyObject* entry_of(py::dict all, py::handle workbook_id) {
  PyObject* entry = PyDict_GetItemWithError(all.ptr(), workbook_id.ptr());
  if (!entry && PyErr_Occurred()) throw py::error_already_set();
  return entry;
}

void save_module(py::object self, py::str workbook_id, py::str module_name, py::str code) {
  py::dict all = all_modules(self);
  if (!entry_of(all, workbook_id)) all[workbook_id] = py::dict();
  as_dict(all[workbook_id], "workbook_modules entry")[module_name] = code;
  debug("Saved module '{}' for workbook '{}'", module_name, workbook_id);
}

bool delete_module(py::object self, py::str workbook_id, py::str module_name) {
  PyObject* entry = entry_of(all_modules(self), workbook_id);
  if (!entry || entry == Py_None) return false;
  py::dict modules = as_dict(entry, "workbook_modules entry");
  if (!modules.contains(module_name)) return false;
  PyDict_DelItem(modules.ptr(), module_name.ptr());
  debug("Deleted module '{}' from workbook '{}'", module_name, workbook_id);
  return true;
}

py::object get_module(py::object self, py::str workbook_id, py::str module_name) {
  PyObject* entry = entry_of(all_modules(self), workbook_id);
  if (!entry || entry == Py_None) return py::none();
  py::object code = get(as_dict(entry, "workbook_modules entry"), module_name);
  // Only text may come out: the add-in's module list is stored as it arrived.
  if (!code.is_none() && !PyUnicode_CheckExact(code.ptr()))
    tv::raise_result_type("ConnectionManager.get_module", "str or None", code.ptr());
  return code;
}

// The cache's own dictionary, not a copy, so later saves show through it.
py::object list_modules(py::object self, py::str workbook_id) {
  PyObject* entry = entry_of(all_modules(self), workbook_id);
  if (!entry) return py::dict();
  if (entry != Py_None && !PyDict_CheckExact(entry))
    tv::raise_result_type("ConnectionManager.list_modules", "dict or None", entry);
  return py::reinterpret_borrow<py::object>(entry);
}

}  // namespace

void define_module_cache_methods(Scope& cls) {
  tv::def<&save_module>(cls, "save_module", {"self", "workbook_id", "module_name", "code"});
  tv::def<&delete_module>(cls, "delete_module", {"self", "workbook_id", "module_name"});
  tv::def<&get_module>(cls, "get_module", {"self", "workbook_id", "module_name"});
  tv::def<&list_modules>(cls, "list_modules", {"self", "workbook_id"});
}

}  // namespace relvane
