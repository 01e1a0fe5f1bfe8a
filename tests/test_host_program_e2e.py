"""The host program as users run it: listen addresses, a busy port, helper programs that
are slow to stop, stopping the master, and what its log shows of clients."""
import asyncio
import contextlib
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
import uuid

import pytest
import websockets

from e2e_clients import Addin, Book, Kernel, call, connections, open_workbook, results
from helpers import eventually, wait_until
from servers import ROOT, free_port, scaled, stop

KERNELS_ON = {"TAVRINO_KERNEL_STANDBY": "0"}
CALC = {"calc": "def double(x):\n    return 2 * x\n\n"
                "def token_holders():\n    import os\n"
                "    return ','.join(k for k, v in os.environ.items() if 'tok-e2e' in v or k == 'TAVRINO_AUTH_TOKEN')"
                " or 'none'\n"}


def shown(host):
    return f"[{host}]" if ":" in host else host


def start_master(home, host="127.0.0.1", port=None, env=None, options=()):
    """The host program, its stderr in a file in home; (process, port, log path)."""
    port = port or free_port()
    log = home / f"master-{uuid.uuid4().hex[:8]}.log"
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests")]), HOME=str(home))
    full_env.update(env or {})
    with open(log, "wb") as out:
        process = subprocess.Popen([sys.executable, "-m", "tavrino_master", "--host", host, "--port", str(port),
                                    *options], cwd=ROOT, env=full_env, start_new_session=True, stderr=out)
    return process, port, log


def reachable(address, port):
    with contextlib.suppress(OSError), socket.create_connection((address, port), 0.2):
        return True
    return False


@contextlib.contextmanager
def master(home, host="127.0.0.1", reach="127.0.0.1", env=None, options=()):
    """A running master; yields (port, log path, process)."""
    process, port, log = start_master(home, host, env=env, options=options)
    try:
        assert eventually(lambda: process.poll() is not None or reachable(reach, port), timeout=30)
        assert process.poll() is None, log.read_text()
        yield port, log, process
    finally:
        stop(process)


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def wire(kind, value):
    return {"type": kind, "value": value, "isSpec": False}


def result_of(addin, rid):
    return next((r for r in results(addin) if r.get("request_id") == rid), None)


@pytest.mark.parametrize("listen, reach", [("::1", "::1"), ("0.0.0.0", "127.0.0.1")])
async def test_calls_are_answered_at_any_listen_address(tmp_path, listen, reach):
    if ":" in listen and not ipv6_loopback():
        pytest.skip("no IPv6 loopback address here")
    env = dict(KERNELS_ON, TAVRINO_AUTH_TOKEN="tok-e2e-secret")
    with master(tmp_path, listen, reach, env=env) as (port, log, _):
        wb = "wb-" + uuid.uuid4().hex[:10]
        addin = Book(await websockets.connect(f"ws://{shown(reach)}:{port}/ws/addin/{wb}"), modules=CALC)
        try:
            await wait_until(lambda: addin.of_type("sync_custom_functions"), 60)  # the kernel came
            await addin.send(dict(call("r1", "double", args=[wire("Int", 21)])))
            await addin.send(dict(call("r2", "token_holders", args=[])))
            await wait_until(lambda: result_of(addin, "r1") and result_of(addin, "r2"), 30)
            assert result_of(addin, "r1")["result"] == wire("Int", 42)
            # the token reached neither the kernel's environment nor anything its code can read there
            assert result_of(addin, "r2")["result"]["value"] == "none"
        finally:
            await addin.close()
        text = log.read_text()
        assert "Could not connect to the master" not in text and "Traceback" not in text


INSPECTOR = """\
import asyncio, os, sys, websockets
record, port = sys.argv[1], sys.argv[-1]
host = os.environ["TAVRINO_SERVER_HOST"]
with open(record, "a") as f:
    f.write(f"{os.getpid()} {host} {'TAVRINO_AUTH_TOKEN' in os.environ}\\n")
async def main():
    url = f"ws://{f'[{host}]' if ':' in host else host}:{port}/ws/inspector/main"
    async with websockets.connect(url) as ws:
        async for _ in ws:
            pass
asyncio.run(main())
"""


def test_a_second_master_on_a_busy_port_leaves_the_first_untouched(tmp_path):
    record = tmp_path / "inspectors"
    script = tmp_path / "inspector.py"
    script.write_text(INSPECTOR)
    env = {"TAVRINO_INSPECTOR_CMD": f"{sys.executable} {script} {record}", "TAVRINO_AUTH_TOKEN": "tok-e2e"}
    with master(tmp_path, env=env) as (port, log, _):
        assert eventually(lambda: connections(port)["inspector"] == ["main"], timeout=20)
        (first,) = record.read_text().splitlines()
        second, _, second_log = start_master(tmp_path, port=port, env=env)
        try:
            second.wait(scaled(30))
        finally:
            stop(second)
        err = second_log.read_text()
        assert second.returncode == 1 and f"Cannot listen on 127.0.0.1 port {port}" in err and "in use" in err
        assert "Starting Business Layer" not in err and "Traceback" not in err
        assert record.read_text().splitlines() == [first]  # no second inspector was ever started
        assert first.split()[1:] == ["127.0.0.1", "False"]
        assert connections(port)["inspector"] == ["main"]
        os.kill(int(first.split()[0]), 0)  # the first master's inspector still runs


IDE = """\
import os, signal, sys, time
record = sys.argv[1]
def note(line):
    with open(record, "a") as f:
        f.write(line + "\\n")
signal.signal(signal.SIGTERM, lambda *_: note(f"term {os.getpid()}"))
note(f"up {os.getpid()}")
master = os.getppid()
while os.getppid() == master:  # ignores SIGTERM, but ends with its master
    time.sleep(0.05)
"""


def lines_of(path, kind):
    return [line.split()[1] for line in path.read_text().splitlines() if line.startswith(kind)] \
        if path.exists() else []


async def test_restarting_an_ide_slow_to_stop_holds_up_no_other_workbook(tmp_path):
    record = tmp_path / "ide"
    script = tmp_path / "ide.py"
    script.write_text(IDE)
    with master(tmp_path, env={"TAVRINO_IDE_CMD": f"{sys.executable} {script} {record}"}) as (port, log, _):
        _, first, first_ide, first_kernel = await open_workbook(port)
        _, other, other_ide, other_kernel = await open_workbook(port)
        try:
            await first.send({"type": "show_ide"})
            await wait_until(lambda: lines_of(record, "up"), 20)
            (old,) = lines_of(record, "up")
            await first.send({"type": "kill_ide"})
            await wait_until(lambda: lines_of(record, "term"), 20)  # the master is stopping it now
            took = []
            for i in range(10):
                started = time.monotonic()
                await other.send(call(f"c{i}", args=(i,)))
                await wait_until(lambda: len(results(other)) > i, 20)
                took.append(time.monotonic() - started)
            assert [r["result"]["value"] for r in results(other)] == [2 * i for i in range(10)]
            assert sorted(took)[len(took) // 2] < scaled(0.1) and max(took) < scaled(1.0), took
            # after its grace period the old IDE is killed, and a new one starts
            await wait_until(lambda: len(lines_of(record, "up")) == 2, 30)
            assert lines_of(record, "up")[1] != old
            await wait_until(lambda: not os.path.exists(f"/proc/{old}"), 10)
        finally:
            for client in (first, first_ide, first_kernel, other, other_ide, other_kernel):
                await client.close()


async def one_stop(home, index):
    process, port, log = start_master(home)
    try:
        await wait_until(lambda: process.poll() is not None or reachable("127.0.0.1", port), 30)
        wb = f"stop-{index}"
        addin = await Addin.connect(port, wb)
        kernel = await Kernel.connect(port, "kernel", wb)
        await addin.wait_for("sync_custom_functions", timeout=20)  # the kernel's connect work has run
        process.send_signal(signal.SIGINT if index % 2 else signal.SIGTERM)
        await wait_until(lambda: process.poll() is not None, 30)
        await asyncio.wait_for(asyncio.gather(addin.closed.wait(), kernel.closed.wait()), scaled(10))
        return process.returncode, addin.ws.close_code, kernel.ws.close_code, log.read_text()
    finally:
        stop(process)


async def test_stopping_the_master_closes_clients_quietly(tmp_path):
    outcomes = []
    for first in range(0, 20, 5):  # a few masters at a time
        outcomes += await asyncio.gather(*(one_stop(tmp_path, i) for i in range(first, first + 5)))
    for returncode, addin_code, kernel_code, text in outcomes:
        assert "Traceback" not in text and "Exception in ASGI application" not in text, text
        assert (returncode, addin_code, kernel_code) == (0, 1001, 1001), text


@pytest.fixture(scope="module")
def guarded(tmp_path_factory):
    home = tmp_path_factory.mktemp("home")
    with master(home, env={"TAVRINO_ALLOWED_ORIGINS": "https://addin.example.com,null"}) as (port, log, _):
        yield port, log


@pytest.mark.parametrize("path", ["/docs", "/redoc", "/openapi.json", "/docs/oauth2-redirect"])
def test_no_documentation_pages(guarded, path):
    port, _ = guarded
    with pytest.raises(urllib.error.HTTPError) as answer:
        urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=scaled(5))
    assert answer.value.code == 404


def test_null_origin_is_warned_of_at_start(guarded):
    _, log = guarded
    assert eventually(lambda: "WARNING tavrino_master.host: Origin null is allowed" in log.read_text())


async def test_a_line_feed_in_a_name_stays_on_its_line(guarded):
    port, log = guarded
    wb = "nl-" + uuid.uuid4().hex[:8]
    addin = await Addin.connect(port, wb, name="Book%0A2026-01-01%2000:00:00,000%20INFO%20forged%0D%1B[2J")
    try:
        await addin.wait_for("ping")
        await wait_until(lambda: f"Client connected: addin/{wb}" in log.read_text(), 10)
    finally:
        await addin.close()
    (line,) = [x for x in log.read_text().splitlines() if f"Client connected: addin/{wb}" in x]
    assert line.endswith("(name: Book\\n2026-01-01 00:00:00,000 INFO forged\\r\\x1b[2J)")
    assert not any(x.startswith("2026-01-01 00:00:00,000 INFO forged") for x in log.read_text().splitlines())


@pytest.mark.parametrize("path, reason", [
    ("/ws/Addin/book-1", "Invalid client type"),
    ("/ws/addin/bad.id", "Invalid client ID: Client ID contains invalid characters"),
    ("/ws/ide/" + "x" * 257, "Invalid client ID: Client ID too long (max 256 characters)"),
])
async def test_a_refused_client_is_logged_with_its_reason(guarded, path, reason):
    port, log = guarded
    with pytest.raises(websockets.InvalidStatusCode):
        await websockets.connect(f"ws://127.0.0.1:{port}{path}")
    await wait_until(lambda: f"Refused WebSocket client {path!r}: {reason}" in log.read_text(), 10)


async def test_an_addin_and_its_kernel_leaving_together_log_no_error(guarded):
    port, log = guarded
    for i in range(10):
        wb = f"pair-{uuid.uuid4().hex[:8]}"
        addin = await Addin.connect(port, wb)
        kernel = await Kernel.connect(port, "kernel", wb)
        await addin.wait_for("sync_custom_functions", timeout=20)
        await asyncio.gather(addin.close(), kernel.close())
    await wait_until(lambda: json.dumps(connections(port)).count("pair-") == 0, 10)
    text = log.read_text()
    assert "Traceback" not in text and "Exception in ASGI application" not in text


def handshake_and_leave(port, path, linger):
    """Asks for a WebSocket connection and leaves without reading the answer: at once, or after `linger`
    seconds, with a plain close or a reset."""
    with socket.create_connection(("127.0.0.1", port), scaled(5)) as s:
        s.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        if linger is not None:
            time.sleep(linger)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, (1).to_bytes(4, "little") + (0).to_bytes(4, "little"))


@pytest.mark.parametrize("client_type", ["addin", "ide", "kernel", "inspector"])
async def test_a_client_that_leaves_right_after_its_handshake_logs_its_departure_and_no_error(guarded, client_type):
    port, log = guarded
    start = len(log.read_text())
    ids = []
    for linger in (None, 0.0, 0.005, 0.05):
        ids.append(f"brief-{uuid.uuid4().hex[:8]}")
        await asyncio.to_thread(handshake_and_leave, port, f"/ws/{client_type}/{ids[-1]}", linger)
    departures = [f"Client disconnected: {client_type}/{client_id}" for client_id in ids]
    await wait_until(lambda: all(d in log.read_text() for d in departures), 10)
    # An error of a departure is logged in the same turn of the master's loop as the departure itself.
    text = log.read_text()[start:]
    lines = text.splitlines()
    assert all(sum(line.endswith(d) and " INFO " in line for line in lines) == 1 for d in departures)
    assert not [line for line in lines if any(i in line for i in ids) and " INFO " not in line]
    assert " ERROR " not in text and "Traceback" not in text and "Exception in ASGI application" not in text


@pytest.mark.parametrize("host, url_host", [("127.0.0.1", "127.0.0.1"), ("::1", "[::1]")])
def test_the_kernel_logs_each_failed_attempt(host, url_host):
    port = free_port()
    env = dict(os.environ, PYTHONPATH=ROOT, TAVRINO_SERVER_HOST=host, TAVRINO_KERNEL_STANDBY="0")
    process = subprocess.Popen([sys.executable, "-m", "tavrino_master.python_server", "wb-1", str(port)], cwd=ROOT,
                               env=env, stderr=subprocess.PIPE, text=True)
    try:
        seen = []
        deadline = time.monotonic() + scaled(30)
        while len(seen) < 2 and time.monotonic() < deadline:
            line = process.stderr.readline()
            if not line:
                break
            if "Could not connect to the master" in line:
                seen.append(line)
        assert len(seen) == 2, seen
        assert all(f"ws://{url_host}:{port}/ws/kernel/wb-1 (retrying)" in line for line in seen)
    finally:
        process.kill()
        process.wait()
