"""Keeps the IDE process running.

No IDE program ships with the master. An IDE is started only when the
environment variable TAVRINO_IDE_CMD holds its command line (split like a
shell would, no shell involved). The IDE receives the master's settings in its
environment, never on its command line, so the token does not show in process
listings: TAVRINO_SERVER_PORT, TAVRINO_WATCHDOG_PORT, TAVRINO_DOCS_PORT and
TAVRINO_AUTH_TOKEN (besides TAVRINO_SERVER_HOST, which every program the master
starts inherits). Without the variable both operations report failure.

Both operations are called on the master's event loop and return at once: a
restart asks the old IDE to end, and a thread waits for it (killing it when it
is slow) before the new one starts.
"""
import os
import shlex
import subprocess
import threading

from ..logging_config import get_logger
from .processes import stop_process

logger = get_logger(__name__)

COMMAND_VARIABLE = "TAVRINO_IDE_CMD"


class IDEProcessManager:
    def __init__(self, server_port, watchdog_port, auth_token, docs_port):
        self.server_port = server_port
        self.watchdog_port = watchdog_port
        self.docs_port = docs_port
        self._auth_token = auth_token
        self._process = None
        self._lock = threading.Lock()
        self._restart = None  # the thread that stops the old IDE and starts the new one

    def __repr__(self):  # without the token
        return (f"IDEProcessManager(server_port={self.server_port}, watchdog_port={self.watchdog_port}, "
                f"docs_port={self.docs_port})")

    def is_running(self):
        return self._process is not None and self._process.poll() is None

    def _restarting(self):
        return self._restart is not None and self._restart.is_alive()

    def ensure_running(self):
        """True when the IDE runs, started now if it did not (or is being restarted)."""
        with self._lock:
            if self._restarting():
                return True
            return self.is_running() or self._start()

    def kill_and_restart(self):
        """True when the IDE was stopped (if it ran) and started again, or is on its way:
        an old IDE still running is stopped off the loop and the new one started after it."""
        with self._lock:
            if self._restarting():
                return True
            process, self._process = self._process, None
            if not self._command():
                stop_process(process)
                return self._start()  # logs why there is none
            # stop_process gives False when no IDE ran: keep only a thread, or the
            # next call would ask False whether it is alive.
            self._restart = stop_process(process, then=self._start_locked) or None
            return True if self._restart else self._start()

    def _command(self):
        return os.environ.get(COMMAND_VARIABLE, "").strip()

    def _start_locked(self):
        with self._lock:
            # The restart is over once the new IDE is up: a kill_ide from now on
            # stops this one instead of counting as part of the restart.
            self._restart = None
            self._start()

    def _start(self):
        command = self._command()
        if not command:
            logger.warning(f"No IDE configured ({COMMAND_VARIABLE} is not set)")
            return False
        env = dict(os.environ, TAVRINO_SERVER_PORT=str(self.server_port),
                   TAVRINO_WATCHDOG_PORT=str(self.watchdog_port), TAVRINO_DOCS_PORT=str(self.docs_port),
                   TAVRINO_AUTH_TOKEN=str(self._auth_token))
        try:
            self._process = subprocess.Popen(shlex.split(command), stdin=subprocess.DEVNULL, env=env)
        except (OSError, ValueError) as e:
            logger.error(f"Could not start the IDE: {e}")
            self._process = None
            return False
        logger.info(f"IDE started (pid {self._process.pid})")
        return True

    def _stop(self):
        """Stops the IDE and waits until it has ended (for the master's own exit and tests)."""
        restart = self._restart
        if restart is not None:
            restart.join()
        with self._lock:
            process, self._process = self._process, None
        stopping = stop_process(process)
        if stopping:
            stopping.join()
            logger.info("IDE stopped")
