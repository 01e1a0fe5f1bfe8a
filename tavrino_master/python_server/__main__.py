"""Kernel program of one workbook, started by the master as

    python -m tavrino_master.python_server <workbook_id> <port>
"""
import sys

from tavrino_master.python_server.kernel import main

if __name__ == "__main__":
    sys.exit(main())
