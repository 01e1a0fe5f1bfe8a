#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_kernel_batch(Scope&) {}

}  // namespace relvane
