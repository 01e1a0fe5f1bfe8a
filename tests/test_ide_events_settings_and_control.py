"""Event, published-function, inspector, settings and control requests, driven through the dispatcher."""
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Addin, Sock, connect_ides
from helpers import LOGGER, warned


# ---------------------------------------------------------------- events

async def test_event_requests_relay_to_the_addin(manager, caplog):
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    message = {"type": "save_event_config_request", "workbook_id": "wb1", "config": {"a": 1}}
    await relvane.handle_message("ide", "i", dict(message))
    await relvane.handle_message("ide", "i", {"type": "scan_objects_request"})
    assert addin.sent == [message]
    assert warned(caplog) == ["Received scan_objects_request from IDE without workbook_id"]


@pytest.mark.parametrize("tree, definitions, pushed", [(True, True, True), (True, False, False), (False, True, False)])
async def test_refresh_pushes_the_cache_or_asks_for_a_scan(manager, tree, definitions, pushed):
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    ides = await connect_ides(manager)
    if tree:
        manager.workbook_tree["wb1"] = {}
    if definitions:
        manager.event_definitions["wb1"] = {}
    await relvane.handle_message("ide", "i", {"type": "refresh_event_manager_state", "workbook_id": "wb1"})
    if pushed:
        assert addin.sent == [] and [m["type"] for m in ides[1].sent] == ["event_manager_state"]
    else:
        assert addin.sent == [{"type": "scan_objects_request", "workbook_id": "wb1"}] and ides[1].sent == []


REGISTER = {"type": "register_handler", "workbook_id": "wb1", "object_type": "Worksheet", "object_id": "S1",
            "event_name": "onChanged", "module_name": "m", "function_name": "f"}


@pytest.mark.parametrize("connected", [True, False])
async def test_register_and_unregister_report_to_every_ide(manager, connected):
    if connected:
        await manager.connect("addin", "wb1", Addin(manager, {"register_handler_request": {"success": True},
                                                              "unregister_handler_request": {"success": True}}))
    ides = await connect_ides(manager)
    await relvane.handle_message("ide", "i", dict(REGISTER))
    key = ("S1", "onChanged")
    assert (key in manager.registered_handlers.get("wb1", {})) is connected
    await relvane.handle_message("ide", "i", {"type": "unregister_handler", "workbook_id": "wb1",
                                              "object_id": "S1", "event_name": "onChanged"})
    assert key not in manager.registered_handlers.get("wb1", {})
    results = [m for m in ides[0].sent if m["type"].endswith("_result")]
    assert results == [
        {"type": "register_handler_result", "workbook_id": "wb1", "object_id": "S1", "event_name": "onChanged",
         "success": connected},
        {"type": "unregister_handler_result", "workbook_id": "wb1", "object_id": "S1", "event_name": "onChanged",
         "success": connected},
    ]
    assert ides[1].sent == ides[0].sent


async def test_register_with_a_missing_value_sends_nothing(manager, caplog):
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    ides = await connect_ides(manager)
    await relvane.handle_message("ide", "i", {**REGISTER, "function_name": ""})
    assert addin.sent == [] and ides[0].sent == []
    assert warned(caplog) == ["Received register_handler from IDE with missing parameters"]


class Registry:
    """Stands in for the workbook state's registration; `refuse` lists the modules it will not bind."""

    def __init__(self, manager, monkeypatch, refuse=()):
        self.calls, self.refuse = [], set(refuse)

        async def register(wb, object_type, object_id, event_name, module, function):
            self.calls.append(("register", object_id, module))
            return module not in self.refuse

        async def unregister(wb, object_id, event_name):
            self.calls.append(("unregister", object_id))
            return True

        monkeypatch.setattr(manager, "handle_register_handler", register)
        monkeypatch.setattr(manager, "handle_unregister_handler", unregister)


async def test_rename_moves_each_complete_entry_in_order(manager, monkeypatch, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    registry = Registry(manager, monkeypatch)
    entry = {"object_type": "Worksheet", "event_name": "onChanged", "function_name": "f"}
    events = [{**entry, "object_id": "A"}, {**entry, "object_id": "B", "function_name": None},
              {**entry, "object_id": "C"}]
    await relvane.handle_message("ide", "i", {"type": "rename_module_in_events", "workbook_id": "wb1",
                                              "old_module_name": "old", "new_module_name": "new", "events": events})
    assert registry.calls == [("unregister", "A"), ("register", "A", "new"),
                              ("unregister", "C"), ("register", "C", "new")]
    assert warned(caplog) == [f"[BusinessLayer] Skipping event with missing parameters: {events[1]}"]
    assert caplog.messages[-1] == "[BusinessLayer] Successfully updated event handlers for module rename"


async def test_rename_restores_a_handler_it_could_not_move(manager, monkeypatch):
    registry = Registry(manager, monkeypatch, refuse={"new"})
    await relvane.handle_rename_module_in_events("i", {
        "workbook_id": "wb1", "old_module_name": "old", "new_module_name": "new",
        "events": [{"object_type": "Worksheet", "object_id": "A", "event_name": "onChanged", "function_name": "f"}]})
    assert registry.calls == [("unregister", "A"), ("register", "A", "new"), ("register", "A", "old")]


@pytest.mark.parametrize("message, text", [
    ({"old_module_name": "", "new_module_name": "n", "events": [{}]},
     "Received rename_module_in_events from IDE with missing parameters"),
    ({"old_module_name": "o", "new_module_name": "n"}, "[BusinessLayer] No events to update for module rename: o -> n"),
])
async def test_rename_without_work(manager, monkeypatch, caplog, message, text):
    caplog.set_level(logging.DEBUG, LOGGER)
    registry = Registry(manager, monkeypatch)
    await relvane.handle_rename_module_in_events("i", {"workbook_id": "wb1", **message})
    assert registry.calls == [] and text in caplog.messages


async def test_rename_with_an_entry_that_is_not_an_object_fails(manager, monkeypatch):
    Registry(manager, monkeypatch)
    with pytest.raises(TypeError):
        await relvane.handle_rename_module_in_events("i", {"workbook_id": "wb1", "old_module_name": "o",
                                                           "new_module_name": "n", "events": ["x"]})


# ---------------------------------------------------------------- published functions

async def test_published_functions_keep_the_complete_entries(manager, caplog):
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    ides = await connect_ides(manager)
    good = {"module_name": "m", "function_name": "f", "excel_name": "F", "mine": 1}
    bad = {"module_name": "m", "function_name": "g"}
    await relvane.handle_message("ide", "i", {"type": "update_published_functions", "workbook_id": "wb1",
                                              "functions": [good, bad, "text", good]})
    assert manager.published_functions["wb1"] == [good, good]
    assert ides[0].sent[-1] == {"type": "published_functions_state", "workbook_id": "wb1", "functions": [good, good]}
    assert addin.sent[-1]["type"] == "sync_custom_functions" and len(addin.sent[-1]["functions"]) == 2
    assert warned(caplog) == [f"Skipping invalid function entry: {bad}", "Skipping invalid function entry: text"]


@pytest.mark.parametrize("functions, warning", [
    (None, "Received update_published_functions with invalid functions type: <class 'NoneType'>"),
    ({}, "Received update_published_functions with invalid functions type: <class 'dict'>"),
])
async def test_published_functions_refused_list_changes_nothing(manager, caplog, functions, warning):
    manager.published_functions["wb1"] = ["kept"]
    await relvane.handle_message("ide", "i", {"type": "update_published_functions", "workbook_id": "wb1",
                                              "functions": functions})
    assert manager.published_functions["wb1"] == ["kept"] and warned(caplog) == [warning]


# ---------------------------------------------------------------- inspector

@pytest.mark.parametrize("inspector_id", [None, "other"])
async def test_query_without_inspector_main_is_answered_with_an_error(manager, caplog, inspector_id):
    if inspector_id:
        await manager.connect("inspector", inspector_id, Sock())
    ides = await connect_ides(manager)
    await relvane.handle_message("ide", "i", {"type": "get_function_at_position", "request_id": "r1"})
    await relvane.handle_message("ide", "i", {"type": "get_function_at_position"})
    assert [m["request_id"] for m in ides[1].sent] == ["r1", None]
    assert ides[0].sent[0] == {"type": "function_at_position_result", "request_id": "r1", "function_name": None,
                               "error": "Inspector service not available"}


async def test_inspector_road_passes_messages_unchanged(manager):
    inspector = Sock()
    await manager.connect("inspector", "main", inspector)
    ides = await connect_ides(manager)
    query = {"type": "get_function_at_position", "request_id": "r", "code": "def f(): pass", "line": 1}
    await relvane.handle_message("ide", "i", dict(query))
    results = [{"type": t, "x": 1} for t in ("function_at_position_result", "list_functions_result",
                                             "validate_syntax_result")]
    for r in results:
        await relvane.handle_message("inspector", "main", dict(r))
    assert inspector.sent == [query] and ides[0].sent == ides[1].sent == results


# ---------------------------------------------------------------- settings

class Settings:
    def __init__(self, fail=False):
        self.calls, self.fail = [], fail

    def get(self, path):
        self.calls.append(("get", path))
        return {"theme": "dark"}.get(path)

    def set(self, path, value):
        if self.fail:
            raise ValueError("read-only")
        self.calls.append(("set", path, value))

    def get_all(self):
        return {"theme": "dark"}


async def test_settings_requests_answer_every_ide(manager, monkeypatch):
    settings = Settings()
    monkeypatch.setattr(relvane, "settings_manager", settings)
    ides = await connect_ides(manager)
    for m in ({"type": "get_settings", "path": "theme", "request_id": 7}, {"type": "get_settings"},
              {"type": "set_setting", "path": "theme"}, {"type": "set_setting", "path": "theme", "value": None},
              {"type": "get_all_settings", "initial": "yes"}, {"type": "get_all_settings", "request_id": "r"}):
        await relvane.handle_message("ide", "i", m)
    # Without a "value" nothing is stored; an explicit null is a value.
    assert settings.calls == [("get", "theme"), ("get", ""), ("set", "theme", None)]
    assert ides[0].sent == ides[1].sent == [
        {"type": "settings_response", "request_id": 7, "path": "theme", "value": "dark"},
        {"type": "settings_response", "request_id": None, "path": "", "value": None},
        {"type": "setting_saved", "request_id": None, "path": "theme", "success": False},
        {"type": "setting_saved", "request_id": None, "path": "theme", "success": True},
        {"type": "all_settings_response", "request_id": None, "initial": "yes", "settings": {"theme": "dark"}},
        {"type": "all_settings_response", "request_id": "r", "initial": False, "settings": {"theme": "dark"}},
    ]


async def test_a_failing_set_is_not_reported_as_saved(manager, monkeypatch):
    monkeypatch.setattr(relvane, "settings_manager", Settings(fail=True))
    ides = await connect_ides(manager)
    with pytest.raises(ValueError):
        await relvane.handle_set_setting("i", {"path": "p", "value": 1})
    assert ides[0].sent == []


# ---------------------------------------------------------------- control

class IdeManager:
    def __init__(self, result):
        self.result, self.calls = result, []

    def ensure_running(self):
        self.calls.append("ensure_running")
        return self.result

    def kill_and_restart(self):
        self.calls.append("kill_and_restart")
        return self.result


@pytest.mark.parametrize("ide_manager, sent, text", [
    (None, [], "IDE manager not initialized"),
    (IdeManager(False), [], "Failed to start IDE"),
    (IdeManager(True), [{"type": "show_ide"}], "Sent show_ide message to IDE"),
])
async def test_show_ide(manager, monkeypatch, caplog, ide_manager, sent, text):
    caplog.set_level(logging.INFO, LOGGER)
    monkeypatch.setattr(relvane, "ide_manager", ide_manager)
    ides = await connect_ides(manager)
    await relvane.handle_message("addin", "wb1", {"type": "show_ide"})
    assert ides[0].sent == sent and caplog.messages[-1] == text


@pytest.mark.parametrize("ide_manager, text", [
    (None, "[BusinessLayer] IDE manager not initialized"),
    (IdeManager(False), "[BusinessLayer] Failed to restart IDE"),
    (IdeManager(True), "[BusinessLayer] IDE killed and restarted successfully"),
])
async def test_kill_ide_answers_nobody(manager, monkeypatch, caplog, ide_manager, text):
    caplog.set_level(logging.INFO, LOGGER)
    monkeypatch.setattr(relvane, "ide_manager", ide_manager)
    ides = await connect_ides(manager)
    await relvane.handle_message("addin", "wb1", {"type": "kill_ide"})
    assert ides[0].sent == [] and caplog.messages[-2:] == ["[BusinessLayer] Received kill_ide from wb1", text]


@pytest.mark.parametrize("value, preview", [
    ("x" * 120, "x" * 50), (None, "None"), (42, "42"), ({"a": 1}, "{'a': 1}"), (list(range(60)), str(list(range(50)))),
])
async def test_message_ide_forwards_any_value(manager, caplog, value, preview):
    caplog.set_level(logging.DEBUG, LOGGER)
    ides = await connect_ides(manager)
    await relvane.handle_message("addin", "wb1", {"type": "message_ide", "message": value})
    assert ides[1].sent == [{"type": "message_ide", "message": value, "from_client": "wb1"}]
    assert caplog.messages[-1] == f"[BusinessLayer] Forwarded message_ide to IDE: {preview}..."


@pytest.mark.parametrize("sender, message, target, result", [
    (("addin", "wb1"), {}, "wb1", True),
    (("ide", "ide0"), {"workbook_id": ""}, "ide0", False),
    (("ide", "ide0"), {"workbook_id": "wb1"}, "wb1", False),
])
async def test_kill_kernel_answers_addin_and_every_ide(manager, monkeypatch, caplog, sender, message, target, result):
    caplog.set_level(logging.INFO, LOGGER)
    restarted = []
    monkeypatch.setattr(manager, "kill_and_restart_kernel", lambda wb: restarted.append(wb) or result)
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    ides = await connect_ides(manager)
    await relvane.handle_message(*sender, {"type": "kill_kernel", **message})
    answer = {"type": "kill_kernel_response", "workbook_id": target, "success": result}
    assert restarted == [target] and ides[0].sent == ides[1].sent == [answer]
    assert addin.sent == ([answer] if target == "wb1" else [])
    assert caplog.messages[-1] == (f"[BusinessLayer] Kernel killed and restarted successfully for: {target}" if result
                                    else f"[BusinessLayer] Failed to restart kernel for: {target}")


@pytest.mark.parametrize("message, target", [({}, "ide0"), ({"workbook_id": "wb1"}, "wb1")])
async def test_restart_addin(manager, caplog, message, target):
    caplog.set_level(logging.INFO, LOGGER)
    addin = Sock()
    await manager.connect("addin", "wb1", addin)
    await relvane.handle_message("ide", "ide0", {"type": "restart_addin", **message})
    assert addin.sent == ([{"type": "restart_addin"}] if target == "wb1" else [])
    assert caplog.messages[-2:] == [f"[BusinessLayer] Received restart_addin request for workbook: {target}",
                                     f"[BusinessLayer] Sent restart_addin to add-in: {target}"]


def test_every_handler_is_in_the_table():
    table = relvane.MESSAGE_HANDLERS
    assert table["ide"]["register_handler"] is relvane.handle_register_handler
    assert table["ide"]["update_published_functions"] is relvane.handle_update_published_functions
    assert table["addin"]["kill_kernel"] is table["ide"]["kill_kernel"] is relvane.handle_kill_kernel
    assert {table["inspector"][t] for t in table["inspector"]} == {relvane.handle_inspector_result}
    assert "restart_addin" not in table["addin"] and "show_ide" not in table["ide"]
