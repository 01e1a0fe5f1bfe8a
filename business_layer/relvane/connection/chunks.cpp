#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_chunk_methods(Scope&) {}

}  // namespace relvane
