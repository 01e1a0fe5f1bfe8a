// Coalesces one workbook's worksheet-function results that arrive within a
// short window into one "batch_results" message to its add-in.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

void init(py::object self, py::object manager) {
  set_attr(self, K("_manager"), manager);
  set_attr(self, K("_pending"), py::dict());
  set_attr(self, K("_flush_tasks"), py::dict());
  set_attr(self, K("_lock"), call_method(G(K("asyncio")), K("Lock")));
}

// A plain asyncio.Lock that is free with nobody waiting is taken and given
// back through its own two fields, as acquire() and release() would: the
// critical sections never await, so that is the case of every result, and it
// spares a coroutine per result. Any other lock or state goes through the methods.
bool plain_lock_state(py::handle lock, PyObject* locked) {
  static PyObject* lock_type = attr(py::module_::import("asyncio"), K("Lock")).release().ptr();
  if (Py_TYPE(lock.ptr()) != reinterpret_cast<PyTypeObject*>(lock_type)) return false;
  if (attr(lock, K("_locked")).ptr() != locked) return false;
  py::object waiters = attr(lock, K("_waiters"));
  return waiters.is_none() || py::len(waiters) == 0;
}

bool took_free_lock(py::handle lock) {
  if (!plain_lock_state(lock, Py_False)) return false;
  set_attr(lock, K("_locked"), Py_True);
  return true;
}

// Releases the batcher's lock when a critical section that never awaits ends.
auto lock_held(py::handle lock) {
  return Finally{[lock] {
                   if (plain_lock_state(lock, Py_True))
                     set_attr(lock, K("_locked"), Py_False);
                   else
                     call_method(lock, K("release"));
                 },
                 "ResultBatcher lock"};
}

Task add_result(py::object self, py::str workbook_id, py::dict message) {
  py::object lock = attr(self, K("_lock"));
  if (!took_free_lock(lock)) co_await call_method(lock, K("acquire"));
  {
    auto held = lock_held(lock);
    py::dict pending = as_dict(attr(self, K("_pending")), "_pending");
    py::object queued = find(pending, workbook_id);
    if (!queued) {
      queued = py::list();
      set_item(pending, workbook_id, queued);
    }
    if (PyList_CheckExact(queued.ptr())) {
      if (PyList_Append(queued.ptr(), message.ptr()) < 0) throw py::error_already_set();
    } else {
      call_method(queued, K("append"), message);
    }
    py::dict tasks = as_dict(attr(self, K("_flush_tasks")), "_flush_tasks");
    if (!contains(tasks, workbook_id))
      set_item(tasks, workbook_id,
               call_method(G(K("asyncio")), K("create_task"), call_method(self, K("_flush_after_delay"), workbook_id)));
  }
  co_return py::none();
}

Task flush_after_delay(py::object self, py::str workbook_id) {
  co_await call_method(G(K("asyncio")), K("sleep"), attr(self, K("COALESCE_DELAY")));
  co_await call_method(self, K("_flush_workbook"), workbook_id);
  co_return py::none();
}

Task flush_workbook(py::object self, py::str workbook_id) {
  py::object lock = attr(self, K("_lock"));
  py::object messages;
  if (!took_free_lock(lock)) co_await call_method(lock, K("acquire"));
  {
    auto held = lock_held(lock);
    messages = call_method(attr(self, K("_pending")), K("pop"), workbook_id, py::list());
    call_method(attr(self, K("_flush_tasks")), K("pop"), workbook_id, Py_None);
  }
  Py_ssize_t n = py::len(messages);
  if (n == 0) co_return py::none();
  py::object manager = attr(self, K("_manager"));
  if (n == 1) {
    co_await call_method(manager, K("send_message"), K("addin"), workbook_id, steal(PySequence_GetItem(messages.ptr(), 0)));
  } else {
    py::dict batch;
    set_item(batch, K("type"), K("batch_results"));
    set_item(batch, K("results"), messages);
    co_await call_method(manager, K("send_message"), K("addin"), workbook_id, batch);
  }
  co_return py::none();
}

Task flush_all(py::object self) {
  py::object lock = attr(self, K("_lock"));
  py::list ids;
  if (!took_free_lock(lock)) co_await call_method(lock, K("acquire"));
  {
    auto held = lock_held(lock);
    ids = py::list(attr(self, K("_pending")));
  }
  for (py::handle id : ids) co_await call_method(self, K("_flush_workbook"), id);
  co_return py::none();
}

}  // namespace

void define_result_batcher(Scope& m) {
  tv::make_class(m, "ResultBatcher", [](Scope& cls) {
    cls.ns["COALESCE_DELAY"] = py::float_(0.005);
    tv::def<&init>(cls, "__init__", {"self", "manager"});
    tv::def<&add_result>(cls, "add_result", {"self", "workbook_id", "message"});
    tv::def<&flush_after_delay>(cls, "_flush_after_delay", {"self", "workbook_id"});
    tv::def<&flush_workbook>(cls, "_flush_workbook", {"self", "workbook_id"});
    tv::def<&flush_all>(cls, "flush_all", {"self"});
  });
}

}  // namespace relvane
