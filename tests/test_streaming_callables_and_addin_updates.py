"""Streaming calls, Python-callable calls, module-sync requests, workbook updates and add-in log lines."""
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock
from helpers import LOGGER, settle


@pytest.fixture
async def peers(manager):
    """The add-in and kernel of wb1, and one IDE."""
    socks = {"addin": Sock(), "kernel": Sock(), "ide": Sock()}
    await manager.connect("addin", "wb1", socks["addin"])
    await manager.connect("kernel", "wb1", socks["kernel"])
    await manager.connect("ide", "ide1", socks["ide"])
    return socks


def messages(caplog, name=LOGGER):
    return [(r.levelno, r.getMessage()) for r in caplog.records if r.name == name]


def is_kernel_id(value):
    """The master's id for a call, which the kernel gets instead of the add-in's."""
    return isinstance(value, str) and value.startswith("m:") and value[2:].isdigit()


# ---------------------------------------------------------------- streaming

MISSING_ID = "streaming_function_execution missing request_id"


@pytest.mark.parametrize("fields, error", [
    ({"request_id": "s1"}, "streaming_function_execution missing module_name"),
    ({"request_id": "s1", "function_name": "f"}, "streaming_function_execution missing module_name"),
    ({"request_id": "s1", "module_name": "m"}, "streaming_function_execution missing function_name"),
    ({"request_id": "s1", "module_name": "a..b", "function_name": "f"},
     "Invalid module name 'a..b': Name contains empty parts"),
    ({"request_id": "s1", "module_name": "m", "function_name": "class"},
     "Invalid function name 'class': Python keyword not allowed: class"),
    ({"module_name": "m", "function_name": "f"}, MISSING_ID),
    ({"request_id": "", "module_name": "m", "function_name": "f"}, MISSING_ID),
    ({"request_id": 0, "module_name": "m", "function_name": "f"}, MISSING_ID),
])
async def test_streaming_rejections(manager, peers, caplog, fields, error):
    manager.workbook_modules["wb1"] = {"m": "x = 1"}
    await relvane.handle_message("addin", "wb1", {"type": "streaming_function_execution", **fields})
    answer = {"type": "streaming_function_result", "request_id": "s1", "error": error, "done": True}
    assert peers["addin"].sent == ([] if error == MISSING_ID else [answer])
    assert peers["kernel"].sent == [] and "wb1" not in manager._synced_hashes
    assert (logging.WARNING, error) in messages(caplog)


@pytest.mark.parametrize("extra, args", [({}, []), ({"args": "not-a-list"}, "not-a-list"), ({"args": [1, [2]]}, [1, [2]])])
async def test_streaming_call_syncs_then_forwards(manager, peers, caplog, extra, args):
    caplog.set_level(logging.DEBUG, LOGGER)
    manager.workbook_modules["wb1"] = {"m": "def f(): yield 1"}
    message = {"type": "streaming_function_execution", "request_id": 7, "module_name": "m",
               "function_name": "Outer.inner", "workbook_id": "other", "extra": 1, **extra}
    await relvane.handle_message("addin", "wb1", message)
    update, call = peers["kernel"].sent
    assert update["type"] == "update_module" and update["module_name"] == "m"
    assert is_kernel_id(call["request_id"]) and manager._streams == {(peers["addin"], 7): call["request_id"]}
    assert call == {"type": "execute_streaming_function", "request_id": call["request_id"], "module_name": "m",
                    "function_name": "Outer.inner", "args": args}
    assert list(call) == ["type", "request_id", "module_name", "function_name", "args"]
    assert peers["addin"].sent == []
    assert (logging.DEBUG, "[TIMING] Forwarded to kernel: type=streaming_function_execution, request_id=7") \
        in messages(caplog)
    # In sync now: the next call sends the call only.
    await relvane.handle_message("addin", "wb1", message)
    assert [m["type"] for m in peers["kernel"].sent] == ["update_module"] + ["execute_streaming_function"] * 2


async def test_streaming_rejection_with_non_text_id_ends_with_type_error(manager, peers):
    with pytest.raises(TypeError, match="request_id"):
        await relvane.handle_streaming_function_execution("wb1", {"request_id": 5})
    assert peers["addin"].sent == []


@pytest.mark.parametrize("message, forwarded", [
    ({"type": "cancel_streaming_function", "request_id": "s1", "x": 1}, True),
    ({"type": "cancel_streaming_function", "request_id": "s2"}, False),
    ({"type": "cancel_streaming_function"}, False),
])
async def test_cancel_is_passed_to_the_kernel_for_a_running_stream(manager, peers, message, forwarded):
    await relvane.handle_message("addin", "wb1", {"type": "streaming_function_execution", "request_id": "s1",
                                                  "module_name": "m", "function_name": "f"})
    [start] = peers["kernel"].sent
    await relvane.handle_message("addin", "wb1", message)
    cancel = {"type": "cancel_streaming_function", "request_id": start["request_id"]}
    assert peers["kernel"].sent == [start] + ([cancel] if forwarded else []) and peers["addin"].sent == []


# ---------------------------------------------------------------- python callables

NO_CALLABLE = {"kind": "response", "ok": False, "error": {"message": "python_function_call missing callable_id"}}


@pytest.mark.parametrize("message, to_addin, to_kernel", [
    ({"callable_id": "", "requestId": "r1"}, {**NO_CALLABLE, "requestId": "r1"}, None),
    ({}, {**NO_CALLABLE, "requestId": None}, None),
    ({"callable_id": "pyfunc_1", "requestId": "r1"}, None,
     {"type": "python_function_call", "callable_id": "pyfunc_1", "args": [], "request_id": "r1", "workbook_id": "wb1"}),
    ({"callable_id": 5, "request_id": "snake", "args": [1, 2], "other": True}, None,
     {"type": "python_function_call", "callable_id": 5, "args": [1, 2], "request_id": None, "workbook_id": "wb1"}),
])  # "request_id" to the kernel: the add-in's "requestId", which the kernel gets as an id of the master's
async def test_python_call(manager, peers, caplog, message, to_addin, to_kernel):
    caplog.set_level(logging.INFO, LOGGER)
    await relvane.handle_message("addin", "wb1", {"type": "python_function_call", **message})
    assert peers["addin"].sent == ([to_addin] if to_addin else [])
    if to_kernel:
        [sent] = peers["kernel"].sent
        assert is_kernel_id(sent["request_id"])
        assert manager._kernel_calls[sent["request_id"]][1:3] == (peers["addin"], to_kernel["request_id"])
        assert sent == dict(to_kernel, request_id=sent["request_id"])
    else:
        assert peers["kernel"].sent == []
    if to_addin:
        assert list(peers["addin"].sent[0]) == ["kind", "requestId", "ok", "error"]
        assert (logging.WARNING, "python_function_call missing callable_id") in messages(caplog)
    else:
        assert list(peers["kernel"].sent[0]) == list(to_kernel)
        assert (logging.INFO, "[Server] Routing python_function_call: callable_id={}, request_id={}".format(
            to_kernel["callable_id"], to_kernel["request_id"])) in messages(caplog)


# ---------------------------------------------------------------- answers of a replaced add-in

CALLS = {
    "event": ({"type": "event_execution", "module_name": "m", "function_name": "f", "request_id": "x"},
              {"type": "event_execution_result", "success": True}, "request_id", True),
    "stream": ({"type": "streaming_function_execution", "module_name": "m", "function_name": "f", "request_id": "x"},
               {"type": "streaming_function_result", "result": 1, "done": False}, "request_id", True),
    "callable": ({"type": "python_function_call", "callable_id": "pyfunc_1", "requestId": "x"},
                 {"type": "sys_request", "kind": "response", "ok": True, "result": 1}, "requestId", False),
}


@pytest.mark.parametrize("kind", list(CALLS))
async def test_an_answer_reaches_only_the_addin_connection_that_made_the_call(manager, peers, kind):
    """A page that reloads counts its ids afresh: the kernel's answer to its predecessor's call
    must not reach it under the same id."""
    call, answer, key, to_ides = CALLS[kind]
    await relvane.handle_message("addin", "wb1", dict(call))
    earlier = peers["kernel"].sent[-1]["request_id"]
    newer = Sock()
    await manager.connect("addin", "wb1", newer)  # the same workbook's add-in, connected again
    await relvane.handle_message("addin", "wb1", dict(call))
    own = peers["kernel"].sent[-1]["request_id"]
    assert is_kernel_id(earlier) and is_kernel_id(own) and earlier != own

    await relvane.handle_message("kernel", "wb1", dict(answer, **{key: earlier}))
    assert newer.sent == peers["addin"].sent == peers["ide"].sent == []
    await relvane.handle_message("kernel", "wb1", dict(answer, **{key: own}))
    assert newer.sent == [dict(answer, **{key: "x"})] and peers["addin"].sent == []
    assert peers["ide"].sent == ([dict(answer, **{key: "x"})] if to_ides else [])


# ---------------------------------------------------------------- module sync

@pytest.mark.parametrize("cached, answer_to", [("x = 1", "kernel"), ("", "addin"), (None, "addin")])
async def test_module_sync_answers_from_cache_or_asks_the_addin(manager, peers, cached, answer_to):
    if cached is not None:
        manager.workbook_modules["wb1"] = {"m": cached}
    manager._synced_hashes["wb1"] = {"m": "old"}
    await relvane.handle_message("kernel", "wb1", {"type": "request_module_sync", "module_name": "m"})
    expected = ({"type": "update_module", "module_name": "m", "code": cached} if answer_to == "kernel"
                else {"type": "get_module_request", "module_name": "m", "for_streaming": True})
    other = "addin" if answer_to == "kernel" else "kernel"
    assert peers[answer_to].sent == [expected] and peers[other].sent == []
    assert manager._synced_hashes["wb1"] == {"m": "old"}


async def test_module_sync_for_another_workbook_goes_to_that_workbook(manager, peers):
    other_kernel = Sock()
    await manager.connect("kernel", "wb2", other_kernel)
    manager.workbook_modules["wb2"] = {"m": "y = 2"}
    await relvane.handle_message("kernel", "wb1", {"type": "request_module_sync", "module_name": "m",
                                                   "workbook_id": "wb2"})
    assert other_kernel.sent == [{"type": "update_module", "module_name": "m", "code": "y = 2"}]
    assert peers["kernel"].sent == [] and peers["addin"].sent == []


async def test_module_sync_without_name_logs_then_fails(manager, peers, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    with pytest.raises(TypeError):
        await relvane.handle_kernel_request_module_sync("wb1", {"type": "request_module_sync"})
    assert messages(caplog) == [(logging.INFO, "[Server] Kernel requesting module sync: None for workbook: wb1")]
    assert peers["kernel"].sent == [] and peers["addin"].sent == []


# ---------------------------------------------------------------- workbook updates

@pytest.mark.parametrize("handler, key, attr", [
    ("handle_workbook_structure_update", "tree", "workbook_tree"),
    ("handle_event_definitions_update", "definitions", "event_definitions"),
])
async def test_structure_and_definitions_are_stored_and_pushed(manager, peers, handler, key, attr):
    await getattr(relvane, handler)("wb1", {"type": "x"})
    assert getattr(manager, attr)["wb1"] == {}
    await settle()
    assert [m["type"] for m in peers["ide"].sent] == ["event_manager_state"]

    with pytest.raises(TypeError):
        await getattr(relvane, handler)("wb1", {key: None})
    assert getattr(manager, attr)["wb1"] == {}


@pytest.mark.parametrize("message, stored", [
    ({"old_name": "a.xlsx", "new_name": "b.xlsx", "path": "/p", "workbook_id": "other"}, "b.xlsx"),
    ({"new_name": "b.xlsx"}, "b.xlsx"),
    ({"old_name": "a.xlsx"}, None),
    ({"new_name": 3}, None),
])
async def test_name_change_updates_the_table_and_the_ides(manager, peers, caplog, message, stored):
    caplog.set_level(logging.INFO, LOGGER)
    manager.client_names["wb1"] = "a.xlsx"
    await relvane.handle_message("addin", "wb1", {"type": "workbook_name_changed", **message})
    assert manager.client_names.get("wb1", "absent") == (stored or "absent")
    notice = {"type": "workbook_name_changed", "workbook_id": "wb1", "old_name": message.get("old_name"),
              "new_name": message.get("new_name"), "path": message.get("path", "")}
    assert peers["ide"].sent == [notice] and list(peers["ide"].sent[0]) == list(notice)
    assert (logging.INFO, "Workbook name changed: {} -> {} (workbook_id: wb1, path: {})".format(
        notice["old_name"], notice["new_name"], notice["path"])) in messages(caplog)


async def test_name_change_without_new_name_restores_the_default_in_the_workbook_list(manager, peers):
    manager.client_names["wb1"] = "a.xlsx"
    await relvane.handle_workbook_name_changed("wb1", {"old_name": "a.xlsx"})
    ide = Sock()
    await relvane.send_workbook_list_to_ide(ide)
    assert ide.sent[0]["workbooks"][0]["name"] == "Untitled"


# ---------------------------------------------------------------- log entries

TASKPANE = "at f (https://host/dist/taskpane.js:12:7)"


@pytest.mark.parametrize("entry, logger, levelno, line", [
    ({"level": "warning", "messages": ["hi"]}, "addin", logging.WARNING, "hi"),
    ({"level": "ERROR", "messages": ["hi"]}, "addin", logging.ERROR, "hi"),
    ({"level": "Info", "messages": ["text", 3, {"a": 1}]}, "addin", logging.INFO, 'text 3 {"a": 1}'),
    ({"level": "WARNING ", "messages": [True, None, 1.0, [1, "é"]]}, "addin", logging.DEBUG,
     'True None 1.0 [1, "\\u00e9"]'),
    ({"level": "WARN", "messages": "ab"}, "addin", logging.DEBUG, "a b"),
    ({"level": "critical", "caller": TASKPANE}, "addin.taskpane", logging.DEBUG, ""),
    ({"caller": "at f (https://h/util.js.js:1:2) at g (https://h/other.js:3:4)", "messages": []},
     "addin.util", logging.DEBUG, ""),
    ({"caller": "at f (https://host/taskpane.js:12)", "messages": ["x"], "timestamp": 5}, "addin", logging.DEBUG, "x"),
    ({"caller": "at f (https://host/taskpane.ts:12:7)", "level": "INFO"}, "addin", logging.INFO, ""),
])
async def test_log_entry(caplog, entry, logger, levelno, line):
    caplog.set_level(logging.DEBUG)
    await relvane.handle_message("addin", "wb1", {"type": "log_entry", **entry})
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records if r.name != LOGGER] == \
        [(logger, levelno, line)]


async def test_log_entry_unserialisable_value_falls_back_to_its_text(caplog):
    caplog.set_level(logging.DEBUG)
    value = [{1, 2}]
    await relvane.handle_log_entry("wb1", {"level": "INFO", "messages": [value]})
    records = messages(caplog, "addin")
    assert records[0][0] == logging.DEBUG and records[0][1].startswith("Failed to serialize object: ")
    assert records[1] == (logging.INFO, str(value))


@pytest.mark.parametrize("message, error", [
    ({"level": 3}, AttributeError),
    ({"messages": None}, TypeError),
    ({"messages": 5}, TypeError),
    ({"caller": 7}, TypeError),
])
async def test_log_entry_bad_fields_write_nothing(caplog, message, error):
    caplog.set_level(logging.DEBUG)
    with pytest.raises(error):
        await relvane.handle_log_entry("wb1", {"messages": ["x"], **message})
    assert [r for r in caplog.records if r.name.startswith("addin")] == []
