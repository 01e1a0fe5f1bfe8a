#!/usr/bin/env bash
# Sets up, builds and starts the master on 127.0.0.1:8000 (options pass through,
# e.g. --port 9000).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 -m tavrino_master "$@"
