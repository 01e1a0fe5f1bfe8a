"""Kernel processes: real processes, each one cleaned up by the fixtures.

Every signal the code under test sends through its `os` passes a guard that
refuses the test runner's own process and process group, so a wrong group
kill fails a test instead of killing the runner."""
import logging
import os
import signal
import subprocess
import sys
import threading
import time
import types

import pytest

import tavrino_master.business_layer.relvane as relvane
from helpers import eventually
from servers import scaled

IGNORES_SIGTERM = """
import signal, subprocess, sys, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
print(child.pid, flush=True)
time.sleep(60)
"""


class GuardedOs:
    """The os module, with signals to the runner refused and group signals recorded."""

    def __init__(self):
        self.refused = []
        self.group_signals = []

    def __getattr__(self, name):
        return getattr(os, name)

    def killpg(self, pgid, sig):
        self.group_signals.append((pgid, sig))
        if pgid <= 1 or pgid == os.getpgrp():
            self.refused.append(("killpg", pgid, sig))
            raise AssertionError(f"group signal {sig} to the test runner's group {pgid}")
        return os.killpg(pgid, sig)

    def kill(self, pid, sig):
        if pid <= 0 or pid == os.getpid():
            self.refused.append(("kill", pid, sig))
            raise AssertionError(f"signal {sig} to the test runner ({pid})")
        return os.kill(pid, sig)


class RecordingSubprocess:
    """The subprocess module, with every started process recorded."""

    def __init__(self):
        self.started = []
        self.options = []
        self.runs = []
        self.run_action = None

    def __getattr__(self, name):
        return getattr(subprocess, name)

    def Popen(self, command, **options):
        process = subprocess.Popen(command, **options)
        self.started.append(process)
        self.options.append(options)
        return process

    def run(self, command, **options):
        self.runs.append((command, options))
        if self.run_action:
            self.run_action()
        return subprocess.CompletedProcess(command, 1, b"", b"")


def stop(process):
    if process.poll() is None:
        try:
            if os.getpgid(process.pid) == process.pid != os.getpgrp():
                os.killpg(process.pid, signal.SIGKILL)
            else:
                process.kill()
        except ProcessLookupError:
            pass
    process.wait(scaled(5))
    if process.stdout:
        process.stdout.close()


@pytest.fixture
def guard(monkeypatch):
    g = GuardedOs()
    monkeypatch.setattr(relvane, "os", g)
    yield g
    assert g.refused == []


@pytest.fixture
def procs(monkeypatch):
    recorder = RecordingSubprocess()
    monkeypatch.setattr(relvane, "subprocess", recorder)
    own = []
    children = []
    yield types.SimpleNamespace(recorder=recorder, own=own, children=children)
    for process in recorder.started + own:
        stop(process)
    # grandchildren outlive a kernel killed alone; only ours, checked by command line
    for pid in children:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if b"time.sleep(60)" in f.read():
                    os.kill(pid, signal.SIGKILL)
        except (FileNotFoundError, ProcessLookupError):
            pass


@pytest.fixture
def manager(guard, procs):
    m = relvane.ConnectionManager()
    yield m
    for process in list(m.kernel_processes.values()):
        stop(process)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def start_stubborn_kernel(procs, own_group=True):
    """A kernel that ignores SIGTERM and has a child of its own; returns (process, child pid)."""
    options = {"process_group": 0} if own_group else {}
    process = subprocess.Popen([sys.executable, "-c", IGNORES_SIGTERM], stdout=subprocess.PIPE, **options)
    procs.own.append(process)
    child = int(process.stdout.readline())
    procs.children.append(child)
    return process, child


def start_stand_in(procs, workbook_id="wb"):
    process = subprocess.Popen([sys.executable, "-m", "tavrino_master.python_server", workbook_id, "8000"],
                               process_group=0)
    procs.own.append(process)
    return process


def windows(monkeypatch):
    monkeypatch.setattr(relvane, "sys", types.SimpleNamespace(
        platform="win32", executable=sys.executable, stdout=sys.stdout, stderr=sys.stderr))


# ---------------------------------------------------------------- spawn


@pytest.mark.parametrize("workbook_id", ["", "a" * 257, "has space"])
def test_spawn_with_invalid_id_starts_nothing(manager, procs, logs, workbook_id):
    assert manager.spawn_kernel(workbook_id) is None
    [record] = logs.records
    assert record.levelno == logging.ERROR
    assert record.getMessage() == "Invalid workbook_id: " + relvane.validate_client_id(workbook_id)[1]
    assert procs.recorder.started == [] and manager.kernel_processes == {}


@pytest.mark.parametrize("port", [None, 8123])
def test_spawn_starts_the_stand_in_kernel_in_its_own_group(manager, procs, logs, monkeypatch, port):
    monkeypatch.setattr(relvane, "_port", relvane._port)
    if port is not None:
        relvane.set_port(port)
    process = manager.spawn_kernel("wb-1")
    assert process is procs.recorder.started[0] and manager.kernel_processes == {"wb-1": process}
    assert process.args == [sys.executable, "-m", "tavrino_master.python_server", "wb-1", str(port or 8000)]
    assert os.getpgid(process.pid) == process.pid != os.getpgrp()
    assert os.getsid(process.pid) == process.pid != os.getsid(0)  # no terminal of the master's
    assert logs.messages == ["Spawned kernel for workbook: wb-1"]
    time.sleep(0.3)
    assert process.poll() is None  # the stand-in runs until it is terminated


def test_a_kernel_spawned_from_a_thread_that_ends_lives_on(manager, procs):
    # A kernel dies with the master; it must not die with whichever thread happened to start it.
    started = []
    thread = threading.Thread(target=lambda: started.append(manager.spawn_kernel("wb")))
    thread.start()
    thread.join(scaled(30))
    native_id = thread.native_id
    assert eventually(lambda: not os.path.exists(f"/proc/self/task/{native_id}"))  # the thread has ended
    [process] = started
    with pytest.raises(subprocess.TimeoutExpired):
        process.wait(0.5)
    assert alive(process.pid)


def test_stand_in_refuses_a_bad_command_line():
    result = subprocess.run([sys.executable, "-m", "tavrino_master.python_server", "wb"],
                            capture_output=True, text=True, timeout=scaled(30))
    assert result.returncode == 2 and "usage:" in result.stderr


def test_second_spawn_terminates_and_reaps_the_first(manager, procs):
    first = manager.spawn_kernel("wb")
    second = manager.spawn_kernel("wb")
    assert manager.kernel_processes == {"wb": second}
    assert eventually(lambda: first.returncode is not None)
    assert not os.path.exists(f"/proc/{first.pid}")
    assert second.poll() is None
    manager.terminate_kernel("wb")
    assert eventually(lambda: second.returncode == -signal.SIGTERM)


def test_spawn_failure_is_logged_and_records_nothing(manager, procs, logs, monkeypatch):
    monkeypatch.setattr(relvane, "sys", types.SimpleNamespace(
        platform=sys.platform, executable="/nonexistent/python", stdout=sys.stdout, stderr=sys.stderr))
    assert manager.spawn_kernel("wb") is None
    [message] = logs.messages
    assert message.startswith("Failed to spawn kernel for wb: ") and "/nonexistent/python" in message
    assert manager.kernel_processes == {}


# ---------------------------------------------------------------- terminate


def test_terminate_without_entry_does_nothing(manager, logs):
    manager.terminate_kernel("nobody")
    assert logs.records == [] and manager.kernel_processes == {}


def test_terminate_ends_and_reaps_the_kernel(manager, procs, logs):
    process = manager.spawn_kernel("wb")
    logs.clear()
    manager.terminate_kernel("wb")
    assert manager.kernel_processes == {} and logs.records == []
    # the reaper thread collects the exit status; the pid's /proc entry goes with it
    assert eventually(lambda: process.returncode is not None)
    assert process.returncode == -signal.SIGTERM
    assert not os.path.exists(f"/proc/{process.pid}")


def test_terminate_of_an_exited_kernel_just_forgets_it(manager, procs):
    process = manager.spawn_kernel("wb")
    os.kill(process.pid, signal.SIGKILL)
    process.wait(scaled(5))
    manager.terminate_kernel("wb")
    assert manager.kernel_processes == {}


# ---------------------------------------------------------------- kill and restart


def test_restart_without_entry_is_false(manager, procs, logs):
    manager.active_connections["kernel"]["wb"] = object()
    assert manager.kill_and_restart_kernel("wb") is False
    assert logs.messages == ["No kernel found for workbook: wb"]
    assert "wb" in manager.active_connections["kernel"] and procs.recorder.started == []


def test_kernel_ignoring_sigterm_is_killed_with_its_group_and_replaced(manager, procs, guard, logs):
    old, child = start_stubborn_kernel(procs)
    manager.kernel_processes["wb"] = old
    manager.active_connections["kernel"]["wb"] = object()  # the old socket stays open
    started = time.monotonic()
    assert manager.kill_and_restart_kernel("wb") is True
    assert time.monotonic() - started >= 0.7
    assert old.returncode == -signal.SIGKILL and not os.path.exists(f"/proc/{old.pid}")  # reaped
    assert eventually(lambda: not alive(child))
    assert guard.group_signals == [(old.pid, signal.SIGTERM), (old.pid, signal.SIGKILL)]
    new = manager.kernel_processes["wb"]
    assert new is procs.recorder.started[0] and new.pid != old.pid and new.poll() is None
    assert "wb" not in manager.active_connections["kernel"]
    assert logs.messages == [f"Killing kernel for workbook wb (PID: {old.pid})", "Spawned kernel for workbook: wb",
                             "Successfully restarted kernel for workbook: wb"]


def test_a_spawned_kernel_leads_its_own_session_and_the_forced_kill_ends_it_with_its_children(
        manager, procs, guard, monkeypatch, tmp_path):
    stubborn = tmp_path / "stubborn"  # stands in for the interpreter; the module arguments are ignored
    stubborn.write_text(f"#!{sys.executable}\n{IGNORES_SIGTERM}")
    stubborn.chmod(0o755)
    monkeypatch.setattr(relvane, "sys", types.SimpleNamespace(
        platform=sys.platform, executable=str(stubborn), stdout=subprocess.PIPE, stderr=sys.stderr))
    old = manager.spawn_kernel("wb")
    child = int(old.stdout.readline())
    procs.children.append(child)
    assert os.getsid(old.pid) == os.getpgid(old.pid) == old.pid != os.getsid(0)
    assert os.getsid(child) == old.pid
    assert manager.kill_and_restart_kernel("wb") is True
    new = manager.kernel_processes["wb"]
    procs.children.append(int(new.stdout.readline()))
    assert old.returncode == -signal.SIGKILL and eventually(lambda: not alive(child))
    assert guard.group_signals == [(old.pid, signal.SIGTERM), (old.pid, signal.SIGKILL)]
    assert new.poll() is None and os.getsid(new.pid) == new.pid


def test_repeated_restarts_leave_no_zombies(manager, procs):
    manager.spawn_kernel("wb")
    for _ in range(2):
        assert manager.kill_and_restart_kernel("wb") is True
    *old, current = procs.recorder.started
    assert all(p.returncode is not None and not os.path.exists(f"/proc/{p.pid}") for p in old)
    assert current.poll() is None


def test_kernel_in_the_runners_group_is_never_group_signalled(manager, procs, guard):
    old, _ = start_stubborn_kernel(procs, own_group=False)
    manager.kernel_processes["wb"] = old
    assert manager.kill_and_restart_kernel("wb") is True
    assert guard.group_signals == []
    assert old.returncode == -signal.SIGKILL


def test_vanished_group_falls_back_to_the_single_process(manager, procs, guard, monkeypatch, logs):
    def getpgid(pid):
        raise ProcessLookupError(3, "No such process")

    monkeypatch.setattr(guard, "getpgid", getpgid, raising=False)
    old, _ = start_stubborn_kernel(procs)
    manager.kernel_processes["wb"] = old
    assert manager.kill_and_restart_kernel("wb") is True
    assert old.returncode == -signal.SIGKILL and guard.group_signals == []
    assert not any(r.levelno >= logging.ERROR for r in logs.records)


def test_kernel_that_cannot_be_stopped_keeps_its_place(manager, procs, guard, monkeypatch, logs):
    def killpg(pgid, sig):
        raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(guard, "killpg", killpg)
    old, _ = start_stubborn_kernel(procs)
    manager.kernel_processes["wb"] = old
    socket = manager.active_connections["kernel"]["wb"] = object()
    assert manager.kill_and_restart_kernel("wb") is False
    assert old.poll() is None
    assert manager.kernel_processes == {"wb": old} and manager.active_connections["kernel"]["wb"] is socket
    assert procs.recorder.started == []
    assert logs.messages[1:] == [
        f"Error killing kernel process {old.pid}: [Errno 1] Operation not permitted",
        f"Kernel process {old.pid} for workbook wb could not be stopped",
        "Failed to restart kernel for workbook: wb",
    ]


def test_failed_respawn_is_false_and_forgets_the_old_kernel(manager, procs, monkeypatch, logs):
    old = start_stand_in(procs)
    manager.kernel_processes["wb"] = old
    manager.active_connections["kernel"]["wb"] = object()
    monkeypatch.setattr(relvane, "sys", types.SimpleNamespace(
        platform=sys.platform, executable="/nonexistent/python", stdout=sys.stdout, stderr=sys.stderr))
    assert manager.kill_and_restart_kernel("wb") is False
    assert manager.kernel_processes == {} and "wb" not in manager.active_connections["kernel"]
    assert logs.messages[-2].startswith("Failed to spawn kernel for wb: ")
    assert logs.messages[-1] == "Failed to restart kernel for workbook: wb"
    assert old.returncode is not None


def test_windows_kill_is_one_taskkill_run(manager, procs, monkeypatch, guard):
    windows(monkeypatch)
    old = start_stand_in(procs)
    manager.kernel_processes["wb"] = old
    procs.recorder.run_action = old.kill  # the run fails (status 1) but the process is gone
    assert manager.kill_and_restart_kernel("wb") is True
    [(command, options)] = procs.recorder.runs
    assert command == ["taskkill", "/F", "/T", "/PID", str(old.pid)] and options == {"capture_output": True}
    assert guard.group_signals == []
    assert "process_group" not in procs.recorder.options[0] and "start_new_session" not in procs.recorder.options[0]
    assert manager.kernel_processes["wb"] is procs.recorder.started[0]


def test_windows_kill_that_leaves_the_process_running_is_false(manager, procs, monkeypatch):
    windows(monkeypatch)
    old = start_stand_in(procs)
    manager.kernel_processes["wb"] = old
    assert manager.kill_and_restart_kernel("wb") is False
    assert old.poll() is None and manager.kernel_processes == {"wb": old} and procs.recorder.started == []


@pytest.mark.parametrize("method", ["spawn_kernel", "terminate_kernel", "kill_and_restart_kernel"])
def test_workbook_id_must_be_text(manager, method):
    with pytest.raises(TypeError, match="argument 'workbook_id' must be str, not NoneType"):
        getattr(manager, method)(None)
