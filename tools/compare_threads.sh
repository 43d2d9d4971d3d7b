#!/usr/bin/env bash
# Runs every shipped example with one build of morvex7 at 1, 2, 3 and 7
# threads and fails unless every output file is byte for byte the same as the
# one-thread run's: threads share out independent elements, never a sum.
#   tools/compare_threads.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "$1" && pwd)
status=0
for ex in examples/*/; do
  [ -f "$ex/fort.50" ] || continue  # not an engine example (e.g. cluster recipes)
  name=$(basename "$ex")
  for t in 1 2 3 7; do
    run=$build/threads/$name/$t
    rm -rf "$run" && mkdir -p "$run"
    cp "$ex"/fort.50 "$ex"/FTN14 "$ex"/FTN15 "$run"/
    # a model that keeps its coefficient blocks in the binary store (copied after FTN14)
    if [ -f "$ex"/FTN99 ]; then cp "$ex"/FTN99 "$run"/; fi
    (cd "$run" && "$build/morvex7" --threads "$t" >log.txt 2>stop.txt) || true
  done
  for t in 2 3 7; do
    for f in "$build/threads/$name/1"/*; do
      base=$(basename "$f")
      if ! cmp -s "$f" "$build/threads/$name/$t/$base"; then
        echo "compare_threads: $name/$base differs between 1 and $t threads" >&2
        status=1
      fi
    done
  done
  [ $status -eq 0 ] && echo "compare_threads: $name: all outputs identical at 1, 2, 3 and 7 threads"
done
exit $status
