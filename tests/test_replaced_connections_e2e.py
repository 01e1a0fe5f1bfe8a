"""A newer connection under a client id in use: the older one is told why and closed, and an
add-in that returns, counting its request ids afresh, gets the answers to its own calls only,
while its predecessor's calls and stream are still in the kernel (real host and kernel program)."""
import asyncio
import uuid

import pytest

from e2e_clients import Book, Client, kernel_processes, results
from helpers import wait_until
from servers import master_with_log, scaled

FUNCTIONS = [{"module": "calc", "function": "slow", "excel_name": "SLOW"},
             {"module": "calc", "function": "ticks", "excel_name": "TICKS", "streaming": True}]


def calc(folder):
    """slow(x) answers x once the test lets it, saying when it has started and when it is done;
    ticks(tag) streams tagged values until it is stopped, and says so."""
    return (f"import os, time\n\n"
            f"FOLDER = {str(folder)!r}\n\n\n"
            f"def mark(name):\n"
            f"    open(os.path.join(FOLDER, name), 'w').close()\n\n\n"
            f"def slow(x, go):\n"
            f"    mark(f'started-{{x}}')\n"
            f"    deadline = time.monotonic() + {scaled(60)!r}\n"
            f"    while not os.path.exists(os.path.join(FOLDER, go)) and time.monotonic() < deadline:\n"
            f"        time.sleep(0.01)\n"
            f"    mark(f'done-{{x}}')\n"
            f"    return x\n\n\n"
            f"def ticks(tag):\n"
            f"    try:\n"
            f"        n = 0\n"
            f"        while True:\n"
            f"            n += 1\n"
            f"            yield f'{{tag}}-{{n}}'\n"
            f"            time.sleep(0.01)\n"
            f"    finally:\n"
            f"        mark(f'stopped-{{tag}}')\n")


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("home"), env={"TAVRINO_KERNEL_STANDBY": "0"}) as (port, log):
        yield port, log


def wire(value):
    return {"type": "Int" if isinstance(value, int) else "String", "value": value, "isSpec": False}


def slow_call(rid, x, go):
    return {"type": "function_execution", "module_name": "calc", "function_name": "slow",
            "args": [wire(x), wire(go)], "request_id": rid}


def stream_call(rid, tag):
    return {"type": "streaming_function_execution", "module_name": "calc", "function_name": "ticks",
            "args": [wire(tag)], "request_id": rid}


def stream_values(addin, rid):
    return [m["result"]["value"] for m in addin.of_type("streaming_function_result")
            if m.get("request_id") == rid and "result" in m]


def logged(log, text):
    with open(log) as f:
        return text in f.read()


async def calls_and_stream(page, folder, values, go, tag):
    """The page's slow calls r1 and r2 and its stream r3, once all of them run in the kernel."""
    for rid, x in zip(("r1", "r2"), values):
        await page.send(slow_call(rid, x, go))
    await page.send(stream_call("r3", tag))
    await wait_until(lambda: all((folder / f"started-{x}").exists() for x in values), 30)
    await wait_until(lambda: len(stream_values(page, "r3")) >= 3, 30)


REPLACED = (4003, "Replaced by a newer connection")


@pytest.mark.parametrize("client_type", ["ide", "addin"])
async def test_a_newer_connection_closes_the_older_with_4003(served, client_type):
    port, log = served
    client_id = f"{client_type}-" + uuid.uuid4().hex[:10]

    async def connect():
        if client_type == "ide":
            client = await Client.connect(port, "ide", client_id)
            await client.wait_for("workbook_list", timeout=10)
        else:
            client = await Book.connect(port, client_id, modules={"calc": "def f(x):\n    return x\n"})
            await client.wait_for("sync_custom_functions", timeout=30)
        return client

    older = await connect()
    newer = await connect()
    await asyncio.wait_for(older.closed.wait(), scaled(15))
    assert (older.ws.close_code, older.ws.close_reason) == REPLACED
    await wait_until(lambda: logged(log, f"Client disconnected: {client_type}/{client_id}"), 15)
    assert logged(log, f"INFO tavrino_master.business_layer.relvane: Closing the earlier connection of "
                       f"{client_type}/{client_id}: a newer connection has replaced it")

    # The older one's departure changes nothing for the newer: it is served as before.
    if client_type == "ide":
        await newer.send({"type": "get_all_settings", "request_id": "s1"})
        [answer] = await newer.wait_for("all_settings_response", timeout=10)
        assert answer["request_id"] == "s1"
    else:
        await newer.send({"type": "function_execution", "module_name": "calc", "function_name": "f",
                          "args": [wire(3)], "request_id": "r1"})
        await wait_until(lambda: results(newer), 30)
        assert [(r["request_id"], r["result"]["value"]) for r in results(newer)] == [("r1", 3)]
    assert not newer.closed.is_set()
    await newer.close()
    if client_type == "addin":
        await wait_until(lambda: not kernel_processes(client_id), 15)


@pytest.mark.parametrize("leaving", ["closed", "aborted", "still-open"])
async def test_a_returning_addin_gets_only_the_answers_to_its_own_calls(served, tmp_path, leaving):
    port, log = served
    wb = "again-" + uuid.uuid4().hex[:10]
    state = {"modules": {"calc": calc(tmp_path)}, "functions": FUNCTIONS}
    first = await Book.connect(port, wb, **state)
    await first.wait_for("sync_custom_functions", timeout=30)
    # Slow calls and a stream in the kernel, under the ids a page counts from the start.
    await calls_and_stream(first, tmp_path, (101, 102), "go-first", "first")

    if leaving == "closed":
        await first.close()
    elif leaving == "aborted":
        first.ws.transport.abort()
        await first.closed.wait()
    if leaving != "still-open":
        # The kernel of a workbook whose add-in has left ends with it.
        await wait_until(lambda: not kernel_processes(wb), 15)
    second = await Book.connect(port, wb, **state)
    await second.wait_for("sync_custom_functions", timeout=30)
    await calls_and_stream(second, tmp_path, (201, 202), "go-second", "second")

    if leaving == "still-open":
        # The kernel stayed, and with it the first page's calls: they are answered now, while
        # the second page waits under the same ids.
        (tmp_path / "go-first").touch()
        await wait_until(lambda: all((tmp_path / f"done-{x}").exists() for x in (101, 102)), 30)
    (tmp_path / "go-second").touch()
    await wait_until(lambda: len(results(second)) >= 2, 30)
    count = len(stream_values(second, "r3"))
    await wait_until(lambda: len(stream_values(second, "r3")) > count, 30)  # later kernel output is in too

    assert sorted((r["request_id"], r["status"], r["result"]["value"]) for r in results(second)) == [
        ("r1", "success", 201), ("r2", "success", 202)]
    assert {value.split("-")[0] for value in stream_values(second, "r3")} == {"second"}
    assert second.of_type("execution_result") == [] and not second.closed.is_set()
    if leaving == "still-open":
        # The first page's stream, which nobody reads any more, was stopped in the kernel.
        await wait_until(lambda: (tmp_path / "stopped-first").exists(), 30)
    await second.close()
    await wait_until(lambda: not kernel_processes(wb), 15)

