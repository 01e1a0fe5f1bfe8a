// The work that runs beside a new connection's message loop: an add-in's state
// is pulled into the caches and shown to the IDEs, an IDE is brought up to
// date, a kernel gets its modules, packages and the add-in's configuration.
#include "business_layer/relvane/connection/kernels.hpp"

namespace relvane {

namespace {

py::object sleep_half_second() { return call_method(G(K("asyncio")), K("sleep"), py::float_(0.5)); }

// A failed request answers None; the workbook then counts as having nothing of that kind.
py::object or_empty_dict(py::object value) { return value.is_none() ? py::dict() : value; }

py::object value_or_new_dict(py::object info, PyObject* key) {
  return get(as_dict(info, "events info"), key, py::dict());
}

// A newer add-in of the same workbook replaces this one in the table, or the
// add-in has left: its work is then stale. Whatever it would still store, start
// or push belongs to the add-in that is registered now, and a kernel started
// for a socket that is gone would have nobody to end it.
bool still_the_addin(py::handle manager, py::handle websocket, py::handle client_id) {
  return call_method(manager, K("get_connection"), K("addin"), client_id).is(websocket);
}

Task on_addin_coonection(py::object websocket, py::str, py::str client_id) {
  py::object manager = G(K("manager"));
  // The kernel connection already serving the workbook when this add-in came.
  py::object kernel_before = call_method(manager, K("get_connection"), K("kernel"), client_id);
  co_await sleep_half_second();
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();

  // On success the request has stored the modules itself; a failed request
  // leaves the earlier cache in place.
  co_await call_method(manager, K("request_modules_from_addin"), client_id);
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();

  py::object functions = co_await call_method(manager, K("request_functions_from_addin"), client_id);
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  py::dict functions_message;
  set_item(functions_message, K("functions"), functions.is_none() ? py::list() : functions);
  attr(manager, K("published_functions"))[client_id] =
      call(G(K("get_functions_from_addin_message")), functions_message);

  py::object packages_info = co_await call_method(manager, K("request_packages_from_addin"), client_id);
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  py::tuple pair = call(G(K("get_pacakages_and_python_paths_from_addin_message")), or_empty_dict(packages_info));
  attr(manager, K("workbook_packages"))[client_id] = pair[0];
  attr(manager, K("workbook_installed_packages"))[client_id] = pair[0];
  attr(manager, K("workbook_python_paths"))[client_id] = call(G(K("normalize_python_paths")), pair[1]);
  attr(manager, K("package_errors"))[client_id] = py::dict();

  py::object events_info = co_await call_method(manager, K("request_events_info_from_addin"), client_id);
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  py::object events = or_empty_dict(events_info);
  attr(manager, K("event_definitions"))[client_id] = value_or_new_dict(events, K("events_definition"));
  attr(manager, K("workbook_tree"))[client_id] = value_or_new_dict(events, K("events_tree"));
  attr(manager, K("registered_handlers"))[client_id] =
      call(G(K("_events_from_addin_to_ide")), value_or_new_dict(events, K("events_registered")));

  // A kernel still ending since the workbook's add-in last left: this add-in
  // gets a kernel of its own once that one has gone, never one beside it.
  py::object ending = kernel_being_ended(manager, client_id);
  if (!ending.is_none()) {
    co_await call_method(ending, K("wait"));
    if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  }
  py::object kernel = call_method(manager, K("get_connection"), K("kernel"), client_id);
  if (kernel.is_none()) {
    py::object process = call_method(manager, K("spawn_kernel"), client_id);
    if (!process.is_none())
      co_await sleep_half_second();
    else
      log_warning(py::str("Failed to spawn kernel for ") + client_id);
  } else if (kernel.is(kernel_before)) {
    // An add-in that returns to a kernel already connected: that kernel's
    // connect work pushed its functions and event handlers to an add-in before
    // this one, and no kernel connect will push them again.
    co_await call_method(manager, K("_push_custom_functions_to_addin"), client_id);
    co_await attr(manager, K("_push_events_config_to_addin"))(client_id, "save"_a = false);
  }
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  co_await call(G(K("send_workbook_list_to_ide")));
  if (!still_the_addin(manager, websocket, client_id)) co_return py::none();
  co_await call(G(K("send_workbook_info_to_ide")), client_id);
  co_return py::none();
}

Task on_ide_connection(py::object websocket, py::str, py::str) {
  co_await sleep_half_second();
  co_await call(G(K("send_workbook_list_to_ide")), websocket);
  py::object addins = get(attr(G(K("manager")), K("active_connections")), K("addin"), py::dict());
  for (py::handle workbook_id : py::list(addins)) co_await call(G(K("send_workbook_info_to_ide")), workbook_id);
  co_return py::none();
}

Task on_kernel_connection(py::object websocket, py::str, py::str client_id) {
  py::object manager = G(K("manager"));
  // A new or restarted kernel holds no module yet: the next sync sends them all.
  py::object synced = get(as_dict(attr(manager, K("_synced_hashes")), "_synced_hashes"), client_id);
  if (!synced.is_none()) call_method(as_dict(synced, "synced hashes"), K("clear"));
  co_await sleep_half_second();
  py::object addins = get(attr(manager, K("active_connections")), K("addin"), py::dict());
  if (addins.contains(client_id)) {
    co_await call(G(K("send_modules_to_kernel")), client_id);
    co_await call(G(K("send_python_paths_to_kernel")), client_id);
  }
  co_await call(G(K("handle_workbook_packages_install")), client_id);
  // A kernel no longer the workbook's (ended with its add-in, or replaced)
  // must not tell the add-in that it is ready: the add-in would call into nothing.
  if (!call_method(manager, K("get_connection"), K("kernel"), client_id).is(websocket)) co_return py::none();
  co_await call_method(manager, K("_push_custom_functions_to_addin"), client_id);
  co_await attr(manager, K("_push_events_config_to_addin"))(client_id, "save"_a = false);
  co_await call_method(manager, K("_push_object_clear"), client_id);
  py::object name = get(attr(manager, K("client_names")), client_id);
  if (name.is_none()) name = client_id;
  co_await call_method(manager, K("_push_message_to_ide_console"),
                       py::str("Kernell connected for workbook ") + py::str(name));
  co_return py::none();
}

}  // namespace

void define_on_connect(Scope& m) {
  tv::def<&on_addin_coonection>(m, "on_addin_coonection", {"websocket", "client_type", "client_id"});
  tv::def<&on_ide_connection>(m, "on_ide_connection", {"websocket", "client_type", "client_id"});
  tv::def<&on_kernel_connection>(m, "on_kernel_connection", {"websocket", "client_type", "client_id"});
}

}  // namespace relvane
