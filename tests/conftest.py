import logging
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# Most end-to-end tests play the kernel themselves: kernel programs started
# under them hold the process without connecting back. Tests of the real kernel
# program turn this off for the master they start.
os.environ.setdefault("TAVRINO_KERNEL_STANDBY", "1")


class _LeftoverClientTasks:
    """Drops asyncio's "Task was destroyed but it is pending!" for the websockets
    client's own tasks. A test's event loop closes with its client's keep-alive
    and reader tasks still pending; they are collected later, in whatever test
    runs then, and would land in that test's captured log records. Such records
    for any other task still show."""

    @staticmethod
    def filter(record):
        text = record.getMessage()
        return not (text.startswith("Task was destroyed but it is pending") and "/websockets/" in text)


logging.getLogger("asyncio").addFilter(_LeftoverClientTasks())
