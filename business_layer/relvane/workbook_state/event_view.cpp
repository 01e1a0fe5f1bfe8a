// The IDE's event manager: the workbook's object tree, the events each object
// type offers and the function bound to each, merged into one view model.
#include "business_layer/relvane/dicts.hpp"
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

// Pushes the view after an update without holding up the update's caller.
void start_view_push(py::object self, py::str workbook_id) {
  start_background_task(call_method(self, K("_push_event_manager_state"), workbook_id));
}

void handle_workbook_structure_update(py::object self, py::str workbook_id, py::dict tree) {
  log_info(fmt("Received workbook structure update for: {}", workbook_id));
  as_dict(attr(self, K("workbook_tree")), "workbook_tree")[workbook_id] = tree;
  start_view_push(self, workbook_id);
}

void handle_event_definitions_update(py::object self, py::str workbook_id, py::dict definitions) {
  log_info(fmt("Received event definitions for: {}", workbook_id));
  as_dict(attr(self, K("event_definitions")), "event_definitions")[workbook_id] = definitions;
  start_view_push(self, workbook_id);
}

py::dict merge_node(py::handle node_obj, const py::dict& definitions, const py::dict& registry) {
  py::dict node = as_dict(node_obj, "tree node");
  // Trees come from the add-in: a deep or cyclic one must end in an error, not a crash.
  if (Py_EnterRecursiveCall(" while merging the workbook tree")) throw py::error_already_set();
  Finally leave{[] { Py_LeaveRecursiveCall(); }};

  py::object type = get(node, K("type"), K(""));
  py::object id = get(node, K("id"), K(""));
  py::object name = get(node, K("name"), K(""));
  py::object children = get(node, K("children"), py::list());

  py::list events;
  for (py::handle item : py::iter(get(definitions, type, py::list()))) {
    py::dict definition = as_dict(item, "event definition");
    py::object event_type = get(definition, K("eventType"), K(""));
    py::object event_name = get(definition, K("eventName"), K(""));
    py::object args_type = get(definition, K("eventArgsType"), K(""));
    py::object registration = get(registry, py::make_tuple(id, event_name), py::dict());
    py::object python_function = py::str("");
    if (PyDict_Check(registration.ptr())) {
      py::object module_name = get(registration, K("module_name"), K(""));
      py::object function_name = get(registration, K("function_name"), K(""));
      if (truthy(module_name) && truthy(function_name))
        python_function = py::str(module_name) + py::str(".") + py::str(function_name);
    }
    py::dict entry;
    set_item(entry, K("name"), event_name);
    set_item(entry, K("type"), event_type);
    set_item(entry, K("arg_type"), args_type);
    set_item(entry, K("python_function"), python_function);
    events.append(entry);
  }

  py::list merged_children;
  for (py::handle child : py::iter(children)) merged_children.append(merge_node(child, definitions, registry));

  return dict_of(
      {{K("id"), id}, {K("name"), name}, {K("type"), type}, {K("events"), events}, {K("children"), merged_children}});
}

py::list merge_tree_with_events(py::object, py::dict tree, py::dict definitions, py::dict registry) {
  py::list view;
  if (py::len(tree) == 0) return view;
  view.append(merge_node(tree, definitions, registry));
  return view;
}

Task push_event_manager_state(py::object self, py::str workbook_id, py::object websocket) {
  py::object tree = get(attr(self, K("workbook_tree")), workbook_id, py::dict());
  py::object definitions = get(attr(self, K("event_definitions")), workbook_id, py::dict());
  py::object handlers = get(attr(self, K("registered_handlers")), workbook_id, py::dict());
  py::object view = call_method(self, K("_merge_tree_with_events"), tree, definitions, handlers);
  py::dict message;
  set_item(message, K("type"), K("event_manager_state"));
  set_item(message, K("workbook_id"), workbook_id);
  set_item(message, K("view_model"), view);
  Py_ssize_t count = py::len(handlers);
  PushLog log{"event manager state", workbook_id, "IDE", "merged ", fmt(". {} handlers.", count)};
  co_await push_message(self, message, websocket, py::none(), log);
  co_return py::none();
}

}  // namespace

void define_event_view_updates(Scope& cls) {
  tv::def<&handle_workbook_structure_update>(cls, "handle_workbook_structure_update", {"self", "workbook_id", "tree"});
  tv::def<&handle_event_definitions_update>(cls, "handle_event_definitions_update",
                                            {"self", "workbook_id", "definitions"});
}

void define_event_view_methods(Scope& cls) {
  tv::def<&merge_tree_with_events>(cls, "_merge_tree_with_events", {"self", "tree", "definitions", "registry"});
  tv::def<&push_event_manager_state>(cls, "_push_event_manager_state",
                                     {"self", "workbook_id", {"websocket", py::none()}});
}

}  // namespace relvane
