"""Workbook packages: the package cache, local installs and the IDE's package requests.

Installs never use the network: this machine reaches no package index. A
package gets into the cache (``<base_dir>/packages/<name>-<version>/``, one
directory per package and version, ready to be put on a kernel's import path)
only from a wheel that is already here, in the wheelhouse
``<base_dir>/wheels/``, installed by pip with ``--no-index --no-deps`` (the
resolver has already listed every dependency). A package already in the cache
is reported as cached; one found nowhere yields an "error" that says so. What
the running environment provides needs no install (the resolver marks it).

The IDE's requests (every field but "type" optional unless said; "request_id"
is copied into the answer). Every answer goes to the asking IDE only; its type
is the request's type without a trailing "_request", followed by "_response";
it carries "request_id", "success" and, when "success" is false, "error":

- "package_install_request" {"name", "version", "extras", "workbook_id"}:
  installs one package into the cache, streaming "pip_output" {"type",
  "workbook_id", "output_type", "message"} to the asking IDE; answer adds
  "name", "version", "path" (none when from the running environment or failed).
- "get_package_versions_request" {"name"}: answer adds "name", "versions"
  (newest first) and "installed_version" (the running environment's, or none).
- "get_package_extras_request" {"name", "version"}: answer adds "name",
  "version" and "extras".
- "get_package_info_request" {"name", "version"}: answer adds "name" and
  "info" {"name", "version", "summary", "requires", "extras", "origin"
  ("environment", "cache" or "wheelhouse"), "location"}.

Requests on a workbook's package list (all need "workbook_id"; answers add
"workbook_id", "packages" and, where one entry is meant, "package"):

- "add_workbook_package" {"name", "version", "extras"}: a new entry, "pending".
- "remove_workbook_package" {"name"}: the entry becomes "to_remove"; the next
  installation run drops it.
- "update_workbook_package" {"name", "version", "extras"}: the given fields
  change, the entry becomes "pending_update".
- "restore_workbook_packages": the list as of the last installation run.
- "update_package_status" {"name", "status"}: one of the eight statuses.
- "reorder_workbook_packages" {"order": [names]}: the named entries first, in
  that order, the others after them as they were.
- "install_workbook_packages": one whole installation run; "success" tells
  whether every entry ended installed.
- "get_workbook_packages": answer adds "python_paths" and "package_errors".
- "get_resolved_deps": answer adds "resolved_deps", the last resolved tree.
- "update_python_paths" {"python_paths": list of texts or of {"path"}}: the
  kernel gets "set_python_paths" {"old_paths", "new_paths"}; answer adds
  "python_paths".

After a change of the list or the paths every IDE gets "workbook_packages_update"
{"type", "workbook_id", "packages", "python_paths", "package_errors"} and the
workbook's add-in "save_workbook_packages" {"type", "packages", "python_paths"}
to store them in the workbook. Names are matched without regard to letter case.
"""
import asyncio
import contextlib
import copy
import os
import shutil
import sys
import tempfile
from pathlib import Path

from packaging.requirements import InvalidRequirement, Requirement
from packaging.specifiers import InvalidSpecifier
from packaging.utils import canonicalize_name

from ..logging_config import get_logger
from .dependency_resolver import (PackageSpec, satisfies, version_key, choose_candidate, find_candidates,
                                  version_specifier)

logger = get_logger(__name__)

STATUSES = ("pending", "pending_update", "to_remove", "resolving", "installing", "installed",
            "installed_with_errors", "error")
_LINE_LIMIT = 1 << 20


class PackageCache:
    """Where installed packages and the local wheels live; nothing is created
    until the first install."""

    def __init__(self, base_dir):
        self.root = Path(base_dir) / "packages"
        self.wheel_dir = Path(base_dir) / "wheels"

    def directory_for(self, name, version):
        return self.root / f"{canonicalize_name(name)}-{version}"


class PackageManager:
    def __init__(self, base_dir, settings_manager=None):
        self.base_dir = Path(base_dir)
        self.settings_manager = settings_manager
        self.package_cache = PackageCache(self.base_dir)

    async def install_package_to_cache(self, name, version, extras=None, env=None):
        """Yields (kind, content): "cached" or "path" with the directory, then
        "success"; "stdout"/"stderr" lines of pip; or one "error" text."""
        spec = PackageSpec(name=name, version=version, extras=extras)
        label = spec.requirement()
        try:
            specifier = version_specifier(spec.version)
        except InvalidSpecifier:
            yield ("error", f"{label}: '{spec.version}' is not a version")
            return
        candidates = await asyncio.to_thread(find_candidates, name, self.package_cache)
        cached = choose_candidate([c for c in candidates if c.origin == "cache"], specifier)
        if cached is not None:
            yield ("cached", cached.location)
            yield ("success", cached.location)
            return
        wheels = [c for c in candidates if c.origin == "wheelhouse" and satisfies(c.version, specifier)]
        if not wheels:
            present = [c.version for c in candidates if c.origin == "environment"]
            note = f" (the running environment has {present[0]})" if present else ""
            yield ("error", f"{label} is not available locally{note}: no package index is reachable from this "
                            f"machine, and neither the package cache nor the wheelhouse "
                            f"{self.package_cache.wheel_dir} holds a matching wheel")
            return
        wheel = max(wheels, key=lambda c: version_key(c.version))
        async for item in self._pip_install(wheel, env):
            yield item

    async def _pip_install(self, wheel, env):
        cache = self.package_cache
        cache.root.mkdir(parents=True, exist_ok=True)
        # Installed into a scratch directory first, so an interrupted install never looks cached.
        scratch = Path(tempfile.mkdtemp(prefix=".install-", dir=cache.root))
        argv = [sys.executable, "-m", "pip", "install", "--isolated", "--no-index", "--no-deps",
                "--no-input", "--disable-pip-version-check", "--root-user-action=ignore",
                "--target", str(scratch), wheel.location]
        proc = None
        readers = []
        try:
            try:
                proc = await asyncio.create_subprocess_exec(
                    *argv, stdin=asyncio.subprocess.DEVNULL, stdout=asyncio.subprocess.PIPE,
                    stderr=asyncio.subprocess.PIPE, env=env, limit=_LINE_LIMIT)
            except OSError as e:
                yield ("error", f"Could not start pip: {e}")
                return
            lines = asyncio.Queue()
            readers = [asyncio.create_task(_pump(proc.stdout, "stdout", lines)),
                       asyncio.create_task(_pump(proc.stderr, "stderr", lines))]
            open_streams = len(readers)
            while open_streams:
                item = await lines.get()
                if item is None:
                    open_streams -= 1
                else:
                    yield item
            code = await proc.wait()
            if code != 0:
                yield ("error", f"pip exited with status {code} while installing {Path(wheel.location).name}")
                return
            target = cache.directory_for(wheel.name, wheel.version)
            if target.exists():  # another install of the same version finished first
                shutil.rmtree(scratch, ignore_errors=True)
            else:
                os.rename(scratch, target)
            yield ("path", str(target))
            yield ("success", str(target))
        finally:
            for task in readers:
                task.cancel()
            if proc is not None and proc.returncode is None:
                with contextlib.suppress(ProcessLookupError):
                    proc.kill()
                await proc.wait()
            shutil.rmtree(scratch, ignore_errors=True)


async def _pump(stream, kind, lines):
    try:
        async for raw in stream:
            await lines.put((kind, raw.decode("utf-8", "replace").rstrip("\r\n")))
    finally:
        await lines.put(None)


# Handed over once by the business layer at start-up.
manager = None
package_manager = None
install_coroutine = None


def init_handlers(connection_manager, package_mgr, install):
    global manager, package_manager, install_coroutine
    manager = connection_manager
    package_manager = package_mgr
    install_coroutine = install


class _Refused(Exception):
    pass


def _ready(client_id, message):
    if not isinstance(client_id, str):
        raise TypeError(f"client_id must be str, not {type(client_id).__name__}")
    if not isinstance(message, dict):
        raise TypeError(f"message must be dict, not {type(message).__name__}")
    if manager is None:
        raise RuntimeError("Package handlers used before init_handlers")


async def _answer(client_id, message, answer_type, **fields):
    answer = {"type": answer_type, "request_id": message.get("request_id"), "success": True}
    answer.update(fields)
    await manager.send_message("ide", client_id, answer)


async def _refuse(client_id, message, answer_type, error):
    logger.warning(f"{message.get('type')} refused: {error}")
    await manager.send_message("ide", client_id, {"type": answer_type, "request_id": message.get("request_id"),
                                                  "success": False, "error": error})


def _text(message, key, required=True):
    value = message.get(key)
    if value is None and not required:
        return None
    if not isinstance(value, str) or not value:
        raise _Refused(f"'{key}' must be a non-empty text")
    return value


def _spec_from(message, name):
    version = message.get("version", "")
    extras = message.get("extras") or []
    if version is None:
        version = ""
    if not isinstance(version, str):
        raise _Refused("'version' must be text")
    if not isinstance(extras, list) or not all(isinstance(e, str) for e in extras):
        raise _Refused("'extras' must be a list of texts")
    spec = PackageSpec(name=name, version=version, extras=extras)
    try:
        Requirement(spec.requirement())
    except InvalidRequirement:
        raise _Refused(f"'{spec.requirement()}' is not a valid package requirement") from None
    return spec


def _workbook_list(workbook_id, create=False):
    if create:
        return manager.workbook_packages.setdefault(workbook_id, [])
    return manager.workbook_packages.get(workbook_id) or []


def _entry(packages, name):
    wanted = name.lower()
    for entry in packages:
        # A workbook's list may hold what is no entry at all (a bare text); it names nothing.
        if isinstance(entry, dict) and str(entry.get("name", "")).lower() == wanted:
            return entry
    return None


def _entry_of(workbook_id, name):
    entry = _entry(_workbook_list(workbook_id), name)
    if entry is None:
        raise _Refused(f"Package '{name}' is not in workbook {workbook_id}")
    return entry


def _normalized_paths(paths):
    result = []
    for item in paths:
        path = item if isinstance(item, str) else item.get("path", "") if isinstance(item, dict) else None
        if isinstance(path, str) and path:
            result.append(path)
    return result


async def _publish(workbook_id):
    """Every IDE sees the changed list; the add-in stores it in the workbook."""
    packages = manager.workbook_packages.get(workbook_id, [])
    python_paths = manager.workbook_python_paths.get(workbook_id, [])
    if hasattr(manager, "_push_packages_and_python_paths"):
        await manager._push_packages_and_python_paths(workbook_id)
    else:
        await manager.broadcast("ide", {"type": "workbook_packages_update", "workbook_id": workbook_id,
                                        "packages": packages, "python_paths": python_paths,
                                        "package_errors": manager.package_errors.get(workbook_id, {})})
    await manager.send_message("addin", workbook_id, {"type": "save_workbook_packages", "packages": packages,
                                                      "python_paths": python_paths})


async def _serve(client_id, message, answer_type, work):
    _ready(client_id, message)
    try:
        fields = await work()
    except _Refused as e:
        await _refuse(client_id, message, answer_type, str(e))
        return
    await _answer(client_id, message, answer_type, **fields)


async def _change_list(client_id, message, answer_type, change):
    """Runs `change(workbook_id)` on the list, publishes it and answers."""
    async def work():
        workbook_id = _text(message, "workbook_id")
        fields = change(workbook_id) or {}
        logger.info(f"{message.get('type')} for workbook {workbook_id}")
        await _publish(workbook_id)
        return {"workbook_id": workbook_id, **fields, "packages": _workbook_list(workbook_id)}
    await _serve(client_id, message, answer_type, work)


async def handle_package_install_request(client_id, message):
    async def work():
        name = _text(message, "name")
        spec = _spec_from(message, name)
        workbook_id = message.get("workbook_id")

        async def output(kind, text):
            await manager.send_message("ide", client_id, {"type": "pip_output", "workbook_id": workbook_id,
                                                          "output_type": kind, "message": text})

        candidates = await asyncio.to_thread(find_candidates, name, package_manager.package_cache)
        present = choose_candidate([c for c in candidates if c.origin == "environment"], spec.specifier())
        if present is not None:
            await output("success", f"✓ {name}=={present.version} (from current environment)")
            return {"name": name, "version": present.version, "path": None}
        path = error = None
        cached = False
        async for kind, content in package_manager.install_package_to_cache(spec.name, spec.version, spec.extras):
            if kind in ("path", "cached"):
                path = content
                cached = kind == "cached"
            elif kind in ("stdout", "stderr"):
                await output(kind, content)
            elif kind == "error":
                error = content
                await output("error", content)
        if not path:
            raise _Refused(error or f"{spec} was not installed")
        if cached:
            await output("cached", f"Using cached {spec} from {path}")
        else:
            await output("success", f"Installed {spec} to {path}")
        return {"name": name, "version": spec.version, "path": path}
    await _serve(client_id, message, "package_install_response", work)


async def handle_get_package_versions_request(client_id, message):
    async def work():
        name = _text(message, "name")
        candidates = await asyncio.to_thread(find_candidates, name, package_manager.package_cache)
        versions = sorted({c.version for c in candidates}, key=version_key, reverse=True)
        installed = next((c.version for c in candidates if c.origin == "environment"), None)
        return {"name": name, "versions": versions, "installed_version": installed}
    await _serve(client_id, message, "get_package_versions_response", work)


async def _candidate(message):
    name = _text(message, "name")
    spec = _spec_from(message, name)
    candidates = await asyncio.to_thread(find_candidates, name, package_manager.package_cache)
    chosen = choose_candidate(candidates, spec.specifier())
    if chosen is None:
        raise _Refused(f"{spec} is not available locally")
    return name, chosen


async def handle_get_package_extras_request(client_id, message):
    async def work():
        name, chosen = await _candidate(message)
        return {"name": name, "version": chosen.version, "extras": chosen.extras}
    await _serve(client_id, message, "get_package_extras_response", work)


async def handle_get_package_info_request(client_id, message):
    async def work():
        name, chosen = await _candidate(message)
        info = {"name": chosen.name, "version": chosen.version, "summary": chosen.summary,
                "requires": chosen.requires, "extras": chosen.extras, "origin": chosen.origin,
                "location": chosen.location}
        return {"name": name, "info": info}
    await _serve(client_id, message, "get_package_info_response", work)


async def handle_add_workbook_package(client_id, message):
    def change(workbook_id):
        name = _text(message, "name")
        spec = _spec_from(message, name)
        if _entry(_workbook_list(workbook_id), name) is not None:
            raise _Refused(f"Package '{name}' is already in workbook {workbook_id}")
        entry = {"name": name, "version": spec.version, "extras": spec.extras, "status": "pending"}
        _workbook_list(workbook_id, create=True).append(entry)
        return {"package": entry}
    await _change_list(client_id, message, "add_workbook_package_response", change)


async def handle_remove_workbook_package(client_id, message):
    def change(workbook_id):
        entry = _entry_of(workbook_id, _text(message, "name"))
        entry["status"] = "to_remove"
        return {"package": entry}
    await _change_list(client_id, message, "remove_workbook_package_response", change)


async def handle_update_workbook_package(client_id, message):
    def change(workbook_id):
        entry = _entry_of(workbook_id, _text(message, "name"))
        merged = {"version": entry.get("version", ""), "extras": entry.get("extras") or []}
        merged.update({k: message[k] for k in ("version", "extras") if k in message})
        spec = _spec_from(merged, entry["name"])
        entry.update({"version": spec.version, "extras": spec.extras, "status": "pending_update"})
        return {"package": entry}
    await _change_list(client_id, message, "update_workbook_package_response", change)


async def handle_restore_workbook_packages(client_id, message):
    def change(workbook_id):
        installed = manager.workbook_installed_packages.get(workbook_id)
        if installed is None:
            raise _Refused(f"No installed package list is recorded for workbook {workbook_id}")
        # In place: a running installation holds this very list.
        _workbook_list(workbook_id, create=True)[:] = copy.deepcopy(installed)
    await _change_list(client_id, message, "restore_workbook_packages_response", change)


async def handle_update_package_status(client_id, message):
    def change(workbook_id):
        entry = _entry_of(workbook_id, _text(message, "name"))
        status = message.get("status")
        if status not in STATUSES:
            raise _Refused(f"Unknown package status {status!r}")
        entry["status"] = status
        return {"package": entry}
    await _change_list(client_id, message, "update_package_status_response", change)


async def handle_reorder_workbook_packages(client_id, message):
    def change(workbook_id):
        order = message.get("order")
        if not isinstance(order, list) or not all(isinstance(n, str) for n in order):
            raise _Refused("'order' must be a list of package names")
        packages = _workbook_list(workbook_id)
        first = []
        for name in order:
            entry = _entry_of(workbook_id, name)
            if any(e is entry for e in first):
                raise _Refused(f"Package '{name}' is named twice")
            first.append(entry)
        rest = [e for e in packages if not any(e is f for f in first)]
        packages[:] = first + rest
    await _change_list(client_id, message, "reorder_workbook_packages_response", change)


async def handle_install_workbook_packages(client_id, message):
    _ready(client_id, message)
    answer_type = "install_workbook_packages_response"
    try:
        workbook_id = _text(message, "workbook_id")
    except _Refused as e:
        await _refuse(client_id, message, answer_type, str(e))
        return
    await install_coroutine(workbook_id)
    packages = _workbook_list(workbook_id)
    all_installed = all(isinstance(e, dict) and str(e.get("status", "")).startswith("installed") for e in packages)
    await _answer(client_id, message, answer_type, success=all_installed, workbook_id=workbook_id,
                  packages=packages)


async def handle_get_workbook_packages(client_id, message):
    async def work():
        workbook_id = _text(message, "workbook_id")
        return {"workbook_id": workbook_id, "packages": _workbook_list(workbook_id),
                "python_paths": manager.workbook_python_paths.get(workbook_id, []),
                "package_errors": manager.package_errors.get(workbook_id, {})}
    await _serve(client_id, message, "get_workbook_packages_response", work)


async def handle_get_resolved_deps(client_id, message):
    async def work():
        workbook_id = _text(message, "workbook_id")
        return {"workbook_id": workbook_id, "resolved_deps": manager.workbook_resolved_deps.get(workbook_id, [])}
    await _serve(client_id, message, "get_resolved_deps_response", work)


async def handle_update_python_paths(client_id, message):
    async def work():
        workbook_id = _text(message, "workbook_id")
        paths = message.get("python_paths")
        if not isinstance(paths, list):
            raise _Refused("'python_paths' must be a list")
        new_paths = _normalized_paths(paths)
        old_paths = manager.workbook_python_paths.get(workbook_id, [])
        manager.workbook_python_paths[workbook_id] = new_paths
        await manager.send_message("kernel", workbook_id, {"type": "set_python_paths", "old_paths": old_paths,
                                                           "new_paths": new_paths})
        await _publish(workbook_id)
        return {"workbook_id": workbook_id, "python_paths": new_paths}
    await _serve(client_id, message, "update_python_paths_response", work)
