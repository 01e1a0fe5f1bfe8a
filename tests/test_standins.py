"""The master's outside companions: settings, packages, resolver, inspector and IDE launchers."""
import base64
import copy
import hashlib
import importlib.metadata
import json
import logging
import sys
import zipfile

import pytest

from helpers import eventually
from tavrino_master.business_layer import ide_manager, inspector_launcher, packages
from tavrino_master.business_layer.dependency_resolver import DependencyResolver, PackageSpec
from tavrino_master.business_layer.packages import PackageManager
from tavrino_master.business_layer.settings_manager import SettingsManager


def make_wheel(directory, name, version, requires=(), extras=(), module_code="VALUE = 1\n"):
    """Writes a minimal pure-Python wheel of `name`."""
    directory.mkdir(parents=True, exist_ok=True)
    dist_info = f"{name}-{version}.dist-info"
    meta = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}", f"Summary: {name} for tests"]
    meta += [f"Provides-Extra: {e}" for e in extras] + [f"Requires-Dist: {r}" for r in requires]
    files = {f"{name}/__init__.py": module_code.encode(),
             f"{dist_info}/METADATA": ("\n".join(meta) + "\n").encode(),
             f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n"}
    record = [f"{n},sha256={base64.urlsafe_b64encode(hashlib.sha256(d).digest()).rstrip(b'=').decode()},{len(d)}"
              for n, d in files.items()] + [f"{dist_info}/RECORD,,"]
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = directory / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(path, "w") as archive:
        for member, data in files.items():
            archive.writestr(member, data)
    return path


# --- settings ---------------------------------------------------------------------------------------------

def test_settings_are_lazy_and_persist(tmp_path):
    base = tmp_path / "home" / ".tavrino"
    settings = SettingsManager(base_dir=base)
    assert settings.get("editor.font.size") is None and settings.get_all() == {}
    assert not base.exists()  # reading created nothing

    settings.set("editor.font.size", 14)
    settings.set("editor.theme", "dark")
    settings.set("recent", ["a.py"])
    assert json.loads((base / "settings.json").read_text()) == {
        "editor": {"font": {"size": 14}, "theme": "dark"}, "recent": ["a.py"]}

    again = SettingsManager(base_dir=base)
    assert again.get("editor.font") == {"size": 14}
    assert again.get("editor.font.size.more") is None
    assert again.get("") == again.get(None) == again.get_all() == settings.get_all()
    again.get_all()["editor"]["theme"] = "changed"  # copies, not the store
    assert again.get("editor.theme") == "dark"


@pytest.mark.parametrize("path, value, error", [
    (None, 1, ValueError), ("", 1, ValueError), ("a..b", 1, ValueError), (3, 1, TypeError),
    ("scalar.child", 1, ValueError),  # would overwrite the stored value 5
    ("x", object(), TypeError),
])
def test_refused_set_stores_nothing(tmp_path, path, value, error):
    settings = SettingsManager(base_dir=tmp_path)
    settings.set("scalar", 5)
    before = (tmp_path / "settings.json").read_text()
    with pytest.raises(error):
        settings.set(path, value)
    assert settings.get_all() == {"scalar": 5}
    assert (tmp_path / "settings.json").read_text() == before


def test_unreadable_settings_file_is_kept_aside(tmp_path):
    (tmp_path / "settings.json").write_text("{broken")
    settings = SettingsManager(base_dir=tmp_path)
    assert settings.get_all() == {}
    settings.set("a", 1)
    assert (tmp_path / "settings.json.broken").read_text() == "{broken"
    assert json.loads((tmp_path / "settings.json").read_text()) == {"a": 1}


# --- resolver ---------------------------------------------------------------------------------------------

@pytest.fixture
def pm(tmp_path):
    return PackageManager(base_dir=str(tmp_path), settings_manager=SettingsManager(base_dir=tmp_path))


def resolver(pm):
    return DependencyResolver(settings_manager=pm.settings_manager, package_cache=pm.package_cache)


def summary(result):
    return [(p.spec.name, p.spec.version, p.spec.extras, p.is_direct, p.spec.from_dist, p.source)
            for p in result.packages]


async def test_resolves_wheelhouse_tree_with_extras_markers_and_cycles(pm):
    wheels = pm.package_cache.wheel_dir
    make_wheel(wheels, "alpha", "1.0", requires=["beta>=1", "gamma ; extra == 'fast'", "old ; python_version < '3'"],
               extras=["fast"])
    make_wheel(wheels, "alpha", "2.0")
    make_wheel(wheels, "beta", "1.5", requires=["alpha"])  # a cycle back to alpha
    make_wheel(wheels, "gamma", "0.1")
    result = await resolver(pm).resolve([PackageSpec(name="alpha", version="1.0", extras=["fast"])])
    assert result.success and not result.errors and not result.conflicts
    assert summary(result) == [("beta", "1.5", [], False, False, ["alpha"]),
                               ("gamma", "0.1", [], False, False, ["alpha"]),
                               ("alpha", "1.0", ["fast"], True, False, [])]
    plain = await resolver(pm).resolve([PackageSpec(name="alpha", version="")])
    assert summary(plain) == [("alpha", "2.0", [], True, False, [])]  # the highest version


async def test_running_environment_provides_and_missing_stay_listed(pm):
    pytest_version = importlib.metadata.version("pytest")
    result = await resolver(pm).resolve([PackageSpec(name="pytest", version=""),
                                         PackageSpec(name="nowhere-pkg", version="1.2")])
    assert result.success
    by_name = {p.spec.name: p for p in result.packages}
    assert by_name["pytest"].spec.version == pytest_version and by_name["pytest"].spec.from_dist
    assert by_name["packaging"].spec.from_dist and by_name["packaging"].source == ["pytest"]
    assert "exceptiongroup" not in by_name  # its marker excludes Python 3.11
    missing = by_name["nowhere-pkg"]
    assert (missing.spec.version, missing.spec.from_dist, missing.is_direct) == ("1.2", False, True)
    assert list(by_name)[-1] == "nowhere-pkg" and list(by_name).index("packaging") < list(by_name).index("pytest")


async def test_bad_specs_fail_and_conflicts_are_reported(pm):
    bad = await resolver(pm).resolve([PackageSpec(name="ok", version="1.0"), PackageSpec(name="x y", version="")])
    assert not bad.success and len(bad.errors) == 1 and "x y" in bad.errors[0]

    make_wheel(pm.package_cache.wheel_dir, "needy", "1.0", requires=["base>=2"])
    make_wheel(pm.package_cache.wheel_dir, "base", "1.0")
    result = await resolver(pm).resolve([PackageSpec(name="base", version="1.0"), PackageSpec(name="needy")])
    assert result.success
    assert result.conflicts == ["base 1.0 does not satisfy '>=2' required by needy"]
    assert [p.source for p in result.packages] == [["needy"], []]
    alone = await resolver(pm).resolve([PackageSpec(name="needy")])  # the unfitting local version is taken
    assert summary(alone) == [("base", "1.0", [], False, False, ["needy"]), ("needy", "1.0", [], True, False, [])]
    assert alone.conflicts == ["base 1.0 does not satisfy '>=2' required by needy"]


# --- install into the cache -------------------------------------------------------------------------------

async def collect(stream):
    return [item async for item in stream]


async def test_install_from_wheelhouse_then_cached(pm):
    make_wheel(pm.package_cache.wheel_dir, "tinypkg", "1.0", module_code="VALUE = 42\n")
    items = await collect(pm.install_package_to_cache("tinypkg", "1.0", ["x"]))
    kinds = [k for k, _ in items]
    assert kinds[-2:] == ["path", "success"] and "error" not in kinds and "stdout" in kinds
    target = pm.package_cache.root / "tinypkg-1.0"
    assert items[-2][1] == str(target) and (target / "tinypkg" / "__init__.py").read_text() == "VALUE = 42\n"
    assert [p.name for p in pm.package_cache.root.iterdir()] == ["tinypkg-1.0"]  # no scratch left

    assert await collect(pm.install_package_to_cache("TinyPkg", "", None)) == [
        ("cached", str(target)), ("success", str(target))]
    found = await resolver(pm).resolve([PackageSpec(name="tinypkg", version="1.0")])
    assert summary(found) == [("tinypkg", "1.0", [], True, False, [])]


@pytest.mark.parametrize("name, version, expected", [
    ("nowhere-pkg", "1.0", "nowhere-pkg==1.0 is not available locally: no package index"),
    ("packaging", "0.0.1", f"(the running environment has {importlib.metadata.version('packaging')})"),
    ("tinypkg", "not a version", "'not a version' is not a version"),
])
async def test_install_failures_say_why(pm, name, version, expected):
    items = await collect(pm.install_package_to_cache(name, version, []))
    assert len(items) == 1 and items[0][0] == "error" and expected in items[0][1]
    assert not pm.package_cache.root.exists()


async def test_failed_pip_run_reports_error_and_leaves_no_scratch(pm):
    wheel = make_wheel(pm.package_cache.wheel_dir, "brokenpkg", "1.0")
    with zipfile.ZipFile(wheel) as archive:
        members = {m: archive.read(m) for m in archive.namelist() if not m.endswith("/WHEEL")}
    with zipfile.ZipFile(wheel, "w") as archive:  # metadata readable, but pip refuses it
        for member, data in members.items():
            archive.writestr(member, data)
    items = await collect(pm.install_package_to_cache("brokenpkg", "1.0", []))
    assert items[-1][0] == "error" and items[-1][1].startswith("pip exited with status ")
    assert "stderr" in [k for k, _ in items] and "path" not in [k for k, _ in items]
    assert list(pm.package_cache.root.iterdir()) == []


# --- package handlers -------------------------------------------------------------------------------------

class FakeManager:
    def __init__(self, with_push=False):
        for field in ("workbook_packages", "workbook_python_paths", "package_errors", "workbook_resolved_deps",
                      "workbook_installed_packages"):
            setattr(self, field, {})
        self.sent = []
        if with_push:
            self._push_packages_and_python_paths = self._push

    async def send_message(self, client_type, client_id, message):
        self.sent.append((client_type, client_id, copy.deepcopy(message)))

    async def broadcast(self, client_type, message):
        self.sent.append((client_type, "*", copy.deepcopy(message)))

    async def _push(self, workbook_id):
        self.sent.append(("push", workbook_id, None))

    def take(self):
        sent, self.sent = self.sent, []
        return sent


@pytest.fixture
def fake(pm):
    manager = FakeManager()
    runs = []

    async def install(workbook_id):
        runs.append(workbook_id)
        for entry in manager.workbook_packages.get(workbook_id, []):
            entry["status"] = "installed" if entry["name"] != "bad" else "error"

    packages.init_handlers(manager, pm, install)
    manager.runs = runs
    yield manager
    packages.init_handlers(None, None, None)


def entry(name, version="", status="pending", extras=None):
    return {"name": name, "version": version, "extras": extras or [], "status": status}


async def test_add_package_answers_pushes_and_saves(fake):
    await packages.handle_add_workbook_package("ide1", {"type": "add_workbook_package", "workbook_id": "wb",
                                                        "name": "Requests", "version": "2.0", "request_id": "r1"})
    listed = [entry("Requests", "2.0")]
    assert fake.take() == [
        ("ide", "*", {"type": "workbook_packages_update", "workbook_id": "wb", "packages": listed,
                      "python_paths": [], "package_errors": {}}),
        ("addin", "wb", {"type": "save_workbook_packages", "packages": listed, "python_paths": []}),
        ("ide", "ide1", {"type": "add_workbook_package_response", "request_id": "r1", "success": True,
                         "workbook_id": "wb", "package": listed[0], "packages": listed}),
    ]
    await packages.handle_add_workbook_package("ide1", {"workbook_id": "wb", "name": "requests"})
    assert fake.workbook_packages["wb"] == listed
    assert fake.take() == [("ide", "ide1", {"type": "add_workbook_package_response", "request_id": None,
                                            "success": False,
                                            "error": "Package 'requests' is already in workbook wb"})]


@pytest.mark.parametrize("handler, message, expected", [
    (packages.handle_remove_workbook_package, {"name": "B"},
     [entry("a"), entry("b", status="to_remove"), entry("c")]),
    (packages.handle_update_workbook_package, {"name": "b", "version": "3.1", "extras": ["x"]},
     [entry("a"), entry("b", "3.1", "pending_update", ["x"]), entry("c")]),
    (packages.handle_update_package_status, {"name": "c", "status": "installed"},
     [entry("a"), entry("b"), entry("c", status="installed")]),
    (packages.handle_reorder_workbook_packages, {"order": ["C", "a"]}, [entry("c"), entry("a"), entry("b")]),
])
async def test_list_changes(fake, handler, message, expected):
    original = fake.workbook_packages["wb"] = [entry("a"), entry("b"), entry("c")]
    await handler("ide1", {"workbook_id": "wb", **message})
    assert fake.workbook_packages["wb"] is original and original == expected
    sent = fake.take()
    assert [s[:2] for s in sent] == [("ide", "*"), ("addin", "wb"), ("ide", "ide1")]
    assert sent[-1][2]["success"] is True and sent[-1][2]["packages"] == expected


@pytest.mark.parametrize("handler, message, error", [
    (packages.handle_remove_workbook_package, {"workbook_id": "wb", "name": "zz"}, "Package 'zz' is not in workbook wb"),
    (packages.handle_update_package_status, {"workbook_id": "wb", "name": "a", "status": "done"},
     "Unknown package status 'done'"),
    (packages.handle_reorder_workbook_packages, {"workbook_id": "wb", "order": ["a", "A"]}, "Package 'A' is named twice"),
    (packages.handle_update_workbook_package, {"workbook_id": "wb", "name": "a", "version": "=="},
     "'a==' is not a valid package requirement"),
    (packages.handle_add_workbook_package, {"name": "x"}, "'workbook_id' must be a non-empty text"),
    (packages.handle_restore_workbook_packages, {"workbook_id": "wb"},
     "No installed package list is recorded for workbook wb"),
    (packages.handle_update_python_paths, {"workbook_id": "wb", "python_paths": "p"}, "'python_paths' must be a list"),
])
async def test_refused_requests_change_nothing(fake, handler, message, error):
    fake.workbook_packages["wb"] = [entry("a"), entry("b")]
    await handler("ide1", message)
    assert fake.workbook_packages["wb"] == [entry("a"), entry("b")]
    (client_type, client_id, answer), = fake.take()
    assert (client_type, client_id, answer["success"], answer["error"]) == ("ide", "ide1", False, error)


async def test_restore_install_and_queries(fake):
    fake.workbook_packages["wb"] = current = [entry("a", status="to_remove"), entry("new")]
    fake.workbook_installed_packages["wb"] = [entry("a", "1.0", "installed")]
    await packages.handle_restore_workbook_packages("ide1", {"workbook_id": "wb"})
    assert fake.workbook_packages["wb"] is current and current == [entry("a", "1.0", "installed")]
    current[0]["status"] = "pending"
    assert fake.workbook_installed_packages["wb"][0]["status"] == "installed"  # a copy was restored
    fake.take()

    current.append(entry("bad"))
    await packages.handle_install_workbook_packages("ide1", {"workbook_id": "wb", "request_id": 7})
    assert fake.runs == ["wb"]
    assert fake.take() == [("ide", "ide1", {"type": "install_workbook_packages_response", "request_id": 7,
                                            "success": False, "workbook_id": "wb", "packages": current})]

    fake.workbook_resolved_deps["wb"] = [{"name": "a"}]
    fake.package_errors["wb"] = {"bad": ["boom"]}
    await packages.handle_get_resolved_deps("ide1", {"workbook_id": "wb"})
    await packages.handle_get_workbook_packages("ide1", {"workbook_id": "wb"})
    resolved, listed = [s[2] for s in fake.take()]
    assert resolved["resolved_deps"] == [{"name": "a"}]
    assert (listed["packages"], listed["python_paths"], listed["package_errors"]) == (current, [], {"bad": ["boom"]})


async def test_python_paths_reach_kernel_and_push_prefers_manager(pm):
    manager = FakeManager(with_push=True)
    packages.init_handlers(manager, pm, None)
    try:
        manager.workbook_python_paths["wb"] = ["/old"]
        await packages.handle_update_python_paths("ide1", {"workbook_id": "wb", "python_paths": [
            "/a", {"path": "/b"}, {"other": 1}, "", 5]})
    finally:
        packages.init_handlers(None, None, None)
    assert manager.workbook_python_paths["wb"] == ["/a", "/b"]
    assert manager.take() == [
        ("kernel", "wb", {"type": "set_python_paths", "old_paths": ["/old"], "new_paths": ["/a", "/b"]}),
        ("push", "wb", None),
        ("addin", "wb", {"type": "save_workbook_packages", "packages": [], "python_paths": ["/a", "/b"]}),
        ("ide", "ide1", {"type": "update_python_paths_response", "request_id": None, "success": True,
                         "workbook_id": "wb", "python_paths": ["/a", "/b"]}),
    ]


async def test_single_install_and_package_lookups(fake, pm):
    make_wheel(pm.package_cache.wheel_dir, "tinypkg", "1.0", requires=["packaging"], extras=["fast"])
    make_wheel(pm.package_cache.wheel_dir, "tinypkg", "0.5")
    await packages.handle_package_install_request("ide1", {"name": "tinypkg", "version": "1.0", "workbook_id": "wb"})
    sent = fake.take()
    assert all(s[:2] == ("ide", "ide1") for s in sent)
    assert {s[2]["type"] for s in sent[:-1]} == {"pip_output"}
    assert sent[-2][2]["message"] == f"Installed tinypkg==1.0 to {pm.package_cache.root / 'tinypkg-1.0'}"
    assert sent[-1][2] == {"type": "package_install_response", "request_id": None, "success": True,
                           "name": "tinypkg", "version": "1.0", "path": str(pm.package_cache.root / "tinypkg-1.0")}

    await packages.handle_package_install_request("ide1", {"name": "packaging"})
    output, answer = [s[2] for s in fake.take()]
    assert output["message"].endswith("(from current environment)") and answer["path"] is None and answer["success"]

    await packages.handle_get_package_versions_request("ide1", {"name": "TINYPKG"})
    await packages.handle_get_package_extras_request("ide1", {"name": "tinypkg", "version": "1.0"})
    await packages.handle_get_package_info_request("ide1", {"name": "tinypkg", "version": "0.5"})
    await packages.handle_get_package_info_request("ide1", {"name": "nowhere-pkg"})
    versions, extras, info, missing = [s[2] for s in fake.take()]
    assert (versions["versions"], versions["installed_version"]) == (["1.0", "0.5"], None)
    assert extras["extras"] == ["fast"]
    assert (info["info"]["version"], info["info"]["origin"]) == ("0.5", "wheelhouse")
    assert (missing["success"], missing["error"]) == (False, "nowhere-pkg is not available locally")


# --- inspector and IDE launchers --------------------------------------------------------------------------

def sleeper(record_file, what):
    """A command line whose process writes `what` (a Python expression) to record_file and waits."""
    code = f"import os,sys,time; open({str(record_file)!r},'w').write(str({what})); time.sleep(60)"
    return f"{sys.executable} -c \"{code}\""


def wait_for_text(path, timeout=10):
    return eventually(lambda: path.exists() and path.read_text(), timeout)


@pytest.fixture
def inspector():
    yield inspector_launcher
    inspector_launcher.terminate_inspector()


def test_inspector_not_configured(inspector, monkeypatch):
    monkeypatch.delenv("TAVRINO_INSPECTOR_CMD", raising=False)
    assert inspector.launch_inspector(8000) is None
    assert not inspector.is_inspector_running() and inspector.terminate_inspector() is False


def test_inspector_started_with_port_and_stopped(inspector, monkeypatch, tmp_path):
    record = tmp_path / "argv"
    monkeypatch.setenv("TAVRINO_INSPECTOR_CMD", sleeper(record, "sys.argv[1:]"))
    process = inspector.launch_inspector(8123)
    assert process and inspector.is_inspector_running()
    assert wait_for_text(record) == "['8123']"
    assert inspector.launch_inspector(8123) is process  # no second inspector
    assert inspector.terminate_inspector() is True and not inspector.is_inspector_running()
    assert eventually(lambda: process.poll() is not None)  # stopped off the caller's thread
    assert inspector.terminate_inspector() is False


def test_inspector_bad_command(inspector, monkeypatch):
    monkeypatch.setenv("TAVRINO_INSPECTOR_CMD", "/nonexistent/inspector --flag")
    assert inspector.launch_inspector(8000) is None and not inspector.is_inspector_running()


def test_ide_manager(monkeypatch, tmp_path, caplog):
    caplog.set_level(logging.DEBUG)
    token = "secret-token-123"
    manager = ide_manager.IDEProcessManager(server_port=8000, watchdog_port=8001, auth_token=token, docs_port=8002)
    monkeypatch.delenv("TAVRINO_IDE_CMD", raising=False)
    assert manager.ensure_running() is False and manager.kill_and_restart() is False

    record = tmp_path / "env"
    expression = "[os.environ[k] for k in ('TAVRINO_SERVER_PORT','TAVRINO_WATCHDOG_PORT','TAVRINO_DOCS_PORT'," \
                 "'TAVRINO_AUTH_TOKEN')] + sys.argv[1:]"
    monkeypatch.setenv("TAVRINO_IDE_CMD", sleeper(record, expression))
    try:
        assert manager.ensure_running() is True
        first = manager._process
        assert wait_for_text(record) == str(["8000", "8001", "8002", token])
        assert manager.ensure_running() is True and manager._process is first
        record.unlink()
        assert manager.kill_and_restart() is True
        assert wait_for_text(record) and eventually(lambda: first.poll() is not None)
        assert eventually(lambda: manager._process is not None) and manager._process is not first
    finally:
        manager._stop()
    assert token not in caplog.text and token not in repr(manager)
