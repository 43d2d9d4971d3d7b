"""Peak memory and time of the result-file readers on one large file (not run by CI).

    python3 bench/python/bench_reader_memory.py KIND FILE [--rss-only]

KIND is fort44, fort43, fort47, fort62 or run (a whole run directory through Run.load).
Prints the file size, the binary size of the numbers read (8 bytes each), the peak of Python's
own allocations (tracemalloc) and the peak resident size of the process, with the wall time.
--rss-only leaves tracemalloc out (it slows reading about threefold and adds its own memory).
Run each measurement in a fresh process: the peak resident size only grows.

    python3 bench/python/bench_reader_memory.py make DIR [NOMEGA]

makes DIR, a run of examples/auger_resonance over NOMEGA photon energies (default 300000:
about 100 MB of fort.44 and 12 MB of fort.62), with the engine MORVEX7 or the one found.
"""
from __future__ import annotations

import resource
import sys
import time
import tracemalloc

import numpy as np


def numbers_in(obj, seen=None) -> int:
    """Bytes of the numbers reachable from a reader's result, 8 per number (the arrays and
    the single values of each record): an array held by several records (the energies the
    steps of a scan share) counts for each."""
    seen = set() if seen is None else seen
    if isinstance(obj, np.ndarray):
        return obj.nbytes
    if isinstance(obj, (int, float)) and not isinstance(obj, bool):
        return 8                                   # a count, an energy, a total of a record
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    if isinstance(obj, dict):
        return sum(numbers_in(v, seen) for v in obj.values())
    if isinstance(obj, (list, tuple)):
        return sum(numbers_in(v, seen) for v in obj)
    if hasattr(obj, "__dict__"):
        return numbers_in(vars(obj), seen)
    if hasattr(obj, "__slots__"):
        return sum(numbers_in(getattr(obj, s, None), seen) for s in obj.__slots__)
    return 0


def make(directory: str, nomega: int) -> None:
    import shutil
    import subprocess
    from pathlib import Path

    from morvex7.engine import find_engine

    d = Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    src = Path(__file__).resolve().parents[2] / "examples" / "auger_resonance"
    for name in ("FTN14", "FTN15"):
        shutil.copy(src / name, d / name)
    text = (src / "fort.50").read_text().replace(
        "NOMEGA 22 ESTART -2.0 ESTEP 0.25", f"NOMEGA {nomega} ESTART -2.0 ESTEP {6.0 / nomega:.8f}")
    (d / "fort.50").write_text(text)
    with open(d / "log.txt", "w") as log, open(d / "stop.txt", "w") as stop:
        subprocess.run([str(find_engine().resolve())], cwd=d, stdout=log, stderr=stop, check=True)
    print(f"{d}: fort.44 of {(d / 'fort.44').stat().st_size / 1e6:.1f} MB")


def main() -> None:
    if sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 300000)
        return
    kind, path = sys.argv[1], sys.argv[2]
    trace = "--rss-only" not in sys.argv[3:]
    from morvex7 import readers, results, rixs
    read = {"fort44": lambda p: readers.read_spectrum_file(p),
            "fort43": readers.read_ground_energies,
            "fort62": readers.read_yield_file,
            "fort47": rixs.read_rixs_file,
            "run": results.Run.load}[kind]
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if trace:
        tracemalloc.start()
    t0 = time.perf_counter()
    out = read(path)
    dt = time.perf_counter() - t0
    peak = tracemalloc.get_traced_memory()[1] if trace else 0
    tracemalloc.stop()
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    import os
    size = os.path.getsize(path) if os.path.isfile(path) else 0
    nb = numbers_in(out)
    traced = (f"traced peak {peak / 1e6:.1f} MB ({peak / max(nb, 1):.2f}x the numbers), "
              if trace else "")
    print(f"{kind}: file {size / 1e6:.1f} MB, numbers {nb / 1e6:.1f} MB, {traced}"
          f"peak RSS {rss / 1e3:.0f} MB (at start {base / 1e3:.0f} MB), {dt:.1f} s")


if __name__ == "__main__":
    main()
