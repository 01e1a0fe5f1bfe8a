#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_addin_relays(Scope&) {}
void define_event_config_relay(Scope&) {}
void define_kernel_relays(Scope&) {}

}  // namespace relvane
