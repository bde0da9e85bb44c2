#!/usr/bin/env bash
# Installs what is missing, builds the optimised tree and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
./build/release/tools/x2tables/x2tables list
