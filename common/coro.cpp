#include "common/coro.hpp"

#include <structmember.h>

namespace tv {

namespace {

// Fetches the current Python error, normalised, as one owned exception object.
PyObject* fetch_error() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return v;
}

void restore_error(PyObject* exc) {  // steals exc
  PyObject* tb = PyException_GetTraceback(exc);
  PyErr_Restore(Py_NewRef((PyObject*)Py_TYPE(exc)), exc, tb);
}

// The iterator that `await obj` delegates to.
PyObject* awaitable_iter(PyObject* o) {
  if (PyCoro_CheckExact(o)) {
    // Only a coroutine someone else holds can be suspended in an await already.
    if (Py_REFCNT(o) > 1) {
      PyObject* yf = PyObject_GetAttr(o, K("cr_await"));
      if (!yf) return nullptr;
      const bool awaited = yf != Py_None;
      Py_DECREF(yf);
      if (awaited) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
      }
    }
    return Py_NewRef(o);
  }
  PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
  if (!am || !am->am_await) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    return nullptr;
  }
  PyObject* it = am->am_await(o);
  if (!it) return nullptr;
  if (PyCoro_CheckExact(it)) {
    Py_DECREF(it);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return nullptr;
  }
  if (!PyIter_Check(it)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
    Py_DECREF(it);
    return nullptr;
  }
  return it;
}

struct CoroObject {
  PyObject_HEAD
  Task::handle_type h;
  const FunctionSpec* spec;
  PyObject* weakrefs;
  bool started;
  bool finished;
  bool running;
};

PyTypeObject* coro_type = nullptr;

Task::promise_type& promise(CoroObject* c) { return c->h.promise(); }

void destroy_frame(CoroObject* c) {
  c->finished = true;  // destructors of the frame may run Python code that looks at us
  if (c->h) {
    auto h = c->h;
    c->h = {};
    h.destroy();
  }
}

// Marks the coroutine running for the whole of a send, throw or close: Python
// code run meanwhile (a delegate's finaliser, its finally block, a destructor
// in the frame) that re-enters gets "coroutine already executing" instead of
// resuming or destroying the frame under our feet.
struct RunningScope {
  CoroObject* c;
  explicit RunningScope(CoroObject* c) : c(c) { c->running = true; }
  ~RunningScope() { c->running = false; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;
};

bool refuse_running(CoroObject* c) {
  if (!c->running) return false;
  PyErr_SetString(PyExc_ValueError, "coroutine already executing");
  return true;
}

// Runs the C++ body until its next suspension or its end; the caller holds a
// RunningScope.
PySendResult resume(CoroObject* c, PyObject** out) {
  c->h.resume();
  auto& p = promise(c);
  if (!c->h.done()) {
    *out = p.yielded;
    p.yielded = nullptr;
    return PYGEN_NEXT;
  }
  if (p.error) {
    std::exception_ptr e = p.error;
    p.error = nullptr;
    destroy_frame(c);
    try {
      std::rethrow_exception(e);
    } catch (...) {  // never a forced unwind: unhandled_exception lets that go on
      set_python_error_from_current_exception();
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyObject* cause = fetch_error();
      PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
      PyObject* err = fetch_error();
      PyException_SetCause(err, cause);
      PyException_SetContext(err, Py_NewRef(cause));
      restore_error(err);
    }
    *out = nullptr;
    return PYGEN_ERROR;
  }
  *out = p.result ? p.result : Py_NewRef(Py_None);
  p.result = nullptr;
  destroy_frame(c);
  return PYGEN_RETURN;
}

bool check_runnable(CoroObject* c) {
  if (refuse_running(c)) return false;
  if (c->finished) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
  }
  return true;
}

PySendResult coro_am_send(PyObject* self, PyObject* arg, PyObject** out) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (!check_runnable(c)) {
    *out = nullptr;
    return PYGEN_ERROR;
  }
  auto& p = promise(c);
  if (!c->started && arg != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    *out = nullptr;
    return PYGEN_ERROR;
  }
  RunningScope running(c);
  if (!c->started) {
    c->started = true;
  } else if (p.inner) {
    PyObject* v = nullptr;
    PySendResult st = PyIter_Send(p.inner, arg, &v);
    if (st == PYGEN_NEXT) {
      *out = v;
      return PYGEN_NEXT;
    }
    Py_CLEAR(p.inner);
    if (st == PYGEN_RETURN) p.sent = v;
    else p.exc = fetch_error();
  }
  return resume(c, out);
}

// Finishes a send/throw call the way generator methods do.
PyObject* send_result_to_call(PySendResult st, PyObject* v) {
  if (st == PYGEN_NEXT) return v;
  if (st == PYGEN_ERROR) return nullptr;
  if (v == Py_None) {
    Py_DECREF(v);
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  // An instance, so a tuple result is not unpacked into arguments.
  PyObject* e = PyObject_CallOneArg(PyExc_StopIteration, v);
  Py_DECREF(v);
  if (e) {
    PyErr_SetObject(PyExc_StopIteration, e);
    Py_DECREF(e);
  }
  return nullptr;
}

PyObject* coro_send(PyObject* self, PyObject* arg) {
  PyObject* v = nullptr;
  PySendResult st = coro_am_send(self, arg, &v);
  return send_result_to_call(st, v);
}

PyObject* coro_iternext(PyObject* self) {
  PyObject* v = nullptr;
  PySendResult st = coro_am_send(self, Py_None, &v);
  if (st == PYGEN_NEXT) return v;
  if (st == PYGEN_RETURN) return send_result_to_call(st, v);
  return nullptr;
}

// Raises `exc` (owned, normalised) inside the coroutine at its current co_await.
PySendResult throw_into(CoroObject* c, PyObject* exc, PyObject** out) {
  *out = nullptr;
  if (refuse_running(c)) {
    Py_DECREF(exc);
    return PYGEN_ERROR;
  }
  RunningScope running(c);
  if (!c->started || c->finished) {
    // Never started: the body does not run; the frame goes away.
    destroy_frame(c);
    restore_error(exc);
    return PYGEN_ERROR;
  }
  auto& p = promise(c);
  if (p.inner) {
    PyObject* inner = p.inner;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
      // Like `yield from`: close the delegate, then raise here.
      PyObject* r = PyObject_CallMethodNoArgs(inner, K("close"));
      if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
      } else if (!r) {
        Py_DECREF(exc);
        exc = fetch_error();
      }
      Py_XDECREF(r);
      Py_CLEAR(p.inner);
      p.exc = exc;
    } else {
      PyObject* meth = PyObject_GetAttr(inner, K("throw"));
      if (!meth && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // As CPython does: the lookup's error is the outcome, the delegate stays.
        Py_DECREF(exc);
        return PYGEN_ERROR;
      }
      if (!meth) {
        PyErr_Clear();
        Py_CLEAR(p.inner);
        p.exc = exc;
      } else {
        PyObject* r = PyObject_CallOneArg(meth, exc);
        Py_DECREF(meth);
        Py_DECREF(exc);
        if (r) {
          *out = r;
          return PYGEN_NEXT;
        }
        Py_CLEAR(p.inner);
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
          PyObject* e = fetch_error();
          PyObject* val = PyObject_GetAttr(e, K("value"));
          Py_DECREF(e);
          if (!val) return PYGEN_ERROR;
          p.sent = val;
        } else {
          p.exc = fetch_error();
        }
      }
    }
  } else {
    p.exc = exc;
  }
  return resume(c, out);
}

// Accepts throw(exc), throw(type), throw(type, value[, traceback]).
PyObject* make_exception(PyObject* typ, PyObject* val, PyObject* tb) {
  if (tb == Py_None) tb = nullptr;
  if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  if (PyExceptionClass_Check(typ)) {
    PyObject* t = Py_NewRef(typ);
    PyObject* v = Py_XNewRef(val);
    PyObject* b = Py_XNewRef(tb);
    PyErr_NormalizeException(&t, &v, &b);
    if (b && v) PyException_SetTraceback(v, b);
    Py_XDECREF(t);
    Py_XDECREF(b);
    if (!v) return nullptr;
    if (!PyExceptionInstance_Check(v)) {
      Py_DECREF(v);
      PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
      return nullptr;
    }
    return v;
  }
  if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    if (tb) PyException_SetTraceback(typ, tb);
    return Py_NewRef(typ);
  }
  PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(typ)->tp_name);
  return nullptr;
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return nullptr;
  }
  PyObject* exc = make_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
  if (!exc) return nullptr;
  PyObject* v = nullptr;
  PySendResult st = throw_into(reinterpret_cast<CoroObject*>(self), exc, &v);
  return send_result_to_call(st, v);
}

PyObject* coro_close(PyObject* self, PyObject*) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (refuse_running(c)) return nullptr;
  if (!c->started || c->finished) {
    destroy_frame(c);
    c->started = true;
    Py_RETURN_NONE;
  }
  PyObject* exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (!exc) return nullptr;
  PyObject* v = nullptr;
  PySendResult st = throw_into(c, exc, &v);
  if (st == PYGEN_NEXT) {
    Py_DECREF(v);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (st == PYGEN_RETURN) {
    Py_DECREF(v);
    Py_RETURN_NONE;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

PyObject* coro_iter(PyObject* self) { return Py_NewRef(self); }

// `await coro`: a coroutine suspended in a delegation is some task's already.
PyObject* coro_await(PyObject* self) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (c->started && !c->finished && !c->running && c->h && promise(c).inner) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  return Py_NewRef(self);
}

void coro_finalize(PyObject* self) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (c->finished) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (!c->started) {
    const char* q = c->spec ? c->spec->qualname.c_str() : "native coroutine";
    destroy_frame(c);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", q) < 0)
      PyErr_WriteUnraisable(self);
  } else {
    PyObject* r = coro_close(self, nullptr);
    if (!r) PyErr_WriteUnraisable(self);
    Py_XDECREF(r);
  }
  PyErr_Restore(t, v, tb);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (c->h) {
    auto& p = promise(c);
    Py_VISIT(p.inner);
    Py_VISIT(p.yielded);
    Py_VISIT(p.sent);
    Py_VISIT(p.exc);
    Py_VISIT(p.result);
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

void coro_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (c->weakrefs) PyObject_ClearWeakRefs(self);
  destroy_frame(c);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* coro_repr(PyObject* self) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  return PyUnicode_FromFormat("<coroutine object %s at %p>", c->spec ? c->spec->qualname.c_str() : "native",
                              self);
}

PyObject* coro_get_name(PyObject* self, void*) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  return PyUnicode_FromString(c->spec ? c->spec->name.c_str() : "native");
}
PyObject* coro_get_qualname(PyObject* self, void*) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  return PyUnicode_FromString(c->spec ? c->spec->qualname.c_str() : "native");
}
PyObject* coro_get_running(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<CoroObject*>(self)->running);
}
PyObject* coro_get_await(PyObject* self, void*) {
  auto* c = reinterpret_cast<CoroObject*>(self);
  if (c->h && promise(c).inner) return Py_NewRef(promise(c).inner);
  Py_RETURN_NONE;
}

PyMethodDef coro_methods[] = {
    {"send", (PyCFunction)coro_send, METH_O, "send(arg) -> send 'arg' into coroutine"},
    {"throw", (PyCFunction)(void (*)(void))coro_throw, METH_FASTCALL, "throw(value) -> raise exception in coroutine"},
    {"close", (PyCFunction)coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, (void*)coro_await},
    {Py_am_send, (void*)coro_am_send},
    {Py_tp_iter, (void*)coro_iter},
    {Py_tp_iternext, (void*)coro_iternext},
    {Py_tp_finalize, (void*)coro_finalize},
    {Py_tp_traverse, (void*)coro_traverse},
    {Py_tp_dealloc, (void*)coro_dealloc},
    {Py_tp_repr, (void*)coro_repr},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {0, nullptr},
};

PyType_Spec coro_spec = {"tavrino_native.coroutine", sizeof(CoroObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, coro_slots};

}  // namespace

PyTypeObject* coroutine_type() {
  if (!coro_type) {
    coro_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coro_spec));
    if (!coro_type) throw py::error_already_set();
    call_method(attr(py::module_::import("collections.abc"), K("Coroutine")), K("register"), (PyObject*)coro_type);
  }
  return coro_type;
}

PyObject* task_to_python(Task&& t, const FunctionSpec* spec) {
  PyTypeObject* tp;
  try {
    tp = coroutine_type();
  } catch (...) {
    if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    set_python_error_from_current_exception();
    return nullptr;
  }
  auto* c = PyObject_GC_New(CoroObject, tp);
  if (!c) return nullptr;
  c->h = t.release();
  c->spec = spec;
  c->weakrefs = nullptr;
  c->started = false;
  c->finished = false;
  c->running = false;
  PyObject_GC_Track(c);
  return reinterpret_cast<PyObject*>(c);
}

// ---------------------------------------------------------------- awaiting

bool Task::promise_type::Awaiter::await_suspend(handle_type) {
  if (first) {
    p->inner = awaitable.release().ptr();
    p->yielded = first.release().ptr();
    return true;
  }
  PyObject* it = awaitable_iter(awaitable.ptr());
  awaitable = py::object();  // the iterator keeps what it needs
  if (!it) {
    p->exc = fetch_error();
    return false;
  }
  PyObject* out = nullptr;
  PySendResult st = PyIter_Send(it, Py_None, &out);
  if (st == PYGEN_NEXT) {
    p->inner = it;
    p->yielded = out;
    return true;
  }
  Py_DECREF(it);
  if (st == PYGEN_RETURN) p->sent = out;
  else p->exc = fetch_error();
  return false;  // finished at once: go on without a loop round trip
}

py::object Task::promise_type::Awaiter::await_resume() {
  if (p->exc) {
    PyObject* e = p->exc;
    p->exc = nullptr;
    restore_error(e);
    throw py::error_already_set();
  }
  PyObject* v = p->sent;
  p->sent = nullptr;
  return v ? py::reinterpret_steal<py::object>(v) : py::none();
}

Task::promise_type::Awaiter Task::promise_type::await_transform(Task task) {
  return Awaiter{this, as_awaitable(std::move(task)), {}};
}

}  // namespace tv
