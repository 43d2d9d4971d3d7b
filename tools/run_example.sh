#!/usr/bin/env bash
# Builds morvex7 (if needed, showing the build's progress) and runs one of the
# shipped examples in a fresh copy of its directory under build/runs/, says
# where the results are, and ends by writing the run's spectrum as a plot (PNG)
# and as CSV files.
#   tools/run_example.sh [example-name]      (default: charge_transfer)
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:-charge_transfer}
src=examples/$name
[ -d "$src" ] || { echo "no example named '$name' (see examples/)" >&2; exit 2; }

# The build's own progress lines: the first build takes a while, a later one is a few lines.
printf '\n==> Building morvex7 (build/morvex7, optimised)\n'
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release &&
       cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target morvex7; }; then
  echo "the build failed: see the messages above" >&2
  exit 1
fi
printf '\n==> Running examples/%s\n' "$name"

run=build/runs/$name
rm -rf "$run"
mkdir -p "$run"
cp "$src"/fort.50 "$src"/FTN14 "$src"/FTN15 "$run"/
# a model that keeps its coefficient blocks in the binary store (copied after FTN14)
if [ -f "$src"/FTN99 ]; then cp "$src"/FTN99 "$run"/; fi
# a builder-made example: its model.json says how the triads make the isotropic spectrum
[ -f "$src"/model.json ] && cp "$src"/model.json "$run"/
set +e
build/morvex7 "$run" >"$run"/log.txt 2>"$run"/stop.txt
status=$?
set -e
echo "Ran examples/$name: morvex7 finished with status $status: $(cat "$run"/stop.txt)"
echo "Results in $run:"
echo "  log.txt   the log (ground state, store messages, spectra summaries)"
echo "  fort.44   the spectrum file: command echo, ground-state report, spectra as matrix blocks"
echo "  fort.43   all ground-state energies"
for f in "$run"/fort.45 "$run"/fort.46; do
  [ -f "$f" ] && echo "  $(basename "$f")   intermediate-state plot file / listing (Auger runs)"
done
ls "$run"/fort.6[2-9] >/dev/null 2>&1 && echo "  fort.62.. total-yield curves, one file per triad (Auger runs)"
[ -f "$src/README.md" ] && echo "What the example computes: $src/README.md"
[ "$status" -eq 0 ] || exit "$status"

# The spectrum, broadened, as a picture and as CSV (the morvex7 Python package, from python/).
spectra() { PYTHONPATH="$PWD/python${PYTHONPATH:+:$PYTHONPATH}" /usr/bin/python3 -m morvex7 "$@"; }
echo "Spectrum (morvex7-spectra plot/csv; 'morvex7-spectra --help' for widths, grids, formats):"
spectra csv "$run" --out "$run" | sed 's/^/  CSV  /'
spectra plot "$run" --out "$run/spectrum.png" --text | sed 's/^/  /'
