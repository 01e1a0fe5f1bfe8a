"""Kernel program of one workbook.

Started by the master as

    python -m tavrino_master.python_server <workbook_id> <port>

For now it only holds the workbook's kernel process: it checks its arguments
and waits until it is terminated. It does not yet connect back to the master.
"""
import sys
import threading

USAGE = "usage: python -m tavrino_master.python_server <workbook_id> <port>"


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    if len(args) != 2 or not args[0] or not args[1].isdigit():
        print(USAGE, file=sys.stderr)
        return 2
    try:
        threading.Event().wait()  # until SIGTERM or SIGKILL ends the process
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
