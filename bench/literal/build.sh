#!/usr/bin/env bash
# Builds the literal merge as a shared library for bench/compare.py.
# Usage: bench/literal/build.sh OUTPUT.so
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build/bench/libliteral.so}"
mkdir -p "$(dirname "$out")"
"${CXX:-g++}" -std=c++20 -O2 -Wall -Wextra -ffp-contract=off -fPIC -shared -pthread \
  -I"$root/src" -I"$root/tests/cpp/merge" \
  "$root/bench/literal/literal_c.cpp" "$root/tests/cpp/merge/literal_merge.cpp" "$root/src/common/abort.cpp" "$root/src/common/buffer.cpp" \
  -o "$out"
echo "$out"
