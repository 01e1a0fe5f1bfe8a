"""Workbook code under a master started from a terminal: nothing it does with
the terminal stops its kernel, and its `logging` writes where a plain
program's would. The master runs as the leader of a session whose
controlling terminal is a pseudo-terminal, as from an interactive shell; the
kernel program is the real one."""
import contextlib
import os
import subprocess
import sys

import pytest

from e2e_clients import kernel_processes
from helpers import wait_until
from servers import free_port, running, scaled
from test_kernel_program_e2e import KERNELS_ON, new_ide, open_program_book, timed, wire
from test_kernel_program_workbook_code import Book, quick_answers, NEIGHBOURS

# Takes the terminal on standard input as the controlling terminal of the
# session that `running` starts, then becomes the master.
TERMINAL_LEADER = ("import fcntl, os, sys, termios\n"
                   "fcntl.ioctl(0, termios.TIOCSCTTY, 0)\n"
                   "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])\n")


def stat_fields(pid):
    """(state, tty_nr, tpgid) of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return fields[0], int(fields[4]), int(fields[5])


@contextlib.contextmanager
def master_on_a_terminal(home):
    """The host program with a pseudo-terminal as its controlling terminal and
    standard input, its log in a file; yields (port, log path, process)."""
    port = free_port()
    log = os.path.join(home, f"master-{port}.log")
    terminal, tty = os.openpty()
    argv = [sys.executable, "-c", TERMINAL_LEADER, "-m", "tavrino_master", "--host", "127.0.0.1",
            "--port", str(port)]
    try:
        with open(log, "wb") as out, running(argv, port, env=dict(HOME=str(home), **KERNELS_ON), stderr=out,
                                             stdin=tty) as proc:
            os.close(tty)
            tty = None
            yield port, log, proc
    finally:
        if tty is not None:
            os.close(tty)
        os.close(terminal)


@pytest.fixture(scope="module")
def on_terminal(tmp_path_factory):
    with master_on_a_terminal(tmp_path_factory.mktemp("home")) as started:
        yield started


async def open_book(port, modules):
    ide = await new_ide(port)
    wb, addin = await open_program_book(port, ide, modules, "tt", book=Book, name="Book1")
    return wb, addin, ide


# The child's own bound is far beyond the test's: a stopped child shows as a call never answered.
TERMINAL = {
    "tty": (
        "import getpass, subprocess, sys\n"
        "def password():\n"
        "    return getpass.getpass('Password: ')\n"
        "def read_tty():\n"
        "    with open('/dev/tty') as tty:\n"
        "        return tty.readline()\n"
        "def write_tty():\n"
        "    with open('/dev/tty', 'w') as tty:\n"
        "        tty.write('hello\\n')\n"
        "    return 'written'\n"
        "def child():\n"
        "    done = subprocess.run([sys.executable, '-c', 'import getpass; getpass.getpass()'],\n"
        "                          capture_output=True, text=True, timeout=600)\n"
        "    return f'{done.returncode} {done.stderr.strip().splitlines()[-1]}'\n"),
    "neighbours": NEIGHBOURS,
}


@pytest.mark.parametrize("function, outcome", [
    ("password", ("EOFError", "no standard input")),
    ("read_tty", ("OSError", "No such device or address")),
    ("write_tty", ("OSError", "No such device or address")),
    ("child", "1 EOFError"),  # a program that asks for a password fails instead of stopping
])
async def test_the_terminal_of_the_master_never_stops_a_kernel(on_terminal, function, outcome):
    port, _, master = on_terminal
    _, terminal, foreground = stat_fields(master.pid)
    assert terminal != 0 and foreground == os.getpgid(master.pid)  # the master has a controlling terminal
    wb, addin, ide = await open_book(port, TERMINAL)
    [kernel] = kernel_processes(wb)
    assert stat_fields(kernel)[1] == 0  # and its kernel has none

    answer, took = await timed(addin.call(function, module="tty", timeout=20))
    assert took < scaled(2.0), took
    if isinstance(outcome, tuple):
        assert answer["status"] == "error", answer
        assert answer["error"]["type"] == outcome[0] and outcome[1] in answer["error"]["message"]
    else:
        assert answer["result"] == wire("String", outcome), answer
    assert stat_fields(kernel)[0] != "T"
    await quick_answers(addin, 2)
    await addin.close()
    await ide.close()


def as_a_plain_program(source, call):
    """What a plain Python program that runs `source` and then `call` writes to its stderr."""
    done = subprocess.run([sys.executable, "-c", f"{source}\n{call}\n"], capture_output=True, text=True,
                          timeout=scaled(30))
    assert done.returncode == 0, done.stderr
    return done.stderr


LOGGING = (
    "import logging, threading\n"
    "def in_call():\n"
    "    log = logging.getLogger('book.calc')\n"
    "    log.debug('debug in a call')\n"
    "    log.info('info in a call')\n"
    "    log.warning('warning in a call')\n"
    "    log.error('error in a call: %s', 42)\n"
    "    return 'logged'\n"
    "def outside():\n"
    "    def run():\n"
    "        log = logging.getLogger('book.thread')\n"
    "        log.info('info from a thread')\n"
    "        log.warning('warning from a thread')\n"
    "    thread = threading.Thread(target=run)\n"
    "    thread.start()\n"
    "    thread.join()\n"
    "    return 'logged'\n")
CONFIGURED = "logging.basicConfig(level=logging.DEBUG, format='%(levelname)s|%(name)s|%(message)s')\n"


@pytest.mark.parametrize("configure", ["", CONFIGURED], ids=["unconfigured", "configured"])
async def test_workbook_logging_writes_what_a_plain_program_writes_to_stderr(on_terminal, configure):
    port, log, _ = on_terminal
    source = LOGGING.replace("def in_call", configure + "def in_call", 1)
    wb, addin, ide = await open_book(port, {"logs": source, "neighbours": NEIGHBOURS})
    expected_in_call = as_a_plain_program(source, "in_call()")
    expected_outside = as_a_plain_program(source, "outside()")
    assert "warning in a call" in expected_in_call and ("info from a thread" in expected_outside) == bool(configure)

    answer = await addin.call("in_call", module="logs", timeout=20)
    assert answer["result"] == wire("String", "logged") and answer["logs"] == expected_in_call
    assert not addin.outputs

    assert (await addin.call("outside", module="logs"))["result"] == wire("String", "logged")
    for client in (addin, ide):
        await wait_until(lambda: "".join(m["content"] for m in client.of_type("stderr")) == expected_outside, 10)
    assert not addin.of_type("stdout")
    await quick_answers(addin, 1)
    await addin.close()
    await ide.close()

    with open(log, encoding="utf-8", errors="replace") as f:
        master_log = f.read()
    assert f"kernel[{wb}]: Kernel connected for workbook {wb}" in master_log  # the kernel's own diagnostics
    for text in ("debug in a call", "info in a call", "warning in a call", "error in a call",
                 "info from a thread", "warning from a thread"):
        assert text not in master_log
