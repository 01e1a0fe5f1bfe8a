// Package keys ("name==version[extras]") and the error texts filed per
// workbook and direct package.
#include "business_layer/relvane/package_install/package_install.hpp"

namespace relvane {

namespace {

bool text_nonempty(py::handle o) { return PyUnicode_Check(o.ptr()) && PyUnicode_GET_LENGTH(o.ptr()) > 0; }

py::str get_package_key(py::str name, py::str version, OptList extras) {
  py::str key = name + py::str("==") + version;
  if (extras.is_none() || py::len(extras) == 0) return key;
  for (py::handle e : extras)
    if (!PyUnicode_CheckExact(e.ptr()))
      tv::raise_arg_type("_get_package_key", "extras", "list of str or None", e.ptr());
  py::list sorted = new_list(extras);
  call_method(sorted, K("sort"));
  return key + bracketed(sorted);
}

py::object find_package_by_name(py::list packages, py::str package_name) {
  py::object wanted = call_method(package_name, K("lower"));
  for (py::handle entry : snapshot(packages)) {
    py::object name = py::reinterpret_borrow<py::object>(entry)[K("name")];
    if (call_method(name, K("lower")).equal(wanted)) return py::reinterpret_borrow<py::object>(entry);
  }
  return py::none();
}

py::list find_direct_packages_for_dependency(py::str workbook_id, py::str) {
  py::list names;
  py::object packages = get(attr(mgr(), K("workbook_packages")), workbook_id, py::list());
  for (py::handle entry : packages) names.append(py::reinterpret_borrow<py::object>(entry)[K("name")]);
  return names;
}

void record_package_error(py::str workbook_id, py::str failed_package, py::str error_msg, OptStr direct_package) {
  py::dict errors = as_dict(workbook_map(K("package_errors"), workbook_id), "package_errors entry");
  bool has_direct = text_nonempty(direct_package);
  py::object target = has_direct ? py::object(direct_package) : py::object(failed_package);
  if (!errors.contains(target)) errors[target] = py::list();
  py::object text = error_msg;
  if (has_direct && !direct_package.equal(failed_package))
    text = fmt("Dependency '{}':\n{}", failed_package, error_msg);
  call_method(errors[target], K("append"), text);
}

}  // namespace

void define_package_records(Scope& m) {
  tv::def<&get_package_key>(m, "_get_package_key", {"name", "version", {"extras", py::none()}});
  tv::def<&find_package_by_name>(m, "_find_package_by_name", {"packages", "package_name"});
  tv::def<&find_direct_packages_for_dependency>(m, "_find_direct_packages_for_dependency", {"workbook_id", "dep_name"});
  tv::def<&record_package_error>(m, "record_package_error",
                                 {"workbook_id", "failed_package", "error_msg", {"direct_package", py::none()}});
}

}  // namespace relvane
