"""Kernel program of one workbook, started by the master as

    python -m tavrino_master.python_server <workbook_id> <port>
"""
import os
import sys

# Taken before the slow imports: a master that ends meanwhile must still be
# seen to have gone.
MASTER_PID = os.getppid()

from tavrino_master.python_server.kernel import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(master_pid=MASTER_PID))
