#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test: the C++ tests (plain, under
# AddressSanitizer + UBSan and under ThreadSanitizer), the Python tests against the installed
# module on CPython 3.11, 3.12 and 3.13 (pyenv's interpreters, each in a fresh virtual
# environment; 3.13 installs from the source distribution) and against the module built with both
# sanitizers, the PyTorch and JAX frontends' tests and examples (the frameworks on the main
# interpreter), a smoke run of the benchmarks, the stub check, and bounded fuzz runs of the blob
# reader and of the whole road from blob to reduced store. Fails when any step fails or when no
# test ran.
#
# The log shows each stage's heading and summary. Build output, ctest's per-test lines, apt and
# the fuzzers' progress go to build/logs/; a failing stage prints the tail of its log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${ZEMBRIC_FUZZ_SECONDS:-60}

step() { printf '\n==> %s\n' "$*"; }

logs=$root/build/logs
mkdir -p "$logs"
# quietly NAME COMMAND...: runs COMMAND with its output in build/logs/NAME.log; on failure shows
# the log's tail and stops.
quietly() {
  local name=$1
  shift
  if ! "$@" >"$logs/$name.log" 2>&1; then
    tail -n 80 "$logs/$name.log"
    echo "failed: $*  (full log: build/logs/$name.log)" >&2
    exit 1
  fi
}
# The summary lines of a ctest log.
ctest_summary() { grep -E 'tests passed|tests failed|Total Test time' "$logs/$1.log"; }

# Interpreters the Python suite runs on beside $python: pyenv's, when present.
extra_pythons=()
for version in 3.12 3.13; do
  candidate=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" \
    2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$candidate" ]; then
    extra_pythons+=("$candidate")
  elif [ "${CI:-}" = true ]; then
    echo "CPython $version is missing (pyenv versions)" >&2
    exit 1
  fi
done

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
  quietly apt-update "${sudo_cmd[@]}" apt-get update -qq
  quietly apt-install env DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    "${need[@]}"
  echo "installed: ${need[*]}"
else
  echo "all present"
fi

step "Python packages"
quietly pip-test-requirements "$python" -m pip install -q -r requirements-test.txt
# The frontends' frameworks, on the main interpreter only (the CPU build of torch lies on disk for
# it); there the frontend tests must run, not skip.
quietly pip-frameworks "$python" -m pip install -q torch==2.13.0 jax jaxlib
"$python" -c 'import sys, torch, jax; print(sys.version.split()[0], "torch", torch.__version__, "jax", jax.__version__)'

cmake_common=(-G Ninja -DZEMBRIC_WERROR=ON -DZEMBRIC_BUILD_TESTS=ON -DZEMBRIC_BUILD_PYTHON=OFF)
# cpp_tests NAME BUILD_TYPE [VAR=VALUE...] -- [CMAKE_OPTION...]: configures and builds the C++
# tests in build/ci-NAME, runs them with the variables given in their environment, and prints
# ctest's summary; the logs are NAME-configure, NAME-build and NAME-tests.
cpp_tests() {
  local name=$1 type=$2
  shift 2
  local variables=()
  while [ "$1" != -- ]; do
    variables+=("$1")
    shift
  done
  shift
  quietly "$name-configure" cmake -S . -B "build/ci-$name" "${cmake_common[@]}" \
    -DCMAKE_BUILD_TYPE="$type" "$@"
  quietly "$name-build" cmake --build "build/ci-$name" -j "$jobs"
  quietly "$name-tests" env "${variables[@]}" \
    ctest --test-dir "build/ci-$name" --output-on-failure --no-tests=error -j "$jobs"
  ctest_summary "$name-tests"
}

step "C++ tests"
# The C++ benchmark programs are built too, so that they keep compiling.
cpp_tests tests RelWithDebInfo -- -DZEMBRIC_BUILD_BENCH=ON

step "C++ tests under AddressSanitizer and UBSan"
cpp_tests sanitize Debug ASAN_OPTIONS=detect_leaks=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 -- -DZEMBRIC_SANITIZE=ON

step "C++ tests under ThreadSanitizer"
cpp_tests tsan RelWithDebInfo TSAN_OPTIONS=halt_on_error=1 -- -DZEMBRIC_SANITIZE_THREADS=ON

step "Python module on $("$python" --version)"
quietly pip-install "$python" -m pip install . -Ccmake.define.ZEMBRIC_WERROR=ON
# Run from the tests directory so that the installed module, not the source tree, is imported.
(cd tests/python && ZEMBRIC_REQUIRE_FRONTENDS=1 "$python" -m pytest -q -p no:cacheprovider .)

step "Frontend examples and benchmark smoke run"
examples_out=$(mktemp -d)
quietly example-torch "$python" examples/torch_transformer.py "$examples_out"
quietly example-jax "$python" examples/jax_mlp_grad.py "$examples_out/jax_mlp_grad.dot"
echo "examples ran: $(ls "$examples_out" | tr '\n' ' ')"
quietly frontends-bench-smoke "$python" bench/frontends_bench.py --smoke

# The source distribution: everything the build needs, nothing of its outputs.
rm -rf build/sdist
quietly sdist "$python" -m build --sdist --outdir build/sdist .
sdist=$(ls build/sdist/*.tar.gz)
echo "source distribution: $sdist ($(tar -tzf "$sdist" | wc -l) files)"
if tar -tzf "$sdist" | grep -E '/(build|build-fuzz|_skbuild)/|\.so$|\.o$' >/dev/null; then
  echo "the source distribution carries build outputs" >&2
  exit 1
fi

# Each further interpreter in a fresh virtual environment; the last one installs the sdist.
for index in "${!extra_pythons[@]}"; do
  interpreter=${extra_pythons[$index]}
  venv=build/venv-$(basename "$interpreter")
  source_kind=tree
  package=.
  if [ "$index" -eq $((${#extra_pythons[@]} - 1)) ]; then
    source_kind="source distribution"
    package=$sdist
  fi
  step "Python module on $("$interpreter" --version), from the $source_kind, in a fresh venv"
  rm -rf "$venv"
  quietly "venv-$index" "$interpreter" -m venv "$venv"
  quietly "venv-$index-requirements" "$venv/bin/python" -m pip install -q -r requirements-test.txt
  quietly "venv-$index-install" "$venv/bin/python" -m pip install "$package" \
    -Ccmake.define.ZEMBRIC_WERROR=ON
  (cd tests/python && "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider .)
  (cd "$(mktemp -d)" && "$root/$venv/bin/python" -m mypy.stubtest zembric_core)
done

step "Python tests against the module built with AddressSanitizer and UBSan"
asan_build=build/ci-python-asan
quietly python-asan-configure cmake -S . -B "$asan_build" -G Ninja -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_BUILD_TYPE=Debug -DZEMBRIC_WERROR=ON -DZEMBRIC_SANITIZE=ON -DZEMBRIC_BUILD_PYTHON=ON \
  -DZEMBRIC_BUILD_TESTS=OFF -DPython_EXECUTABLE="$("$python" -c 'import sys; print(sys.executable)')"
quietly python-asan-build cmake --build "$asan_build" -j "$jobs" --target zembric_core
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
# The frameworks' own native code is not ours to run under the sanitizers: their tests stay out.
(cd tests/python && "${sanitized[@]}" "$python" -m pytest -q -p no:cacheprovider \
  --ignore=test_frontend_torch.py --ignore=test_frontend_jax.py .)

step "Benchmark smoke run (smallest size, no timing asserted)"
quietly benchmark-smoke "$python" bench/run_benchmarks.py --smoke --output "$(mktemp -d)/RESULTS.md"
echo "$(grep -cE '[|] (met|[*][*]unmet[*][*]) [|]' "$logs/benchmark-smoke.log" || true) target rows reported"

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
