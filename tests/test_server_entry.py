"""Module start-up, handler table, dispatch, hooks and configuration."""
import asyncio
import inspect
import json
import logging
import os
import shutil
import subprocess
import sys
import textwrap
import urllib.request

import pytest

import tavrino_master.business_layer.packages as packages
import tavrino_master.business_layer.relvane as relvane
from servers import ROOT, free_port, running, scaled
from helpers import LOGGER, lines, wait_until


TABLE_SIZES = {"addin": 32, "kernel": 22, "ide": 51, "inspector": 3}
PACKAGE_TYPES = [
    "package_install_request", "get_package_versions_request", "get_package_extras_request",
    "get_package_info_request", "add_workbook_package", "remove_workbook_package", "update_workbook_package",
    "restore_workbook_packages", "update_package_status", "reorder_workbook_packages", "install_workbook_packages",
    "get_workbook_packages", "get_resolved_deps", "update_python_paths",
]
RESPONSE_TYPES = [
    "get_modules_response", "get_functions_response", "get_packages_response", "save_module_response",
    "load_module_response", "delete_module_response", "register_handler_response", "unregister_handler_response",
    "get_event_config_response",
]


# ---------------------------------------------------------------- start-up

def test_singletons_after_import():
    assert relvane.ide_manager is None
    assert relvane._port == 8000
    assert relvane.kernel_handles == {}
    assert relvane.base_dir == relvane.Path.home() / ".tavrino"
    assert relvane.settings_manager.__class__.__name__ == "SettingsManager"
    assert relvane.package_manager.__class__.__name__ == "PackageManager"
    assert relvane.logger.name == LOGGER
    for name in ("websocket_endpoint", "root", "get_connections", "startup_event", "shutdown_event",
                 "handle_message"):
        if hasattr(relvane, name):
            assert inspect.iscoroutinefunction(getattr(relvane, name)), name


def test_second_import_gives_the_same_module_and_manager():
    manager = relvane.manager
    saved = sys.modules.pop("tavrino_master.business_layer.relvane")
    try:
        import importlib
        again = importlib.import_module("tavrino_master.business_layer.relvane")
        assert again is saved and again.manager is manager
    finally:
        sys.modules["tavrino_master.business_layer.relvane"] = saved


RECORDING_STANDINS = {
    "logging_config.py": """
        import logging
        from .calls import calls
        def get_logger(name):
            calls.append(("get_logger", name))
            return logging.getLogger(name)
    """,
    "calls.py": "calls = []\n",
    "business_layer/__init__.py": "",
    "business_layer/settings_manager.py": """
        from ..calls import calls
        class SettingsManager:
            def __init__(self, **kw):
                calls.append(("SettingsManager", kw))
    """,
    "business_layer/packages.py": """
        from ..calls import calls
        class PackageManager:
            def __init__(self, **kw):
                calls.append(("PackageManager", kw))
        def init_handlers(*args):
            calls.append(("init_handlers", args))
        NAMES = %r
        for _n in NAMES:
            async def _h(client_id, message, _n=_n):
                pass
            globals()["handle_" + _n] = _h
    """ % (PACKAGE_TYPES,),
    "business_layer/dependency_resolver.py": "class DependencyResolver: pass\nclass PackageSpec: pass\n",
    "business_layer/inspector_launcher.py": """
        def launch_inspector(port): return None
        def terminate_inspector(): pass
        def is_inspector_running(): return False
    """,
    "business_layer/ide_manager.py": "class IDEProcessManager:\n    def __init__(self, **kw): pass\n",
}


def make_recording_tree(tmp_path, drop=None):
    top = tmp_path / "recpkg"
    for rel, text in RECORDING_STANDINS.items():
        path = top / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        text = textwrap.dedent(text)
        if drop and rel == "business_layer/packages.py":
            text += f"\ndel {drop}\n"
        path.write_text(text)
    (top / "__init__.py").write_text("")
    so = next(p for p in os.listdir(os.path.join(ROOT, "tavrino_master", "business_layer")) if p.endswith(".so"))
    shutil.copy(os.path.join(ROOT, "tavrino_master", "business_layer", so), top / "business_layer" / so)
    return tmp_path


def run_python(cwd, code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, text=True,
                          env=dict(os.environ, HOME=str(cwd)), timeout=scaled(60))


def test_startup_order_and_what_the_outside_modules_receive(tmp_path):
    cwd = make_recording_tree(tmp_path)
    proc = run_python(cwd, """
        import json
        import recpkg.business_layer.relvane as r
        from recpkg.calls import calls
        out = []
        for name, arg in calls:
            if name == "init_handlers":
                out.append([name, [arg[0] is r.manager, arg[1] is r.package_manager,
                                   arg[2] is getattr(r, "handle_workbook_packages_install", None)]])
            elif name == "SettingsManager":
                out.append([name, {k: [type(v).__name__, str(v)] for k, v in arg.items()}])
            elif name == "PackageManager":
                out.append([name, {k: (v is r.settings_manager) if k == "settings_manager" else [type(v).__name__, v]
                                   for k, v in arg.items()}])
            else:
                out.append([name, arg])
        print(json.dumps(out))
    """)
    assert proc.returncode == 0, proc.stderr
    calls = json.loads(proc.stdout)
    home = str(tmp_path / ".tavrino")
    assert calls[0] == ["get_logger", "recpkg.business_layer.relvane"]
    assert calls[1] == ["SettingsManager", {"base_dir": ["PosixPath", home]}]
    assert calls[2] == ["PackageManager", {"base_dir": ["str", home], "settings_manager": True}]
    assert calls[3] == ["init_handlers", [True, True, True]]
    assert len(calls) == 4
    assert not (tmp_path / ".tavrino").exists()


def test_missing_outside_name_fails_the_import_and_leaves_no_module(tmp_path):
    cwd = make_recording_tree(tmp_path, drop="handle_get_resolved_deps")
    proc = run_python(cwd, """
        import sys
        try:
            import recpkg.business_layer.relvane
        except ImportError as e:
            print("ImportError", e)
        print("recpkg.business_layer.relvane" in sys.modules)
    """)
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first.startswith("ImportError") and "handle_get_resolved_deps" in first
    assert second == "False"


# ---------------------------------------------------------------- handler table

def test_table_shape_and_identities():
    table = relvane.MESSAGE_HANDLERS
    assert list(table) == ["addin", "kernel", "ide", "inspector"]
    assert {t: len(entries) for t, entries in table.items()} == TABLE_SIZES
    assert len({m for entries in table.values() for m in entries}) == 104
    assert len({h for entries in table.values() for h in entries.values()}) == 67
    for client_type, entries in table.items():
        for message_type, handler in entries.items():
            assert inspect.iscoroutinefunction(handler), (client_type, message_type)
    for t in RESPONSE_TYPES:
        assert table["addin"][t] is relvane.handle_response_message
    for t in PACKAGE_TYPES:
        assert table["ide"][t] is getattr(packages, "handle_" + t)
        assert table["ide"][t] is getattr(relvane, "handle_" + t)
    assert "function_execution" not in table["ide"] and "log_entry" not in table["kernel"]
    assert table["addin"]["execution_request"] is relvane.handle_execution_request
    assert table["ide"]["execution_request"] is relvane.handle_ide_execution_request
    for t in ("spawn_kernel", "terminate_kernel", "kill_kernel"):
        assert table["addin"][t] is table["ide"][t]
    assert table["ide"]["register_handler"] is relvane.handle_register_handler
    assert table["ide"]["register_handler"] is not relvane.ConnectionManager.handle_register_handler


def test_module_defines_its_functions():
    own = [v for v in vars(relvane).values()
           if callable(v) and getattr(v, "__module__", None) == relvane.__name__ and not isinstance(v, type)]
    assert len(own) == 89
    assert sum(inspect.iscoroutinefunction(f) for f in own) == 73


def test_every_defined_handler_is_in_the_table_under_its_module_name():
    table = relvane.MESSAGE_HANDLERS
    for entries in table.values():
        for handler in entries.values():
            assert getattr(relvane, handler.__name__) is handler


# ---------------------------------------------------------------- dispatch

@pytest.fixture
def recorded_handlers(monkeypatch):
    seen = []

    async def handler(client_id, message):
        seen.append((client_id, message))

    table = {"addin": {"function_execution": handler}, "kernel": {}, "ide": {}, "inspector": {}}
    monkeypatch.setattr(relvane, "MESSAGE_HANDLERS", table)
    return seen


async def test_dispatch_to_handler_with_debug_line(recorded_handlers, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    message = {"type": "function_execution", "request_id": "r1"}
    await relvane.handle_message("addin", "wb1", message)
    assert recorded_handlers == [("wb1", message)] and recorded_handlers[0][1] is message
    assert "[TIMING] Received from addin: type=function_execution, request_id=r1" in lines(caplog)


@pytest.mark.parametrize("switch_off", ["level", "disabled", "disable_all", "subclass"])
async def test_debug_line_follows_the_loggers_own_answer(recorded_handlers, caplog, monkeypatch, switch_off):
    caplog.set_level(logging.DEBUG, LOGGER)
    logger = relvane.logger
    if switch_off == "level":
        caplog.set_level(logging.INFO, LOGGER)
    elif switch_off == "disabled":
        monkeypatch.setattr(logger, "disabled", True)
    elif switch_off == "disable_all":
        logging.disable(logging.DEBUG)
    else:  # a logger that decides for itself
        class Quiet(logging.Logger):
            def isEnabledFor(self, level):
                return level > logging.DEBUG
        quiet = Quiet(LOGGER)
        quiet.addHandler(caplog.handler)
        monkeypatch.setattr(relvane, "logger", quiet)
    try:
        await relvane.handle_message("addin", "wb1", {"type": "function_execution", "request_id": "r-off"})
    finally:
        logging.disable(logging.NOTSET)
    assert len(recorded_handlers) == 1
    assert not [m for m in lines(caplog) if "r-off" in m]
    # switched on again: no stale answer
    if switch_off == "level":
        caplog.set_level(logging.DEBUG, LOGGER)
    elif switch_off == "disabled":
        logger.disabled = False
    elif switch_off == "subclass":
        monkeypatch.setattr(relvane, "logger", logger)
    await relvane.handle_message("addin", "wb1", {"type": "function_execution", "request_id": "r-on"})
    assert "[TIMING] Received from addin: type=function_execution, request_id=r-on" in lines(caplog)


@pytest.mark.parametrize("client_type, message, warning", [
    ("ide", {"type": "function_execution"}, "No handler for ide/function_execution"),
    ("addin", {}, "No handler for addin/None"),
    ("nosuchtype", {"type": "x"}, "No handler for nosuchtype/x"),
])
async def test_unhandled_types_warn(recorded_handlers, caplog, client_type, message, warning):
    caplog.set_level(logging.DEBUG, LOGGER)
    await relvane.handle_message(client_type, "c1", message)
    assert lines(caplog, logging.WARNING) == [warning]
    assert recorded_handlers == []
    if not message:
        assert f"[TIMING] Received from {client_type}: type=None, request_id=N/A" in lines(caplog)


@pytest.mark.parametrize("bad", [[], "text", 1, None, True])
def test_handle_message_refuses_non_objects(bad):
    with pytest.raises(TypeError):
        relvane.handle_message("addin", "wb1", bad)


async def test_answer_completes_pending_request_after_its_handler(caplog):
    future = asyncio.get_running_loop().create_future()
    relvane.manager._pending_requests["pending-1"] = future
    try:
        message = {"type": "get_modules_response", "requestId": "pending-1", "modules": {}}
        await relvane.handle_message("addin", "wb1", message)
        assert not future.done()  # the matcher runs only once the dispatch has yielded
        await asyncio.sleep(0)
        assert future.result() is message
        assert lines(caplog, logging.WARNING) == []
    finally:
        relvane.manager._pending_requests.pop("pending-1", None)


async def test_unlisted_answer_warns_and_still_completes(caplog):
    future = asyncio.get_running_loop().create_future()
    relvane.manager._pending_requests["pending-2"] = future
    try:
        await relvane.handle_message("kernel", "wb1", {"type": "strange_answer", "request_id": "pending-2"})
        await asyncio.sleep(0)
        assert future.done()
        assert lines(caplog, logging.WARNING) == ["No handler for kernel/strange_answer"]
    finally:
        relvane.manager._pending_requests.pop("pending-2", None)


async def test_matcher_error_is_logged_and_handler_still_runs(recorded_handlers, caplog):
    await relvane.handle_message("addin", "wb1", {"type": "function_execution", "request_id": ["x"]})
    await asyncio.sleep(0)
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1 and errors[0].getMessage().startswith("Error handling response: ")
    assert errors[0].exc_info is not None
    assert len(recorded_handlers) == 1


async def test_matcher_is_read_at_each_dispatch(recorded_handlers, monkeypatch):
    seen = []

    async def matcher(message):
        seen.append((len(recorded_handlers), message))
        return False

    monkeypatch.setattr(relvane, "_try_handle_response", matcher)
    message = {"type": "function_execution", "request_id": "r-replaced"}
    await relvane.handle_message("addin", "wb1", message)
    assert seen == []  # it too runs only once the dispatch has yielded
    await asyncio.sleep(0)
    assert seen == [(1, message)] and seen[0][1] is message


class Halt(BaseException):
    """An error no matcher catches: it reaches the loop's exception handler."""


@pytest.mark.parametrize("failure", [ValueError, Halt])
async def test_a_burst_is_matched_in_arrival_order_and_one_failure_loses_no_other(
        recorded_handlers, monkeypatch, caplog, failure):
    seen, reported = [], []

    class Manager:
        def handle_response(self, message):
            if message["request_id"] == "r2":
                raise failure("no match")
            seen.append((len(recorded_handlers), message["request_id"]))
            return False

    monkeypatch.setattr(relvane, "manager", Manager())
    loop = asyncio.get_running_loop()
    previous = loop.get_exception_handler()
    loop.set_exception_handler(lambda _, context: reported.append(context.get("exception")))
    try:
        for request_id in ("r1", "r2", "r3"):
            await relvane.handle_message("addin", "wb1", {"type": "function_execution", "request_id": request_id})
        assert seen == []  # none before the dispatches have yielded
        await wait_until(lambda: len(seen) == 2)
    finally:
        loop.set_exception_handler(previous)
    assert seen == [(3, "r1"), (3, "r3")]
    if failure is Halt:
        assert len(reported) == 1 and isinstance(reported[0], Halt)
    else:
        assert [m for m in lines(caplog, logging.ERROR) if m.startswith("Error handling response: ")]


def test_matching_goes_on_after_a_loop_closed_with_messages_unmatched(recorded_handlers, monkeypatch):
    seen = []

    class Manager:
        def handle_response(self, message):
            seen.append(message["request_id"])
            return False

    monkeypatch.setattr(relvane, "manager", Manager())

    async def dispatch(request_id, stop_after_this_step):
        if stop_after_this_step:  # the matcher's turn never comes on this loop
            asyncio.get_running_loop().stop()
        await relvane.handle_message("addin", "wb1", {"type": "function_execution", "request_id": request_id})

    first = asyncio.new_event_loop()
    try:
        first.run_until_complete(dispatch("on-closed-loop", True))
    finally:
        first.close()
    second = asyncio.new_event_loop()
    try:
        second.run_until_complete(dispatch("on-new-loop", False))
        second.run_until_complete(asyncio.sleep(0))
    finally:
        second.close()
    assert seen == ["on-new-loop"]


@pytest.mark.parametrize("request_id, pending, matched, errors", [
    ("direct-1", True, True, 0),
    ("direct-2", False, False, 0),
    (["unhashable"], False, False, 1),
])
async def test_matcher_called_directly(caplog, request_id, pending, matched, errors):
    future = asyncio.get_running_loop().create_future()
    if pending:
        relvane.manager._pending_requests[request_id] = future
    try:
        message = {"type": "anything", "request_id": request_id}
        assert await relvane._try_handle_response(message) is matched
        assert future.done() == matched and (not matched or future.result() is message)
        assert len(lines(caplog, logging.ERROR)) == errors
    finally:
        if pending:
            relvane.manager._pending_requests.pop(request_id, None)


@pytest.mark.parametrize("message, error, level", [
    ({"type": ["x"]}, TypeError, logging.WARNING),  # the client's mistake: no traceback
    ({"type": "function_execution"}, LookupError, logging.ERROR),  # the master's own fault
])
async def test_a_failing_message_ends_its_task_with_one_line(recorded_handlers, caplog, monkeypatch, message, error,
                                                           level):
    async def failing(client_id, message):
        raise LookupError("lost")

    monkeypatch.setitem(relvane.MESSAGE_HANDLERS["addin"], "function_execution", failing)
    with pytest.raises(error) as raised:
        await relvane.handle_message("addin", "wb1", message)
    [record] = [r for r in caplog.records if r.levelno >= logging.WARNING]
    assert record.levelno == level and (record.exc_info is not None) == (level == logging.ERROR)
    assert record.getMessage() == f"Error handling {message['type']} from addin/wb1: {raised.value}"


async def test_chunked_message_is_reassembled_and_dispatched(recorded_handlers, caplog):
    if not hasattr(relvane.ConnectionManager, "_handle_chunk_message"):
        pytest.skip("chunk reassembly not built")
    caplog.set_level(logging.DEBUG, LOGGER)
    whole = json.dumps({"type": "function_execution", "request_id": "big", "data": "x" * 100})
    parts = [whole[i:i + 40] for i in range(0, len(whole), 40)]
    for i, part in enumerate(parts):
        piece = {"type": "chunk", "chunk_id": "c1", "chunk_index": i, "total_chunks": len(parts), "data": part,
                 "original_type": "function_execution"}
        await relvane.handle_message("addin", "wb7", piece)
        if i < len(parts) - 1:
            assert recorded_handlers == [] and lines(caplog) == []
    assert recorded_handlers == [("wb7", json.loads(whole))]
    assert lines(caplog) == ["[TIMING] Received from addin: type=function_execution, request_id=big"]


# ---------------------------------------------------------------- hooks and status

async def test_status_handlers():
    assert await relvane.root() == {"status": "running", "service": "Tavrino Business Layer"}
    assert await relvane.get_connections() == {"addin": [], "ide": [], "kernel": [], "inspector": []}
    with pytest.raises(TypeError):
        relvane.root(1)


@pytest.mark.parametrize("launched", [True, False])
async def test_startup_hook_launches_inspector_with_current_port(monkeypatch, caplog, launched):
    ports = []
    monkeypatch.setattr(relvane, "launch_inspector", lambda port: ports.append(port) or launched)
    monkeypatch.setattr(relvane, "_port", 8123)
    caplog.set_level(logging.INFO, LOGGER)
    loop = asyncio.get_running_loop()
    start = loop.time()
    await relvane.startup_event()
    elapsed = loop.time() - start
    assert ports == [8123]
    if launched:
        assert elapsed >= 0.95
        assert lines(caplog, logging.INFO)[-1] == "Python Inspector launched successfully"
    else:
        assert elapsed < 0.9  # no wait for an inspector: well under the second one waits, even on a busy machine
        assert lines(caplog, logging.WARNING) == ["Failed to launch Python Inspector - some features may not work"]


async def test_shutdown_hook_terminates_inspector(monkeypatch):
    calls = []
    monkeypatch.setattr(relvane, "terminate_inspector", lambda: calls.append(1))
    await relvane.shutdown_event()
    assert calls == [1]


def test_hooks_run_when_mounted_in_fastapi(monkeypatch):
    from fastapi import FastAPI
    from fastapi.testclient import TestClient

    events = []
    monkeypatch.setattr(relvane, "launch_inspector", lambda port: events.append(("launch", port)) and None)
    monkeypatch.setattr(relvane, "terminate_inspector", lambda: events.append(("terminate",)))
    app = FastAPI(on_startup=[relvane.startup_event], on_shutdown=[relvane.shutdown_event])
    app.get("/")(relvane.root)
    app.get("/connections")(relvane.get_connections)
    with TestClient(app) as client:
        assert client.get("/").json() == {"status": "running", "service": "Tavrino Business Layer"}
        assert client.get("/connections").json() == {"addin": [], "ide": [], "kernel": [], "inspector": []}
    assert events == [("launch", relvane._port), ("terminate",)]


@pytest.mark.parametrize("value, stored", [(8000.5, 8000), (True, 1), (9001, 9001)])
def test_set_port_conversions(value, stored):
    try:
        relvane.set_port(port=value)
        assert relvane._port == stored and type(relvane._port) is int
    finally:
        relvane.set_port(8000)


def test_set_port_refusals():
    for bad in ("8000", None, [1]):
        with pytest.raises(TypeError, match="set_port\\(\\) argument 'port' must be int, not"):
            relvane.set_port(bad)
    with pytest.raises(TypeError, match="set_port"):
        relvane.set_port()
    with pytest.raises(TypeError, match="set_port"):
        relvane.set_port(1, 2)
    assert relvane._port == 8000


def test_initialize_ide_manager(monkeypatch, caplog):
    built = []

    class FakeIDE:
        def __init__(self, **kw):
            built.append(kw)

    monkeypatch.setattr(relvane, "IDEProcessManager", FakeIDE)
    monkeypatch.setattr(relvane, "ide_manager", None)
    caplog.set_level(logging.INFO, LOGGER)
    relvane.initialize_ide_manager(8000, 8001.9, "secret-token", docs_port=True)
    relvane.initialize_ide_manager(server_port=1, watchdog_port=2, auth_token="t2", docs_port=3)
    assert built == [{"server_port": 8000, "watchdog_port": 8001, "auth_token": "secret-token", "docs_port": 1},
                     {"server_port": 1, "watchdog_port": 2, "auth_token": "t2", "docs_port": 3}]
    assert isinstance(relvane.ide_manager, FakeIDE)
    logs = lines(caplog, logging.INFO)
    assert logs[-1] == "IDE manager initialized with server port: 1, watchdog port: 2, docs port: 3"
    assert not any("secret-token" in r.getMessage() for r in caplog.records)
    current = relvane.ide_manager
    for args, name in [(("a", 1, "t", 2), "server_port"), ((1, None, "t", 2), "watchdog_port"),
                       ((1, 2, "t", "x"), "docs_port"), ((1, 2, None, 3), "auth_token"),
                       ((1, 2, type("S", (str,), {})("t"), 3), "auth_token")]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            relvane.initialize_ide_manager(*args)
    assert relvane.ide_manager is current and len(built) == 2


# ---------------------------------------------------------------- host program

def test_host_program_serves_status_over_http(tmp_path):
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    with running(argv, port, env={"HOME": str(tmp_path)}):
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=scaled(5)) as resp:
            assert json.load(resp) == {"status": "running", "service": "Tavrino Business Layer"}
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/connections", timeout=scaled(5)) as resp:
            assert json.load(resp) == {"addin": [], "ide": [], "kernel": [], "inspector": []}


@pytest.fixture
def uvicorn_levels():
    """Restores the levels that loading a uvicorn configuration sets on its loggers."""
    names = ("uvicorn.error", "uvicorn.access", "uvicorn.asgi")
    saved = [logging.getLogger(n).level for n in names]
    root = logging.getLogger().level
    yield names
    for n, level in zip(names, saved):
        logging.getLogger(n).setLevel(level)
    logging.getLogger().setLevel(root)


@pytest.mark.parametrize("root_level", [logging.DEBUG, logging.INFO, logging.WARNING])
def test_host_runs_uvicorn_without_per_message_logging(monkeypatch, uvicorn_levels, root_level):
    import uvicorn
    from uvicorn.middleware.message_logger import MessageLoggerMiddleware

    import tavrino_master.__main__ as host

    runs = []

    def serve(app, kw, sockets):
        for sock in sockets:
            sock.close()
        runs.append((app, kw))

    monkeypatch.setattr(host, "serve", serve)
    monkeypatch.setattr(relvane, "set_port", lambda port: None)
    monkeypatch.setattr(relvane, "initialize_ide_manager", lambda *args: None)
    monkeypatch.delenv("TAVRINO_AUTH_TOKEN", raising=False)
    monkeypatch.setenv("TAVRINO_SERVER_HOST", "")  # restored afterwards: the host sets it
    logging.getLogger().setLevel(root_level)
    host.main(["--port", str(free_port())])

    (app, kw), = runs
    assert kw["log_config"] is None
    config = uvicorn.Config(app, **kw)
    config.load()
    layers, layer = [], config.loaded_app
    while layer is not None and layer is not app:
        layers.append(type(layer))
        layer = getattr(layer, "app", None)
    assert layer is app and MessageLoggerMiddleware not in layers
    # uvicorn's own lines are filtered exactly as the master's logging set-up filters them
    assert [logging.getLogger(n).getEffectiveLevel() for n in uvicorn_levels] == [root_level] * 3

