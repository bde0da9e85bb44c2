#!/usr/bin/env bash
# Installs the library into a temporary prefix, checks what landed there
# (versioned SONAMEs, no RUNPATH into the build tree), then builds and runs
# the agent example against that prefix only: once through the CMake package
# (find_package) and once through pkg-config.
# Usage: scripts/install-test.sh [preset]   (default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh pkgconf
preset=${1:-default}
build=build/$preset
extra=()
[ -n "${CI:-}" ] && extra+=(-DX2_WERROR=ON)
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" --target bcm56275_a0 x2platform x2tables
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

libdir=$prefix/lib
for lib in bcm56275_a0 x2platform; do
  so=$(readelf -d "$libdir/lib$lib.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [[ $so =~ ^lib$lib\.so\.[0-9]+ ]] || { echo "lib$lib.so: SONAME '$so' is not versioned" >&2; exit 1; }
done
for f in "$libdir"/lib*.so.* "$prefix/bin/x2tables"; do
  if readelf -d "$f" | grep -E 'R(UN)?PATH' | grep -qv '\$ORIGIN'; then
    echo "$f: RUNPATH outside the prefix: $(readelf -d "$f" | grep -E 'R(UN)?PATH')" >&2; exit 1
  fi
done
"$prefix/bin/x2tables" --version
"$prefix/bin/x2tables" encode MirrorControlTable mEnable=1 | "$prefix/bin/x2tables" decode MirrorControlTable

# The example is copied out so that nothing of the source tree is on its include path.
cp -r examples/agent "$tmp/src"
cmake -S "$tmp/src" -B "$tmp/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
"$tmp/cmake-build/agent"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++20 -o "$tmp/agent-pc" "$tmp/src/agent.cpp" $(pkg-config --cflags --libs x2tables) -Wl,-rpath,"$libdir"
"$tmp/agent-pc"
echo "install test: passed"
