// The workbook's stored state pulled from its add-in when it connects:
// modules, published functions, packages with python paths, event data.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// What one pull reads from the add-in's reply: what is sound of it.
using ReadReply = py::object (*)(py::object self, const AnswerReader& answer, py::object reply);

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
    const AnswerReader answer{workbook_id, pull.request_type};
    co_return pull.read(self, answer, reply);
  } catch (py::error_already_set& e) {
    if (!is_request_failure(e)) throw;
    error = e.value();
  }
  log_warning(fmt(pull.failure, workbook_id, py::str(error)));
  co_return pull.on_failure();
}

py::object no_result() { return py::none(); }
py::object empty_dict() { return py::dict(); }

py::object read_modules(py::object self, const AnswerReader& answer, py::object reply) {
  py::object workbook_id = answer.workbook_id;
  // Only text enters the cache: every call syncs each cached module to the kernel.
  py::dict modules = answer.modules(answer.payload(reply, K("modules"), false));
  as_dict(attr(self, K("workbook_modules")), "workbook_modules")[workbook_id] = modules;
  debug("Fetched {} modules from workbook: {}", py::len(modules), workbook_id);
  return modules;
}

py::object read_functions(py::object, const AnswerReader& answer, py::object reply) {
  py::object workbook_id = answer.workbook_id;
  py::list functions = answer.functions(answer.payload(reply, K("functions"), true));
  log_info(fmt("Received {} functions from addin for workbook {}", py::len(functions), workbook_id));
  return functions;
}

py::object read_packages(py::object, const AnswerReader& answer, py::object reply) {
  py::object workbook_id = answer.workbook_id;
  py::list packages = answer.packages(answer.payload(reply, K("packages"), true));
  py::list python_paths = answer.python_paths(answer.payload(reply, K("python_paths"), true));
  log_info(fmt("Received {} packages and {} python paths from addin for workbook {}", py::len(packages),
               py::len(python_paths), workbook_id));
  py::dict info;
  set_item(info, K("packages"), packages);
  set_item(info, K("python_paths"), python_paths);
  return info;
}

py::object read_events(py::object, const AnswerReader& answer, py::object reply) {
  py::object workbook_id = answer.workbook_id;
  py::dict registered = answer.handlers(answer.payload(reply, K("events_registered"), false));
  py::dict definitions = answer.definitions(answer.payload(reply, K("events_definition"), false));
  py::dict tree = answer.tree(answer.payload(reply, K("events_tree"), false));
  log_info(fmt("Received {} events_registered and {} events_definition and {} events_tree from addin for workbook {}",
               py::len(registered), py::len(definitions), py::len(tree), workbook_id));
  py::dict info;
  set_item(info, K("events_registered"), registered);
  set_item(info, K("events_definition"), definitions);
  set_item(info, K("events_tree"), tree);
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
