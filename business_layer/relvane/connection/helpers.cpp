// Validation of client ids and Python names, module-text fingerprints, and the
// normalisation of a workbook's python paths.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

constexpr Py_ssize_t kMaxLength = 256;

py::tuple verdict(bool ok, const char* message) { return py::make_tuple(py::bool_(ok), py::str(message)); }

// The pattern must cover the whole text: "$" alone would let a final line feed through.
bool whole_match(const char* pattern_global, py::handle text) {
  return !G(pattern_global).attr("fullmatch")(text).is_none();
}

py::tuple validate_client_id(py::str client_id) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(client_id.ptr());
  if (n == 0) return verdict(false, "Client ID cannot be empty");
  if (n > kMaxLength) return verdict(false, "Client ID too long (max 256 characters)");
  if (!whole_match("VALID_ID_PATTERN", client_id)) return verdict(false, "Client ID contains invalid characters");
  return verdict(true, "");
}

py::tuple validate_python_identifier(py::str name) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(name.ptr());
  if (n == 0) return verdict(false, "Name cannot be empty");
  if (n > kMaxLength) return verdict(false, "Name too long (max 256 characters)");
  py::object keywords = G("keyword").attr("kwlist");
  for (py::handle part : py::list(name.attr("split")("."))) {
    if (PyUnicode_GET_LENGTH(part.ptr()) == 0) return verdict(false, "Name contains empty parts");
    if (!whole_match("VALID_PYTHON_IDENTIFIER_PART", part))
      return py::make_tuple(false, py::str("Invalid identifier: ") + py::str(part));
    if (keywords.contains(part)) return py::make_tuple(false, py::str("Python keyword not allowed: ") + py::str(part));
  }
  return verdict(true, "");
}

py::str compute_code_hash(py::str code) {
  py::object data = code.attr("encode")("utf-8");
  return G("hashlib").attr("sha256")(data).attr("hexdigest")();
}

py::list normalize_python_paths(py::list python_paths) {
  py::list result;
  for (py::handle item : python_paths) {
    py::object value;
    if (item.is_none()) continue;
    if (PyDict_Check(item.ptr())) {
      value = item.attr("get")("path", "");
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

}  // namespace

void define_helpers(Scope& m) {
  tv::def<&compute_code_hash>(m, "compute_code_hash", {"code"});
  tv::def<&normalize_python_paths>(m, "normalize_python_paths", {"python_paths"});
  tv::def<&validate_python_identifier>(m, "validate_python_identifier", {"name"});
  tv::def<&validate_client_id>(m, "validate_client_id", {"client_id"});
}

}  // namespace relvane
