// Synchronous requests to the add-in through the kernel program's send
// handler, answers passed back in by its listener thread, and the registry of
// Python callables the add-in can call back.
//
// The two locks are the object's own threading.Lock attributes. Nothing done
// while one is held allocates collectable objects or drops the last reference
// to a user object, so a finaliser (a proxy's release, which sends a request)
// can never run on a thread that already holds the lock it needs.
#include <utility>
#include <vector>

#include "panticle/panticle.hpp"

namespace panticle {

namespace {

unsigned long g_listener = 0;
bool g_has_listener = false;

// Holds one of the object's locks for a scope.
class Locked {
 public:
  explicit Locked(py::object lock) : lock_(std::move(lock)) { call_method(lock_, K("acquire")); }
  ~Locked() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = PyObject_CallMethodNoArgs(lock_.ptr(), K("release"));
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_WriteUnraisable(lock_.ptr());
    }
    PyErr_Restore(t, v, tb);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  py::object lock_;
};

// fn() under the object's lock named `lock_name`: its new reference, or null
// with the error set. The request path's form of Locked: no C++ exception.
template <class Fn>
PyObject* under_lock(PyObject* self, PyObject* lock_name, Fn&& fn) {
  PyObject* lock = PyObject_GetAttr(self, lock_name);
  if (!lock) return nullptr;
  PyObject* r = PyObject_CallMethodNoArgs(lock, K("acquire"));
  if (!r) {
    Py_DECREF(lock);
    return nullptr;
  }
  Py_DECREF(r);
  PyObject* result = fn();
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  r = PyObject_CallMethodNoArgs(lock, K("release"));
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(lock);
  }
  PyErr_Restore(t, v, tb);
  Py_DECREF(lock);
  return result;
}

// waiters.pop(request_id, None) under the lock: the future (or None), dropped
// by the caller after the lock; null with the error set.
PyObject* pop_waiter(PyObject* self, PyObject* rid) {
  return under_lock(self, K("_waiters_lock"), [&]() -> PyObject* {
    PyObject* waiters = PyObject_GetAttr(self, K("waiters"));
    if (!waiters) return nullptr;
    PyObject* argv[] = {waiters, rid, Py_None};
    PyObject* taken = PyObject_VectorcallMethod(K("pop"), argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(waiters);
    return taken;
  });
}

py::object take_waiter(py::handle self, py::handle rid) { return steal(pop_waiter(self.ptr(), rid.ptr())); }

// uuid.uuid4().hex, read through the module global at each use.
PyObject* fresh_hex_id() {
  PyObject* uuid = Py_XNewRef(global_ref(K("uuid")));
  if (!uuid) return nullptr;
  PyObject* u = PyObject_CallMethodNoArgs(uuid, K("uuid4"));
  Py_DECREF(uuid);
  if (!u) return nullptr;
  PyObject* hex = PyObject_GetAttr(u, K("hex"));
  Py_DECREF(u);
  return hex;
}

// concurrent.futures.Future(), read through the module global at each use.
PyObject* new_future() {
  PyObject* concurrent = global_ref(K("concurrent"));
  if (!concurrent) return nullptr;
  PyObject* futures = PyObject_GetAttr(concurrent, K("futures"));
  if (!futures) return nullptr;
  PyObject* future = PyObject_CallMethodNoArgs(futures, K("Future"));
  Py_DECREF(futures);
  return future;
}

// ------------------------------------------------------------------ messaging

void init(py::object self) {
  py::object threading = G(K("threading"));
  set_attr(self, K("waiters"), py::dict());
  set_attr(self, K("_waiters_lock"), call_method(threading, K("Lock")));
  set_attr(self, K("_guid"), steal(fresh_hex_id()));
  set_attr(self, K("_send_handler"), Py_None);
  set_attr(self, K("loop"), Py_None);
  set_attr(self, K("loop_thread"), Py_None);
  set_attr(self, K("_callable_registry"), py::dict());
  set_attr(self, K("_callable_lock"), call_method(threading, K("Lock")));
  set_attr(self, K("_next_callable_id"), py::int_(1));
}

void set_send_handler(py::object self, py::object handler) { set_attr(self, K("_send_handler"), handler); }

// ("timeout",): the keyword names of Future.result(timeout=...), kept for the
// process; null with the error set if it cannot be made.
PyObject* timeout_keyword() {
  static PyObject* kwnames = nullptr;
  if (!kwnames) kwnames = PyTuple_Pack(1, K("timeout"));
  return kwnames;
}

// The request after the handler check; null with the error set on failure.
// Failures are the outcome of a request, so no C++ exception carries them.
PyObject* send_checked(PyObject* self, PyObject* req, PyObject* handler, double wait_for) {
  py::object rid = py::reinterpret_steal<py::object>(fresh_hex_id());
  if (!rid) return nullptr;
  py::object envelope = py::reinterpret_steal<py::object>(PyDict_Copy(req));
  if (!envelope || PyDict_SetItem(envelope.ptr(), K("requestId"), rid.ptr()) < 0 ||
      PyDict_SetItem(envelope.ptr(), K("kind"), K("request")) < 0)
    return nullptr;

  py::object future = py::reinterpret_steal<py::object>(new_future());
  if (!future) return nullptr;
  PyObject* stored = under_lock(self, K("_waiters_lock"), [&]() -> PyObject* {
    PyObject* waiters = PyObject_GetAttr(self, K("waiters"));
    if (!waiters) return nullptr;
    const int rc = PyObject_SetItem(waiters, rid.ptr(), future.ptr());
    Py_DECREF(waiters);
    return rc < 0 ? nullptr : Py_NewRef(Py_None);
  });
  if (!stored) return nullptr;
  Py_DECREF(stored);

  // The answer may arrive while the handler still runs: the waiter exists.
  PyObject* answer = nullptr;
  bool from_wait = false;
  PyObject* sent = PyObject_CallOneArg(handler, envelope.ptr());
  if (sent) {
    Py_DECREF(sent);
    from_wait = true;
    // Future.result waits on a threading lock, which releases the GIL.
    py::object seconds = py::reinterpret_steal<py::object>(PyFloat_FromDouble(wait_for));
    PyObject* kwnames = timeout_keyword();
    if (!seconds || !kwnames) return nullptr;
    PyObject* argv[2] = {future.ptr(), seconds.ptr()};
    answer = PyObject_VectorcallMethod(K("result"), argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
  }
  if (answer) return answer;

  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;  // interrupt: waiter stays
  const bool timed_out = PyErr_ExceptionMatches(PyExc_TimeoutError);
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  PyObject* taken = pop_waiter(self, rid.ptr());
  if (!taken) {
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return nullptr;
  }
  Py_DECREF(taken);
  if (timed_out) {
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_TimeoutError, "Timed out waiting for Office.js response");
    return nullptr;
  }
  if (from_wait) {
    // Errors of the wait were set by on_message or reset: the frames of the
    // futures module say nothing to the user.
    Py_XDECREF(tb);
    tb = nullptr;
    if (v) PyException_SetTraceback(v, Py_None);
  } else if (tb && v) {
    PyException_SetTraceback(v, tb);
  }
  PyErr_Restore(t, v, tb);
  return nullptr;
}

// send_request_sync(self, req, timeout)
PyObject* send_request_sync(const tv::FunctionSpec* spec, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* req = args[1];
  if (!PyDict_CheckExact(req)) return refuse_arg(spec, "req", "dict", req);
  double wait_for = PyFloat_AsDouble(args[2]);
  if (wait_for == -1.0 && PyErr_Occurred()) return nullptr;
  // A lock waits at most threading.TIMEOUT_MAX (about 292 years); a longer
  // timeout means as long as it takes, and must not fail once the request
  // has gone out.
  if (wait_for > 1e9) {
    PyObject* threading = global_ref(K("threading"));
    PyObject* most = threading ? PyObject_GetAttr(threading, K("TIMEOUT_MAX")) : nullptr;
    const double longest = most ? PyFloat_AsDouble(most) : -1.0;
    Py_XDECREF(most);
    if (longest == -1.0 && PyErr_Occurred()) return nullptr;
    if (wait_for > longest) wait_for = longest;
  }

  PyObject* handler = PyObject_GetAttr(self, K("_send_handler"));
  if (!handler) return nullptr;
  const int present = PyObject_IsTrue(handler);
  if (present <= 0) {
    Py_DECREF(handler);
    if (present == 0) PyErr_SetString(PyExc_RuntimeError, "No send handler registered");
    return nullptr;
  }
  PyObject* answer = send_checked(self, req, handler, wait_for);
  Py_DECREF(handler);
  return answer;
}

void on_message(py::object self, py::dict message) {
  g_listener = PyThread_get_thread_ident();
  g_has_listener = true;

  py::object rid = get(message, K("requestId"));
  if (!truthy(rid)) return;
  py::object future = take_waiter(self, rid);
  if (future.is_none() || truthy(call_method(future, K("done")))) return;

  PyObject* ok = PyDict_GetItemWithError(message.ptr(), K("ok"));
  if (!ok && PyErr_Occurred()) throw py::error_already_set();
  py::object outcome;
  PyObject* complete;
  if (ok && truthy(ok)) {
    outcome = message;
    complete = K("set_result");
  } else {
    py::object text = py::str("Remote error");
    PyObject* error = PyDict_GetItemWithError(message.ptr(), K("error"));
    if (!error && PyErr_Occurred()) throw py::error_already_set();
    if (error && PyDict_Check(error)) {
      PyObject* m = PyDict_GetItemWithError(error, K("message"));
      if (!m && PyErr_Occurred()) throw py::error_already_set();
      if (m) text = py::reinterpret_borrow<py::object>(m);
    }
    outcome = call(PyExc_RuntimeError, text);
    complete = K("set_exception");
  }
  PyObject* r = PyObject_CallMethodOneArg(future.ptr(), complete, outcome.ptr());
  if (r) {
    Py_DECREF(r);
  } else if (PyErr_ExceptionMatches(libs.invalid_state)) {
    PyErr_Clear();  // completed meanwhile: the answer is dropped
  } else {
    throw py::error_already_set();
  }
}

void reset(py::object self) {
  // Futures are taken out under the lock and cancelled after it, so that
  // nothing the cancellation runs can need the lock on this thread.
  std::vector<py::object> pending;
  {
    Locked held(attr(self, K("_waiters_lock")));
    py::object waiters = attr(self, K("waiters"));
    if (PyDict_CheckExact(waiters.ptr())) {
      Py_ssize_t pos = 0;
      PyObject *k, *f;
      pending.reserve(PyDict_GET_SIZE(waiters.ptr()));
      while (PyDict_Next(waiters.ptr(), &pos, &k, &f)) pending.push_back(py::reinterpret_borrow<py::object>(f));
      PyDict_Clear(waiters.ptr());
    } else {
      for (py::handle f : call_method(waiters, K("values"))) pending.push_back(borrow(f.ptr()));
      call_method(waiters, K("clear"));
    }
  }
  for (py::object& f : pending) {
    if (!truthy(call_method(f, K("done")))) call_method(f, K("cancel"));
  }
  pending.clear();

  py::object guid = steal(fresh_hex_id());
  set_attr(self, K("_guid"), guid);

  std::vector<py::object> dropped;
  {
    Locked held(attr(self, K("_callable_lock")));
    py::object registry = attr(self, K("_callable_registry"));
    if (PyDict_CheckExact(registry.ptr())) {
      Py_ssize_t pos = 0;
      PyObject *k, *c;
      dropped.reserve(PyDict_GET_SIZE(registry.ptr()));
      while (PyDict_Next(registry.ptr(), &pos, &k, &c)) dropped.push_back(py::reinterpret_borrow<py::object>(c));
      PyDict_Clear(registry.ptr());
    } else {
      call_method(registry, K("clear"));
    }
    set_attr(self, K("_next_callable_id"), py::int_(1));
  }
  dropped.clear();  // callables released outside the lock

  // Every root joins the new context, each on its own; the write stays local
  // on the proxy, so nothing is sent.
  for (PyObject* root : {K("Context"), K("Excel"), K("GetSetting")}) {
    py::object proxy = find(borrow(globals_dict()), root);
    if (!proxy) continue;
    if (PyObject_SetAttr(proxy.ptr(), K("_msg_guid"), guid.ptr()) < 0) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
      PyErr_Clear();
    }
  }
}

// ------------------------------------------------------------------ callables

py::str register_callable(py::object self, py::object callable_obj) {
  if (!PyCallable_Check(callable_obj.ptr())) {
    py::object tname = steal(PyType_GetName(Py_TYPE(callable_obj.ptr())));
    PyErr_Format(PyExc_TypeError, "Object must be callable, got %U", tname.ptr());
    throw py::error_already_set();
  }
  py::object cid;
  {
    Locked held(attr(self, K("_callable_lock")));
    py::str guid = py::str(attr(self, K("_guid")));
    py::object counter = attr(self, K("_next_callable_id"));
    py::object prefix = steal(PyUnicode_Substring(guid.ptr(), 0, 8));
    cid = steal(PyUnicode_FromFormat("pyfunc_%U_%S", prefix.ptr(), counter.ptr()));
    set_attr(self, K("_next_callable_id"), steal(PyNumber_Add(counter.ptr(), py::int_(1).ptr())));
    set_item(attr(self, K("_callable_registry")), cid, callable_obj);
  }
  return py::reinterpret_steal<py::str>(cid.release());
}

py::object get_callable(py::object self, py::str callable_id) {
  Locked held(attr(self, K("_callable_lock")));
  return call_method(attr(self, K("_callable_registry")), K("get"), callable_id);
}

void unregister_callable(py::object self, py::str callable_id) {
  py::object removed;
  {
    Locked held(attr(self, K("_callable_lock")));
    removed = call_method(attr(self, K("_callable_registry")), K("pop"), callable_id, Py_None);
  }
}

}  // namespace

bool on_listener_thread() { return g_has_listener && PyThread_get_thread_ident() == g_listener; }

void define_messaging(Scope& m) {
  py::object dict_t = py::reinterpret_borrow<py::object>((PyObject*)&PyDict_Type);
  py::object float_t = py::reinterpret_borrow<py::object>((PyObject*)&PyFloat_Type);
  py::object str_t = py::reinterpret_borrow<py::object>((PyObject*)&PyUnicode_Type);
  py::object any = G(K("Any"));
  tv::make_class(m, "Messaging", [&](Scope& cls) {
    cls.ns["__doc__"] = py::str("Synchronous request messaging with the add-in and the registry of Python callables.");
    tv::def<&init>(cls, "__init__", {"self"});
    tv::def<&set_send_handler>(cls, "set_send_handler", {"self", "handler"},
                               "Install the callable that carries request envelopes to the add-in.");
    tv::def<&send_request_sync>(
        cls, "send_request_sync",
        {"self", Param("req").with_annotation(dict_t), Param("timeout", py::float_(30.0)).with_annotation(float_t)},
        "Send one request and block until its answer arrives or the time-out expires.", dict_t.ptr());
    tv::def<&on_message>(cls, "on_message", {"self", "message"},
                         "Pass one answer in; completes the request waiting for it.", Py_None);
    tv::def<&reset>(cls, "reset", {"self"}, "End the current messaging context.", Py_None);
    tv::def<&register_callable>(cls, "register_callable", {"self", Param("callable_obj").with_annotation(any)},
                                "Register a Python callable and return its callable id.", str_t.ptr());
    tv::def<&get_callable>(cls, "get_callable", {"self", "callable_id"},
                           "The callable registered under the id, or None.", any.ptr());
    tv::def<&unregister_callable>(cls, "unregister_callable", {"self", "callable_id"},
                                  "Remove the callable registered under the id.", Py_None);
  });
}

}  // namespace panticle
