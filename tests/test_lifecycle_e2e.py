"""Connection lifecycle and state sync over the real host program."""
import asyncio
import json

import pytest

from e2e_clients import Addin, Client, connections, kernel_processes, master
from helpers import wait_until


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home")) as port:
        yield port


async def test_addin_connect_pushes_state_spawns_kernel_and_disconnect_cleans_up(port):
    ide = await Client.connect(port, "ide", "ide-a")
    await ide.wait_for("ping")
    await ide.wait_for("workbook_list")
    addin = await Addin.connect(
        port, "wb-life", name="Book1",
        modules={"util": "def f(x):\n    return x\n"},
        functions=[{"module": "util", "function": "f", "excel_name": "F", "extra": 1}],
        packages=[{"name": "six", "version": "", "status": "installed"}],
        python_paths=["/p1", {"path": "/p2"}, ""],
        events={"events_definition": {"Worksheet": []}, "events_tree": {}, "events_registered": {}},
    )
    assert addin.received == [] or addin.received[0] == {"type": "ping"}
    await addin.wait_for("ping")
    assert addin.received[0] == {"type": "ping"}
    await addin.wait_for("get_events_request")
    assert [m["type"] for m in addin.received[:5]] == [
        "ping", "get_modules_request", "get_functions_request", "get_packages_request", "get_events_request"]
    assert all(m["request_id"] == m["requestId"] for m in addin.received[1:5])

    lists = await ide.wait_for("workbook_list", 2)
    assert lists[1]["workbooks"] == [{"id": "wb-life", "name": "Book1",
                                      "modules": {"util": "def f(x):\n    return x\n"}}]
    state = await ide.wait_for("workbook_connected")
    assert state[0]["workbook_id"] == "wb-life" and state[0]["name"] == "Book1"
    order = [m["type"] for m in ide.received if m.get("workbook_id") == "wb-life"]
    assert order == ["event_manager_state", "published_functions_state", "workbook_packages_update",
                     "workbook_connected"]
    functions = ide.of_type("published_functions_state")[0]["functions"]
    assert functions == [{"module_name": "util", "function_name": "f", "excel_name": "F", "dimension": "Scalar",
                          "streaming": False}]
    packages = ide.of_type("workbook_packages_update")[0]
    assert packages["packages"][0]["status"] == "pending" and packages["python_paths"] == ["/p1", "/p2"]
    assert len(kernel_processes("wb-life")) == 1

    await addin.close()
    gone = await ide.wait_for("workbook_disconnected")
    assert gone == [{"type": "workbook_disconnected", "workbook_id": "wb-life"}]
    await wait_until(lambda: not kernel_processes("wb-life"))
    assert "wb-life" not in connections(port)["addin"]
    await ide.close()


async def test_kernel_connect_pushes_and_departure_is_told_to_its_addin(port):
    ide = await Client.connect(port, "ide", "ide-k")
    addin = await Addin.connect(port, "wb-k", name="BookK", modules={"m": "x = 1"}, python_paths=["/q"],
                                functions=[{"module": "m", "function": "f", "excel_name": "F"}])
    await ide.wait_for("workbook_connected", timeout=10)
    # The add-in is asked for its events last: the master holds its modules and paths by then.
    await addin.wait_for("get_events_request", timeout=10)
    kernel = await Client.connect(port, "kernel", "wb-k")
    await kernel.wait_for("set_python_paths")
    assert kernel.received == [
        {"type": "ping"},
        {"type": "update_module", "workbook_id": "wb-k", "module_name": "m", "code": "x = 1"},
        {"type": "set_python_paths", "old_paths": [], "new_paths": ["/q"]},
    ]
    synced = await addin.wait_for("sync_custom_functions")
    assert synced[0]["functions"][0]["function"] == "f"
    config = await addin.wait_for("save_event_config_request")
    assert config[0]["save"] is False and config[0]["workbook_id"] == "wb-k"
    console = await ide.wait_for("log_to_console")
    assert console[0]["content"] == "Kernell connected for workbook BookK"
    assert ide.of_type("object_registry_update")[0]["action"] == "clear_all"
    await kernel.close()
    told = await addin.wait_for("kernel_disconnected")
    assert told == [{"type": "kernel_disconnected", "workbook_id": "wb-k"}]
    await addin.close()
    await ide.close()


async def test_non_object_frames_are_dropped_and_reading_goes_on(port):
    ide = await Client.connect(port, "ide", "ide-b")
    addin = await Addin.connect(port, "wb-frames")
    await ide.wait_for("workbook_connected", timeout=10)
    for frame in ([1, 2], "text", 3, None, True):
        await addin.send(json.dumps(frame))
    await addin.send({"type": "client_sync_functions",
                      "functions": [{"module": "m", "function": "g", "excel_name": "G"}]})
    # The IDE's own connect work and the add-in's each send a state too, in an order the machine decides.
    def named_g(state):
        return [f["function_name"] for f in state["functions"]] == ["g"]

    await wait_until(lambda: any(named_g(m) for m in ide.of_type("published_functions_state")))
    assert "wb-frames" in connections(port)["addin"]
    await addin.close()
    await ide.close()


async def test_a_frame_that_is_not_json_still_runs_the_disconnect_steps(port):
    ide = await Client.connect(port, "ide", "ide-c")
    addin = await Addin.connect(port, "wb-garbage")
    await ide.wait_for("workbook_connected", timeout=10)
    await wait_until(lambda: len(kernel_processes("wb-garbage")) == 1)
    await addin.send("{not json")
    await ide.wait_for("workbook_disconnected")
    await wait_until(lambda: not kernel_processes("wb-garbage"))
    assert "wb-garbage" not in connections(port)["addin"]
    await ide.close()


async def test_stale_disconnect_leaves_the_newer_connection(port):
    ide = await Client.connect(port, "ide", "ide-d")
    old = await Addin.connect(port, "wb-twice")
    await ide.wait_for("workbook_connected", timeout=10)
    new = await Addin.connect(port, "wb-twice")
    await ide.wait_for("workbook_connected", 2, timeout=10)
    await old.close()
    await asyncio.sleep(0.5)
    assert "wb-twice" in connections(port)["addin"]
    assert ide.of_type("workbook_disconnected") == []
    assert len(kernel_processes("wb-twice")) == 1
    await new.send({"type": "client_sync_functions", "functions": []})
    await ide.wait_for("published_functions_state", 3)
    await new.close()
    await ide.wait_for("workbook_disconnected")
    await wait_until(lambda: not kernel_processes("wb-twice"))
    await ide.close()


async def test_inspector_gets_ping_and_no_connect_work(port):
    inspector = await Client.connect(port, "inspector", "main")
    await inspector.wait_for("ping")
    await asyncio.sleep(0.8)
    assert inspector.received == [{"type": "ping"}]
    assert connections(port)["inspector"] == ["main"]
    await inspector.close()
    await wait_until(lambda: connections(port)["inspector"] == [])
