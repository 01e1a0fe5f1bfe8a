// The functions a workbook publishes as worksheet functions: stored per
// workbook, sent to the add-in with their parameter lists, shown to the IDE.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

bool validate_function_entry(py::object, py::dict func) {
  return contains(func, K("module_name")) && contains(func, K("function_name")) && contains(func, K("excel_name"));
}

Task handle_update_published_functions(py::object self, py::str workbook_id, py::list functions) {
  log_info(fmt("Updating published functions for workbook: {}, count: {}", workbook_id, py::len(functions)));
  as_dict(attr(self, K("published_functions")), "published_functions")[workbook_id] = functions;
  co_await call_method(self, K("_push_custom_functions_to_addin"), workbook_id, functions);
  co_await call_method(self, K("_push_published_functions_state"), workbook_id, functions);
  co_return py::none();
}

Task push_custom_functions_to_addin(py::object self, py::str workbook_id, OptList functions) {
  py::object entries = functions;
  if (!truthy(entries)) {
    entries = get(attr(self, K("published_functions")), workbook_id, py::list());
    check_cached(entries, "ConnectionManager._push_custom_functions_to_addin", "published_functions", true);
  }
  py::object modules = get(attr(self, K("workbook_modules")), workbook_id, py::dict());
  py::list specs;
  for (py::handle item : py::iter(entries)) {
    py::dict func = as_dict(item, "published function entry");
    py::object module_name = get(func, K("module_name"), K(""));
    py::object function_name = get(func, K("function_name"), K(""));
    py::object excel_name = get(func, K("excel_name"), K(""));
    py::object dimension = get(func, K("dimension"), K("Scalar"));
    py::object streaming = get(func, K("streaming"), Py_False);
    if (!truthy(module_name) || !truthy(function_name)) {
      log_warning(fmt("Skipping function with missing module_name or function_name: {}", func));
      continue;
    }
    // A name that is no text (a later list of the add-in's, an IDE's) would fail the whole push.
    if (!PyUnicode_CheckExact(module_name.ptr()) || !PyUnicode_CheckExact(function_name.ptr())) {
      log_warning(fmt("Skipping function whose module_name or function_name is not text: {}", func));
      continue;
    }
    py::object text = get(modules, module_name, K(""));
    py::dict spec;
    set_item(spec, K("module"), module_name);
    set_item(spec, K("function"), function_name);
    set_item(spec, K("excel_name"), excel_name);
    set_item(spec, K("parameters"), call(G(K("extract_function_parameters")), text, function_name));
    set_item(spec, K("dimension"), dimension);
    set_item(spec, K("streaming"), streaming);
    specs.append(spec);
  }
  py::dict message;
  set_item(message, K("type"), K("sync_custom_functions"));
  set_item(message, K("functions"), specs);
  PushLog log{"custom functions", workbook_id, "Add-in"};
  co_await push_message(self, message, py::none(), workbook_id, log);
  co_return py::none();
}

Task push_published_functions_state(py::object self, py::str workbook_id, OptList functions, py::object websocket) {
  py::object list = functions;
  if (list.is_none()) {
    list = get(attr(G(K("manager")), K("published_functions")), workbook_id, py::list());
    check_cached(list, "ConnectionManager._push_published_functions_state", "published_functions", true);
  }
  py::dict message;
  set_item(message, K("type"), K("published_functions_state"));
  set_item(message, K("workbook_id"), workbook_id);
  set_item(message, K("functions"), list);
  PushLog log{"published functions state", workbook_id};
  co_await push_message(self, message, websocket, py::none(), log);
  co_return py::none();
}

}  // namespace

void define_published_function_methods(Scope& cls) {
  tv::def<&validate_function_entry>(cls, "_validate_function_entry", {"self", "func"});
  tv::def<&handle_update_published_functions>(cls, "handle_update_published_functions",
                                              {"self", "workbook_id", "functions"});
  tv::def<&push_custom_functions_to_addin>(cls, "_push_custom_functions_to_addin",
                                           {"self", "workbook_id", {"functions", py::none()}});
  tv::def<&push_published_functions_state>(
      cls, "_push_published_functions_state",
      {"self", "workbook_id", {"functions", py::none()}, {"websocket", py::none()}});
}

}  // namespace relvane
