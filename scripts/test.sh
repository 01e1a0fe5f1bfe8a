#!/usr/bin/env bash
# Sets up, builds and runs every test with Debian's interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
