#!/usr/bin/env bash
# Fuzzing the engine's input files with AFL++ (tests/fuzz/README.md explains the harness).
#
#   tools/fuzz.sh build                  instrumented builds: build-fuzz (fast) and
#                                        build-fuzz-asan (AddressSanitizer + UBSan)
#   tools/fuzz.sh run KIND [SECONDS] [asan]
#                                        one fuzzer on KIND (command, coefficients,
#                                        recipes, store) for SECONDS (default 3600), in
#                                        build-fuzz/out/KIND (resumed when it exists)
#   tools/fuzz.sh long [SECONDS]         run each kind in turn, SECONDS each (default 3600)
#   tools/fuzz.sh stats                  executions, crashes and hangs per kind so far
#   tools/fuzz.sh replay [BUILD] [queue] replays the corpora, the regression inputs and
#                                        every saved crash and hang with BUILD's harness
#                                        (default build-asan), with "queue" also every input
#                                        the fuzzers kept; non-zero status on a failure
#   tools/fuzz.sh triage [BUILD]         replays each saved crash and hang alone with BUILD's
#                                        harness (default build-asan) and groups them by
#                                        where they fail: count, place, an example input
#   tools/fuzz.sh smoke [SECONDS]        CI: SECONDS (default 8) of fuzzing per kind
#   tools/fuzz.sh minimise KIND [QUEUE]  afl-cmin of the corpus and the fuzzer's queue, cut to
#                                        a byte budget, into build-fuzz/cmin-KIND/pick
#
# One fuzzer at a time, at low priority: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kinds=(command coefficients recipes store)
fuzz_dir=tests/fuzz
fuzz_builds="build-fuzz build-fuzz-asan build-fuzz-smoke"
export AFL_SKIP_CPUFREQ=1 AFL_NO_AFFINITY=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1
export AFL_QUIET=1

die() { echo "fuzz.sh: $*" >&2; exit 2; }
check_kind() {
  case "$1" in command|coefficients|recipes|store) ;; *) die "unknown kind '$1'" ;; esac
}
harness() { echo "$root/$1/tests/fuzz/morvex7_fuzz"; }

# A private directory for the runs of one fuzzer, removed when the script ends.
run_dir() {
  local base=/dev/shm
  [ -w "$base" ] || base=${TMPDIR:-/tmp}
  mktemp -d "$base/morvex7_fuzz.XXXXXX"
}

build_one() {  # build_one DIR EXTRA_FLAGS [cmake options...]
  local dir=$1 flags=$2; shift 2
  command -v afl-clang-fast++ >/dev/null || die "afl-clang-fast++ is missing (apt-get install afl++)"
  CC=afl-clang-fast CXX=afl-clang-fast++ cmake -S . -B "$dir" \
    -DCMAKE_CXX_FLAGS="-include $root/$fuzz_dir/clang_shuffle.h $flags" "$@" >/dev/null
  nice -n 10 cmake --build "$dir" -j2 --target morvex7_fuzz
  cc -O2 -shared -fPIC "$fuzz_dir/store_mutator.c" -o "$dir/tests/fuzz/libstore_mutator.so"
}

# The fast builds trap on undefined behaviour (signed overflow, shifts, float-to-int casts out
# of range, ...) without a sanitizer run-time: a few per cent slower, and such a fault ends the
# run with SIGILL, which AFL saves as a crash.
trap_ub="-fsanitize=undefined -fsanitize-trap=undefined"

cmd_build() {
  build_one build-fuzz "$trap_ub" -DCMAKE_BUILD_TYPE=Release
  build_one build-fuzz-asan "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX7_SANITIZE=ON
}

cmd_run() {
  local kind=$1 seconds=${2:-3600} flavour=${3:-}
  check_kind "$kind"
  local build=build-fuzz timeout=200
  case "$flavour" in
    asan) build=build-fuzz-asan timeout=1000 ;;
    smoke) build=build-fuzz-smoke ;;
  esac
  local out=$build/out/$kind
  [ -x "$(harness $build)" ] || die "$(harness $build) is missing: run tools/fuzz.sh build"
  # Seeds: MORVEX7_FUZZ_SEEDS (for instance the queue of a run on an older build), else the corpus;
  # an existing run in $out is resumed.
  local input=${MORVEX7_FUZZ_SEEDS:-$fuzz_dir/corpus/$kind}
  if [ -d "$out/default/queue" ]; then input=-; fi
  mkdir -p "$out"
  local dir
  dir=$(run_dir)
  trap 'rm -rf "$dir"' EXIT
  local extra=()
  if [ "$kind" = store ] && [ -f "$(dirname "$(harness $build)")/libstore_mutator.so" ]; then
    export AFL_CUSTOM_MUTATOR_LIBRARY=$(dirname "$(harness $build)")/libstore_mutator.so
  fi
  [ -f "$fuzz_dir/dict/$kind.dict" ] && extra+=(-x "$fuzz_dir/dict/$kind.dict")
  MORVEX7_FUZZ_DIR=$dir/run AFL_TMPDIR=$dir AFL_NO_UI=1 AFL_AUTORESUME=1 \
    nice -n 10 afl-fuzz -i "$input" -o "$out" -m none -t "$timeout" -V "$seconds" "${extra[@]}" \
    -- "$(harness $build)" "$kind" "$root/$fuzz_dir/base" @@ >"$out/afl.log" 2>&1 || true
  rm -rf "$dir"
  trap - EXIT
  cmd_stats "$out"
}

cmd_long() {
  local seconds=${1:-3600}
  for kind in "${kinds[@]}"; do cmd_run "$kind" "$seconds"; done
}

# fuzzer_stats of every run under build-fuzz*/out: executions, time, finds.
cmd_stats() {
  local f pattern=${1:-}
  [ -n "$pattern" ] || pattern=$(for b in $fuzz_builds; do echo "$b/out/*"; done)
  for f in $(for p in $pattern; do echo "$p/default/fuzzer_stats"; done); do
    [ -f "$f" ] || continue
    awk -v name="$(dirname "$(dirname "$f")")" -F' *: ' '
      { v[$1] = $2 }
      END { printf "%-32s execs %10d  run %6ds  execs/s %7.1f  crashes %d  hangs %d  corpus %d\n",
            name, v["execs_done"], v["run_time"], v["execs_per_sec"], v["saved_crashes"],
            v["saved_hangs"], v["corpus_count"] }' "$f"
  done
}

cmd_replay() {
  local build=${1:-build-asan} queue=${2:-} status=0 kind sub="crashes hangs"
  [ -x "$(harness "$build")" ] || die "$(harness "$build") is missing: build $build first"
  [ "$queue" = queue ] && sub="crashes hangs queue"
  for kind in "${kinds[@]}"; do
    local files=()
    for d in "$fuzz_dir/corpus/$kind" "$fuzz_dir/regressions/$kind" \
             $(for b in $fuzz_builds; do for x in $sub; do echo "$b/out/$kind/default/$x"; done; done); do
      [ -d "$d" ] || continue
      while IFS= read -r -d '' f; do files+=("$f"); done \
        < <(find "$d" -maxdepth 1 -type f ! -name 'README.txt' -print0)
    done
    [ ${#files[@]} -gt 0 ] || continue
    "$(harness "$build")" "$kind" "$root/$fuzz_dir/base" "${files[@]}" || status=1
  done
  return $status
}

# What one input does under the harness, as one line: the sanitizer's summary, the place of a
# time-out or an internal error, or "passes" when it no longer fails.
failure_of() {  # failure_of BUILD KIND FILE
  local err
  err=$("$(harness "$1")" "$2" "$root/$fuzz_dir/base" "$3" 2>&1 >/dev/null) && { echo passes; return; }
  if grep -q "time limit reached" <<<"$err"; then
    echo "HANG in $(grep -m1 -oE 'in mv::[^(]*\(?' <<<"$err" | sed 's/^in //; s/($//')"
  elif grep -q "runtime error" <<<"$err"; then
    grep -m1 "runtime error" <<<"$err" | sed "s|$root/||; s/^[^a-z]*//"
  elif grep -q "^SUMMARY" <<<"$err"; then
    grep -m1 "^SUMMARY" <<<"$err" | sed "s|$root/||; s/ *SUMMARY: //; s/(.*//"
  else
    grep -m1 -E "internal error|CRASH|HANG|FAILED" <<<"$err" || echo "fails (no report)"
  fi
}

cmd_triage() {
  local build=${1:-build-asan} f kind
  [ -x "$(harness "$build")" ] || die "$(harness "$build") is missing: build $build first"
  for kind in "${kinds[@]}"; do
    for f in $(for b in $fuzz_builds; do echo "$b/out/$kind/default/crashes/id*" \
               "$b/out/$kind/default/hangs/id*"; done); do
      [ -f "$f" ] || continue
      printf '%s\t%s\t%s\n' "$kind" "$(failure_of "$build" "$kind" "$f")" "$f"
    done
  done | awk -F'\t' '{ key = $1 ": " $2; n[key]++; if (!(key in ex)) ex[key] = $3 }
                     END { for (k in n) printf "%4d  %s\n      e.g. %s\n", n[k], k, ex[k] }'
}

# A few seconds of fuzzing per kind from the corpora, on a build at -O1 (quick to compile).
# It reports what it finds; it fails only with MORVEX7_FUZZ_STRICT=1, because a short random
# run may find a fault that a change did not bring (the replay in ctest is the gate).
cmd_smoke() {
  local seconds=${1:-8} kind found=0
  build_one build-fuzz-smoke "-O1 $trap_ub" -DCMAKE_BUILD_TYPE=None >/dev/null
  for kind in "${kinds[@]}"; do
    rm -rf "build-fuzz-smoke/out/$kind"
    cmd_run "$kind" "$seconds" smoke
    local n
    n=$(find "build-fuzz-smoke/out/$kind/default/crashes" "build-fuzz-smoke/out/$kind/default/hangs" \
      -type f ! -name README.txt 2>/dev/null | wc -l)
    if [ "$n" -ne 0 ]; then
      echo "fuzz.sh: $n crash(es) or hang(s) on $kind, in build-fuzz-smoke/out/$kind/default"
      found=1
    fi
  done
  [ "$found" -eq 0 ] || [ "${MORVEX7_FUZZ_STRICT:-0}" != 1 ]
}

# afl-cmin of the corpus and the fuzzer's queue, then a greedy choice of at most
# MORVEX7_FUZZ_BUDGET bytes (default 80000) that adds the most edges per byte; the seeds the
# corpus had (named after examples and models, not fuzz_NNNNNN) are always kept.
cmd_minimise() {
  local kind=$1
  check_kind "$kind"
  local queue=${2:-build-fuzz/out/$kind/default/queue} dir new
  [ -d "$queue" ] || die "no queue in $queue"
  dir=$(run_dir)
  new=build-fuzz/cmin-$kind  # afl-cmin refuses to write under /tmp
  rm -rf "$new"
  mkdir -p "$new/pick" "$dir/all"
  cp "$fuzz_dir/corpus/$kind"/* "$dir/all/"
  for f in "$queue"/id*; do cp "$f" "$dir/all/q${f##*id:}"; done
  local cmd=("$(harness build-fuzz)" "$kind" "$root/$fuzz_dir/base")
  MORVEX7_FUZZ_DIR=$dir/run AFL_TMPDIR=$dir nice -n 10 afl-cmin -i "$dir/all" -o "$new/min" -m none \
    -t 1000 -- "${cmd[@]}" @@ >/dev/null
  MORVEX7_FUZZ_DIR=$dir/run nice -n 10 afl-showmap -i "$new/min" -o "$new/maps" -m none -t 1000 \
    -- "${cmd[@]}" @@ >/dev/null 2>&1 || true
  local keep=()
  for f in "$fuzz_dir/corpus/$kind"/*; do
    case "$(basename "$f")" in fuzz_[0-9]*) ;; *) keep+=("$(basename "$f")") ;; esac
  done
  python3 "$fuzz_dir/pick_corpus.py" "$new/maps" "$new/min" "${MORVEX7_FUZZ_BUDGET:-80000}" \
    "${keep[@]}" | while IFS= read -r f; do
    case "$f" in
      q[0-9]*) g=${f%%,*}; cp "$new/min/$f" "$new/pick/fuzz_${g#q}" ;;
      fuzz_[0-9]*) cp "$new/min/$f" "$new/pick/$f" ;;
    esac
  done
  for f in "${keep[@]}"; do cp "$fuzz_dir/corpus/$kind/$f" "$new/pick/"; done
  rm -rf "$dir"
  echo "chosen corpus in $new/pick ($(cat "$new/pick"/* | wc -c) bytes, $(ls "$new/pick" | wc -l) files)"
  echo "replace $fuzz_dir/corpus/$kind with it after a look"
}

# The whole script is read before it runs, so that editing it does not disturb a long run.
main() {
  case "${1:-}" in
    build) cmd_build ;;
    run) shift; cmd_run "$@" ;;
    long) shift; cmd_long "$@" ;;
    stats) cmd_stats ;;
    replay) shift; cmd_replay "$@" ;;
    triage) shift; cmd_triage "$@" ;;
    smoke) shift; cmd_smoke "$@" ;;
    minimise) shift; cmd_minimise "$@" ;;
    *) sed -n '2,20p' "$0"; exit 2 ;;
  esac
}
main "$@"; exit $?
