#include "business_layer/relvane/relvane.hpp"

namespace relvane {

void define_workbook_update_handlers(Scope&) {}

}  // namespace relvane
