// Shared pieces of package installation and of the package records that the
// package handlers read and write.
#pragma once

#include "business_layer/relvane/dicts.hpp"

namespace relvane {

inline py::object mgr() { return G(K("manager")); }

// A new list with the items of `o` (py::list(o) would share a list it is given).
inline py::list new_list(py::handle o) {
  PyObject* l = PySequence_List(o.ptr());
  if (!l) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

// The map of the workbook in one of the manager's per-workbook fields, made
// empty when missing.
inline py::object workbook_map(PyObject* field, py::handle workbook_id) {
  py::dict all = as_dict(attr(mgr(), field), PyUnicode_AsUTF8(field));
  py::object map = find(all, workbook_id);
  if (!map) {
    map = py::dict();
    set_item(all, workbook_id, map);
  }
  return map;
}

// "[a,b]": extras as package keys and console lines show them.
inline py::str bracketed(py::handle extras) {
  return py::str("[") + call_method(K(","), K("join"), extras) + py::str("]");
}

// _get_package_key, _find_package_by_name, _find_direct_packages_for_dependency,
// record_package_error.
void define_package_records(Scope& m);

}  // namespace relvane
