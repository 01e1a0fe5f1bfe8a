"""State pushes to the IDE and add-in, the event-manager view, published functions, event conversions."""
import asyncio
import gc
import logging
import weakref

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock, connect_ides
from helpers import LOGGER, lines, wait_until

WB = "wb1"


# ---------------------------------------------------------------- IDE pushes

async def test_push_modules_fallbacks_and_name(manager):
    [ide] = await connect_ides(manager, 1)
    await manager._push_modules(WB)
    await manager._push_modules(WB, {})
    manager.workbook_modules[WB] = cache = {"a": "1"}
    manager.client_names[WB] = "Book1"
    await manager._push_modules(WB, {})
    await manager._push_modules(WB, {"b": "2"})
    assert ide.sent[0] == {"type": "workbook_connected", "workbook_id": WB, "modules": {}, "name": ""}
    assert list(ide.sent[0]) == ["type", "workbook_id", "modules", "name"]
    assert ide.sent[2]["modules"] is cache and ide.sent[2]["name"] == "Book1"
    assert ide.sent[3]["modules"] == {"b": "2"}


async def test_push_packages_decides_each_value_on_its_own(manager):
    [ide] = await connect_ides(manager, 1)
    manager.workbook_packages[WB] = [{"name": "cached"}]
    manager.workbook_python_paths[WB] = ["/p"]
    await manager._push_packages_and_python_paths(WB, [{"name": "given"}])
    await manager._push_packages_and_python_paths(WB, [], None, {"x": ["e"]})
    first, second = ide.sent
    assert list(first) == ["type", "workbook_id", "packages", "python_paths", "package_errors"]
    assert first == {"type": "workbook_packages_update", "workbook_id": WB, "packages": [{"name": "given"}],
                     "python_paths": ["/p"], "package_errors": {}}
    assert second["packages"] == [{"name": "cached"}] and second["package_errors"] == {"x": ["e"]}


@pytest.mark.parametrize("call, message, general, socket_text, error_text", [
    (lambda m, ws: m._push_modules(WB, websocket=ws), None,
     "Pushed modules state to IDE for: wb1", "Pushed modules state to IDE websocket for: wb1",
     "Error pushing modules state: gone"),
    (lambda m, ws: m._push_packages_and_python_paths(WB, websocket=ws), None,
     "Pushed packages and python paths state to IDE for: wb1",
     "Pushed packages and python paths state to IDE websocket for: wb1",
     "Error pushing packages and python paths state: gone"),
    (lambda m, ws: m._push_object_clear(WB, ws),
     {"type": "object_registry_update", "action": "clear_all", "workbook_id": WB},
     "Pushed object clear to IDE for: wb1", "Pushed object clear to IDE websocket for: wb1",
     "Error pushing object clear: gone"),
    (lambda m, ws: m._push_message_to_ide_console("hi", "", ws), {"type": "log_to_console", "content": "hi"},
     "Pushed console message to IDE", "Pushed console message to IDE websocket", "Error pushing console message: gone"),
    (lambda m, ws: m._push_message_to_ide_console("hi", "red", ws),
     {"type": "log_to_console", "content": "hi", "color": "red"},
     "Pushed console message to IDE", "Pushed console message to IDE websocket", "Error pushing console message: gone"),
    (lambda m, ws: m._push_published_functions_state(WB, None, ws),
     {"type": "published_functions_state", "workbook_id": WB, "functions": []},
     "Pushed published functions state to IDE for: wb1",
     "Pushed published functions state to IDE websocket for: wb1", "Error pushing published functions state: gone"),
    (lambda m, ws: m._push_event_manager_state(WB, ws),
     {"type": "event_manager_state", "workbook_id": WB, "view_model": []},
     "Pushed merged event manager state to IDE for: wb1. 0 handlers.",
     "Pushed merged event manager state to IDE websocket for: wb1. 0 handlers.",
     "Error pushing event manager state: gone"),
])
async def test_ide_push_pattern(manager, caplog, call, message, general, socket_text, error_text):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    one, two = await connect_ides(manager)
    two.fail = True  # a failing IDE among several is absorbed by the broadcast
    assert await call(manager, None) is None
    assert len(one.sent) == 1 and lines(caplog, logging.DEBUG) == [general] and lines(caplog, logging.ERROR) == []
    if message is not None:
        assert one.sent[0] == message and list(one.sent[0]) == list(message)
    caplog.clear()
    own = Sock()
    await call(manager, own)
    assert len(own.sent) == 1 and len(one.sent) == 1
    assert lines(caplog, logging.DEBUG) == [socket_text, general]
    caplog.clear()
    await call(manager, Sock(fail=True))
    assert lines(caplog, logging.ERROR) == [error_text] and lines(caplog, logging.DEBUG) == []
    caplog.clear()
    manager.disconnect("ide", "ide0")
    manager.disconnect("ide", "ide1")
    await call(manager, None)
    assert lines(caplog, logging.DEBUG) == [general]


@pytest.mark.parametrize("call, match", [
    (lambda m: m._push_modules(WB, []), "argument 'modules' must be dict or None, not list"),
    (lambda m: m._push_packages_and_python_paths(WB, {}), "argument 'packages' must be list or None"),
    (lambda m: m._push_published_functions_state(WB, ()), "argument 'functions' must be list or None"),
])
def test_push_argument_types_checked_at_call(manager, call, match):
    with pytest.raises(TypeError, match=match):
        call(manager)


@pytest.mark.parametrize("field, call", [
    ("workbook_modules", lambda m: m._push_modules(WB)),
    ("workbook_packages", lambda m: m._push_packages_and_python_paths(WB)),
    ("published_functions", lambda m: m._push_published_functions_state(WB)),
])
async def test_cached_value_of_wrong_type_fails_before_sending(manager, field, call):
    [ide] = await connect_ides(manager, 1)
    getattr(manager, field)[WB] = ("not", "valid")
    with pytest.raises(TypeError, match="tuple"):
        await call(manager)
    assert ide.sent == []


# ---------------------------------------------------------------- published functions

def test_validate_function_entry(manager):
    assert manager._validate_function_entry({"module_name": "", "function_name": None, "excel_name": ""})
    assert not manager._validate_function_entry({"module_name": "m", "function_name": "f", "x": 1})
    with pytest.raises(TypeError):
        manager._validate_function_entry([])


async def test_update_published_functions_stores_and_pushes_both_ways(manager, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)
    addin = Sock()
    await manager.connect("addin", WB, addin)
    [ide] = await connect_ides(manager, 1)
    functions = []
    await manager.handle_update_published_functions(WB, functions)
    assert manager.published_functions[WB] is functions
    assert addin.sent == [{"type": "sync_custom_functions", "functions": []}]
    assert ide.sent == [{"type": "published_functions_state", "workbook_id": WB, "functions": []}]
    assert ide.sent[0]["functions"] is functions
    assert "Updating published functions for workbook: wb1, count: 0" in caplog.messages


CODE = "def f(a, b=1):\n    pass\n\ndef g(x):\n    pass\n"


async def test_custom_functions_push_builds_specs(manager, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    addin = Sock()
    await manager.connect("addin", WB, addin)
    manager.workbook_modules[WB] = {"mod": CODE, "bad": "def (:"}
    stored = [
        {"module_name": "mod", "function_name": "f", "excel_name": "F", "extra": 1},
        {"module_name": "mod", "function_name": "g", "excel_name": "G", "dimension": None, "streaming": True},
        {"module_name": "mod", "function_name": "", "excel_name": "skip"},
        {"module_name": "missing", "function_name": "h"},
        {"module_name": "bad", "function_name": "f", "excel_name": "B"},
        {"module_name": "mod", "function_name": ["f"], "excel_name": "L"},
    ]
    manager.published_functions[WB] = stored
    await manager._push_custom_functions_to_addin(WB, [])
    [message] = addin.sent
    assert list(message) == ["type", "functions"] and message["type"] == "sync_custom_functions"
    f, g, h, b = message["functions"]
    assert list(f) == ["module", "function", "excel_name", "parameters", "dimension", "streaming"]
    assert (f["module"], f["function"], f["excel_name"], f["dimension"], f["streaming"]) == ("mod", "f", "F", "Scalar", False)
    assert [p["name"] for p in f["parameters"]] == ["a", "b"]
    assert [p["name"] for p in g["parameters"]] == ["x"] and g["dimension"] is None and g["streaming"] is True
    assert h["parameters"] == [] and h["excel_name"] == "" and b["parameters"] == []
    warnings = lines(caplog, logging.WARNING)
    assert f"Skipping function with missing module_name or function_name: {stored[2]}" in warnings
    assert f"Skipping function whose module_name or function_name is not text: {stored[5]}" in warnings
    assert "Pushed custom functions to Add-in for: wb1" in lines(caplog, logging.DEBUG)


async def test_custom_functions_push_without_addin_and_failing(manager, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    await manager._push_custom_functions_to_addin(WB)
    assert lines(caplog, logging.DEBUG) == ["Pushed custom functions to Add-in for: wb1"]
    await manager.connect("addin", WB, Sock(fail=True))
    await manager._push_custom_functions_to_addin(WB)
    assert lines(caplog, logging.ERROR) == ["Error pushing custom functions to Add-in: gone"]


async def test_published_state_replaces_only_none(manager):
    [ide] = await connect_ides(manager, 1)
    manager.published_functions[WB] = stored = [{"module_name": "m"}]
    await manager._push_published_functions_state(WB, [])
    await manager._push_published_functions_state(WB)
    assert ide.sent[0]["functions"] == [] and ide.sent[1]["functions"] is stored


# ---------------------------------------------------------------- event-manager view

DEFS = {"Worksheet": [{"eventType": "T1", "eventName": "onA", "eventArgsType": "ArgsA"},
                      {"eventType": "T2", "eventName": "onB", "eventArgsType": "ArgsB"}]}


def test_merge_tree_with_events(manager):
    tree = {"type": "Workbook", "id": "wb", "name": "Book", "extra": 1, "children": [
        {"type": "Worksheet", "id": "s1", "name": "Sheet1", "children": [{}]},
        {"type": "Worksheet", "id": "s2", "name": "Sheet2"},
    ]}
    registry = {("s1", "onB"): {"module_name": "mod", "function_name": "fn"},
                ("s2", "onA"): {"module_name": "mod", "function_name": ""},
                ("other", "onA"): {"module_name": "x", "function_name": "y"}}
    [root] = manager._merge_tree_with_events(tree, DEFS, registry)
    assert list(root) == ["id", "name", "type", "events", "children"]
    assert (root["id"], root["name"], root["type"], root["events"]) == ("wb", "Book", "Workbook", [])
    s1, s2 = root["children"]
    assert s1["events"] == [
        {"name": "onA", "type": "T1", "arg_type": "ArgsA", "python_function": ""},
        {"name": "onB", "type": "T2", "arg_type": "ArgsB", "python_function": "mod.fn"}]
    assert list(s1["events"][0]) == ["name", "type", "arg_type", "python_function"]
    assert s1["children"] == [{"id": "", "name": "", "type": "", "events": [], "children": []}]
    assert [e["python_function"] for e in s2["events"]] == ["", ""] and s2["children"] == []
    assert manager._merge_tree_with_events({}, DEFS, registry) == []


@pytest.mark.parametrize("tree", [
    {"children": [["not", "a", "node"]]}, {"children": [None]}, {"children": 5}, {"type": ["unhashable"]},
])
def test_merge_malformed_tree_raises_type_error(manager, tree):
    with pytest.raises(TypeError):
        manager._merge_tree_with_events(tree, DEFS, {})


def test_merge_deep_tree_raises_instead_of_crashing(manager):
    node = {}
    for _ in range(100000):
        node = {"children": [node]}
    with pytest.raises(RecursionError):
        manager._merge_tree_with_events(node, {}, {})


async def test_structure_and_definition_updates_push_later(manager):
    [ide] = await connect_ides(manager, 1)
    manager.registered_handlers[WB] = {("s1", "onA"): {"module_name": "m", "function_name": "f"}}
    tree = {"type": "Worksheet", "id": "s1", "name": "S"}
    assert manager.handle_workbook_structure_update(WB, tree) is None
    assert manager.workbook_tree[WB] is tree and ide.sent == []
    await wait_until(lambda: ide.sent)
    [msg] = ide.sent
    assert msg["view_model"][0]["events"] == []
    manager.handle_event_definitions_update(WB, DEFS)
    await wait_until(lambda: len(ide.sent) >= 2)
    assert len(ide.sent) == 2 and ide.sent[1]["view_model"][0]["events"][0]["python_function"] == "m.f"
    with pytest.raises(TypeError, match="argument 'tree' must be dict, not NoneType"):
        manager.handle_workbook_structure_update(WB, None)


async def test_background_view_push_is_kept_until_done(manager):
    waiting, sent = [], []

    async def broadcast(client_type, message):
        fut = asyncio.get_running_loop().create_future()
        waiting.append(weakref.ref(fut))  # only the push's own frame holds the future
        await fut
        sent.append(message)

    manager.broadcast = broadcast
    manager.handle_workbook_structure_update(WB, {"id": "x"})
    while not waiting:
        await asyncio.sleep(0)
    gc.collect()
    fut = waiting[0]()
    assert fut is not None, "the pending push was garbage-collected"
    fut.set_result(None)
    await wait_until(lambda: sent)
    assert [m["type"] for m in sent] == ["event_manager_state"]


# ---------------------------------------------------------------- event conversions and config push

ADDIN_FORM = {
    "s1": {"ObjectType": "Worksheet", "events": {
        "onA": {"module_name": "m", "function_name": "f", "object_type": "Stale", "extra": 1},
        "onB": {"module_name": "m", "function_name": "g"}}},
    "empty": {"ObjectType": "Chart", "events": {}},
    "t1": {"ObjectType": "Table", "events": {"onC": {"module_name": "n", "function_name": "h"}}},
}


def test_round_trip_addin_form_registry_addin_form():
    registry = relvane._events_from_addin_to_ide(ADDIN_FORM)
    assert list(registry) == [("s1", "onA"), ("s1", "onB"), ("t1", "onC")]
    assert registry[("s1", "onA")] == {"module_name": "m", "function_name": "f", "object_type": "Worksheet", "extra": 1}
    assert ADDIN_FORM["s1"]["events"]["onA"]["object_type"] == "Stale"  # input untouched
    back = relvane._events_from_ide_to_addin(registry)
    assert list(back) == ["s1", "t1"] and list(back["s1"]) == ["ObjectType", "events"]
    assert list(back["s1"]["events"]) == ["onA", "onB"]
    assert back["t1"] == {"ObjectType": "Table", "events": {
        "onC": {"module_name": "n", "function_name": "h", "object_type": "Table"}}}
    assert back["s1"]["events"]["onA"] is not registry[("s1", "onA")]
    assert relvane._events_from_addin_to_ide({}) == {} and relvane._events_from_ide_to_addin({}) == {}


def test_registry_first_object_type_names_the_object():
    back = relvane._events_from_ide_to_addin({("o", "e1"): {"object_type": "A"}, ("o", "e2"): {"object_type": "B"}})
    assert back == {"o": {"ObjectType": "A", "events": {"e1": {"object_type": "A"}, "e2": {"object_type": "B"}}}}


@pytest.mark.parametrize("func, arg, error", [
    ("_events_from_addin_to_ide", {"o": {"events": {}}}, KeyError),
    ("_events_from_addin_to_ide", {"o": {"ObjectType": "T"}}, KeyError),
    ("_events_from_addin_to_ide", {"o": {"ObjectType": "T", "events": None}}, AttributeError),
    ("_events_from_addin_to_ide", [], TypeError),
    ("_events_from_ide_to_addin", {("a", "b", "c"): {"object_type": "T"}}, ValueError),
    ("_events_from_ide_to_addin", {5: {"object_type": "T"}}, TypeError),
    ("_events_from_ide_to_addin", {("a", "b"): {}}, KeyError),
])
def test_malformed_event_configs(func, arg, error):
    with pytest.raises(error):
        getattr(relvane, func)(arg)


async def test_events_config_push(manager, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    await manager._push_events_config_to_addin(WB, save=False)  # add-in not connected
    assert lines(caplog, logging.DEBUG) == ["Pushed events configuration to IDE for: wb1"]
    addin = Sock()
    await manager.connect("addin", WB, addin)
    await manager._push_events_config_to_addin(WB, save=False)
    manager.registered_handlers[WB] = {("s1", "onA"): {"module_name": "m", "function_name": "f", "object_type": "W"}}
    await manager._push_events_config_to_addin(WB, {}, 1)
    first, second = addin.sent
    assert list(first) == ["type", "workbook_id", "config", "request_id", "requestId", "save"]
    assert first["type"] == "save_event_config_request" and first["config"] == {} and first["save"] is False
    assert second["config"] == {"s1": {"ObjectType": "W", "events": {
        "onA": {"module_name": "m", "function_name": "f", "object_type": "W"}}}}
    assert second["save"] is True
    assert first["request_id"] == first["requestId"] and second["request_id"] == second["requestId"]
    assert first["request_id"] != second["request_id"] and len(first["request_id"]) == 36
    assert manager._pending_requests == {}
    caplog.clear()
    own = Sock()
    await manager._push_events_config_to_addin(WB, websocket=own)
    assert len(own.sent) == 1 and len(addin.sent) == 2
    assert lines(caplog, logging.DEBUG) == ["Pushed events configuration to IDE websocket for: wb1",
                                   "Pushed events configuration to IDE for: wb1"]
    await manager._push_events_config_to_addin(WB, websocket=Sock(fail=True))
    assert lines(caplog, logging.ERROR) == ["Error pushing events configuration: gone"]
