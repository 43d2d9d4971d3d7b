#!/usr/bin/env bash
# Builds and runs the engine's test suite twice: an optimised (-O3) build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer that fails on any report; runs the
# Python package's tests against the optimised engine. Every example must give the same
# bytes at 1, 2, 3 and 7 threads, in a build for this processor (-march=native) and in the
# unoptimised sanitizer build; no build may contain a fused multiply-add.
#
# The Python suite needs only the optimised engine, and the engine's tests and other builds
# need nothing of it: once the optimised engine is built, the two run side by side
# (the suite's output is held in build/python-tests.log and shown when it ends), so that
# neither leaves a core idle. Each step prints its start time since the beginning.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
step() { printf '\n==> [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

step "Optimised engine"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs" --target morvex7

# The Python package, against the optimised engine, with the long ion-model cases (every
# filling of the d and f shells) that a developer's quick run leaves out; on every core when
# pytest-xdist is there (tests that share a fixture of their file stay together, in order).
python_log=build/python-tests.log
pytest_args=(-q -p no:cacheprovider --durations=15)  # the slowest, to keep CI fast
if /usr/bin/python3 -c "import xdist" 2>/dev/null; then
  pytest_args+=(-n "$jobs" --dist loadgroup)
fi
step "Python tests, in the background (${python_log})"
# In a session of its own, so that stopping this script stops every process of the suite;
# with Ctrl-C's signal as it would be in the foreground (bash ignores it in a background
# command, and the suite's tests of interrupted sweeps and fits send it).
setsid env --default-signal=INT bash -c 'cd python && MORVEX7="$PWD/../build/morvex7" \
  MORVEX7_SLOW_TESTS=1 exec /usr/bin/python3 -m pytest "$@"' bash "${pytest_args[@]}" \
  >"$python_log" 2>&1 &
python_pid=$!
stop_python() { kill -- -"$python_pid" 2>/dev/null || kill "$python_pid" 2>/dev/null || true; }
trap stop_python EXIT
trap 'stop_python; exit 130' INT
trap 'stop_python; exit 143' TERM

step "Optimised build of the engine's tests, and the tests"
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The engine alone, compiled for every instruction set this processor has.
step "Engine for this processor (-march=native)"
cmake -S . -B build-native -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-march=native \
  -DBUILD_TESTING=OFF
cmake --build build-native -j"$jobs" --target morvex7
bash tools/check_no_fma.sh build build-native
step "Examples at 1, 2, 3 and 7 threads"
bash tools/compare_threads.sh build

step "Sanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMORVEX7_SANITIZE=ON
cmake --build build-asan -j"$jobs"
# The optimised, the native and the unoptimised (sanitizer) builds must give identical
# results.
step "Examples in the native and the sanitizer builds"
bash tools/compare_builds.sh build build-native build-asan
step "Engine tests under the sanitizers"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")

step "Waiting for the Python tests"
python_status=0
wait "$python_pid" || python_status=$?
trap - EXIT INT TERM
cat "$python_log"
if [ "$python_status" -ne 0 ]; then
  echo "run_tests: the Python tests failed (status $python_status; log in $python_log)" >&2
  exit "$python_status"
fi

# The fuzzing harness replayed the seed corpora and regression inputs in both ctest runs above;
# with AFL++ installed, a few seconds of fuzzing per input file (tests/fuzz/README.md).
if command -v afl-fuzz >/dev/null && command -v afl-clang-fast++ >/dev/null; then
  step "A few seconds of fuzzing per input file"
  bash tools/fuzz.sh smoke 8
fi
step "All tests passed"
