"""Debug lines of the business layer: written exactly when the module logger, read at each use, says DEBUG is on."""
import logging
import uuid

import pytest

import tavrino_master.business_layer.relvane as relvane
from fakes import Sock


class CountedId(str):
    """A request id that counts how often a log line renders it."""

    def __new__(cls, text):
        obj = super().__new__(cls, text)
        obj.renders = 0
        return obj

    def __format__(self, spec):
        self.renders += 1
        return str.__format__(self, spec)


class ListHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelno, record.getMessage()))


class StandIn:
    """Not a Logger: answers isEnabledFor as told and records what it is asked and given."""

    def __init__(self, enabled):
        self.enabled = enabled
        self.asked = []
        self.lines = []

    def isEnabledFor(self, level):
        self.asked.append(level)
        return self.enabled

    def debug(self, text):
        self.lines.append(text)

    info = warning = error = debug


@pytest.fixture
async def kernel():
    wb = "wb-" + uuid.uuid4().hex[:8]
    sock = Sock()
    await relvane.manager.connect("kernel", wb, sock)
    yield wb, sock
    relvane.manager.disconnect("kernel", wb)


async def route(wb):
    """One message whose handling writes debug lines naming the workbook and the request; the request id."""
    rid = CountedId("rid-" + uuid.uuid4().hex[:8])
    await relvane.handle_message("addin", wb, {"type": "sys_response", "request_id": rid})
    return rid


def routed_line(wb):
    return f"[Server] Routing sys_response from addin {wb} to kernel"


@pytest.mark.parametrize("enabled", [False, True])
async def test_a_stand_in_logger_decides_through_is_enabled_for(monkeypatch, kernel, enabled):
    wb, sock = kernel
    stand_in = StandIn(enabled)
    monkeypatch.setattr(relvane, "logger", stand_in)
    rid = await route(wb)
    assert sock.sent[-1]["type"] == "sys_response"
    assert logging.DEBUG in stand_in.asked
    assert (routed_line(wb) in stand_in.lines) == enabled
    assert (rid.renders > 0) == enabled


# A real logger below a parent: the answer follows the hierarchy, the
# disabled flag and level changes made between two messages.
@pytest.mark.parametrize("parent_level, child_level, disabled, written", [
    (logging.DEBUG, logging.NOTSET, False, True),
    (logging.INFO, logging.NOTSET, False, False),
    (logging.INFO, logging.DEBUG, False, True),
    (logging.DEBUG, logging.WARNING, False, False),
    (logging.DEBUG, logging.DEBUG, True, False),
])
async def test_a_real_logger_answers_by_its_effective_level(monkeypatch, kernel, parent_level, child_level,
                                                            disabled, written):
    wb, _ = kernel
    name = "tavrino-gate-" + uuid.uuid4().hex[:8]
    parent, child = logging.getLogger(name), logging.getLogger(name + ".relvane")
    handler = ListHandler()
    parent.addHandler(handler)
    parent.propagate = False
    try:
        parent.setLevel(parent_level)
        child.setLevel(child_level)
        child.disabled = disabled
        monkeypatch.setattr(relvane, "logger", child)
        rid = await route(wb)
        assert ((logging.DEBUG, routed_line(wb)) in handler.lines) == written
        assert (rid.renders > 0) == written

        # Flip the parent between two messages: the next answer follows it.
        handler.lines.clear()
        parent.setLevel(logging.INFO if parent_level == logging.DEBUG else logging.DEBUG)
        await route(wb)
        now_written = not disabled and child.getEffectiveLevel() <= logging.DEBUG
        assert ((logging.DEBUG, routed_line(wb)) in handler.lines) == now_written
    finally:
        parent.removeHandler(handler)
        child.disabled = False
