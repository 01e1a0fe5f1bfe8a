// Received frames are parsed once by json's C scanner. Its hooks for the NaN
// and Infinity tokens and for float literals (one beyond the double range reads
// as an infinity) note that a non-finite number was seen; only then is the
// message walked to map them, so other frames cost nothing extra.
#include "business_layer/relvane/connection/frames.hpp"

#include <cmath>
#include <vector>

namespace relvane {

namespace {

thread_local bool saw_non_finite = false;

PyObject* on_constant(PyObject*, PyObject* token) {
  if (!PyUnicode_Check(token)) return tv::refuse_builtin_arg("_non_finite_constant", "token", "str", token);
  saw_non_finite = true;
  if (PyUnicode_CompareWithASCIIString(token, "NaN") == 0) return PyFloat_FromDouble(NAN);
  if (PyUnicode_CompareWithASCIIString(token, "-Infinity") == 0) return PyFloat_FromDouble(-INFINITY);
  return PyFloat_FromDouble(INFINITY);
}

PyObject* on_float(PyObject*, PyObject* literal) {
  if (!PyUnicode_Check(literal)) return tv::refuse_builtin_arg("_float_literal", "literal", "str", literal);
  PyObject* value = PyFloat_FromString(literal);
  if (value && !std::isfinite(PyFloat_AS_DOUBLE(value))) saw_non_finite = true;
  return value;
}

PyMethodDef constant_def = {"_non_finite_constant", on_constant, METH_O, nullptr};
PyMethodDef float_def = {"_float_literal", on_float, METH_O, nullptr};

// The hooks as keyword arguments of json's decoder; kept for the process.
PyObject* hook_kwargs() {
  static PyObject* kwargs = nullptr;
  if (!kwargs) {
    py::dict d;
    d["parse_constant"] = steal(PyCFunction_New(&constant_def, nullptr));
    d["parse_float"] = steal(PyCFunction_New(&float_def, nullptr));
    kwargs = d.release().ptr();
  }
  return kwargs;
}

PyObject* decoder() {
  static PyObject* made = nullptr;
  if (!made) {
    py::object cls = attr(G(K("json")), K("JSONDecoder"));
    made = steal(PyObject_Call(cls.ptr(), py::tuple().ptr(), hook_kwargs())).release().ptr();
  }
  return made;
}

bool is_non_finite(PyObject* o) { return PyFloat_CheckExact(o) && !std::isfinite(PyFloat_AS_DOUBLE(o)); }

py::object infinity_text(double v) { return borrow(v > 0 ? K("Infinity") : K("-Infinity")); }

// What a non-finite number outside a wire value becomes.
py::object stand_in(PyObject* number) {
  double v = PyFloat_AS_DOUBLE(number);
  return std::isnan(v) ? py::none() : infinity_text(v);
}

// A "Float" wire value holding a non-finite number becomes "Null" or "String".
void map_wire_value(PyObject* record) {
  PyObject* type = PyDict_GetItemWithError(record, K("type"));
  if (!type || !PyUnicode_CheckExact(type) || PyUnicode_Compare(type, K("Float")) != 0) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return;
  }
  PyObject* value = PyDict_GetItemWithError(record, K("value"));
  if (!value || !is_non_finite(value)) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return;
  }
  double v = PyFloat_AS_DOUBLE(value);
  set_item(record, K("type"), std::isnan(v) ? K("Null") : K("String"));
  set_item(record, K("value"), std::isnan(v) ? py::none() : infinity_text(v));
}

// Maps every non-finite number inside `root` in place. What json builds holds
// only dicts, lists, texts, numbers, booleans and None, and nothing twice.
void map_non_finite(PyObject* root) {
  std::vector<PyObject*> open{root};  // borrowed: each is held by its parent
  while (!open.empty()) {
    PyObject* container = open.back();
    open.pop_back();
    if (PyDict_CheckExact(container)) {
      map_wire_value(container);
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      // Replacing values, never keys, is allowed during the walk.
      while (PyDict_Next(container, &pos, &key, &value)) {
        if (is_non_finite(value))
          set_item(container, key, stand_in(value));
        else if (PyDict_CheckExact(value) || PyList_CheckExact(value))
          open.push_back(value);
      }
    } else {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i) {
        PyObject* item = PyList_GET_ITEM(container, i);
        if (is_non_finite(item))
          PyList_SetItem(container, i, stand_in(item).release().ptr());
        else if (PyDict_CheckExact(item) || PyList_CheckExact(item))
          open.push_back(item);
      }
    }
  }
}

}  // namespace

py::object parse_frame(py::handle text) {
  saw_non_finite = false;
  py::object message;
  try {
    if (PyUnicode_CheckExact(text.ptr())) {
      message = call_method(decoder(), K("decode"), text);
    } else {  // bytes and the like as json.loads takes them; the rest refused as it does
      PyObject* argv[] = {text.ptr()};
      py::object loads = attr(G(K("json")), K("loads"));
      message = steal(PyObject_VectorcallDict(loads.ptr(), argv, 1, hook_kwargs()));
    }
  } catch (py::error_already_set& e) {
    // The decoder recurses once per level: a frame nested beyond what the
    // stack allows costs only itself, never the connection it came on.
    if (!e.matches(PyExc_RecursionError)) throw;
    log_warning(fmt("Dropped a message nested too deeply to parse: {}", e.value()));
    return py::none();
  }
  if (!saw_non_finite) return message;
  if (is_non_finite(message.ptr())) return stand_in(message.ptr());
  if (PyDict_CheckExact(message.ptr()) || PyList_CheckExact(message.ptr())) map_non_finite(message.ptr());
  return message;
}

}  // namespace relvane
