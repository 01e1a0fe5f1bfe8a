// Coalesces one workbook's worksheet-function results that arrive within a
// short window into one "batch_results" message to its add-in.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

void init(py::object self, py::object manager) {
  self.attr("_manager") = manager;
  self.attr("_pending") = py::dict();
  self.attr("_flush_tasks") = py::dict();
  self.attr("_lock") = G("asyncio").attr("Lock")();
}

// Holds the batcher's lock for a critical section that never awaits.
struct LockHeld {
  py::object lock;
  ~LockHeld() {
    try {
      lock.attr("release")();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("ResultBatcher lock");
    }
  }
};

Task add_result(py::object self, py::str workbook_id, py::dict message) {
  py::object lock = self.attr("_lock");
  co_await lock.attr("acquire")();
  {
    LockHeld held{lock};
    py::dict pending = as_dict(self.attr("_pending"), "_pending");
    if (!pending.contains(workbook_id)) pending[workbook_id] = py::list();
    pending[workbook_id].attr("append")(message);
    py::dict tasks = as_dict(self.attr("_flush_tasks"), "_flush_tasks");
    if (!tasks.contains(workbook_id))
      tasks[workbook_id] = G("asyncio").attr("create_task")(self.attr("_flush_after_delay")(workbook_id));
  }
  co_return py::none();
}

Task flush_after_delay(py::object self, py::str workbook_id) {
  co_await G("asyncio").attr("sleep")(self.attr("COALESCE_DELAY"));
  co_await self.attr("_flush_workbook")(workbook_id);
  co_return py::none();
}

Task flush_workbook(py::object self, py::str workbook_id) {
  py::object lock = self.attr("_lock");
  py::object messages;
  co_await lock.attr("acquire")();
  {
    LockHeld held{lock};
    messages = self.attr("_pending").attr("pop")(workbook_id, py::list());
    self.attr("_flush_tasks").attr("pop")(workbook_id, py::none());
  }
  Py_ssize_t n = py::len(messages);
  if (n == 0) co_return py::none();
  py::object manager = self.attr("_manager");
  if (n == 1) {
    co_await manager.attr("send_message")("addin", workbook_id, messages[py::int_(0)]);
  } else {
    py::dict batch;
    batch["type"] = "batch_results";
    batch["results"] = messages;
    co_await manager.attr("send_message")("addin", workbook_id, batch);
  }
  co_return py::none();
}

Task flush_all(py::object self) {
  py::object lock = self.attr("_lock");
  py::list ids;
  co_await lock.attr("acquire")();
  {
    LockHeld held{lock};
    ids = py::list(self.attr("_pending"));
  }
  for (py::handle id : ids) co_await self.attr("_flush_workbook")(id);
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
