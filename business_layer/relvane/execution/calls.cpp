#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_call_handlers(Scope&) {}

}  // namespace relvane
