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

// Forgets every call `workbook_id` has outstanding, for a kernel that was
// terminated or killed and so will never answer them; a workbook waiting under
// one of those ids takes its place as usual. Returns how many were dropped.
Py_ssize_t drop_pending_calls_of(py::handle manager, py::handle workbook_id);

}  // namespace relvane
