import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

# Most end-to-end tests play the kernel themselves: kernel programs started
# under them hold the process without connecting back. Tests of the real kernel
# program turn this off for the master they start.
os.environ.setdefault("TAVRINO_KERNEL_STANDBY", "1")
