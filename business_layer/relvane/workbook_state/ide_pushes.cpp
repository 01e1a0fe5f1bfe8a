#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_ide_push_methods(Scope&) {}
void define_ide_console_pushes(Scope&) {}

}  // namespace relvane
