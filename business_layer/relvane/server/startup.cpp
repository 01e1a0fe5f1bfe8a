// Module start-up of the business layer: imports, logger, constants, classes,
// singletons and the handler table, in the order the rest of the module relies on.
#include "business_layer/relvane/relvane.hpp"
#include "common/limits.hpp"
#include "common/module.hpp"

namespace relvane {

namespace {

constexpr const char* kDoc =
    "Business layer of the master: connections of add-ins, IDEs, kernels and the inspector, "
    "message dispatch, per-workbook state and kernel processes.";

void import_into(py::dict g, const std::string& module, std::initializer_list<const char*> names) {
  py::module_ mod = py::module_::import(module.c_str());
  for (const char* n : names) {
    if (!py::hasattr(mod, n)) {
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, module.c_str());
      throw py::error_already_set();
    }
    g[n] = mod.attr(n);
  }
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

  // Sibling modules: ".x" is relative to this module's package, "..x" to the top package.
  std::string package = scope.module.substr(0, scope.module.rfind('.'));
  std::string top = package.substr(0, package.rfind('.'));
  import_into(g, package + ".packages", {"PackageManager", "init_handlers"});
  import_into(g, package + ".packages",
              {"handle_package_install_request", "handle_get_package_versions_request",
               "handle_get_package_extras_request", "handle_get_package_info_request", "handle_add_workbook_package",
               "handle_remove_workbook_package", "handle_update_workbook_package", "handle_restore_workbook_packages",
               "handle_update_package_status", "handle_reorder_workbook_packages", "handle_install_workbook_packages",
               "handle_get_workbook_packages", "handle_get_resolved_deps", "handle_update_python_paths"});
  import_into(g, package + ".dependency_resolver", {"DependencyResolver", "PackageSpec"});
  import_into(g, package + ".inspector_launcher", {"launch_inspector", "terminate_inspector", "is_inspector_running"});
  import_into(g, package + ".settings_manager", {"SettingsManager"});
  import_into(g, package + ".ide_manager", {"IDEProcessManager"});
  import_into(g, top + ".logging_config", {"get_logger"});

  set_item(g, K("logger"), call(G(K("get_logger")), attr(m, K("__name__"))));

  set_item(g, K("MAX_MESSAGE_SIZE"), py::int_(tv::kMaxMessageSizeSetting));
  set_item(g, K("CHUNK_SIZE"), py::int_(65536));
  set_item(g, K("CHUNK_HEADER_TYPE"), K("chunk"));
  set_item(g, K("VALID_ID_PATTERN"), call_method(G(K("re")), K("compile"), K("^[a-zA-Z0-9_-]+$")));
  set_item(g, K("VALID_PYTHON_IDENTIFIER_PART"), call_method(G(K("re")), K("compile"), K("^[a-zA-Z_][a-zA-Z0-9_]*$")));

  define_helpers(scope);
  define_parameter_helpers(scope);
  define_outbox_constants(scope);
  define_result_batcher(scope);
  define_connection_manager(scope);

  set_item(g, K("manager"), call(G(K("ConnectionManager"))));
  set_item(g, K("base_dir"), call_method(G(K("Path")), K("home")) / py::str(".tavrino"));
  set_item(g, K("settings_manager"), G(K("SettingsManager"))("base_dir"_a = G(K("base_dir"))));
  g[K("package_manager")] =
      G(K("PackageManager"))("base_dir"_a = py::str(G(K("base_dir"))), "settings_manager"_a = G(K("settings_manager")));
  set_item(g, K("ide_manager"), py::none());

  define_response_matcher(scope);
  define_addin_relays(scope);
  define_call_handlers(scope);
  define_streaming_handlers(scope);
  define_python_call_handler(scope);
  define_workbook_update_handlers(scope);
  define_event_config_relay(scope);
  define_log_entry_handler(scope);
  define_function_list_handlers(scope);
  define_kernel_batch(scope);
  set_item(g, K("kernel_handles"), py::dict());
  define_kernel_relays(scope);
  define_result_handlers(scope);
  define_module_sync_handler(scope);
  define_ide_requests(scope);
  define_response_message_handler(scope);
  define_ide_control_requests(scope);

  // The table binds the handlers defined above (and the package handlers
  // imported first); a handler defined below it fails the import.
  define_handler_table(scope);

  define_lifecycle_hooks(scope);
  define_workbook_pushes(scope);
  define_event_conversions(scope);
  define_on_connect(scope);
  define_endpoint(scope);
  define_dispatch(scope);
  define_full_code_sync(scope);
  define_package_installation(scope);

  call(G(K("init_handlers")), G(K("manager")), G(K("package_manager")), G(K("handle_workbook_packages_install")));

  define_status_and_configuration(scope);
}

tv::OnceModule module_def("relvane", kDoc, &startup);

}  // namespace

}  // namespace relvane

PyMODINIT_FUNC PyInit_relvane() { return relvane::module_def.init(); }
