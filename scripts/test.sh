#!/usr/bin/env bash
# Sets up, builds and runs every test with Debian's interpreter, in stages:
# the suite on the release build (the fuzz test over the real host included),
# then the same suite on a build with ASan and UBSan, then on 32-bit ARM
# under emulation. Headless Chromium (Debian's) drives the master from real
# web pages in one test; only the tests need it. Each stage runs its tests on
# parallel workers, then those marked serial alone (scripts/run-suite.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/install-missing.sh chromium python3-pytest-xdist
sh scripts/run-suite.sh "$@"
bash scripts/test-sanitizers.sh "$@"
bash scripts/test-armhf.sh "$@"
