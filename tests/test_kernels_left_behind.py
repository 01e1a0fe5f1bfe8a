"""What a workbook's departures leave behind: no kernel once every add-in of the workbook has
left, replaced add-ins included, and no outstanding call of a kernel that was killed or
terminated (in process, with real kernel processes); while a living kernel, even one stopped
for a while, keeps and answers every call (real host and kernel program)."""
import asyncio
import os
import secrets
import signal
import subprocess
import sys
import uuid

import pytest

import tavrino_master.business_layer.relvane as relvane
from e2e_clients import Book, Client, Kernel, call, connections, kernel_processes, master, results, wait_results
from fakes import Addin, Sock
from helpers import wait_until
from servers import free_port, running, scaled

STATE_REQUESTS = ("get_modules_request", "get_functions_request", "get_packages_request", "get_events_request")


class Leaving(Addin):
    """An answering add-in for the real endpoint; it leaves once `leave()` is called."""

    query_params = {}

    def __init__(self, manager):
        super().__init__(manager)
        self.gone = asyncio.Event()

    async def receive_text(self):
        await self.gone.wait()
        raise relvane.WebSocketDisconnect(1000)

    def requested(self, request_type):
        return any(m.get("type") == request_type for m in self.sent)


@pytest.fixture
def kernels(manager, monkeypatch):
    """Every kernel process the manager starts (the standby kernel program); their ends are
    checked by the tests, and any still running afterwards is killed."""
    started = []

    def spawn(workbook_id):
        process = relvane.ConnectionManager.spawn_kernel(manager, workbook_id)
        if process is not None:
            started.append(process)
        return process

    monkeypatch.setattr(manager, "spawn_kernel", spawn)
    yield started
    for process in started:
        if process.poll() is None:
            process.kill()
            process.wait(scaled(10))


@pytest.fixture
def connect_work_done(monkeypatch):
    """socket -> an event set when that add-in's connect work has ended, however it ended."""
    done = {}
    real = relvane.on_addin_coonection

    def tracked(websocket, client_type, client_id):
        work = real(websocket, client_type, client_id)
        finished = done.setdefault(websocket, asyncio.Event())

        async def run():
            try:
                return await work
            finally:
                finished.set()
        return run()

    monkeypatch.setattr(relvane, "on_addin_coonection", tracked)
    return lambda websocket: done.setdefault(websocket, asyncio.Event()).wait()


def ended(process):
    try:
        process.wait(scaled(10))
    except subprocess.TimeoutExpired:
        return False
    return True


async def arrive(addin, workbook_id):
    endpoint = asyncio.create_task(relvane.websocket_endpoint(addin, "addin", workbook_id))
    await wait_until(lambda: relvane.manager.get_connection("addin", workbook_id) is addin)
    return endpoint


async def leave(addin, endpoint):
    addin.gone.set()
    await asyncio.wait_for(endpoint, scaled(10))


@pytest.mark.parametrize("newer_stays", [False, True], ids=["newer-leaves-first", "newer-stays"])
async def test_a_replaced_addin_starts_no_kernel_and_none_outlives_the_last_addin(
        manager, kernels, connect_work_done, newer_stays):
    first = Leaving(manager)
    held = [first.hold(kind) for kind in STATE_REQUESTS]  # slow to answer
    first_endpoint = await arrive(first, "wb")
    await wait_until(lambda: first.requested("get_modules_request"), 10)

    newer = Leaving(manager)
    newer_held = [newer.hold(kind) for kind in STATE_REQUESTS]
    newer_endpoint = await arrive(newer, "wb")  # replaces the first
    await wait_until(lambda: newer.requested("get_modules_request"), 10)
    if not newer_stays:
        await leave(newer, newer_endpoint)

    for gate in held:
        gate.set()
    await asyncio.wait_for(connect_work_done(first), scaled(30))
    assert kernels == []  # the first add-in's work belonged to a socket that is no longer the workbook's

    if newer_stays:
        for gate in newer_held:
            gate.set()
        await asyncio.wait_for(connect_work_done(newer), scaled(30))
        [kernel] = kernels
        await leave(first, first_endpoint)
        assert kernel.poll() is None and manager.kernel_processes["wb"] is kernel  # still the newer one's
        await leave(newer, newer_endpoint)
    else:
        await leave(first, first_endpoint)
    assert "wb" not in manager.kernel_processes
    assert all(ended(process) for process in kernels)


def kill_from_outside(manager, workbook_id):
    process = manager.kernel_processes[workbook_id]
    process.send_signal(signal.SIGKILL)
    process.wait(scaled(10))


def kill_on_request(manager, workbook_id):
    assert manager.kill_and_restart_kernel(workbook_id)


@pytest.mark.parametrize("kill", [kill_from_outside, kill_on_request], ids=["killed", "kill-and-restart"])
async def test_calls_of_a_killed_kernel_leave_the_pending_table(manager, kernels, connect_work_done, kill):
    # Another workbook calls under an id that the killed kernel's workbook reuses.
    other_addin, other_kernel = Sock(), Sock()
    await manager.connect("addin", "other", other_addin)
    await manager.connect("kernel", "other", other_kernel)
    await relvane.handle_function_event_execution("other", call("r7"))
    [other_call] = [c["request_id"] for c in other_kernel.sent if c["type"] == "custom_function_call"]

    addin = Leaving(manager)
    endpoint = await arrive(addin, "wb")
    await asyncio.wait_for(connect_work_done(addin), scaled(30))
    [process] = kernels
    kernel = Sock()
    await manager.connect("kernel", "wb", kernel)  # plays the kernel's connection
    for n in range(100):
        await relvane.handle_function_event_execution("wb", call(f"r{n}"))
    assert len([c for c in kernel.sent if c["type"] == "custom_function_call"]) == 100
    assert sum(1 for wb, *_ in manager._pending_function_executions.values() if wb == "wb") == 100

    kill(manager, "wb")
    await leave(addin, endpoint)
    assert manager._pending_function_executions == {other_call: ("other", other_addin, "r7")}
    assert all(ended(p) for p in kernels) and process.returncode is not None

    # The other workbook's call is still answered.
    await relvane.handle_kernel_execution_result("other", {"type": "execution_result", "request_id": other_call,
                                                           "result": {"type": "Int", "value": 1}})
    await wait_until(lambda: any(m.get("request_id") == "r7" and m.get("status") == "success"
                                 for m in other_addin.sent))


async def test_a_replaced_addins_departure_keeps_the_calls_of_the_kernel_it_shares(manager, kernels,
                                                                                   connect_work_done):
    first = Leaving(manager)
    first_endpoint = await arrive(first, "wb")
    await asyncio.wait_for(connect_work_done(first), scaled(30))
    [process] = kernels
    kernel = Sock()
    await manager.connect("kernel", "wb", kernel)
    newer = Leaving(manager)
    newer_endpoint = await arrive(newer, "wb")
    await asyncio.wait_for(connect_work_done(newer), scaled(30))
    for n in range(10):
        await relvane.handle_function_event_execution("wb", call(f"r{n}"))
    kernel_ids = [c["request_id"] for c in kernel.sent if c["type"] == "custom_function_call"]

    await leave(first, first_endpoint)
    assert process.poll() is None and len(manager._pending_function_executions) == 10
    await relvane.handle_kernel_execution_result("wb", {"type": "execution_result", "request_id": kernel_ids[3]})
    await wait_until(lambda: any(m.get("request_id") == "r3" and m.get("status") == "success" for m in newer.sent))

    await leave(newer, newer_endpoint)
    assert manager._pending_function_executions == {} and ended(process)


# ---------------------------------------------------------------- a living kernel keeps its calls

async def test_a_paused_kernel_answers_every_call_sent_while_it_was_stopped(tmp_path):
    wb = "paused-" + uuid.uuid4().hex[:10]
    with master(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as port:
        ide = await Client.connect(port, "ide", "ide-" + wb)
        await ide.wait_for("workbook_list", timeout=10)
        addin = await Book.connect(port, wb, modules={"calc": "def f(x):\n    return 2 * x\n"})
        await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
        await ide.wait_for("log_to_console", timeout=20)  # the kernel's connect work has ended
        await addin.send(call("warm", args=[{"type": "Int", "value": 0, "isSpec": False}]))
        await wait_results(addin, 1, timeout=30)
        [pid] = kernel_processes(wb)

        os.kill(pid, signal.SIGSTOP)
        try:
            # Calls keep coming for a while; the stopped kernel can answer none of them.
            for batch in range(10):
                for n in range(20):
                    value = batch * 20 + n
                    await addin.send(call(f"c{value}", args=[{"type": "Int", "value": value, "isSpec": False}]))
                await asyncio.sleep(0.1)
            assert len(results(addin)) == 1
        finally:
            os.kill(pid, signal.SIGCONT)
        answered = {r["request_id"]: r for r in await wait_results(addin, 201, timeout=60)}
        assert all(answered[f"c{v}"]["status"] == "success" and answered[f"c{v}"]["result"]["value"] == 2 * v
                   for v in range(200))
        await addin.close()
        await wait_until(lambda: not kernel_processes(wb), 15)
        await ide.close()


# ---------------------------------------------------------------- a departed kernel leaves no call behind

# Each call of `block` leaves a mark in the folder and then waits for ever.
BLOCKING = ("import os, threading\n"
            "\n"
            "def f(x):\n"
            "    return 2 * x\n"
            "\n"
            "def block(n):\n"
            "    open(os.path.join({folder!r}, str(n)), 'w').close()\n"
            "    threading.Event().wait()\n")
# The kernel program runs this many calls at a time; the others wait in it.
KERNEL_WORKERS = 32


def int_value(n):
    return {"type": "Int", "value": n, "isSpec": False}


async def killed(port, wb, pid, addin):
    os.kill(pid, signal.SIGKILL)
    told = await addin.wait_for("kernel_disconnected", timeout=10)
    return told, await Kernel.connect(port, "kernel", wb)


async def replaced(port, wb, pid, addin):
    newer = await Kernel.connect(port, "kernel", wb)
    return await addin.wait_for("kernel_disconnected", timeout=10), newer


async def dropped(port, wb, pid, addin):
    os.kill(pid, signal.SIGSTOP)
    try:
        # More than the master keeps for a client that takes nothing: it drops the kernel's connection. Random
        # text, which compression cannot shrink.
        for n in range(48):
            await addin.send(call(f"big{n}", args=[{"type": "String", "value": secrets.token_hex(500_000)}]))
        told = await addin.wait_for("kernel_disconnected", timeout=30)
        # The drop may come before the master has taken every call of the flood: those go nowhere, and none
        # may reach the next kernel, which is scripted for calls of its own.
        await addin.send({"type": "function_execution", "request_id": "refused-after-drop"})
        await addin.wait_for("execution_error", count=2, timeout=30)
    finally:
        os.kill(pid, signal.SIGKILL)  # stopped, it could not end otherwise
    return told, await Kernel.connect(port, "kernel", wb)


@pytest.mark.parametrize("road", [killed, replaced, dropped], ids=["killed", "replaced", "dropped"])
async def test_the_calls_of_a_kernel_connection_that_has_gone_leave_the_pending_table(tmp_path, road):
    wb = "gone-" + uuid.uuid4().hex[:10]
    marks = tmp_path / "marks"
    marks.mkdir()
    with master(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as port:
        addin = await Book.connect(port, wb, modules={"calc": BLOCKING.format(folder=str(marks))})
        await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
        await addin.send(call("warm", args=[int_value(1)]))
        await wait_results(addin, 1, timeout=30)  # the kernel holds the module
        [pid] = kernel_processes(wb)
        for n in range(100):
            await addin.send(call(f"b{n}", function="block", args=[int_value(n)]))
        # A refused call is answered at once, once every call sent before it has gone to the kernel.
        await addin.send({"type": "function_execution", "request_id": "refused"})
        await addin.wait_for("execution_error", timeout=10)
        await wait_until(lambda: len(os.listdir(marks)) == KERNEL_WORKERS, 30)

        told, kernel = await road(port, wb, pid, addin)
        assert told == [{"type": "kernel_disconnected", "workbook_id": wb}]
        # An answer finds its call only while the call is pending; one that finds none is passed on unchanged.
        for n in range(100):
            await kernel.send({"type": "execution_result", "request_id": f"b{n}", "result": int_value(n)})
        await wait_until(lambda: len(addin.of_type("execution_result")) == 100, 30)
        # The connected kernel's own calls are still matched; any result of the earlier ones would come first.
        await addin.send(call("after"))
        await wait_until(lambda: any(r["request_id"] == "after" for r in results(addin)), 30)
        assert [r["request_id"] for r in results(addin)] == ["warm", "after"]

        await addin.close()
        await wait_until(lambda: not kernel_processes(wb), 15)
        await kernel.close()


async def test_a_call_sent_while_no_kernel_is_connected_is_not_kept(tmp_path):
    wb = "unserved-" + uuid.uuid4().hex[:10]
    with master(tmp_path) as port:  # the workbook's kernel program stands by and never connects
        addin = await Book.connect(port, wb)
        await wait_until(lambda: len(kernel_processes(wb)) == 1, 30)
        for n in range(300):
            await addin.send(call(f"c{n}", args=[int_value(n)]))
        await addin.send({"type": "function_execution", "request_id": "refused"})
        await addin.wait_for("execution_error", timeout=10)
        assert results(addin) == []  # unanswered, as before

        # A kernel connection that answers under those ids finds no call of them: its answers pass unchanged.
        kernel = await Kernel.connect(port, "kernel", wb)
        for n in range(300):
            await kernel.send({"type": "execution_result", "request_id": f"c{n}", "result": int_value(n)})
        await wait_until(lambda: len(addin.of_type("execution_result")) + len(results(addin)) == 300, 30)
        assert results(addin) == []
        await addin.close()
        await kernel.close()


# ---------------------------------------------------------------- no kernel outlives its master or its add-in

async def master_ends(master_process, addin, signum):
    master_process.send_signal(signum)
    master_process.wait(scaled(30))


@pytest.mark.parametrize("end", [
    pytest.param(lambda master_process, addin: master_ends(master_process, addin, signal.SIGTERM), id="master-SIGTERM"),
    pytest.param(lambda master_process, addin: master_ends(master_process, addin, signal.SIGKILL), id="master-SIGKILL"),
    pytest.param(lambda master_process, addin: addin.close(), id="addin-leaves"),
])
async def test_a_stopped_kernel_ends_with_its_master_or_its_addin(tmp_path, end):
    wb = "stopped-" + uuid.uuid4().hex[:10]
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    with running(argv, port, env={"HOME": str(tmp_path), "TAVRINO_KERNEL_STANDBY": "0"}) as master_process:
        addin = await Book.connect(port, wb)
        await addin.wait_for("sync_custom_functions", timeout=30)
        [pid] = kernel_processes(wb)
        os.kill(pid, signal.SIGSTOP)  # as the user's job control may
        try:
            await end(master_process, addin)
            await wait_until(lambda: not kernel_processes(wb), 15)
        finally:
            if kernel_processes(wb):
                os.kill(pid, signal.SIGKILL)
            await addin.close()


# Workbook code that makes its kernel ignore SIGTERM (from a worker thread, where a Python handler cannot be set).
STUBBORN = ("import ctypes, signal\n"
            "\n"
            "def ignore_sigterm(x):\n"
            "    libc = ctypes.CDLL(None)\n"
            "    libc.signal.argtypes, libc.signal.restype = [ctypes.c_int, ctypes.c_void_p], ctypes.c_void_p\n"
            "    libc.signal(signal.SIGTERM, signal.SIG_IGN)\n"
            "    return x\n")


def threads_of(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


async def test_a_kernel_that_ignores_sigterm_ends_with_its_addin_and_three_returns_leave_one_kernel(tmp_path):
    wb = "stubborn-" + uuid.uuid4().hex[:10]
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    with running(argv, port, env={"HOME": str(tmp_path), "TAVRINO_KERNEL_STANDBY": "0"}) as master_process:
        threads = None
        for visit in range(4):  # the first and three returns, each as soon as the add-in before it has left
            addin = await Book.connect(port, wb, modules={"calc": STUBBORN})
            await addin.wait_for("sync_custom_functions", timeout=60)
            [pid] = kernel_processes(wb)
            await addin.send(call(f"ignore{visit}", function="ignore_sigterm", args=[int_value(visit)]))
            assert (await wait_results(addin, 1, timeout=30))[0]["status"] == "success"
            if visit == 1:  # once the master has been through a departure and a return
                threads = threads_of(master_process.pid)
            if visit < 3:
                await addin.close()
        assert connections(port)["kernel"] == [wb]
        await wait_until(lambda: threads_of(master_process.pid) <= threads, 10)
        await addin.close()
        await wait_until(lambda: not kernel_processes(wb), 30)  # SIGTERM, a grace of a few seconds, SIGKILL
        await wait_until(lambda: wb not in connections(port)["kernel"], 10)
