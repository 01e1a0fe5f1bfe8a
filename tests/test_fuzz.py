"""A bounded, seeded fuzz run over the real host: hostile frames of every client
type beside one control workbook, which must keep working; the host stays up
and within a memory bound."""
import asyncio
import os
import sys

import pytest

from e2e_clients import Client, call, open_workbook, wait_results
from fuzz_frames import Traffic, rss_mib, status
from helpers import wait_until
from servers import free_port, running, scaled

FRAMES = int(os.environ.get("TAVRINO_FUZZ_FRAMES", "3000"))
SEED = int(os.environ.get("TAVRINO_FUZZ_SEED", "1913"))
# What the host may have grown by after the run: the open chunk buffers are
# bounded (64 Mi characters in all) and this run's pieces are small, so
# anything near this is memory that nothing gives back.
RSS_BOUND_MIB = 48
# Under AddressSanitizer freed memory waits in its quarantine (up to 256 MiB):
# the host's size then says nothing about what it keeps.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def host(tmp_path):
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    with running(argv, port, env={"HOME": str(tmp_path)}) as proc:
        yield port, proc


async def test_hostile_frames_leave_the_host_and_a_control_workbook_working(host):
    port, proc = host
    modules = {"calc": "def f(x):\n    return 2 * x\n"}
    wb, addin, ide, kernel = await open_workbook(port, modules)
    await addin.send(call("warm-up"))
    await wait_results(addin, 1)

    traffic = Traffic(port)
    # A first short run brings the host's lazily made state into being.
    await traffic.run(SEED + 1, 200)
    await asyncio.sleep(0.5)
    before = rss_mib(proc.pid)
    await asyncio.wait_for(traffic.run(SEED, FRAMES), scaled(120 + FRAMES / 50))
    await traffic.close()
    await asyncio.sleep(1.0)
    after = rss_mib(proc.pid)

    assert proc.poll() is None, "the host ended"
    assert status(port) == (200, {"status": "running", "service": "Tavrino Business Layer"})
    assert not (addin.closed.is_set() or ide.closed.is_set() or kernel.closed.is_set())

    # The control workbook still works end to end: a call, a module listing, a fresh IDE.
    await addin.send(call("after"))
    found = await wait_results(addin, 2, timeout=10)
    assert [r["request_id"] for r in found][-1] == "after" and found[-1]["status"] == "success"
    await ide.send({"type": "list_modules", "workbook_id": wb})
    await wait_until(lambda: any(m.get("workbook_id") == wb for m in ide.of_type("module_list")), 10)
    assert [m["modules"] for m in ide.of_type("module_list") if m.get("workbook_id") == wb] == [["calc"]]
    fresh = await Client.connect(port, "ide", "ide-after-fuzz")
    await fresh.wait_for("workbook_list", timeout=10)
    assert fresh.received[0] == {"type": "ping"}
    assert wb in [w["id"] for w in fresh.of_type("workbook_list")[0]["workbooks"]]

    # Nothing of the made-up workbooks reached the control workbook's add-in or kernel.
    for client in (addin, kernel):
        foreign = [m for m in client.received if "workbook_id" in m and m["workbook_id"] != wb]
        assert foreign == []

    print(f"host RSS {before:.1f} -> {after:.1f} MiB, {traffic.reopened} reconnects")
    if not SANITIZED:
        assert after - before <= RSS_BOUND_MIB, f"host grew from {before:.0f} to {after:.0f} MiB"
    for client in (addin, ide, kernel, fresh):
        await client.close()


async def test_fresh_connections_get_the_ping_first_while_the_ides_are_broadcast_to(host):
    port, _ = host
    kernel = await Client.connect(port, "kernel", "chatty")
    stop = asyncio.Event()

    async def chatter():
        while not stop.is_set():
            await kernel.send({"type": "hover_response", "request_id": "h", "contents": "x"})
            await asyncio.sleep(0)

    noise = asyncio.ensure_future(chatter())
    firsts = []
    try:
        for n in range(40):
            ide = await Client.connect(port, "ide", f"fresh-{n}")
            await ide.wait_for("ping", timeout=10)
            firsts.append(ide.received[0]["type"])
            await ide.close()
    finally:
        stop.set()
        await noise
        await kernel.close()
    assert firsts == ["ping"] * 40
