"""What a call's code sync sends once module texts have been hashed before: edits of every kind, texts of
the same length, texts changed back, every call road."""
import hashlib
import logging
import sys

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Addin, Sock

WB = "wb1"
SIZE = 100 * 1024


def text(tag, size=SIZE):
    """A module text of exactly `size` characters that differs from every other tag's."""
    head = f"# {tag}\n"
    return head + "x" * (size - len(head))


def sha(code):
    return hashlib.sha256(code.encode("utf-8")).hexdigest()


@pytest.fixture
async def peers(manager):
    addin = Addin(manager, {"save_module_request": {"success": True}, "delete_module_request": {"success": True}})
    kernel = Sock()
    await manager.connect("addin", WB, addin)
    await manager.connect("kernel", WB, kernel)
    return addin, kernel


async def ide_update(manager, addin, name, code):
    await relvane.handle_message("ide", "i", {"type": "update_module", "workbook_id": WB, "module_name": name,
                                              "code": code})


async def ide_save(manager, addin, name, code):
    await relvane.handle_message("ide", "i", {"type": "save_module", "workbook_id": WB, "module_name": name,
                                              "code": code})


async def addin_load(manager, addin, name, code):
    addin.replies["load_module_request"] = {"code": code}
    assert await manager.load_module_from_addin(WB, name) == code


async def addin_fetch(manager, addin, name, code):
    addin.replies["get_modules_request"] = {"modules": {**manager.workbook_modules[WB], name: code}}
    await manager.request_modules_from_addin(WB)


async def direct_save(manager, addin, name, code):
    manager.save_module(WB, name, code)


EDITS = [ide_update, ide_save, addin_load, addin_fetch, direct_save]


def synced_modules(kernel):
    return [(m["module_name"], m["code"]) for m in kernel.sent if m["type"] == "update_module" and "code" in m
            and list(m) == ["type", "workbook_id", "module_name", "code"]]


@pytest.mark.parametrize("edit", EDITS)
async def test_every_kind_of_edit_reaches_the_next_sync(manager, peers, edit):
    addin, kernel = peers
    texts = {name: text(name) for name in ("a", "b", "c")}
    manager.workbook_modules[WB] = dict(texts)
    await relvane.full_code_sync(WB)
    assert synced_modules(kernel) == list(texts.items())

    # each step: the edit, then what the sync after it sends
    steps = [
        ("b", text("B"), True),                       # a new text of the same length
        ("b", text("B"), False),                      # the same text again, as a new object
        ("b", texts["b"], True),                      # changed back to the first version
        ("b", text("b2", SIZE // 2), True),           # shorter
        ("c", texts["c"][:-1] + "y", True),           # only the last character differs
        ("d", text("d"), True),                       # a new module goes last
    ]
    for name, code, sent in steps:
        await edit(manager, addin, name, code)
        kernel.sent.clear()
        await relvane.full_code_sync(WB)
        assert synced_modules(kernel) == ([(name, code)] if sent else []), (name, sent)
        assert manager._synced_hashes[WB][name] == sha(code)
    assert manager._synced_hashes[WB] == {name: sha(code) for name, code in manager.workbook_modules[WB].items()}
    kernel.sent.clear()
    await relvane.full_code_sync(WB)
    assert kernel.sent == []


@pytest.mark.parametrize("edit", [ide_update, ide_save, direct_save])
async def test_a_deleted_module_made_again_with_the_very_same_text_is_sent(manager, peers, edit):
    addin, kernel = peers
    code = text("m")
    manager.workbook_modules[WB] = {"m": code, "n": text("n")}
    await relvane.full_code_sync(WB)
    await relvane.handle_message("ide", "i", {"type": "delete_module", "workbook_id": WB, "module_name": "m"})
    await edit(manager, addin, "m", code)
    kernel.sent.clear()
    await relvane.full_code_sync(WB)
    assert synced_modules(kernel) == [("m", code)]


@pytest.mark.parametrize("change", ["same length", "emptied then refilled"])
async def test_a_text_changed_during_its_send_goes_out_at_the_next_sync(manager, peers, change):
    addin, kernel = peers
    first, second = text("one"), text("two")
    manager.workbook_modules[WB] = {"m": first}
    real_send = manager.send_message

    async def send(client_type, client_id, message):
        if change == "same length":
            manager.workbook_modules[WB]["m"] = second
        else:
            manager.workbook_modules[WB]["m"] = ""
        await real_send(client_type, client_id, message)

    manager.send_message = send
    await relvane.full_code_sync(WB)
    del manager.send_message
    assert synced_modules(kernel) == [("m", first)] and manager._synced_hashes[WB] == {"m": sha(first)}
    kernel.sent.clear()
    await relvane.full_code_sync(WB)
    if change == "emptied then refilled":
        assert kernel.sent == []
        manager.workbook_modules[WB]["m"] = second
        await relvane.full_code_sync(WB)
    assert synced_modules(kernel) == [("m", second)] and manager._synced_hashes[WB] == {"m": sha(second)}


@pytest.mark.parametrize("call, forwarded", [
    ({"type": "function_execution", "args": []}, "custom_function_call"),
    ({"type": "event_execution", "args": [], "object_name": "Sheet1", "event_type": "onChanged",
      "object_type": "Worksheet"}, "event_execution"),
    ({"type": "streaming_function_execution", "args": []}, "execute_streaming_function"),
])
async def test_every_call_road_syncs_changed_modules_before_the_call(manager, peers, call, forwarded):
    addin, kernel = peers
    manager.workbook_modules[WB] = {"calc": text("calc"), "lib": text("lib"), "other": text("other")}
    kernel_ids = set()
    for n, (name, code) in enumerate([(None, None), ("lib", text("LIB")), (None, None), ("lib", text("lib"))]):
        if name:
            manager.save_module(WB, name, code)
        kernel.sent.clear()
        await relvane.handle_message("addin", WB, {**call, "module_name": "calc", "function_name": "f",
                                                   "request_id": f"r{n}"})
        types = [m["type"] for m in kernel.sent]
        assert types[-1] == forwarded and kernel.sent[-1]["request_id"] not in kernel_ids
        kernel_ids.add(kernel.sent[-1]["request_id"])
        if n == 0:
            expected = list(manager.workbook_modules[WB].items())
        else:
            expected = [(name, code)] if name else []
        assert synced_modules(kernel) == expected and types[:-1] == ["update_module"] * len(expected)


async def test_a_replaced_hash_function_is_asked_every_time(manager, peers, monkeypatch):
    addin, kernel = peers
    asked = []

    def fingerprint(code):
        asked.append(code)
        return f"{len(asked):064x}"  # a new fingerprint each time: every sync sends again

    monkeypatch.setattr(relvane, "compute_code_hash", fingerprint)
    manager.workbook_modules[WB] = {"m": text("m")}
    for n in (1, 2):
        kernel.sent.clear()
        await relvane.full_code_sync(WB)
        assert synced_modules(kernel) == [("m", text("m"))] and len(asked) == n
        assert manager._synced_hashes[WB] == {"m": f"{n:064x}"}


@pytest.mark.parametrize("removal", ["deleted", "emptied", "replaced", "cache replaced"])
async def test_the_sync_keeps_no_text_alive_once_the_cache_lets_go(manager, peers, removal):
    """The digests kept for later calls must not hold on to texts the module cache no longer has."""
    addin, kernel = peers
    gone = text("gone") + "\n"  # made here, so this test holds the only other reference
    manager.workbook_modules[WB] = {"keep": text("keep"), "m": gone}
    await relvane.full_code_sync(WB)
    if removal == "deleted":
        del manager.workbook_modules[WB]["m"]
    elif removal == "emptied":
        manager.workbook_modules[WB]["m"] = ""
    elif removal == "replaced":
        manager.workbook_modules[WB]["m"] = text("new")
    else:
        manager.workbook_modules[WB] = {"keep": text("keep")}
    kernel.sent.clear()
    baseline = sys.getrefcount(gone)
    await relvane.full_code_sync(WB)
    assert sys.getrefcount(gone) == baseline - 1
    assert [name for name, _ in synced_modules(kernel)] == (["m"] if removal == "replaced" else [])


@pytest.mark.parametrize("code, error", [(b"x = 1", TypeError), (7, TypeError), ("\ud800", None)])
async def test_only_a_cached_value_that_is_no_text_stops_the_sync(manager, peers, code, error):
    """No road puts a value that is no text into the cache; a text that UTF-8 cannot hold (a lone
    surrogate, which JSON can carry) is synced like any other."""
    addin, kernel = peers
    manager.workbook_modules[WB] = {"a": text("a"), "bad": code, "c": text("c")}
    if error is None:
        await relvane.full_code_sync(WB)
        assert [name for name, _ in synced_modules(kernel)] == ["a", "bad", "c"]
        kernel.sent.clear()
        await relvane.full_code_sync(WB)
        assert kernel.sent == []
        return
    for _ in range(2):
        kernel.sent.clear()
        with pytest.raises(error):
            await relvane.full_code_sync(WB)
    assert kernel.sent == [] and list(manager._synced_hashes[WB]) == ["a"]


@pytest.mark.parametrize("call, answers", [
    ({"type": "function_execution"}, ["execution_error", "function_execution_result"]),
    ({"type": "event_execution"}, ["execution_error"]),
    ({"type": "streaming_function_execution"}, ["streaming_function_result"]),
])
async def test_a_call_whose_sync_fails_is_answered_with_the_error(manager, peers, caplog, call, answers):
    addin, kernel = peers
    manager.workbook_modules[WB] = {"calc": 7}
    await relvane.handle_message("addin", WB, {**call, "module_name": "calc", "function_name": "f", "request_id": "r"})
    assert kernel.sent == [] and [m.get("type") for m in addin.sent] == answers
    text = "Code synchronisation failed: compute_code_hash() argument 'code' must be str, not int"
    for answer in addin.sent:
        streamed = answer["type"] == "streaming_function_result"
        assert answer["request_id"] == "r" and answer.get("done", True) is True
        assert answer["error"] == (text if streamed else {"type": "TypeError", "message": text})
    [record] = [r for r in caplog.records if r.levelno >= logging.WARNING]
    assert record.levelname == "ERROR" and record.exc_info and record.getMessage().startswith(
        "Code synchronisation for workbook wb1 failed: ")
