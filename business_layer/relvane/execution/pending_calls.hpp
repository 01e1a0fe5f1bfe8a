// Worksheet-function calls waiting for their kernel's answer.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// Records the call of `workbook_id` under `request_id` before it goes to the
// kernel. Raises a type error for an id that cannot be a dictionary key.
void record_pending_call(py::handle manager, py::handle request_id, py::handle workbook_id);

// Takes the call that `workbook_id`'s kernel answers under `request_id`: true
// when that workbook had one outstanding (it is then forgotten).
bool take_pending_call(py::handle manager, py::handle request_id, py::handle workbook_id);

}  // namespace relvane
