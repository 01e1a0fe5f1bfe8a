#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_python_call_handler(Scope&) {}

}  // namespace relvane
