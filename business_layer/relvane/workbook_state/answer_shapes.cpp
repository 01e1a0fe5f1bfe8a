// What an add-in's answers hold, read as far as it is sound: a part of the
// wrong shape is skipped with a warning, and the rest is kept. An add-in
// author's slip (a list where an object goes, a number where text goes) must
// cost that part alone, never the workbook's connect or its calls.
#include <unordered_set>
#include <vector>

#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// Values the event view uses as keys or shows as they came.
bool is_scalar(PyObject* o) {
  return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyBool_Check(o) ||
         PyFloat_CheckExact(o);
}

py::str quoted(PyObject* key) { return fmt("\"{}\"", borrow(key)); }

// A package entry the installation can read: a text "name", a "version", when
// given, of text too, and "extras", when given, a list of texts.
bool sound_package(const AnswerReader& reader, py::handle entry, py::handle what) {
  if (!PyDict_CheckExact(entry.ptr())) {
    reader.skip(what, "an object", entry);
    return false;
  }
  py::object name = get(entry, K("name")), version = get(entry, K("version"));
  if (!PyUnicode_CheckExact(name.ptr()) || !(version.is_none() || PyUnicode_CheckExact(version.ptr()))) {
    reader.skip(what, "text under \"name\" and \"version\"", PyUnicode_CheckExact(name.ptr()) ? version : name);
    return false;
  }
  py::object extras = get(entry, K("extras"));
  bool texts = extras.is_none() || PyList_CheckExact(extras.ptr());
  for (Py_ssize_t i = 0; texts && !extras.is_none() && i < PyList_GET_SIZE(extras.ptr()); ++i)
    texts = PyUnicode_CheckExact(PyList_GET_ITEM(extras.ptr(), i));
  if (!texts) reader.skip(what, "a list of texts under \"extras\"", extras);
  return texts;
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
  py::list sound;
  Py_ssize_t index = 0;
  for (py::handle entry : snapshot(functions)) {
    py::str what = fmt("entry {} of \"functions\"", index++);
    if (!PyDict_CheckExact(entry.ptr())) {
      skip(what, "an object", entry);
      continue;
    }
    // The names it is published under, in either spelling: a name that is no
    // text would fail the push of "sync_custom_functions" for every function.
    PyObject* bad_key = nullptr;
    py::object bad;
    for (PyObject* key : {K("module"), K("module_name"), K("function"), K("function_name"), K("excel_name")}) {
      py::object name = find(entry, key);
      if (name && !name.is_none() && !PyUnicode_CheckExact(name.ptr())) {
        bad_key = key;
        bad = name;
        break;
      }
    }
    if (bad_key) {
      skip(what, fmt("text under \"{}\"", borrow(bad_key)), bad);
      continue;
    }
    sound.append(entry);
  }
  return sound;
}

py::list AnswerReader::packages(py::handle packages) const {
  py::list sound;
  Py_ssize_t index = 0;
  for (py::handle entry : snapshot(packages))
    if (sound_package(*this, entry, fmt("entry {} of \"packages\"", index++))) sound.append(entry);
  return sound;
}

py::list AnswerReader::python_paths(py::handle paths) const {
  py::list sound;
  Py_ssize_t index = 0;
  for (py::handle entry : snapshot(paths)) {
    py::str what = fmt("entry {} of \"python_paths\"", index++);
    PyObject* o = entry.ptr();
    if (o == Py_None || PyUnicode_CheckExact(o)) {  // a null is passed over by the normalisation
      sound.append(entry);
    } else if (!PyDict_CheckExact(o)) {
      skip(what, "text or an object with a \"path\"", entry);
    } else {
      py::object path = get(entry, K("path"));
      if (path.is_none() || PyUnicode_CheckExact(path.ptr()))
        sound.append(entry);
      else
        skip(what, "text under \"path\"", path);
    }
  }
  return sound;
}

py::dict AnswerReader::handlers(py::handle registered) const {
  py::dict sound;
  for (py::handle pair : snapshot(registered)) {
    py::handle object_id = PyTuple_GET_ITEM(pair.ptr(), 0), holder = PyTuple_GET_ITEM(pair.ptr(), 1);
    py::str what = fmt("the handlers of object '{}'", object_id);
    if (!PyDict_CheckExact(holder.ptr())) {
      skip(what, "an object with \"ObjectType\" and \"events\"", holder);
      continue;
    }
    py::object events = find(holder, K("events"));
    if (!events || !PyDict_CheckExact(events.ptr())) {
      skip(what, "an object under \"events\"", events ? events : py::none());
      continue;
    }
    if (!find(holder, K("ObjectType"))) {
      skip(what, "an \"ObjectType\"", py::none());
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
    if (!PyList_CheckExact(list.ptr())) {
      skip(fmt("the events of object type '{}'", object_type), "an array", list);
      continue;
    }
    py::list kept;
    Py_ssize_t index = 0;
    for (py::handle definition : snapshot(list)) {
      py::str what = fmt("event {} of object type '{}'", index++, object_type);
      if (!PyDict_CheckExact(definition.ptr())) {
        skip(what, "an object", definition);
        continue;
      }
      py::object bad;
      for (PyObject* key : {K("eventType"), K("eventName"), K("eventArgsType")}) {
        py::object value = find(definition, key);
        if (value && !is_scalar(value.ptr())) bad = value;
      }
      if (bad) {
        skip(what, "text under \"eventType\", \"eventName\" and \"eventArgsType\"", bad);
        continue;
      }
      kept.append(definition);
    }
    set_item(sound, object_type, kept);
  }
  return sound;
}

namespace {

// A node whose "type", "id" and "name" are plain values (the view keys and
// shows them); `what` names it in the warning otherwise.
bool sound_node(const AnswerReader& reader, py::handle node, py::handle what) {
  if (!PyDict_CheckExact(node.ptr())) {
    reader.skip(what, "an object", node);
    return false;
  }
  for (PyObject* key : {K("type"), K("id"), K("name")}) {
    py::object value = find(node, key);
    if (value && !is_scalar(value.ptr())) {
      reader.skip(what, "text or a number under \"type\", \"id\" and \"name\"", value);
      return false;
    }
  }
  return true;
}

}  // namespace

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
    py::list kept;
    Py_ssize_t index = 0;
    for (py::handle child : snapshot(children)) {
      if (!sound_node(*this, child, fmt("child {} of node '{}'", index++, id))) continue;
      kept.append(child);
      if (seen.insert(child.ptr()).second) pending.push_back(borrow(child.ptr()));
    }
    if (PyList_GET_SIZE(kept.ptr()) != PyList_GET_SIZE(children.ptr())) set_item(node, K("children"), kept);
  }
  return py::reinterpret_borrow<py::dict>(root);
}

}  // namespace relvane
