// The workbook's stored state pulled from its add-in when it connects:
// modules, published functions, packages with python paths, event data.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// What one pull reads from the add-in's reply (raising refuses the reply).
using ReadReply = py::object (*)(py::object self, py::str workbook_id, py::object reply);

// One pull: the request's type, how the reply is read, the warning logged on a
// timeout or a missing add-in ("{}" the workbook, then the error) and the
// result given then.
struct Pull {
  const char* request_type;
  ReadReply read;
  const char* failure;
  py::object (*on_failure)();
};

Task pull_from_addin(py::object self, py::str workbook_id, Pull pull) {
  py::object error;
  try {
    py::dict request;
    set_item(request, K("type"), py::str(pull.request_type));
    py::object reply = co_await ask_addin(self, workbook_id, request);
    co_return pull.read(self, workbook_id, reply);
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt(pull.failure, workbook_id, py::str(error)));
  co_return pull.on_failure();
}

py::object no_result() { return py::none(); }
py::object empty_dict() { return py::dict(); }

py::object read_modules(py::object self, py::str workbook_id, py::object reply) {
  py::object modules = get(reply, K("modules"), py::dict());
  Py_ssize_t count = py::len(modules);
  // A malformed reply must not replace the cache.
  if (!PyDict_CheckExact(modules.ptr()))
    tv::raise_result_type("ConnectionManager.request_modules_from_addin", "dict", modules.ptr());
  as_dict(attr(self, K("workbook_modules")), "workbook_modules")[workbook_id] = modules;
  debug("Fetched {} modules from workbook: {}", count, workbook_id);
  return modules;
}

py::object read_functions(py::object, py::str workbook_id, py::object reply) {
  py::object functions = get(reply, K("functions"), py::list());
  log_info(fmt("Received {} functions from addin for workbook {}", py::len(functions), workbook_id));
  if (!PyList_CheckExact(functions.ptr()))
    tv::raise_result_type("ConnectionManager.request_functions_from_addin", "list", functions.ptr());
  return functions;
}

py::object read_packages(py::object, py::str workbook_id, py::object reply) {
  py::object packages = get(reply, K("packages"), py::list());
  py::object python_paths = get(reply, K("python_paths"), py::list());
  Py_ssize_t n_packages = py::len(packages);
  Py_ssize_t n_paths = py::len(python_paths);
  log_info(fmt("Received {} packages and {} python paths from addin for workbook {}", n_packages, n_paths, workbook_id));
  py::dict info;
  set_item(info, K("packages"), packages);
  set_item(info, K("python_paths"), python_paths);
  return info;
}

py::object read_events(py::object, py::str workbook_id, py::object reply) {
  py::dict info;
  for (PyObject* key : {K("events_registered"), K("events_definition"), K("events_tree")}) {
    py::object value = get(reply, key, py::dict());
    set_item(info, key, truthy(value) ? value : py::object(py::dict()));
  }
  Py_ssize_t registered = py::len(info[K("events_registered")]);
  Py_ssize_t definitions = py::len(info[K("events_definition")]);
  Py_ssize_t tree = py::len(info[K("events_tree")]);
  log_info(fmt("Received {} events_registered and {} events_definition and {} events_tree from addin for workbook {}",
               registered, definitions, tree, workbook_id));
  return info;
}

constexpr Pull kModules{"get_modules_request", &read_modules, "Error fetching modules from workbook {}: {}",
                        &empty_dict};
constexpr Pull kFunctions{"get_functions_request", &read_functions,
                          "Error requesting functions from addin for workbook {}: {}", &no_result};
constexpr Pull kPackages{"get_packages_request", &read_packages,
                         "Error requesting packages from addin for workbook {}: {}", &no_result};
constexpr Pull kEvents{"get_events_request", &read_events, "Error requesting events from addin for workbook {}: {}",
                       &no_result};

template <const Pull& P>
Task request_from_addin(py::object self, py::str workbook_id) {
  co_return co_await pull_from_addin(self, workbook_id, P);
}

}  // namespace

void define_addin_request_methods(Scope& cls) {
  tv::def<&request_from_addin<kModules>>(cls, "request_modules_from_addin", {"self", "workbook_id"});
  tv::def<&request_from_addin<kFunctions>>(cls, "request_functions_from_addin", {"self", "workbook_id"});
  tv::def<&request_from_addin<kPackages>>(cls, "request_packages_from_addin", {"self", "workbook_id"});
  tv::def<&request_from_addin<kEvents>>(cls, "request_events_info_from_addin", {"self", "workbook_id"});
}

}  // namespace relvane
