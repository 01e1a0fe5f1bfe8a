#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_event_view_updates(Scope&) {}
void define_event_view_methods(Scope&) {}

}  // namespace relvane
