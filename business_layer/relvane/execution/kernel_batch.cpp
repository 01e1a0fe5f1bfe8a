// A kernel's "batch": every packed message dispatched as if it had arrived
// alone, all at once, the batch waiting for the last of them.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task handle_kernel_batch(py::str client_id, py::dict message) {
  py::object elements = find(message, K("messages"));
  if (!elements) elements = py::list();
  py::list messages = as_list(elements, "batch messages");

  py::list dispatches;
  py::object handle_message = G(K("handle_message"));
  Py_ssize_t index = 0;
  for (py::handle element : snapshot(messages)) {
    // One malformed element must not cost the valid ones beside it.
    if (!PyDict_CheckExact(element.ptr())) {
      log_warning(fmt("Skipping kernel batch element {} from {}: expected an object, got {}", index, client_id,
                      py::str(attr(py::type::handle_of(element), K("__name__")))));
    } else {
      dispatches.append(handle_message("kernel", client_id, element));
    }
    ++index;
  }
  if (py::len(dispatches) == 0) co_return py::none();

  // Failures stay with their element: logged by the dispatch, collected here, not raised.
  co_await attr(G(K("asyncio")), K("gather"))(*dispatches, "return_exceptions"_a = true);
  co_return py::none();
}

}  // namespace

void define_kernel_batch(Scope& m) {
  tv::def<&handle_kernel_batch>(m, "handle_kernel_batch", {"client_id", "message"});
}

}  // namespace relvane
