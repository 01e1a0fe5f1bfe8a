#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_package_installation(Scope&) {}

}  // namespace relvane
