"""Messages of the kernel program to its master, handed over by any thread and
sent by the listener's event loop.

A worker never waits on the loop for its answer to leave: it appends the JSON
text to the outbox and, when no drain is under way, wakes the loop once. The
loop then sends everything waiting at that moment; what arrives while it sends
is taken by the same drain. Texts that wait together leave together, packed
into "batch" messages, in the order they were handed over. The master handles
the messages of one batch concurrently, so texts whose order counts (a
stream's values, output lines) are marked `Alone` and always get a frame of
their own: the master handles separate frames in the order they arrive.

Besides texts the outbox carries callbacks, run on the loop once every text
put before them has been sent: a call's arguments and result are dropped so,
and proxies among them are released after the call's answer; a stream hands
over its next value so.
"""
import asyncio
import logging
import threading
import time
from collections import deque

log = logging.getLogger("tavrino.kernel")

# A batch frame holds at most this many characters of packed messages; the
# master's server refuses frames beyond 16 MiB.
BATCH_LIMIT = 1024 * 1024
# Characters that may wait to be taken by the loop. A worker that finds more
# waits for room, so a function producing faster than the connection sends (an
# endless generator) is held back instead of filling the kernel's memory.
QUEUE_LIMIT = 8 * 1024 * 1024
ROOM_CHECK = 1.0  # seconds between looks at whether the drain still runs
BATCH_OPEN = '{"type":"batch","messages":['
BATCH_CLOSE = "]}"


class Alone(str):
    """A text that is never packed into a batch."""


def pack(texts, limit=BATCH_LIMIT):
    """The frames that carry `texts` in order: runs of them joined into
    "batch" messages of at most `limit` characters; a text alone, or marked
    `Alone`, goes as itself."""
    frames, group, size = [], [], 0
    for text in texts:
        alone = isinstance(text, Alone)
        if group and (alone or size + len(text) + 1 > limit):
            frames.append(_joined(group))
            group, size = [], 0
        if alone:
            frames.append(str(text))
            continue
        group.append(text)
        size += len(text) + 1
    if group:
        frames.append(_joined(group))
    return frames


def _joined(group):
    if len(group) == 1:
        return group[0]
    return BATCH_OPEN + ",".join(group) + BATCH_CLOSE


class Outbox:
    """Thread-safe queue of outgoing texts, drained by one task on the loop."""

    def __init__(self, socket, send_timeout, queue_limit=QUEUE_LIMIT):
        # `socket()` waits (at most send_timeout) for the current connection; None when there is none.
        self._socket = socket
        self._send_timeout = send_timeout
        self._queue_limit = queue_limit
        self._lock = threading.Lock()
        self._room = threading.Condition(self._lock)
        self._items = deque()
        self._queued = 0  # characters of the texts in _items
        self._draining = False
        self._task = None
        self._loop_thread = None
        self.loop = None

    def attach(self, loop):
        """Called on the loop's own thread, which never waits for room."""
        self.loop = loop
        self._loop_thread = threading.get_ident()

    def put(self, texts):
        """Hands texts over from any thread without waiting for them to be sent;
        a worker waits only while the queue is full."""
        self._put(texts)

    def put_release(self, holder):
        """Empties the list `holder` on the loop once the texts put before it are sent."""
        self.put_then((), holder.clear)

    def put_then(self, texts, after):
        """Hands texts over, then runs after() on the loop once they are sent
        (at once when nothing will be sent)."""
        if not self._put([*texts, after]):
            after()

    def _put(self, items):
        size = sum(len(item) for item in items if isinstance(item, str))
        with self._lock:
            if threading.get_ident() != self._loop_thread:
                while self._draining and self._queued > self._queue_limit:
                    self._room.wait(ROOM_CHECK)
            self._items.extend(items)
            self._queued += size
            if self._draining:
                return True
            self._draining = True
        try:
            self.loop.call_soon_threadsafe(self._start)
        except (AttributeError, RuntimeError):  # no loop, or it has closed: nothing will be sent
            with self._lock:
                self._items.clear()
                self._queued = 0
                self._draining = False
                self._room.notify_all()
            return False
        return True

    def _start(self):
        self._task = self.loop.create_task(self._drain())

    async def _drain(self):
        try:
            while True:
                with self._lock:
                    if not self._items:
                        self._draining = False
                        self._room.notify_all()
                        return
                    items = list(self._items)
                    self._items.clear()
                    self._queued = 0
                    self._room.notify_all()
                # One look at the connection's incoming side per round: a
                # producer that keeps the outbox full must not starve the
                # listener (a cancel waits there).
                await asyncio.sleep(0)
                texts = []
                for item in items:
                    if isinstance(item, str):
                        texts.append(item)
                        continue
                    await self._send(texts)
                    texts = []
                    item()  # releases go out from here without waiting for their answers
                await self._send(texts)
        except BaseException:
            with self._lock:
                self._draining = False
                self._room.notify_all()
            raise

    def has_room(self):
        with self._lock:
            return self._queued <= self._queue_limit

    async def _send(self, texts):
        if not texts:
            return
        try:
            ws = await self._socket()
        except asyncio.TimeoutError:
            ws = None
        if ws is None:
            log.warning("Not connected to the master: %d message(s) dropped", len(texts))
            return
        frames = pack(texts)
        for sent, frame in enumerate(frames):
            try:
                await ws.send(frame)
            except Exception as exc:
                log.warning("Send to the master failed (%s): %d frame(s) dropped", exc, len(frames) - sent)
                return


# Output written outside calls within this many seconds leaves together.
OUTPUT_WINDOW = 0.005
# Characters of output that may wait for the window; a writer that finds more
# waits until the loop has taken them, so printing is held to the sending pace.
OUTPUT_LIMIT = 32 * 1024


class OutputBuffer:
    """Output written outside calls, gathered for a few milliseconds: a burst
    of prints leaves as a few messages, one per run of writes to the same
    stream, in the order written. Only the loop takes what was gathered, so
    the order of runs is the order of sending."""

    def __init__(self, send, room, window=OUTPUT_WINDOW, limit=OUTPUT_LIMIT):
        self._send = send  # send(stream_name, text), called on the loop
        self._room = room  # room() is false while the outbox is over its limit
        self._window = window
        self._limit = limit
        self._lock = threading.Lock()
        self._taken = threading.Condition(self._lock)
        self._runs = []  # [stream name, [texts]]
        self._size = 0
        self._armed = False
        self._loop_thread = None
        self.loop = None

    def attach(self, loop):
        self.loop = loop
        self._loop_thread = threading.get_ident()

    def write(self, stream_name, text):
        """Gathers text; false when there is no loop to send it."""
        loop = self.loop
        if loop is None or loop.is_closed():
            return False
        with self._lock:
            if threading.get_ident() != self._loop_thread:
                while self._size >= self._limit and not loop.is_closed():
                    self._taken.wait(ROOM_CHECK)
            if self._runs and self._runs[-1][0] == stream_name:
                self._runs[-1][1].append(text)
            else:
                self._runs.append([stream_name, [text]])
            self._size += len(text)
            full = self._size >= self._limit
            arm = full or not self._armed
            self._armed = True
        if arm:
            try:
                loop.call_soon_threadsafe(self._arm, full)
            except RuntimeError:  # the loop has closed
                return False
        return True

    def _arm(self, now):
        if now:
            self._flush()
        else:
            self.loop.call_later(self._window, self._flush)

    def _flush(self):
        if not self._room():  # the writers wait meanwhile
            self.loop.call_later(self._window, self._flush)
            return
        with self._lock:
            runs, self._runs, self._size, self._armed = self._runs, [], 0, False
            self._taken.notify_all()
        for stream_name, texts in runs:
            self._send(stream_name, "".join(texts))


class Pace:
    """A token bucket shared by the streams, asked on the loop: values leave
    at `rate` a second after a first `burst` at once."""

    def __init__(self, rate, burst):
        self.rate = rate
        self.burst = burst
        self.tokens = burst
        self.stamp = time.monotonic()
        self.lock = threading.Lock()

    def _refill(self):
        now = time.monotonic()
        self.tokens = min(self.burst, self.tokens + (now - self.stamp) * self.rate)
        self.stamp = now

    def delay(self, cost):
        """0 when a value of `cost` may leave now, and it is paid; otherwise
        the seconds until it may."""
        with self.lock:
            self._refill()
            if self.tokens >= 1:
                self.tokens -= cost
                return 0.0
            return (1 - self.tokens) / self.rate

    def charge(self, cost):
        """Pays for a value that leaves without waiting its turn."""
        with self.lock:
            self._refill()
            self.tokens -= cost


class StreamValues:
    """One stream's messages on their way: offered by the stream's worker,
    handed to the outbox by the loop, one value at a time.

    A value that finds the one before it still unsent replaces it. A cell
    shows only a stream's latest value, so nothing waits behind values that
    are stale already, and a stream that yields faster than the kernel sends
    costs neither the master nor the add-in more than the pace. The first
    value, the last one and the end always leave, the end with the last value
    at once, without waiting for the pace; a stream slower than the sending
    rate has every value sent, in order."""

    def __init__(self, outbox, pace, cost):
        self._outbox = outbox
        self._loop = outbox.loop
        self._pace = pace
        self._cost = cost  # cost(texts): what a value pays to the pace
        self._lock = threading.Lock()
        self._first = None  # texts of the first value until they leave; never replaced
        self._latest = None  # texts of the newest value not yet handed over
        self._end = None  # (texts, after) once the stream is over
        self._started = False
        self._in_flight = False  # handed to the outbox, not yet sent
        self._scheduled = False  # a turn is coming on the loop
        self._timer = None
        self._over = False

    # -- the stream's worker ----------------------------------------------------

    def offer(self, texts):
        """The stream's next value; true when it replaced one not yet sent."""
        with self._lock:
            replaced = self._latest is not None
            if self._started:
                self._latest = texts
            else:
                self._started = True
                self._first = texts
            if self._in_flight or self._scheduled:
                return replaced
            self._scheduled = True
        self._loop.call_soon_threadsafe(self._turn)
        return replaced

    def end(self, texts, after):
        """The stream's end, sent after its last value; after() runs once it is sent."""
        with self._lock:
            self._end = (texts, after)
            if self._in_flight:
                return
            self._scheduled = True
        try:
            self._loop.call_soon_threadsafe(self._turn)
        except RuntimeError:  # the loop has closed: nothing will be sent
            after()

    # -- the loop ---------------------------------------------------------------

    def _turn(self):
        with self._lock:
            if self._over or self._in_flight:
                return
            after = self._sent
            if self._end is not None:
                texts = [*(self._first or ()), *(self._latest or ()), *self._end[0]]
                after = self._end[1]
                self._first = self._latest = self._end = None
                self._over = True
                self._pace.charge(1)
            elif self._first is not None:
                texts, self._first = self._first, None
                self._pace.charge(self._cost(texts))
            elif self._latest is not None:
                wait = self._pace.delay(self._cost(self._latest))
                if wait > 0:
                    if self._timer is None:
                        self._timer = self._loop.call_later(wait, self._timed)
                    return
                texts, self._latest = self._latest, None
            else:
                self._scheduled = False
                return
            self._in_flight = not self._over
            self._scheduled = False
        self._outbox.put_then(texts, after)

    def _timed(self):
        self._timer = None
        self._turn()

    def _sent(self):
        with self._lock:
            self._in_flight = False
            if self._first is None and self._latest is None and self._end is None:
                return
            self._scheduled = True
        self._turn()
