#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_module_storage_methods(Scope&) {}

}  // namespace relvane
