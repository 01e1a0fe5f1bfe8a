// MESSAGE_HANDLERS: every message type accepted from each client type, and the
// module function that handles it.
#include <string>

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

struct Entry {
  const char* type;
  const char* handler;
};

constexpr Entry kAddin[] = {
    {"execution_request", "handle_execution_request"},
    {"spawn_kernel", "handle_spawn_kernel"},
    {"terminate_kernel", "handle_terminate_kernel"},
    {"excel_response", "handle_excel_response"},
    {"sys_response", "handle_sys_response"},
    {"function_execution", "handle_function_event_execution"},
    {"event_execution", "handle_function_event_execution"},
    {"streaming_function_execution", "handle_streaming_function_execution"},
    {"cancel_streaming_function", "handle_cancel_streaming_function"},
    {"python_function_call", "handle_python_function_call"},
    {"show_ide", "handle_show_ide"},
    {"kill_ide", "handle_kill_ide"},
    {"message_ide", "handle_message_ide"},
    {"kill_kernel", "handle_kill_kernel"},
    {"get_modules_response", "handle_response_message"},
    {"get_functions_response", "handle_response_message"},
    {"get_packages_response", "handle_response_message"},
    {"save_module_response", "handle_response_message"},
    {"load_module_response", "handle_response_message"},
    {"delete_module_response", "handle_response_message"},
    {"register_handler_response", "handle_response_message"},
    {"unregister_handler_response", "handle_response_message"},
    {"get_event_config_response", "handle_response_message"},
    {"workbook_structure_update", "handle_workbook_structure_update"},
    {"workbook_name_changed", "handle_workbook_name_changed"},
    {"event_definitions_update", "handle_event_definitions_update"},
    {"save_event_config_response", "handle_event_config_response"},
    {"validate_handler_response", "handle_event_config_response"},
    {"log_entry", "handle_log_entry"},
    {"client_sync_functions", "handle_client_sync_functions"},
    {"client_restored_functions", "handle_client_restored_functions"},
    {"client_sync_packages", "handle_client_sync_packages"},
};

constexpr Entry kKernel[] = {
    {"batch", "handle_kernel_batch"},
    {"stdout", "handle_kernel_transfert"},
    {"stderr", "handle_kernel_transfert"},
    {"result_output", "handle_kernel_transfert"},
    {"event_execution_result", "handle_kernel_transfert"},
    {"streaming_function_result", "handle_kernel_transfert"},
    {"execution_result", "handle_kernel_execution_result"},
    {"execution_error", "handle_kernel_execution_error"},
    {"sys_request", "handle_kernel_to_addin"},
    {"completion_response", "handle_kernel_to_ide"},
    {"signature_help_response", "handle_kernel_to_ide"},
    {"hover_response", "handle_kernel_to_ide"},
    {"diagnostic_response", "handle_kernel_to_ide"},
    {"object_registry_update", "handle_kernel_to_ide"},
    {"object_registry_response", "handle_kernel_to_ide"},
    {"debug_terminated", "handle_kernel_to_ide"},
    {"debug_paused", "handle_kernel_to_ide"},
    {"debug_exception", "handle_kernel_to_ide"},
    {"debug_evaluate_result", "handle_kernel_to_ide"},
    {"request_module_sync", "handle_kernel_request_module_sync"},
    {"show_message_box", "handle_kernel_to_addin"},
    {"set_enable_events", "handle_kernel_to_addin"},
};

constexpr Entry kIde[] = {
    {"execution_request", "handle_ide_execution_request"},
    {"run_module", "handle_run_module"},
    {"update_module", "handle_update_module"},
    {"save_module", "handle_save_module"},
    {"delete_module", "handle_delete_module"},
    {"debug_continue", "handle_debug_command"},
    {"debug_step_over", "handle_debug_command"},
    {"debug_step_into", "handle_debug_command"},
    {"debug_step_out", "handle_debug_command"},
    {"debug_stop", "handle_debug_command"},
    {"debug_evaluate", "handle_debug_command"},
    {"debug_update_breakpoints", "handle_debug_command"},
    {"list_modules", "handle_list_modules"},
    {"get_module", "handle_get_module"},
    {"get_all_modules", "handle_get_all_modules"},
    {"spawn_kernel", "handle_spawn_kernel"},
    {"terminate_kernel", "handle_terminate_kernel"},
    {"kill_kernel", "handle_kill_kernel"},
    {"restart_addin", "handle_restart_addin"},
    {"completion_request", "handle_lsp_request"},
    {"signature_help_request", "handle_lsp_request"},
    {"diagnostic_request", "handle_lsp_request"},
    {"hover_request", "handle_lsp_request"},
    {"set_hover_mode", "handle_set_hover_mode"},
    {"get_object_registry", "handle_get_object_registry"},
    {"package_install_request", "handle_package_install_request"},
    {"get_package_versions_request", "handle_get_package_versions_request"},
    {"get_package_extras_request", "handle_get_package_extras_request"},
    {"get_package_info_request", "handle_get_package_info_request"},
    {"add_workbook_package", "handle_add_workbook_package"},
    {"remove_workbook_package", "handle_remove_workbook_package"},
    {"update_workbook_package", "handle_update_workbook_package"},
    {"restore_workbook_packages", "handle_restore_workbook_packages"},
    {"update_package_status", "handle_update_package_status"},
    {"reorder_workbook_packages", "handle_reorder_workbook_packages"},
    {"install_workbook_packages", "handle_install_workbook_packages"},
    {"get_workbook_packages", "handle_get_workbook_packages"},
    {"get_resolved_deps", "handle_get_resolved_deps"},
    {"update_python_paths", "handle_update_python_paths"},
    {"scan_objects_request", "handle_event_request_to_addin"},
    {"get_event_config_request", "handle_event_request_to_addin"},
    {"save_event_config_request", "handle_event_request_to_addin"},
    {"refresh_event_manager_state", "handle_refresh_event_manager_state"},
    {"register_handler", "handle_register_handler"},
    {"unregister_handler", "handle_unregister_handler"},
    {"rename_module_in_events", "handle_rename_module_in_events"},
    {"update_published_functions", "handle_update_published_functions"},
    {"get_function_at_position", "handle_get_function_at_position"},
    {"get_settings", "handle_get_settings"},
    {"set_setting", "handle_set_setting"},
    {"get_all_settings", "handle_get_all_settings"},
};

constexpr Entry kInspector[] = {
    {"function_at_position_result", "handle_inspector_result"},
    {"list_functions_result", "handle_inspector_result"},
    {"validate_syntax_result", "handle_inspector_result"},
};

// The table binds the handler functions themselves, so each must be defined
// before the table is built; one that is not yet is noted in `unbound`.
template <size_t N>
py::dict table_of(const char* client_type, const Entry (&entries)[N], std::string& unbound) {
  py::dict table;
  py::dict g = globals();
  for (const Entry& e : entries) {
    py::object handler = find(g, py::str(e.handler));
    if (!handler || !PyCallable_Check(handler.ptr())) {
      unbound += std::string(unbound.empty() ? "" : ", ") + e.handler + " (" + client_type + "/" + e.type + ")";
      continue;
    }
    set_item(table, py::str(e.type), handler);
  }
  return table;
}

}  // namespace

void define_handler_table(Scope& m) {
  std::string unbound;
  py::dict handlers;
  set_item(handlers, K("addin"), table_of("addin", kAddin, unbound));
  set_item(handlers, K("kernel"), table_of("kernel", kKernel, unbound));
  set_item(handlers, K("ide"), table_of("ide", kIde, unbound));
  set_item(handlers, K("inspector"), table_of("inspector", kInspector, unbound));
  // Only the order of start-up makes the handlers exist here: a handler
  // defined later fails the import loudly instead of leaving its type unhandled.
  if (!unbound.empty()) {
    PyErr_Format(PyExc_ImportError,
                 "MESSAGE_HANDLERS is built before these handlers are defined: %s; "
                 "their define_* calls must come before define_handler_table",
                 unbound.c_str());
    throw py::error_already_set();
  }
  set_item(m.ns, K("MESSAGE_HANDLERS"), handlers);
}

}  // namespace relvane
