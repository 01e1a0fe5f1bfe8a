// The end of a kernel process that terminate_kernel asked to end, as the
// departure of its workbook's add-in and that add-in's return see it.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// Forgets `connection`, the kernel connection of a workbook whose add-in has
// left, once its kernel `process`, which terminate_kernel is ending, has ended
// or been killed; at once when that process is not being ended. The calls
// sent to it meanwhile are dropped with it.
void forget_kernel_connection_once_ended(py::handle manager, py::handle workbook_id, py::handle process,
                                         py::handle connection);

// The asyncio.Event set once the workbook's kernel process that `manager` is
// ending has ended (or been given up on), or None when none is being ended.
py::object kernel_being_ended(py::handle manager, py::handle workbook_id);

// Whether `connection` is a kernel connection to be forgotten once its process
// has ended: its workbook's add-in has left, and a returning one must hear
// nothing of it.
bool is_ending_kernel_connection(py::handle manager, py::handle workbook_id, py::handle connection);

}  // namespace relvane
