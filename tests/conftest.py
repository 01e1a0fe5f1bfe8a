import asyncio
import logging
import os
import sys

import pytest

from helpers import LOGGER
from servers import scaled

TESTS_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# Most end-to-end tests play the kernel themselves: kernel programs started
# under them hold the process without connecting back. Tests of the real kernel
# program turn this off for the master they start.
os.environ.setdefault("TAVRINO_KERNEL_STANDBY", "1")

# Every process this run starts inherits the mark, so that a look for kernel
# programs finds this run's, not those of another run on the same machine, nor
# of another worker of this run.
os.environ.setdefault("TAVRINO_TEST_RUN", f"{os.getpid()}-{os.urandom(8).hex()}")
if "PYTEST_XDIST_WORKER" in os.environ:
    os.environ["TAVRINO_TEST_RUN"] += "-" + os.environ["PYTEST_XDIST_WORKER"]


class _LeftoverClientTasks:
    """Drops asyncio's "Task was destroyed but it is pending!" for the tasks of
    test clients (the websockets library's and the tests' own helpers). A test's
    event loop closes with its clients' keep-alive and reader tasks still
    pending; they are collected later, in whatever test runs then, and would
    land in that test's captured log records. Such records for any other task,
    the system's own included, still show."""

    @staticmethod
    def filter(record):
        text = record.getMessage()
        if not text.startswith("Task was destroyed but it is pending"):
            return True
        return not ("/websockets/" in text or TESTS_DIR in text)


logging.getLogger("asyncio").addFilter(_LeftoverClientTasks())


@pytest.fixture
def manager(monkeypatch):
    """A fresh connection manager behind the business layer's module global."""
    import tavrino_master.business_layer.relvane as relvane  # on use: importing it starts the module up

    fresh = relvane.ConnectionManager()
    monkeypatch.setattr(relvane, "manager", fresh)
    return fresh


@pytest.fixture
def logs(caplog):
    """Captures everything the business layer logs, debug lines included."""
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return caplog


@pytest.fixture
def clean_messaging():
    """The kernel bridge's messaging without a send handler or waiting requests, before and after."""
    from tavrino_master.python_server.tavrino import panticle  # on use, like the business layer above

    messaging = panticle.messaging
    messaging.set_send_handler(None)
    messaging.reset()
    yield messaging
    messaging.set_send_handler(None)
    messaging.reset()


@pytest.fixture
def modules():
    """Workbook modules installed as the first finder, removed afterwards."""
    from tavrino_master.python_server.workbook_modules import WorkbookModules

    made = []

    def make(**options):
        found = WorkbookModules(**options)
        sys.meta_path.insert(0, found)
        sys.meta_path.append(found.on_demand)
        made.append(found)
        return found

    yield make
    for found in made:
        sys.meta_path.remove(found)
        sys.meta_path.remove(found.on_demand)
        found.unload_all()


@pytest.fixture
async def clients():
    """The test's WebSocket clients (e2e_clients.Client), dropped at its end: a stalled one could not
    close politely."""
    opened = []
    yield opened
    for client in opened:
        client.ws.transport.abort()
    if opened:
        await asyncio.wait([client._reader for client in opened], timeout=scaled(5))


class _FileAffineScheduler:
    @staticmethod
    def pytest_xdist_make_scheduler(config, log):
        if config.getvalue("dist") != "load":
            return None
        from scheduling import FileAffineScheduling
        return FileAffineScheduling(config, log)


def pytest_configure(config):
    # Registered only where xdist is: without it the hook is unknown to pytest.
    if config.pluginmanager.hasplugin("xdist"):
        config.pluginmanager.register(_FileAffineScheduler(), "tavrino-file-affine-scheduler")
