"""Clients that read slowly, under the real host with the real kernel program: a client that keeps reading is
never dropped, neither by the stall check nor by the keep-alive, however much waits for it and however large one
message is; a client that takes nothing is still dropped, with a warning, and so is a peer that stops reading while
its system still takes what trickles to it (a frozen kernel, a stopped add-in); a large message, or a backlog
flushed when a client resumes, holds up no other workbook; many calls at once are each answered once."""
import asyncio
import fcntl
import itertools
import json
import os
import re
import signal
import socket
import struct
import termios
import uuid

import pytest
import websockets

from e2e_clients import Book, connections, kernel_processes, results
from helpers import wait_until
from servers import master_with_log, scaled

MODULES = {"calc": (
    "import secrets, time\n"
    "\n"
    "def double(x):\n"
    "    return 2 * x\n"
    "\n"
    "def big(size):\n"
    "    return secrets.token_hex(size // 2)\n"
    "\n"
    "def stream(size, rate, count=-1):\n"
    "    n = 0\n"
    "    while n != count:\n"
    "        yield f'{n:09d}:' + secrets.token_hex(size // 2)\n"
    "        n += 1\n"
    "        time.sleep(1 / rate)\n")}
# A frame longer than this is only measured, not parsed: the test's own loop must not stall the workbook it times.
MEASURED_ONLY = 1_000_000


def wire(tag, value):
    return {"type": tag, "value": value, "isSpec": False}


class Reader(Book):
    """An add-in without a size limit or pings of its own, whose socket may be read at a set pace."""

    def __init__(self, ws, **state):
        super().__init__(ws, **state)
        self.taken = 0      # bytes its socket has read
        self.long = []      # (length, head) of each long frame
        self.values = []    # sequence numbers of the stream's values, in arrival order
        self.ended = None   # how many values had come when the stream's end came
        self._budget = 0.0
        self._pacer = None

    @classmethod
    async def open(cls, port, workbook_id, receive_buffer=None):
        sock = None
        if receive_buffer is not None:  # set before connecting, so that the window may use all of it
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
            sock.connect(("127.0.0.1", port))
        ws = await websockets.connect(f"ws://127.0.0.1:{port}/ws/addin/{workbook_id}?name=Book", max_size=None,
                                      ping_interval=None, sock=sock)
        reader = cls(ws, modules=dict(MODULES))
        protocol = ws.transport.get_protocol()
        received = protocol.data_received

        def counted(data):
            reader.taken += len(data)
            reader._budget -= len(data)
            if reader._pacer is not None and reader._budget <= 0:
                reader._pause()
            received(data)

        protocol.data_received = counted
        return reader

    def parse(self, frame):
        if len(frame) > MEASURED_ONLY:
            self.long.append((len(frame), frame[:300]))
            found = re.search(r'"type": "function_execution_result", "request_id": "(\w+)", "status": "(\w+)"',
                              frame[:300])
            return {"type": "function_execution_result", "request_id": found[1], "status": found[2],
                    "length": len(frame)} if found else {"type": "long"}
        message = json.loads(frame)
        if message.get("type") == "streaming_function_result" and "result" in message:
            self.values.append(int(message["result"]["value"].split(":")[0]))
            return None
        if message.get("type") == "streaming_function_result" and message.get("done"):
            self.ended = len(self.values)
        return message

    def unread(self):
        """Bytes waiting in the socket's own receive buffer."""
        held = fcntl.ioctl(self.ws.transport.get_extra_info("socket").fileno(), termios.FIONREAD, b"\0" * 4)
        return struct.unpack("i", held)[0]

    def results(self):
        """The results received so far, by request id."""
        return {r["request_id"]: r for r in results(self)}

    async def call(self, function, *args, timeout=10):
        rid = uuid.uuid4().hex
        await self.send({"type": "function_execution", "module_name": "calc", "function_name": function,
                         "args": list(args), "request_id": rid})

        async def arrived():
            async with self._new:
                await self._new.wait_for(lambda: rid in self.results() or self.closed.is_set())
        await asyncio.wait_for(arrived(), scaled(timeout))
        return self.results().get(rid)

    def pace(self, rate):
        """From now on the socket reads about `rate` bytes a second, in small reads (None: it reads nothing)."""
        transport = self.ws.transport
        if self._pacer is None:
            self._resume, self._pause = transport.resume_reading, transport.pause_reading
            transport.resume_reading = lambda: None  # only the pace resumes it
            transport.max_size = 8192
        else:
            self._pacer.cancel()
        self._pause()
        self._budget = 0.0
        if rate is not None:
            self._pacer = asyncio.create_task(self._run(rate))

    def read_freely(self):
        if self._pacer is not None:
            self._pacer.cancel()
            self._pacer = None
        transport = self.ws.transport
        transport.resume_reading = self._resume
        transport.max_size = 256 * 1024
        self._resume()

    async def _run(self, rate):
        tick = 0.02
        while True:
            await asyncio.sleep(tick)
            self._budget = min(self._budget + rate * tick, rate * 0.1)
            if self._budget > 0:
                self._resume()


async def open_reader(port, clients, receive_buffer=None):
    wb = "rd-" + uuid.uuid4().hex[:10]
    reader = await Reader.open(port, wb, receive_buffer)
    clients.append(reader)
    await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
    answer = await reader.call("double", wire("Int", 1), timeout=30)  # the kernel has its modules
    assert answer and answer.get("status") == "success", answer
    return wb, reader


def warnings_in(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return [line for line in f if " WARNING " in line and "Closing" in line]


def errors_in(log):
    with open(log, encoding="utf-8", errors="replace") as f:
        return [line for line in f if " ERROR " in line or " CRITICAL " in line]


class Timed:
    """B: a workbook whose add-in reads at once and calls a trivial function every 20 ms; (start, wait) of each."""

    def __init__(self, reader):
        self.reader, self.waits = reader, []
        self.stopping = False
        self.task = asyncio.create_task(self._run())

    async def _run(self):
        loop = asyncio.get_running_loop()
        while not self.stopping:
            began = loop.time()
            answer = await self.reader.call("double", wire("Int", 21))
            assert answer["result"] == wire("Int", 42), answer
            self.waits.append((began, loop.time() - began))
            del self.reader.received[:-20]
            await asyncio.sleep(max(0.0, 0.02 - (loop.time() - began)))

    def longest(self, start, end=float("inf")):
        within = [wait for began, wait in self.waits if start <= began <= end]
        assert within, "B made no call in the window"
        return max(within)

    async def stop(self):
        if self.task.done():
            self.task.result()  # B's own failure
        # Not by the cancel alone: asyncio.wait_for (in a call) swallows a cancel that comes as its awaitable ends.
        self.stopping = True
        self.task.cancel()
        await asyncio.gather(self.task, return_exceptions=True)


# The keep-alive pings every PING seconds and allows as long for the answer; a reader that takes 100 kB/s must
# never wait on it longer than that behind what was handed to its socket.
PING = scaled(2)
STALL = scaled(1)
KNOBS = {"TAVRINO_KERNEL_STANDBY": "0", "TAVRINO_PING_INTERVAL": str(PING), "TAVRINO_SLOW_CLIENT_TIMEOUT": str(STALL)}


async def test_a_reader_slower_than_its_stream_is_kept_and_gets_rising_values_the_first_the_last_and_the_end(
        tmp_path, clients):
    # The stall limit leaves room for the reader's own window, which its system reopens only once a good part
    # of its buffer is free again: for a few seconds at a time its socket takes nothing.
    knobs = dict(KNOBS, TAVRINO_SLOW_CLIENT_TIMEOUT=str(2 * PING))
    with master_with_log(tmp_path, env=knobs) as (port, log):
        # Megabytes may wait unread in the reader's own socket, ahead of the keep-alive's pings.
        buffer = 4 * 1024 * 1024
        wb, reader = await open_reader(port, clients, receive_buffer=buffer)
        if reader.ws.transport.get_extra_info("socket").getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF) < buffer:
            pytest.skip("the system keeps receive buffers below 4 MB (net.core.rmem_max)")
        # Slow enough that what its buffer holds takes twice the keep-alive's time-out to read, quick enough
        # that the window it reopens never waits so long.
        pace = min(400_000, int(3_000_000 / PING))
        reader.pace(pace)
        # 100 values of 16,000 characters a second, four times what the reader takes or more, for three
        # keep-alive rounds at least
        count = int(100 * 3 * PING)
        await reader.send({"type": "streaming_function_execution", "request_id": "flow", "module_name": "calc",
                           "function_name": "stream", "args": [wire("Int", 16000), wire("Int", 100),
                                                               wire("Int", count)]})
        loop = asyncio.get_running_loop()
        began, unread = loop.time(), 0
        while loop.time() - began < 3 * PING:
            await asyncio.sleep(0.5)
            assert not reader.closed.is_set() and wb in connections(port)["addin"], warnings_in(log)
            unread = max(unread, reader.unread())
        rate = reader.taken / (loop.time() - began)
        assert pace / 2 < rate < pace * 1.5, rate
        # the pings waited behind more than the keep-alive's time-out lets a ping wait
        assert unread > 1.5 * PING * pace, unread
        reader.read_freely()
        await wait_until(lambda: reader.ended is not None or reader.closed.is_set(), 60)
        values = reader.values
        assert values[0] == 0 and values[-1] == count - 1, (values[:3], values[-3:])
        assert all(a < b for a, b in zip(values, values[1:]))
        assert reader.ended == len(values)  # the end came after the last value
        assert len(values) < count  # values gave way
        assert warnings_in(log) == []


async def test_a_single_large_message_reaches_a_slow_reader_whole(tmp_path, clients):
    size = 1_500_000  # fifteen seconds at this pace: many stall limits, several keep-alive rounds
    with master_with_log(tmp_path, env=KNOBS) as (port, log):
        wb, reader = await open_reader(port, clients)
        reader.pace(100_000)
        answer = await reader.call("big", wire("Int", size), timeout=size / 100_000 * 3 + 30)
        assert not reader.closed.is_set(), warnings_in(log)
        assert answer["status"] == "success" and len(reader.long) == 1
        assert size < answer["length"] < size + 1000
        assert warnings_in(log) == []


# A stream that waits for the reader is closed by the stall check; an idle reader that answers no ping by the
# keep-alive (whose ping would wait for the transport to drain, were it full).
@pytest.mark.parametrize("knobs, stream, reason", [
    ({"TAVRINO_SLOW_CLIENT_TIMEOUT": str(STALL)}, True,
     f"it took no data for {float(STALL)} s while data waited for it"),
    ({"TAVRINO_SLOW_CLIENT_TIMEOUT": "600", "TAVRINO_PING_INTERVAL": str(PING)}, False,
     f"it answered no keep-alive ping within {float(PING)} s"),
], ids=["stall-check", "keep-alive"])
async def test_a_reader_that_takes_nothing_is_closed_with_a_warning(tmp_path, clients, knobs, stream, reason):
    with master_with_log(tmp_path, env=dict(knobs, TAVRINO_KERNEL_STANDBY="0")) as (port, log):
        wb, reader = await open_reader(port, clients)
        _, other = await open_reader(port, clients)
        if stream:
            await reader.send({"type": "streaming_function_execution", "request_id": "flow", "module_name": "calc",
                               "function_name": "stream", "args": [wire("Int", 4000), wire("Int", 50)]})
            await wait_until(lambda: reader.values, 20)
        reader.pace(None)
        await wait_until(lambda: wb not in connections(port).get("addin", []), STALL + 2 * PING + 30)
        assert (await other.call("double", wire("Int", 2)))["result"] == wire("Int", 4)
        assert any(f"Closing addin/{wb}: {reason}" in line for line in warnings_in(log)), warnings_in(log)
        assert errors_in(log) == []


async def test_a_large_result_and_a_resumed_backlog_hold_up_no_other_workbook(tmp_path, clients, capsys):
    with master_with_log(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as (port, log):
        _, a = await open_reader(port, clients)
        _, b = await open_reader(port, clients)
        timed = Timed(b)
        loop = asyncio.get_running_loop()
        try:
            # 30,000,000 characters to a reader that keeps up
            began = loop.time()
            answer = await a.call("big", wire("Int", 30_000_000), timeout=120)
            passed = loop.time()
            assert answer["status"] == "success" and 30_000_000 < answer["length"] < 30_001_000
            large = timed.longest(began, passed)

            # a pause of a few seconds while 8,000-character values flow, then the reader takes it all at once
            await a.send({"type": "streaming_function_execution", "request_id": "flow", "module_name": "calc",
                          "function_name": "stream", "args": [wire("Int", 8000), wire("Int", 90)]})
            await wait_until(lambda: a.values, 20)
            a.pace(None)
            await asyncio.sleep(5)
            resumed = loop.time()
            a.read_freely()
            await asyncio.sleep(2)
            resume = timed.longest(resumed, resumed + 2)
            await a.send({"type": "cancel_streaming_function", "request_id": "flow"})
        finally:
            await timed.stop()
        assert a.values[0] == 0 and all(x < y for x, y in zip(a.values, a.values[1:]))
        with capsys.disabled():
            print(f"\nB's longest wait: {large:.3f} s while 30,000,000 characters passed in "
                  f"{passed - began:.1f} s; {resume:.3f} s within 2 s of a resume")
        assert large < scaled(0.4), large
        assert resume < scaled(0.15), resume
        assert warnings_in(log) == []


async def test_twenty_thousand_calls_sent_at_once_are_answered_once_each(tmp_path, clients):
    with master_with_log(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as (port, log):
        _, reader = await open_reader(port, clients)
        reader.received.clear()
        rids = [f"many-{n}" for n in range(20_000)]
        for rid in rids:
            await reader.send({"type": "function_execution", "module_name": "calc", "function_name": "double",
                               "args": [wire("Int", 1)], "request_id": rid})

        def answered():
            found = []
            for m in reader.received:
                if m.get("type") == "batch_results":
                    found.extend(r["request_id"] for r in m["results"])
                elif m.get("type") == "function_execution_result":
                    found.append(m["request_id"])
            return found

        await wait_until(lambda: len(answered()) >= len(rids), 120)
        await asyncio.sleep(0.5)  # anything answered twice would have come by now
        found = answered()
        assert sorted(found) == sorted(rids)
        assert all(m.get("status") == "success" for m in reader.results().values())


async def test_a_normal_close_while_values_flow_logs_no_warning(tmp_path, clients):
    """The add-in's own close, and the master's stop, each while values flow to the add-in."""
    with master_with_log(tmp_path, env={"TAVRINO_KERNEL_STANDBY": "0"}) as (port, log):
        leaving, reader = await open_reader(port, clients)
        _, staying = await open_reader(port, clients)
        for client in (reader, staying):
            await client.send({"type": "streaming_function_execution", "request_id": "flow", "module_name": "calc",
                               "function_name": "stream", "args": [wire("Int", 1000), wire("Int", 500)]})
        await wait_until(lambda: len(reader.values) > 50 and len(staying.values) > 50, 20)
        await reader.ws.close()
        assert reader.ws.close_code == 1000
        await wait_until(lambda: leaving not in connections(port)["addin"], 10)
        count = len(staying.values)
        await wait_until(lambda: len(staying.values) > count + 50, 20)
    await wait_until(staying.closed.is_set, 10)
    assert staying.ws.close_code == 1001  # the master's stop
    assert warnings_in(log) == []


# Under the keep-alive users run (a ping every 20 s, 20 s for its answer) a peer that stops answering is gone within
# the interval, the time-out and the close's own wait for the peer (10 s), plus what was written ahead of the ping
# takes at the slowest pace kept, which for a trickle is little.
KEEPALIVE_ROUND = 20 + 20 + 10
DEFAULTS = {"TAVRINO_KERNEL_STANDBY": "0"}


def keepalive_closings(log, client):
    return [line for line in warnings_in(log) if f"Closing {client}: it answered no keep-alive ping within 20.0 s"
            in line]


async def test_a_kernel_frozen_while_calls_trickle_is_reported_and_kill_kernel_recovers_the_workbook(
        tmp_path, clients):
    with master_with_log(tmp_path, env=DEFAULTS) as (port, log):
        wb, addin = await open_reader(port, clients)
        [pid] = kernel_processes(wb)

        async def trickle():
            for n in itertools.count():
                await addin.send({"type": "function_execution", "module_name": "calc", "function_name": "double",
                                  "args": [wire("Int", n)], "request_id": f"t{n}"})
                await asyncio.sleep(1)

        # Stopped as by user code that holds the GIL: its system still takes every call into its receive buffer.
        os.kill(pid, signal.SIGSTOP)
        calls = asyncio.create_task(trickle())
        try:
            await addin.wait_for("kernel_disconnected", timeout=KEEPALIVE_ROUND + 10)
            calls.cancel()
            assert wb not in connections(port).get("kernel", [])
            assert len(keepalive_closings(log, f"kernel/{wb}")) == 1, warnings_in(log)
            assert errors_in(log) == []

            await addin.send({"type": "kill_kernel"})
            [answer] = await addin.wait_for("kill_kernel_response", timeout=30)
            assert answer["success"] is True
            await wait_until(lambda: wb in connections(port).get("kernel", []), 30)
            assert (await addin.call("double", wire("Int", 21), timeout=30))["result"] == wire("Int", 42)
            assert pid not in kernel_processes(wb)
        finally:
            calls.cancel()
            if pid in kernel_processes(wb):
                os.kill(pid, signal.SIGKILL)


async def test_an_addin_that_stops_reading_while_a_stream_trickles_is_closed_and_a_slow_reader_beside_it_kept(
        tmp_path, clients):
    with master_with_log(tmp_path, env=DEFAULTS) as (port, log):
        stopped_wb, stopped = await open_reader(port, clients)
        slow_wb, slow = await open_reader(port, clients)
        # About 2 KB/s to the one that stops; 40 KB/s to one that reads 10 KB/s: slower than the pace the keep-alive
        # allows for what is ahead of a ping, it still answers within the time-out beside it.
        for reader, size, rate in ((stopped, 60, 10), (slow, 4000, 10)):
            await reader.send({"type": "streaming_function_execution", "request_id": "flow", "module_name": "calc",
                               "function_name": "stream", "args": [wire("Int", size), wire("Int", rate)]})
        slow.pace(10_000)
        await wait_until(lambda: stopped.values and slow.values, 20)
        stopped.pace(None)  # its system goes on taking what comes, for many minutes
        before = len(slow.values)
        await wait_until(lambda: stopped_wb not in connections(port)["addin"], KEEPALIVE_ROUND + 10)
        await wait_until(lambda: stopped_wb not in connections(port).get("kernel", []), 30)
        await wait_until(lambda: not kernel_processes(stopped_wb), 30)

        assert slow_wb in connections(port)["addin"] and not slow.closed.is_set(), warnings_in(log)
        values = slow.values
        assert len(values) > before and all(a < b for a, b in zip(values, values[1:]))
        closings = warnings_in(log)
        assert len(closings) == 1 and closings == keepalive_closings(log, f"addin/{stopped_wb}"), closings
        assert errors_in(log) == []
