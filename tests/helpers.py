"""Small helpers shared by the test files: the business layer's logger name, reading
captured log lines, and bounded waits for a condition.

A test waits for what it expects (`wait_until` on the loop, `eventually` from a
thread, `Client.wait_for` for messages), never for a fixed time, and bounds every
other wait (threads, processes, sockets) with `servers.scaled`."""
import asyncio
import logging
import time

from servers import scaled

LOGGER = "tavrino_master.business_layer.relvane"


def lines(caplog, level=None, logger=LOGGER):
    """The captured messages of `logger` (of every logger when None), at `level` only when given."""
    return [r.getMessage() for r in caplog.records
            if (logger is None or r.name == logger) and (level is None or r.levelno == level)]


def warned(caplog):
    """Every captured warning, whichever logger wrote it."""
    return lines(caplog, logging.WARNING, logger=None)


def eventually(condition, timeout=5.0):
    """Polls `condition` from a plain thread until it holds or the (scaled) time is up; returns its last value."""
    deadline = time.monotonic() + scaled(timeout)
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.005)


async def wait_until(predicate, timeout=5.0):
    """Polls `predicate` on the running loop; fails the test when the (scaled) time is up."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + scaled(timeout)
    while not predicate():
        assert loop.time() < deadline, "condition not reached"
        await asyncio.sleep(0.05)


async def settle(turns=5):
    """Lets tasks started by the code under test run a few loop turns."""
    for _ in range(turns):
        await asyncio.sleep(0)
