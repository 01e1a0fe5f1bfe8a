// Kernel-side bridge to the workbook's Office.js objects.
#include "common/globals.hpp"
#include "common/module.hpp"

#include "panticle/panticle.hpp"

namespace panticle {

namespace {
tv::ModuleGlobals g_globals;
}

Libs libs;
Names names;

void set_globals(py::dict globals) { g_globals.set(globals); }

PyObject* globals_dict() { return g_globals.dict(); }

py::object G(const char* name) { return g_globals.get(name); }

PyObject* global_ref(PyObject* key) { return g_globals.find(key); }

py::object G(PyObject* key) { return g_globals.get(key); }

void raise(PyObject* cls, const char* text) {
  PyErr_SetString(cls, text);
  throw py::error_already_set();
}

py::object def_spec(const Scope& scope, const char* name, std::vector<Param> params, const char* doc,
                    bool is_method, PyObject* result_annotation, tv::Invoker invoke,
                    std::vector<const char*> expected, std::vector<PyObject*> annotations) {
  tv::Body body{invoke, false, expected.size(), std::move(annotations)};
  py::object fn = tv::detail::define(scope, name, std::move(params), doc, is_method, result_annotation, body);
  if (is_method) scope.ns[name] = fn;
  return fn;
}

py::object make_varargs(const char* name, const char* doc, PyCFunctionWithKeywords fn, bool as_method) {
  return tv::detail::varargs_function(py::str(G(K("__name__"))), name, doc, fn, as_method);
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

void init_names() {
  auto I = tv::intern;
  Names& n = names;
  n.value = I("value"), n.id = I("id"), n.result = I("result");
  n.method = I("method"), n.name = I("name"), n.caller = I("caller"), n.args = I("args");
  n.arg_type = I("arg_type"), n.requestId = I("requestId"), n.kind = I("kind"), n.request = I("request");
  n.ok = I("ok"), n.error = I("error"), n.message = I("message");
  n.Array = I("Array"), n.Dict = I("Dict"), n.Function = I("Function"), n.PLACED = I("PLACED");
  n.NAMED = I("NAMED"), n.GET = I("GET"), n.SET = I("SET"), n.GETITEM = I("GETITEM"), n.CALL = I("CALL");
  n.DEL = I("DEL"), n.dunder_call = I("__call__"), n.dunder_del = I("__del__");
  n.internal_id = I("_internal_id"), n.internal_typeName = I("_internal_typeName"), n.msg_guid = I("_msg_guid");
  n.typ = I("_typ"), n.internal_cache = I("_internal_cache");
  n.officejs_object = I("officejs_object"), n.officejs_array = I("officejs_array");
  n.officejs_dict = I("officejs_dict");
  n.guid = I("_guid"), n.send_handler = I("_send_handler"), n.waiters = I("waiters");
  n.waiters_lock = I("_waiters_lock"), n.callable_registry = I("_callable_registry");
  n.callable_lock = I("_callable_lock"), n.next_callable_id = I("_next_callable_id");
  n.acquire = I("acquire"), n.release = I("release"), n.pop = I("pop"), n.get = I("get"), n.done = I("done");
  n.cancel = I("cancel"), n.set_result = I("set_result"), n.set_exception = I("set_exception");
  n.result_m = n.result;
  n.messaging = I("messaging"), n.send_request_sync = I("send_request_sync");
  n.cw_del = I("_cw__del__"), n.uuid = I("uuid"), n.uuid4 = I("uuid4"), n.hex = I("hex");
  n.concurrent = I("concurrent"), n.futures = I("futures"), n.Future = I("Future"), n.threading = I("threading");
  n.timeout_kw = steal(PyTuple_Pack(1, I("timeout"))).release().ptr();
  n.zero_seconds = steal(PyFloat_FromDouble(0.0)).release().ptr();
  n.empty = I("");
  n.empty_tuple = steal(PyTuple_New(0)).release().ptr();
}

namespace {

PyObject* keep(py::handle o) { return o.inc_ref().ptr(); }

void startup(py::module_ m) {
  Scope scope = tv::module_scope(m);
  set_globals(scope.ns);
  init_names();
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
  ns["Any"] = typing.attr("Any");
  ns["Dict"] = typing.attr("Dict");

  libs.np_bool = keep(np.attr("bool_"));
  libs.np_datetime64 = keep(np.attr("datetime64"));
  libs.np_floating = keep(np.attr("floating"));
  libs.np_ndarray = keep(np.attr("ndarray"));
  libs.np_dtype = keep(np.attr("dtype"));
  libs.pd_series = keep(pd.attr("Series"));
  libs.pd_frame = keep(pd.attr("DataFrame"));
  libs.pd_na = keep(pd.attr("NA"));
  libs.pd_nat = keep(pd.attr("NaT"));
  libs.utc = keep(py::module_::import("datetime").attr("timezone").attr("utc"));
  py::module_ futures = py::module_::import("concurrent.futures");
  libs.future_cls = keep(futures.attr("Future"));
  libs.invalid_state = keep(futures.attr("InvalidStateError"));

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
