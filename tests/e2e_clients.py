"""Scripted WebSocket clients for end-to-end tests against the real host program."""
import asyncio
import contextlib
import json
import os
import subprocess
import sys
import urllib.request

import websockets

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


def kernel_processes(workbook_id, timeout=10.0):
    """Pids of the kernel programs started for a workbook; a hung pgrep fails the test."""
    out = subprocess.run(["pgrep", "-f", f"tavrino_master.python_server {workbook_id} "], capture_output=True,
                         text=True, env=helper_env(), timeout=scaled(timeout)).stdout
    return [int(p) for p in out.split()]


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
                message = json.loads(frame)
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
