#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_log_entry_handler(Scope&) {}

}  // namespace relvane
