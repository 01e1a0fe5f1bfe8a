// Installation of a workbook's packages: unload the previous paths, drop the
// entries marked for removal, resolve the whole tree, install it into the
// package cache (with retry passes that see what already succeeded), report
// every step to the IDE and hand the result to the kernel and the add-in.
#include <memory>

#include "business_layer/relvane/package_install/package_install.hpp"

namespace relvane {

namespace {

// ---------------------------------------------------------------- small helpers

bool is_kind(py::handle kind, PyObject* name) { return kind.equal(py::handle(name)); }

// Extras in the given order, or "" without extras.
py::str extras_display(py::handle extras) {
  if (extras.is_none() || !truthy(extras)) return py::str("");
  return bracketed(extras);
}

py::object package_key(py::handle spec) {
  return call(G(K("_get_package_key")), attr(spec, K("name")), attr(spec, K("version")), attr(spec, K("extras")));
}

// Sets the "status" of the workbook's entry of that name, if there is one.
void set_status(py::handle packages, py::handle name, PyObject* status) {
  py::object entry = call(G(K("_find_package_by_name")), packages, name);
  if (!entry.is_none()) set_item(entry, K("status"), status);
}

// Puts `paths` ahead of the environment's PYTHONPATH. No entry is ever empty:
// an empty entry is the working directory on the installer's import path.
void prepend_python_path(py::dict env, py::handle paths) {
  py::object sep = attr(G(K("os")), K("pathsep"));
  py::list parts;
  for (py::handle p : paths)
    if (truthy(p)) parts.append(p);
  py::object existing = get(env, K("PYTHONPATH"), K(""));
  if (truthy(existing))
    for (py::handle p : call_method(existing, K("split"), sep))
      if (truthy(p)) parts.append(p);
  if (py::len(parts) > 0)
    set_item(env, K("PYTHONPATH"), call_method(sep, K("join"), parts));
  else
    call_method(env, K("pop"), K("PYTHONPATH"), py::none());
}

// Package names as the packaging ecosystem compares them: lower case, runs
// of "-", "_" and "." alike. Anything but text is left as it is.
py::object canonical_name(py::handle name) {
  static PyObject* canonicalize = tv::import_attr("packaging.utils", "canonicalize_name");
  if (!PyUnicode_Check(name.ptr())) return py::reinterpret_borrow<py::object>(name);
  return py::handle(canonicalize)(name);
}

// The line of an install that found its directory, from the cache or not.
py::dict installed_line(py::handle workbook_id, bool cached, py::handle text) {
  return pip_output(workbook_id, cached ? K("cached") : K("success"), text);
}

// Error lines of a failed resolution and of the run's guard name the kind first.
py::dict pip_error_first(py::handle workbook_id, py::handle message) {
  return dict_of({{K("type"), K("pip_output")},
                  {K("output_type"), K("error")},
                  {K("workbook_id"), workbook_id},
                  {K("message"), message}});
}

py::dict installation_complete(py::handle workbook_id, py::handle message) {
  return dict_of(
      {{K("type"), K("package_installation_complete")}, {K("workbook_id"), workbook_id}, {K("message"), message}});
}

// The completion line of a run whose resolution failed.
constexpr const char* kFailedResolution = "\u2717 Installation failed: the dependencies could not be resolved.";

py::list resolved_records(py::handle packages) {
  py::list records;
  for (py::handle r : packages) {
    py::object spec = attr(r, K("spec"));
    py::dict rec = dict_of({{K("name"), attr(spec, K("name"))},
                            {K("version"), attr(spec, K("version"))},
                            {K("extras"), attr(spec, K("extras"))},
                            {K("is_direct"), attr(r, K("is_direct"))},
                            {K("from_dist"), attr(spec, K("from_dist"))},
                            {K("source"), new_list(attr(r, K("source")))},
                            {K("is_error"), attr(r, K("is_error"))}});
    records.append(rec);
  }
  return records;
}

// Awaits `work` and answers None, or the ordinary error it raised as an
// exception object: its reporter awaits, which a catch block cannot.
// Cancellation and other BaseExceptions pass through.
Task guarded(Task work) {
  py::object error = py::none();
  try {
    co_await std::move(work);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    error = e.value();
  }
  co_return error;
}

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

// ---------------------------------------------------------------- first pass

// Files one failure of the first pass: record, error texts, status, console line.
Task file_first_pass_failure(py::str workbook_id, py::object resolved_pkg, py::object spec, py::object error_text,
                             py::object packages, py::list failed_packages, py::str extras_str) {
  py::object is_direct = attr(resolved_pkg, K("is_direct"));
  failed_packages.append(
      dict_of({{K("pkg"), resolved_pkg}, {K("spec"), spec}, {K("error"), error_text}, {K("is_direct"), is_direct}}));
  bool direct = truthy(is_direct);
  if (direct) {
    call(G(K("record_package_error")), workbook_id, attr(spec, K("name")), error_text);
  } else {
    for (py::handle source : attr(resolved_pkg, K("source")))
      call(G(K("record_package_error")), workbook_id, attr(spec, K("name")), error_text, source);
  }
  if (direct) {
    set_status(packages, attr(spec, K("name")), K("error"));
  }
  co_await to_ide(
      pip_output(workbook_id, K("error"),
                 fmt("{}{}=={}: {}", attr(spec, K("name")), extras_str, attr(spec, K("version")), error_text)));
  co_return py::none();
}

// Reads one install stream to its end and answers (path, error, cached). Standard
// error lines are kept for the package; with `echo` every line also goes to the
// IDEs as it comes, as the first pass shows them.
Task read_install_stream(py::str workbook_id, py::object key, py::object stream, py::object spec, py::str extras_str,
                         py::bool_ echo) {
  const bool loud = truthy(echo);
  py::object name = attr(spec, K("name"));
  py::object version = attr(spec, K("version"));
  py::object path = py::none();
  py::object error_msg = py::none();
  bool cached = false;
  py::object it = async_iter(stream);
  for (;;) {
    py::object item = co_await async_next(it);
    if (item.is(async_end())) break;
    auto [kind, content] = unpack_pair(item);
    if (is_kind(kind, K("path"))) {
      path = content;
    } else if (is_kind(kind, K("cached"))) {
      path = content;
      cached = true;
    } else if (is_kind(kind, K("stderr"))) {
      call_method(py::object(workbook_map(K("package_stderr"), workbook_id)[key]), K("append"), content);
      if (loud) co_await to_ide(pip_output(workbook_id, K("stderr"), content));
    } else if (is_kind(kind, K("stdout"))) {
      if (loud) co_await to_ide(pip_output(workbook_id, K("stdout"), content));
    } else if (is_kind(kind, K("success"))) {
      if (!loud) continue;
      py::str line = cached ? fmt("Using cached {}{}=={} from {}", name, extras_str, version, path)
                            : fmt("Installed {}{}=={} to {}", name, extras_str, version, path);
      co_await to_ide(installed_line(workbook_id, cached, line));
    } else if (is_kind(kind, K("error"))) {
      error_msg = content;
      if (loud) log_error(fmt("Error installing {}: {}", name, content));
    }
  }
  co_return py::make_tuple(path, error_msg, py::bool_(cached));
}

// The first pass's install of one package from its stream; a failure the
// stream reports is filed here.
Task install_from_stream(py::str workbook_id, py::object resolved_pkg, py::object key, py::str extras_str,
                         py::object packages, py::list installed_paths, py::list failed_packages) {
  py::object spec = attr(resolved_pkg, K("spec"));
  py::object name = attr(spec, K("name"));
  py::object version = attr(spec, K("version"));
  py::tuple end = co_await read_install_stream(
      workbook_id, key,
      call_method(G(K("package_manager")), K("install_package_to_cache"), name, version, attr(spec, K("extras"))), spec,
      extras_str, py::bool_(true));
  py::object path = end[0];
  py::object error_msg = end[1];
  if (!path.is_none() && truthy(path)) {
    installed_paths.append(path);
    log_info(fmt("Installed {}=={} to {}", name, version, path));
  } else {
    // A stream that ends without a directory has not installed anything,
    // whether or not it said why.
    py::object text = (!error_msg.is_none() && truthy(error_msg))
                          ? error_msg
                          : py::object(py::str("Installation ended without an install directory"));
    co_await file_first_pass_failure(workbook_id, resolved_pkg, spec, text, packages, failed_packages, extras_str);
  }
  co_return py::none();
}

Task install_one(py::str workbook_id, py::object resolved_pkg, py::object packages, py::list installed_paths,
                 py::list failed_packages) {
  py::object spec = attr(resolved_pkg, K("spec"));
  py::object name = attr(spec, K("name"));
  py::object version = attr(spec, K("version"));
  py::str extras_str = extras_display(attr(spec, K("extras")));

  if (truthy(attr(spec, K("from_dist")))) {
    log_info(fmt("Skipping {}=={} (from current environment)", name, version));
    co_await to_ide(pip_output(workbook_id, K("success"),
                               fmt("\u2713 {}{}=={} (from current environment)", name, extras_str, version)));
    if (truthy(attr(resolved_pkg, K("is_direct")))) {
      set_status(packages, name, K("installed"));
      co_await to_ide(packages_update(workbook_id, packages));
    }
    co_return py::none();
  }

  py::object key = package_key(spec);
  set_item(workbook_map(K("package_stderr"), workbook_id), key, py::list());
  if (truthy(attr(resolved_pkg, K("is_direct")))) {
    set_status(packages, name, K("installing"));
    co_await to_ide(packages_update(workbook_id, packages));
  }
  co_await to_ide(pip_output(workbook_id, K("stdout"), fmt("Processing {}{}=={}...", name, extras_str, version)));

  py::object error = co_await guarded(
      install_from_stream(workbook_id, resolved_pkg, key, extras_str, packages, installed_paths, failed_packages));
  if (!error.is_none()) {
    py::str text(error);
    log_error(fmt("Error installing {}: {}", name, text));
    co_await file_first_pass_failure(workbook_id, resolved_pkg, spec, text, packages, failed_packages, extras_str);
  }
  co_return py::none();
}

// ---------------------------------------------------------------- retry passes

// One retried package, installed with `env`; appends the record to
// new_failed when it fails again.
Task retry_from_stream(py::str workbook_id, py::dict fail_info, py::object key, py::str extras_str, py::object packages,
                       py::dict env, py::list installed_paths, py::list new_failed) {
  py::object spec = fail_info[K("spec")];
  py::object name = attr(spec, K("name"));
  py::object version = attr(spec, K("version"));
  py::tuple end = co_await read_install_stream(workbook_id, key,
                                               attr(G(K("package_manager")), K("install_package_to_cache"))(
                                                   name, version, attr(spec, K("extras")), "env"_a = env),
                                               spec, extras_str, py::bool_(false));
  py::object path = end[0];
  py::object error_msg = end[1];
  bool cached = truthy(end[2]);
  if (path.is_none() || !truthy(path)) {
    new_failed.append(fail_info);
    if (!error_msg.is_none() && truthy(error_msg)) set_item(fail_info, K("error"), error_msg);
    co_return py::none();
  }
  installed_paths.append(path);
  prepend_python_path(env, py::make_tuple(path));
  py::dict all_stderr = as_dict(attr(mgr(), K("package_stderr")), "package_stderr");
  if (all_stderr.contains(workbook_id)) call_method(all_stderr[workbook_id], K("pop"), key, py::none());
  bool direct = truthy(fail_info[K("is_direct")]);
  py::dict all_errors = as_dict(attr(mgr(), K("package_errors")), "package_errors");
  if (direct && all_errors.contains(workbook_id)) call_method(all_errors[workbook_id], K("pop"), name, py::none());
  py::str line = cached ? fmt("Retry succeeded: {}{}=={} from cache {}", name, extras_str, version, path)
                        : fmt("Retry succeeded: {}{}=={} to {}", name, extras_str, version, path);
  co_await to_ide(installed_line(workbook_id, cached, line));
  if (direct) set_status(packages, name, K("installing"));
  co_return py::none();
}

Task retry_one(py::str workbook_id, py::dict fail_info, py::object packages, py::dict env, py::list installed_paths,
               py::list new_failed) {
  py::object spec = fail_info[K("spec")];
  py::object key = package_key(spec);
  py::str extras_str = extras_display(attr(spec, K("extras")));
  set_item(workbook_map(K("package_stderr"), workbook_id), key, py::list());

  py::object error = co_await guarded(
      retry_from_stream(workbook_id, fail_info, key, extras_str, packages, env, installed_paths, new_failed));
  if (!error.is_none()) {
    py::str text(error);
    log_error(fmt("Error retrying {}: {}", attr(spec, K("name")), text));
    set_item(fail_info, K("error"), text);
    new_failed.append(fail_info);
  }
  co_return py::none();
}

// Runs the retry passes and returns the records that still fail.
Task retry_passes(py::str workbook_id, py::list failed_packages, py::object packages, py::list installed_paths) {
  const long max_retries = 10;
  long retry_count = 0;
  while (py::len(failed_packages) > 0 && retry_count < max_retries) {
    size_t previous_error_count = py::len(failed_packages);
    py::dict env = call_method(attr(G(K("os")), K("environ")), K("copy"));
    prepend_python_path(env, installed_paths);

    py::str line = fmt("Retrying {} failed package(s) with enhanced environment...", py::len(failed_packages));
    py::dict start = dict_of({{K("type"), K("pip_output")}, {K("workbook_id"), workbook_id}, {K("message"), line}});
    co_await to_ide(start);

    py::list new_failed;
    for (py::handle fail_info : new_list(failed_packages))
      co_await retry_one(workbook_id, as_dict(fail_info, "failed package record"), packages, env, installed_paths,
                         new_failed);
    failed_packages = new_failed;
    ++retry_count;
    if (py::len(failed_packages) >= previous_error_count) break;
  }
  co_return failed_packages;
}

// ---------------------------------------------------------------- the run

// The error lines filed under `package`, after a "\n" that parts them from
// the lines already there.
py::object error_lines(py::dict final_errors, py::handle package) {
  py::object lines = find(final_errors, package);
  if (!lines) {
    lines = py::list();
    set_item(final_errors, package, lines);
  } else {
    call_method(lines, K("append"), K("\n"));
  }
  return lines;
}

Task final_report(py::str workbook_id, py::list failed_packages, py::object packages, py::object result) {
  co_await to_ide(pip_output(workbook_id, K("error"),
                             fmt("{} package(s) failed to install after retries:", py::len(failed_packages))));
  py::dict final_errors;
  for (py::handle rec_h : snapshot(failed_packages)) {
    py::dict rec = as_dict(rec_h, "failed package record");
    py::object spec = rec[K("spec")];
    py::object name = attr(spec, K("name"));
    py::object key = package_key(spec);
    py::str extras_str = extras_display(attr(spec, K("extras")));
    py::object stderr_lines = get(get(attr(mgr(), K("package_stderr")), workbook_id, py::dict()), key, py::list());
    co_await to_ide(pip_output(workbook_id, K("error"),
                               fmt("  - {}{}=={}: {}", name, extras_str, attr(spec, K("version")), rec[K("error")])));
    py::object pkg = rec[K("pkg")];
    if (PyObject_SetAttr(pkg.ptr(), K("is_error"), Py_True) < 0) throw py::error_already_set();
    if (truthy(rec[K("is_direct")])) {
      py::object lines = error_lines(final_errors, name);
      if (truthy(stderr_lines))
        call_method(lines, K("extend"), stderr_lines);
      else
        call_method(lines, K("append"), rec[K("error")]);
      set_status(packages, name, K("error"));
    } else {
      for (py::handle direct_pkg : attr(pkg, K("source"))) {
        py::object lines = error_lines(final_errors, direct_pkg);
        call_method(lines, K("append"), fmt("Dependency '{}':\n{}", name, rec[K("error")]));
        call_method(lines, K("extend"), stderr_lines);
      }
    }
  }
  attr(mgr(), K("package_errors"))[workbook_id] = final_errors;
  attr(mgr(), K("workbook_resolved_deps"))[workbook_id] = resolved_records(attr(result, K("packages")));
  co_return py::none();
}

Task publish(py::str workbook_id, py::object packages, py::list installed_paths, py::object old_paths) {
  py::object errors = get(attr(mgr(), K("package_errors")), workbook_id, py::dict());
  // A dependency's error is filed under the name its resolution gave the
  // direct package, which may be spelled otherwise than the workbook's entry.
  py::set failing;
  for (py::handle name : errors) failing.add(canonical_name(name));
  for (py::handle entry_h : packages) {
    py::object entry = py::reinterpret_borrow<py::object>(entry_h);
    py::object status = entry_status(entry);
    if (status.is_none()) continue;
    bool unsettled = false;
    for (PyObject* s : {K("installing"), K("resolving"), K("pending"), K("pending_update")})
      if (status.equal(py::handle(s))) unsettled = true;
    if (!unsettled) continue;
    bool failed = failing.contains(canonical_name(get(entry, K("name"))));
    set_item(entry, K("status"), failed ? K("installed_with_errors") : K("installed"));
  }
  co_await to_ide(packages_update(workbook_id, packages));
  attr(mgr(), K("workbook_installed_packages"))[workbook_id] = new_list(packages);
  attr(mgr(), K("workbook_package_paths"))[workbook_id] = installed_paths;
  if (py::len(installed_paths) > 0) {
    py::dict paths =
        dict_of({{K("type"), K("set_package_paths")}, {K("old_paths"), old_paths}, {K("new_paths"), installed_paths}});
    co_await call_method(mgr(), K("send_message"), K("kernel"), workbook_id, paths);
    log_info(fmt("Sent {} package paths to kernel for workbook {}", py::len(installed_paths), workbook_id));
    py::dict updated = dict_of({{K("type"), K("package_paths_updated")},
                                {K("workbook_id"), workbook_id},
                                {K("paths"), installed_paths},
                                {K("old_paths"), old_paths}});
    co_await to_ide(updated);
  }
  py::dict save = dict_of({{K("type"), K("save_workbook_packages")}, {K("packages"), packages}});
  co_await call_method(mgr(), K("send_message"), K("addin"), workbook_id, save);
  log_info(fmt("Sent package list to Add-in for persistence: {} packages", py::len(packages)));
  // An entry that lost its status meanwhile counts as not installed; it must not
  // turn a finished run into a failure report.
  long installed_count = 0;
  for (py::handle entry : packages) {
    py::object status = entry_status(entry);
    if (PyUnicode_Check(status.ptr()) && truthy(call_method(status, K("startswith"), K("installed"))))
      ++installed_count;
  }
  co_await to_ide(installation_complete(
      workbook_id, fmt("\u2713 Installation complete. {} package(s) installed.", installed_count)));
  co_return py::none();
}

// `valid` receives the entries the run marks "resolving", the ones it installs.
Task run_installation(py::str workbook_id, py::list valid) {
  py::object packages = get(attr(mgr(), K("workbook_packages")), workbook_id, py::list());
  if (!truthy(packages)) {
    log_info(py::str("No packages to install for workbook ") + workbook_id);
    co_return py::none();
  }

  py::object old_paths = get(attr(mgr(), K("workbook_package_paths")), workbook_id, py::list());
  if (truthy(old_paths)) {
    log_info(fmt("Unloading modules from {} paths for workbook {}", py::len(old_paths), workbook_id));
    py::dict unload = dict_of({{K("type"), K("unload_and_clear_paths")}, {K("paths"), old_paths}});
    co_await call_method(mgr(), K("send_message"), K("kernel"), workbook_id, unload);
    attr(mgr(), K("workbook_package_paths"))[workbook_id] = py::list();
  }

  py::list to_remove, to_install;
  for (py::handle entry : packages) {
    if (entry_status(entry).equal(py::handle(K("to_remove"))))
      to_remove.append(entry);
    else
      to_install.append(entry);
  }
  attr(mgr(), K("package_errors"))[workbook_id] = py::dict();
  if (py::len(to_remove) > 0) {
    attr(mgr(), K("workbook_packages"))[workbook_id] = to_install;
    packages = to_install;
    log_info(fmt("Removed {} packages marked for removal", py::len(to_remove)));
    co_await to_ide(packages_update(workbook_id, packages));
  }

  if (!truthy(packages)) {
    log_info(py::str("No packages to install after removing marked packages for workbook ") + workbook_id);
    py::list none;
    py::dict save = dict_of({{K("type"), K("save_workbook_packages")}, {K("packages"), none}});
    co_await call_method(mgr(), K("send_message"), K("addin"), workbook_id, save);
    co_await to_ide(installation_complete(workbook_id, py::str("\u2713 All packages removed. No packages to install.")));
    co_return py::none();
  }

  // The run goes on with the entries it can install; the others keep their
  // place in the list, which the workbook stores as it is.
  co_await mark_for_resolution(workbook_id, packages, valid);
  if (py::len(valid) == 0) {
    co_await publish(workbook_id, packages, py::list(), old_paths);
    co_return py::none();
  }

  py::object pm = G(K("package_manager"));
  py::object resolver = G(K("DependencyResolver"))("settings_manager"_a = attr(pm, K("settings_manager")),
                                                   "package_cache"_a = attr(pm, K("package_cache")));
  py::list specs;
  for (py::handle entry_h : valid) {
    py::object entry = py::reinterpret_borrow<py::object>(entry_h);
    specs.append(G(K("PackageSpec"))("name"_a = entry[K("name")], "version"_a = entry[K("version")],
                                     "extras"_a = get(entry, K("extras"), py::list())));
  }
  log_info(fmt("Resolving dependencies for {} packages in workbook {}", py::len(specs), workbook_id));
  co_await to_ide(
      pip_output(workbook_id, K("stdout"), fmt("Resolving dependencies for {} package(s)...", py::len(specs))));

  py::object result = co_await call_method(resolver, K("resolve"), specs);

  if (!truthy(attr(result, K("success")))) {
    log_error(fmt("Dependency resolution failed for workbook {}: {}", workbook_id, attr(result, K("errors"))));
    for (py::handle entry : valid) set_item(entry, K("status"), K("error"));
    co_await to_ide(packages_update(workbook_id, packages, false));
    for (py::handle err : new_list(attr(result, K("errors"))))
      co_await to_ide(pip_error_first(workbook_id, py::str(err)));
    co_await to_ide(installation_complete(workbook_id, py::str(kFailedResolution)));
    co_return py::none();
  }

  attr(mgr(), K("workbook_resolved_deps"))[workbook_id] = resolved_records(attr(result, K("packages")));
  co_await to_ide(
      pip_output(workbook_id, K("success"),
                 fmt("Resolved {} package(s) including dependencies", py::len(attr(result, K("packages"))))));
  py::object conflicts = attr(result, K("conflicts"));
  if (truthy(conflicts)) {
    log_warning(fmt("Found {} version conflicts: {}", py::len(conflicts), conflicts));
    for (py::handle c : new_list(conflicts))
      co_await to_ide(pip_output(workbook_id, K("warning"), py::str("WARNING: Version conflict: ") + py::str(c)));
  }

  // The directories installed so far, in order: the kernel's new paths, and
  // ahead of PYTHONPATH for the retry passes.
  py::list installed_paths, failed_packages;
  workbook_map(K("package_stderr"), workbook_id);
  for (py::handle resolved_pkg : new_list(attr(result, K("packages"))))
    co_await install_one(workbook_id, borrow(resolved_pkg.ptr()), valid, installed_paths, failed_packages);

  py::object still_failing = co_await retry_passes(workbook_id, failed_packages, valid, installed_paths);
  py::list remaining = as_list(still_failing, "failed packages");

  if (py::len(remaining) > 0)
    co_await final_report(workbook_id, remaining, valid, result);
  else
    attr(mgr(), K("package_errors"))[workbook_id] = py::dict();

  co_await publish(workbook_id, packages, installed_paths, old_paths);
  co_return py::none();
}

// A run cut short by its cancellation (its kernel or IDE left, the master
// stops) still tells the IDEs how its statuses ended, and that it is over.
Task report_cut_short(py::str workbook_id) {
  py::dict all = as_dict(attr(mgr(), K("workbook_packages")), "workbook_packages");
  if (all.contains(workbook_id)) co_await to_ide(packages_update(workbook_id, all[workbook_id], false));
  co_await to_ide(installation_complete(workbook_id, py::str("\u2717 Installation failed: the run was cancelled")));
  co_return py::none();
}

Task handle_workbook_packages_install(py::str workbook_id) {
  // The entries this run marked "resolving". A run that ends early (an error,
  // a cancellation) settles them; one that ended well has settled them itself,
  // and must not touch them again: a run that overlaps it may hold them now.
  py::list marked;
  auto reported = std::make_shared<bool>(false);  // its completion has been sent
  // Runs on every exit, cancellation included, after the failure report.
  Finally record_list{[workbook_id, marked, reported] {
    settle_unfinished(marked);
    py::object manager = G(K("manager"));
    py::object current = get(attr(manager, K("workbook_packages")), workbook_id, py::none());
    attr(manager, K("workbook_installed_packages"))[workbook_id] = current.is_none() ? py::list() : new_list(current);
    // Nothing can be awaited in a cancelled task: the report goes out on its own.
    if (!*reported && !call_method(G(K("asyncio")), K("_get_running_loop")).is_none())
      start_background_task(tv::as_awaitable(report_cut_short(workbook_id)));
  }};
  py::object error = co_await guarded(run_installation(workbook_id, marked));
  if (error.is_none()) {
    call_method(marked, K("clear"));
    *reported = true;
    co_return py::none();
  }
  settle_unfinished(marked);
  py::str text(error);
  attr(G(K("logger")), K("error"))(fmt("Package installation failed for {}: {}", workbook_id, text),
                                   "exc_info"_a = error);
  py::dict all = as_dict(attr(mgr(), K("workbook_packages")), "workbook_packages");
  if (all.contains(workbook_id)) {
    co_await to_ide(packages_update(workbook_id, all[workbook_id], false));
    co_await to_ide(pip_error_first(workbook_id, py::str("Installation failed: ") + text));
  }
  // The IDE's package view waits for this, however the run ended.
  co_await to_ide(installation_complete(workbook_id, py::str("\u2717 Installation failed: ") + text));
  *reported = true;
  co_return py::none();
}

}  // namespace

void define_package_installation(Scope& m) {
  define_package_records(m);
  tv::def<&handle_workbook_packages_install>(m, "handle_workbook_packages_install", {"workbook_id"});
}

}  // namespace relvane
