#!/usr/bin/env bash
# Builds both modules with ASan and UBSan in build-asan/, into a copy of the
# package tree and tests (the release modules stay untouched), and runs the
# suite there with the sanitizer runtimes preloaded. Reports of every process
# (the host and kernels too) go to one folder; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-missing.sh python3-pytest-xdist

BUILD=build-asan
TREE="$PWD/$BUILD/tree"
REPORTS="$PWD/$BUILD/reports"
RUN_SUITE="$PWD/scripts/run-suite.sh"
FLAGS="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

# A fresh copy of the Python side (and the README and docs/, whose examples and links tests read); the built
# modules are written into it.
rm -rf "$TREE" "$REPORTS"
mkdir -p "$TREE" "$REPORTS"
tar -cf - --exclude='*.so' --exclude=__pycache__ tavrino_master tests pytest.ini README.md docs | tar -xf - -C "$TREE"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS="$FLAGS" \
      -DPYTHON_EXECUTABLE=/usr/bin/python3 -DTV_OUTPUT_ROOT="$TREE/tavrino_master" \
      -DTV_TESTS_OUTPUT="$TREE/tests" >/dev/null
ninja -C "$BUILD" ${TV_JOBS:+-j"$TV_JOBS"}

# The modules leave the runtimes' symbols undefined: the interpreter gets them
# preloaded, and every child process inherits them.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1:quarantine_size_mb=64:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$REPORTS/ubsan"
# Python objects from malloc, not from pymalloc's arenas, which ASan cannot see into: a
# Python object released once too often by native code is then reported, not reused.
export PYTHONMALLOC=malloc

# The sanitized build runs about twice as slow: the tests' waits stretch twice
# the release default (tests/servers.py), unless the caller sets the scale.
export TAVRINO_TEST_TIMEOUT_SCALE="${TAVRINO_TEST_TIMEOUT_SCALE:-6}"

status=0
(cd "$TREE" && sh "$RUN_SUITE" "$@") || status=$?
unset LD_PRELOAD PYTHONMALLOC

reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
  echo "sanitizer reports:" >&2
  for r in $reports; do
    echo "== $r" >&2
    head -c 20000 "$r" >&2
  done
  exit 1
fi
exit $status
