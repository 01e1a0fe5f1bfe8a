"""Starting and stopping the helper programs the master runs (IDE, inspector)."""
import subprocess

STOP_TIMEOUT = 5.0


def stop_process(process):
    """Asks a running process to end, kills it when it does not within STOP_TIMEOUT, and
    reaps it; false when there was nothing running."""
    if process is None or process.poll() is not None:
        return False
    process.terminate()
    try:
        process.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    return True
