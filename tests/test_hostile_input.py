"""What clients and user code can throw at the master and the kernel bridge: wrong
receivers, invented ids, endless edits; memory stays bounded and nothing crashes."""
import asyncio
import json
import logging
import os
import stat
import subprocess
import sys
import textwrap

import pytest

import tavrino_master.business_layer.relvane as relvane
from e2e_clients import helper_env, kernel_processes
from fakes import Sock
from helpers import LOGGER, lines, warned
from servers import ROOT, TIMEOUT_SCALE, scaled


def run_child(code, timeout=120):
    """Runs code in a fresh interpreter; returns its last stdout line as JSON."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests")]))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT, env=env, capture_output=True,
                         text=True, timeout=scaled(timeout))
    assert out.returncode == 0, f"child ended with {out.returncode}: {out.stderr[-3000:]}"
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- receivers of the wrong type

PROXY_CALLS = {
    "__init__": {"OfficeJsObject": (1, "T"), "OfficeJsArray": (1,), "OfficeJsDict": (1,)},
    "__getattr__": ("x",), "__setattr__": ("x", 1), "__getitem__": (0,), "__call__": (), "__del__": (),
    "__repr__": (),
}
RECEIVERS = ["object()", "{i: i for i in range(50)}", "list(range(50))", "'text'", "other"]


@pytest.fixture(scope="module")
def proxy_outcomes():
    """Every proxy method called on every wrong receiver, in one child: a crash loses the rest."""
    code = f"""
        import json, sys
        from tavrino_master.python_server.tavrino import panticle
        classes = [panticle.OfficeJsObject, panticle.OfficeJsArray, panticle.OfficeJsDict]
        calls = {PROXY_CALLS!r}
        for cls in classes:
            other = next(c for c in classes if c is not cls)
            for method, args in calls.items():
                if method not in cls.__dict__:
                    continue
                args = args[cls.__name__] if isinstance(args, dict) else args
                for receiver in {RECEIVERS!r}:
                    target = other.__new__(other) if receiver == "other" else eval(receiver)
                    try:
                        getattr(cls, method)(target, *args)
                        outcome = "no error"
                    except BaseException as e:
                        outcome = f"{{type(e).__name__}}: {{e}}"
                    print(json.dumps([cls.__name__, method, receiver, outcome]), file=sys.stderr, flush=True)
        print(json.dumps("done"))
    """
    env = dict(os.environ, PYTHONPATH=ROOT)
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT, env=env, capture_output=True,
                         text=True, timeout=scaled(120))
    outcomes = {}
    for line in out.stderr.splitlines():
        if line.startswith("["):
            cls, method, receiver, outcome = json.loads(line)
            outcomes[cls, method, receiver] = outcome
    return out.returncode, outcomes


@pytest.mark.parametrize("receiver", RECEIVERS)
@pytest.mark.parametrize("cls, method", [(c, m) for c in ("OfficeJsObject", "OfficeJsArray", "OfficeJsDict")
                                         for m in PROXY_CALLS if m != "__getitem__" or c == "OfficeJsObject"])
def test_proxy_methods_refuse_a_foreign_receiver(proxy_outcomes, cls, method, receiver):
    returncode, outcomes = proxy_outcomes
    outcome = outcomes.get((cls, method, receiver), f"never reached: the child ended with {returncode}")
    assert outcome.startswith(f"TypeError: descriptor '{method}' for '{cls}' objects doesn't apply to a "), outcome


def test_proxy_methods_still_accept_their_own_instances():
    outcome = run_child("""
        import json
        from tavrino_master.python_server.tavrino import panticle
        class Sub(panticle.OfficeJsDict):
            pass
        d = Sub(7)
        d["k"] = 1
        a = panticle.OfficeJsArray(3)
        panticle.OfficeJsArray.__init__(a, 4)
        print(json.dumps([panticle.OfficeJsDict.__getattr__(d, "k"), d._internal_id, a._internal_id,
                          repr(a), panticle.OfficeJsDict.__repr__(d)]))
    """)
    assert outcome == [1, 7, 4, "<OfficeJsArray id=4 len=0>", "<OfficeJsDict id=7 keys=['k']>"]


@pytest.mark.parametrize("cls, method, args", [
    ("ConnectionManager", "connect", ("ide", "i", None)),
    ("ConnectionManager", "_handle_chunk_message", ("addin", "wb", {})),
    ("ConnectionManager", "get_connection", ("ide", "i")),
    ("ConnectionManager", "save_module_to_addin", ("wb", "m", "x")),
    ("ResultBatcher", "add_result", ("wb", {})),
])
def test_business_layer_methods_refuse_a_foreign_receiver(cls, method, args):
    for receiver in (object(), {}, relvane.ResultBatcher if cls == "ConnectionManager" else relvane.manager):
        with pytest.raises(TypeError, match=f"descriptor '{method}' for '{cls}' objects doesn't apply"):
            getattr(getattr(relvane, cls), method)(receiver, *args)


# ---------------------------------------------------------------- newest edit wins, bounded

EDITS_CHILD = """
    import asyncio, gc, json, logging, tracemalloc
    import tavrino_master.business_layer.relvane as relvane
    logging.disable(logging.CRITICAL)  # the warnings would quote the 4 MiB names

    class SilentAddin:
        async def accept(self):
            pass
        async def send_json(self, message):
            pass

    async def main(kind):
        m = relvane.ConnectionManager()
        relvane.manager = m
        if kind == "cancelled":
            await m.connect("addin", "wb", SilentAddin())
        big = "m" * (4 << 20)
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for i in range(40 if kind != "cancelled" else 8000):
            name = str(i) + big[len(str(i)):] if kind != "cancelled" else None  # a fresh 4 MiB name
            if kind == "save":
                await m.save_module_to_addin("wb", name, "x = 1")
            elif kind == "delete":
                await m.delete_module_from_addin("wb", name)
            elif kind == "load":
                await m.load_module_from_addin("wb", name)
            elif kind == "ide_delete":
                await relvane.handle_message("ide", "i", {"type": "delete_module", "workbook_id": "wb",
                                                          "module_name": name})
            else:  # edits whose task ends while the add-in has not answered
                task = asyncio.ensure_future(relvane.handle_save_module(
                    "i", {"workbook_id": "wb", "module_name": f"module_{i}_" + "x" * 200, "code": "y" * 500}))
                for _ in range(3):
                    await asyncio.sleep(0)
                task.cancel()
                await asyncio.gather(task, return_exceptions=True)
            del name
            await asyncio.sleep(0)  # lets tasks the dispatch started finish
        gc.collect()
        print(json.dumps((tracemalloc.get_traced_memory()[0] - before) / 2**20))

    asyncio.run(main(KIND))
"""


@pytest.mark.parametrize("kind", ["save", "delete", "load", "ide_delete", "cancelled"])
def test_module_edits_leave_nothing_behind(kind):
    # 40 names of 4 MiB are 160 MiB; 8000 cancelled edits keep about 3 MiB if their serials stay.
    grown = run_child(EDITS_CHILD.replace("KIND", repr(kind)))
    assert grown < 1.0, f"{grown:.1f} MiB kept after the edits ended"


async def test_delete_module_checks_the_name_like_save(manager, caplog):
    ide, kernel = Sock(), Sock()
    await manager.connect("ide", "i", ide)
    await manager.connect("kernel", "wb", kernel)
    manager.workbook_modules["wb"] = {"m": "x = 1"}
    for name in ("1bad", "a" * 257, "os.path.", "class"):
        await relvane.handle_message("ide", "i", {"type": "delete_module", "workbook_id": "wb", "module_name": name})
        assert ide.sent[-1] == {"type": "module_deleted", "workbook_id": "wb", "module_name": name, "success": False}
    assert kernel.sent == [] and manager.workbook_modules == {"wb": {"m": "x = 1"}}
    warnings = warned(caplog)
    assert warnings[0] == "Invalid module name '1bad': Invalid identifier: 1bad"
    assert len(warnings) == 4


async def test_update_during_a_save_keeps_the_newer_text(manager):
    class HeldAddin(Sock):
        async def send_json(self, message):
            self.sent.append(message)

    addin = HeldAddin()
    await manager.connect("addin", "wb", addin)
    save = asyncio.ensure_future(relvane.handle_save_module("i", {"workbook_id": "wb", "module_name": "m",
                                                                  "code": "old"}))
    while not addin.sent:
        await asyncio.sleep(0)
    await relvane.handle_update_module("i", {"workbook_id": "wb", "module_name": "m", "code": "new"})
    # The save's answer arrives before the update's own save has even been asked.
    manager.handle_response({"requestId": addin.sent[0]["request_id"], "success": True})
    await save
    assert manager.workbook_modules["wb"] == {"m": "new"}


# ---------------------------------------------------------------- chunk buffers of all clients together

def piece(chunk_id, index, total, data):
    return {"type": "chunk", "chunk_id": chunk_id, "chunk_index": index, "total_chunks": total, "data": data}


async def test_open_chunks_of_all_clients_are_bounded_oldest_first(manager, monkeypatch, caplog):
    monkeypatch.setattr(relvane, "MAX_MESSAGE_SIZE", 1024)  # 32768 per client, 65536 in all
    caplog.set_level(logging.ERROR, logger=LOGGER)
    half = '{"v": "' + "x" * 29990
    for client in ("c1", "c2"):
        assert await manager._handle_chunk_message("addin", client, piece("m", 0, 2, half)) is None
    assert caplog.records == []
    await manager._handle_chunk_message("addin", "c3", piece("m", 0, 2, half))
    assert caplog.messages == [
        "[BusinessLayer] Open chunked messages exceed 65536 characters in all, dropping chunk_id m from c1"]
    assert sorted(manager._chunk_buffers) == ["c2", "c3"] or manager._chunk_buffers.get("c1") == {}
    # the dropped message cannot complete; the others still do
    assert await manager._handle_chunk_message("addin", "c1", piece("m", 1, 2, '"}')) is None
    assert await manager._handle_chunk_message("addin", "c2", piece("m", 1, 2, '"}')) == {"v": "x" * 29990}


def test_invented_client_ids_cannot_grow_the_chunk_buffers():
    grown = run_child("""
        import asyncio, gc, json, tracemalloc
        import tavrino_master.business_layer.relvane as relvane

        async def main():
            m = relvane.ConnectionManager()
            tracemalloc.start()
            before = tracemalloc.get_traced_memory()[0]
            for i in range(12):  # 12 made-up ids, 16 Mi characters open each
                data = chr(65 + i) * (16 << 20)
                await m._handle_chunk_message("addin", f"made-up-{i}", {"chunk_id": "c", "chunk_index": 0,
                                                                       "total_chunks": 2, "data": data})
                del data
            gc.collect()
            print(json.dumps((tracemalloc.get_traced_memory()[0] - before) / 2**20))

        asyncio.run(main())
    """)
    assert grown <= 66, f"{grown:.0f} MiB held by open chunked messages"


# ---------------------------------------------------------------- hover mode

async def test_hover_mode_reaches_every_kernel_past_a_failing_one(manager, caplog):
    kernels = {"k1": Sock(), "k2": Sock(fail=True), "k3": Sock()}
    for kernel_id, sock in kernels.items():
        await manager.connect("kernel", kernel_id, sock)
    await relvane.handle_set_hover_mode("i", {"type": "set_hover_mode", "mode": "full"})
    assert kernels["k1"].sent == kernels["k3"].sent == [{"type": "set_hover_mode", "mode": "full"}]
    errors = lines(caplog, logging.ERROR, logger=None)
    assert errors == ["[Server] Error sending set_hover_mode to kernel k2: gone"]


# ---------------------------------------------------------------- the first message is the ping

class HandshakingSocket(Sock):
    """Its first send waits a loop turn, as the server's handshake does; then the client leaves."""

    query_params = {}

    def __init__(self):
        super().__init__()
        self.first = True

    async def send_json(self, message):
        if self.first:
            self.first = False
            await asyncio.sleep(0)
            await asyncio.sleep(0)
        self.sent.append(message)

    async def receive_text(self):
        await asyncio.sleep(0.01)
        raise relvane.WebSocketDisconnect(1000)


@pytest.mark.parametrize("client_type", ["ide", "inspector"])
async def test_ping_goes_out_before_any_broadcast(manager, client_type):
    sock = HandshakingSocket()

    async def broadcaster():
        while True:
            await manager.broadcast(client_type, {"type": "hover_response"})
            await asyncio.sleep(0)

    noise = asyncio.ensure_future(broadcaster())
    try:
        await relvane.websocket_endpoint(sock, client_type, "fresh")
    finally:
        noise.cancel()
    assert sock.sent[0] == {"type": "ping"}
    assert {"type": "hover_response"} in sock.sent  # it was reachable once registered


# ---------------------------------------------------------------- helper programs in tests

def fake_pgrep(tmp_path, body):
    tool = tmp_path / "pgrep"
    tool.write_text("#!/bin/sh\n" + body + "\n")
    tool.chmod(tool.stat().st_mode | stat.S_IEXEC)
    return str(tmp_path)


def test_a_hanging_pgrep_fails_instead_of_hanging(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", fake_pgrep(tmp_path, "exec sleep 600") + os.pathsep + os.environ["PATH"])
    with pytest.raises(subprocess.TimeoutExpired):  # it never answers: a short bound holds on any machine
        kernel_processes("wb", timeout=0.5 / TIMEOUT_SCALE)


def test_pgrep_runs_without_the_preloaded_runtime(tmp_path, monkeypatch):
    # Under a preloaded sanitizer runtime pgrep can deadlock at start-up.
    ours = subprocess.Popen(["sleep", "600"])  # a process of this run for the stand-in to name
    try:
        monkeypatch.setenv("PATH", fake_pgrep(tmp_path, f'[ -n "$LD_PRELOAD" ] && sleep 30; echo {ours.pid}')
                           + os.pathsep + os.environ["PATH"])
        monkeypatch.setitem(os.environ, "LD_PRELOAD", "/nonexistent.so")
        assert "LD_PRELOAD" not in helper_env()
        assert kernel_processes("wb", timeout=5) == [ours.pid]
    finally:
        ours.kill()
        ours.wait(scaled(10))


def test_kernels_of_another_run_on_the_machine_are_not_counted(tmp_path, monkeypatch):
    env = dict(os.environ, TAVRINO_TEST_RUN="another-run")
    ours, theirs = subprocess.Popen(["sleep", "600"]), subprocess.Popen(["sleep", "600"], env=env)
    try:
        monkeypatch.setenv("PATH", fake_pgrep(tmp_path, f"echo {theirs.pid} {ours.pid}") + os.pathsep
                           + os.environ["PATH"])
        assert kernel_processes("wb") == [ours.pid]
    finally:
        for process in (ours, theirs):
            process.kill()
            process.wait(scaled(10))
