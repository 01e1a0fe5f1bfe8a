// The serial table behind "newest edit wins" for module text.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// Entry: [latest serial, holders, task that started the latest change or None].
constexpr Py_ssize_t kSerial = 0, kHolders = 1, kOwner = 2;

unsigned long long g_next_serial = 0;

py::int_ next_serial() { return py::int_(++g_next_serial); }

py::dict table_of(py::handle manager) {
  static PyObject* per_manager = nullptr;  // kept for the life of the process
  if (!per_manager) per_manager = tv::import_attr("weakref", "WeakKeyDictionary");
  static PyObject* tables = nullptr;
  if (!tables) tables = py::handle(per_manager)().release().ptr();
  return as_dict(call_method(py::handle(tables), K("setdefault"), manager, py::dict()), "module edit serials");
}

// The running task, or None outside one.
py::object current_task() {
  static PyObject* fn = tv::import_attr("asyncio", "current_task");
  PyObject* task = PyObject_CallNoArgs(fn);
  if (!task) {
    PyErr_Clear();  // no running loop
    return py::none();
  }
  return py::reinterpret_steal<py::object>(task);
}

void set_slot(PyObject* entry, Py_ssize_t i, py::handle value) {
  PyList_SetItem(entry, i, value.inc_ref().ptr());  // steals the new reference
}

unsigned long long serial_of(PyObject* entry) { return PyLong_AsUnsignedLongLong(PyList_GET_ITEM(entry, kSerial)); }

}  // namespace

ModuleEdit::ModuleEdit(py::handle manager, py::handle workbook_id, py::handle module_name, Kind kind)
    : table_(table_of(manager)), key_(py::make_tuple(workbook_id, module_name)) {
  py::object task = current_task();
  PyObject* entry = PyDict_GetItemWithError(table_.ptr(), key_.ptr());
  if (!entry && PyErr_Occurred()) throw py::error_already_set();
  if (!entry) {
    py::list fresh(3);
    set_slot(fresh.ptr(), kSerial, next_serial());
    set_slot(fresh.ptr(), kHolders, py::int_(0));
    set_slot(fresh.ptr(), kOwner, kind == kChange ? task : py::none());
    table_[key_] = fresh;
    entry = fresh.ptr();
  } else if (kind == kChange) {
    // A change nested in one the same task already started is part of it.
    PyObject* owner = PyList_GET_ITEM(entry, kOwner);
    if (task.is_none() || owner != task.ptr()) {
      set_slot(entry, kSerial, next_serial());
      set_slot(entry, kOwner, task);
    }
  }
  serial_ = serial_of(entry);
  set_slot(entry, kHolders, py::int_(PyLong_AsSsize_t(PyList_GET_ITEM(entry, kHolders)) + 1));
}

ModuleEdit::~ModuleEdit() {
  // Runs as the coroutine's frame ends, also while an error is being raised:
  // only plain dict and list operations, the pending error kept.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* entry = PyDict_GetItemWithError(table_.ptr(), key_.ptr());
  if (entry && PyList_CheckExact(entry)) {
    Py_ssize_t holders = PyLong_AsSsize_t(PyList_GET_ITEM(entry, kHolders)) - 1;
    if (holders <= 0) {
      PyDict_DelItem(table_.ptr(), key_.ptr());
    } else if (PyObject* count = PyLong_FromSsize_t(holders)) {
      PyList_SetItem(entry, kHolders, count);
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

bool ModuleEdit::is_latest() const {
  PyObject* entry = PyDict_GetItemWithError(table_.ptr(), key_.ptr());
  if (!entry) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  return serial_of(entry) == serial_;
}

void supersede_module_edits(py::handle manager, py::handle workbook_id, py::handle module_name) {
  py::dict table = table_of(manager);
  py::object key = py::make_tuple(workbook_id, module_name);
  PyObject* entry = PyDict_GetItemWithError(table.ptr(), key.ptr());
  if (!entry) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return;  // nothing in flight
  }
  set_slot(entry, kSerial, next_serial());
  set_slot(entry, kOwner, py::none());
}

}  // namespace relvane
