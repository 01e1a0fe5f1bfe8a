"""Endpoint, on-connect work, code sync, workbook pushes and the add-in's lists, in process."""
import asyncio
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock
from helpers import LOGGER, wait_until
from servers import scaled


class FastAsyncio:
    """asyncio with sleeps that do not wait, for the on-connect pauses."""

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def sleep(delay, result=None):
        return await asyncio.sleep(0, result)


@pytest.fixture
def manager(manager, monkeypatch):
    """The shared fresh manager, with pauses that do not wait."""
    monkeypatch.setattr(relvane, "asyncio", FastAsyncio())
    return manager


# ---------------------------------------------------------------- endpoint

@pytest.mark.parametrize("client_type, client_id, closed", [
    ("Addin", "wb1", (4001, "Invalid client type")),
    ("addin", "", (4002, "Invalid client ID: Client ID cannot be empty")),
    ("ide", "a" * 257, (4002, "Invalid client ID: Client ID too long (max 256 characters)")),
    ("kernel", "wb.1", (4002, "Invalid client ID: Client ID contains invalid characters")),
])
async def test_endpoint_turns_bad_clients_away(manager, client_type, client_id, closed):
    ws = Sock()
    await relvane.websocket_endpoint(ws, client_type, client_id)
    assert ws.closed == closed and ws.sent == []
    assert all(not table for table in manager.active_connections.values())


def test_endpoint_checks_its_arguments():
    with pytest.raises(TypeError, match="client_type"):
        relvane.websocket_endpoint(Sock(), None, "x")


class Staying(Sock):
    """A client that stays until `gone` is set."""

    query_params = {}

    def __init__(self):
        super().__init__()
        self.gone = asyncio.Event()

    async def receive_text(self):
        await self.gone.wait()
        raise relvane.WebSocketDisconnect(1000)


@pytest.mark.parametrize("error, level", [(KeyError("boom"), logging.ERROR),
                                          (ConnectionResetError("gone"), logging.DEBUG)], ids=["own-fault", "client-gone"])
async def test_a_connect_work_that_fails_leaves_a_line(manager, monkeypatch, caplog, error, level):
    async def failing(websocket, client_type, client_id):
        raise error
    monkeypatch.setattr(relvane, "on_ide_connection", failing)
    ws = Staying()
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        endpoint = asyncio.ensure_future(relvane.websocket_endpoint(ws, "ide", "ide-1"))
        await wait_until(lambda: "work of ide/ide-1" in caplog.text)
        ws.gone.set()
        await asyncio.wait_for(endpoint, scaled(5))
    [record] = [r for r in caplog.records if "work of ide/ide-1" in r.getMessage()]
    assert record.levelno == level and (record.exc_info is not None) == (level == logging.ERROR)


# ---------------------------------------------------------------- add-in on-connect

def stub_requests(monkeypatch, manager, modules=None, functions=None, packages=None, events=None, spawned=True):
    calls = []

    async def request_modules(workbook_id):
        if modules is None:
            return {}
        manager.workbook_modules[workbook_id] = modules
        return modules

    async def constant(value):
        return value

    monkeypatch.setattr(manager, "request_modules_from_addin", request_modules)
    monkeypatch.setattr(manager, "request_functions_from_addin", lambda w: constant(functions))
    monkeypatch.setattr(manager, "request_packages_from_addin", lambda w: constant(packages))
    monkeypatch.setattr(manager, "request_events_info_from_addin", lambda w: constant(events))
    monkeypatch.setattr(manager, "spawn_kernel", lambda w: calls.append(w) or (object() if spawned else None))
    return calls


async def test_failed_answers_count_as_empty_and_the_work_goes_on(manager, monkeypatch, caplog):
    manager.workbook_modules["wb1"] = {"old": "x = 1"}
    ide = Sock()
    await manager.connect("ide", "i1", ide)
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    spawned = stub_requests(monkeypatch, manager, spawned=False)
    await relvane.on_addin_coonection(addin, "addin", "wb1")
    assert manager.workbook_modules["wb1"] == {"old": "x = 1"}  # a failed request keeps the earlier cache
    assert manager.published_functions["wb1"] == []
    assert manager.workbook_packages["wb1"] == [] and manager.workbook_python_paths["wb1"] == []
    assert manager.event_definitions["wb1"] == {} and manager.registered_handlers["wb1"] == {}
    assert spawned == ["wb1"]
    assert "Failed to spawn kernel for wb1" in caplog.messages
    types = [m["type"] for m in ide.sent]
    assert types == ["workbook_list", "event_manager_state", "published_functions_state",
                     "workbook_packages_update", "workbook_connected"]
    assert ide.sent[-1]["modules"] == {"old": "x = 1"}


async def test_addin_answers_fill_the_caches_and_a_connected_kernel_is_kept(manager, monkeypatch):
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    await manager.connect("kernel", "wb1", Sock())
    packages = [{"name": "six", "version": "1", "status": "installed"}]
    spawned = stub_requests(
        monkeypatch, manager, modules={"m": "def f(a):\n  pass\n"},
        functions=[{"module_name": "m", "function_name": "f", "excel_name": "F"}],
        packages={"packages": packages, "python_paths": [{"path": "/x"}]},
        events={"events_registered": {"S1": {"ObjectType": "Worksheet",
                                             "events": {"onChanged": {"module_name": "m", "function_name": "f"}}}}})
    await relvane.on_addin_coonection(addin, "addin", "wb1")
    assert spawned == []
    assert manager.workbook_packages["wb1"] is manager.workbook_installed_packages["wb1"] is packages
    assert packages[0]["status"] == "pending"
    assert manager.workbook_python_paths["wb1"] == ["/x"]
    assert manager.registered_handlers["wb1"] == {
        ("S1", "onChanged"): {"module_name": "m", "function_name": "f", "object_type": "Worksheet"}}
    assert manager.published_functions["wb1"][0]["dimension"] == "Scalar"


async def test_ide_on_connect_sends_list_then_every_workbook(manager):
    ide_old, ide_new = Sock(), Sock()
    await manager.connect("ide", "old", ide_old)
    await manager.connect("ide", "new", ide_new)
    for wb in ("wbA", "wbB"):
        await manager.connect("addin", wb, Sock())
    await relvane.on_ide_connection(ide_new, "ide", "new")
    assert [m["type"] for m in ide_new.sent][0] == "workbook_list"
    assert [m["type"] for m in ide_old.sent][0] == "event_manager_state"
    assert [m["workbook_id"] for m in ide_old.sent if m["type"] == "workbook_connected"] == ["wbA", "wbB"]
    assert ide_new.sent[0]["workbooks"] == [{"id": "wbA", "name": "Untitled", "modules": {}},
                                           {"id": "wbB", "name": "Untitled", "modules": {}}]


async def test_kernel_on_connect_pushes(manager):
    addin, kernel, ide = Sock(), Sock(), Sock()
    await manager.connect("addin", "wb1", addin, "Book")
    await manager.connect("kernel", "wb1", kernel)
    await manager.connect("ide", "i1", ide)
    manager.workbook_modules["wb1"] = {"a": "x = 1", "b": ""}
    manager.workbook_python_paths["wb1"] = ["/p"]
    await relvane.on_kernel_connection(kernel, "kernel", "wb1")
    assert kernel.sent == [
        {"type": "update_module", "workbook_id": "wb1", "module_name": "a", "code": "x = 1"},
        {"type": "update_module", "workbook_id": "wb1", "module_name": "b", "code": ""},
        {"type": "set_python_paths", "old_paths": [], "new_paths": ["/p"]},
    ]
    assert [m["type"] for m in addin.sent] == ["sync_custom_functions", "save_event_config_request"]
    assert addin.sent[1]["save"] is False
    assert ide.sent[-1] == {"type": "log_to_console", "content": "Kernell connected for workbook Book"}
    assert manager._synced_hashes == {}


# ---------------------------------------------------------------- full code sync

async def test_full_code_sync_sends_only_what_changed(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    manager.workbook_modules["wb1"] = {"a": "A", "empty": "", "b": "B"}
    await relvane.full_code_sync("wb1")
    assert [m["module_name"] for m in kernel.sent] == ["a", "b"]
    assert set(manager._synced_hashes["wb1"]) == {"a", "b"}
    assert "[Full Sync] Synced 2 module(s) to kernel for workbook: wb1" in caplog.messages
    kernel.sent.clear()
    caplog.clear()
    await relvane.full_code_sync("wb1")
    assert kernel.sent == [] and caplog.records == []
    manager.workbook_modules["wb1"]["a"] = "A2"
    manager.workbook_modules["wb1"]["empty"] = "E"
    await relvane.full_code_sync("wb1")
    assert [(m["module_name"], m["code"]) for m in kernel.sent] == [("a", "A2"), ("empty", "E")]
    manager.workbook_modules["wb1"]["a"] = "A"
    kernel.sent.clear()
    await relvane.full_code_sync("wb1")
    assert [m["code"] for m in kernel.sent] == ["A"]


async def test_full_code_sync_stops_at_a_failed_send(manager):
    calls = []

    async def send(client_type, client_id, message):
        calls.append(message["module_name"])
        if message["module_name"] == "b":
            raise ConnectionResetError("gone")

    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    manager.send_message = send
    manager.workbook_modules["wb1"] = {"a": "A", "b": "B", "c": "C"}
    with pytest.raises(ConnectionResetError):
        await relvane.full_code_sync("wb1")
    assert calls == ["a", "b"] and list(manager._synced_hashes["wb1"]) == ["a"]
    del manager.send_message
    await relvane.full_code_sync("wb1")  # the next sync sends the rest
    assert [m["module_name"] for m in kernel.sent] == ["b", "c"]
    assert list(manager._synced_hashes["wb1"]) == ["a", "b", "c"]


async def test_full_code_sync_records_only_what_a_connected_kernel_received(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    manager.workbook_modules["wb1"] = {"a": "A", "b": "B"}
    await relvane.full_code_sync("wb1")
    assert manager._synced_hashes["wb1"] == {}
    assert not [r for r in caplog.records if r.getMessage().startswith("[Full Sync]")]
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    await relvane.full_code_sync("wb1")
    assert [m["module_name"] for m in kernel.sent] == ["a", "b"]


@pytest.mark.parametrize("replaced", [False, True], ids=["forgotten", "replaced"])
async def test_a_kernel_no_longer_the_workbooks_tells_its_addin_nothing(manager, replaced):
    addin, kernel = Sock(), Sock()
    await manager.connect("addin", "wb1", addin, "Book")
    await manager.connect("kernel", "wb1", kernel)
    work = asyncio.ensure_future(relvane.on_kernel_connection(kernel, "kernel", "wb1"))
    manager.disconnect("kernel", "wb1")  # ended with its add-in, which has come back since
    if replaced:
        await manager.connect("kernel", "wb1", Sock())
    await asyncio.wait_for(work, scaled(10))
    assert addin.sent == []


async def test_a_new_kernel_receives_every_module_again(manager):
    """Kernel replaced while the add-in is away: its connect push sends nothing,
    so the next call's sync must send every module."""
    old = Sock()
    await manager.connect("kernel", "wb1", old)
    manager.workbook_modules["wb1"] = {"m8": "X = 8", "m9": "Y = 9"}
    await relvane.full_code_sync("wb1")
    assert len(old.sent) == 2
    manager.disconnect("kernel", "wb1")
    new = Sock()
    await manager.connect("kernel", "wb1", new)
    await relvane.on_kernel_connection(new, "kernel", "wb1")
    assert [m for m in new.sent if m["type"] == "update_module"] == []
    await relvane.full_code_sync("wb1")
    assert [m["module_name"] for m in new.sent if m["type"] == "update_module"] == ["m8", "m9"]


async def test_full_code_sync_survives_cache_changes_while_sending(manager):
    async def send(client_type, client_id, message):
        manager.workbook_modules["wb1"].pop("b", None)
        manager.workbook_modules["wb1"]["z"] = "Z"

    await manager.connect("kernel", "wb1", Sock())
    manager.send_message = send
    manager.workbook_modules["wb1"] = {"a": "A", "b": "B"}
    await relvane.full_code_sync("wb1")
    assert set(manager._synced_hashes["wb1"]) == {"a", "b"}


# ---------------------------------------------------------------- workbook pushes

async def test_workbook_info_to_one_socket(manager):
    target, other = Sock(), Sock()
    await manager.connect("ide", "other", other)
    await relvane.send_workbook_info_to_ide("wb-none", target)
    assert [m["type"] for m in target.sent] == ["event_manager_state", "published_functions_state",
                                                "workbook_packages_update", "workbook_connected"]
    assert target.sent[-1]["name"] == "" and target.sent[-1]["modules"] == {}
    assert other.sent == []


async def test_python_paths_to_kernel(manager, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    kernel = Sock()
    await manager.connect("kernel", "wb1", kernel)
    await relvane.send_python_paths_to_kernel("wb1")
    assert kernel.sent == [] and caplog.records == []
    manager.workbook_python_paths["wb1"] = ["/a", "/b"]
    await relvane.send_python_paths_to_kernel("wb1")
    assert kernel.sent == [{"type": "set_python_paths", "old_paths": [], "new_paths": ["/a", "/b"]}]
    assert caplog.records[-1].getMessage() == "Sent 2 python paths to kernel for workbook wb1"


# ---------------------------------------------------------------- the add-in's lists

@pytest.mark.parametrize("entry, record", [
    ({"module": "", "module_name": "m", "function": "f", "excel_name": "F"}, None),
    ({"module_name": "m", "function_name": "f", "excel_name": "F"},
     {"module_name": "m", "function_name": "f", "excel_name": "F", "dimension": "Scalar", "streaming": False}),
    ({"module": "m", "function": "f", "excel_name": "F", "dimension": None, "streaming": "yes", "x": 1},
     {"module_name": "m", "function_name": "f", "excel_name": "F", "dimension": None, "streaming": "yes"}),
    ({"module": "m", "function": "f"}, None),
])
def test_function_entries_are_normalised(entry, record):
    out = relvane.get_functions_from_addin_message({"functions": [entry]})
    assert out == ([record] if record else [])
    if record:
        assert list(out[0]) == list(record)


def test_function_list_counts_every_entry(caplog):
    caplog.set_level(logging.INFO, LOGGER)
    valid = {"module": "m", "function": "f", "excel_name": "F"}
    assert len(relvane.get_functions_from_addin_message({"functions": [1, "x", None, valid]})) == 1
    assert relvane.get_functions_from_addin_message({"functions": "abc"}) == []
    assert caplog.messages == ["[Server] Client syncing 4 functions",
                                                        "[Server] Client syncing 3 functions"]
    with pytest.raises(TypeError):
        relvane.get_functions_from_addin_message({"functions": None})


async def test_sync_and_restore_store_and_push(manager, caplog):
    caplog.set_level(logging.DEBUG, LOGGER)
    ide = Sock()
    await manager.connect("ide", "i1", ide)
    await relvane.handle_message("addin", "wb1", {"type": "client_sync_functions"})
    assert manager.published_functions["wb1"] == []
    entry = {"module": "m", "function": "f", "excel_name": "F"}
    await relvane.handle_client_restored_functions("wb1", {"functions": [entry, 5]})
    assert manager.published_functions["wb1"][0]["module_name"] == "m"
    assert [m["functions"] for m in ide.sent if m["type"] == "published_functions_state"] == [
        [], manager.published_functions["wb1"]]
    logs = caplog.messages
    assert "[Server] Client restored 2 functions for workbook: wb1" in logs
    assert logs[-1] == "[Server] Synced restored functions to IDE for workbook: wb1"


def test_package_extraction_marks_pending_in_place():
    packages = [{"name": "a", "status": "installed"}, {"name": "b", "status": "to_remove"}]
    paths = ["/p"]
    got = relvane.get_pacakages_and_python_paths_from_addin_message({"packages": packages, "python_paths": paths})
    assert got[0] is packages and got[1] is paths
    assert [p["status"] for p in packages] == ["pending", "pending"]
    assert relvane.get_pacakages_and_python_paths_from_addin_message({}) == ([], [])
    # What is no entry stays as the workbook has it, for the installation run to refuse; the rest are marked.
    mixed = ["text", {"name": "c", "status": "error"}]
    relvane.get_pacakages_and_python_paths_from_addin_message({"packages": mixed})
    assert mixed == ["text", {"name": "c", "status": "pending"}]
