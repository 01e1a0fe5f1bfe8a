#!/usr/bin/env bash
# Sets up, builds and runs every test with Debian's interpreter, in stages:
# the suite on the release build (the fuzz test over the real host included),
# then the same suite on a build with ASan and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests "$@"
bash scripts/test-sanitizers.sh "$@"
