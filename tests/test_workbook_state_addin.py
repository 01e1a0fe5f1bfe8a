"""Requests to the add-in: state pulls, module storage, handler registration."""
import asyncio
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from helpers import LOGGER
from servers import scaled

WB = "wb1"


class FakeAddin:
    """Answers each request with answer(message) (None: no answer) via handle_response."""

    def __init__(self, manager, answer=None):
        self.manager = manager
        self.answer = answer
        self.sent = []

    async def accept(self):
        pass

    async def send_json(self, message):
        self.sent.append(list(message.items()))
        reply = self.answer(message) if self.answer else None
        if reply is not None:
            reply = {"type": "whatever_response", "requestId": message["request_id"], **reply}
            asyncio.get_running_loop().call_soon(self.manager.handle_response, reply)


class FakeIde:
    def __init__(self):
        self.sent = []

    async def accept(self):
        pass

    async def send_json(self, message):
        self.sent.append(message)


@pytest.fixture
def manager():
    m = relvane.ConnectionManager()
    m.timeouts = []
    real = m.send_and_wait_response

    async def fast(client_type, client_id, message, timeout=30.0):
        m.timeouts.append(timeout)
        # Only an add-in that never answers waits out its time, and briefly; one that answers gets
        # room for a busy machine.
        sock = m.active_connections.get(client_type, {}).get(client_id)
        never = type(sock) is FakeAddin and sock.answer is None
        return await real(client_type, client_id, message, 0.05 if never else scaled(10))

    m.send_and_wait_response = fast
    return m


async def addin(manager, answer):
    sock = FakeAddin(manager, answer)
    await manager.connect("addin", WB, sock)
    return sock


def records(caplog, level=None):
    return [(r.levelname, r.getMessage()) for r in caplog.records
            if r.name == LOGGER and (level is None or r.levelname == level)]


# ---------------------------------------------------------------- state pulls

PULLS = [
    ("request_modules_from_addin", "get_modules_request", {"modules": {"a": "x = 1"}}, {"a": "x = 1"},
     ("DEBUG", "Fetched 1 modules from workbook: wb1")),
    ("request_modules_from_addin", "get_modules_request", {}, {}, ("DEBUG", "Fetched 0 modules from workbook: wb1")),
    ("request_functions_from_addin", "get_functions_request", {"functions": [{"f": 1}, {"g": 2}]},
     [{"f": 1}, {"g": 2}], ("INFO", "Received 2 functions from addin for workbook wb1")),
    ("request_packages_from_addin", "get_packages_request", {"packages": [{"name": "numpy"}]},
     {"packages": [{"name": "numpy"}], "python_paths": []},
     ("INFO", "Received 1 packages and 0 python paths from addin for workbook wb1")),
    ("request_events_info_from_addin", "get_events_request",
     {"events_registered": [], "events_definition": {"Worksheet": []},
      "events_tree": {"type": "Workbook", "id": "w", "name": "B", "children": [{}, {}, {}]}},
     {"events_registered": {}, "events_definition": {"Worksheet": []},
      "events_tree": {"type": "Workbook", "id": "w", "name": "B", "children": [{}, {}, {}]}},
     ("INFO", "Received 0 events_registered and 1 events_definition and 4 events_tree from addin for workbook wb1")),
    ("request_events_info_from_addin", "get_events_request", {"events_tree": None},
     {"events_registered": {}, "events_definition": {}, "events_tree": {}},
     ("INFO", "Received 0 events_registered and 0 events_definition and 0 events_tree from addin for workbook wb1")),
]


@pytest.mark.parametrize("method, req_type, reply, expected, log", PULLS)
async def test_state_pulls(manager, caplog, method, req_type, reply, expected, log):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    sock = await addin(manager, lambda m: reply)
    result = await getattr(manager, method)(WB)
    assert result == expected and list(result) == list(expected)
    [sent] = sock.sent
    assert [k for k, _ in sent] == ["type", "request_id", "requestId"]
    assert sent[0] == ("type", req_type) and sent[1][1] == sent[2][1] and len(sent[1][1]) == 36
    assert manager.timeouts == [10.0]
    assert log in records(caplog)
    if method == "request_modules_from_addin":
        assert manager.workbook_modules[WB] is result
    else:
        assert manager.workbook_modules == {}


@pytest.mark.parametrize("method, neutral, text", [
    ("request_modules_from_addin", {}, "Error fetching modules from workbook wb1: "),
    ("request_functions_from_addin", None, "Error requesting functions from addin for workbook wb1: "),
    ("request_packages_from_addin", None, "Error requesting packages from addin for workbook wb1: "),
    ("request_events_info_from_addin", None, "Error requesting events from addin for workbook wb1: "),
])
@pytest.mark.parametrize("connected", [False, True])
async def test_state_pull_failures_are_warnings(manager, caplog, method, neutral, text, connected):
    manager.workbook_modules[WB] = {"keep": "1"}
    if connected:
        await addin(manager, None)  # never answers
    result = await getattr(manager, method)(WB)
    assert result == neutral
    reason = "Timeout waiting for response from addin wb1" if connected else "addin wb1 not connected"
    assert ("WARNING", text + reason) in records(caplog)
    assert manager.workbook_modules == {WB: {"keep": "1"}} and manager._pending_requests == {}


SKIPPING = "Skipping {} in the answer of workbook wb1 to {}: expected {}, got {}"


@pytest.mark.parametrize("method, reply, result, warning", [
    ("request_modules_from_addin", {"modules": None}, {}, None),
    ("request_modules_from_addin", {"modules": ["a", "b"]}, {},
     SKIPPING.format('"modules"', "get_modules_request", "an object", "list")),
    ("request_functions_from_addin", {"functions": {"f": 1}}, [],
     SKIPPING.format('"functions"', "get_functions_request", "an array", "dict")),
    ("request_packages_from_addin", {"packages": 5}, {"packages": [], "python_paths": []},
     SKIPPING.format('"packages"', "get_packages_request", "an array", "int")),
])
async def test_malformed_replies_count_as_missing(manager, caplog, method, reply, result, warning):
    manager.workbook_modules[WB] = {"keep": "1"}
    await addin(manager, lambda m: reply)
    assert await getattr(manager, method)(WB) == result
    assert records(caplog, "WARNING") == ([("WARNING", warning)] if warning else [])
    assert manager.workbook_modules == {WB: {} if method == "request_modules_from_addin" else {"keep": "1"}}


# ---------------------------------------------------------------- module storage

@pytest.mark.parametrize("reply, result, cached, log", [
    ({"success": True}, True, {"m": "code"}, "Saved module 'm' to workbook: wb1"),
    ({"success": 1}, 1, {"m": "code"}, "Saved module 'm' to workbook: wb1"),
    ({"success": False}, False, None, None),
    ({}, False, None, None),
])
async def test_save_module_to_addin(manager, caplog, reply, result, cached, log):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    sock = await addin(manager, lambda m: reply)
    assert await manager.save_module_to_addin(WB, "m", "code") == result
    assert [k for k, _ in sock.sent[0]] == ["type", "module_name", "code", "request_id", "requestId"]
    assert sock.sent[0][0] == ("type", "save_module_request") and manager.timeouts == [10.0]
    assert manager.workbook_modules.get(WB) == cached
    assert [m for _, m in records(caplog, "DEBUG") if "module 'm'" in m] == ([log] if log else [])


@pytest.mark.parametrize("reply, result, cached", [
    ({"code": ""}, "", {"m": ""}),
    ({"code": "x = 1"}, "x = 1", {"m": "x = 1"}),
    ({"code": None}, None, None),
    ({}, None, None),
])
async def test_load_module_from_addin(manager, reply, result, cached):
    sock = await addin(manager, lambda m: reply)
    assert await manager.load_module_from_addin(WB, "m") == result
    assert [k for k, _ in sock.sent[0]] == ["type", "module_name", "request_id", "requestId"]
    assert manager.workbook_modules.get(WB) == cached


async def test_load_module_with_non_text_code_is_skipped_and_caches_nothing(manager, caplog):
    await addin(manager, lambda m: {"code": 5})
    assert await manager.load_module_from_addin(WB, "m") is None
    assert WB not in manager.workbook_modules
    assert records(caplog, "WARNING") == [
        ("WARNING", SKIPPING.format("module 'm'", "load_module_request", "its source as text", "int"))]


@pytest.mark.parametrize("cache", [None, {}, {"m": "x", "n": "y"}])
async def test_delete_module_from_addin(manager, caplog, cache):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    if cache is not None:
        manager.workbook_modules[WB] = dict(cache)
    await addin(manager, lambda m: {"success": True})
    assert await manager.delete_module_from_addin(WB, "m") is True
    assert manager.workbook_modules.get(WB) == (None if cache is None else {k: v for k, v in cache.items() if k != "m"})
    assert ("DEBUG", "Deleted module 'm' from workbook: wb1") in records(caplog)


@pytest.mark.parametrize("call, neutral, text", [
    (lambda m: m.save_module_to_addin(WB, "m", "c"), False, "Error saving module to workbook wb1: "),
    (lambda m: m.load_module_from_addin(WB, "m"), None, "Error loading module from workbook wb1: "),
    (lambda m: m.delete_module_from_addin(WB, "m"), False, "Error deleting module from workbook wb1: "),
])
async def test_module_storage_without_addin(manager, caplog, call, neutral, text):
    manager.workbook_modules[WB] = {"m": "old"}
    assert await call(manager) is neutral
    assert records(caplog, "WARNING") == [("WARNING", text + "addin wb1 not connected")]
    assert manager.workbook_modules == {WB: {"m": "old"}}


class ManualAddin(FakeAddin):
    """Keeps the requests; the test answers them in the order it likes."""

    async def send_json(self, message):
        self.sent.append(message)

    def answer_nth(self, n, **reply):
        assert self.manager.handle_response({"requestId": self.sent[n]["request_id"], **reply})


async def run_until_sent(sock, count):
    while len(sock.sent) < count:
        await asyncio.sleep(0)


@pytest.mark.parametrize("order", [(1, 0), (0, 1)])
async def test_newest_save_wins_whatever_the_answer_order(manager, order):
    sock = ManualAddin(manager)
    await manager.connect("addin", WB, sock)
    first = asyncio.create_task(manager.save_module_to_addin(WB, "m", "old"))
    await run_until_sent(sock, 1)
    second = asyncio.create_task(manager.save_module_to_addin(WB, "m", "new"))
    await run_until_sent(sock, 2)
    for n in order:
        sock.answer_nth(n, success=True)
        await asyncio.sleep(0.01)
    assert await first is True and await second is True
    assert manager.workbook_modules[WB] == {"m": "new"}


async def test_stale_save_or_load_answer_does_not_overwrite_newer_text(manager):
    sock = ManualAddin(manager)
    await manager.connect("addin", WB, sock)
    load = asyncio.create_task(manager.load_module_from_addin(WB, "m"))
    await run_until_sent(sock, 1)
    save_old = asyncio.create_task(manager.save_module_to_addin(WB, "m", "old"))
    await run_until_sent(sock, 2)
    save_new = asyncio.create_task(manager.save_module_to_addin(WB, "m", "new"))
    await run_until_sent(sock, 3)
    manager.workbook_modules[WB] = {"m": "new"}  # the IDE's edit, written at once
    sock.answer_nth(0, code="from workbook")
    sock.answer_nth(1, success=True)
    assert await load == "from workbook" and await save_old is True
    assert manager.workbook_modules[WB] == {"m": "new"}
    sock.answer_nth(2, success=False)  # the newest save declined: still no older text
    assert await save_new is False
    assert manager.workbook_modules[WB] == {"m": "new"}


# ---------------------------------------------------------------- handler registration

async def test_register_handler_stores_pushes_and_returns_reply_value(manager, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    replies = iter([{"success": True}, {"success": 1}, {}])
    sock = await addin(manager, lambda m: next(replies))
    ide = FakeIde()
    await manager.connect("ide", "ide1", ide)
    args = (WB, "Worksheet", "s1", "onChanged", "mod", "fn")
    assert await manager.handle_register_handler(*args) is True
    assert [k for k, _ in sock.sent[0]] == ["type", "object_type", "object_id", "event_name", "module_name",
                                            "function_name", "request_id", "requestId"]
    assert sock.sent[0][0] == ("type", "register_handler_request")
    entry = manager.registered_handlers[WB][("s1", "onChanged")]
    assert list(entry.items()) == [("module_name", "mod"), ("function_name", "fn"), ("object_type", "Worksheet")]
    assert [m["type"] for m in ide.sent] == ["event_manager_state"]
    # a second registration of the same object and event replaces the entry
    assert await manager.handle_register_handler(WB, "Chart", "s1", "onChanged", "mod2", "g") == 1
    assert manager.registered_handlers[WB] == {
        ("s1", "onChanged"): {"module_name": "mod2", "function_name": "g", "object_type": "Chart"}}
    assert await manager.handle_register_handler(*args) is False
    assert len(ide.sent) == 2 and manager.registered_handlers[WB][("s1", "onChanged")]["function_name"] == "g"
    assert ("INFO", "Registering handler: wb1/Worksheet[s1].onChanged -> mod.fn") in records(caplog)
    assert records(caplog, "DEBUG").count(("DEBUG", "Registered handler in local registry")) == 2
    assert manager.timeouts == [10.0] * 3


@pytest.mark.parametrize("registry", [None, {}, {("s1", "onChanged"): {"module_name": "m"}, ("s2", "x"): {}}])
async def test_unregister_handler(manager, caplog, registry):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    if registry is not None:
        manager.registered_handlers[WB] = dict(registry)
    sock = await addin(manager, lambda m: {"success": True})
    ide = FakeIde()
    await manager.connect("ide", "ide1", ide)
    assert await manager.handle_unregister_handler(WB, "s1", "onChanged") is True
    assert [k for k, _ in sock.sent[0]] == ["type", "object_id", "event_name", "request_id", "requestId"]
    expected = None if registry is None else {k: v for k, v in registry.items() if k != ("s1", "onChanged")}
    assert manager.registered_handlers.get(WB) == expected
    assert ("DEBUG", "Unregistered handler from local registry") in records(caplog)
    assert len(ide.sent) == 1


@pytest.mark.parametrize("call, text", [
    (lambda m: m.handle_register_handler(WB, "T", "o", "e", "m", "f"), "Error registering handler: "),
    (lambda m: m.handle_unregister_handler(WB, "o", "e"), "Error unregistering handler: "),
])
@pytest.mark.parametrize("connected", [False, True])
async def test_handler_requests_failing(manager, caplog, call, text, connected):
    if connected:
        await addin(manager, None)
    assert await call(manager) is False
    reason = "Timeout waiting for response from addin wb1" if connected else "addin wb1 not connected"
    assert ("WARNING", text + reason) in records(caplog)
    assert manager.registered_handlers == {}
