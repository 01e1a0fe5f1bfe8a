#!/usr/bin/env bash
# Sets up, builds and runs every test with Debian's interpreter, then the same
# suite on 32-bit ARM under emulation (scripts/test-armhf.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
bash scripts/test-armhf.sh "$@"
