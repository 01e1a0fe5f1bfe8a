"""Workbook package installation runs, with a fake resolver and package manager, and one over the
real host, kernel program and package stand-ins."""
import asyncio
import logging
import os
import uuid

import pytest

import tavrino_master.business_layer.relvane as relvane
from e2e_clients import Book, Client, master
from fakes import Sock
from helpers import LOGGER, wait_until
from tavrino_master.business_layer.dependency_resolver import PackageSpec, ResolutionResult, ResolvedPackage
from servers import scaled
from test_ide_protocol_e2e import output
from test_kernel_program_e2e import KERNELS_ON
from test_standins import make_wheel

WB = "wb1"




class FakePM:
    """Scripted install streams: name -> list of attempts, the last one repeating."""

    def __init__(self, scripts):
        self.settings_manager = object()
        self.package_cache = object()
        self.scripts = scripts
        self.calls = []

    async def install_package_to_cache(self, name, version, extras=None, env=None):
        self.calls.append((name, version, list(extras), None if env is None else env.get("PYTHONPATH")))
        attempts = self.scripts.get(name, [[("path", f"/cache/{name}"), ("success", None)]])
        items = attempts.pop(0) if len(attempts) > 1 else attempts[0]
        for item in items:
            if isinstance(item, Exception):
                raise item
            await asyncio.sleep(0)
            yield item


def resolver_for(result, made):
    class Resolver:
        def __init__(self, **kwargs):
            made.append(kwargs)

        async def resolve(self, specs):
            made.append([(s.name, s.version, s.extras) for s in specs])
            return result
    return Resolver


def resolved(name, direct=True, source=(), extras=None, from_dist=False):
    return ResolvedPackage(PackageSpec(name, "1.0", extras or [], from_dist), direct, list(source))


@pytest.fixture
def env(manager, monkeypatch):
    m = manager
    socks = {"ide": Sock(), "kernel": Sock(), "addin": Sock()}

    class Env:
        manager = m
        made = []

        async def setup(self, entries, result, scripts=None, connect=("ide", "kernel", "addin")):
            for kind in connect:
                await m.connect(kind, "ide0" if kind == "ide" else WB, socks[kind])
            m.workbook_packages[WB] = entries
            self.pm = FakePM(scripts or {})
            monkeypatch.setattr(relvane, "package_manager", self.pm)
            monkeypatch.setattr(relvane, "DependencyResolver", resolver_for(result, self.made))
            await relvane.handle_workbook_packages_install(WB)

        def sent(self, kind, type_=None):
            return [x for x in socks[kind].sent if type_ is None or x["type"] == type_]

        def console(self, output_type=None):
            return [x["message"] for x in self.sent("ide", "pip_output")
                    if output_type is None or x.get("output_type") == output_type]
    e = Env()
    e.socks = socks
    return e


def entries(*names, status="pending"):
    return [{"name": n, "version": "1.0", "status": status} for n in names]


# ---------------------------------------------------------------- keys and records

@pytest.mark.parametrize("extras, key", [
    (None, "pkg==1.0"), ([], "pkg==1.0"), (["security"], "pkg==1.0[security]"),
    (["b", "a"], "pkg==1.0[a,b]"), (["beta", "Alpha"], "pkg==1.0[Alpha,beta]"),
])
def test_package_key(extras, key):
    given = None if extras is None else list(extras)
    assert relvane._get_package_key("pkg", "1.0", given) == key
    assert given == extras  # sorted copy


@pytest.mark.parametrize("args", [(1, "1.0"), ("pkg", None), ("pkg", "1.0", ("a",)), ("pkg", "1.0", ["a", 2])])
def test_package_key_types(args):
    with pytest.raises(TypeError):
        relvane._get_package_key(*args)


def test_find_package_by_name():
    a, b = {"name": "Äpfel"}, {"name": "äpfel"}
    assert relvane._find_package_by_name([a, b], "ÄPFEL") is a
    assert relvane._find_package_by_name([a], "pear") is None
    with pytest.raises(KeyError):
        relvane._find_package_by_name([{"version": "1"}, a], "äpfel")


@pytest.mark.parametrize("direct, target, text", [
    (None, "dep", "boom"), ("", "dep", "boom"), ("dep", "dep", "boom"), ("A", "A", "Dependency 'dep':\nboom"),
])
def test_record_package_error(env, direct, target, text):
    relvane.record_package_error(WB, "dep", "boom", direct)
    relvane.record_package_error(WB, "dep", "again", direct)
    assert env.manager.package_errors[WB][target] == [text, text.replace("boom", "again")]
    with pytest.raises(TypeError):
        relvane.record_package_error(WB, "dep", 3)


def test_direct_packages_for_dependency(env):
    assert relvane._find_direct_packages_for_dependency(WB, "x") == []
    env.manager.workbook_packages[WB] = entries("A", "B")
    assert relvane._find_direct_packages_for_dependency(WB, "x") == ["A", "B"]


# ---------------------------------------------------------------- early ends

async def test_no_packages_only_logs(env, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    await env.setup([], None)
    assert "No packages to install for workbook wb1" in caplog.text
    assert env.sent("ide") == env.sent("kernel") == env.sent("addin") == []
    assert env.manager.workbook_installed_packages[WB] == []


async def test_all_removed(env):
    env.manager.workbook_package_paths[WB] = ["/old"]
    await env.setup(entries("A", "B", status="to_remove"), None)
    assert env.sent("kernel") == [{"type": "unload_and_clear_paths", "paths": ["/old"]}]
    assert env.sent("addin") == [{"type": "save_workbook_packages", "packages": []}]
    assert [m["type"] for m in env.sent("ide")] == ["workbook_packages_update", "package_installation_complete"]
    assert env.sent("ide")[0]["packages"] == []
    assert env.sent("ide")[1]["message"] == "✓ All packages removed. No packages to install."
    assert env.made == [] and env.manager.workbook_package_paths[WB] == []


async def test_failed_resolution(env):
    env.manager.workbook_resolved_deps[WB] = ["earlier"]
    await env.setup(entries("A", "B"), ResolutionResult(False, [], ["bad A", "bad B"], []))
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == ["error", "error"]
    update = env.sent("ide", "workbook_packages_update")[-1]
    assert list(update) == ["type", "workbook_id", "packages"]
    lines = env.sent("ide", "pip_output")[-2:]
    assert [list(m) for m in lines] == [["type", "output_type", "workbook_id", "message"]] * 2
    assert [m["message"] for m in lines] == ["bad A", "bad B"]
    assert env.manager.workbook_resolved_deps[WB] == ["earlier"]
    assert env.sent("kernel") == env.sent("addin") == []


# ---------------------------------------------------------------- passes and report

async def test_healing_run(env, monkeypatch):
    monkeypatch.setitem(os.environ, "PYTHONPATH", "/inherited")
    result = ResolutionResult(True, [resolved("numpy", from_dist=True), resolved("dep", False, ["A"]),
                                     resolved("A", extras=["b", "a"]), resolved("C")], [], ["c1"])
    scripts = {"dep": [[("stderr", "no wheel"), ("error", "missing")], [("cached", "/cache/dep"), ("success", 1)]],
               "A": [[("stdout", "hi"), ("path", "/cache/A"), ("success", None)]],
               "C": [[("error", "C bad")], [("path", "/cache/C")]]}
    await env.setup([{"name": "a", "version": "1.0", "extras": ["b", "a"]}, *entries("C", "numpy")], result, scripts)
    assert env.made[0] == {"settings_manager": env.pm.settings_manager, "package_cache": env.pm.package_cache}
    assert env.made[1] == [("a", "1.0", ["b", "a"]), ("C", "1.0", []), ("numpy", "1.0", [])]
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == ["installed"] * 3
    assert env.manager.package_errors[WB] == {}
    # One retry pass; the second retry sees the first one's directory in front.
    assert env.pm.calls[-2:] == [("dep", "1.0", [], "/cache/A:/inherited"),
                                 ("C", "1.0", [], "/cache/dep:/cache/A:/inherited")]
    assert "Retry succeeded: dep==1.0 from cache /cache/dep" in env.console("cached")
    assert "Retry succeeded: C==1.0 to /cache/C" in env.console("success")
    assert "Processing A[b,a]==1.0..." in env.console("stdout")
    assert "Installed A[b,a]==1.0 to /cache/A" in env.console("success")
    assert "✓ numpy==1.0 (from current environment)" in env.console("success")
    assert "WARNING: Version conflict: c1" in env.console("warning")
    assert env.manager.package_stderr[WB] == {"A==1.0[a,b]": []}
    paths = ["/cache/A", "/cache/dep", "/cache/C"]
    assert env.sent("kernel") == [{"type": "set_package_paths", "old_paths": [], "new_paths": paths}]
    assert env.manager.workbook_package_paths[WB] == paths
    assert env.sent("addin") == [{"type": "save_workbook_packages", "packages": env.manager.workbook_packages[WB]}]
    assert env.sent("ide")[-1]["message"] == "✓ Installation complete. 3 package(s) installed."


async def test_failures_that_remain(env):
    result = ResolutionResult(True, [resolved("D", False, ["A", "B"]), resolved("E", False, ["A"]), resolved("A"),
                                     resolved("B"), resolved("X"), resolved("Y"), resolved("Z", False, [])], [], [])
    scripts = {"D": [[("stderr", "d1"), ("error", "D bad")]], "E": [[("error", "E bad")]],
               "X": [[("stderr", "x1"), ("stderr", "x2"), ("error", "X bad")]], "Y": [[("error", "Y bad")]],
               "Z": [[("stdout", "nothing")]]}
    await env.setup(entries("A", "B", "X", "Y"), result, scripts)
    errors = env.manager.package_errors[WB]
    assert errors["A"] == ["Dependency 'D':\nD bad", "d1", "\n", "Dependency 'E':\nE bad"]
    assert errors["B"] == ["Dependency 'D':\nD bad", "d1"]
    assert errors["X"] == ["x1", "x2"] and errors["Y"] == ["Y bad"] and "Z" not in errors
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == [
        "installed_with_errors", "installed_with_errors", "error", "error"]
    # A hopeless set costs one retry pass, not ten.
    assert [c[0] for c in env.pm.calls].count("D") == 2
    deps = {r["name"]: r["is_error"] for r in env.manager.workbook_resolved_deps[WB]}
    assert deps == {"D": True, "E": True, "A": False, "B": False, "X": True, "Y": True, "Z": True}
    assert "5 package(s) failed to install after retries:" in env.console("error")
    assert "  - Z==1.0: Installation ended without an install directory" in env.console("error")
    assert env.sent("ide")[-1]["message"] == "✓ Installation complete. 2 package(s) installed."


async def test_stream_exception_is_confined(env, caplog):
    result = ResolutionResult(True, [resolved("A"), resolved("B")], [], [])
    scripts = {"A": [[("path", "/cache/A"), RuntimeError("stream broke")]], "B": [[("bad",)]]}
    await env.setup(entries("A", "B"), result, scripts)
    assert "Error installing A: stream broke" in caplog.text
    assert env.manager.package_errors[WB] == {"A": ["stream broke"],
                                              "B": ["not enough values to unpack (expected 2, got 1)"]}
    assert env.sent("kernel") == []  # the path of a broken stream does not count
    assert env.sent("ide")[-1]["message"] == "✓ Installation complete. 0 package(s) installed."


# ---------------------------------------------------------------- run-level guard

async def test_failing_kernel_send_is_reported(env, caplog):
    env.socks["kernel"].fail = True
    await env.setup(entries("A"), ResolutionResult(True, [resolved("A")], [], []))
    assert "Package installation failed for wb1: gone" in caplog.text
    assert any(r.exc_info for r in caplog.records if r.levelno == logging.ERROR)
    update, line, complete = env.sent("ide")[-3:]
    assert list(update) == ["type", "workbook_id", "packages"]
    assert line == {"type": "pip_output", "output_type": "error", "workbook_id": WB,
                    "message": "Installation failed: gone"}
    assert complete == {"type": "package_installation_complete", "workbook_id": WB,
                        "message": "✗ Installation failed: gone"}
    assert env.sent("addin") == []
    copy = env.manager.workbook_installed_packages[WB]
    assert copy == env.manager.workbook_packages[WB] and copy is not env.manager.workbook_packages[WB]


async def test_entry_without_version_is_refused_and_the_run_completes(env):
    await env.setup([{"name": "A", "status": "pending"}], None, connect=("ide",))
    assert env.console("error") == ['Package entry {"name": "A"} is not installed: it lacks a text "version".']
    assert env.manager.workbook_packages[WB] == [{"name": "A", "status": "error"}] and env.made == []
    assert env.sent("ide")[-1]["message"] == "✓ Installation complete. 0 package(s) installed."


@pytest.mark.parametrize("end", ["cancelled", "error"])
async def test_a_run_cut_short_leaves_nothing_resolving(env, end):
    env.manager.workbook_packages[WB] = entries("A")
    await env.manager.connect("ide", "ide0", env.socks["ide"])

    resolving = asyncio.Event()

    class Slow:
        def __init__(self, **kwargs):
            pass

        async def resolve(self, specs):
            resolving.set()
            if end == "error":
                raise RuntimeError("resolver broke")
            await asyncio.sleep(10)
    relvane.DependencyResolver, saved = Slow, relvane.DependencyResolver
    try:
        task = asyncio.ensure_future(relvane.handle_workbook_packages_install(WB))
        await asyncio.wait_for(resolving.wait(), scaled(5))
        if end == "cancelled":
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            await wait_until(lambda: env.sent("ide")[-1]["type"] == "package_installation_complete")
            assert env.sent("ide")[-1]["message"] == "✗ Installation failed: the run was cancelled"
            assert env.sent("ide")[-2]["packages"] == [{**entries("A")[0], "status": "error"}]
        else:
            await task
            assert env.sent("ide")[-1] == {"type": "package_installation_complete", "workbook_id": WB,
                                           "message": "✗ Installation failed: resolver broke"}
    finally:
        relvane.DependencyResolver = saved
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == ["error"]
    assert env.manager.workbook_installed_packages[WB] == env.manager.workbook_packages[WB]
    with pytest.raises(TypeError):
        relvane.handle_workbook_packages_install(1)


@pytest.mark.parametrize("inherited, first_retry_path", [("/inherited", "/inherited"), ("", None), (None, None),
                                                        ("::/inherited:", "/inherited")])
async def test_retry_passes_one_heal_each(env, monkeypatch, inherited, first_retry_path):
    if inherited is None:
        monkeypatch.delitem(os.environ, "PYTHONPATH", raising=False)
    else:
        monkeypatch.setitem(os.environ, "PYTHONPATH", inherited)
    fail, ok = [("error", "not yet")], [("path", "/p")]
    scripts = {"A": [fail, ok], "B": [fail, fail, ok], "C": [fail, fail, fail, ok]}
    result = ResolutionResult(True, [resolved(n) for n in "ABC"], [], [])
    await env.setup(entries("A", "B", "C"), result, scripts)
    starts = [m["message"] for m in env.sent("ide", "pip_output") if "output_type" not in m]
    assert starts == [f"Retrying {n} failed package(s) with enhanced environment..." for n in (3, 2, 1)]
    # Nothing installed yet: no empty entry (the working directory) on the path.
    assert env.pm.calls[3][3] == first_retry_path
    retried = [c[3] for c in env.pm.calls[3:] if c[3] is not None]
    assert retried and all("" not in p.split(os.pathsep) for p in retried)
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == ["installed"] * 3
    assert env.manager.package_errors[WB] == {}


@pytest.mark.parametrize("entry, source", [("A", "a"), ("My.Pkg", "my-pkg"), ("zope_interface", "Zope.Interface"),
                                           ("b--c", "B_c")])
async def test_dependency_error_reaches_the_entry_however_its_name_is_spelled(env, entry, source):
    result = ResolutionResult(True, [resolved("dep", False, [source]), resolved(source), resolved("other")], [], [])
    await env.setup(entries(entry, "other"), result, {"dep": [[("error", "dep bad")]]})
    assert env.manager.package_errors[WB] == {source: ["Dependency 'dep':\ndep bad"]}
    assert [e["status"] for e in env.manager.workbook_packages[WB]] == ["installed_with_errors", "installed"]


# ---------------------------------------------------------------- over the real host

def run_messages(ide, workbook_id):
    """What the installation runs sent the IDE (the add-in's state push, with "python_paths", is not one)."""
    return [m for m in ide.received if m.get("workbook_id") == workbook_id and (
        m["type"] in ("pip_output", "package_installation_complete")
        or (m["type"] == "workbook_packages_update" and "python_paths" not in m))]


async def test_a_list_with_bad_entries_settles_and_installs_the_good_one(tmp_path):
    make_wheel(tmp_path / ".tavrino" / "wheels", "tinypkg", "1.0", module_code="VALUE = 42\n")
    listed = [{"name": "tinypkg", "version": "1.0"}, {"name": "noversion"}, "bare", {"name": 5, "version": "1.0"}]
    probe = "def value():\n    import tinypkg\n    return tinypkg.VALUE\n"
    with master(tmp_path, env=KERNELS_ON) as port:
        ide = await Client.connect(port, "ide", "ide-" + uuid.uuid4().hex[:8])
        await ide.wait_for("workbook_list", timeout=10)
        wb = "pk-" + uuid.uuid4().hex[:10]
        addin = await Book.connect(port, wb, name="Book", modules={"probe": probe}, packages=listed)
        try:
            (done,) = await ide.wait_for("package_installation_complete", timeout=60)
            assert done["message"] == "✓ Installation complete. 1 package(s) installed."
            sent = run_messages(ide, wb)
            assert sent[-1] == done
            # Entries that are no package at all were skipped at the connect, with a warning in the log; one
            # that only cannot be installed is refused by the run, in words the IDE shows.
            assert [m["message"] for m in sent if m.get("output_type") == "error"] == [
                'Package entry {"name": "noversion"} is not installed: it lacks a text "version".']
            await ide.send({"type": "get_workbook_packages", "workbook_id": wb})
            (answer,) = await ide.wait_for("get_workbook_packages_response", timeout=30)
            assert [e["status"] for e in answer["packages"]] == ["installed", "error"]
            # The kernel imports what was installed.
            since = len(ide.received)
            await ide.send({"type": "run_module", "workbook_id": wb, "module_name": "probe", "function_name": "value"})
            await wait_until(lambda: "\n" in output(ide, wb, since), 30)
            assert output(ide, wb, since) == "42\n"
        finally:
            await ide.close()
            await addin.close()
