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

// One line of the IDE's package console.
inline py::dict pip_output(py::handle workbook_id, PyObject* output_type, py::handle message) {
  return dict_of({{K("type"), K("pip_output")},
                  {K("workbook_id"), workbook_id},
                  {K("output_type"), output_type},
                  {K("message"), message}});
}

inline py::dict packages_update(py::handle workbook_id, py::handle packages, bool with_errors = true) {
  py::dict m =
      dict_of({{K("type"), K("workbook_packages_update")}, {K("workbook_id"), workbook_id}, {K("packages"), packages}});
  if (with_errors) m[K("package_errors")] = get(attr(mgr(), K("package_errors")), workbook_id, py::dict());
  return m;
}

// Every IDE; a failing one does not stop the others.
inline py::object to_ide(py::dict message) { return call_method(mgr(), K("broadcast"), K("ide"), message); }

// An entry's "status", or None for an entry that is not an object.
py::object entry_status(py::handle entry);
// Why an entry cannot take part in an installation run, in words for the IDE
// ("it lacks a text \"version\""), or a null object for one that can.
py::object entry_fault(py::handle entry);
// The console line refusing such an entry, which it names.
py::str refusal_line(py::handle entry, py::handle fault);
// Marks the workbook's entries that can be installed "resolving", appending
// each to `marked` as it goes, and the others (objects) "error"; shows the list
// to the IDE and refuses each of the others with a console line.
Task mark_for_resolution(py::str workbook_id, py::object packages, py::list marked);
// Entries still "resolving" or "installing" become "error": a run that did not
// reach its end never leaves them waiting.
void settle_unfinished(py::handle entries);

// _get_package_key, _find_package_by_name, _find_direct_packages_for_dependency,
// record_package_error.
void define_package_records(Scope& m);

}  // namespace relvane
