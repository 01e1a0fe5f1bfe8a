"""The kernel program's parts in process, where workbook code pushes them:
producers that never pause, output bursts, imports that never end, modules
named like libraries, reads of stdin."""
import asyncio
import json
import sys
import threading
import time

import pytest

from tavrino_master.python_server import kernel as kp
from tavrino_master.python_server import outbox
from helpers import eventually, wait_until
from servers import scaled


class EagerSocket:
    """A connection that never holds its sender up, as loopback mostly does,
    though each frame costs the sender some time."""

    def __init__(self):
        self.frames = []

    async def send(self, frame):
        time.sleep(0.0002)
        self.frames.append(frame)


def messages(frames):
    return [m for f in frames for m in (json.loads(f).get("messages") or [json.loads(f)])]


async def test_a_producer_that_never_pauses_leaves_the_loop_free_to_read():
    socket = EagerSocket()

    async def current():
        return socket

    box = outbox.Outbox(current, 1.0, queue_limit=4000)
    box.attach(asyncio.get_running_loop())
    stop = threading.Event()
    done = []

    def produce():
        i = 0
        ends = time.monotonic() + scaled(5)  # a loop held up for good fails the test, not the run
        while not stop.is_set() and time.monotonic() < ends:  # many values per put: the drain always finds more
            box.put([outbox.Alone(json.dumps({"i": n})) for n in range(i, i + 50)])
            i += 50
        done.append(i)

    worker = threading.Thread(target=produce, daemon=True)
    worker.start()
    await wait_until(lambda: len(socket.frames) > 100)
    read = asyncio.Event()
    asyncio.get_running_loop().call_soon(read.set)  # what the listener does when a frame comes
    started = time.monotonic()
    await asyncio.wait_for(read.wait(), scaled(1.0))
    assert time.monotonic() - started < scaled(0.5)
    assert worker.is_alive()  # the producer still ran meanwhile
    stop.set()
    worker.join(scaled(5))
    await wait_until(lambda: not box._draining)
    assert [m["i"] for m in messages(socket.frames)] == list(range(done[0]))


class Collected:
    def __init__(self):
        self.sent = []

    def __call__(self, stream_name, text):
        self.sent.append((stream_name, text))


@pytest.fixture
def loop_thread():
    """An event loop running on its own thread, as the kernel's listener."""
    loop = asyncio.new_event_loop()
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    yield loop
    loop.call_soon_threadsafe(loop.stop)
    thread.join(scaled(5))
    loop.close()


def attached(loop, buffer):
    ready = threading.Event()

    def attach():
        buffer.attach(loop)
        ready.set()

    loop.call_soon_threadsafe(attach)
    assert ready.wait(scaled(5))
    return buffer


def test_output_written_together_leaves_as_one_message_per_run_in_order(loop_thread):
    sent = Collected()
    buffer = attached(loop_thread, outbox.OutputBuffer(sent, lambda: True, window=0.05))
    pieces = [("stdout", "a"), ("stdout", "b\n"), ("stderr", "oops\n"), ("stdout", "c\n"), ("stdout", "d\n")]
    for stream_name, text in pieces:
        assert buffer.write(stream_name, text)
    assert eventually(lambda: len(sent.sent) == 3)
    assert sent.sent == [("stdout", "ab\n"), ("stderr", "oops\n"), ("stdout", "c\nd\n")]


@pytest.mark.parametrize("writers", [1, 4])
def test_a_writer_faster_than_the_loop_is_held_to_the_limit_and_keeps_its_order(loop_thread, writers):
    sent = Collected()
    room = threading.Event()  # the outbox has no room until this is set
    buffer = attached(loop_thread, outbox.OutputBuffer(sent, room.is_set, window=0.001, limit=1000))
    written = {w: 0 for w in range(writers)}

    def write(w):
        for i in range(500):
            buffer.write("stdout", f"{w}:{i}\n")
            written[w] = i + 1

    threads = [threading.Thread(target=write, args=(w,), daemon=True) for w in range(writers)]
    for t in threads:
        t.start()
    assert eventually(lambda: buffer._size >= 1000)
    time.sleep(0.1)
    assert sum(written.values()) < 500 * writers and buffer._size < 1000 + 10 * writers  # held back
    assert not sent.sent
    room.set()
    for t in threads:
        t.join(scaled(10))
    assert eventually(lambda: sum(len(text) for _, text in sent.sent) ==
                      sum(len(f"{w}:{i}\n") for w in range(writers) for i in range(500)))
    lines = "".join(text for _, text in sent.sent).splitlines()
    for w in range(writers):
        assert [line for line in lines if line.startswith(f"{w}:")] == [f"{w}:{i}" for i in range(500)]
    assert len(sent.sent) < 500 * writers / 10


def test_an_edit_never_waits_for_an_import_under_way_and_that_import_still_ends(modules):
    wb = modules()
    gate = threading.Event()
    wb._namespace["GATE"] = gate
    wb.update("kpt_slow", "assert GATE.wait(60)\nTEXT = 'old'\n")
    wb.update("kpt_other", "TEXT = 'one'\n")
    outcome = []

    def slow():
        try:
            outcome.append(wb.load("kpt_slow").TEXT)
        except Exception as exc:
            outcome.append(exc)

    worker = threading.Thread(target=slow, daemon=True)
    worker.start()
    assert eventually(lambda: "kpt_slow" in sys.modules)
    for text in ("two", "three"):
        wb.update("kpt_other", f"TEXT = {text!r}\n")
        started = time.monotonic()
        assert wb.load("kpt_other").TEXT == text
        assert time.monotonic() - started < scaled(1.0)
    wb.update("kpt_slow", "TEXT = 'new'\n")
    assert worker.is_alive()
    gate.set()
    worker.join(scaled(10))
    assert outcome == ["old"]  # the import under way ended with the text it began with
    assert wb.load("kpt_slow").TEXT == "new"


def test_an_edit_of_a_module_whose_import_is_under_way_is_loaded_at_once_and_stays(modules):
    wb = modules()
    gate = threading.Event()
    wb._namespace["GATE"] = gate
    wb.update("kpt_hung", "assert GATE.wait(60)\nTEXT = 'old'\n")

    def load(into):
        try:
            into.append(wb.load("kpt_hung").TEXT)
        except Exception as exc:
            into.append(exc)

    old, new = [], []
    first = threading.Thread(target=load, args=(old,), daemon=True)
    first.start()
    assert eventually(lambda: "kpt_hung" in sys.modules)
    wb.update("kpt_hung", "TEXT = 'new'\n")
    second = threading.Thread(target=load, args=(new,), daemon=True)
    second.start()
    second.join(scaled(5))
    assert new == ["new"] and first.is_alive()  # the import under way holds its lock, and up nothing
    gate.set()
    first.join(scaled(10))
    assert len(old) == 1 and old[0] in ("old", "new")  # it ended, without an error
    assert wb.load("kpt_hung").TEXT == "new"  # and left the edited module in place


def test_a_workbook_module_named_like_a_loaded_library_is_loaded_beside_it(modules):
    import json as library
    wb = modules()
    wb.update("json", "import json\nRUNS = RUNS + 1 if 'RUNS' in globals() else 1\n"
                      "def who():\n    return 'workbook', json.__name__\n")
    loaded = []
    threads = [threading.Thread(target=lambda: loaded.append(wb.load("json"))) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(scaled(10))
    assert len(loaded) == 8 and all(m is loaded[0] for m in loaded)  # loaded once for all callers
    assert loaded[0].who() == ("workbook", "json")
    assert loaded[0].json is library and sys.modules["json"] is library and library.dumps([1]) == "[1]"
    wb.update("json", "def who():\n    return 'edited'\n")
    assert wb.load("json").who() == "edited"
    assert sys.modules["json"] is library


@pytest.mark.parametrize("read", [input, lambda: sys.stdin.read(), lambda: sys.stdin.readline(),
                                  lambda: next(iter(sys.stdin))])
def test_stdin_of_workbook_code_fails_at_once(monkeypatch, read):
    monkeypatch.setattr(sys, "stdin", kp.NoInput())
    with pytest.raises(EOFError, match="no standard input"):
        read()


@pytest.mark.parametrize("costs, then_waits", [
    ([1] * 10, 0.5),  # the burst leaves at once, the next value waits its turn
    ([15], 5.0),  # a large value leaves, and pays for its size
])
def test_stream_values_beyond_the_burst_wait_for_their_turn(costs, then_waits):
    pace = kp.Pace(rate=1.0, burst=10.0)
    assert [pace.delay(cost) for cost in costs] == [0.0] * len(costs)
    assert pace.delay(1) > then_waits


class GatedSocket:
    """A connection that sends only while its gate is open."""

    def __init__(self):
        self.gate = asyncio.Event()
        self.frames = []

    async def send(self, frame):
        await self.gate.wait()
        self.frames.append(json.loads(frame))


def stream_of(loop, pace):
    """StreamValues on a real outbox of `loop`, and the socket it sends to."""
    socket = GatedSocket()

    async def current():
        return socket

    async def make():
        box = outbox.Outbox(current, 1.0)
        box.attach(loop)
        return outbox.StreamValues(box, pace, kp.stream_cost)

    return asyncio.run_coroutine_threadsafe(make(), loop).result(scaled(5)), socket


def texts(**message):
    return kp.message_texts(dict({"type": "streaming_function_result", "request_id": "s"}, **message))


def test_values_faster_than_the_sending_give_way_to_the_latest_and_the_end_comes_at_once(loop_thread):
    # A pace so slow that a value waiting for its turn would wait for minutes.
    values, socket = stream_of(loop_thread, kp.Pace(rate=0.01, burst=2.0))
    replaced = [values.offer(texts(result=i, done=False)) for i in range(1000)]
    assert not replaced[0] and not replaced[1] and all(replaced[2:])
    loop_thread.call_soon_threadsafe(socket.gate.set)
    assert eventually(lambda: len(socket.frames) == 2)
    for i in range(1000, 1005):  # the burst is spent: these wait, each replacing the one before
        values.offer(texts(result=i, done=False))
    ended = threading.Event()
    values.end(texts(done=True), ended.set)
    assert ended.wait(scaled(5))
    assert [m.get("result") for m in socket.frames] == [0, 999, 1004, None] and socket.frames[-1]["done"] is True


def test_values_slower_than_the_sending_all_arrive_in_order(loop_thread):
    values, socket = stream_of(loop_thread, kp.Pace(rate=1000.0, burst=5.0))
    loop_thread.call_soon_threadsafe(socket.gate.set)
    for i in range(20):
        values.offer(texts(result=i, done=False))
        assert eventually(lambda: len(socket.frames) == i + 1)
    values.end(texts(done=True), lambda: None)
    assert eventually(lambda: len(socket.frames) == 21)
    assert [m.get("result") for m in socket.frames] == list(range(20)) + [None]
