// Shared pieces of the per-workbook state: the add-in request and the state push.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// Every request to an add-in waits this long for its answer.
constexpr double kAddinTimeout = 10.0;

// Awaitable of the add-in's answer to `message` (the request id is added to it).
inline py::object ask_addin(py::handle self, py::handle workbook_id, py::dict message) {
  return call_method(self, K("send_and_wait_response"), K("addin"), workbook_id, message, py::float_(kAddinTimeout));
}

// Failures of an add-in request that turn into a warning and a neutral result.
inline bool is_request_failure(const py::error_already_set& e) {
  return e.matches(PyExc_TimeoutError) || e.matches(PyExc_ConnectionError);
}

// Reads one answer of a workbook's add-in to `request` as far as it is sound
// (answer_shapes.cpp): each part of the wrong shape is skipped with a warning
// "Skipping {what} in the answer of workbook {id} to {request}: expected
// {expected}, got {type}", and the sound rest is kept.
struct AnswerReader {
  py::object workbook_id;
  const char* request;

  void skip(py::handle what, py::str expected, py::handle value) const;
  // reply[key] when it is a list (or a dict); a new empty one when it is
  // missing or false, or of another type (skipped).
  py::object payload(py::handle reply, PyObject* key, bool want_list) const;
  // The sound entries of each part, in their order.
  py::dict modules(py::handle modules) const;             // name -> source text
  py::list functions(py::handle functions) const;         // objects whose names are text
  py::list packages(py::handle packages) const;           // objects
  py::list python_paths(py::handle paths) const;          // text, or objects with a text "path"
  py::dict handlers(py::handle registered) const;         // object id -> {"ObjectType", "events": {name: object}}
  py::dict definitions(py::handle definitions) const;     // object type -> [definition objects]
  py::dict tree(py::handle root) const;                   // the root, or {} when the root itself is unsound
};

// A value taken from a cache must be of the parameter's type or None.
void check_cached(py::handle value, const char* func, const char* field, bool want_list);

// How a push names itself in its log lines:
//   debug "Pushed {qualifier}{what} to {destination} websocket{for}{tail}" after a send to the given socket,
//   debug "Pushed {qualifier}{what} to {destination}{for}{tail}" after any send,
//   error "Error pushing {what}[ to {destination} unless IDE]: {error}",
// where {for} is " for: {workbook_id}" when a workbook is named. Lines are built only when written.
struct PushLog {
  const char* what;
  py::object workbook_id = py::none();
  const char* destination = "IDE";
  const char* qualifier = "";
  py::object tail = py::str("");
};

// Sends `message` to `websocket` when it is true, otherwise to every IDE (or,
// when `addin_workbook` is a text, to that workbook's add-in). Ordinary errors
// are logged and swallowed.
Task push_message(py::object self, py::dict message, py::object websocket, py::object addin_workbook, PushLog log);

}  // namespace relvane

namespace relvane {

// "Newest edit wins" for the cached text of one (workbook, module): answers of
// the add-in can arrive out of order, so only the newest change started may
// touch the cache. An edit holds its entry of the manager's serial table for
// as long as it lives (however its coroutine ends), and the entry is dropped
// with its last holder: the table holds only what is in flight.
class ModuleEdit {
 public:
  enum Kind {
    kChange,  // a save or delete: newer than everything started before it
    kWatch,   // a load: stale once a change starts while it is out
  };
  ModuleEdit(py::handle manager, py::handle workbook_id, py::handle module_name, Kind kind);
  ~ModuleEdit();
  ModuleEdit(const ModuleEdit&) = delete;
  ModuleEdit& operator=(const ModuleEdit&) = delete;

  // True while no newer change of the module has started (or been applied).
  bool is_latest() const;

 private:
  py::dict table_;
  py::object key_;
  unsigned long long serial_ = 0;
};

// An edit applied to the cache at once: every change still waiting is older.
void supersede_module_edits(py::handle manager, py::handle workbook_id, py::handle module_name);

}  // namespace relvane
