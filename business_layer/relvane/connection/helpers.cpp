// Validation of client ids and Python names, module-text fingerprints, and the
// normalisation of a workbook's python paths.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

constexpr Py_ssize_t kMaxLength = 256;

py::tuple verdict(bool ok, const char* message) { return py::make_tuple(py::bool_(ok), py::str(message)); }

// The pattern must cover the whole text: "$" alone would let a final line feed through.
bool whole_match(PyObject* pattern_global, py::handle text) {
  return !call_method(G(pattern_global), K("fullmatch"), text).is_none();
}

PyObject* identifier_pattern = nullptr;  // the pattern start-up compiled, kept for the process

// What that pattern's fullmatch answers: an ASCII letter or "_", then ASCII
// letters, digits or "_".
bool ascii_identifier(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (n == 0 || !PyUnicode_IS_ASCII(text)) return false;
  const char* c = static_cast<const char*>(PyUnicode_DATA(text));
  auto word = [](char ch, bool first) {
    return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (!first && ch >= '0' && ch <= '9');
  };
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!word(c[i], i == 0)) return false;
  return true;
}

// A name part against the module's identifier pattern, read now; the pattern
// start-up made is checked without the regular-expression engine.
bool identifier_part(py::handle part) {
  py::object pattern = G(K("VALID_PYTHON_IDENTIFIER_PART"));
  if (pattern.ptr() == identifier_pattern) return ascii_identifier(part.ptr());
  return !call_method(pattern, K("fullmatch"), part).is_none();
}

py::tuple validate_client_id(py::str client_id) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(client_id.ptr());
  if (n == 0) return verdict(false, "Client ID cannot be empty");
  if (n > kMaxLength) return verdict(false, "Client ID too long (max 256 characters)");
  if (!whole_match(K("VALID_ID_PATTERN"), client_id)) return verdict(false, "Client ID contains invalid characters");
  return verdict(true, "");
}

// Whether `part` is in the keyword list, as `part in keywords` answers: texts
// of another length are passed over without a full comparison.
bool is_keyword(PyObject* keywords, PyObject* part) {
  if (!PyList_CheckExact(keywords)) {
    int found = PySequence_Contains(keywords, part);
    if (found < 0) throw py::error_already_set();
    return found == 1;
  }
  Py_ssize_t length = PyUnicode_GET_LENGTH(part);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keywords); ++i) {
    PyObject* word = PyList_GET_ITEM(keywords, i);
    if (word == part) return true;
    if (PyUnicode_CheckExact(word)) {
      if (PyUnicode_GET_LENGTH(word) == length && PyUnicode_Compare(word, part) == 0) return true;
      continue;
    }
    py::object held = py::reinterpret_borrow<py::object>(word);  // its == may change the list
    int equal = PyObject_RichCompareBool(held.ptr(), part, Py_EQ);
    if (equal < 0) throw py::error_already_set();
    if (equal) return true;
  }
  return false;
}

// Why one part of a name is refused, or a null object.
py::object part_fault(PyObject* keywords, py::handle part) {
  if (PyUnicode_GET_LENGTH(part.ptr()) == 0) return py::str("Name contains empty parts");
  if (!identifier_part(part)) return py::str("Invalid identifier: ") + py::str(part);
  if (is_keyword(keywords, part.ptr())) return py::str("Python keyword not allowed: ") + py::str(part);
  return py::object();
}

// Why a name is refused, or a null object for a valid one.
py::object identifier_fault(py::str name) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
  if (n == 0) return py::str("Name cannot be empty");
  if (n > kMaxLength) return py::str("Name too long (max 256 characters)");
  py::object keywords = attr(G(K("keyword")), K("kwlist"));
  Py_ssize_t dot = PyUnicode_FindChar(name.ptr(), '.', 0, n, 1);
  if (dot == -2) throw py::error_already_set();
  if (dot == -1) return part_fault(keywords.ptr(), name);  // a plain name is its only part
  py::object parts = steal(PyUnicode_Split(name.ptr(), K("."), -1));
  for (py::handle part : parts) {
    py::object fault = part_fault(keywords.ptr(), part);
    if (fault) return fault;
  }
  return py::object();
}

py::tuple validate_python_identifier(py::str name) {
  py::object fault = identifier_fault(name);
  if (fault) return py::make_tuple(false, fault);
  static PyObject* const valid = py::make_tuple(true, "").release().ptr();  // immutable, kept for the process
  return py::reinterpret_borrow<py::tuple>(valid);
}

py::str compute_code_hash(py::str code) {
  py::object data = steal(PyUnicode_AsUTF8String(code.ptr()));
  return call_method(call_method(G(K("hashlib")), K("sha256"), data), K("hexdigest"));
}

py::list normalize_python_paths(py::list python_paths) {
  py::list result;
  for (py::handle item : snapshot(python_paths)) {
    py::object value;
    if (item.is_none()) continue;
    if (PyDict_Check(item.ptr())) {
      value = get(item, K("path"), K(""));
    } else if (PyUnicode_Check(item.ptr())) {
      value = py::reinterpret_borrow<py::object>(item);
    } else {
      log_warning(fmt("Skipping unknown python_path format: {} - {}", py::type::of(item), item));
      continue;
    }
    if (truthy(value)) result.append(value);
  }
  return result;
}

PyObject* own_validator = nullptr;  // the module's validate_python_identifier, kept for the process

// The reason a name fails the naming rule, or none; the rule is the module
// global read now, asked directly while it is the module's own.
py::object invalid_name(py::handle name) {
  // A number or a list where a name goes is refused like any text that is no
  // identifier (the rule itself takes text only).
  if (!PyUnicode_CheckExact(name.ptr())) return py::str("Invalid identifier: ") + py::str(name);
  py::object rule = G(K("validate_python_identifier"));
  if (rule.ptr() == own_validator) {
    py::object fault = identifier_fault(py::reinterpret_borrow<py::str>(name));
    return fault ? fault : py::none();
  }
  py::object verdict = call(rule, name);
  if (truthy(steal(PySequence_GetItem(verdict.ptr(), 0)))) return py::none();
  return steal(PySequence_GetItem(verdict.ptr(), 1));
}

}  // namespace

py::object call_name_error(const char* call_kind, py::handle module_name, py::handle function_name) {
  if (!truthy(module_name)) return steal(PyUnicode_FromFormat("%s missing module_name", call_kind));
  if (!truthy(function_name)) return steal(PyUnicode_FromFormat("%s missing function_name", call_kind));
  py::object reason = invalid_name(module_name);
  if (!reason.is_none()) return fmt("Invalid module name '{}': {}", module_name, reason);
  reason = invalid_name(function_name);
  if (!reason.is_none()) return fmt("Invalid function name '{}': {}", function_name, reason);
  return py::none();
}

void define_helpers(Scope& m) {
  identifier_pattern = G(K("VALID_PYTHON_IDENTIFIER_PART")).release().ptr();
  tv::def<&compute_code_hash>(m, "compute_code_hash", {"code"});
  tv::def<&normalize_python_paths>(m, "normalize_python_paths", {"python_paths"});
  own_validator = tv::def<&validate_python_identifier>(m, "validate_python_identifier", {"name"}).release().ptr();
  tv::def<&validate_client_id>(m, "validate_client_id", {"client_id"});
}

}  // namespace relvane
