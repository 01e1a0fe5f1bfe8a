#!/bin/sh
# Runs the suite of the tree in the current folder with Debian's interpreter:
# the tests that may run beside others on TAVRINO_TEST_WORKERS parallel workers
# (by default one per usable CPU), then those marked serial (they measure
# something another test beside them would disturb), one at a time.
# TAVRINO_TEST_WORKERS=1 runs everything in one process, in order. Arguments
# pass through to pytest. POSIX sh: the emulated root has no bash.
set -u
workers=${TAVRINO_TEST_WORKERS:-$(nproc)}
run() { /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"; }

if [ "$workers" -le 1 ]; then
  run tests "$@"
  exit $?
fi
run -n "$workers" -m "not serial" tests "$@"
parallel=$?
run -m serial tests "$@"
serial=$?
[ $serial -eq 5 ] && serial=0  # no test selected (a -k or a file without serial tests)
[ $parallel -eq 5 ] && [ $serial -eq 0 ] && parallel=0
[ $parallel -ne 0 ] && exit $parallel
exit $serial
