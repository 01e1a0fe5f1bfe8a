// The one door for every incoming message: chunk reassembly, the pending-request
// matcher, then the handler the table names for the sender's type.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// Offers a message to the pending requests; an error is logged, never raised.
bool match_response(py::handle message) {
  try {
    return truthy(call_method(G(K("manager")), K("handle_response"), message));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log_error_with_traceback(fmt("Error handling response: {}", e.value()), e.value());
  }
  return false;
}

Task try_handle_response(py::dict message) {
  co_return py::bool_(match_response(message));
}

PyObject* own_matcher = nullptr;  // the module's _try_handle_response, kept for the process

// The matcher runs where a task of its own would take its first step: on the
// loop's next turn, after the handler's first step, in arrival order. One loop
// callback takes every message that arrives before it runs, so a burst pays
// for one callback, not one per message.
PyObject* waiting = nullptr;       // the list the queued callback will take, or null
PyObject* waiting_loop = nullptr;  // the loop that callback is queued on

// Whether `loop` is the loop running this code: an asyncio event loop notes
// the thread that runs it, and a thread runs one loop at a time. Asking
// asyncio for the running loop instead costs a system call (getpid) per
// message. -1: the loop keeps no such note.
int runs_in_this_thread(PyObject* loop) {
  PyObject* noted = PyObject_GetAttr(loop, K("_thread_id"));
  if (!noted) {
    PyErr_Clear();
    return -1;
  }
  py::object thread = steal(noted);
  if (thread.is_none()) return 0;
  unsigned long id = PyLong_AsUnsignedLong(thread.ptr());
  if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return -1;
  }
  return id == PyThread_get_thread_ident() ? 1 : 0;
}

py::object running_loop() {
  static PyObject* get_running_loop = attr(py::module_::import("asyncio"), K("get_running_loop")).release().ptr();
  return steal(PyObject_CallNoArgs(get_running_loop));
}

PyObject* match_callback(PyObject*, PyObject* batch);
PyMethodDef match_callback_def = {"_try_handle_response", match_callback, METH_O, nullptr};

void queue_for_matching(py::handle loop, py::list batch) {
  static PyObject* callback = PyCFunction_New(&match_callback_def, nullptr);
  call_method(loop, K("call_soon"), callback, batch);
  Py_XSETREF(waiting, batch.release().ptr());
  Py_XSETREF(waiting_loop, Py_NewRef(loop.ptr()));
}

PyObject* match_callback(PyObject*, PyObject* batch) {
  if (!PyList_CheckExact(batch)) return tv::refuse_builtin_arg("_try_handle_response", "batch", "list", batch);
  if (batch == waiting) {  // what arrives from now on waits for the next turn
    Py_CLEAR(waiting);
    Py_CLEAR(waiting_loop);
  }
  Py_ssize_t i = 0;
  try {
    for (; i < PyList_GET_SIZE(batch); ++i) match_response(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(batch, i)));
    Py_RETURN_NONE;
  } catch (...) {
    if (tv::forced_unwind()) throw;
    tv::set_python_error_from_current_exception();
  }
  // The error goes to the loop; the messages behind it keep their turn.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  try {
    py::list rest = steal(PyList_GetSlice(batch, i + 1, PyList_GET_SIZE(batch)));
    if (PyList_GET_SIZE(rest.ptr()) > 0) {
      py::object loop = running_loop();
      if (waiting && waiting_loop == loop.ptr()) {
        if (PyList_SetSlice(waiting, 0, 0, rest.ptr()) < 0) throw py::error_already_set();
      } else {
        queue_for_matching(loop, rest);
      }
    }
  } catch (...) {
    PyErr_Clear();  // the loop is going away: nothing would run them
  }
  PyErr_Restore(type, value, trace);
  return nullptr;
}

void start_matcher(py::dict message) {
  py::object matcher = G(K("_try_handle_response"));
  if (matcher.ptr() != own_matcher) {  // replaced: run whatever it now is as a task
    start_background_task(call(matcher, message));
    return;
  }
  if (waiting) {
    int here = runs_in_this_thread(waiting_loop);
    if (here == 1 || (here == -1 && running_loop().ptr() == waiting_loop)) {
      if (PyList_Append(waiting, message.ptr()) < 0) throw py::error_already_set();
      return;
    }
  }
  // None queued on this loop; one queued on a loop that closed before it ran never runs.
  py::list batch;
  batch.append(message);
  queue_for_matching(running_loop(), std::move(batch));
}

// A message whose handling ended with an error is answered by nobody, so it
// leaves a line. A value of the wrong type or out of range (TypeError,
// ValueError) is what the project's own checks raise for what a client sent,
// from the exact-type checks of its functions to the settings manager's: the
// client's mistake, a warning without traceback. Any other error is a fault of
// the master's own code: an error with its traceback. Cancellation and the
// like (no Exception) are not failures.
void report_failure(py::handle client_type, py::handle client_id, py::handle type, const py::error_already_set& e) {
  if (!e.matches(PyExc_Exception)) return;
  py::str text = fmt("Error handling {} from {}/{}: {}", type, client_type, client_id, e.value());
  if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError))
    log_warning(text);
  else
    log_error_with_traceback(text, e.value());
}

Task handle_message(py::str client_type, py::str client_id, py::dict message) {
  py::object type = get(message, K("type"));

  if (PyUnicode_CheckExact(type.ptr()) && PyUnicode_CompareWithASCIIString(type.ptr(), "chunk") == 0) {
    py::object whole;
    try {
      whole = co_await call_method(G(K("manager")), K("_handle_chunk_message"), client_type, client_id, message);
    } catch (py::error_already_set& e) {
      report_failure(client_type, client_id, type, e);
      throw;
    }
    // The whole reports its own failure.
    if (PyDict_Check(whole.ptr()) && PyDict_GET_SIZE(whole.ptr()) > 0)
      co_await call(G(K("handle_message")), client_type, client_id, whole);
    co_return py::none();
  }

  start_matcher(message);
  if (debug_enabled())
    log_debug(fmt("[TIMING] Received from {}: type={}, request_id={}", client_type, type,
                  get(message, K("request_id"), K("N/A"))));

  // Reported, then raised as before: the task still ends with the error.
  try {
    py::object table = find(G(K("MESSAGE_HANDLERS")), client_type);
    py::object handler = table ? get(table, type) : py::none();
    if (handler.is_none()) {
      log_warning(fmt("No handler for {}/{}", client_type, type));
      co_return py::none();
    }
    co_await call(handler, client_id, message);
  } catch (py::error_already_set& e) {
    report_failure(client_type, client_id, type, e);
    throw;
  }
  co_return py::none();
}

Task handle_response_message(py::str, py::dict) { co_return py::none(); }

}  // namespace

void define_response_matcher(Scope& m) {
  own_matcher = tv::def<&try_handle_response>(m, "_try_handle_response", {"message"}).release().ptr();
}

void define_response_message_handler(Scope& m) {
  tv::def<&handle_response_message>(m, "handle_response_message", {"client_id", "message"});
}

void define_dispatch(Scope& m) {
  tv::def<&handle_message>(m, "handle_message", {"client_type", "client_id", "message"});
}

}  // namespace relvane
