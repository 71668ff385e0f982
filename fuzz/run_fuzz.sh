#!/usr/bin/env bash
# Usage: run_fuzz.sh TARGET [SECONDS]. Configures, builds and runs one fuzz target (blob_reader_fuzz,
# graph_road_fuzz) for a bounded time (default 60 s), seeded from every corpus under fuzz/corpus:
# each target starts by reading a blob, so each corpus suits each target. The fuzzer's progress
# goes to TARGET.log in the build directory and only its tail is shown, on failure. Exits non-zero
# on any crash, sanitizer report or failed assertion; the crashing input is kept in the build
# directory.
set -euo pipefail

target="${1:?usage: run_fuzz.sh TARGET [SECONDS]}"
seconds="${2:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ZEMBRIC_FUZZ_BUILD_DIR:-$root/build-fuzz}"

# The build's own output goes to a log too, shown only when the build fails.
mkdir -p "$build"
build_log="$build/$target-build.log"
if ! { CXX="${CXX:-clang++-14}" cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEMBRIC_BUILD_FUZZ=ON -DZEMBRIC_BUILD_PYTHON=OFF \
  -DZEMBRIC_BUILD_TESTS=OFF -DZEMBRIC_BUILD_BENCH=OFF &&
  cmake --build "$build" --target "$target"; } >"$build_log" 2>&1; then
  tail -n 80 "$build_log"
  echo "building $target failed; full log: $build_log" >&2
  exit 1
fi

# New inputs go to a scratch copy, so that the committed seed corpora stay as they are.
corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
for seeds in "$root"/fuzz/corpus/*/; do
  cp "$seeds"* "$corpus"/
done

log="$build/$target.log"
if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/" "$corpus" >"$log" 2>&1; then
  tail -n 120 "$log"
  echo "$target failed; full log: $log" >&2
  exit 1
fi
grep -E '^(Done |stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
