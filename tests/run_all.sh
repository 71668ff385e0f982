#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test: the C++ tests (plain and
# under AddressSanitizer + UBSan), the Python tests against the installed module and against the
# module built with both sanitizers, a smoke run of the benchmarks, the stub check, and bounded
# fuzz runs of the blob reader and of the whole road from blob to reduced store. Fails when any
# step fails or when no test ran.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${ZEMBRIC_FUZZ_SECONDS:-60}

step() { printf '\n==> %s\n' "$*"; }

step "System packages"
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v clang++-14 >/dev/null || need+=(clang-14)
command -v ninja >/dev/null || need+=(ninja-build)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
command -v dot >/dev/null || need+=(graphviz)  # the zembric command draws pictures with it
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${need[@]}"
fi

step "Python packages"
"$python" -m pip install -q -r requirements-test.txt

cmake_common=(-G Ninja -DZEMBRIC_WERROR=ON -DZEMBRIC_BUILD_TESTS=ON -DZEMBRIC_BUILD_PYTHON=OFF)

step "C++ tests"
# The C++ benchmark programs are built too, so that they keep compiling.
cmake -S . -B build/ci-tests "${cmake_common[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEMBRIC_BUILD_BENCH=ON
cmake --build build/ci-tests -j "$jobs"
ctest --test-dir build/ci-tests --output-on-failure --no-tests=error -j "$jobs"

step "C++ tests under AddressSanitizer and UBSan"
cmake -S . -B build/ci-sanitize "${cmake_common[@]}" -DCMAKE_BUILD_TYPE=Debug -DZEMBRIC_SANITIZE=ON
cmake --build build/ci-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/ci-sanitize --output-on-failure --no-tests=error -j "$jobs"

step "Python module"
"$python" -m pip install -q . -Ccmake.define.ZEMBRIC_WERROR=ON
# Run from the tests directory so that the installed module, not the source tree, is imported.
(cd tests/python && "$python" -m pytest -q -p no:cacheprovider .)

step "Python tests against the module built with AddressSanitizer and UBSan"
asan_build=build/ci-python-asan
cmake -S . -B "$asan_build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug \
  -DZEMBRIC_WERROR=ON -DZEMBRIC_SANITIZE=ON -DZEMBRIC_BUILD_PYTHON=ON -DZEMBRIC_BUILD_TESTS=OFF \
  -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')"
cmake --build "$asan_build" -j "$jobs" --target zembric_core
asan_module_dir=$root/$asan_build/src/python
# The interpreter is not sanitized, so the runtime is preloaded. Its own allocations are not ours
# to leak-check; PYTHONMALLOC=malloc lets the sanitizer see the Python objects the module touches.
# The sanitized module comes first on the path, ahead of the installed one.
sanitized=(env PYTHONPATH="$asan_module_dir${PYTHONPATH:+:$PYTHONPATH}" PYTHONMALLOC=malloc
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ZEMBRIC_SANITIZED=1)
module_file=$(cd tests/python && "${sanitized[@]}" "$python" -c \
  'import zembric_core; print(zembric_core.__file__)')
echo "sanitized module: $module_file"
[[ $module_file == "$asan_module_dir"/* ]] || { echo "not the sanitized module" >&2; exit 1; }
(cd tests/python && "${sanitized[@]}" "$python" -m pytest -q -p no:cacheprovider .)

step "Benchmark smoke run (smallest size, no timing asserted)"
"$python" bench/run_benchmarks.py --smoke --output "$(mktemp -d)/RESULTS.md"

step "Stub check"
# Outside the source tree, so that mypy reads the installed stub package, not src/python.
(cd "$(mktemp -d)" && "$python" -m mypy.stubtest zembric_core)
"$python" -m mypy --strict python/zembric examples/render_reduced_graph.py

if [ -x fuzz/run_blob_reader_fuzz.sh ]; then
  step "Fuzzing the blob reader for ${fuzz_seconds}s"
  fuzz/run_blob_reader_fuzz.sh "$fuzz_seconds"
fi
if [ -x fuzz/run_fuzz.sh ]; then
  step "Fuzzing the whole road for ${fuzz_seconds}s"
  fuzz/run_fuzz.sh graph_road_fuzz "$fuzz_seconds"
fi

step "All tests passed"
