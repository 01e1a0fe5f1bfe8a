"""An interpreter that exits while daemon threads are inside the kernel
bridge (converting values, waiting for an answer) exits cleanly: CPython ends
such threads with a forced unwind through the module's frames, which must pass
untouched. Each child interpreter runs with a timeout; ten in a row must all
exit with status 0. Atexit callbacks that run after the bridge's own and wait
for such threads still see the exit through, however often it is tried."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from servers import scaled

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PRELUDE = textwrap.dedent("""
    import sys, threading
    sys.path.insert(0, %r)
    from tavrino_master.python_server.tavrino import panticle
    THREADS = 4
    steps = []
    enough = threading.Event()

    def run(step):
        def loop():
            while True:
                step()
                steps.append(1)
                if len(steps) >= 20 * THREADS:
                    enough.set()
        for _ in range(THREADS):
            threading.Thread(target=loop, daemon=True).start()
        enough.wait()  # the threads are busy in the bridge; the interpreter exits now
""" % ROOT)

CASES = {
    # Conversion runs Python code (each value's __str__), so the threads give
    # up and take back the GIL inside to_wire.
    "to_wire": """
        class Text:
            def __str__(self):
                return "".join(str(i) for i in range(20))

        values = [[Text() for _ in range(20)] for _ in range(5)]
        run(lambda: panticle.Serializer.to_wire(values))
    """,
    # Each request times out at once; the threads wait for an answer, with the
    # GIL released, inside send_request_sync over and over.
    "send_request_sync": """
        panticle.messaging.set_send_handler(lambda envelope: None)

        def request():
            try:
                panticle.messaging.send_request_sync({"type": "ping"}, 0.0005)
            except TimeoutError:
                pass

        run(request)
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_interpreter_exits_cleanly_with_daemon_threads_in_the_bridge(case):
    code = PRELUDE + textwrap.dedent(CASES[case])
    outcomes = []
    for _ in range(10):
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=scaled(60))
        outcomes.append((proc.returncode, proc.stderr[-500:]))
    assert outcomes == [(0, "")] * 10


# User code may let go of the bridge's atexit callback long before the exit: that is no exit.
LETTING_GO = {
    "as-imported": "",
    "atexit-cleared": "atexit._clear()",
    "unregistered": "atexit.unregister(next(f for f in gc.get_objects()"
                    " if getattr(f, '__name__', '') == '_close_gate_after_atexit'))",
}


@pytest.mark.parametrize("letting_go", sorted(LETTING_GO))
def test_the_exit_lets_a_thread_inside_the_bridge_finish_its_call(letting_go):
    """A thread inside a conversion when the interpreter exits finishes that
    call (its last value is converted) before the interpreter is torn down; a
    call it starts after that never returns, and the exit is clean. So too
    when user code cleared atexit's callbacks, or unregistered the bridge's,
    before the thread's calls."""
    code = textwrap.dedent("""
        import atexit, gc, os, sys, threading, time
        sys.path.insert(0, %r)
        from tavrino_master.python_server.tavrino import panticle
        %s
        inside = threading.Event()

        class Slow:
            def __str__(self):
                inside.set()
                time.sleep(0.3)
                return "slow"

        class Last:
            def __str__(self):
                os.write(1, b"finished;")
                return "last"

        def work():
            panticle.Serializer.to_wire([Slow(), Last()])
            panticle.Serializer.to_wire([Slow(), Last()])
            os.write(1, b"never;")

        threading.Thread(target=work, daemon=True).start()
        if not inside.wait(%r):
            os._exit(3)  # its first call never got in
    """ % (ROOT, LETTING_GO[letting_go], scaled(10)))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=scaled(60))
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("finished;") and "never" not in proc.stdout


# Callbacks that atexit runs after the bridge's own (registered before the
# import) wait for daemon threads that call into the bridge. Each case defines
# what comes before the import and start(), which returns once the threads are
# busy. On the gate closed by the bridge's own callback, about a third (the
# join) and nine in ten (logging) of these exits hung.
LATER_CALLBACKS = {
    # logging.shutdown takes the lock of a handler whose emit() converts.
    "logging_shutdown": ("""
        import logging
    """, """
        class Wire(logging.Handler):
            def emit(self, record):
                panticle.Serializer.to_wire([record.getMessage(), list(range(20))])

        log = logging.getLogger("case")
        log.propagate = False
        log.addHandler(Wire())

        def start():
            busy = threading.Event()
            def loop():
                while True:
                    log.warning("a record")
                    busy.set()
            for _ in range(THREADS):
                threading.Thread(target=loop, daemon=True).start()
            busy.wait()
    """),
    # A callback stops a daemon worker that converts, and joins it.
    "atexit_join": ("""
        import atexit
        stop = threading.Event()
        workers = []

        def finish():
            stop.set()
            for worker in workers:
                worker.join()

        atexit.register(finish)
    """, """
        def start():
            busy = threading.Event()
            def work():
                while not stop.is_set():
                    panticle.Serializer.to_wire([str(i) for i in range(20)])
                    busy.set()
            for _ in range(THREADS):
                workers.append(threading.Thread(target=work, daemon=True))
                workers[-1].start()
            busy.wait()
    """),
}

# Forked copies of one interpreter (cheaper than starting fresh ones), a few at
# a time, each exiting normally once its threads are busy; one that outlives its
# time-out is killed, and the first exit that hangs or fails ends the run.
EXITS = """
    import gc
    RUNS, LIMIT, AT_ONCE = %d, %r, %d
    gc.freeze()  # the copies' exits need not walk the parent's objects
    running, outcomes = {}, []
    while len(outcomes) < RUNS and set(outcomes) <= {0}:
        while len(running) < AT_ONCE and len(outcomes) + len(running) < RUNS:
            pid = os.fork()
            if pid == 0:
                start()
                sys.exit(0)
            running[pid] = time.monotonic() + LIMIT
        pid, status = os.waitpid(-1, os.WNOHANG)
        if pid:
            del running[pid]
            outcomes.append(os.waitstatus_to_exitcode(status))
            continue
        for pid, end in list(running.items()):
            if time.monotonic() > end:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                del running[pid]
                outcomes.append("hung")
        time.sleep(0.005)
    for pid in running:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    print(json.dumps(outcomes))
"""


def exit_runs():
    """Fifty exits a case, fewer under emulation, where each costs many times more."""
    base = float(os.environ.get("TAVRINO_TEST_TIMEOUT_SCALE") or 3)
    return max(15, round(50 * min(1.0, 6 / base)))


@pytest.mark.parametrize("case", sorted(LATER_CALLBACKS))
def test_exit_is_bounded_when_later_atexit_callbacks_wait_for_daemon_threads_in_the_bridge(case):
    before, after = LATER_CALLBACKS[case]
    runs, at_once, limit = exit_runs(), 4, scaled(10)
    code = (textwrap.dedent("""
        import json, os, signal, sys, threading, time
        sys.path.insert(0, %r)
        THREADS = 4
    """ % ROOT) + textwrap.dedent(before) + "from tavrino_master.python_server.tavrino import panticle\n"
            + textwrap.dedent(after) + textwrap.dedent(EXITS % (runs, limit, at_once)))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=limit * (runs / at_once + 2))
    assert (proc.returncode, proc.stderr[-2000:]) == (0, "")
    outcomes = json.loads(proc.stdout)
    assert outcomes == [0] * runs, f"{outcomes.count('hung')} hung, others ended {sorted(set(outcomes) - {0, 'hung'})}"
