#!/usr/bin/env bash
# Installs what is missing (with clang and libFuzzer), builds the fuzz
# targets in the asan tree (clang, ASan + UBSan, libFuzzer) and runs each
# over a scratch copy of its corpus.
# Usage: scripts/fuzz.sh [seconds per target, default 15]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
./scripts/deps.sh clang libclang-rt-14-dev
extra=()
[ -n "${CI:-}" ] && extra+=(-DX2_WERROR=ON)
cmake --preset asan "${extra[@]}" >/dev/null
targets=(record_text_fuzz shm_reader_fuzz reflect_fuzz)
cmake --build --preset asan --target "${targets[@]}"
for t in "${targets[@]}"; do
  corpus=$(mktemp -d)
  cp -r "fuzz/corpus/$t/." "$corpus/"
  echo "== $t: ${seconds}s"
  "./build/asan/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "$corpus" 2>&1 | tail -n 4
  rm -rf "$corpus"
done
