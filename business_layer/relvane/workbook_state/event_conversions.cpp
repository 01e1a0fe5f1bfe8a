// Conversions of the event-handler configuration between the add-in's form
// (object id -> {"ObjectType", "events"}) and the registry form
// ((object id, event name) -> handler entry).
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// dict(value): a new dictionary, whatever mapping the value is.
py::dict copy_dict(py::handle value) {
  PyObject* d = PyObject_CallOneArg((PyObject*)&PyDict_Type, value.ptr());
  if (!d) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(d);
}

// Unpacks a pair like `first, second = value` would.
std::pair<py::object, py::object> unpack_pair(py::handle key) {
  std::vector<py::object> items;
  for (py::handle item : py::iter(key)) {
    items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.size() > 2) {
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
      throw py::error_already_set();
    }
  }
  if (items.size() < 2) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zu)", items.size());
    throw py::error_already_set();
  }
  return {items[0], items[1]};
}

py::dict events_from_addin_to_ide(py::dict config) {
  py::dict result;
  // Items are taken through Python's iterator: it holds its own references
  // and notices a dictionary changed underneath.
  for (py::handle item : py::iter(call_method(config, K("items")))) {
    auto [object_id, holder] = unpack_pair(item);
    py::object object_type = holder[K("ObjectType")];
    py::object events = holder[K("events")];
    for (py::handle pair : py::iter(call_method(events, K("items")))) {
      auto [event_name, handler_entry] = unpack_pair(pair);
      py::dict handler = copy_dict(handler_entry);
      set_item(handler, K("object_type"), object_type);
      result[py::make_tuple(object_id, event_name)] = handler;
    }
  }
  return result;
}

py::dict events_from_ide_to_addin(py::dict events) {
  py::dict result;
  for (py::handle item : py::iter(call_method(events, K("items")))) {
    auto [key, holder] = unpack_pair(item);
    auto [object_id, event_name] = unpack_pair(key);
    if (!result.contains(object_id)) {
      py::dict object_entry;
      set_item(object_entry, K("ObjectType"), holder[K("object_type")]);
      set_item(object_entry, K("events"), py::dict());
      result[object_id] = object_entry;
    }
    py::object target = result[object_id];
    target[K("events")][event_name] = copy_dict(holder);
  }
  return result;
}

}  // namespace

void define_event_conversions(Scope& m) {
  tv::def<&events_from_addin_to_ide>(m, "_events_from_addin_to_ide", {"config"});
  tv::def<&events_from_ide_to_addin>(m, "_events_from_ide_to_addin", {"events"});
}

}  // namespace relvane
