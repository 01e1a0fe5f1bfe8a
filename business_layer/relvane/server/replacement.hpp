// An add-in or IDE connection that a newer one under the same client type and
// id has replaced.
#pragma once

#include "business_layer/relvane/relvane.hpp"

namespace relvane {

// Forgets an add-in's calls, then tells the connection why it goes and closes
// it with 4003, in the background: the newer connection waits for none of it.
void close_replaced_connection(py::handle manager, py::handle client_type, py::handle client_id,
                               py::handle websocket);

}  // namespace relvane
