#!/usr/bin/env bash
# Runs every shipped example with several builds of morvex7 (for example -O3 and
# -O0, or the default and -march=native) and fails unless every output file of
# each build is byte for byte the same as the first build's: the single-precision
# results must not depend on the optimisation level or the instruction set. The
# first build runs each example once, whatever the number of builds compared.
#   tools/compare_builds.sh BUILD_DIR_A BUILD_DIR_B [BUILD_DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: tools/compare_builds.sh BUILD_DIR_A BUILD_DIR_B [BUILD_DIR...]" >&2
  exit 2
fi
builds=()
for dir in "$@"; do builds+=("$(cd "$dir" && pwd)"); done
a=${builds[0]}
status=0
for ex in examples/*/; do
  [ -f "$ex/fort.50" ] || continue  # not an engine example (e.g. cluster recipes)
  name=$(basename "$ex")
  for build in "${builds[@]}"; do
    run=$build/compare/$name
    rm -rf "$run" && mkdir -p "$run"
    cp "$ex"/fort.50 "$ex"/FTN14 "$ex"/FTN15 "$run"/
    # a model that keeps its coefficient blocks in the binary store (copied after FTN14)
    if [ -f "$ex"/FTN99 ]; then cp "$ex"/FTN99 "$run"/; fi
    (cd "$run" && "$build/morvex7" >log.txt 2>stop.txt) || true
  done
  for b in "${builds[@]:1}"; do
    same=1
    for f in "$a/compare/$name"/*; do
      base=$(basename "$f")
      if ! cmp -s "$f" "$b/compare/$name/$base"; then
        echo "compare_builds: $name/$base differs between $a and $b" >&2
        same=0 status=1
      fi
    done
    [ $same -eq 1 ] && echo "compare_builds: $name: all outputs identical in $a and $b"
  done
done
exit $status
