// The functions a workbook publishes as worksheet functions: stored per
// workbook, sent to the add-in with their parameter lists, shown to the IDE.
#include "business_layer/relvane/workbook_state/workbook_state.hpp"

namespace relvane {

namespace {

bool validate_function_entry(py::object, py::dict func) {
  return func.contains("module_name") && func.contains("function_name") && func.contains("excel_name");
}

Task handle_update_published_functions(py::object self, py::str workbook_id, py::list functions) {
  log_info(fmt("Updating published functions for workbook: {}, count: {}", workbook_id, py::len(functions)));
  as_dict(self.attr("published_functions"), "published_functions")[workbook_id] = functions;
  co_await self.attr("_push_custom_functions_to_addin")(workbook_id, functions);
  co_await self.attr("_push_published_functions_state")(workbook_id, functions);
  co_return py::none();
}

Task push_custom_functions_to_addin(py::object self, py::str workbook_id, OptList functions) {
  py::object entries = functions;
  if (!truthy(entries)) {
    entries = self.attr("published_functions").attr("get")(workbook_id, py::list());
    check_cached(entries, "ConnectionManager._push_custom_functions_to_addin", "published_functions", true);
  }
  py::object modules = self.attr("workbook_modules").attr("get")(workbook_id, py::dict());
  py::list specs;
  for (py::handle item : py::iter(entries)) {
    py::dict func = as_dict(item, "published function entry");
    py::object module_name = func.attr("get")("module_name", "");
    py::object function_name = func.attr("get")("function_name", "");
    py::object excel_name = func.attr("get")("excel_name", "");
    py::object dimension = func.attr("get")("dimension", "Scalar");
    py::object streaming = func.attr("get")("streaming", false);
    if (!truthy(module_name) || !truthy(function_name)) {
      log_warning(fmt("Skipping function with missing module_name or function_name: {}", func));
      continue;
    }
    py::object text = modules.attr("get")(module_name, "");
    py::dict spec;
    spec["module"] = module_name;
    spec["function"] = function_name;
    spec["excel_name"] = excel_name;
    spec["parameters"] = G("extract_function_parameters")(text, function_name);
    spec["dimension"] = dimension;
    spec["streaming"] = streaming;
    specs.append(spec);
  }
  py::dict message;
  message["type"] = "sync_custom_functions";
  message["functions"] = specs;
  PushLog log{"custom functions", workbook_id, "Add-in"};
  co_await push_message(self, message, py::none(), workbook_id, log);
  co_return py::none();
}

Task push_published_functions_state(py::object self, py::str workbook_id, OptList functions, py::object websocket) {
  py::object list = functions;
  if (list.is_none()) {
    list = G("manager").attr("published_functions").attr("get")(workbook_id, py::list());
    check_cached(list, "ConnectionManager._push_published_functions_state", "published_functions", true);
  }
  py::dict message;
  message["type"] = "published_functions_state";
  message["workbook_id"] = workbook_id;
  message["functions"] = list;
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
