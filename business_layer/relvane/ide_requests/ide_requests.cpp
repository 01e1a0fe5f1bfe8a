#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_ide_requests(Scope&) {}
void define_ide_control_requests(Scope&) {}

}  // namespace relvane
