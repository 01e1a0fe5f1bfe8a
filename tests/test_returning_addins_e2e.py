"""An add-in that comes back under its workbook id is served like a new one, however its
earlier connection ends, and told nothing about a kernel that was not its own (real host
and kernel program)."""
import asyncio
import json
import time
import uuid

import pytest
import websockets

from e2e_clients import Book, call, kernel_processes, results
from helpers import wait_until
from servers import master_with_log, scaled

CALC = {"calc": "def f(x):\n    return 2 * x\n"}
FUNCTIONS = [{"module": "calc", "function": "f", "excel_name": "F"}]
# Over the server's 16 MiB frame limit.
OVERSIZE = 17 * 1024 * 1024


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    with master_with_log(tmp_path_factory.mktemp("home"), env={"TAVRINO_KERNEL_STANDBY": "0"}) as (port, log):
        yield port, log


def int_value(n):
    return {"type": "Int", "value": n, "isSpec": False}


async def answered(addin, rid, n):
    await addin.send(call(rid, args=[int_value(n)]))
    await wait_until(lambda: any(r["request_id"] == rid for r in results(addin)), 30)
    [result] = [r for r in results(addin) if r["request_id"] == rid]
    assert result["status"] == "success" and result["result"]["value"] == 2 * n


def departures(log, wb):
    with open(log) as f:
        return f.read().count(f"Client disconnected: addin/{wb}")


async def connect(port, wb):
    return await Book.connect(port, wb, modules=CALC, functions=FUNCTIONS)


async def still_open(port, log, wb, first):
    newer = await connect(port, wb)
    return newer, first.close


async def dropped_unnoticed(port, log, wb, first):
    newer = await connect(port, wb)

    async def reset():
        first.ws.transport.abort()
        await first.closed.wait()
    return newer, reset


async def closed(port, log, wb, first):
    await first.close()
    return await connect(port, wb), None


async def closed_for_size(port, log, wb, first):
    sending = asyncio.create_task(first.ws.send(json.dumps({"type": "x", "data": "a" * OVERSIZE})))
    await wait_until(lambda: first.ws.close_rcvd is not None, 60)
    told = time.monotonic()
    assert first.ws.close_rcvd.code == 1009
    newer = await connect(port, wb)
    await wait_until(lambda: departures(log, wb) == 1, 30)
    # Gone at once: the master does not wait for a close that would queue behind data it no longer reads.
    assert time.monotonic() - told < min(scaled(1.5), 8.0)
    with pytest.raises(websockets.ConnectionClosed):
        await asyncio.wait_for(sending, scaled(10))
    return newer, None


@pytest.mark.parametrize("leaving", [still_open, dropped_unnoticed, closed, closed_for_size],
                         ids=["still-open", "dropped-unnoticed", "closed", "closed-for-size"])
async def test_a_returning_addin_is_served_whatever_its_earlier_connection_does(served, leaving):
    port, log = served
    wb = "back-" + uuid.uuid4().hex[:10]
    first = await connect(port, wb)
    await first.wait_for("sync_custom_functions", timeout=30)
    await answered(first, "first", 1)

    newer, leave_later = await leaving(port, log, wb, first)
    synced = await newer.wait_for("sync_custom_functions", timeout=30)
    assert synced[0]["functions"][0]["function"] == "f"
    await answered(newer, "newer", 2)
    if leave_later:
        await leave_later()
    await wait_until(lambda: departures(log, wb) == 1, 30)
    await answered(newer, "after", 3)
    await wait_until(lambda: len(kernel_processes(wb)) == 1, 15)
    # A notice about the kernel of the connection before would tell this one it has none.
    assert newer.of_type("kernel_disconnected") == []

    await newer.close()
    await wait_until(lambda: not kernel_processes(wb), 15)
