#!/usr/bin/env bash
# Sets the machine up, builds, and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR="$build" "$root/scripts/setup.sh"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
