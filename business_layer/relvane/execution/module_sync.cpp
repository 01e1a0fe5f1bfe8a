#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_module_sync_handler(Scope&) {}

}  // namespace relvane
