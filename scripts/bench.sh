#!/usr/bin/env bash
# Sets up and builds like the test command, then runs every benchmark (or the
# ones named: platform host effect gpu tokenizer). Each prints its own ratios
# against a baseline measured in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
BUILD_DIR="$build" "$root/scripts/setup.sh"
areas=("$@")
[ ${#areas[@]} -gt 0 ] || areas=(platform host effect gpu tokenizer)
for area in "${areas[@]}"; do
  echo "=== bench-$area"
  cmake --build "$build" --target "bench-$area"
done
