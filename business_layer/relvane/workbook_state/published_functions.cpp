#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_published_function_methods(Scope&) {}

}  // namespace relvane
