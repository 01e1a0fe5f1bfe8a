#include "common/native.hpp"

#include <pybind11/eval.h>
#include <structmember.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

namespace tv {

// ---------------------------------------------------------------- errors

void set_python_error_from_current_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

namespace {
void set_arg_type_error(const char* func, const char* arg, const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", func, arg, expected,
               Py_TYPE(given)->tp_name);
}
}  // namespace

void raise_arg_type(const char* func, const char* arg, const char* expected, PyObject* given) {
  set_arg_type_error(func, arg, expected, given);
  throw py::error_already_set();
}

PyObject* refuse_arg(const FunctionSpec* spec, const char* arg, const char* expected, PyObject* given) noexcept {
  set_arg_type_error(spec->qualname.c_str(), arg, expected, given);
  return nullptr;
}

PyObject* refuse_builtin_arg(const char* func, const char* arg, const char* expected, PyObject* given) noexcept {
  set_arg_type_error(func, arg, expected, given);
  return nullptr;
}

void raise_result_type(const char* func, const char* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "%s() must return %s, not %s", func, expected, Py_TYPE(given)->tp_name);
  throw py::error_already_set();
}

namespace {
void set_receiver_type_error(const char* method, PyTypeObject* expected, PyObject* given) {
  PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", method,
               expected->tp_name, Py_TYPE(given)->tp_name);
}
}  // namespace

void raise_receiver_type(const char* method, PyTypeObject* expected, PyObject* given) {
  set_receiver_type_error(method, expected, given);
  throw py::error_already_set();
}

PyObject* import_attr(const char* module, const char* name) {
  return py::object(py::module_::import(module).attr(name)).release().ptr();
}

// ---------------------------------------------------------------- exit of the interpreter

namespace {

// Threads inside a function of this module, its own nested calls counted once.
std::atomic<bool> exit_gate_armed{false};
std::atomic<bool> exit_gate_closed{false};
// The interpreter's own exit has run the bridge's atexit callback.
std::atomic<bool> exit_underway{false};
std::atomic<int> threads_inside{0};
std::atomic<std::thread::id> exiting_thread{};
thread_local int call_depth = 0;
// How long the exit waits for threads to leave: past it the exit goes on.
constexpr auto kExitWait = std::chrono::seconds(2);

[[noreturn]] void wait_for_the_end() {
  PyEval_SaveThread();  // never taken back: the interpreter goes on without this thread
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// A call into this module; the first of a thread's nested calls takes a place
// inside, and one that comes after the exit began never returns (unless it is
// the exiting thread's own).
struct Place {
  bool counted = false;
  Place() {
    if (!exit_gate_armed.load(std::memory_order_relaxed)) return;
    counted = true;
    if (call_depth++ > 0) return;
    threads_inside.fetch_add(1);
    if (exit_gate_closed.load() && exiting_thread.load() != std::this_thread::get_id()) {
      threads_inside.fetch_sub(1);
      wait_for_the_end();
    }
  }
  // Runs on a forced unwind too (past the exit's wait): it touches no Python object.
  ~Place() {
    if (counted && --call_depth == 0) threads_inside.fetch_sub(1);
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
};

void register_gate_closer();

// Registers the gate's closer again once the interpreter runs Python code next.
int register_again(void*) {
  try {
    register_gate_closer();
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("registering the bridge's exit gate");
  }
  return 0;
}

// Closes the gate once the exit has run every atexit callback, just before
// CPython starts ending daemon threads: the atexit registry lets go of its
// entries only then, and this runs when it lets go of ours. Closing it when our
// own callback runs would be too early: callbacks registered before the module
// was imported (logging.shutdown, one that joins a worker) run after it, and
// may wait for a daemon thread that calls in to get on, or for a lock that one
// parked at the gate holds.
void close_gate(PyObject* capsule) {
  // Released without the registration having taken place: no exit is under way.
  if (!PyCapsule_GetContext(capsule)) return;
  if (!exit_underway.load()) {
    // Let go of by user code (atexit._clear(), atexit.unregister()), not by the
    // exit: the gate stays open, and is registered again for the exit to come
    // (not from here, where the registry is in the middle of letting go).
    if (Py_AddPendingCall(register_again, nullptr) < 0)
      PySys_WriteStderr("panticle: the exit gate could not be registered again\n");
    return;
  }
  exiting_thread.store(std::this_thread::get_id());
  exit_gate_closed.store(true);
  const int own = call_depth > 0 ? 1 : 0;
  if (threads_inside.load() > own) {
    Py_BEGIN_ALLOW_THREADS
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    while (threads_inside.load() > own && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
  }
}

// The callback marks the exit: the interpreter's own exit runs it with no
// Python frame on the stack, user code that runs the exit functions itself
// (atexit._run_exitfuncs()) from one. Its capsule's release closes the gate.
PyObject* at_exit(PyObject*, PyObject*) {
  if (!PyEval_GetFrame()) exit_underway.store(true);
  Py_RETURN_NONE;
}

// A forked child has only the forking thread.
PyObject* gate_after_fork(PyObject*, PyObject*) {
  threads_inside.store(call_depth > 0 ? 1 : 0);
  exit_gate_closed.store(false);
  exit_underway.store(false);
  Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"_close_gate_after_atexit", at_exit, METH_NOARGS, nullptr};
PyMethodDef after_fork_def = {"_threads_inside_after_fork", gate_after_fork, METH_NOARGS, nullptr};

void register_gate_closer() {
  // Only the atexit registry holds the callback, and the callback the capsule.
  py::object closer_capsule = steal(PyCapsule_New(&exit_gate_armed, "tavrino.exit_gate", close_gate));
  py::object closer = steal(PyCFunction_New(&at_exit_def, closer_capsule.ptr()));
  py::module_::import("atexit").attr("register")(closer);
  if (PyCapsule_SetContext(closer_capsule.ptr(), &exit_gate_closed) < 0) throw py::error_already_set();
}

}  // namespace

void hold_exit_for_threads_inside() {
  if (exit_gate_armed.exchange(true)) return;
  using namespace pybind11::literals;
  register_gate_closer();
  py::object after_fork = steal(PyCFunction_New(&after_fork_def, nullptr));
  py::module_::import("os").attr("register_at_fork")("after_in_child"_a = after_fork);
}

// ---------------------------------------------------------------- function type

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionSpec* spec;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* signature;  // built on first use
  PyObject* code;       // coroutine functions only, built on first use
};

PyTypeObject* function_type = nullptr;

PyObject* fn_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* self = reinterpret_cast<FunctionObject*>(callable);
  const FunctionSpec* spec = self->spec;
  const size_t n = spec->param_names.size();
  const size_t npos = PyVectorcall_NARGS(nargsf);
  const char* q = spec->qualname.c_str();
  if (npos > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", q, n,
                 n == 1 ? "" : "s", npos, npos == 1 ? "was" : "were");
    return nullptr;
  }
  constexpr size_t kMax = 16;
  if (n > kMax) {
    PyErr_SetString(PyExc_SystemError, "too many parameters");
    return nullptr;
  }
  PyObject* slots[kMax] = {};
  for (size_t i = 0; i < npos; ++i) slots[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      size_t idx = n;
      for (size_t i = 0; i < n; ++i) {
        if (key == spec->param_names[i]) { idx = i; break; }
      }
      if (idx == n) {
        for (size_t i = 0; i < n; ++i) {
          int eq = PyUnicode_Compare(key, spec->param_names[i]);
          if (eq == 0) { idx = i; break; }
        }
      }
      if (idx == n || (spec->is_method && idx == 0)) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", q, key);
        return nullptr;
      }
      if (slots[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", q, key);
        return nullptr;
      }
      slots[idx] = args[npos + k];
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (!slots[i]) {
      if (!spec->defaults[i]) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%U'", q, spec->param_names[i]);
        return nullptr;
      }
      slots[i] = spec->defaults[i];
    }
  }
  if (spec->self_type && n > 0 && !PyObject_TypeCheck(slots[0], spec->self_type)) {
    set_receiver_type_error(spec->name.c_str(), spec->self_type, slots[0]);
    return nullptr;
  }
  Place place;
  return spec->invoke(spec, slots);
}

PyObject* fn_call(PyObject* self, PyObject* args, PyObject* kwargs) { return PyVectorcall_Call(self, args, kwargs); }

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (obj == nullptr || obj == Py_None || !f->spec->is_method) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->dict);
  Py_VISIT(f->signature);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int fn_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->code);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* fn_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %s at %p>", f->spec->qualname.c_str(), self);
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->spec->name.c_str());
}
PyObject* get_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->spec->qualname.c_str());
}
PyObject* get_module(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<FunctionObject*>(self)->spec->module.c_str());
}
PyObject* get_doc(PyObject* self, void*) {
  auto* s = reinterpret_cast<FunctionObject*>(self)->spec;
  if (s->doc.empty()) Py_RETURN_NONE;
  return PyUnicode_FromString(s->doc.c_str());
}

PyObject* build_signature(const FunctionSpec* s) {
  try {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = attr(inspect, K("Parameter"));
    py::object kind = attr(Parameter, K("POSITIONAL_OR_KEYWORD"));
    py::list params;
    for (size_t i = 0; i < s->param_names.size(); ++i) {
      py::dict kw;
      if (s->defaults[i]) set_item(kw, K("default"), s->defaults[i]);
      if (s->annotations[i]) set_item(kw, K("annotation"), s->annotations[i]);
      params.append(Parameter(py::handle(s->param_names[i]), kind, **kw));
    }
    py::dict kw;
    if (s->return_annotation) set_item(kw, K("return_annotation"), s->return_annotation);
    return attr(inspect, K("Signature"))(params, **kw).release().ptr();
  } catch (...) {
    if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    set_python_error_from_current_exception();
    return nullptr;
  }
}

PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->signature) f->signature = build_signature(f->spec);
  return Py_XNewRef(f->signature);
}

// A code object whose flags say "coroutine", so inspect.iscoroutinefunction
// recognises the function the way frameworks test for it.
PyObject* get_code(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (!f->spec->is_async) {
    PyErr_SetString(PyExc_AttributeError, "__code__");
    return nullptr;
  }
  if (!f->code) {
    try {
      std::string src = "async def " + f->spec->name + "(";
      for (size_t i = 0; i < f->spec->param_names.size(); ++i) {
        if (i) src += ", ";
        src += PyUnicode_AsUTF8(f->spec->param_names[i]);
      }
      src += "): pass\n";
      py::dict ns;
      py::exec(src, ns, ns);
      f->code = attr(ns[py::str(f->spec->name)], K("__code__")).release().ptr();
    } catch (...) {
      if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
      set_python_error_from_current_exception();
      return nullptr;
    }
  }
  return Py_NewRef(f->code);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
  auto* s = reinterpret_cast<FunctionObject*>(self)->spec;
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  for (size_t i = 0; i < s->param_names.size(); ++i) {
    if (s->annotations[i] && PyDict_SetItem(d, s->param_names[i], s->annotations[i]) < 0) {
      Py_DECREF(d);
      return nullptr;
    }
  }
  return d;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_none, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, (void*)fn_call},
    {Py_tp_descr_get, (void*)fn_descr_get},
    {Py_tp_traverse, (void*)fn_traverse},
    {Py_tp_clear, (void*)fn_clear},
    {Py_tp_dealloc, (void*)fn_dealloc},
    {Py_tp_repr, (void*)fn_repr},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "tavrino_native.function", sizeof(FunctionObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots};

}  // namespace

py::object make_function(FunctionSpec* spec) {
  if (!function_type) {
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&fn_spec));
    if (!function_type) throw py::error_already_set();
  }
  auto* f = PyObject_GC_New(FunctionObject, function_type);
  if (!f) throw py::error_already_set();
  f->vectorcall = fn_vectorcall;
  f->spec = spec;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  f->signature = nullptr;
  f->code = nullptr;
  PyObject_GC_Track(f);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

namespace detail {
FunctionSpec* new_spec(const Scope& scope, const char* name, std::vector<Param> params, const char* doc,
                       bool is_method, const Body& body) {
  auto* s = new FunctionSpec();  // lives as long as the process
  s->name = name;
  s->qualname = scope.qualprefix + name;
  s->module = scope.module;
  s->doc = doc ? doc : "";
  s->invoke = body.invoke;
  s->is_async = body.is_async;
  s->is_method = is_method;
  for (size_t i = 0; i < params.size(); ++i) {
    PyObject* derived = i < body.annotations.size() && !(is_method && i == 0) ? body.annotations[i] : nullptr;
    s->param_names.push_back(intern(params[i].name));
    s->defaults.push_back(params[i].default_value);
    s->annotations.push_back(params[i].annotation ? params[i].annotation : derived);
  }
  return s;
}

py::object define(const Scope& scope, const char* name, std::vector<Param> params, const char* doc, bool receiver,
                  PyObject* returns, const Body& body) {
  if (body.arity != SIZE_MAX && params.size() != body.arity)
    throw std::logic_error(std::string("parameter list mismatch for ") + name);
  FunctionSpec* spec = new_spec(scope, name, std::move(params), doc, receiver, body);
  if (returns) spec->return_annotation = Py_NewRef(returns);
  return make_function(spec);
}

namespace {
// The C function behind a varargs function, its body kept in the capsule.
PyObject* call_varargs(PyObject* body, PyObject* args, PyObject* kwargs) {
  auto fn = reinterpret_cast<PyCFunctionWithKeywords>(PyCapsule_GetPointer(body, nullptr));
  if (!fn) return nullptr;
  Place place;
  return fn(nullptr, args, kwargs);
}
}  // namespace

py::object varargs_function(const std::string& module, const char* name, const char* doc,
                            PyCFunctionWithKeywords fn, bool as_method) {
  // Lives as long as the process, like the function objects made from it.
  auto* def = new PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&call_varargs)),
                              METH_VARARGS | METH_KEYWORDS, doc};
  py::object module_name = steal(PyUnicode_FromString(module.c_str()));
  py::object body = steal(PyCapsule_New(reinterpret_cast<void*>(fn), nullptr, nullptr));
  py::object f = steal(PyCFunction_NewEx(def, body.ptr(), module_name.ptr()));
  if (!as_method) return f;
  return steal(PyInstanceMethod_New(f.ptr()));
}

void bind_receivers(py::handle cls, const py::dict& ns) {
  if (!function_type || !PyType_Check(cls.ptr())) return;
  for (auto item : ns) {
    if (Py_TYPE(item.second.ptr()) != function_type) continue;
    FunctionSpec* spec = reinterpret_cast<FunctionObject*>(item.second.ptr())->spec;
    // Specs and classes both live as long as the process.
    if (spec->is_method && !spec->self_type) spec->self_type = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
  }
}
}  // namespace detail

py::object def_varargs(const Scope& scope, const char* name, const char* doc, PyCFunctionWithKeywords fn) {
  py::object f = detail::varargs_function(scope.module, name, doc, fn, !scope.qualprefix.empty());
  scope.ns[name] = f;
  return f;
}

}  // namespace tv
