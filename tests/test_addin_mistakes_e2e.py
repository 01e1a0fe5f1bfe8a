"""An add-in author's first mistakes (a list where an object goes, a number where text goes),
over the real host and the real kernel program: the wrong part is skipped or refused with a
line in the log, and the workbook goes on being served."""
import uuid

import pytest

from e2e_clients import Addin, Client, connections
from helpers import wait_until
from servers import master_with_log

KERNELS_ON = {"TAVRINO_KERNEL_STANDBY": "0"}
CALC = "def double(x):\n    return 2 * x\n\ndef on_change(address):\n    return address\n"
GOOD = {
    "modules": {"calc": CALC},
    "functions": [{"module": "calc", "function": "double", "excel_name": "DOUBLE"}],
    "packages": [], "python_paths": [],
    "events_registered": {}, "events_definition": {}, "events_tree": {},
}
SKIPPING = "Skipping {} in the answer of workbook {{wb}} to {}: expected {}, got {}"


def wire(value):
    return {"type": "Int", "value": value, "isSpec": False}


class Author(Addin):
    """An add-in that answers the master's questions with what its author wrote, right or wrong."""

    def __init__(self, ws, answers):
        super().__init__(ws)
        self.answers = answers

    async def on_message(self, message):
        kind = message.get("type")
        keys = {"get_modules_request": ["modules"], "get_functions_request": ["functions"],
                "get_packages_request": ["packages", "python_paths"],
                "get_events_request": ["events_registered", "events_definition", "events_tree"],
                "load_module_request": ["code"]}.get(kind)
        if keys is not None:
            answer = {key: self.answers[key] for key in keys if key in self.answers}
            await self.send(dict(answer, type=kind.replace("request", "response"), request_id=message["request_id"]))

    def result(self, rid):
        for message in self.received:
            found = message.get("results", [message]) if message.get("type") == "batch_results" else [message]
            for result in found:
                if result.get("type") == "function_execution_result" and result.get("request_id") == rid:
                    return result
        return None

    async def call(self, rid, timeout=20):
        await self.send({"type": "function_execution", "module_name": "calc", "function_name": "double",
                         "args": [wire(4)], "request_id": rid})
        await wait_until(lambda: self.result(rid), timeout)
        return self.result(rid)


@pytest.fixture(scope="module")
def host(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("home"), env=KERNELS_ON) as found:
        yield found


def logged(log, level, needle):
    """The messages of `level` the business layer logged that contain `needle`."""
    mark = f" {level} tavrino_master.business_layer.relvane: "
    with open(log, encoding="utf-8", errors="replace") as f:
        return [line.split(mark, 1)[1] for line in f.read().splitlines() if mark in line and needle in line]


async def served(port, log, answers, prefix):
    """A new workbook whose add-in answers with `answers`, once its real kernel is in and the add-in
    holds its published functions; with the IDE that watched it connect."""
    wb = prefix + "-" + uuid.uuid4().hex[:10]
    ide = await Client.connect(port, "ide", "ide-" + wb)
    await ide.wait_for("workbook_list", timeout=10)
    addin = await Author.connect(port, wb, answers=answers)
    await addin.wait_for("sync_custom_functions", timeout=30)
    assert wb in connections(port)["kernel"]
    await wait_until(lambda: any(m.get("workbook_id") == wb for m in ide.of_type("workbook_connected")), 10)
    return wb, addin, ide


SHEET2_EVENTS = {"onChanged": "calc.on_change", "onActivated": {"module_name": "calc", "function_name": "on_change"}}
EVENTS = {
    "events_registered": {"Sheet1": "calc.on_change", "Sheet2": {"ObjectType": "Worksheet", "events": SHEET2_EVENTS}},
    "events_definition": {"Worksheet": [{"eventName": ["onChanged"]},
                                        {"eventType": "Activated", "eventName": "onActivated", "eventArgsType": "A"}],
                          "Chart": "onActivated"},
    "events_tree": {"type": "Workbook", "id": "w", "name": "Book", "children": [
        5, {"type": "Worksheet", "id": "Sheet2", "name": "Sheet2", "children": "none"}]},
}
VIEW = [{"id": "w", "name": "Book", "type": "Workbook", "events": [], "children": [
    {"id": "Sheet2", "name": "Sheet2", "type": "Worksheet", "children": [],
     "events": [{"name": "onActivated", "type": "Activated", "arg_type": "A", "python_function": "calc.on_change"}]}]}]


@pytest.mark.parametrize("wrong, warnings", [
    ({"modules": ["calc"]}, [SKIPPING.format('"modules"', "get_modules_request", "an object", "list")]),
    ({"functions": [{"module": 5, "function": "double", "excel_name": "BAD"}] + GOOD["functions"],
      "packages": [{"name": 5, "version": "1.0"}]},
     [SKIPPING.format('entry 0 of "functions"', "get_functions_request", 'text under "module"', "int"),
      SKIPPING.format('entry 0 of "packages"', "get_packages_request", 'text under "name"', "int")]),
    ({"packages": "numpy", "python_paths": [5]},
     [SKIPPING.format('"packages"', "get_packages_request", "an array", "str"),
      SKIPPING.format('entry 0 of "python_paths"', "get_packages_request", 'text or an object with a "path"',
                      "int")]),
    (EVENTS, [SKIPPING.format(what, "get_events_request", expected, got) for what, expected, got in [
        ("the handlers of object 'Sheet1'", 'an object with "ObjectType" and "events"', "str"),
        ("the handler of 'onChanged' on object 'Sheet2'", "an object", "str"),
        ("event 0 of object type 'Worksheet'", 'text or a number under "eventName"', "list"),
        ("the events of object type 'Chart'", "an array", "str"),
        ("child 0 of node 'w'", "an object", "int"),
        ("the children of node 'Sheet2'", "an array", "str")]]),
])
async def test_a_wrong_shaped_connect_answer_costs_only_its_wrong_part(host, clients, wrong, warnings):
    port, log = host
    wb, addin, ide = await served(port, log, dict(GOOD, **wrong), "shape")
    clients += [addin, ide]
    answered = await addin.call("c1")
    if "modules" in wrong:  # none of them is left to call
        assert answered["status"] == "error" and answered["error"]["type"] == "ModuleNotFoundError"
    else:
        assert answered["status"] == "success" and answered["result"] == wire(8)
    [functions] = addin.of_type("sync_custom_functions")
    assert [f["excel_name"] for f in functions["functions"]] == ["DOUBLE"]
    [config] = await addin.wait_for("save_event_config_request", timeout=10)
    [view] = [m["view_model"] for m in ide.of_type("event_manager_state") if m["workbook_id"] == wb]
    if wrong is EVENTS:
        assert {k: list(v["events"]) for k, v in config["config"].items()} == {"Sheet2": ["onActivated"]}
        assert view == VIEW
    for warning in warnings:
        assert logged(log, "WARNING", wb).count(warning.format(wb=wb)) == 1
    assert logged(log, "ERROR", wb) == []


@pytest.mark.parametrize("road, modules, code, warnings", [
    ("connect", dict(GOOD["modules"], n=5, l=["x"], o={"code": "X = 1"}), None,
     [SKIPPING.format(f"module '{name}'", "get_modules_request", "its source as text", kind)
      for name, kind in [("n", "int"), ("l", "list"), ("o", "dict")]]),
    ("connect", dict(GOOD["modules"], lone="X = '\ud800'\n"), None, []),  # text all the same
    ("load_module_response", GOOD["modules"], 5,
     [SKIPPING.format("module 'late'", "load_module_request", "its source as text", "int")]),
])
async def test_only_text_enters_the_module_cache(host, clients, road, modules, code, warnings):
    port, log = host
    wb, addin, ide = await served(port, log, dict(GOOD, modules=modules, code=code), "text")
    clients += [addin, ide]
    if road == "load_module_response":
        await ide.send({"type": "get_module", "workbook_id": wb, "module_name": "late"})
        [content] = await ide.wait_for("module_content", timeout=20)
        assert content["module_name"] == "late" and content["code"] is None
        await ide.send({"type": "list_modules", "workbook_id": wb})
        [listing] = await ide.wait_for("module_list", timeout=10)
        assert listing["modules"] == ["calc"]
    answered = await addin.call("c1")
    assert answered["status"] == "success" and answered["result"] == wire(8)
    for warning in warnings:
        assert logged(log, "WARNING", wb).count(warning.format(wb=wb)) == 1
    assert logged(log, "ERROR", wb) == []


def without_names(answer):
    return {k: v for k, v in answer.items() if k not in ("module_name", "function_name", "request_id", "requestId")}


@pytest.mark.parametrize("call, name", [
    ({"type": "function_execution", "module_name": 9, "function_name": "double"}, "module_name"),
    ({"type": "event_execution", "module_name": "calc", "function_name": [9]}, "function_name"),
    ({"type": "streaming_function_execution", "module_name": 9, "function_name": "double"}, "module_name"),
    ({"type": "python_function_call", "callable_id": 9}, "callable_id"),
])
async def test_a_name_that_is_no_text_is_refused_like_a_text_that_names_nothing(host, clients, call, name):
    port, log = host
    wb, addin, ide = await served(port, log, GOOD, "name")
    clients += [addin, ide]
    answers = {}
    for rid, value in (("no-text", call[name]), ("text", str(call[name]))):
        before = len(addin.received)
        await addin.send(dict(call, **{name: value, "args": [], "request_id": rid, "requestId": rid}))
        await wait_until(lambda: any(rid in (m.get("request_id"), m.get("requestId")) for m in addin.received[before:]),
                         20)
        await addin.call("after-" + rid)  # answers come in order: nothing more is on its way for this one
        answers[rid] = [without_names(m) for m in addin.received[before:]
                        if rid in (m.get("request_id"), m.get("requestId"))]
    assert answers["no-text"] == answers["text"] and answers["text"]
    assert logged(log, "ERROR", wb) == []


@pytest.mark.parametrize("message, error", [
    ({"type": "list_modules", "workbook_id": 5},
     "ConnectionManager.list_modules() argument 'workbook_id' must be str, not int"),
    ({"type": "get_settings", "path": 5}, "A setting path must be text, not int"),
])
async def test_a_wrong_typed_ide_message_leaves_a_warning_and_the_connection(host, clients, message, error):
    port, log = host
    ide_id = "ide-" + uuid.uuid4().hex[:10]
    ide = await Client.connect(port, "ide", ide_id)
    clients.append(ide)
    await ide.wait_for("workbook_list", timeout=10)
    await ide.send(message)
    warning = f"Error handling {message['type']} from ide/{ide_id}: {error}"
    await wait_until(lambda: logged(log, "WARNING", ide_id) == [warning], 10)
    await ide.send({"type": "get_all_settings", "request_id": "still-here"})
    [answer] = await ide.wait_for("all_settings_response", timeout=10)
    assert answer["request_id"] == "still-here"
    assert logged(log, "ERROR", ide_id) == []
