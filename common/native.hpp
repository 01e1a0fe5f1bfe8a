// Native callables for Python: exact-type argument checks, keyword binding,
// method binding, real signatures, and (with coro.hpp) coroutine functions.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <exception>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/pyapi.hpp"

namespace tv {
namespace py = pybind11;

// ---------------------------------------------------------------- errors

// In a catch (...) block: whether what is in flight is a forced unwind, the
// end of a thread (CPython ends daemon threads so at exit, wherever they take
// the GIL). It is no C++ exception, so current_exception() is empty for it.
// Every catch (...) rethrows it first, and nothing on a path that can take the
// GIL is noexcept. (A `catch (abi::__forced_unwind&)` clause would bind a
// reference to no object.)
inline bool forced_unwind() noexcept { return !std::current_exception(); }

// At exit CPython ends each daemon thread where it next takes the GIL, by a
// forced unwind, and the destructors of C++ frames on its way then release
// Python objects without the GIL while the interpreter is torn down. Once
// armed (by a module whose functions run on threads of user code), the
// interpreter's exit, once every atexit callback has run, waits a bounded time
// for the threads inside this module's functions to leave them, and a thread
// that calls in after that waits, with the GIL released, until the process
// ends. Call once at start-up, with the GIL.
void hold_exit_for_threads_inside();

// Converts the C++ exception in flight into the Python error indicator.
// Call only from a catch block; a forced unwind goes on.
void set_python_error_from_current_exception();

// Runs `body`, which throws on failure, for a caller on the C API: its result
// (a new reference), or null with the Python error set.
template <class F>
PyObject* catch_to_null(F&& body) {
  try {
    return body();
  } catch (...) {
    if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// Raises TypeError with the one text every exact-type check uses.
[[noreturn]] void raise_arg_type(const char* func, const char* arg, const char* expected, PyObject* given);
[[noreturn]] void raise_result_type(const char* func, const char* expected, PyObject* given);

// `module.name`, imported now; callers keep the reference for the life of the
// process (never released, so nothing is freed after interpreter shutdown).
PyObject* import_attr(const char* module, const char* name);

// True when the Python error carried by `e` is an instance of `cls`.
inline bool matches(const py::error_already_set& e, PyObject* cls) { return e.matches(cls); }

// ---------------------------------------------------------------- argument kinds

// Values that are text or None.
struct OptStr : py::object {
  using py::object::object;
  OptStr(py::object o) : py::object(std::move(o)) {}
};
// A dict or None; a list or None.
struct OptDict : py::object {
  using py::object::object;
  OptDict(py::object o) : py::object(std::move(o)) {}
};
struct OptList : py::object {
  using py::object::object;
  OptList(py::object o) : py::object(std::move(o)) {}
};
// An int or a float, but not a bool; kept as the Python object.
struct Real : py::object {
  using py::object::object;
  Real(py::object o) : py::object(std::move(o)) {}
  double value() const { return PyFloat_AsDouble(ptr()); }
};

template <class T>
struct ArgKind;

template <>
struct ArgKind<py::object> {
  static bool check(PyObject*) { return true; }
  static constexpr const char* expected = nullptr;
  static PyObject* annotation() { return nullptr; }
};
#define TV_EXACT_KIND(T, CHECK, NAME, TYPEOBJ)                     \
  template <>                                                      \
  struct ArgKind<T> {                                              \
    static bool check(PyObject* o) { return CHECK(o); }            \
    static constexpr const char* expected = NAME;                  \
    static PyObject* annotation() { return (PyObject*)(TYPEOBJ); } \
  };
TV_EXACT_KIND(py::str, PyUnicode_CheckExact, "str", &PyUnicode_Type)
TV_EXACT_KIND(py::dict, PyDict_CheckExact, "dict", &PyDict_Type)
TV_EXACT_KIND(py::list, PyList_CheckExact, "list", &PyList_Type)
TV_EXACT_KIND(py::tuple, PyTuple_CheckExact, "tuple", &PyTuple_Type)
TV_EXACT_KIND(py::bool_, PyBool_Check, "bool", &PyBool_Type)
TV_EXACT_KIND(py::int_, PyLong_CheckExact, "int", &PyLong_Type)
#undef TV_EXACT_KIND
template <>
struct ArgKind<OptStr> {
  static bool check(PyObject* o) { return o == Py_None || PyUnicode_CheckExact(o); }
  static constexpr const char* expected = "str or None";
  static PyObject* annotation() { return nullptr; }
};
template <>
struct ArgKind<OptDict> {
  static bool check(PyObject* o) { return o == Py_None || PyDict_CheckExact(o); }
  static constexpr const char* expected = "dict or None";
  static PyObject* annotation() { return nullptr; }
};
template <>
struct ArgKind<OptList> {
  static bool check(PyObject* o) { return o == Py_None || PyList_CheckExact(o); }
  static constexpr const char* expected = "list or None";
  static PyObject* annotation() { return nullptr; }
};
template <>
struct ArgKind<Real> {
  static bool check(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }
  static constexpr const char* expected = "float";
  static PyObject* annotation() { return (PyObject*)&PyFloat_Type; }
};

// ---------------------------------------------------------------- specs

// One declared parameter: its name, an optional default and an optional
// annotation that overrides the one derived from the C++ type.
struct Param {
  const char* name;
  PyObject* default_value = nullptr;  // owned forever once given
  PyObject* annotation = nullptr;
  Param(const char* n) : name(n) {}
  Param(const char* n, py::object dflt) : name(n), default_value(dflt.release().ptr()) {}
  Param with_annotation(py::object ann) const {
    Param p = *this;
    p.annotation = ann.release().ptr();
    return p;
  }
};

struct FunctionSpec;
using Invoker = PyObject* (*)(const FunctionSpec*, PyObject* const* args);

// Everything a native function needs; made once per definition and kept for
// the life of the process.
struct FunctionSpec {
  std::string name;
  std::string qualname;
  std::string module;
  std::string doc;
  std::vector<PyObject*> param_names;     // interned
  std::vector<PyObject*> defaults;        // nullptr = required
  std::vector<PyObject*> annotations;     // nullptr = none
  Invoker invoke = nullptr;
  bool is_async = false;
  bool is_method = false;                 // first parameter is the receiver
  PyObject* return_annotation = nullptr;
  // The class of a method's receiver, set once the class exists: a receiver of
  // any other type is refused as CPython's own method descriptors refuse it,
  // since the body may treat it as that class's C layout.
  PyTypeObject* self_type = nullptr;
};

// raise_arg_type's error for argument `arg` of `spec`, set without throwing:
// for bodies on the C API, whose refusals cost no unwinding. Returns null.
PyObject* refuse_arg(const FunctionSpec* spec, const char* arg, const char* expected, PyObject* given) noexcept;

// The same for a builtin of the C API that has no spec (a loop callback, a
// parser hook): raise_arg_type's error, set without throwing. Returns null.
PyObject* refuse_builtin_arg(const char* func, const char* arg, const char* expected, PyObject* given) noexcept;

// Creates the Python object for a description (which must outlive it).
py::object make_function(FunctionSpec* spec);

// Where definitions go: a module or a class namespace.
struct Scope {
  py::dict ns;
  std::string module;
  std::string qualprefix;  // "" for a module, "ClassName." for a class
};

// ---------------------------------------------------------------- binding

namespace detail {
template <class T>
using bare_t = std::remove_cv_t<T>;

template <class T>
T cast_arg(PyObject* o) {
  return py::reinterpret_borrow<T>(o);
}

template <class R>
PyObject* wrap_result(R&& r);
}  // namespace detail

// Translates a task object into its Python coroutine; defined in coro.cpp.
struct Task;
PyObject* task_to_python(Task&& t, const FunctionSpec* spec);

template <auto Fn>
struct Bound;

template <class R, class... A, R (*Fn)(A...)>
struct Bound<Fn> {
  static_assert((std::is_same_v<A, std::remove_cvref_t<A>> && ...),
                "native parameters are taken by value: references would dangle across suspensions");
  static constexpr size_t N = sizeof...(A);

  static PyObject* invoke(const FunctionSpec* spec, PyObject* const* args) {
    return invoke_impl(spec, args, std::index_sequence_for<A...>{});
  }

 private:
  template <size_t... I>
  static PyObject* invoke_impl(const FunctionSpec* spec, PyObject* const* args, std::index_sequence<I...>) {
    try {
      (check_one<A>(spec, I, args[I]), ...);
      if constexpr (std::is_same_v<R, Task>) {
        return task_to_python(Fn(detail::cast_arg<A>(args[I])...), spec);
      } else if constexpr (std::is_void_v<R>) {
        Fn(detail::cast_arg<A>(args[I])...);
        Py_RETURN_NONE;
      } else {
        return detail::wrap_result(Fn(detail::cast_arg<A>(args[I])...));
      }
    } catch (...) {
      if (forced_unwind()) throw;  // a thread ended at exit: not ours to stop
      set_python_error_from_current_exception();
      return nullptr;
    }
  }
  template <class T>
  static void check_one(const FunctionSpec* spec, size_t i, PyObject* o) {
    if (!ArgKind<T>::check(o)) {
      PyObject* name = spec->param_names[i];
      raise_arg_type(spec->qualname.c_str(), PyUnicode_AsUTF8(name), ArgKind<T>::expected, o);
    }
  }

 public:
  static std::vector<PyObject*> annotations() { return {ArgKind<A>::annotation()...}; }
  static constexpr bool is_async = std::is_same_v<R, Task>;
};

// What a definition runs, and what its C++ type says of its parameters.
struct Body {
  Invoker invoke;
  bool is_async = false;
  size_t arity = SIZE_MAX;                // SIZE_MAX: as many as declared
  std::vector<PyObject*> annotations;     // empty: none derived
};

namespace detail {
template <class R>
PyObject* wrap_result(R&& r) {
  if constexpr (std::is_base_of_v<py::object, std::decay_t<R>>)
    return r.release().ptr();
  else
    return py::cast(std::forward<R>(r)).release().ptr();
}

// A C++ function bound through Bound, or a body that is an Invoker itself:
// one that works on the C API, checks its own argument types and reports
// failure by returning null with the error set (see refuse_arg).
template <auto Fn>
Body body_of() {
  if constexpr (std::is_convertible_v<decltype(Fn), Invoker>) {
    return Body{Fn};
  } else {
    using B = Bound<Fn>;
    return Body{&B::invoke, B::is_async, B::N, B::annotations()};
  }
}

FunctionSpec* new_spec(const Scope& scope, const char* name, std::vector<Param> params, const char* doc,
                       bool is_method, const Body& body);
// The function object of a definition, not yet placed in the scope.
// `receiver`: the first parameter is the receiver (a method).
py::object define(const Scope& scope, const char* name, std::vector<Param> params, const char* doc, bool receiver,
                  PyObject* returns, const Body& body);
// A builtin function taking (*args, **kwargs); `as_method` binds it like a
// Python function when placed in a class namespace.
py::object varargs_function(const std::string& module, const char* name, const char* doc,
                            PyCFunctionWithKeywords fn, bool as_method);
// Gives every native method in the class namespace its receiver type.
void bind_receivers(py::handle cls, const py::dict& ns);
}  // namespace detail

// Raises CPython's TypeError for a method called on a receiver of the wrong type.
[[noreturn]] void raise_receiver_type(const char* method, PyTypeObject* expected, PyObject* given);

// Defines `name` in the scope: a module function, or a method when the scope is
// a class namespace (the first parameter is then the receiver). `returns` is
// the signature's return annotation, if any.
template <auto Fn>
py::object def(const Scope& scope, const char* name, std::vector<Param> params, const char* doc = "",
               PyObject* returns = nullptr) {
  py::object fn = detail::define(scope, name, std::move(params), doc, !scope.qualprefix.empty(), returns,
                                 detail::body_of<Fn>());
  scope.ns[name] = fn;
  return fn;
}

// Defines `name` in a class namespace as a static method (no receiver).
template <auto Fn>
py::object def_static(const Scope& cls, const char* name, std::vector<Param> params, const char* doc = "",
                      PyObject* returns = nullptr) {
  py::object fn = detail::define(cls, name, std::move(params), doc, false, returns, detail::body_of<Fn>());
  py::object wrapped = call((PyObject*)&PyStaticMethod_Type, fn);
  cls.ns[name] = wrapped;
  return wrapped;
}

// Defines `name` as a function that takes its arguments as they came
// (*args, **kwargs), for the few that must accept any call shape (a proxy's
// __call__); a method when the scope is a class namespace.
py::object def_varargs(const Scope& scope, const char* name, const char* doc, PyCFunctionWithKeywords fn);

// Creates a Python class (of `bases`, or of object alone) from a namespace
// filled by `fill`, and places it in the module.
template <class Fill>
py::object make_class(const Scope& module_scope, const char* name, Fill&& fill, py::tuple bases = py::tuple()) {
  Scope cls{py::dict(), module_scope.module, std::string(name) + "."};
  cls.ns["__module__"] = py::str(module_scope.module);
  cls.ns["__qualname__"] = py::str(name);
  fill(cls);
  py::object type = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type);
  py::object klass = type(py::str(name), bases, cls.ns);
  detail::bind_receivers(klass, cls.ns);
  module_scope.ns[name] = klass;
  return klass;
}

}  // namespace tv
