"""Execution routing over the real host program, with scripted add-in, IDE and kernel clients."""
import asyncio

import pytest

from e2e_clients import Client, Kernel, call, kernel_processes, master, open_workbook, wait_results
from helpers import wait_until


@pytest.fixture(scope="module")
def port(tmp_path_factory):
    with master(tmp_path_factory.mktemp("home")) as port:
        yield port


async def close_all(*clients):
    for client in clients:
        await client.close()


async def test_call_follows_exactly_the_changed_modules(port):
    modules = {"calc": "def f(x):\n    return 2 * x\n", "empty": "", "util": "K = 1\n"}
    wb, addin, ide, kernel = await open_workbook(port, modules)

    await addin.send(call("c1"))
    await kernel.wait_for("custom_function_call")
    assert [(m["type"], m.get("module_name")) for m in kernel.received] == [
        ("update_module", "calc"), ("update_module", "util"), ("custom_function_call", "calc")]
    assert kernel.received[0] == {"type": "update_module", "workbook_id": wb, "module_name": "calc",
                                  "code": modules["calc"]}
    # The kernel gets an id of the master's for the call; the add-in its own back.
    kernel_id = kernel.received[2]["request_id"]
    assert kernel_id.startswith("m:") and kernel_id != "c1"
    assert kernel.received[2] == {"type": "custom_function_call", "module_name": "calc", "function_name": "f",
                                  "args": [1], "request_id": kernel_id, "workbook_id": wb}
    result = await addin.wait_for("function_execution_result")
    assert result == [{"type": "function_execution_result", "request_id": "c1", "status": "success",
                       "result": {"type": "int", "value": 2}, "logs": ""}]

    kernel.received.clear()
    await addin.send(call("c2"))
    await kernel.wait_for("custom_function_call")
    assert [m["type"] for m in kernel.received] == ["custom_function_call"]
    await wait_results(addin, 2)

    # an IDE edit reaches the kernel through its own relay, and the next call re-syncs that module only
    edit = {"type": "update_module", "workbook_id": wb, "module_name": "util", "code": "K = 2\n"}
    await ide.send(edit)
    await kernel.wait_for("update_module")
    kernel.received.clear()
    await addin.send(call("c3"))
    await kernel.wait_for("custom_function_call")
    assert kernel.received == [{"type": "update_module", "workbook_id": wb, "module_name": "util",
                                "code": "K = 2\n"},
                               dict(call("c3"), type="custom_function_call", workbook_id=wb,
                                    request_id=kernel.received[1]["request_id"])]
    assert [r["request_id"] for r in await wait_results(addin, 3)] == ["c1", "c2", "c3"]
    await close_all(kernel, addin, ide)


async def test_ten_results_arrive_as_one_batch_in_order(port):
    wb, addin, ide, kernel = await open_workbook(port, {"calc": "def f(x): return x"})
    kernel.hold = True
    for i in range(10):
        await addin.send(call(f"r{i}", args=(i,)))
    await kernel.wait_for("custom_function_call", 10)
    await kernel.release(together=True)
    batch = await addin.wait_for("batch_results")
    assert [r["request_id"] for r in batch[0]["results"]] == [f"r{i}" for i in range(10)]
    assert [r["result"]["value"] for r in batch[0]["results"]] == [2 * i for i in range(10)]
    assert {r["status"] for r in batch[0]["results"]} == {"success"}
    await asyncio.sleep(0.1)
    assert addin.of_type("function_execution_result") == [] and len(addin.of_type("batch_results")) == 1
    assert ide.of_type("batch_results") == [] and ide.of_type("execution_result") == []
    await close_all(kernel, addin, ide)


async def test_error_result_and_refused_call(port):
    wb, addin, ide, kernel = await open_workbook(port, {"calc": "def fail(): 1/0"})
    await addin.send(call("e1", function="fail"))
    result = await addin.wait_for("function_execution_result")
    assert result == [{"type": "function_execution_result", "request_id": "e1", "status": "error",
                       "error": {"message": "ZeroDivisionError"}, "logs": "traceback"}]

    await addin.send(call("e2", module="bad..name"))
    refused = await addin.wait_for("execution_error")
    text = "Invalid module name 'bad..name': Name contains empty parts"
    assert refused[0]["error"] == {"type": "ValidationError", "message": text}
    second = (await addin.wait_for("function_execution_result", 2))[1]
    assert second == {"type": "function_execution_result", "request_id": "e2", "success": False,
                      "error": {"type": "ValidationError", "message": text}}
    assert len(kernel.of_type("custom_function_call")) == 1  # the refused call never reached it
    await close_all(kernel, addin, ide)


async def test_unmatched_result_is_relayed_to_addin_and_ide(port):
    wb, addin, ide, kernel = await open_workbook(port)
    stray = {"type": "execution_result", "request_id": "nobody-asked", "result": 7}
    await kernel.send(stray)
    assert await addin.wait_for("execution_result") == [stray]
    assert await ide.wait_for("execution_result") == [stray]
    await asyncio.sleep(0.05)
    assert addin.of_type("function_execution_result") == []
    await close_all(kernel, addin, ide)


async def test_event_call_and_its_result(port):
    wb, addin, ide, kernel = await open_workbook(port, {"events": "def on_change(*a): pass"})
    other_ide = await Client.connect(port, "ide", "other-" + wb)
    await other_ide.wait_for("workbook_list")
    await addin.send({"type": "event_execution", "module_name": "events", "function_name": "on_change",
                      "args": [{"address": "A1"}], "request_id": "ev1", "object_name": "Sheet1",
                      "event_type": "onChanged", "object_type": "Worksheet"})
    sent = (await kernel.wait_for("event_execution"))[0]
    assert sent["request_id"].startswith("m:")
    assert sent == {"type": "event_execution", "module_name": "events", "function_name": "on_change",
                    "args": [{"address": "A1"}], "request_id": sent["request_id"], "workbook_id": wb,
                    "object_name": "Sheet1",
                    "event_type": "onChanged", "object_type": "Worksheet"}
    expected = [{"type": "event_execution_result", "request_id": "ev1", "workbook_id": wb, "success": True}]
    assert await addin.wait_for("event_execution_result") == expected
    assert await ide.wait_for("event_execution_result") == expected
    assert await other_ide.wait_for("event_execution_result") == expected
    await close_all(kernel, addin, ide, other_ide)


async def test_relays_in_both_directions(port):
    wb, addin, ide, kernel = await open_workbook(port)
    for kind in ("execution_request", "excel_response", "sys_response"):
        message = {"type": kind, "requestId": kind, "payload": {"ok": True}}
        await addin.send(message)
        assert await kernel.wait_for(kind) == [message]
    for kind in ("sys_request", "show_message_box", "set_enable_events"):
        message = {"type": kind, "requestId": kind, "payload": [1]}
        await kernel.send(message)
        assert await addin.wait_for(kind) == [message]
    for kind in ("stdout", "stderr", "result_output", "streaming_function_result"):
        message = {"type": kind, "content": kind}
        await kernel.send(message)
        assert await addin.wait_for(kind) == [message]
        assert await ide.wait_for(kind) == [message]
    for kind in ("completion_response", "signature_help_response", "hover_response", "diagnostic_response",
                 "object_registry_update", "object_registry_response", "debug_terminated", "debug_paused",
                 "debug_exception", "debug_evaluate_result"):
        await kernel.send({"type": kind, "items": []})
        assert await ide.wait_for(kind) == [{"type": kind, "items": [], "workbook_id": wb}]
    await kernel.send({"type": "hover_response", "workbook_id": "elsewhere"})
    got = await ide.wait_for("hover_response", 2)
    assert got[1] == {"type": "hover_response", "workbook_id": "elsewhere"}
    for kind in ("save_event_config_response", "validate_handler_response"):
        await addin.send({"type": kind, "workbook_id": "forged", "success": True})
        assert await ide.wait_for(kind) == [{"type": kind, "workbook_id": wb, "success": True}]
    await asyncio.sleep(0.05)
    assert not any(m.get("type", "").endswith("_response") for m in addin.received)
    await close_all(kernel, addin, ide)


async def test_spawn_and_terminate_act_on_the_senders_workbook(port):
    wb, addin, ide, kernel = await open_workbook(port)
    await wait_until(lambda: len(kernel_processes(wb)) == 1)  # the one the add-in's connect started
    await addin.send({"type": "terminate_kernel"})
    await wait_until(lambda: not kernel_processes(wb))
    await ide.send({"type": "terminate_kernel"})  # the IDE's own id has no kernel
    await addin.send({"type": "spawn_kernel"})
    await wait_until(lambda: len(kernel_processes(wb)) == 1)
    await close_all(kernel, addin, ide)
    await wait_until(lambda: not kernel_processes(wb))


async def test_batches_dispatch_every_object_and_skip_the_rest(port):
    wb, addin, ide, kernel = await open_workbook(port, {"calc": "def f(x): return x"})
    kernel.hold = True
    await addin.send(call("b1", args=(4,)))
    await kernel.wait_for("custom_function_call")
    answer = kernel.held.pop()
    await kernel.send({"type": "batch", "messages": [
        answer, 5, "junk", None,
        {"type": "stdout", "content": "printed"},
        {"type": "batch", "messages": [{"type": "hover_response", "contents": "doc"}]},
    ]})
    assert (await addin.wait_for("function_execution_result"))[0]["result"] == {"type": "int", "value": 8}
    assert await addin.wait_for("stdout") == [{"type": "stdout", "content": "printed"}]
    assert await ide.wait_for("hover_response") == [{"type": "hover_response", "contents": "doc",
                                                     "workbook_id": wb}]
    await kernel.send({"type": "batch"})
    await kernel.send({"type": "stdout", "content": "after"})
    await addin.wait_for("stdout", 2)
    await close_all(kernel, addin, ide)


async def test_a_kernel_completes_only_its_own_workbooks_calls(port):
    wb, addin, ide, kernel = await open_workbook(port, {"calc": "def f(x): return x"})
    wb2, addin2, ide2, kernel2 = await open_workbook(port)
    kernel.hold = True
    await addin.send(call("owned", args=(3,)))
    await kernel.wait_for("custom_function_call")

    forged = {"type": "execution_result", "request_id": "owned", "result": "forged"}
    await kernel2.send(forged)
    assert await addin2.wait_for("execution_result") == [forged]  # relayed like any unmatched answer
    await asyncio.sleep(0.1)
    assert addin.of_type("function_execution_result") == [] and addin.of_type("batch_results") == []

    await kernel.release()  # the right kernel still completes the call
    result = await addin.wait_for("function_execution_result")
    assert result[0]["request_id"] == "owned" and result[0]["result"] == {"type": "int", "value": 6}
    await close_all(kernel, addin, ide, kernel2, addin2, ide2)


async def test_a_kernel_connection_that_is_no_longer_the_workbooks_is_not_heard(port):
    wb, addin, ide, kernel = await open_workbook(port)
    newer = await Kernel.connect(port, "kernel", wb)  # takes the workbook's kernel connection over
    await addin.wait_for("kernel_disconnected", timeout=10)
    await ide.wait_for("log_to_console", timeout=10)  # the newer kernel's connect work has ended

    def output(client):
        return [m["content"] for m in client.of_type("stdout")]

    for n in range(2):
        await kernel.send({"type": "stdout", "workbook_id": wb, "content": f"older {n}"})
        await newer.send({"type": "stdout", "workbook_id": wb, "content": f"newer {n}"})
        await wait_until(lambda: len(output(addin)) > n and len(output(ide)) > n, 10)
    assert output(addin) == output(ide) == ["newer 0", "newer 1"]
    for client in (kernel, newer, addin, ide):
        await client.close()
