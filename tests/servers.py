"""Starts an ASGI app under uvicorn in its own process on a free loopback port."""
import contextlib
import os
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A bound on a wait is only reached when something is wrong, so a generous one
# costs nothing in a passing run. The next machine may be two to three times
# slower or busier than the one a test was written on: the default allows for
# that, TAVRINO_TEST_TIMEOUT_SCALE sets the base (emulated runs raise it), and
# a machine loaded beyond its cores stretches it further, by up to three times.
# The load is read whenever a bound is set: a run's own parallel workers make
# the machine busy once it is under way.
DEFAULT_TIMEOUT_SCALE = 3.0
MAX_LOAD_FACTOR = 3.0
BASE_SCALE = float(os.environ.get("TAVRINO_TEST_TIMEOUT_SCALE") or DEFAULT_TIMEOUT_SCALE)


def _load_factor():
    try:
        cpus = len(os.sched_getaffinity(0))  # the ones this run may use, fewer when confined
        load = os.getloadavg()[0]
        with open("/proc/loadavg") as f:  # "... running/total ...": the busy now, which the average lags
            load = max(load, int(f.read().split()[3].split("/")[0]) - 1)
        return min(MAX_LOAD_FACTOR, max(1.0, load / max(cpus, 1)))
    except (AttributeError, OSError, ValueError, IndexError):
        return 1.0


TIMEOUT_SCALE = BASE_SCALE * _load_factor()  # as the run starts


def scaled(seconds):
    """`seconds` stretched for this run and the machine's load now: use it for every bound on a wait,
    never for a pause."""
    return seconds * max(TIMEOUT_SCALE, BASE_SCALE * _load_factor())


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=15.0):
    deadline = time.monotonic() + scaled(timeout)
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.2):
            return
        time.sleep(0.05)
    raise TimeoutError(f"port {port} did not open")


def stop(proc, timeout=10.0):
    """Asks proc to end, kills it when it has not within the (scaled) time, and reaps it."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(scaled(timeout))
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@contextlib.contextmanager
def running(argv, port, env=None, stderr=None, stdin=None):
    """Runs argv (which must listen on port) until the block ends; stderr and stdin as for Popen."""
    full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests")]))
    full_env.update(env or {})
    proc = subprocess.Popen(argv, cwd=ROOT, env=full_env, start_new_session=True, stderr=stderr, stdin=stdin)
    try:
        wait_for_port(port, proc)
        yield proc
    finally:
        stop(proc)


def uvicorn_app(app, port):
    return running([sys.executable, "-m", "uvicorn", app, "--host", "127.0.0.1", "--port", str(port),
                    "--log-level", "warning"], port)


@contextlib.contextmanager
def master_with_log(home, *options, env=None):
    """The host program on a free loopback port with its log going to a file in home;
    yields (port, log path)."""
    port = free_port()
    log = os.path.join(home, f"master-{port}.log")
    argv = [sys.executable, "-m", "tavrino_master", "--port", str(port), *options]
    with open(log, "wb") as out, running(argv, port, env=dict({"HOME": str(home)}, **(env or {})), stderr=out):
        yield port, log
