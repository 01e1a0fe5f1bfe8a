// The workbook's package entries as an installation run takes them: which can
// be installed at all, the marking of the ones that can and the refusal of the
// others, and the statuses of a run that did not reach its end.
#include "business_layer/relvane/package_install/package_install.hpp"

namespace relvane {

namespace {

// How much of a refused entry the console line shows: the list came from a
// client and an entry may be of any size.
constexpr Py_ssize_t kShownChars = 200;

bool is_text(const py::object& o) { return o && PyUnicode_Check(o.ptr()); }

// The entry as JSON, without the status the run keeps in it, cut to kShownChars.
py::str shown(py::handle entry) {
  py::object given = py::reinterpret_borrow<py::object>(entry);
  if (PyDict_Check(entry.ptr())) {
    given = steal(PyDict_Copy(entry.ptr()));
    if (PyDict_DelItem(given.ptr(), K("status")) < 0) PyErr_Clear();
  }
  py::str text;
  try {
    text = call_method(G(K("json")), K("dumps"), given);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    text = py::str(Py_TYPE(entry.ptr())->tp_name);
  }
  if (PyUnicode_GET_LENGTH(text.ptr()) <= kShownChars) return text;
  return py::str(text[py::slice(0, kShownChars, 1)]) + py::str("\u2026");
}

}  // namespace

py::object entry_status(py::handle entry) {
  if (!PyDict_Check(entry.ptr())) return py::none();
  return get(entry, K("status"));
}

py::object entry_fault(py::handle entry) {
  if (!PyDict_Check(entry.ptr())) return py::str("it is not an object with a \"name\" and a \"version\"");
  py::object name = find(entry, K("name"));
  py::object version = find(entry, K("version"));
  const bool has_name = is_text(name) && PyUnicode_GET_LENGTH(name.ptr()) > 0;
  const bool has_version = is_text(version);  // "" asks for any version
  if (!has_name && !has_version) return py::str("it lacks a text \"name\" and a text \"version\"");
  if (!has_name) return py::str("it lacks a text \"name\"");
  if (!has_version) return py::str("it lacks a text \"version\"");
  py::object extras = find(entry, K("extras"));
  if (extras && !extras.is_none()) {
    bool texts = PyList_Check(extras.ptr());
    for (Py_ssize_t i = 0; texts && i < PyList_GET_SIZE(extras.ptr()); ++i)
      texts = PyUnicode_CheckExact(PyList_GET_ITEM(extras.ptr(), i));
    if (!texts) return py::str("its \"extras\" is not a list of texts");
  }
  return py::object();
}

py::str refusal_line(py::handle entry, py::handle fault) {
  return py::str("Package entry ") + shown(entry) + py::str(" is not installed: ") + py::str(fault) + py::str(".");
}

Task mark_for_resolution(py::str workbook_id, py::object packages, py::list marked) {
  py::list refused, faults;
  for (py::handle entry : snapshot(packages)) {
    py::object fault = entry_fault(entry);
    if (!fault) {
      set_item(entry, K("status"), K("resolving"));
      marked.append(entry);
      continue;
    }
    if (PyDict_Check(entry.ptr())) set_item(entry, K("status"), K("error"));
    refused.append(entry);
    faults.append(fault);
  }
  co_await to_ide(packages_update(workbook_id, packages));
  for (size_t i = 0; i < py::len(refused); ++i) {
    py::str line = refusal_line(refused[i], faults[i]);
    log_warning(fmt("{} (workbook {})", line, workbook_id));
    co_await to_ide(pip_output(workbook_id, K("error"), line));
  }
  co_return py::none();
}

void settle_unfinished(py::handle entries) {
  for (py::handle entry : snapshot(entries)) {
    py::object status = entry_status(entry);
    if (status.equal(py::handle(K("resolving"))) || status.equal(py::handle(K("installing"))))
      set_item(entry, K("status"), K("error"));
  }
}

}  // namespace relvane
