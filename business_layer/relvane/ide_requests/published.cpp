// The IDE's whole new list of a workbook's published functions: entries
// without the three names are dropped, the rest replace the workbook's list.
#include "business_layer/relvane/ide_requests/ide_requests.hpp"

namespace relvane {

namespace {

Task handle_update_published_functions(py::str, py::dict message) {
  py::object workbook_id = get(message, K("workbook_id"));
  py::object functions = get(message, K("functions"), py::list());
  if (!truthy(workbook_id)) {
    log_warning(py::str("Received update_published_functions from IDE without workbook_id"));
    co_return py::none();
  }
  if (!PyList_Check(functions.ptr())) {
    log_warning(fmt("Received update_published_functions with invalid functions type: {}", py::type::of(functions)));
    co_return py::none();
  }
  py::object manager = G(K("manager"));
  py::list valid;
  for (py::handle entry : snapshot(functions)) {
    // Only a dictionary can hold the three names; the check is not asked about anything else.
    if (PyDict_Check(entry.ptr()) && truthy(call_method(manager, K("_validate_function_entry"), entry)))
      valid.append(entry);
    else
      log_warning(fmt("Skipping invalid function entry: {}", entry));
  }
  co_await call_method(manager, K("handle_update_published_functions"), workbook_id, valid);
  co_return py::none();
}

}  // namespace

void define_published_function_handler(Scope& m) {
  tv::def<&handle_update_published_functions>(m, "handle_update_published_functions", handler_params());
}

}  // namespace relvane
