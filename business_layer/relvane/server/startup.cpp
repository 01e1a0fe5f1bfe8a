// Module start-up of the business layer: imports, logger, constants, classes,
// singletons, in the order the rest of the module relies on.
#include "business_layer/relvane/relvane.hpp"
#include "common/module.hpp"

namespace relvane {

namespace {

constexpr const char* kDoc =
    "Business layer of the master: connections of add-ins, IDEs, kernels and the inspector, "
    "message dispatch, per-workbook state and kernel processes.";

void import_into(py::dict g, const char* module, std::initializer_list<const char*> names) {
  py::module_ mod = py::module_::import(module);
  for (const char* n : names) g[n] = mod.attr(n);
}

void startup(py::module_ m) {
  Scope scope = tv::module_scope(m);
  py::dict g = scope.ns;
  set_globals(g);

  for (const char* name : {"asyncio", "ast", "hashlib", "json", "keyword", "logging", "re", "signal", "subprocess",
                           "sys", "os", "time", "uuid"})
    g[name] = py::module_::import(name);
  import_into(g, "pathlib", {"Path"});
  import_into(g, "typing", {"Dict", "Optional", "Tuple", "List", "Union"});
  import_into(g, "collections.abc", {"Callable"});
  import_into(g, "starlette.websockets", {"WebSocketState"});
  import_into(g, "fastapi", {"WebSocket", "WebSocketDisconnect"});

  // Sibling modules are found relative to this module's package.
  std::string name = scope.module;
  std::string package = name.substr(0, name.rfind('.'));
  std::string top = package.substr(0, package.rfind('.'));
  import_into(g, (top + ".logging_config").c_str(), {"get_logger"});

  g["logger"] = G("get_logger")(m.attr("__name__"));

  g["MAX_MESSAGE_SIZE"] = py::int_(1048576);
  g["CHUNK_SIZE"] = py::int_(65536);
  g["CHUNK_HEADER_TYPE"] = py::str("chunk");
  g["VALID_ID_PATTERN"] = G("re").attr("compile")("^[a-zA-Z0-9_-]+$");
  g["VALID_PYTHON_IDENTIFIER_PART"] = G("re").attr("compile")("^[a-zA-Z_][a-zA-Z0-9_]*$");

  define_helpers(scope);
  define_parameter_helpers(scope);
  define_result_batcher(scope);
  define_connection_manager(scope);

  g["manager"] = G("ConnectionManager")();
  g["base_dir"] = G("Path").attr("home")() / py::str(".tavrino");

  define_event_conversions(scope);

  define_configuration(scope);
}

tv::OnceModule module_def("relvane", kDoc, &startup);

}  // namespace

}  // namespace relvane

PyMODINIT_FUNC PyInit_relvane() { return relvane::module_def.init(); }
