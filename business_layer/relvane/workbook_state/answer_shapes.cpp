// What an add-in's answers hold, read as far as it is sound: a part of the
// wrong shape is skipped with a warning, and the rest is kept. An add-in
// author's slip (a list where an object goes, a number where text goes) must
// cost that part alone, never the workbook's connect or its calls.
#include <initializer_list>
#include <unordered_set>
#include <vector>

#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

bool is_text_or_null(PyObject* o) { return o == Py_None || PyUnicode_CheckExact(o); }

// Values the event view uses as keys or shows as they came.
bool is_scalar(PyObject* o) {
  return is_text_or_null(o) || PyLong_CheckExact(o) || PyBool_Check(o) || PyFloat_CheckExact(o);
}

py::str quoted(PyObject* key) { return fmt("\"{}\"", borrow(key)); }

// Whether `entry` is an object whose `keys`, where present, hold values that
// pass `plain`; `what` and `expected` name it in the warning otherwise.
bool sound_object(const AnswerReader& reader, py::handle entry, py::handle what,
                  std::initializer_list<PyObject*> keys, bool (*plain)(PyObject*), const char* expected) {
  if (!PyDict_CheckExact(entry.ptr())) {
    reader.skip(what, "an object", entry);
    return false;
  }
  for (PyObject* key : keys) {
    py::object value = find(entry, key);
    if (value && !plain(value.ptr())) {
      reader.skip(what, fmt(expected, quoted(key)), value);
      return false;
    }
  }
  return true;
}

// The names a function is published under, in either spelling: one that is no
// text would fail the push of "sync_custom_functions" for every function.
bool sound_function(const AnswerReader& reader, py::handle entry, py::handle what) {
  return sound_object(reader, entry, what,
                      {K("module"), K("module_name"), K("function"), K("function_name"), K("excel_name")},
                      &is_text_or_null, "text under {}");
}

// What the installation reads: a text "name", a text "version" when given,
// and "extras", when given, a list of texts.
bool sound_package(const AnswerReader& reader, py::handle entry, py::handle what) {
  if (!sound_object(reader, entry, what, {K("version")}, &is_text_or_null, "text under {}")) return false;
  py::object name = get(entry, K("name"));
  if (!PyUnicode_CheckExact(name.ptr())) {
    reader.skip(what, "text under \"name\"", name);
    return false;
  }
  py::object extras = get(entry, K("extras"));
  bool texts = extras.is_none() || PyList_CheckExact(extras.ptr());
  for (Py_ssize_t i = 0; texts && !extras.is_none() && i < PyList_GET_SIZE(extras.ptr()); ++i)
    texts = PyUnicode_CheckExact(PyList_GET_ITEM(extras.ptr(), i));
  if (!texts) reader.skip(what, "a list of texts under \"extras\"", extras);
  return texts;
}

// Text, or an object with a text "path"; a null is passed over by the normalisation.
bool sound_path(const AnswerReader& reader, py::handle entry, py::handle what) {
  if (is_text_or_null(entry.ptr())) return true;
  if (!PyDict_CheckExact(entry.ptr())) {
    reader.skip(what, "text or an object with a \"path\"", entry);
    return false;
  }
  return sound_object(reader, entry, what, {K("path")}, &is_text_or_null, "text under {}");
}

bool sound_definition(const AnswerReader& reader, py::handle entry, py::handle what) {
  return sound_object(reader, entry, what, {K("eventType"), K("eventName"), K("eventArgsType")}, &is_scalar,
                      "text or a number under {}");
}

// A node whose "type", "id" and "name" are plain values: the view keys and shows them.
bool sound_node(const AnswerReader& reader, py::handle entry, py::handle what) {
  return sound_object(reader, entry, what, {K("type"), K("id"), K("name")}, &is_scalar, "text or a number under {}");
}

using EntryCheck = bool (*)(const AnswerReader&, py::handle entry, py::handle what);

// The entries of `list` that pass `check`, each named "{prefix}{index}{suffix}".
py::list sound_entries(const AnswerReader& reader, py::handle list, const char* prefix, py::str suffix,
                       EntryCheck check) {
  py::list sound;
  Py_ssize_t index = 0;
  for (py::handle entry : snapshot(list)) {
    py::str what = py::str(prefix) + py::str(py::int_(index++)) + suffix;
    if (check(reader, entry, what)) sound.append(entry);
  }
  return sound;
}

}  // namespace

void AnswerReader::skip(py::handle what, py::str expected, py::handle value) const {
  log_warning(fmt("Skipping {} in the answer of workbook {} to {}: expected {}, got {}", what, workbook_id, request,
                  expected, Py_TYPE(value.ptr())->tp_name));
}

py::object AnswerReader::payload(py::handle reply, PyObject* key, bool want_list) const {
  py::object value = get(reply, key);
  if (want_list ? PyList_CheckExact(value.ptr()) : PyDict_CheckExact(value.ptr())) return value;
  // Null, an empty text, 0: nothing of that kind, as for a missing key.
  if (truthy(value)) skip(quoted(key), want_list ? "an array" : "an object", value);
  return want_list ? py::object(py::list()) : py::object(py::dict());
}

py::dict AnswerReader::modules(py::handle modules) const {
  py::dict sound;
  for (py::handle pair : snapshot(modules)) {
    py::handle name = PyTuple_GET_ITEM(pair.ptr(), 0), code = PyTuple_GET_ITEM(pair.ptr(), 1);
    if (PyUnicode_CheckExact(code.ptr()))
      set_item(sound, name, code);
    else
      skip(fmt("module '{}'", name), "its source as text", code);
  }
  return sound;
}

py::list AnswerReader::functions(py::handle functions) const {
  return sound_entries(*this, functions, "entry ", py::str(" of \"functions\""), &sound_function);
}

py::list AnswerReader::packages(py::handle packages) const {
  return sound_entries(*this, packages, "entry ", py::str(" of \"packages\""), &sound_package);
}

py::list AnswerReader::python_paths(py::handle paths) const {
  return sound_entries(*this, paths, "entry ", py::str(" of \"python_paths\""), &sound_path);
}

py::dict AnswerReader::handlers(py::handle registered) const {
  py::dict sound;
  for (py::handle pair : snapshot(registered)) {
    py::handle object_id = PyTuple_GET_ITEM(pair.ptr(), 0), holder = PyTuple_GET_ITEM(pair.ptr(), 1);
    py::object events = PyDict_CheckExact(holder.ptr()) ? find(holder, K("events")) : py::object();
    if (!events || !PyDict_CheckExact(events.ptr()) || !find(holder, K("ObjectType"))) {
      skip(fmt("the handlers of object '{}'", object_id), "an object with \"ObjectType\" and \"events\"",
           events ? events : borrow(holder.ptr()));
      continue;
    }
    py::dict kept;
    for (py::handle event : snapshot(events)) {
      py::handle name = PyTuple_GET_ITEM(event.ptr(), 0), entry = PyTuple_GET_ITEM(event.ptr(), 1);
      if (PyDict_CheckExact(entry.ptr()))
        set_item(kept, name, entry);
      else
        skip(fmt("the handler of '{}' on object '{}'", name, object_id), "an object", entry);
    }
    py::dict copy = steal(PyDict_Copy(holder.ptr()));
    set_item(copy, K("events"), kept);
    set_item(sound, object_id, copy);
  }
  return sound;
}

py::dict AnswerReader::definitions(py::handle definitions) const {
  py::dict sound;
  for (py::handle pair : snapshot(definitions)) {
    py::handle object_type = PyTuple_GET_ITEM(pair.ptr(), 0), list = PyTuple_GET_ITEM(pair.ptr(), 1);
    if (PyList_CheckExact(list.ptr()))
      set_item(sound, object_type,
               sound_entries(*this, list, "event ", fmt(" of object type '{}'", object_type), &sound_definition));
    else
      skip(fmt("the events of object type '{}'", object_type), "an array", list);
  }
  return sound;
}

py::dict AnswerReader::tree(py::handle root) const {
  if (!sound_node(*this, root, py::str("the tree's root"))) return py::dict();
  // Walked without recursion, however deep the tree; its nodes are the
  // answer's own, and their child lists lose only what is skipped.
  std::vector<py::object> pending{borrow(root.ptr())};
  std::unordered_set<PyObject*> seen{root.ptr()};
  while (!pending.empty()) {
    py::object node = std::move(pending.back());
    pending.pop_back();
    py::object children = find(node, K("children"));
    if (!children) continue;
    py::object id = get(node, K("id"), K(""));
    if (!PyList_CheckExact(children.ptr())) {
      skip(fmt("the children of node '{}'", id), "an array", children);
      if (PyDict_DelItem(node.ptr(), K("children")) < 0) throw py::error_already_set();
      continue;
    }
    py::list kept = sound_entries(*this, children, "child ", fmt(" of node '{}'", id), &sound_node);
    for (py::handle child : kept)
      if (seen.insert(child.ptr()).second) pending.push_back(borrow(child.ptr()));
    if (PyList_GET_SIZE(kept.ptr()) != PyList_GET_SIZE(children.ptr())) set_item(node, K("children"), kept);
  }
  return py::reinterpret_borrow<py::dict>(root);
}

}  // namespace relvane
