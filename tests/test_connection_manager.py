"""Connection manager transport, request correlation, helpers and result batcher."""
import asyncio
import hashlib
import logging
import re

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock
from helpers import LOGGER, lines, wait_until
from servers import scaled


FIELDS = [
    "active_connections", "kernel_processes", "client_names", "workbook_modules", "_pending_requests",
    "_synced_hashes", "workbook_tree", "event_definitions", "registered_handlers", "published_functions",
    "_pending_function_executions", "workbook_packages", "workbook_resolved_deps", "workbook_package_paths",
    "workbook_pip_outputs", "workbook_installed_packages", "package_errors", "package_stderr",
    "workbook_python_paths", "_result_batcher", "_chunk_buffers",
]


def test_data_model_fields_in_order(manager):
    fields = vars(manager)
    assert list(fields) == FIELDS
    assert fields["active_connections"] == {"addin": {}, "ide": {}, "kernel": {}, "inspector": {}}
    assert list(fields["active_connections"]) == ["addin", "ide", "kernel", "inspector"]
    for name in FIELDS:
        if name not in ("active_connections", "_result_batcher"):
            assert type(fields[name]) is dict and not fields[name]
    batcher = fields["_result_batcher"]
    assert isinstance(batcher, relvane.ResultBatcher) and batcher._manager is manager
    assert type(relvane.manager) is relvane.ConnectionManager
    assert relvane.ResultBatcher.COALESCE_DELAY == 0.005


def test_module_constants():
    assert relvane.MAX_MESSAGE_SIZE == 1048576
    assert relvane.CHUNK_SIZE == 65536
    assert relvane.CHUNK_HEADER_TYPE == "chunk"
    assert relvane.VALID_ID_PATTERN.pattern == "^[a-zA-Z0-9_-]+$"
    assert relvane.VALID_PYTHON_IDENTIFIER_PART.pattern == "^[a-zA-Z_][a-zA-Z0-9_]*$"
    assert relvane.logger.name == LOGGER


# ---------------------------------------------------------------- connect / disconnect

async def test_connect_accepts_registers_and_keeps_names(manager):
    ws = Sock()
    await manager.connect("addin", "wb1", ws, "Book1")
    assert ws.accepted and manager.get_connection("addin", "wb1") is ws
    assert manager.client_names == {"wb1": "Book1"}
    for name in ("", None):
        await manager.connect("addin", "wb1", Sock(), name)
        assert manager.client_names == {"wb1": "Book1"}
    await manager.connect("custom", "c1", ws)
    assert manager.active_connections["custom"] == {"c1": ws}


async def test_failed_accept_registers_nothing(manager):
    with pytest.raises(OSError):
        await manager.connect("ide", "i1", Sock(accept_error=OSError("no")), "x")
    assert manager.active_connections["ide"] == {} and manager.client_names == {}


async def test_reconnect_replaces_socket_and_keeps_order(manager):
    a, b, c = Sock(), Sock(), Sock()
    await manager.connect("ide", "i1", a)
    await manager.connect("ide", "i2", b)
    await manager.connect("ide", "i1", c)
    assert list(manager.active_connections["ide"].items()) == [("i1", c), ("i2", b)]
    manager.disconnect("ide", "i1")
    assert list(manager.active_connections["ide"]) == ["i2"]


@pytest.mark.parametrize("client_type, name_removed", [("addin", True), ("kernel", False), ("ide", False),
                                                        ("nosuchtype", False)])
async def test_disconnect_removes_name_only_for_the_addin(manager, client_type, name_removed):
    await manager.connect("addin", "wb1", Sock(), "Book1")
    await manager.connect("kernel", "wb1", Sock())
    manager.workbook_modules["wb1"] = {"m": "x = 1"}
    manager.disconnect(client_type, "wb1")
    assert ("wb1" not in manager.client_names) == name_removed
    assert manager.workbook_modules == {"wb1": {"m": "x = 1"}}
    if client_type in ("addin", "kernel"):
        assert manager.get_connection(client_type, "wb1") is None


def test_get_connection_of_unknown_type_or_id(manager):
    assert manager.get_connection("nosuch", "x") is None
    assert manager.get_connection("inspector", "main") is None


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.connect(1, "x", None),
        lambda m: m.connect("ide", "x", None, 5),
        lambda m: m.send_message("addin", "x", []),
        lambda m: m.send_to_addin(None, {}),
        lambda m: m.broadcast("ide", "text"),
        lambda m: m.send_and_wait_response("addin", "x", {}, "10"),
        lambda m: m.disconnect("addin", None),
        lambda m: m.handle_response([]),
    ],
)
def test_arguments_are_type_checked_at_the_call(manager, call):
    with pytest.raises(TypeError, match="must be"):
        call(manager)


# ---------------------------------------------------------------- sending

async def test_send_to_absent_client_is_silent(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    await manager.send_message("addin", "nowhere", {"type": "x"})
    await manager.send_to_ide({"type": "x"})
    assert caplog.records == []


async def test_send_error_propagates(manager):
    await manager.connect("addin", "wb1", Sock(fail=True))
    with pytest.raises(ConnectionResetError):
        await manager.send_to_addin("wb1", {"type": "x"})
    assert manager.get_connection("addin", "wb1") is not None


async def test_broadcast_survives_failing_socket(manager):
    good1, bad, good2 = Sock(), Sock(fail=True), Sock()
    for i, ws in enumerate((good1, bad, good2)):
        await manager.connect("ide", f"i{i}", ws)
    message = {"type": "hello"}
    await manager.send_to_ide(message)
    assert good1.sent == [message] and good2.sent == [message]
    assert good1.sent[0] is message
    assert len(manager.active_connections["ide"]) == 3


async def test_methods_call_each_other_through_attribute_lookup(manager):
    seen = []

    async def fake_send(client_type, client_id, message):
        seen.append((client_type, client_id, message))

    manager.send_message = fake_send
    await manager.send_to_addin("wb1", {"type": "x"})
    assert seen == [("addin", "wb1", {"type": "x"})]


# ---------------------------------------------------------------- requests

class AnsweringSocket(Sock):
    """Answers each request on the next loop step, echoing its ids."""

    def __init__(self, manager, key="request_id"):
        super().__init__()
        self.manager = manager
        self.key = key

    async def send_json(self, message):
        self.sent.append(dict(message))
        answer = {"type": "answer", self.key: message["request_id"]}
        asyncio.get_running_loop().call_soon(self.manager.handle_response, answer)


@pytest.mark.parametrize(
    "message, expected_id",
    [
        ({"type": "q"}, None),
        ({"type": "q", "requestId": "abc"}, "abc"),
        ({"type": "q", "request_id": "", "requestId": "abc"}, "abc"),
        ({"type": "q", "request_id": 0, "requestId": None}, None),
        ({"type": "q", "request_id": "r1", "requestId": "other"}, "r1"),
    ],
)
async def test_request_ids(manager, message, expected_id):
    ws = AnsweringSocket(manager, key="requestId")
    await manager.connect("addin", "wb1", ws)
    answer = await manager.send_and_wait_response("addin", "wb1", message, 2)
    rid = message["request_id"]
    assert message["requestId"] == rid
    if expected_id is None:
        assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", rid)
    else:
        assert rid == expected_id
    assert answer == {"type": "answer", "requestId": rid}
    assert ws.sent[0]["request_id"] == ws.sent[0]["requestId"] == rid
    assert manager._pending_requests == {}


async def test_request_to_absent_client_raises_at_once(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    with pytest.raises(ConnectionError, match="^addin wb9 not connected$"):
        await manager.send_and_wait_response("addin", "wb9", {"type": "q"}, 10.0)
    assert manager._pending_requests == {} and caplog.records == []


async def test_request_timeout(manager, caplog):
    ws = Sock()
    await manager.connect("addin", "wb1", ws)
    with pytest.raises(TimeoutError, match="^Timeout waiting for response from addin wb1$"):
        await manager.send_and_wait_response("addin", "wb1", {"type": "get_x"}, 0.05)
    assert lines(caplog, logging.ERROR, logger=None) == [
        "Timeout waiting for response to get_x from addin wb1"]
    assert manager._pending_requests == {}
    assert manager.handle_response({"request_id": ws.sent[0]["request_id"]}) is False


async def test_cancelled_request_removes_its_entry(manager):
    await manager.connect("addin", "wb1", Sock())
    task = asyncio.create_task(manager.send_and_wait_response("addin", "wb1", {"type": "q"}))
    await wait_until(lambda: len(manager._pending_requests) == 1)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert manager._pending_requests == {}


async def test_handle_response_matching(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    loop = asyncio.get_running_loop()
    fut = loop.create_future()
    manager._pending_requests["r1"] = fut
    assert manager.handle_response({"type": "whatever"}) is False
    assert manager.handle_response({"request_id": "", "requestId": None}) is False
    assert manager.handle_response({"request_id": "other"}) is False
    assert manager.handle_response({"requestId": "r1", "x": 1}) is True
    assert fut.result() == {"requestId": "r1", "x": 1}
    assert manager.handle_response({"request_id": "r1"}) is False
    assert caplog.messages == ["Completed pending request: r1"]
    with pytest.raises(TypeError):
        manager.handle_response({"request_id": ["unhashable"]})


# ---------------------------------------------------------------- helpers

@pytest.mark.parametrize(
    "client_id, expected",
    [
        ("", (False, "Client ID cannot be empty")),
        ("a" * 256, (True, "")),
        ("a" * 257, (False, "Client ID too long (max 256 characters)")),
        ("!" * 257, (False, "Client ID too long (max 256 characters)")),
        ("wb 1", (False, "Client ID contains invalid characters")),
        ("wb.1", (False, "Client ID contains invalid characters")),
        ("wé", (False, "Client ID contains invalid characters")),
        ("wb1\n", (False, "Client ID contains invalid characters")),
        ("-", (True, "")),
        ("_", (True, "")),
        ("0", (True, "")),
    ],
)
def test_validate_client_id(client_id, expected):
    assert relvane.validate_client_id(client_id) == expected


@pytest.mark.parametrize(
    "name, expected",
    [
        ("", (False, "Name cannot be empty")),
        (".".join(["a" * 127, "b" * 128]), (True, "")),
        ("a" * 257, (False, "Name too long (max 256 characters)")),
        ("a..b", (False, "Name contains empty parts")),
        (".a", (False, "Name contains empty parts")),
        ("a.", (False, "Name contains empty parts")),
        ("mod.1x", (False, "Invalid identifier: 1x")),
        ("my-mod", (False, "Invalid identifier: my-mod")),
        ("ü", (False, "Invalid identifier: ü")),
        ("mod\n", (False, "Invalid identifier: mod\n")),
        ("a.class", (False, "Python keyword not allowed: class")),
        ("None", (False, "Python keyword not allowed: None")),
        ("await.x", (False, "Python keyword not allowed: await")),
        ("match.case._", (True, "")),
        ("1x.class", (False, "Invalid identifier: 1x")),
        ("module.function", (True, "")),
    ],
)
def test_validate_python_identifier(name, expected):
    assert relvane.validate_python_identifier(name) == expected


def test_compute_code_hash():
    assert relvane.compute_code_hash("") == hashlib.sha256(b"").hexdigest()
    assert relvane.compute_code_hash("x = 'é'\n") == hashlib.sha256("x = 'é'\n".encode()).hexdigest()
    assert relvane.compute_code_hash("a\n") != relvane.compute_code_hash("a\r\n")
    with pytest.raises(UnicodeEncodeError):
        relvane.compute_code_hash("\ud800")


def test_normalize_python_paths(caplog):
    items = ["/a", "", None, {"path": "/b", "relative": True}, {"path": ""}, {"path": None}, {}, 5, True,
             ["/c"], "/a", {"path": 7}]
    assert relvane.normalize_python_paths(items) == ["/a", "/b", "/a", 7]
    assert caplog.messages == [
        "Skipping unknown python_path format: <class 'int'> - 5",
        "Skipping unknown python_path format: <class 'bool'> - True",
        "Skipping unknown python_path format: <class 'list'> - ['/c']",
    ]
    for bad in ((), None):
        with pytest.raises(TypeError):
            relvane.normalize_python_paths(bad)


def test_set_port():
    try:
        relvane.set_port(9001.0)
        assert relvane._port == 9001 and type(relvane._port) is int
        for bad in ("8000", None, [8000]):
            with pytest.raises(TypeError, match="port"):
                relvane.set_port(bad)
            assert relvane._port == 9001
    finally:
        relvane.set_port(8000)


# ---------------------------------------------------------------- result batcher

async def test_single_result_is_sent_unwrapped(manager):
    ws = Sock()
    await manager.connect("addin", "wb1", ws)
    message = {"type": "function_execution_result", "request_id": "1"}
    await manager._result_batcher.add_result("wb1", message)
    assert ws.sent == []
    await wait_until(lambda: ws.sent)
    assert ws.sent == [message] and ws.sent[0] is message


async def test_results_within_window_are_batched_per_workbook(manager):
    a, b = Sock(), Sock()
    await manager.connect("addin", "wb1", a)
    await manager.connect("addin", "wb2", b)
    batcher = manager._result_batcher
    msgs = [{"n": i} for i in range(3)]
    for m in msgs:
        await batcher.add_result("wb1", m)
    await batcher.add_result("wb2", {"n": 9})
    await wait_until(lambda: a.sent and b.sent and not batcher._flush_tasks)
    assert a.sent == [{"type": "batch_results", "results": msgs}]
    assert list(a.sent[0]) == ["type", "results"]
    assert b.sent == [{"n": 9}]
    assert batcher._pending == {} and batcher._flush_tasks == {}


async def test_result_during_send_starts_new_batch(manager):
    gate = asyncio.Event()

    sending = asyncio.Event()

    class SlowSocket(Sock):
        async def send_json(self, message):
            sending.set()
            await gate.wait()
            self.sent.append(message)

    ws = SlowSocket()
    await manager.connect("addin", "wb1", ws)
    batcher = manager._result_batcher
    await batcher.add_result("wb1", {"n": 1})
    await asyncio.wait_for(sending.wait(), scaled(5))  # the first flush is now blocked in the send
    await batcher.add_result("wb1", {"n": 2})
    gate.set()
    await wait_until(lambda: len(ws.sent) == 2)
    assert ws.sent == [{"n": 1}, {"n": 2}]


@pytest.mark.parametrize("lock_type", ["asyncio", "subclass"])
async def test_results_wait_for_the_batchers_lock_and_keep_their_turn(manager, lock_type):
    batcher = manager._result_batcher
    if lock_type == "subclass":
        calls = []

        class Counted(asyncio.Lock):
            async def acquire(self):
                calls.append("acquire")
                return await super().acquire()

            def release(self):
                calls.append("release")
                super().release()

        batcher._lock = Counted()
    ws = Sock()
    await manager.connect("addin", "wb1", ws)
    await batcher._lock.acquire()
    first = asyncio.create_task(batcher.add_result("wb1", {"n": 1}))
    for _ in range(5):
        await asyncio.sleep(0)
    assert not first.done() and batcher._pending == {}  # held elsewhere: it waits

    async def release_then_add():
        batcher._lock.release()
        # in the same step: the woken result has not run yet, and this one queues behind it
        await batcher.add_result("wb1", {"n": 2})

    await asyncio.wait_for(release_then_add(), scaled(5))
    await asyncio.wait_for(first, scaled(5))
    await wait_until(lambda: ws.sent and not batcher._flush_tasks)
    assert ws.sent == [{"type": "batch_results", "results": [{"n": 1}, {"n": 2}]}]
    assert not batcher._lock.locked()
    if lock_type == "subclass":  # a lock of its own kind is asked through its methods
        # the test's own hold, two results and one flush
        assert calls.count("acquire") == calls.count("release") == 4


async def test_flush_all_and_failures(manager):
    batcher = manager._result_batcher
    await batcher.flush_all()  # nothing waiting: nothing happens
    await batcher.add_result("wb-absent", {"n": 1})
    ws = Sock(fail=True)
    await manager.connect("addin", "wb1", ws)
    await batcher.add_result("wb1", {"n": 2})
    with pytest.raises(ConnectionResetError):
        await batcher.flush_all()
    assert "wb-absent" not in batcher._pending
    ws.fail = False
    await wait_until(lambda: not batcher._flush_tasks)  # the delayed tasks wake and find nothing left
    assert ws.sent == []
    await batcher.add_result("wb1", {"n": 3})
    await wait_until(lambda: ws.sent)
    assert ws.sent == [{"n": 3}]


@pytest.mark.parametrize("name", ["abc", "_a1", "A_Z9", "a.b_c", "1a", "a-b", "x y", "ä", "é1", "a\n", "\u0661",
                                  "ａ", "a..b", "_", "__init__", "class", "a.\u00b2"])
def test_identifier_rule_is_the_patterns_whatever_pattern_object(monkeypatch, name):
    given = relvane.validate_python_identifier(name)
    same_rule = re.compile(relvane.VALID_PYTHON_IDENTIFIER_PART.pattern)
    monkeypatch.setattr(relvane, "VALID_PYTHON_IDENTIFIER_PART", same_rule)
    assert relvane.validate_python_identifier(name) == given
    monkeypatch.setattr(relvane, "VALID_PYTHON_IDENTIFIER_PART", re.compile(r"[a-z]+"))  # read at each use
    assert relvane.validate_python_identifier("A")[0] is False
