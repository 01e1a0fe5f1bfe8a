"""The IDE's module, listing and kernel-relay requests, driven through the dispatcher."""
import asyncio
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Addin, Sock, connect_ides
from helpers import LOGGER, settle, warned


# ---------------------------------------------------------------- execution and run

@pytest.mark.parametrize("message, warning", [
    ({"module_name": "m", "function_name": "f"}, "Received run_module from IDE without workbook_id"),
    ({"workbook_id": "wb1"}, "Received run_module from IDE without module_name"),
    ({"workbook_id": "wb1", "module_name": "m", "function_name": ""},
     "Received run_module from IDE without function_name"),
    ({"workbook_id": "wb1", "module_name": "1m", "function_name": "f"},
     "Invalid module name '1m': Invalid identifier: 1m"),
    ({"workbook_id": "wb1", "module_name": "pkg.mod", "function_name": "class"},
     "Invalid function name 'class': Python keyword not allowed: class"),
])
async def test_run_module_refusals_forward_nothing(manager, caplog, message, warning):
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    await relvane.handle_message("ide", "i", {"type": "run_module", **message})
    assert warned(caplog) == [warning] and kernel.sent == []


async def test_run_and_execution_requests_reach_the_kernel_unchanged(manager, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    run = {"type": "run_module", "workbook_id": "wb1", "module_name": "pkg.mod", "function_name": "go", "x": [1]}
    execute = {"type": "execution_request", "workbook_id": "wb1", "code": "1+1", "extra": True}
    await relvane.handle_message("ide", "i", dict(run))
    await relvane.handle_message("ide", "i", dict(execute))
    await relvane.handle_message("ide", "i", {"type": "execution_request", "workbook_id": 0})
    assert kernel.sent == [run, execute]
    messages = caplog.messages
    assert "[BusinessLayer] Routing run_module to kernel: pkg.mod.go (workbook_id=wb1)" in messages
    assert "Received execution_request from IDE without workbook_id" in messages


async def test_a_workbook_id_of_the_wrong_type_ends_the_task(manager):
    with pytest.raises(TypeError):
        await relvane.handle_run_module("i", {"workbook_id": 5, "module_name": "m", "function_name": "f"})
    with pytest.raises(TypeError):
        relvane.handle_run_module("i", None)


# ---------------------------------------------------------------- update, save, delete

async def test_update_module_caches_saves_in_background_and_forwards(manager):
    addin, kernel = Addin(manager, {"save_module_request": {"success": False}}), Sock()
    await manager.connect("addin", "wb1", addin)
    await manager.connect("kernel", "wb1", kernel)
    ide_socks = await connect_ides(manager)
    message = {"type": "update_module", "workbook_id": "wb1", "module_name": "m", "code": "", "extra": 1}
    await relvane.handle_message("ide", "i", dict(message))
    assert manager.workbook_modules["wb1"] == {"m": ""}  # an explicit empty text is an edit
    assert kernel.sent == [message]  # as the IDE sent it
    await settle()
    assert [(m["type"], m["code"]) for m in addin.sent] == [("save_module_request", "")]
    assert all(s.sent == [] for s in ide_socks)


@pytest.mark.parametrize("kind, answer", [("update_module", []), ("save_module", [False])])
@pytest.mark.parametrize("code", [{}, {"content": "x = 2"}, {"code": None}, {"code": 5}])
async def test_an_edit_without_a_text_code_changes_nothing(manager, caplog, kind, answer, code):
    addin, kernel = Addin(manager, {"save_module_request": {"success": True}}), Sock()
    await manager.connect("addin", "wb1", addin)
    await manager.connect("kernel", "wb1", kernel)
    manager.workbook_modules["wb1"] = {"m": "x = 1"}
    ide_socks = await connect_ides(manager)
    await relvane.handle_message("ide", "ide7", {"type": kind, "workbook_id": "wb1", "module_name": "m", **code})
    await settle()
    assert manager.workbook_modules["wb1"] == {"m": "x = 1"}
    assert addin.sent == [] and kernel.sent == []
    assert [m["success"] for m in ide_socks[0].sent] == answer
    assert warned(caplog) == [f"Received {kind} from IDE ide7 for module 'm' without a text \"code\"; "
                              "the module is left unchanged"]


async def test_update_module_refuses_a_name_the_kernel_cannot_import(manager, caplog):
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    await relvane.handle_message("ide", "i", {"type": "update_module", "workbook_id": "wb1",
                                              "module_name": "../evil", "code": "x"})
    assert kernel.sent == [] and manager.workbook_modules == {}
    assert warned(caplog) == ["Invalid module name '../evil': Name contains empty parts"]


@pytest.mark.parametrize("connected, success", [(True, True), (True, False), (False, False)])
async def test_save_module_caches_whatever_the_workbook_says(manager, connected, success):
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    if connected:
        await manager.connect("addin", "wb1", Addin(manager, {"save_module_request": {"success": success}}))
    ide_socks = await connect_ides(manager)
    await relvane.handle_message("ide", "i", {"type": "save_module", "workbook_id": "wb1",
                                              "module_name": "m", "code": "x = 1"})
    assert manager.workbook_modules["wb1"] == {"m": "x = 1"} and kernel.sent == []
    for s in ide_socks:
        assert s.sent == [{"type": "module_saved", "workbook_id": "wb1", "module_name": "m", "success": success}]


async def test_save_with_an_invalid_name_is_answered_as_failed(manager):
    ide_socks = await connect_ides(manager)
    await relvane.handle_message("ide", "i", {"type": "save_module", "workbook_id": "wb1",
                                              "module_name": "a b", "code": "x"})
    assert manager.workbook_modules == {}
    assert ide_socks[0].sent == [{"type": "module_saved", "workbook_id": "wb1", "module_name": "a b",
                                  "success": False}]


async def test_a_slow_save_does_not_overwrite_a_newer_edit(manager):
    addin = Addin(manager, {"save_module_request": {"success": True}, "delete_module_request": {"success": True}})
    await manager.connect("addin", "wb1", addin)
    gate = addin.hold("save_module_request")
    slow = asyncio.create_task(relvane.handle_save_module("i", {"workbook_id": "wb1", "module_name": "m",
                                                               "code": "old"}))
    await settle()
    await relvane.handle_update_module("i", {"workbook_id": "wb1", "module_name": "m", "code": "new"})
    gate.set()
    await slow
    await settle()
    assert manager.workbook_modules["wb1"]["m"] == "new"

    # nor does it bring back a module deleted meanwhile
    gate = addin.hold("save_module_request")
    slow = asyncio.create_task(relvane.handle_save_module("i", {"workbook_id": "wb1", "module_name": "m",
                                                               "code": "again"}))
    await settle()
    await relvane.handle_delete_module("i", {"workbook_id": "wb1", "module_name": "m"})
    gate.set()
    await slow
    assert "m" not in manager.workbook_modules["wb1"]


@pytest.mark.parametrize("cached", [True, False])
async def test_delete_module_reaches_cache_kernel_hashes_and_ides(manager, cached):
    await manager.connect("addin", "wb1", Addin(manager, {"delete_module_request": {"success": True}}))
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    ide_socks = await connect_ides(manager)
    if cached:
        manager.workbook_modules["wb1"] = {"m": "A", "n": "B"}
        await relvane.full_code_sync("wb1")
        kernel.sent.clear()
    await relvane.handle_message("ide", "i", {"type": "delete_module", "workbook_id": "wb1", "module_name": "m"})
    assert kernel.sent == [{"type": "delete_module", "workbook_id": "wb1", "module_name": "m"}]
    assert ide_socks[1].sent == [{"type": "module_deleted", "workbook_id": "wb1", "module_name": "m",
                                  "success": True}]
    if cached:
        assert manager.workbook_modules["wb1"] == {"n": "B"} and list(manager._synced_hashes["wb1"]) == ["n"]
        manager.save_module("wb1", "m", "A")  # same text again is sent again
        kernel.sent.clear()
        await relvane.full_code_sync("wb1")
        assert [m["module_name"] for m in kernel.sent] == ["m"]


# ---------------------------------------------------------------- listing

async def test_listing_answers_from_the_cache(manager, caplog):
    ide_socks = await connect_ides(manager)
    manager.workbook_modules["wb1"] = {"b": "B", "a": ""}
    manager.save_module("wb1", "b", "B2")
    for t in ("list_modules", "get_all_modules"):
        for wb in ("wb1", "nope", ""):
            await relvane.handle_message("ide", "i", {"type": t, "workbook_id": wb})
    await relvane.handle_message("ide", "i", {"type": "get_module", "workbook_id": "wb1", "module_name": "a"})
    assert ide_socks[0].sent == ide_socks[1].sent == [
        {"type": "module_list", "workbook_id": "wb1", "modules": ["b", "a"]},
        {"type": "module_list", "workbook_id": "nope", "modules": []},
        {"type": "all_modules", "workbook_id": "wb1", "modules": {"b": "B2", "a": ""}},
        {"type": "all_modules", "workbook_id": "nope", "modules": {}},
        {"type": "module_content", "workbook_id": "wb1", "module_name": "a", "code": ""},
    ]
    assert warned(caplog) == ["Received list_modules from IDE without workbook_id",
                                "Received get_all_modules from IDE without workbook_id"]


async def test_get_module_miss_asks_the_workbook_once(manager):
    ide_socks = await connect_ides(manager)
    await relvane.handle_get_module("i", {"workbook_id": "wb1", "module_name": "m"})
    addin = Addin(manager, {"load_module_request": {"code": "y = 2"}})
    await manager.connect("addin", "wb1", addin)
    for _ in range(2):
        await relvane.handle_get_module("i", {"workbook_id": "wb1", "module_name": "m"})
    assert [m["code"] for m in ide_socks[0].sent] == [None, "y = 2", "y = 2"]
    assert len(addin.sent) == 1


# ---------------------------------------------------------------- kernel relays

@pytest.mark.parametrize("type_", ["debug_evaluate", "debug_update_breakpoints", "hover_request",
                                   "completion_request", "get_object_registry"])
async def test_relays_pass_the_message_unchanged(manager, caplog, type_):
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    message = {"type": type_, "workbook_id": "wb1", "expr": "a + 1", "line": 3}
    await relvane.handle_message("ide", "i", dict(message))
    await relvane.handle_message("ide", "i", {"type": type_, "workbook_id": ""})
    assert kernel.sent == [message]
    expected = "get_object_registry" if type_ == "get_object_registry" else type_
    assert warned(caplog) == [f"Received {expected} from IDE without workbook_id"]


async def test_hover_mode_goes_to_every_kernel_in_connection_order(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    kernels = {wb: Sock() for wb in ("wbB", "wbA")}
    for wb, s in kernels.items():
        await manager.connect("kernel", wb, s)
    order = []
    original = manager.send_message

    async def spy(client_type, client_id, message):
        order.append(client_id)
        await original(client_type, client_id, message)

    manager.send_message = spy
    await relvane.handle_message("ide", "i", {"type": "set_hover_mode", "workbook_id": "wbA"})
    await relvane.handle_message("ide", "i", {"type": "set_hover_mode", "mode": None})
    assert order == ["wbB", "wbA", "wbB", "wbA"]
    for s in kernels.values():
        assert s.sent == [{"type": "set_hover_mode", "mode": "compact"}, {"type": "set_hover_mode", "mode": None}]
    assert "[Server] Broadcasting set_hover_mode to all kernels: compact" in caplog.messages
