// The parameter list of a function, read from its module's source text with the
// interpreter's own parser; nothing in the text is imported or run.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

// Every worksheet-function parameter accepts any cell value, whatever its annotation.
py::str extract_type_from_annotation(py::object) { return py::str("any"); }

bool is_instance(py::handle obj, py::handle cls) {
  int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// The first plain def named `function_name` in breadth-first order, or None.
py::object find_definition(py::handle tree, py::object function_name) {
  py::object ast = G(K("ast"));
  py::object function_def = attr(ast, K("FunctionDef"));
  for (py::handle node : call_method(ast, K("walk"), tree)) {
    if (is_instance(node, function_def) && py::object(attr(node, K("name"))).equal(function_name))
      return py::reinterpret_borrow<py::object>(node);
  }
  return py::none();
}

py::list parameters_of(py::handle definition) {
  py::list result;
  for (py::handle arg : attr(attr(definition, K("args")), K("args"))) {
    py::object name = attr(arg, K("arg"));
    if (name.equal(py::str("self")) || name.equal(py::str("cls"))) continue;
    py::object type = py::str("any");
    py::object annotation = attr(arg, K("annotation"));
    if (!annotation.is_none()) type = call(G(K("_extract_type_from_annotation")), annotation);
    py::dict parameter;
    set_item(parameter, K("name"), name);
    set_item(parameter, K("type"), type);
    result.append(parameter);
  }
  return result;
}

py::list extract_function_parameters(py::str code, py::str function_name) {
  try {
    py::object tree = call_method(G(K("ast")), K("parse"), code);
    py::object definition = find_definition(tree, function_name);
    if (definition.is_none()) return py::list();
    return parameters_of(definition);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_SyntaxError)) {
      log_warning(fmt("Syntax error in code when extracting parameters for '{}': {}", function_name, e.value()));
    } else if (e.matches(PyExc_Exception)) {
      log_warning(fmt("Unexpected error extracting parameters for '{}': {}", function_name, e.value()));
    } else {
      throw;
    }
  }
  return py::list();
}

}  // namespace

void define_parameter_helpers(Scope& m) {
  tv::def<&extract_function_parameters>(m, "extract_function_parameters", {"code", "function_name"});
  tv::def<&extract_type_from_annotation>(m, "_extract_type_from_annotation", {"annotation"});
}

}  // namespace relvane
