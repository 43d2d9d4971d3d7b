#!/usr/bin/env bash
# Runs every shipped example with two builds of morvex7 (for example -O3 and
# -O0, or the default and -march=native) and fails unless every output file is
# byte for byte the same: the single-precision results must not depend on the
# optimisation level or the instruction set.
#   tools/compare_builds.sh BUILD_DIR_A BUILD_DIR_B
set -euo pipefail
cd "$(dirname "$0")/.."
a=$(cd "$1" && pwd) b=$(cd "$2" && pwd)
status=0
for ex in examples/*/; do
  [ -f "$ex/fort.50" ] || continue  # not an engine example (e.g. cluster recipes)
  name=$(basename "$ex")
  for build in "$a" "$b"; do
    run=$build/compare/$name
    rm -rf "$run" && mkdir -p "$run"
    cp "$ex"/fort.50 "$ex"/FTN14 "$ex"/FTN15 "$run"/
    (cd "$run" && "$build/morvex7" >log.txt 2>stop.txt) || true
  done
  for f in "$a/compare/$name"/*; do
    base=$(basename "$f")
    if ! cmp -s "$f" "$b/compare/$name/$base"; then
      echo "compare_builds: $name/$base differs between $a and $b" >&2
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "compare_builds: $name: all outputs identical in $a and $b"
done
exit $status
