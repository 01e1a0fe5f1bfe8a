#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_handler_registry_methods(Scope&) {}
void define_events_config_push(Scope&) {}

}  // namespace relvane
