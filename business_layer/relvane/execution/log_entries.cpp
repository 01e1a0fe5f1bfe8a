// The add-in's log lines, written to the master's log under a logger named
// after the add-in script that produced them.
#include "business_layer/relvane/relvane.hpp"

#include <string>

namespace relvane {

namespace {

// The logging configuration sits in the top package, next to this module's package.
py::object import_get_logger() {
  std::string module = py::str(G(K("__name__")));
  std::string package = module.substr(0, module.rfind('.'));
  std::string top = package.substr(0, package.rfind('.'));
  return attr(py::module_::import((top + ".logging_config").c_str()), K("get_logger"));
}

py::object line_part(py::handle value, py::handle fallback_logger) {
  if (!PyDict_Check(value.ptr()) && !PyList_Check(value.ptr())) return py::str(value);
  bool failed = false;
  py::object text;
  try {
    text = call_method(G(K("json")), K("dumps"), value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    call_method(fallback_logger, K("debug"), fmt("Failed to serialize object: {}", e.value()));
    failed = true;
  }
  return failed ? py::object(py::str(value)) : text;
}

py::str logger_name(py::handle caller) {
  py::str name("addin");
  if (!truthy(caller)) return name;
  py::object found = call_method(py::module_::import("re"), K("search"), py::str(R"(/([^/]+\.js):\d+:\d+)"), caller);
  if (found.is_none()) return name;
  return py::str("addin.") +
         py::str(call_method(call_method(found, K("group"), py::int_(1)), K("replace"), K(".js"), K("")));
}

Task handle_log_entry(py::str, py::dict message) {
  py::object get_logger = import_get_logger();
  py::str level = call_method(get(message, K("level"), K("DEBUG")), K("upper"));
  py::object messages = get(message, K("messages"), py::list());
  py::object caller = get(message, K("caller"), K(""));

  py::list parts;
  py::object fallback = get_logger("addin");
  for (py::handle value : py::iter(messages)) parts.append(line_part(value, fallback));
  py::str line = call_method(py::str(" "), K("join"), parts);

  py::object logger = get_logger(logger_name(caller));
  PyObject* method = K("debug");
  if (level.equal(py::handle(K("ERROR"))))
    method = K("error");
  else if (level.equal(py::handle(K("WARNING"))))
    method = K("warning");
  else if (level.equal(py::handle(K("INFO"))))
    method = K("info");
  call_method(logger, method, line);
  co_return py::none();
}

}  // namespace

void define_log_entry_handler(Scope& m) {
  tv::def<&handle_log_entry>(m, "handle_log_entry", {"client_id", "message"});
}

}  // namespace relvane
