"""Worksheet-function and event calls, kernel results, relays and kernel batches, driven through dispatch."""
import asyncio
import json
import logging
import uuid

import pytest

import tavrino_master.business_layer.relvane as relvane
from helpers import LOGGER, wait_until, warned
from servers import scaled


class Sock:
    """A fake WebSocket; every send is also written to a log shared by one test's sockets."""

    def __init__(self, name, log, fail=False):
        self.name, self.log, self.fail = name, log, fail
        self.sent = []
        self.gate = None  # an Event that holds sends back until set

    async def accept(self):
        pass

    async def send_json(self, message):
        if self.gate is not None:
            await self.gate.wait()
        if self.fail:
            raise ConnectionResetError("gone")
        # what reaches the wire is the JSON text of the message at send time
        self.sent.append(json.loads(json.dumps(message)))
        self.log.append(self.name)


class Setup:
    def __init__(self):
        self.log = []
        self.wb = "wb-" + uuid.uuid4().hex[:8]
        self.other = "wb-" + uuid.uuid4().hex[:8]
        self.registered = []
        self.workbooks = [self.wb, self.other]

    async def add(self, client_type, client_id, name, **kw):
        sock = Sock(name, self.log, **kw)
        await relvane.manager.connect(client_type, client_id, sock)
        self.registered.append((client_type, client_id))
        return sock

    def cleanup(self):
        m = relvane.manager
        for client_type, client_id in self.registered:
            m.disconnect(client_type, client_id)
        for table in (m.workbook_modules, m._synced_hashes, m.kernel_processes):
            for wb in self.workbooks:
                table.pop(wb, None)
        for table in (m._pending_function_executions, getattr(m, "_kernel_calls", {})):
            for kernel_id, (wb, *_) in list(table.items()):
                if wb in self.workbooks:
                    del table[kernel_id]


@pytest.fixture
async def s():
    setup = Setup()
    setup.addin = await setup.add("addin", setup.wb, "addin")
    setup.kernel = await setup.add("kernel", setup.wb, "kernel")
    setup.ide1 = await setup.add("ide", "ide-" + setup.wb, "ide1")
    setup.ide2 = await setup.add("ide", "ide2-" + setup.wb, "ide2")
    yield setup
    await settle()  # let batcher flushes of this test end
    setup.cleanup()


def pending():
    return relvane.manager._pending_function_executions


async def settle():
    """Waits until the result batcher has sent what it holds, then lets started tasks run."""
    batcher = relvane.manager._result_batcher
    await wait_until(lambda: not batcher._flush_tasks and not batcher._pending)
    for _ in range(5):
        await asyncio.sleep(0)


async def dispatch(client_type, client_id, message):
    await relvane.handle_message(client_type, client_id, message)


def is_kernel_id(value):
    """The master's id for a call, which the kernel gets instead of the add-in's."""
    return isinstance(value, str) and value.startswith("m:") and value[2:].isdigit()


async def forwarded(s, rid, wb=None, kernel=None):
    """Makes a worksheet-function call of the workbook's add-in; the id its kernel got for it."""
    await dispatch("addin", wb or s.wb, {"type": "function_execution", "module_name": "m", "function_name": "f",
                                         "args": [], "request_id": rid})
    sent = (kernel or s.kernel).sent[-1]
    assert sent["type"] == "custom_function_call" and is_kernel_id(sent["request_id"])
    return sent["request_id"]


# ---------------------------------------------------------------- calls

async def test_call_follows_exactly_the_changed_modules(s):
    relvane.manager.workbook_modules[s.wb] = {"a": "x = 1", "empty": "", "b": "y = 2"}
    call = {"type": "function_execution", "module_name": "a", "function_name": "f", "args": [{"type": "int"}],
            "request_id": "r1", "extra": "not forwarded"}
    await dispatch("addin", s.wb, call)
    kernel_id = s.kernel.sent[2]["request_id"]
    assert is_kernel_id(kernel_id)
    assert s.kernel.sent == [
        {"type": "update_module", "workbook_id": s.wb, "module_name": "a", "code": "x = 1"},
        {"type": "update_module", "workbook_id": s.wb, "module_name": "b", "code": "y = 2"},
        {"type": "custom_function_call", "module_name": "a", "function_name": "f", "args": [{"type": "int"}],
         "request_id": kernel_id, "workbook_id": s.wb},
    ]
    assert list(s.kernel.sent[2]) == ["type", "module_name", "function_name", "args", "request_id", "workbook_id"]
    assert pending()[kernel_id] == (s.wb, s.addin, "r1")

    relvane.manager.workbook_modules[s.wb]["b"] = "y = 3"
    s.kernel.sent.clear()
    await dispatch("addin", s.wb, dict(call, request_id="r2"))
    assert [m["type"] for m in s.kernel.sent] == ["update_module", "custom_function_call"]
    assert s.kernel.sent[0]["module_name"] == "b" and s.kernel.sent[0]["code"] == "y = 3"
    assert s.addin.sent == [] and s.ide1.sent == []


@pytest.mark.parametrize("given, check", [
    ({}, lambda rid: isinstance(rid, str) and len(rid) == 36 and str(uuid.UUID(rid)) == rid),
    ({"request_id": ""}, lambda rid: rid == ""),
])
async def test_call_request_id_default_and_empty(s, given, check):
    await dispatch("addin", s.wb, dict({"type": "function_execution", "module_name": "m", "function_name": "f"},
                                       **given))
    sent = s.kernel.sent[-1]
    wb, addin, rid = pending()[sent["request_id"]]
    assert check(rid) and sent["args"] == [] and (wb, addin) == (s.wb, s.addin)


async def test_event_call_carries_metadata_and_leaves_no_pending_entry(s):
    before = dict(pending())
    await dispatch("addin", s.wb, {"type": "event_execution", "module_name": "ev", "function_name": "on_change",
                                   "args": [1], "request_id": "e1", "object_name": "Sheet1"})
    kernel_id = s.kernel.sent[0]["request_id"]
    assert is_kernel_id(kernel_id)
    assert s.kernel.sent == [{"type": "event_execution", "module_name": "ev", "function_name": "on_change",
                              "args": [1], "request_id": kernel_id, "workbook_id": s.wb, "object_name": "Sheet1",
                              "event_type": "", "object_type": ""}]
    assert list(s.kernel.sent[0])[-3:] == ["object_name", "event_type", "object_type"]
    assert dict(pending()) == before
    # Its result comes back under the add-in's own id, to the add-in and the IDEs.
    await dispatch("kernel", s.wb, {"type": "event_execution_result", "request_id": kernel_id, "success": True})
    result = {"type": "event_execution_result", "request_id": "e1", "success": True}
    assert s.addin.sent == [result] and s.ide1.sent == [result] == s.ide2.sent


@pytest.mark.parametrize("names, text", [
    ({}, "function_execution/event_execution missing module_name"),
    ({"module_name": "m"}, "function_execution/event_execution missing function_name"),
    ({"module_name": None, "function_name": "f"}, "function_execution/event_execution missing module_name"),
    ({"module_name": "a..b", "function_name": "f"}, "Invalid module name 'a..b': Name contains empty parts"),
    ({"module_name": "m", "function_name": "class"},
     "Invalid function name 'class': Python keyword not allowed: class"),
    ({"module_name": "m", "function_name": "1x"}, "Invalid function name '1x': Invalid identifier: 1x"),
    ({"module_name": 5, "function_name": "f"}, "Invalid module name '5': Invalid identifier: 5"),
])
@pytest.mark.parametrize("call_type", ["function_execution", "event_execution"])
async def test_refused_call_answers_the_addin_only(s, caplog, names, text, call_type):
    relvane.manager.workbook_modules[s.wb] = {"m": "x = 1"}
    caplog.set_level(logging.WARNING, LOGGER)
    await dispatch("addin", s.wb, dict({"type": call_type, "request_id": "bad"}, **names))
    error = {"type": "ValidationError", "message": text}
    expected = [{"type": "execution_error", "success": False, "error": error, "request_id": "bad",
                 "workbook_id": s.wb, "module_name": names.get("module_name", ""),
                 "function_name": names.get("function_name", "")}]
    if call_type == "function_execution":
        expected.append({"type": "function_execution_result", "request_id": "bad", "success": False,
                         "error": error})
    assert s.addin.sent == expected
    assert s.kernel.sent == [] and "bad" not in pending() and s.wb not in relvane.manager._synced_hashes
    assert warned(caplog) == [text]


async def test_unhashable_id_ends_the_task(s):
    with pytest.raises(TypeError):
        await dispatch("addin", s.wb, {"type": "function_execution", "module_name": "m", "function_name": "f",
                                       "request_id": ["x"]})
    assert s.kernel.sent == [] and s.addin.sent == []


async def test_call_without_kernel_is_dropped_and_not_kept(s):
    relvane.manager.disconnect("kernel", s.wb)
    await dispatch("addin", s.wb, {"type": "function_execution", "module_name": "m", "function_name": "f",
                                   "request_id": "lonely"})
    assert not [e for e in pending().values() if e[2] == "lonely"] and s.addin.sent == [] and s.log == []


# ---------------------------------------------------------------- results

@pytest.mark.parametrize("answer, outcome", [
    ({"type": "execution_result", "result": {"type": "int", "value": 3}, "logs": "hi"},
     {"status": "success", "result": {"type": "int", "value": 3}, "logs": "hi"}),
    ({"type": "execution_result"}, {"status": "success", "result": None, "logs": ""}),
    ({"type": "execution_error", "error": {"message": "boom"}, "logs": "tb"},
     {"status": "error", "error": {"message": "boom"}, "logs": "tb"}),
    ({"type": "execution_error"}, {"status": "error", "error": {"message": "Unknown error"}, "logs": ""}),
])
async def test_result_reaches_addin_through_batcher(s, answer, outcome):
    kernel_id = await forwarded(s, "q1")
    await dispatch("kernel", s.wb, dict(answer, request_id=kernel_id))
    assert kernel_id not in pending() and s.addin.sent == []  # waits for the coalescing window
    await settle()
    expected = dict({"type": "function_execution_result", "request_id": "q1"}, **outcome)
    assert s.addin.sent == [expected] and list(s.addin.sent[0]) == list(expected)
    assert s.ide1.sent == []


async def test_results_coalesce_per_workbook_in_order(s):
    other_addin = await s.add("addin", s.other, "other")
    other_kernel = await s.add("kernel", s.other, "other-kernel")
    calls = [await forwarded(s, f"a{i}") for i in range(3)]
    other_call = await forwarded(s, "b0", s.other, other_kernel)
    other_kernel.sent.clear()
    for i, kernel_id in enumerate(calls):
        await dispatch("kernel", s.wb, {"type": "execution_result", "request_id": kernel_id, "result": i})
    await dispatch("kernel", s.other, {"type": "execution_error", "request_id": other_call})
    await settle()
    assert len(s.addin.sent) == 1 and s.addin.sent[0]["type"] == "batch_results"
    assert [r["request_id"] for r in s.addin.sent[0]["results"]] == ["a0", "a1", "a2"]
    assert [r["result"] for r in s.addin.sent[0]["results"]] == [0, 1, 2]
    assert other_addin.sent == [{"type": "function_execution_result", "request_id": "b0", "status": "error",
                                 "error": {"message": "Unknown error"}, "logs": ""}]
    assert other_kernel.sent == []


@pytest.mark.parametrize("answer", [
    {"type": "execution_result", "request_id": "never-sent", "result": 1},
    {"type": "execution_result", "result": 1},
    {"type": "execution_error", "request_id": "", "error": {"message": "x"}},
    {"type": "execution_error", "request_id": None},
])
async def test_unmatched_answer_is_relayed_unchanged(s, answer):
    pending()[""] = s.wb  # an empty id never matches, even when recorded
    await dispatch("kernel", s.wb, dict(answer))
    await settle()
    assert s.addin.sent == [answer] and s.ide1.sent == [answer] and s.ide2.sent == [answer]
    assert s.log[0] == "addin" and pending()[""] == s.wb


async def test_second_answer_to_one_call_is_dropped(s):
    kernel_id = await forwarded(s, "twice")
    await dispatch("kernel", s.wb, {"type": "execution_result", "request_id": kernel_id, "result": 1})
    await dispatch("kernel", s.wb, {"type": "execution_result", "request_id": kernel_id, "result": 2})
    await settle()
    # Nobody waits for the second: the master's id would mean nothing to the add-in or the IDEs.
    assert [(m["type"], m["request_id"], m["result"]) for m in s.addin.sent] == [
        ("function_execution_result", "twice", 1)]
    assert s.ide1.sent == []


@pytest.mark.parametrize("answer_type", ["execution_result", "execution_error"])
async def test_kernel_cannot_complete_another_workbooks_call(s, answer_type):
    other_addin = await s.add("addin", s.other, "other")
    await s.add("kernel", s.other, "other-kernel")
    kernel_id = await forwarded(s, "mine")
    stray = {"type": answer_type, "request_id": kernel_id, "result": "forged"}
    await dispatch("kernel", s.other, dict(stray))
    await settle()
    assert s.addin.sent == [] and pending()[kernel_id][0] == s.wb
    assert other_addin.sent == [] and s.ide1.sent == []  # the master's id answers nobody else

    await dispatch("kernel", s.wb, {"type": answer_type, "request_id": kernel_id})
    await settle()
    assert [m["type"] for m in s.addin.sent] == ["function_execution_result"] and kernel_id not in pending()


async def test_unhashable_result_id_ends_task(s):
    with pytest.raises(TypeError):
        await dispatch("kernel", s.wb, {"type": "execution_result", "request_id": {"a": 1}})
    assert s.log == []


# ---------------------------------------------------------------- relays

@pytest.mark.parametrize("sender, type_, receivers", [
    ("addin", "execution_request", ["kernel"]),
    ("addin", "excel_response", ["kernel"]),
    ("addin", "sys_response", ["kernel"]),
    ("kernel", "sys_request", ["addin"]),
    ("kernel", "show_message_box", ["addin"]),
    ("kernel", "set_enable_events", ["addin"]),
    *[("kernel", t, ["addin", "ide1", "ide2"])
      for t in ("stdout", "stderr", "result_output", "event_execution_result", "streaming_function_result")],
])
async def test_relays_between_addin_and_kernel(s, sender, type_, receivers):
    message = {"type": type_, "requestId": "x", "payload": [1, {"a": None}]}
    await dispatch(sender, s.wb, message)
    if len(receivers) > 1:  # the add-in's copy goes first, then both IDEs
        assert s.log[0] == "addin" and sorted(s.log[1:]) == ["ide1", "ide2"]
    else:
        assert s.log == receivers
    for name in receivers:
        assert getattr(s, name).sent == [{"type": type_, "requestId": "x", "payload": [1, {"a": None}]}]


@pytest.mark.parametrize("type_", ["completion_response", "signature_help_response", "hover_response",
                                   "diagnostic_response", "object_registry_update", "object_registry_response",
                                   "debug_terminated", "debug_paused", "debug_exception", "debug_evaluate_result"])
@pytest.mark.parametrize("given, expected", [(None, "SELF"), ("", "SELF"), (0, "SELF"), ("absent", "SELF"),
                                             ("wb-other", "wb-other")])
async def test_kernel_answers_reach_every_ide_with_workbook(s, caplog, type_, given, expected):
    caplog.set_level(logging.INFO, LOGGER)
    message = {"type": type_, "items": [1]}
    if given != "absent":
        message["workbook_id"] = given
    await dispatch("kernel", s.wb, message)
    want = s.wb if expected == "SELF" else expected
    assert s.ide1.sent == [{"type": type_, "items": [1], "workbook_id": want}] == s.ide2.sent
    assert s.addin.sent == [] and s.kernel.sent == []
    assert f"[BusinessLayer] Forwarded {type_} to IDE for workbook {want}" in caplog.messages


@pytest.mark.parametrize("type_", ["save_event_config_response", "validate_handler_response"])
async def test_event_config_answers_name_the_sending_workbook(s, type_):
    await dispatch("addin", s.wb, {"type": type_, "workbook_id": "forged", "ok": True})
    assert s.ide1.sent == [{"type": type_, "workbook_id": s.wb, "ok": True}] == s.ide2.sent
    assert s.kernel.sent == [] and s.addin.sent == []


async def test_relays_to_absent_receivers_drop_silently(s, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    relvane.manager.disconnect("kernel", s.wb)
    relvane.manager.disconnect("addin", s.wb)
    for type_ in ("execution_request", "excel_response", "sys_response"):
        await dispatch("addin", s.wb, {"type": type_})
    await dispatch("kernel", s.wb, {"type": "show_message_box"})
    assert s.log == []
    assert f"[Server] Routing sys_response from addin {s.wb} to kernel" in caplog.messages
    await dispatch("kernel", s.wb, {"type": "stdout", "text": "x"})
    assert sorted(s.log) == ["ide1", "ide2"]


async def test_transfert_stops_when_addin_send_fails(s):
    relvane.manager.disconnect("addin", s.wb)
    await s.add("addin", s.wb, "broken", fail=True)
    with pytest.raises(ConnectionResetError):
        await dispatch("kernel", s.wb, {"type": "stdout"})
    assert s.ide1.sent == [] and s.ide2.sent == []


@pytest.mark.parametrize("sender", ["addin", "ide"])
async def test_kernel_control_acts_on_senders_own_id(s, monkeypatch, sender):
    calls = []
    monkeypatch.setattr(relvane.manager, "spawn_kernel", lambda wb: calls.append(("spawn", wb)), raising=False)
    monkeypatch.setattr(relvane.manager, "terminate_kernel", lambda wb: calls.append(("terminate", wb)),
                        raising=False)
    await dispatch(sender, "client-7", {"type": "spawn_kernel", "workbook_id": "elsewhere"})
    await dispatch(sender, "client-7", {"type": "terminate_kernel", "workbook_id": "elsewhere"})
    assert calls == [("spawn", "client-7"), ("terminate", "client-7")]
    assert s.log == []


@pytest.mark.parametrize("message, target", [
    ({"type": "x"}, "SELF"),
    ({"type": "x", "workbook_id": "OTHER"}, "OTHER"),
    ({"type": "x", "workbook_id": ""}, None),
])
async def test_forward_to_addin_uses_message_workbook_when_present(s, message, target):
    other = await s.add("addin", s.other, "other")
    message = {k: (s.other if v == "OTHER" else v) for k, v in message.items()}
    await relvane.handle_forward_to_addin(s.wb, message)
    assert s.addin.sent == ([message] if target == "SELF" else [])
    assert other.sent == ([message] if target == "OTHER" else [])


async def test_unnamed_forwards(s):
    with pytest.raises(TypeError):
        await relvane.handle_forward_to_addin(s.wb, {"type": "x", "workbook_id": 3})
    await relvane.handle_forward_to_kernel(s.wb, {"type": "k"})
    await relvane.handle_broadcast_to_ide(s.wb, {"type": "i"})
    assert s.kernel.sent == [{"type": "k"}] and s.ide1.sent == [{"type": "i"}] == s.ide2.sent
    assert s.addin.sent == []


# ---------------------------------------------------------------- batches

async def test_batch_dispatches_each_element_and_skips_non_objects(s, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    kernel_id = await forwarded(s, "b1")
    batch = {"type": "batch", "messages": [
        {"type": "execution_result", "request_id": kernel_id, "result": 1},
        5, None, "text", [1],
        {"type": "stdout", "text": "out"},
        {"type": "hover_response"},
        {"type": "execution_request"},
    ]}
    await dispatch("kernel", s.wb, batch)
    await settle()
    assert s.addin.sent == [{"type": "stdout", "text": "out"},
                            {"type": "function_execution_result", "request_id": "b1", "status": "success",
                             "result": 1, "logs": ""}]
    assert s.ide1.sent == [{"type": "stdout", "text": "out"}, {"type": "hover_response", "workbook_id": s.wb}]
    assert batch["messages"][6] == {"type": "hover_response", "workbook_id": s.wb}  # elements are not copied
    skipped = [m for m in caplog.messages if m.startswith("Skipping kernel batch element")]
    assert skipped == [f"Skipping kernel batch element {i} from {s.wb}: expected an object, got {t}"
                       for i, t in [(1, "int"), (2, "NoneType"), (3, "str"), (4, "list")]]
    assert "No handler for kernel/execution_request" in caplog.messages


@pytest.mark.parametrize("batch", [{"type": "batch"}, {"type": "batch", "messages": []}])
async def test_empty_batch_does_nothing(s, caplog, batch):
    caplog.set_level(logging.DEBUG, LOGGER)
    await dispatch("kernel", s.wb, batch)
    assert s.log == [] and caplog.messages == ["[TIMING] Received from kernel: type=batch, request_id=N/A"]


@pytest.mark.parametrize("messages", [None, 5, "abc", {"type": "stdout"}])
async def test_batch_messages_not_a_list_dispatch_nothing(s, messages):
    with pytest.raises(TypeError):
        await dispatch("kernel", s.wb, {"type": "batch", "messages": messages})
    await asyncio.sleep(0)
    assert s.log == []


async def test_failing_element_does_not_touch_the_others(s):
    await dispatch("kernel", s.wb, {"type": "batch", "messages": [
        {"type": "execution_result", "request_id": ["unhashable"]},
        {"type": "stdout", "n": 1},
    ]})
    assert s.addin.sent == [{"type": "stdout", "n": 1}]


def gated_stdout(monkeypatch, gate):
    """The kernel's "stdout" handler, held until `gate` is set, then relayed as usual."""
    relay = relvane.MESSAGE_HANDLERS["kernel"]["stdout"]

    async def held(client_id, message):
        await gate.wait()
        await relay(client_id, message)

    monkeypatch.setitem(relvane.MESSAGE_HANDLERS["kernel"], "stdout", held)


async def test_elements_run_concurrently(s, monkeypatch):
    gate = asyncio.Event()
    gated_stdout(monkeypatch, gate)
    task = asyncio.ensure_future(dispatch("kernel", s.wb, {"type": "batch", "messages": [
        {"type": "stdout", "n": 1}, {"type": "hover_response"}]}))
    for _ in range(20):
        await asyncio.sleep(0)
    assert [m["type"] for m in s.ide1.sent] == ["hover_response"] and not task.done()
    gate.set()
    await task
    assert s.addin.sent == [{"type": "stdout", "n": 1}] and len(s.ide1.sent) == 2


async def test_a_hanging_socket_holds_up_neither_the_batch_nor_the_others(s):
    s.addin.gate = asyncio.Event()  # the add-in's sends hang until released
    await asyncio.wait_for(dispatch("kernel", s.wb, {"type": "batch", "messages": [
        {"type": "stdout", "n": 1}, {"type": "stdout", "n": 2}, {"type": "hover_response"}]}), scaled(5))
    assert [m["type"] for m in s.ide1.sent] == ["stdout", "stdout", "hover_response"] and s.addin.sent == []
    s.addin.gate.set()
    await wait_until(lambda: len(s.addin.sent) == 2)
    assert s.addin.sent == [{"type": "stdout", "n": 1}, {"type": "stdout", "n": 2}]  # in order


async def test_cancelling_the_batch_cancels_unfinished_elements(s, monkeypatch):
    gate = asyncio.Event()
    gated_stdout(monkeypatch, gate)
    task = asyncio.ensure_future(dispatch("kernel", s.wb, {"type": "batch", "messages": [{"type": "stdout"}]}))
    for _ in range(10):
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    gate.set()
    await asyncio.sleep(0.01)
    assert s.log == []


async def test_nested_batch_and_chunks_inside_a_batch(s):
    whole = json.dumps({"type": "stdout", "text": "é" * 50})
    pieces = [{"type": "chunk", "chunk_id": "c1", "chunk_index": i, "total_chunks": 3, "data": whole[i * 20:(i + 1) * 20]
               if i < 2 else whole[40:], "original_type": "stdout"} for i in range(3)]
    await dispatch("kernel", s.wb, {"type": "batch", "messages": [
        pieces[2], {"type": "batch", "messages": [{"type": "stderr", "n": 2}, pieces[0]]}, pieces[1]]})
    assert sorted(m["type"] for m in s.addin.sent) == ["stderr", "stdout"]
    assert [m for m in s.addin.sent if m["type"] == "stdout"] == [json.loads(whole)]


class CountedId(str):
    """A request id that counts how often a log line renders it."""

    renders = 0

    def __format__(self, spec):
        CountedId.renders += 1
        return str.__format__(self, spec)


@pytest.mark.parametrize("level, rendered", [(logging.INFO, False), (logging.DEBUG, True)])
async def test_debug_lines_are_built_only_when_debug_is_on(s, caplog, level, rendered):
    caplog.set_level(level, LOGGER)
    CountedId.renders = 0
    rid = CountedId("rid-" + s.wb)
    s.addin.sent.clear()
    await dispatch("addin", s.wb, {"type": "function_execution", "module_name": "calc", "function_name": "f",
                                   "args": [], "request_id": rid})
    kernel_id = s.kernel.sent[-1]["request_id"]
    await dispatch("kernel", s.wb, {"type": "execution_result", "request_id": kernel_id, "result": 1, "logs": ""})
    await dispatch("addin", s.wb, {"type": "execution_request", "request_id": rid})
    await settle()
    assert [m["request_id"] for m in s.kernel.sent] == [kernel_id, rid]
    assert [m["request_id"] for m in s.addin.sent] == [rid]
    debug_lines = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG and rid in r.getMessage()]
    assert (CountedId.renders > 0) == rendered
    assert bool(debug_lines) == rendered
    if rendered:
        assert f"Queued function_execution_result for request_id: {rid}" in debug_lines
