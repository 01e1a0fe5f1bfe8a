// Shared pieces of the handlers for the IDE's requests and the add-in's
// IDE-control messages.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// Every handler takes (client_id, message).
inline std::vector<Param> handler_params() { return {"client_id", "message"}; }

// Definitions of each group, in the order the module binds them.
void define_module_edit_handlers(Scope& m);    // execution_request, run/update/save/delete_module
void define_debug_relay(Scope& m);             // handle_debug_command
void define_module_listing_handlers(Scope& m); // list_modules, get_module, get_all_modules
void define_kernel_query_relays(Scope& m);     // lsp, hover mode, object registry
void define_event_request_handlers(Scope& m);  // event configuration and handler registration
void define_published_function_handler(Scope& m);
void define_inspector_handlers(Scope& m);
void define_settings_handlers(Scope& m);
void define_control_handlers(Scope& m);

}  // namespace relvane
