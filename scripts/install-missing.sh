#!/usr/bin/env bash
# Installs those of the given Debian packages that are not installed yet.
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync serves one index that fails its check: apt keeps
  # the others, which usually hold the packages, so only the install decides.
  apt-get -o DPkg::Lock::Timeout=600 update || echo "apt-get update failed; installing from the package lists it has" >&2
  apt-get -o DPkg::Lock::Timeout=600 install -y "${missing[@]}"
fi
