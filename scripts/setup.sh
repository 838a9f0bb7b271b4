#!/usr/bin/env bash
# Prepares a fresh machine and builds everything into build/ (or $BUILD_DIR).
# Idempotent: packages already installed are skipped, apt-get update runs at most once.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

wanted=$(grep -v -E '^\s*(#|$)' "$root/scripts/packages.txt" | tr -s ' \n' '\n' | sort -u)
missing=()
for pkg in $wanted; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p "$build"
# Extra preparation steps (third-party builds cached in the build tree, ...).
for step in "$root"/scripts/setup.d/*.sh; do
  [ -e "$step" ] || continue
  BUILD_DIR="$build" bash "$step"
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
