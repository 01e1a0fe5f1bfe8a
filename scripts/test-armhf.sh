#!/usr/bin/env bash
# Cross-builds both modules for 32-bit ARM (armhf) and runs the whole test suite
# as armhf under qemu-user, inside a Debian armhf root. The root is kept in a
# cache folder outside the repository, keyed by its package list, so only a
# fresh machine (or a changed list) pays for making it. Run as root; missing
# Debian packages are installed. Arguments pass through to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD

SUITE=bookworm
# What the suite needs inside the root. The packages are only unpacked, by the
# build machine's own tools: running every maintainer script under emulation
# takes ten times as long, and the suite needs none of their work beyond the
# links their alternatives give BLAS and LAPACK, the loader cache and the user
# database, made below.
ROOT_PACKAGES=(python3 python3-numpy python3-pandas python3-fastapi python3-uvicorn python3-websockets
               python3-pytest python3-pytest-asyncio python3-pytest-xdist python3-httpx python3-packaging python3-pip
               procps nodejs node-ws dash coreutils libc-bin base-passwd base-files libpython3.11-dev)
# The interpreter's armhf configuration header comes from the root (its
# libpython3.11-dev), so the build machine needs no armhf packages of its own:
# those would have to match the version of its own interpreter exactly.
HOST_PACKAGES=(g++-arm-linux-gnueabihf pybind11-dev python3-dev cmake ninja-build python3
               qemu-user-static mmdebstrap)
CACHE=${TAVRINO_ARMHF_CACHE:-/var/cache/tavrino-armhf-root}
# Emulation is several times slower than the build machine, and the next machine
# may be two to three times slower again: the tests' waits stretch by this much
# (and by the machine's load, see tests/servers.py). Only a failing wait pays it.
SCALE=${TAVRINO_TEST_TIMEOUT_SCALE:-18}

stamp() { echo "[armhf] $(date -u +%H:%M:%S) $*"; }
started=$SECONDS
lap() { stamp "$1 took $((SECONDS - lap_from)) s"; lap_from=$SECONDS; }
lap_from=$SECONDS

# --- host tools ---------------------------------------------------------------
bash scripts/install-missing.sh "${HOST_PACKAGES[@]}"

# armhf programs (the interpreter, and every process it starts) run through the
# kernel's binfmt_misc hand-off to qemu. The F flag opens qemu at registration,
# so it also works inside the root without a copy of qemu there.
BINFMT=/proc/sys/fs/binfmt_misc
[ -e $BINFMT/register ] || mount -t binfmt_misc binfmt_misc $BINFMT
if [ ! -e $BINFMT/qemu-arm ]; then
  cat /usr/lib/binfmt.d/qemu-arm.conf > $BINFMT/register
fi
grep -qx enabled $BINFMT/qemu-arm || echo 1 > $BINFMT/qemu-arm
grep -q '^flags: .*F' $BINFMT/qemu-arm || { echo "qemu-arm is registered without the F flag" >&2; exit 1; }
lap "host tools"

# --- armhf root ---------------------------------------------------------------
# The build machine's sources without the security suite: a test root needs no
# security updates, and a mirror caught mid-sync there fails the whole root.
SOURCES=/etc/apt/sources.list.d/debian.sources
MIRROR_ARGS=()
if [ -f $SOURCES ]; then
  ROOT_SOURCES=$(mktemp --suffix=.sources)
  trap 'rm -f "$ROOT_SOURCES"' EXIT
  /usr/bin/python3 -c '
import sys
stanzas = open(sys.argv[1]).read().split("\n\n")
print("\n\n".join(s for s in stanzas if "-security" not in s))' $SOURCES > "$ROOT_SOURCES"
  MIRROR_ARGS=("$ROOT_SOURCES")
fi
MAKE_ARGS=(--arch=armhf --variant=extract --mode=root
  --include="$(IFS=,; echo "${ROOT_PACKAGES[*]}")"
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/doc/*'
  --dpkgopt='path-exclude=/usr/share/locale/*'
  --extract-hook='for so in "$1"/usr/lib/arm-linux-gnueabihf/blas/*.so.3 "$1"/usr/lib/arm-linux-gnueabihf/lapack/*.so.3; do
                      ln -sf "${so#"$1"}" "$1"/usr/lib/arm-linux-gnueabihf/; done'
  --extract-hook='chroot "$1" /sbin/ldconfig'
  --extract-hook='cp "$1"/usr/share/base-passwd/passwd.master "$1"/etc/passwd'
  --extract-hook='cp "$1"/usr/share/base-passwd/group.master "$1"/etc/group'
  --extract-hook='printf "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n" > "$1"/etc/hosts')
# The root is made anew whenever how it is made changes: packages, steps, mirror.
key=$( { echo "$SUITE"; printf '%s\n' "${MAKE_ARGS[@]}"; [ -f $SOURCES ] && cat "$ROOT_SOURCES"; } | sha256sum | cut -c1-16)
ROOT=$CACHE/$key
mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9
if [ ! -e "$ROOT/.complete" ]; then
  stamp "making the armhf root $ROOT"
  rm -rf "$ROOT.tmp"
  mmdebstrap "${MAKE_ARGS[@]}" "$SUITE" "$ROOT.tmp" "${MIRROR_ARGS[@]}"
  touch "$ROOT.tmp/.complete"
  rm -rf "$ROOT"
  mv "$ROOT.tmp" "$ROOT"
  # Roots made another way are of no further use.
  find "$CACHE" -mindepth 1 -maxdepth 1 -type d ! -name "$key" -exec rm -rf {} +
fi
flock -u 9
lap "armhf root"

# --- cross build --------------------------------------------------------------
OUT=$REPO/build-armhf/out
mkdir -p "$OUT/tests"
# The build machine's Python headers include <arm-linux-gnueabihf/python3.11/pyconfig.h>
# for this target: a folder of its own points that name at the root's.
PYCONFIG=$REPO/build-armhf/pyconfig
mkdir -p "$PYCONFIG/arm-linux-gnueabihf"
ln -sfn "$ROOT/usr/include/arm-linux-gnueabihf/python3.11" "$PYCONFIG/arm-linux-gnueabihf/python3.11"
cmake -S . -B build-armhf -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake -DPYTHON_EXECUTABLE=/usr/bin/python3 \
  -DCMAKE_CXX_FLAGS="-isystem $PYCONFIG" \
  -DTV_OUTPUT_ROOT="$OUT/tavrino_master" -DTV_TESTS_OUTPUT="$OUT/tests" >/dev/null
ninja -C build-armhf ${TV_JOBS:+-j"$TV_JOBS"}
for so in "$OUT"/tavrino_master/business_layer/relvane.*.so "$OUT"/tavrino_master/python_server/tavrino/panticle.*.so; do
  readelf -h "$so" | grep -q 'Machine: *ARM$' || { echo "$so is not an ARM module" >&2; exit 1; }
  stamp "$(basename "$so"): $(readelf -d "$so" | grep NEEDED | sed 's/.*\[\(.*\)\]/\1/' | tr '\n' ' ')"
done
lap "cross build"

# --- run the suite in the root -----------------------------------------------
RUN=$(mktemp -d "$ROOT/tmp/tavrino.XXXXXX")
trap 'rm -rf "$RUN" "${ROOT_SOURCES:-}"' EXIT
# Sources as the repository has them (no native modules, no build folders); docs/ among them, whose
# examples and links tests read.
git ls-files -z --cached --others --exclude-standard | grep -zv '^build' \
  | tar -C "$REPO" --null -T - -cf - | tar -C "$RUN" -xf -
(cd "$OUT" && tar -cf - .) | tar -C "$RUN" -xf -
inside=${RUN#"$ROOT"}

SHOW='import platform, struct; print("[armhf] interpreter:", platform.machine(), 8 * struct.calcsize("P"), "bit")'
# A mount namespace of its own: proc, dev and tmpfs mounts vanish with the run.
set +e
unshare --mount --propagation private -- /bin/sh -euc '
  root=$1; shift
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs tmpfs "$root/dev/shm"
  exec chroot "$root" "$@"
' sh "$ROOT" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    TAVRINO_TEST_TIMEOUT_SCALE="$SCALE" ${TAVRINO_TEST_WORKERS:+TAVRINO_TEST_WORKERS="$TAVRINO_TEST_WORKERS"} \
    /bin/sh -c "cd '$inside' && /usr/bin/python3 -c '$SHOW' && exec sh scripts/run-suite.sh \"\$@\"" \
    pytest "$@"
rc=$?
set -e
lap "suite under qemu"
stamp "armhf stage took $((SECONDS - started)) s"
exit $rc
