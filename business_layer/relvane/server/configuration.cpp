// Configuration the host hands over: the master's port.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

void set_port(py::object port) {
  // Any int or float; bool and text are not port numbers.
  if (PyBool_Check(port.ptr()) || !(PyLong_Check(port.ptr()) || PyFloat_Check(port.ptr())))
    tv::raise_arg_type("set_port", "port", "int", port.ptr());
  globals()["_port"] = py::int_(port);
}

}  // namespace

void define_configuration(Scope& m) {
  m.ns["_port"] = py::int_(8000);
  tv::def<&set_port>(m, "set_port", {"port"});
}

}  // namespace relvane
