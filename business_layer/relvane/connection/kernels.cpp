#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_kernel_methods(Scope&) {}

}  // namespace relvane
