#!/usr/bin/env bash
# Installs what is missing, builds the optimised tree and runs the main job:
# the demonstration (README.md, "The demonstration"); exits with its status.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec ./build/release/demo/x2demo
