#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_event_conversions(Scope&) {}

}  // namespace relvane
