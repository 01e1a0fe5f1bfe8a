#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_addin_request_methods(Scope&) {}

}  // namespace relvane
