"""Starting and stopping the helper programs the master runs (IDE, inspector)."""
import subprocess
import threading

STOP_TIMEOUT = 5.0


def stop_process(process, then=None):
    """Asks a running process to end and returns at once: the callers run on the master's
    event loop, which must not wait for a program that is slow to stop. A thread of its own
    kills the process when it has not ended within STOP_TIMEOUT, reaps it, then calls `then`.
    The thread (a true value), or False when nothing was running (`then` is not called)."""
    if process is None or process.poll() is not None:
        return False
    process.terminate()
    # Not a daemon: the master's exit waits until the process has been stopped and reaped.
    thread = threading.Thread(target=_finish, args=(process, then), name=f"stop-{process.pid}")
    thread.start()
    return thread


def _finish(process, then):
    try:
        process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    if then is not None:
        then()
