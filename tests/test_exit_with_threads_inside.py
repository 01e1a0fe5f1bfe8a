"""An interpreter that exits while daemon threads are inside the kernel
bridge (converting values, waiting for an answer) exits cleanly: CPython ends
such threads with a forced unwind through the module's frames, which must pass
untouched. Each child interpreter runs with a timeout; ten in a row must all
exit with status 0."""
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


def test_the_exit_lets_a_thread_inside_the_bridge_finish_its_call():
    """A thread inside a conversion when the interpreter exits finishes that
    call (its last value is converted) before the interpreter is torn down; a
    call it starts after that never returns, and the exit is clean."""
    code = textwrap.dedent("""
        import os, sys, threading, time
        sys.path.insert(0, %r)
        from tavrino_master.python_server.tavrino import panticle
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
        inside.wait()
    """ % ROOT)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=scaled(60))
    assert (proc.returncode, proc.stderr) == (0, "")
    assert proc.stdout.startswith("finished;") and "never" not in proc.stdout
