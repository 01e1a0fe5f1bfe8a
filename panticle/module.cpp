// Kernel-side bridge to the workbook's Office.js objects.
#include "common/globals.hpp"
#include "common/limits.hpp"
#include "common/module.hpp"

#include "panticle/panticle.hpp"

namespace panticle {

namespace {
tv::ModuleGlobals g_globals;
}

Libs libs;

void set_globals(py::dict globals) { g_globals.set(globals); }

PyObject* globals_dict() { return g_globals.dict(); }

PyObject* global_ref(PyObject* key) { return g_globals.find(key); }

py::object G(PyObject* key) { return g_globals.get(key); }

void raise(PyObject* cls, const char* text) {
  PyErr_SetString(cls, text);
  throw py::error_already_set();
}

void raise_incorrect_type(const char* arg, const char* expected, PyObject* given, bool subclass) {
  if (subclass)
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                 "Subclasses of %.200s are not accepted.",
                 arg, expected, Py_TYPE(given)->tp_name, expected);
  else
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, Py_TYPE(given)->tp_name);
  throw py::error_already_set();
}

namespace {

PyObject* keep(py::handle o) { return o.inc_ref().ptr(); }

// The deepest nesting of arrays and objects in a JSON text, brackets inside
// strings not counted: the kernel program measures each message against what
// its master parses. One pass, no parse.
template <class Char>
long long depth_of(const Char* text, Py_ssize_t n) {
  long long depth = 0, deepest = 0;
  bool in_string = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

long long json_depth(py::str text) {
  PyObject* s = text.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      return depth_of(PyUnicode_1BYTE_DATA(s), n);
    case PyUnicode_2BYTE_KIND:
      return depth_of(PyUnicode_2BYTE_DATA(s), n);
    default:
      return depth_of(PyUnicode_4BYTE_DATA(s), n);
  }
}

void startup(py::module_ m) {
  Scope scope = tv::module_scope(m);
  set_globals(scope.ns);
  py::dict ns = scope.ns;

  ns["base64"] = py::module_::import("base64");
  py::module_::import("concurrent.futures");
  ns["concurrent"] = py::module_::import("concurrent");
  ns["dt"] = py::module_::import("datetime");
  ns["threading"] = py::module_::import("threading");
  ns["uuid"] = py::module_::import("uuid");
  py::module_ pd = py::module_::import("pandas");
  ns["pd"] = pd;
  py::module_ np = py::module_::import("numpy");
  ns["np"] = np;
  py::module_ typing = py::module_::import("typing");
  ns["Any"] = attr(typing, K("Any"));
  ns["Dict"] = attr(typing, K("Dict"));

  libs.np_bool = keep(attr(np, K("bool_")));
  libs.np_datetime64 = keep(attr(np, K("datetime64")));
  libs.np_floating = keep(attr(np, K("floating")));
  libs.np_integer = keep(attr(np, K("integer")));
  libs.np_timedelta64 = keep(attr(np, K("timedelta64")));
  libs.np_ndarray = keep(attr(np, K("ndarray")));
  libs.np_dtype = keep(attr(np, K("dtype")));
  libs.pd_series = keep(attr(pd, K("Series")));
  libs.pd_frame = keep(attr(pd, K("DataFrame")));
  libs.pd_na = keep(attr(pd, K("NA")));
  libs.pd_nat = keep(attr(pd, K("NaT")));
  libs.utc = keep(attr(attr(py::module_::import("datetime"), K("timezone")), K("utc")));
  py::module_ futures = py::module_::import("concurrent.futures");
  libs.future_cls = keep(attr(futures, K("Future")));
  libs.invalid_state = keep(attr(futures, K("InvalidStateError")));

  // User code calls in from threads of its own, daemon threads among them.
  tv::hold_exit_for_threads_inside();

  define_serializer(scope);
  define_messaging(scope);
  define_remote_operations(scope);

  py::list internal;
  for (const char* n : {"_cw__getattr__", "_cw__getitem__", "_cw__setattr__", "_cw__call__", "_cw__del__",
                        "__getattr__", "__getitem__", "__setattr__", "__call__", "__del__"})
    internal.append(py::str(n));
  ns["_internal_officejs_names"] = internal;

  define_proxies(scope);

  py::object messaging = ns["Messaging"]();
  ns["messaging"] = messaging;
  py::object proxy = ns["OfficeJsObject"];
  using namespace pybind11::literals;
  ns["Context"] = proxy("object_id"_a = 0, "type_name"_a = "RequestContext");
  ns["Excel"] = proxy("object_id"_a = 1, "type_name"_a = "Excel");
  ns["GetSetting"] = proxy("object_id"_a = 2, "type_name"_a = "Function");

  // Last, beside what user code sees: the bounds of one message to the master
  // and their measure, for the kernel program.
  ns["MAX_MESSAGE_CHARACTERS"] = py::int_(tv::kMaxMessageCharacters);
  ns["MAX_FRAME_DEPTH"] = py::int_(tv::kMaxFrameDepth);
  tv::def<&json_depth>(scope, "_json_depth", {"text"}, "The deepest nesting of arrays and objects in a JSON text.");
}

const char* const kDoc =
    "Office.js object bridge for Python code running in a kernel.\n"
    "\n"
    "Classes:\n"
    "    Serializer: converts values between Python and the wire form.\n"
    "    Messaging: synchronous requests to the add-in and the registry of Python callables.\n"
    "    OfficeJsObject: proxy of one remote Office.js object.\n"
    "    OfficeJsArray: list holding a remote array's items, with its remote identity.\n"
    "    OfficeJsDict: dict holding a remote dictionary's entries, with its remote identity.\n"
    "\n"
    "Excel is the root proxy (id 1); Context is the context proxy (id 0).\n";

tv::OnceModule module_def("panticle", kDoc, &startup);

}  // namespace
}  // namespace panticle

PyMODINIT_FUNC PyInit_panticle() { return panticle::module_def.init(); }
