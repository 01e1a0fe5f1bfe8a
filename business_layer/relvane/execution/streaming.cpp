#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_streaming_handlers(Scope&) {}

}  // namespace relvane
