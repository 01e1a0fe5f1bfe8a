#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_parameter_helpers(Scope&) {}

}  // namespace relvane
