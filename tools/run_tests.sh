#!/usr/bin/env bash
# Builds and runs the engine's test suite twice: an optimised (-O3) build, then a build
# with AddressSanitizer and UndefinedBehaviorSanitizer that fails on any report; runs the
# Python package's tests against the optimised engine in between. Every example must give
# the same bytes at 1, 2, 3 and 7 threads, in a build for this processor (-march=native)
# and in the unoptimised sanitizer build; no build may contain a fused multiply-add.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

# The Python package, against the optimised engine, with the long ion-model cases (every
# filling of the d and f shells) that a developer's quick run leaves out.
(cd python && MORVEX7="$PWD/../build/morvex7" MORVEX7_SLOW_TESTS=1 /usr/bin/python3 -m pytest -q -p no:cacheprovider)

# The engine alone, compiled for every instruction set this processor has.
cmake -S . -B build-native -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-march=native \
  -DBUILD_TESTING=OFF
cmake --build build-native -j"$jobs" --target morvex7
bash tools/check_no_fma.sh build build-native
bash tools/compare_threads.sh build
bash tools/compare_builds.sh build build-native

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMORVEX7_SANITIZE=ON
cmake --build build-asan -j"$jobs"
# The optimised and the unoptimised (sanitizer) builds must give identical results.
bash tools/compare_builds.sh build build-asan
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j"$jobs")

# The fuzzing harness replayed the seed corpora and regression inputs in both ctest runs above;
# with AFL++ installed, a few seconds of fuzzing per input file (tests/fuzz/README.md).
if command -v afl-fuzz >/dev/null && command -v afl-clang-fast++ >/dev/null; then
  bash tools/fuzz.sh smoke 8
fi
