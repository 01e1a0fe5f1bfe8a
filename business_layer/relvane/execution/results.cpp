#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_result_handlers(Scope&) {}

}  // namespace relvane
