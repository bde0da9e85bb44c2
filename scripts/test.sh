#!/usr/bin/env bash
# Installs what is missing, builds and runs the test suite.
# Usage: scripts/test.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
# The asan preset builds with clang (and libFuzzer for the fuzz targets).
if [ "$preset" = asan ]; then ./scripts/deps.sh clang libclang-rt-14-dev; else ./scripts/deps.sh; fi
extra=()
[ -n "${CI:-}" ] && extra+=(-DX2_WERROR=ON)
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j2 --timeout 900 --no-tests=error
