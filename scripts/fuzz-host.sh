#!/usr/bin/env bash
# The long fuzz run, on demand (after a build): the fuzz test over the real host
# with 100,000 frames, or as many as the first argument says, and the seed from
# the second. Prints the host's memory before and after and the result last;
# the whole output (the host's log included) only when the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
export TAVRINO_FUZZ_FRAMES="${1:-100000}"
export TAVRINO_FUZZ_SEED="${2:-1913}"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
status=0
/usr/bin/python3 -m pytest -q -s -p no:cacheprovider tests/test_fuzz.py >"$out" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$out"
fi
grep -oE 'host RSS .*' "$out" || true
echo "fuzz run of $TAVRINO_FUZZ_FRAMES frames (seed $TAVRINO_FUZZ_SEED): $(tail -n 1 "$out")"
exit "$status"
