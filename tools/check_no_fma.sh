#!/usr/bin/env bash
# Fails if a build of morvex7 contains a fused multiply-add instruction: a
# fused operation rounds once where the computation rounds twice, so results
# would depend on the instruction set. The compiler may emit them (for
# example for complex products under -march=native) even with contraction off.
#   tools/check_no_fma.sh BUILD_DIR...
set -euo pipefail
status=0
for build in "$@"; do
  found=$(objdump -d --no-show-raw-insn "$build/morvex7" |
          grep -E $'\tvf(n?m(add|sub)|maddsub|msubadd)[0-9a-z]*[ \t]' || true)
  if [ -n "$found" ]; then
    echo "check_no_fma: $build/morvex7 contains fused multiply-add instructions:" >&2
    echo "$found" | head -20 >&2
    status=1
  else
    echo "check_no_fma: $build/morvex7: no fused multiply-add"
  fi
done
exit $status
