#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

void define_ide_requests(Scope& m) {
  define_module_edit_handlers(m);
  define_debug_relay(m);
  define_module_listing_handlers(m);
  define_kernel_query_relays(m);
  define_event_request_handlers(m);
  define_published_function_handler(m);
  define_inspector_handlers(m);
}

void define_ide_control_requests(Scope& m) {
  define_settings_handlers(m);
  define_control_handlers(m);
}

}  // namespace relvane
