// Request ids are the add-in's to choose, so two workbooks may each have a call
// outstanding under the same id. `_pending_function_executions` keeps the
// latest caller of an id; the earlier callers wait in
// `_overlapping_function_executions` (request id -> list of workbook ids), made
// only on the first overlap. Each workbook still gets its own answer, and only
// from its own kernel.
#include "business_layer/relvane/execution/pending_calls.hpp"

namespace relvane {

namespace {

py::dict pending_table(py::handle manager) {
  return as_dict(attr(manager, K("_pending_function_executions")), "_pending_function_executions");
}

// The overlap table, or a null object when there is none (and `create` is false).
// It is an instance attribute, so the instance's own dict answers without the
// cost of an AttributeError on the usual path, where there is none.
py::object overlap_table(py::handle manager, bool create) {
  py::object fields = steal(PyObject_GenericGetDict(manager.ptr(), nullptr));
  py::object found = find(fields, K("_overlapping_function_executions"));
  if (found) return as_dict(found, "_overlapping_function_executions");
  if (!create) return py::object();
  py::dict table;
  set_attr(manager, K("_overlapping_function_executions"), table);
  return table;
}

bool same(PyObject* a, py::handle b) {
  int equal = PyObject_RichCompareBool(a, b.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

// Removes `workbook_id` from the callers waiting under `request_id`; true when
// it was there.
bool drop_waiting(py::handle table, py::handle request_id, py::handle workbook_id) {
  py::object waiting = find(table, request_id);
  if (!waiting) return false;
  py::list callers = as_list(waiting, "overlapping callers");
  Py_ssize_t n = PyList_GET_SIZE(callers.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!same(PyList_GET_ITEM(callers.ptr(), i), workbook_id)) continue;
    if (PyList_SetSlice(callers.ptr(), i, i + 1, nullptr) < 0) throw py::error_already_set();
    if (n == 1 && PyDict_DelItem(table.ptr(), request_id.ptr()) < 0) throw py::error_already_set();
    return true;
  }
  return false;
}

}  // namespace

void record_pending_call(py::handle manager, py::handle request_id, py::handle workbook_id) {
  py::dict pending = pending_table(manager);
  py::object displaced = find(pending, request_id);
  if (displaced && !same(displaced.ptr(), workbook_id)) {
    py::object table = overlap_table(manager, true);
    drop_waiting(table, request_id, workbook_id);  // it moves to the pending table
    py::object waiting = find(table, request_id);
    if (!waiting) {
      waiting = py::list();
      set_item(table, request_id, waiting);
    }
    as_list(waiting, "overlapping callers").append(displaced);
  }
  set_item(pending, request_id, workbook_id);
}

bool take_pending_call(py::handle manager, py::handle request_id, py::handle workbook_id) {
  py::dict pending = pending_table(manager);
  py::object caller = find(pending, request_id);  // raises for an unhashable id
  py::object table = overlap_table(manager, false);
  if (caller && same(caller.ptr(), workbook_id)) {
    if (PyDict_DelItem(pending.ptr(), request_id.ptr()) < 0) throw py::error_already_set();
    // The most recent of the workbooks still waiting under the id takes its place.
    py::object waiting = table ? find(table, request_id) : py::object();
    if (waiting) {
      py::list callers = as_list(waiting, "overlapping callers");
      Py_ssize_t n = PyList_GET_SIZE(callers.ptr());
      if (n > 0) set_item(pending, request_id, PyList_GET_ITEM(callers.ptr(), n - 1));
      if (n <= 1) {
        if (PyDict_DelItem(table.ptr(), request_id.ptr()) < 0) throw py::error_already_set();
      } else if (PyList_SetSlice(callers.ptr(), n - 1, n, nullptr) < 0) {
        throw py::error_already_set();
      }
    }
    return true;
  }
  return table && drop_waiting(table, request_id, workbook_id);
}

Py_ssize_t drop_pending_calls_of(py::handle manager, py::handle workbook_id) {
  py::dict pending = pending_table(manager);
  py::list ids;  // collected first: taking a call changes the table
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(pending.ptr(), &pos, &key, &value))
    if (same(value, workbook_id) && PyList_Append(ids.ptr(), key) < 0) throw py::error_already_set();
  Py_ssize_t dropped = PyList_GET_SIZE(ids.ptr());
  for (py::handle request_id : ids) take_pending_call(manager, request_id, workbook_id);

  py::object table = overlap_table(manager, false);
  if (!table) return dropped;
  py::list waiting_ids;
  pos = 0;
  while (PyDict_Next(table.ptr(), &pos, &key, &value))
    if (PyList_Append(waiting_ids.ptr(), key) < 0) throw py::error_already_set();
  for (py::handle request_id : waiting_ids)
    while (drop_waiting(table, request_id, workbook_id)) ++dropped;
  return dropped;
}

}  // namespace relvane
