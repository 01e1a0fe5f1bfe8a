"""Starts and stops the code-inspector service.

No inspector program ships with the master. An inspector is started only when
the environment variable TAVRINO_INSPECTOR_CMD holds its command line (split
like a shell would, no shell involved); the master's port is appended as the
last argument, and the inspector is expected to connect back to that port as
client type "inspector", client id "main", at the address in its environment's
TAVRINO_SERVER_HOST. Without the variable nothing is started and
`launch_inspector` returns None.
"""
import os
import shlex
import subprocess

from ..logging_config import get_logger
from .processes import stop_process

logger = get_logger(__name__)

COMMAND_VARIABLE = "TAVRINO_INSPECTOR_CMD"

_process = None


def launch_inspector(port):
    """The inspector's process (a true value), or None when none could be started."""
    global _process
    if is_inspector_running():
        return _process  # one inspector per master
    command = os.environ.get(COMMAND_VARIABLE, "").strip()
    if not command:
        logger.info(f"No inspector configured ({COMMAND_VARIABLE} is not set)")
        return None
    try:
        argv = shlex.split(command) + [str(int(port))]
        _process = subprocess.Popen(argv, stdin=subprocess.DEVNULL)
    except (OSError, ValueError) as e:
        logger.error(f"Could not start the inspector: {e}")
        _process = None
        return None
    logger.info(f"Inspector started (pid {_process.pid})")
    return _process


def terminate_inspector():
    """Stops the inspector this module started, without waiting for it to end; true when
    one was running."""
    global _process
    process, _process = _process, None
    if not stop_process(process, then=lambda: logger.info("Inspector stopped")):
        return False
    return True


def is_inspector_running():
    return _process is not None and _process.poll() is None
