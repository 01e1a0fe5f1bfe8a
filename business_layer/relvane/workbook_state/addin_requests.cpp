// The workbook's stored state pulled from its add-in when it connects:
// modules, published functions, packages with python paths, event data.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

py::dict request(const char* type) {
  py::dict message;
  message["type"] = type;
  return message;
}

Task request_modules_from_addin(py::object self, py::str workbook_id) {
  py::object error;
  try {
    py::object reply = co_await ask_addin(self, workbook_id, request("get_modules_request"));
    py::object modules = reply.attr("get")("modules", py::dict());
    Py_ssize_t count = py::len(modules);
    // A malformed reply must not replace the cache.
    if (!PyDict_CheckExact(modules.ptr()))
      tv::raise_result_type("ConnectionManager.request_modules_from_addin", "dict", modules.ptr());
    as_dict(self.attr("workbook_modules"), "workbook_modules")[workbook_id] = modules;
    debug("Fetched {} modules from workbook: {}", count, workbook_id);
    co_return modules;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error fetching modules from workbook {}: {}", workbook_id, py::str(error)));
  co_return py::dict();
}

Task request_functions_from_addin(py::object self, py::str workbook_id) {
  py::object error;
  try {
    py::object reply = co_await ask_addin(self, workbook_id, request("get_functions_request"));
    py::object functions = reply.attr("get")("functions", py::list());
    log_info(fmt("Received {} functions from addin for workbook {}", py::len(functions), workbook_id));
    if (!PyList_CheckExact(functions.ptr()))
      tv::raise_result_type("ConnectionManager.request_functions_from_addin", "list", functions.ptr());
    co_return functions;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error requesting functions from addin for workbook {}: {}", workbook_id, py::str(error)));
  co_return py::none();
}

Task request_packages_from_addin(py::object self, py::str workbook_id) {
  py::object error;
  try {
    py::object reply = co_await ask_addin(self, workbook_id, request("get_packages_request"));
    py::object packages = reply.attr("get")("packages", py::list());
    py::object python_paths = reply.attr("get")("python_paths", py::list());
    Py_ssize_t n_packages = py::len(packages);
    Py_ssize_t n_paths = py::len(python_paths);
    log_info(
        fmt("Received {} packages and {} python paths from addin for workbook {}", n_packages, n_paths, workbook_id));
    py::dict info;
    info["packages"] = packages;
    info["python_paths"] = python_paths;
    co_return info;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error requesting packages from addin for workbook {}: {}", workbook_id, py::str(error)));
  co_return py::none();
}

Task request_events_info_from_addin(py::object self, py::str workbook_id) {
  py::object error;
  try {
    py::object reply = co_await ask_addin(self, workbook_id, request("get_events_request"));
    py::dict info;
    for (const char* key : {"events_registered", "events_definition", "events_tree"}) {
      py::object value = reply.attr("get")(key, py::dict());
      info[key] = truthy(value) ? value : py::object(py::dict());
    }
    Py_ssize_t registered = py::len(info["events_registered"]);
    Py_ssize_t definitions = py::len(info["events_definition"]);
    Py_ssize_t tree = py::len(info["events_tree"]);
    log_info(fmt("Received {} events_registered and {} events_definition and {} events_tree from addin for workbook {}",
                 registered, definitions, tree, workbook_id));
    co_return info;
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt("Error requesting events from addin for workbook {}: {}", workbook_id, py::str(error)));
  co_return py::none();
}

}  // namespace

void define_addin_request_methods(Scope& cls) {
  tv::def<&request_modules_from_addin>(cls, "request_modules_from_addin", {"self", "workbook_id"});
  tv::def<&request_functions_from_addin>(cls, "request_functions_from_addin", {"self", "workbook_id"});
  tv::def<&request_packages_from_addin>(cls, "request_packages_from_addin", {"self", "workbook_id"});
  tv::def<&request_events_info_from_addin>(cls, "request_events_info_from_addin", {"self", "workbook_id"});
}

}  // namespace relvane
