#!/usr/bin/env bash
# The long fuzz run, on demand (after a build): the fuzz test over the real host
# with 100,000 frames, or as many as the first argument says, and the seed from
# the second. Prints the host's memory before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
export TAVRINO_FUZZ_FRAMES="${1:-100000}"
export TAVRINO_FUZZ_SEED="${2:-1913}"
exec /usr/bin/python3 -m pytest -q -s -p no:cacheprovider tests/test_fuzz.py
