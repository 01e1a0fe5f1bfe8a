"""Scripted WebSocket clients for end-to-end tests against the real host program."""
import asyncio
import contextlib
import json
import os
import subprocess
import sys
import urllib.request
import uuid

import websockets

from helpers import wait_until
from servers import free_port, running, scaled


@contextlib.contextmanager
def master(tmp_path, env=None):
    """Runs the host program on a free loopback port; yields its port."""
    port = free_port()
    argv = [sys.executable, "-m", "tavrino_master", "--host", "127.0.0.1", "--port", str(port)]
    with running(argv, port, env=dict({"HOME": str(tmp_path)}, **(env or {}))):
        yield port


def helper_env():
    """The environment for helper programs: no preloaded sanitizer runtime."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def started_by_this_run(pid):
    """Whether the process carries this test run's mark (see conftest): another
    run on the machine may have kernels of the same workbook id."""
    mark = f"TAVRINO_TEST_RUN={os.environ['TAVRINO_TEST_RUN']}".encode()
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            return mark in f.read().split(b"\0")
    except OSError:  # gone meanwhile
        return False


def kernel_processes(workbook_id, timeout=10.0):
    """Pids of this run's kernel programs for a workbook; a hung pgrep fails the test."""
    out = subprocess.run(["pgrep", "-f", f"tavrino_master.python_server {workbook_id} "], capture_output=True,
                         text=True, env=helper_env(), timeout=scaled(timeout)).stdout
    return [int(p) for p in out.split() if started_by_this_run(p)]


def connections(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/connections", timeout=scaled(5)) as resp:
        return json.load(resp)


class Client:
    """One connection: keeps every received message and waits for types."""

    def __init__(self, ws):
        self.ws = ws
        self.received = []
        self._new = asyncio.Condition()
        self._reader = asyncio.create_task(self._read())
        self.closed = asyncio.Event()

    @classmethod
    async def connect(cls, port, client_type, client_id, name=None):
        url = f"ws://127.0.0.1:{port}/ws/{client_type}/{client_id}"
        if name:
            url += f"?name={name}"
        return cls(await websockets.connect(url))

    async def _read(self):
        try:
            async for frame in self.ws:
                message = self.parse(frame)
                if message is None:
                    continue
                await self.on_message(message)
                async with self._new:
                    self.received.append(message)
                    self._new.notify_all()
        except websockets.ConnectionClosed:
            pass
        finally:
            self.closed.set()
            async with self._new:
                self._new.notify_all()

    def parse(self, frame):
        """The message a frame holds; None for a frame the client skips."""
        return json.loads(frame)

    async def on_message(self, message):
        """Scripted clients answer here."""

    async def send(self, message):
        await self.ws.send(message if isinstance(message, str) else json.dumps(message))

    def of_type(self, type_):
        return [m for m in self.received if m.get("type") == type_]

    async def wait_for(self, type_, count=1, timeout=5.0):
        """Waits until `count` messages of `type_` have arrived; returns them."""
        async def enough():
            async with self._new:
                await self._new.wait_for(lambda: len(self.of_type(type_)) >= count or self.closed.is_set())
        await asyncio.wait_for(enough(), scaled(timeout))
        found = self.of_type(type_)
        assert len(found) >= count, f"{type_}: got {len(found)} of {count}; received {self.received}"
        return found[:count]

    async def close(self):
        await self.ws.close()
        await self._reader


class Addin(Client):
    """An add-in that answers the master's state requests from its own workbook."""

    def __init__(self, ws, modules=None, functions=None, packages=None, python_paths=None, events=None):
        super().__init__(ws)
        self.modules = modules or {}
        self.functions = functions or []
        self.packages = packages or []
        self.python_paths = python_paths or []
        self.events = events or {}

    @classmethod
    async def connect(cls, port, workbook_id, name=None, **state):
        url = f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}" + (f"?name={name}" if name else "")
        return cls(await websockets.connect(url), **state)

    async def on_message(self, message):
        answers = {
            "get_modules_request": lambda: {"type": "get_modules_response", "modules": self.modules},
            "get_functions_request": lambda: {"type": "get_functions_response", "functions": self.functions},
            "get_packages_request": lambda: {"type": "get_packages_response", "packages": self.packages,
                                             "python_paths": self.python_paths},
            "get_events_request": lambda: dict({"type": "get_events_response"}, **self.events),
        }
        answer = answers.get(message.get("type"))
        if answer:
            reply = answer()
            reply["request_id"] = message["request_id"]
            await self.send(reply)


class Kernel(Client):
    """A kernel that answers worksheet-function and event calls.

    `f` succeeds with its first argument doubled, `fail` raises; answers go out
    one by one, or held back until `release()` when `hold` is set."""

    hold = False

    def __init__(self, ws):
        super().__init__(ws)
        self.held = []

    async def on_message(self, message):
        kind = message.get("type")
        if kind == "custom_function_call":
            rid = message["request_id"]
            if message["function_name"] == "fail":
                answer = {"type": "execution_error", "request_id": rid, "error": {"message": "ZeroDivisionError"},
                          "logs": "traceback"}
            else:
                answer = {"type": "execution_result", "request_id": rid,
                          "result": {"type": "int", "value": message["args"][0] * 2}, "logs": ""}
            if self.hold:
                self.held.append(answer)
            else:
                await self.send(answer)
        elif kind == "event_execution":
            await self.send({"type": "event_execution_result", "request_id": message["request_id"],
                             "workbook_id": message["workbook_id"], "success": True})

    async def release(self, together=False):
        """Sends the held answers back to back, or `together` in one "batch" frame: the master then
        takes them in at once, however slow the machine, so they fall into one coalescing window."""
        held, self.held = self.held, []
        if together:
            await self.send({"type": "batch", "messages": held})
            return
        for answer in held:
            await self.send(answer)


class Book(Addin):
    """An add-in that also stores the modules the master saves."""

    async def on_message(self, message):
        await super().on_message(message)
        if message.get("type") == "save_module_request":
            await self.send({"type": "save_module_response", "request_id": message["request_id"], "success": True})


def listed(ide, workbook_id):
    """Whether a "workbook_list" the IDE received names the workbook."""
    return any(entry.get("id") == workbook_id for m in ide.of_type("workbook_list") for entry in m["workbooks"])


async def open_workbook(port, modules=None):
    """An IDE, an add-in and a scripted kernel of one new workbook, with all connect work done."""
    wb = "wb-" + uuid.uuid4().hex[:10]
    ide = await Client.connect(port, "ide", "ide-" + wb)
    await ide.wait_for("workbook_list")
    addin = await Book.connect(port, wb, name="Book", modules=modules or {})
    await ide.wait_for("workbook_connected", timeout=10)
    # The add-in's connect work sends a list naming it only after it has started (or, with a kernel
    # already in, not started) the workbook's kernel: a scripted kernel that came in earlier, as on a
    # slow machine, would have kept the master from starting one.
    await wait_until(lambda: listed(ide, wb), 10)
    kernel = await Kernel.connect(port, "kernel", wb)
    await ide.wait_for("log_to_console", timeout=10)  # the kernel's connect work has ended
    kernel.received.clear()
    addin.received.clear()
    ide.received.clear()
    return wb, addin, ide, kernel


def results(addin):
    """The kernel-outcome results the add-in received, alone or batched, in arrival order."""
    found = []
    for message in addin.received:
        if message.get("type") == "batch_results":
            found.extend(message["results"])
        elif message.get("type") == "function_execution_result" and "status" in message:
            found.append(message)
    return found


async def wait_results(addin, count, timeout=5.0):
    await wait_until(lambda: len(results(addin)) >= count, timeout)
    return results(addin)


def call(rid, function="f", module="calc", args=(1,)):
    return {"type": "function_execution", "module_name": module, "function_name": function, "args": list(args),
            "request_id": rid}
