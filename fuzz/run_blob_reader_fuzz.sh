#!/usr/bin/env bash
# Configures, builds and runs the blob reader fuzz target for a bounded time (seconds, default 60).
# Exits non-zero on any crash, sanitizer report or failed assertion; the crashing input is kept
# in the build directory.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZEMBRIC_FUZZ_BUILD_DIR:-$root/build-fuzz}"

CXX="${CXX:-clang++-14}" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEMBRIC_BUILD_FUZZ=ON -DZEMBRIC_BUILD_PYTHON=OFF -DZEMBRIC_BUILD_TESTS=OFF \
  -DZEMBRIC_BUILD_BENCH=OFF
cmake --build "$build" --target blob_reader_fuzz

# New inputs go to a scratch copy, so that the committed seed corpus stays as it is.
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
cp "$root"/fuzz/corpus/blob_reader/* "$corpus"/

"$build/fuzz/blob_reader_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" "$corpus"
