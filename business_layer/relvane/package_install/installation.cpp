// Installation of a workbook's packages: unload the previous paths, drop the
// entries marked for removal, resolve the whole tree, install it into the
// package cache (with retry passes that see what already succeeded), report
// every step to the IDE and hand the result to the kernel and the add-in.
#include "business_layer/relvane/relvane.hpp"

#include <optional>

namespace relvane {

namespace {

// ---------------------------------------------------------------- small helpers

py::object mgr() { return G("manager"); }

bool text_nonempty(py::handle o) { return PyUnicode_Check(o.ptr()) && PyUnicode_GET_LENGTH(o.ptr()) > 0; }

// A new list with the items of `o` (py::list(o) would share a list it is given).
py::list new_list(py::handle o) {
  PyObject* l = PySequence_List(o.ptr());
  if (!l) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

bool is_kind(py::handle kind, const char* name) { return kind.equal(py::str(name)); }

py::object dict_get(py::handle map, py::handle key, py::object dflt) {
  return py::reinterpret_borrow<py::object>(map).attr("get")(key, dflt);
}

// The map of the workbook in one of the manager's per-workbook fields, made
// empty when missing.
py::object workbook_map(const char* field, py::handle workbook_id) {
  py::dict all = as_dict(mgr().attr(field), field);
  if (!all.contains(workbook_id)) all[workbook_id] = py::dict();
  return all[workbook_id];
}

// "[a,b]" in the given order, or "" without extras.
py::str extras_display(py::handle extras) {
  if (extras.is_none() || !truthy(extras)) return py::str("");
  return py::str("[") + py::str(",").attr("join")(extras) + py::str("]");
}

py::object package_key(py::handle spec) {
  return G("_get_package_key")(spec.attr("name"), spec.attr("version"), spec.attr("extras"));
}

py::object find_entry(py::handle packages, py::handle name) { return G("_find_package_by_name")(packages, name); }

// Puts `paths` ahead of the environment's PYTHONPATH. No entry is ever empty:
// an empty entry is the working directory on the installer's import path.
void prepend_python_path(py::dict env, py::handle paths) {
  py::object sep = G("os").attr("pathsep");
  py::list parts;
  for (py::handle p : paths)
    if (truthy(p)) parts.append(p);
  py::object existing = env.attr("get")("PYTHONPATH", "");
  if (truthy(existing))
    for (py::handle p : existing.attr("split")(sep))
      if (truthy(p)) parts.append(p);
  if (py::len(parts) > 0)
    env["PYTHONPATH"] = sep.attr("join")(parts);
  else
    env.attr("pop")("PYTHONPATH", py::none());
}

// Package names as the packaging ecosystem compares them: lower case, runs
// of "-", "_" and "." alike. Anything but text is left as it is.
py::object canonical_name(py::handle name) {
  static PyObject* canonicalize = tv::import_attr("packaging.utils", "canonicalize_name");
  if (!PyUnicode_Check(name.ptr())) return py::reinterpret_borrow<py::object>(name);
  return py::handle(canonicalize)(name);
}

py::dict pip_output(py::handle workbook_id, const char* output_type, py::handle message) {
  py::dict m;
  m["type"] = "pip_output";
  m["workbook_id"] = workbook_id;
  m["output_type"] = output_type;
  m["message"] = message;
  return m;
}

// Error lines of a failed resolution and of the run's guard name the kind first.
py::dict pip_error_first(py::handle workbook_id, py::handle message) {
  py::dict m;
  m["type"] = "pip_output";
  m["output_type"] = "error";
  m["workbook_id"] = workbook_id;
  m["message"] = message;
  return m;
}

py::dict packages_update(py::handle workbook_id, py::handle packages, bool with_errors = true) {
  py::dict m;
  m["type"] = "workbook_packages_update";
  m["workbook_id"] = workbook_id;
  m["packages"] = packages;
  if (with_errors) m["package_errors"] = dict_get(mgr().attr("package_errors"), workbook_id, py::dict());
  return m;
}

py::dict installation_complete(py::handle workbook_id, py::handle message) {
  py::dict m;
  m["type"] = "package_installation_complete";
  m["workbook_id"] = workbook_id;
  m["message"] = message;
  return m;
}

py::object to_ide(py::dict message) { return mgr().attr("broadcast")("ide", message); }

py::list resolved_records(py::handle packages) {
  py::list records;
  for (py::handle r : packages) {
    py::object spec = r.attr("spec");
    py::dict rec;
    rec["name"] = spec.attr("name");
    rec["version"] = spec.attr("version");
    rec["extras"] = spec.attr("extras");
    rec["is_direct"] = r.attr("is_direct");
    rec["from_dist"] = spec.attr("from_dist");
    rec["source"] = new_list(r.attr("source"));
    rec["is_error"] = r.attr("is_error");
    records.append(rec);
  }
  return records;
}

// An ordinary error caught by one of the run's guards, kept until the handler
// may await (cancellation and other BaseExceptions are never caught).
struct Caught {
  py::object value;  // the exception object, for the traceback
  py::str text;
};

// Reads one (kind, content) pair the way tuple unpacking would.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
  py::tuple t = py::reinterpret_steal<py::tuple>(PySequence_Tuple(item.ptr()));
  if (!t) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(item.ptr())->tp_name);
    throw py::error_already_set();
  }
  if (t.size() != 2) {
    if (t.size() > 2)
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    else
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", (Py_ssize_t)t.size());
    throw py::error_already_set();
  }
  return {t[0], t[1]};
}

// ---------------------------------------------------------------- keys and error records

py::str get_package_key(py::str name, py::str version, OptList extras) {
  py::str key = name + py::str("==") + version;
  if (extras.is_none() || py::len(extras) == 0) return key;
  for (py::handle e : extras)
    if (!PyUnicode_CheckExact(e.ptr())) tv::raise_arg_type("_get_package_key", "extras", "list of str or None", e.ptr());
  py::list sorted = new_list(extras);
  sorted.attr("sort")();
  return key + py::str("[") + py::str(",").attr("join")(sorted) + py::str("]");
}

py::object find_package_by_name(py::list packages, py::str package_name) {
  py::object wanted = package_name.attr("lower")();
  for (py::handle entry : packages) {
    py::object name = py::reinterpret_borrow<py::object>(entry)[py::str("name")];
    if (name.attr("lower")().equal(wanted)) return py::reinterpret_borrow<py::object>(entry);
  }
  return py::none();
}

py::list find_direct_packages_for_dependency(py::str workbook_id, py::str) {
  py::list names;
  py::object packages = dict_get(mgr().attr("workbook_packages"), workbook_id, py::list());
  for (py::handle entry : packages) names.append(py::reinterpret_borrow<py::object>(entry)[py::str("name")]);
  return names;
}

void record_package_error(py::str workbook_id, py::str failed_package, py::str error_msg, OptStr direct_package) {
  py::dict errors = as_dict(workbook_map("package_errors", workbook_id), "package_errors entry");
  bool has_direct = text_nonempty(direct_package);
  py::object target = has_direct ? py::object(direct_package) : py::object(failed_package);
  if (!errors.contains(target)) errors[target] = py::list();
  py::object text = error_msg;
  if (has_direct && !direct_package.equal(failed_package))
    text = fmt("Dependency '{}':\n{}", failed_package, error_msg);
  errors[target].attr("append")(text);
}

// ---------------------------------------------------------------- first pass

// Files one failure of the first pass: record, error texts, status, console line.
Task file_first_pass_failure(py::str workbook_id, py::object resolved_pkg, py::object spec, py::object error_text,
                             py::object packages, py::list failed_packages, py::str extras_str) {
  py::dict record;
  record["pkg"] = resolved_pkg;
  record["spec"] = spec;
  record["error"] = error_text;
  record["is_direct"] = resolved_pkg.attr("is_direct");
  failed_packages.append(record);
  bool direct = truthy(resolved_pkg.attr("is_direct"));
  if (direct) {
    G("record_package_error")(workbook_id, spec.attr("name"), error_text);
  } else {
    for (py::handle source : resolved_pkg.attr("source"))
      G("record_package_error")(workbook_id, spec.attr("name"), error_text, source);
  }
  if (direct) {
    py::object entry = find_entry(packages, spec.attr("name"));
    if (!entry.is_none()) entry[py::str("status")] = "error";
  }
  co_await to_ide(pip_output(workbook_id, "error",
                             fmt("{}{}=={}: {}", spec.attr("name"), extras_str, spec.attr("version"), error_text)));
  co_return py::none();
}

// Reads one install stream to its end and answers (path, error, cached). Standard
// error lines are kept for the package; with `echo` every line also goes to the
// IDEs as it comes, as the first pass shows them.
Task read_install_stream(py::str workbook_id, py::object key, py::object stream, py::object spec, py::str extras_str,
                         py::bool_ echo) {
  const bool loud = truthy(echo);
  py::object name = spec.attr("name");
  py::object version = spec.attr("version");
  py::object path = py::none();
  py::object error_msg = py::none();
  bool cached = false;
  py::object it = async_iter(stream);
  for (;;) {
    py::object item = co_await async_next(it);
    if (item.is(async_end())) break;
    auto [kind, content] = unpack_pair(item);
    if (is_kind(kind, "path")) {
      path = content;
    } else if (is_kind(kind, "cached")) {
      path = content;
      cached = true;
    } else if (is_kind(kind, "stderr")) {
      workbook_map("package_stderr", workbook_id)[key].attr("append")(content);
      if (loud) co_await to_ide(pip_output(workbook_id, "stderr", content));
    } else if (is_kind(kind, "stdout")) {
      if (loud) co_await to_ide(pip_output(workbook_id, "stdout", content));
    } else if (is_kind(kind, "success")) {
      if (!loud) continue;
      if (cached)
        co_await to_ide(
            pip_output(workbook_id, "cached", fmt("Using cached {}{}=={} from {}", name, extras_str, version, path)));
      else
        co_await to_ide(
            pip_output(workbook_id, "success", fmt("Installed {}{}=={} to {}", name, extras_str, version, path)));
    } else if (is_kind(kind, "error")) {
      error_msg = content;
      if (loud) log_error(fmt("Error installing {}: {}", name, content));
    }
  }
  co_return py::make_tuple(path, error_msg, py::bool_(cached));
}

Task install_one(py::str workbook_id, py::object resolved_pkg, py::object packages, py::list installed_paths,
                 py::list successful_paths, py::list failed_packages) {
  py::object spec = resolved_pkg.attr("spec");
  py::object name = spec.attr("name");
  py::object version = spec.attr("version");

  if (truthy(spec.attr("from_dist"))) {
    py::str extras_str = extras_display(spec.attr("extras"));
    log_info(fmt("Skipping {}=={} (from current environment)", name, version));
    co_await to_ide(pip_output(workbook_id, "success",
                               fmt("\u2713 {}{}=={} (from current environment)", name, extras_str, version)));
    if (truthy(resolved_pkg.attr("is_direct"))) {
      py::object entry = find_entry(packages, name);
      if (!entry.is_none()) entry[py::str("status")] = "installed";
      co_await to_ide(packages_update(workbook_id, packages));
    }
    co_return py::none();
  }

  py::object key = package_key(spec);
  workbook_map("package_stderr", workbook_id)[key] = py::list();
  if (truthy(resolved_pkg.attr("is_direct"))) {
    py::object entry = find_entry(packages, name);
    if (!entry.is_none()) entry[py::str("status")] = "installing";
    co_await to_ide(packages_update(workbook_id, packages));
  }
  py::str extras_str = extras_display(spec.attr("extras"));
  co_await to_ide(pip_output(workbook_id, "stdout", fmt("Processing {}{}=={}...", name, extras_str, version)));

  std::optional<Caught> caught;
  try {
    py::tuple end = co_await read_install_stream(
        workbook_id, key, G("package_manager").attr("install_package_to_cache")(name, version, spec.attr("extras")),
        spec, extras_str, py::bool_(true));
    py::object path = end[0];
    py::object error_msg = end[1];
    if (!path.is_none() && truthy(path)) {
      installed_paths.append(path);
      successful_paths.append(path);
      log_info(fmt("Installed {}=={} to {}", name, version, path));
    } else {
      // A stream that ends without a directory has not installed anything,
      // whether or not it said why.
      py::object text = (!error_msg.is_none() && truthy(error_msg))
                            ? error_msg
                            : py::object(py::str("Installation ended without an install directory"));
      co_await file_first_pass_failure(workbook_id, resolved_pkg, spec, text, packages, failed_packages, extras_str);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    caught = Caught{e.value(), py::str(e.value())};
  } catch (const std::exception& e) {
    caught = Caught{py::none(), py::str(e.what())};
  }
  if (caught) {
    log_error(fmt("Error installing {}: {}", name, caught->text));
    co_await file_first_pass_failure(workbook_id, resolved_pkg, spec, caught->text, packages, failed_packages,
                                     extras_str);
  }
  co_return py::none();
}

// ---------------------------------------------------------------- retry passes

// One retried package; appends the record to new_failed when it fails again.
Task retry_one(py::str workbook_id, py::dict fail_info, py::object packages, py::dict env, py::list installed_paths,
               py::list successful_paths, py::list new_failed) {
  py::object spec = fail_info["spec"];
  py::object name = spec.attr("name");
  py::object version = spec.attr("version");
  py::object key = package_key(spec);
  py::str extras_str = extras_display(spec.attr("extras"));
  workbook_map("package_stderr", workbook_id)[key] = py::list();

  std::optional<Caught> caught;
  try {
    py::tuple end = co_await read_install_stream(
        workbook_id, key,
        G("package_manager").attr("install_package_to_cache")(name, version, spec.attr("extras"), "env"_a = env),
        spec, extras_str, py::bool_(false));
    py::object path = end[0];
    py::object error_msg = end[1];
    bool cached = truthy(end[2]);
    if (path.is_none() || !truthy(path)) {
      new_failed.append(fail_info);
      if (!error_msg.is_none() && truthy(error_msg)) fail_info["error"] = error_msg;
    } else {
      successful_paths.append(path);
      installed_paths.append(path);
      prepend_python_path(env, py::make_tuple(path));
      py::dict all_stderr = as_dict(mgr().attr("package_stderr"), "package_stderr");
      if (all_stderr.contains(workbook_id)) all_stderr[workbook_id].attr("pop")(key, py::none());
      bool direct = truthy(fail_info["is_direct"]);
      py::dict all_errors = as_dict(mgr().attr("package_errors"), "package_errors");
      if (direct && all_errors.contains(workbook_id)) all_errors[workbook_id].attr("pop")(name, py::none());
      if (cached)
        co_await to_ide(pip_output(workbook_id, "cached",
                                   fmt("Retry succeeded: {}{}=={} from cache {}", name, extras_str, version, path)));
      else
        co_await to_ide(pip_output(workbook_id, "success",
                                   fmt("Retry succeeded: {}{}=={} to {}", name, extras_str, version, path)));
      if (direct) {
        py::object entry = find_entry(packages, name);
        if (!entry.is_none()) entry[py::str("status")] = "installing";
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    caught = Caught{e.value(), py::str(e.value())};
  } catch (const std::exception& e) {
    caught = Caught{py::none(), py::str(e.what())};
  }
  if (caught) {
    log_error(fmt("Error retrying {}: {}", name, caught->text));
    fail_info["error"] = caught->text;
    new_failed.append(fail_info);
  }
  co_return py::none();
}

// Runs the retry passes and returns the records that still fail.
Task retry_passes(py::str workbook_id, py::list failed_packages, py::object packages, py::list installed_paths,
                  py::list successful_paths) {
  const long max_retries = 10;
  long retry_count = 0;
  while (py::len(failed_packages) > 0 && retry_count < max_retries) {
    size_t previous_error_count = py::len(failed_packages);
    py::dict env = G("os").attr("environ").attr("copy")();
    prepend_python_path(env, successful_paths);

    py::dict start;
    start["type"] = "pip_output";
    start["workbook_id"] = workbook_id;
    start["message"] =
        fmt("Retrying {} failed package(s) with enhanced environment...", py::len(failed_packages));
    co_await to_ide(start);

    py::list new_failed;
    for (py::handle fail_info : new_list(failed_packages))
      co_await retry_one(workbook_id, as_dict(fail_info, "failed package record"), packages, env, installed_paths,
                         successful_paths, new_failed);
    failed_packages = new_failed;
    ++retry_count;
    if (py::len(failed_packages) >= previous_error_count) break;
  }
  co_return failed_packages;
}

// ---------------------------------------------------------------- the run

Task final_report(py::str workbook_id, py::list failed_packages, py::object packages, py::object result) {
  co_await to_ide(
      pip_output(workbook_id, "error", fmt("{} package(s) failed to install after retries:", py::len(failed_packages))));
  py::dict final_errors;
  for (py::handle rec_h : failed_packages) {
    py::dict rec = as_dict(rec_h, "failed package record");
    py::object spec = rec["spec"];
    py::object name = spec.attr("name");
    py::object key = package_key(spec);
    py::str extras_str = extras_display(spec.attr("extras"));
    py::object stderr_lines = dict_get(dict_get(mgr().attr("package_stderr"), workbook_id, py::dict()), key, py::list());
    co_await to_ide(pip_output(workbook_id, "error",
                               fmt("  - {}{}=={}: {}", name, extras_str, spec.attr("version"), rec["error"])));
    py::object pkg = rec["pkg"];
    pkg.attr("is_error") = true;
    if (truthy(rec["is_direct"])) {
      if (final_errors.contains(name))
        final_errors[name].attr("append")("\n");
      else
        final_errors[name] = py::list();
      if (truthy(stderr_lines))
        final_errors[name].attr("extend")(stderr_lines);
      else
        final_errors[name].attr("append")(rec["error"]);
      py::object entry = find_entry(packages, name);
      if (!entry.is_none()) entry[py::str("status")] = "error";
    } else {
      for (py::handle direct_pkg : pkg.attr("source")) {
        if (!final_errors.contains(direct_pkg))
          final_errors[direct_pkg] = py::list();
        else
          final_errors[direct_pkg].attr("append")("\n");
        final_errors[direct_pkg].attr("append")(fmt("Dependency '{}':\n{}", name, rec["error"]));
        final_errors[direct_pkg].attr("extend")(stderr_lines);
      }
    }
  }
  mgr().attr("package_errors")[workbook_id] = final_errors;
  mgr().attr("workbook_resolved_deps")[workbook_id] = resolved_records(result.attr("packages"));
  co_return py::none();
}

Task publish(py::str workbook_id, py::object packages, py::list installed_paths, py::object old_paths) {
  py::object errors = dict_get(mgr().attr("package_errors"), workbook_id, py::dict());
  // A dependency's error is filed under the name its resolution gave the
  // direct package, which may be spelled otherwise than the workbook's entry.
  py::set failing;
  for (py::handle name : errors) failing.add(canonical_name(name));
  for (py::handle entry_h : packages) {
    py::object entry = py::reinterpret_borrow<py::object>(entry_h);
    py::object status = entry.attr("get")("status");
    if (status.is_none()) continue;
    bool unsettled = false;
    for (const char* s : {"installing", "resolving", "pending", "pending_update"})
      if (status.equal(py::str(s))) unsettled = true;
    if (!unsettled) continue;
    bool failed = failing.contains(canonical_name(entry[py::str("name")]));
    entry[py::str("status")] = failed ? "installed_with_errors" : "installed";
  }
  co_await to_ide(packages_update(workbook_id, packages));
  mgr().attr("workbook_installed_packages")[workbook_id] = new_list(packages);
  mgr().attr("workbook_package_paths")[workbook_id] = installed_paths;
  if (py::len(installed_paths) > 0) {
    py::dict paths;
    paths["type"] = "set_package_paths";
    paths["old_paths"] = old_paths;
    paths["new_paths"] = installed_paths;
    co_await mgr().attr("send_message")("kernel", workbook_id, paths);
    log_info(fmt("Sent {} package paths to kernel for workbook {}", py::len(installed_paths), workbook_id));
    py::dict updated;
    updated["type"] = "package_paths_updated";
    updated["workbook_id"] = workbook_id;
    updated["paths"] = installed_paths;
    updated["old_paths"] = old_paths;
    co_await to_ide(updated);
  }
  py::dict save;
  save["type"] = "save_workbook_packages";
  save["packages"] = packages;
  co_await mgr().attr("send_message")("addin", workbook_id, save);
  log_info(fmt("Sent package list to Add-in for persistence: {} packages", py::len(packages)));
  // An entry that lost its status meanwhile counts as not installed; it must not
  // turn a finished run into a failure report.
  long installed_count = 0;
  for (py::handle entry : packages) {
    py::object status = py::reinterpret_borrow<py::object>(entry).attr("get")("status");
    if (PyUnicode_Check(status.ptr()) && truthy(status.attr("startswith")("installed"))) ++installed_count;
  }
  co_await to_ide(installation_complete(
      workbook_id, fmt("\u2713 Installation complete. {} package(s) installed.", installed_count)));
  co_return py::none();
}

Task run_installation(py::str workbook_id) {
  py::object packages = dict_get(mgr().attr("workbook_packages"), workbook_id, py::list());
  if (!truthy(packages)) {
    log_info(py::str("No packages to install for workbook ") + workbook_id);
    co_return py::none();
  }

  py::object old_paths = dict_get(mgr().attr("workbook_package_paths"), workbook_id, py::list());
  if (truthy(old_paths)) {
    log_info(fmt("Unloading modules from {} paths for workbook {}", py::len(old_paths), workbook_id));
    py::dict unload;
    unload["type"] = "unload_and_clear_paths";
    unload["paths"] = old_paths;
    co_await mgr().attr("send_message")("kernel", workbook_id, unload);
    mgr().attr("workbook_package_paths")[workbook_id] = py::list();
  }

  py::list to_remove, to_install;
  for (py::handle entry : packages) {
    if (py::reinterpret_borrow<py::object>(entry).attr("get")("status").equal(py::str("to_remove")))
      to_remove.append(entry);
    else
      to_install.append(entry);
  }
  mgr().attr("package_errors")[workbook_id] = py::dict();
  if (py::len(to_remove) > 0) {
    mgr().attr("workbook_packages")[workbook_id] = to_install;
    packages = to_install;
    log_info(fmt("Removed {} packages marked for removal", py::len(to_remove)));
    co_await to_ide(packages_update(workbook_id, packages));
  }

  if (!truthy(packages)) {
    log_info(py::str("No packages to install after removing marked packages for workbook ") + workbook_id);
    py::dict save;
    save["type"] = "save_workbook_packages";
    save["packages"] = py::list();
    co_await mgr().attr("send_message")("addin", workbook_id, save);
    co_await to_ide(installation_complete(workbook_id, py::str("\u2713 All packages removed. No packages to install.")));
    co_return py::none();
  }

  for (py::handle entry : packages) py::reinterpret_borrow<py::object>(entry)[py::str("status")] = "resolving";
  co_await to_ide(packages_update(workbook_id, packages));

  py::object pm = G("package_manager");
  py::object resolver = G("DependencyResolver")("settings_manager"_a = pm.attr("settings_manager"),
                                                "package_cache"_a = pm.attr("package_cache"));
  py::list specs;
  for (py::handle entry_h : packages) {
    py::object entry = py::reinterpret_borrow<py::object>(entry_h);
    specs.append(G("PackageSpec")("name"_a = entry[py::str("name")], "version"_a = entry[py::str("version")],
                                  "extras"_a = entry.attr("get")("extras", py::list())));
  }
  log_info(fmt("Resolving dependencies for {} packages in workbook {}", py::len(specs), workbook_id));
  co_await to_ide(pip_output(workbook_id, "stdout", fmt("Resolving dependencies for {} package(s)...", py::len(specs))));

  py::object result = co_await resolver.attr("resolve")(specs);

  if (!truthy(result.attr("success"))) {
    log_error(fmt("Dependency resolution failed for workbook {}: {}", workbook_id, result.attr("errors")));
    for (py::handle entry : packages) py::reinterpret_borrow<py::object>(entry)[py::str("status")] = "error";
    co_await to_ide(packages_update(workbook_id, packages, false));
    for (py::handle err : new_list(result.attr("errors"))) co_await to_ide(pip_error_first(workbook_id, py::str(err)));
    co_return py::none();
  }

  mgr().attr("workbook_resolved_deps")[workbook_id] = resolved_records(result.attr("packages"));
  co_await to_ide(pip_output(workbook_id, "success",
                             fmt("Resolved {} package(s) including dependencies", py::len(result.attr("packages")))));
  py::object conflicts = result.attr("conflicts");
  if (truthy(conflicts)) {
    log_warning(fmt("Found {} version conflicts: {}", py::len(conflicts), conflicts));
    for (py::handle c : new_list(conflicts))
      co_await to_ide(pip_output(workbook_id, "warning", py::str("WARNING: Version conflict: ") + py::str(c)));
  }

  py::list installed_paths, successful_paths, failed_packages;
  workbook_map("package_stderr", workbook_id);
  for (py::handle resolved_pkg : new_list(result.attr("packages")))
    co_await install_one(workbook_id, py::reinterpret_borrow<py::object>(resolved_pkg), packages, installed_paths,
                         successful_paths, failed_packages);

  py::object still_failing =
      co_await retry_passes(workbook_id, failed_packages, packages, installed_paths, successful_paths);
  py::list remaining = as_list(still_failing, "failed packages");

  if (py::len(remaining) > 0)
    co_await final_report(workbook_id, remaining, packages, result);
  else
    mgr().attr("package_errors")[workbook_id] = py::dict();

  co_await publish(workbook_id, packages, installed_paths, old_paths);
  co_return py::none();
}

Task handle_workbook_packages_install(py::str workbook_id) {
  // Runs on every exit, cancellation included, after the failure report.
  Finally record_list{[workbook_id] {
    py::object manager = G("manager");
    py::object current = dict_get(manager.attr("workbook_packages"), workbook_id, py::none());
    manager.attr("workbook_installed_packages")[workbook_id] = current.is_none() ? py::list() : new_list(current);
  }};
  std::optional<Caught> caught;
  try {
    co_await run_installation(workbook_id);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    caught = Caught{e.value(), py::str(e.value())};
  } catch (const std::exception& e) {
    caught = Caught{py::none(), py::str(e.what())};
  }
  if (caught) {
    G("logger").attr("error")(fmt("Package installation failed for {}: {}", workbook_id, caught->text),
                              "exc_info"_a = caught->value.is_none() ? py::object(py::bool_(true)) : caught->value);
    py::dict all = as_dict(mgr().attr("workbook_packages"), "workbook_packages");
    if (all.contains(workbook_id)) {
      co_await to_ide(packages_update(workbook_id, all[workbook_id], false));
      co_await to_ide(pip_error_first(workbook_id, py::str("Installation failed: ") + caught->text));
    }
  }
  co_return py::none();
}

}  // namespace

void define_package_installation(Scope& m) {
  tv::def<&get_package_key>(m, "_get_package_key", {"name", "version", {"extras", py::none()}});
  tv::def<&find_package_by_name>(m, "_find_package_by_name", {"packages", "package_name"});
  tv::def<&find_direct_packages_for_dependency>(m, "_find_direct_packages_for_dependency",
                                                {"workbook_id", "dep_name"});
  tv::def<&record_package_error>(m, "record_package_error",
                                 {"workbook_id", "failed_package", "error_msg", {"direct_package", py::none()}});
  tv::def<&handle_workbook_packages_install>(m, "handle_workbook_packages_install", {"workbook_id"});
}

}  // namespace relvane
