// The add-in telling the master that its workbook changed: object tree and
// event definitions go to the workbook state, a new name to the display-name
// table and every IDE.
#include "business_layer/relvane/relvane.hpp"

namespace relvane {

namespace {

Task handle_workbook_structure_update(py::str client_id, py::dict message) {
  call_method(G(K("manager")), K("handle_workbook_structure_update"), client_id, get(message, K("tree"), py::dict()));
  co_return py::none();
}

Task handle_event_definitions_update(py::str client_id, py::dict message) {
  call_method(G(K("manager")), K("handle_event_definitions_update"), client_id,
              get(message, K("definitions"), py::dict()));
  co_return py::none();
}

Task handle_workbook_name_changed(py::str client_id, py::dict message) {
  py::object old_name = get(message, K("old_name"));
  py::object new_name = get(message, K("new_name"));
  py::object path = get(message, K("path"), K(""));
  py::object manager = G(K("manager"));

  // The table holds display texts only: a missing or non-text name drops the
  // entry, so the workbook list falls back to its default name instead of
  // showing null.
  py::dict names = as_dict(attr(manager, K("client_names")), "client_names");
  if (PyUnicode_Check(new_name.ptr()))
    names[client_id] = new_name;
  else
    call_method(names, K("pop"), client_id, py::none());

  log_info(fmt("Workbook name changed: {} -> {} (workbook_id: {}, path: {})", old_name, new_name, client_id, path));

  py::dict notice;
  set_item(notice, K("type"), K("workbook_name_changed"));
  set_item(notice, K("workbook_id"), client_id);
  set_item(notice, K("old_name"), old_name);
  set_item(notice, K("new_name"), new_name);
  set_item(notice, K("path"), path);
  co_await call_method(manager, K("send_to_ide"), notice);
  co_return py::none();
}

}  // namespace

void define_workbook_update_handlers(Scope& m) {
  const std::vector<Param> params = {"client_id", "message"};
  tv::def<&handle_workbook_structure_update>(m, "handle_workbook_structure_update", params);
  tv::def<&handle_workbook_name_changed>(m, "handle_workbook_name_changed", params);
  tv::def<&handle_event_definitions_update>(m, "handle_event_definitions_update", params);
}

}  // namespace relvane
