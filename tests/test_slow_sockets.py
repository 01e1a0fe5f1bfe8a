"""Sends to a socket that does not keep up, in process: nobody waits on it, its messages keep their order, what
waits for it is bounded in bytes and time, and its departure costs what was queued, no more."""
import asyncio
import logging

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Frames
from helpers import LOGGER, wait_until
from servers import scaled

ABORT_KEY = "tavrino.abort_transport"


class Held:
    """A socket whose sends wait while it is held; records what went out, in order, and how it was closed."""

    one_at_a_time = False  # each release lets one message through

    def __init__(self, scope=None):
        self.sent, self.closed, self.aborted = [], None, False
        self.gate = asyncio.Event()
        self.gate.set()
        self.scope = scope if scope is not None else {}

    def hold(self):
        self.gate.clear()

    def release(self):
        self.gate.set()

    async def accept(self):
        pass

    async def send_json(self, message):
        await self.gate.wait()
        if self.one_at_a_time:
            self.gate.clear()
        self.sent.append(message)

    async def send_text(self, text):  # only the framework's sockets are sent queued text
        raise AssertionError("a queued dict must go out as a dict")

    async def close(self, code=1000, reason=""):
        self.closed = code


def msg(n, size=0):
    return {"type": "stdout", "n": n, "content": "x" * size}


async def test_sends_never_wait_and_keep_their_order(manager):
    slow, quick = Held(), Held()
    await manager.connect("addin", "slow", slow)
    await manager.connect("addin", "quick", quick)
    slow.hold()
    for n in range(200):
        # each returns at once although the slow socket takes nothing
        await asyncio.wait_for(manager.send_message("addin", "slow", msg(n)), scaled(1))
        await manager.send_message("addin", "quick", msg(n))
    assert slow.sent == [] and [m["n"] for m in quick.sent] == list(range(200))
    slow.release()
    await wait_until(lambda: len(slow.sent) == 200)
    assert [m["n"] for m in slow.sent] == list(range(200))
    # idle again: a send goes out before send_message returns, with no loop turn in between
    await manager.send_message("addin", "slow", msg(200))
    assert slow.sent[-1]["n"] == 200


async def test_a_broadcast_waits_for_no_socket_and_skips_a_failing_one(manager):
    class Broken(Held):
        async def send_json(self, message):
            raise ConnectionResetError("gone")

    stuck, broken, fine = Held(), Broken(), Held()
    for n, sock in enumerate((stuck, broken, fine)):
        await manager.connect("ide", f"ide{n}", sock)
    stuck.hold()
    for n in range(3):
        await asyncio.wait_for(manager.broadcast("ide", msg(n)), scaled(1))
    assert [m["n"] for m in fine.sent] == [0, 1, 2] and stuck.sent == []
    stuck.release()
    await wait_until(lambda: len(stuck.sent) == 3)
    assert [m["n"] for m in stuck.sent] == [0, 1, 2]


async def test_an_error_of_a_send_that_starts_at_once_reaches_the_sender(manager):
    class Broken(Held):
        async def send_json(self, message):
            raise ConnectionResetError("gone")

    await manager.connect("addin", "wb", Broken())
    with pytest.raises(ConnectionResetError):
        await manager.send_message("addin", "wb", msg(0))


@pytest.mark.parametrize("abortable", [True, False], ids=["transport-abort", "close-handshake"])
async def test_a_backlog_over_its_bound_closes_the_client(manager, monkeypatch, caplog, abortable):
    monkeypatch.setattr(relvane, "MAX_CLIENT_BACKLOG", 10_000)
    aborted = []
    sock = Held({ABORT_KEY: lambda: aborted.append(True)} if abortable else {})
    await manager.connect("addin", "wb", sock)
    sock.hold()
    caplog.set_level(logging.WARNING, logger=LOGGER)
    for n in range(30):  # about 30 KB queued behind the first send: over the bound
        await manager.send_message("addin", "wb", msg(n, 1000))
    assert any(r.getMessage().startswith("Closing addin/wb: more than 10000 bytes") for r in caplog.records)
    if abortable:
        assert aborted == [True] and sock.closed is None
    else:
        await wait_until(lambda: sock.closed == 1008)
    # once closed, later messages are dropped quietly, and the unsent ones never go out
    await manager.send_message("addin", "wb", msg(99))
    sock.release()
    for _ in range(10):
        await asyncio.sleep(0)
    assert [m["n"] for m in sock.sent] == []


async def test_a_client_that_takes_nothing_for_the_timeout_is_closed_and_a_slow_one_is_not(manager, monkeypatch,
                                                                                             caplog):
    timeout = scaled(1.0)
    monkeypatch.setattr(relvane, "SLOW_CLIENT_TIMEOUT", timeout)
    caplog.set_level(logging.WARNING, logger=LOGGER)
    stalled, slow = Held({ABORT_KEY: lambda: setattr(stalled, "aborted", True)}), Held()
    slow.scope[ABORT_KEY] = lambda: setattr(slow, "aborted", True)
    await manager.connect("addin", "stalled", stalled)
    await manager.connect("addin", "slow", slow)
    stalled.hold()
    slow.hold()
    for n in range(20):
        await manager.send_message("addin", "stalled", msg(n))
        await manager.send_message("addin", "slow", msg(n))
    # the slow client takes one message every tenth of the timeout: twice the timeout in all, never idle so long
    slow.one_at_a_time = True
    while len(slow.sent) < 20:
        slow.release()
        await asyncio.sleep(timeout / 10)
        assert not slow.aborted
    await wait_until(lambda: stalled.aborted, 10)
    assert [m["n"] for m in slow.sent] == list(range(20)) and stalled.sent == []
    assert any(r.getMessage() == f"Closing addin/stalled: it took no data for {timeout} s while data waited for it"
               for r in caplog.records)


class EndpointSocket(Frames, Held):
    """A client for the endpoint: hands over `frames` one by one, then leaves."""

    def __init__(self, frames):
        super().__init__()
        self.frames = list(frames)
        self.reads = 0
        self.query_params = {}
        self.more = asyncio.Event()
        self.more.set()

    async def receive_text(self):
        await self.more.wait()
        if not self.frames:
            raise relvane.WebSocketDisconnect(1000)
        self.reads += 1
        return self.frames.pop(0)


async def test_the_endpoint_reads_no_more_of_a_client_whose_tasks_are_at_the_bound(manager, monkeypatch):
    monkeypatch.setattr(relvane, "MAX_CLIENT_TASKS", 10)
    gate = asyncio.Event()
    handled = []

    async def blocking(client_id, message):
        handled.append(message["n"])
        await gate.wait()

    monkeypatch.setitem(relvane.MESSAGE_HANDLERS["inspector"], "held", blocking)
    sock = EndpointSocket([f'{{"type": "held", "n": {n}}}' for n in range(50)])
    endpoint = asyncio.ensure_future(relvane.websocket_endpoint(sock, "inspector", "main"))
    await wait_until(lambda: len(handled) == 10)
    for _ in range(20):
        await asyncio.sleep(0)
    assert sock.reads == 10 and not endpoint.done()
    gate.set()
    await asyncio.wait_for(endpoint, scaled(5))
    assert sorted(handled) == list(range(50))  # every message still got its task, in the end


async def test_a_departure_costs_what_was_queued_and_leaves_nothing_behind(manager, monkeypatch):
    monkeypatch.setattr(relvane, "MAX_CLIENT_BACKLOG", 1 << 40)
    sock = EndpointSocket([])
    sock.more.clear()  # the client says nothing until it leaves
    endpoint = asyncio.ensure_future(relvane.websocket_endpoint(sock, "inspector", "main"))
    await wait_until(lambda: manager.get_connection("inspector", "main") is sock)
    sock.hold()
    for n in range(100_000):
        await manager.send_message("inspector", "main", msg(n))
    loop = asyncio.get_running_loop()
    began = loop.time()
    sock.more.set()  # now it leaves
    await asyncio.wait_for(endpoint, scaled(5))
    assert loop.time() - began < scaled(2)
    assert manager.get_connection("inspector", "main") is None
    sock.release()
    for _ in range(10):
        await asyncio.sleep(0)
    assert [m["type"] for m in sock.sent] == ["ping"]  # the queued messages were dropped, not sent late


def value(rid, n):
    return {"type": "streaming_function_result", "request_id": rid, "result": {"type": "Int", "value": n},
            "done": False}


async def test_stream_values_waiting_for_a_slow_socket_give_way_to_newer_ones(manager):
    sock = Held()
    await manager.connect("addin", "wb", sock)

    async def send(*messages):  # as the workbook's kernel sends them
        for message in messages:
            await relvane.handle_kernel_transfert("wb", message)

    def out():
        return [(m["request_id"], m["result"]["value"]) if "result" in m else (m.get("request_id"), m["type"])
                for m in sock.sent]

    await send(*(value("a", n) for n in range(3)))  # a socket that keeps up gets every value
    assert out() == [("a", 0), ("a", 1), ("a", 2)]
    sock.sent.clear()
    sock.hold()
    end_b = {"type": "streaming_function_result", "request_id": "b", "error": "ValueError: x", "done": True}
    end_c = {"type": "streaming_function_result", "request_id": "c", "done": True}
    await send(value("b", 0),  # b's first value, being sent: never touched
               value("b", 1), value("c", 0), msg(0), value("b", 2), value("c", 1), value("c", 2), value("a", 3),
               end_c, value("b", 3), value("b", 4), end_b, value("a", 4))
    sock.release()
    await wait_until(lambda: len(sock.sent) == 8)
    # each stream's first value, its end and every other message stay in order; a newer value takes the
    # waiting one's place
    assert out() == [("b", 0), ("b", 4), ("c", 0), (None, "stdout"), ("c", 2), ("a", 4), ("c", "streaming_function_result"),
                     ("b", "streaming_function_result")]
    await send(value("a", 5), value("a", 6))  # nothing waits: every value again
    assert out()[-2:] == [("a", 5), ("a", 6)]


async def test_many_streams_of_two_workbooks_under_the_same_ids_each_rise_from_their_first_to_their_last_value(
        manager):
    """An IDE that is behind gets every workbook's streams: more of them than a socket's bookkeeping holds, and
    the same request ids in both workbooks. Each stream still arrives from its first value, only rising, and
    ends on its last value and then its end."""
    ide = Held()
    await manager.connect("ide", "ide", ide)
    ide.hold()

    def value_of(wb, rid, n):
        return {"type": "streaming_function_result", "request_id": rid, "done": False,
                "result": {"type": "String", "value": f"{wb}/{rid}/{n}"}}

    last = 300
    fast = [f"f{k}" for k in range(10)]
    started = 0
    for n in range(last + 1):
        for wb in ("wb1", "wb2"):
            for rid in fast:
                await relvane.handle_kernel_transfert(wb, value_of(wb, rid, n))
        for _ in range(20):  # streams that start, send one value and stay open
            await relvane.handle_kernel_transfert("wb1", value_of("wb1", f"s{started}", 0))
            started += 1
    for wb in ("wb1", "wb2"):
        for rid in fast:
            await relvane.handle_kernel_transfert(wb, {"type": "streaming_function_result", "request_id": rid,
                                                       "done": True})
    ide.release()
    await wait_until(lambda: sum(1 for m in ide.sent if m.get("done")) == 2 * len(fast), 30)

    seen, ends = {}, {}
    for at, m in enumerate(ide.sent):
        if "result" in m:
            wb, rid, n = m["result"]["value"].split("/")
            seen.setdefault((wb, rid), []).append((int(n), at))
        else:  # an end names no workbook
            ends.setdefault(m["request_id"], []).append(at)
    assert len(seen) == 2 * len(fast) + started
    for (wb, rid), arrived in seen.items():
        values = [n for n, _ in arrived]
        assert values[0] == 0 and all(a < b for a, b in zip(values, values[1:])), (wb, rid, values)
        if rid in fast:
            assert values[-1] == last and arrived[-1][1] < min(ends[rid]), (wb, rid, values)
    assert sorted(ends) == sorted(fast) and all(len(at) == 2 for at in ends.values())


async def test_a_message_to_a_connection_whose_close_has_begun_is_dropped_quietly(manager, caplog):
    """The host's connection once a close has begun from either side: its protocol is no longer open, and the
    framework's send would wait for the close to end and then fail."""
    from websockets.exceptions import ConnectionClosedOK
    from websockets.frames import Close

    class Closing(Held):
        async def send_json(self, message):
            await asyncio.sleep(0)
            raise ConnectionClosedOK(Close(1000, ""), Close(1000, ""), True)

    class Protocol:
        open = False

    sock = Closing({"tavrino.frames": Protocol()})
    await manager.connect("addin", "wb", sock)
    caplog.set_level(logging.WARNING, logger=LOGGER)
    await manager.send_message("addin", "wb", msg(0))
    for _ in range(10):
        await asyncio.sleep(0)
    assert [r.getMessage() for r in caplog.records] == []
