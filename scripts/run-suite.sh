#!/bin/sh
# Runs the suite of the tree in the current folder with Debian's interpreter:
# the tests that may run beside others on TAVRINO_TEST_WORKERS parallel workers
# (by default one per usable CPU), then those marked serial (they measure
# something another test beside them would disturb), one at a time.
# TAVRINO_TEST_WORKERS=1 runs everything in one process, in order. Arguments
# pass through to pytest. POSIX sh: the emulated root has no bash.
set -u
workers=${TAVRINO_TEST_WORKERS:-$(nproc)}
# The whole suite, unless the arguments name files or tests of their own.
suite=tests
for arg in "$@"; do
  case $arg in -*) ;; *) [ -e "${arg%%::*}" ] && suite= ;; esac
done
run() { /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"; }

if [ "$workers" -le 1 ]; then
  run $suite "$@"
  exit $?
fi
run -n "$workers" -m "not serial" $suite "$@"
parallel=$?
run -m serial $suite "$@"
serial=$?
# 5 is pytest's "no test selected": fine for one pass (a -k, a file without
# serial tests), not for both.
[ $parallel -eq 5 ] && [ $serial -eq 5 ] && exit 5
[ $parallel -eq 5 ] && parallel=0
[ $serial -eq 5 ] && serial=0
[ $parallel -ne 0 ] && exit $parallel
exit $serial
