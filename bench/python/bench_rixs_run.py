"""Whole engine runs of the NiO-like RIXS example (examples/nio_rixs: Ni2+ Oh with charge
transfer, N2 = N3 = 1, L3 edge, 200 incident energies, every final state, two polarisation
pairs) beside the absorption runs of the same model: the same command file without its RIXS
block, and the point-group-reduced model (examples/ni2_oh_charge_transfer). Prints wall-clock
seconds, the best of three runs each.

    python3 bench/python/bench_rixs_run.py [--threads T]     (engine from $MORVEX7 or PATH)
"""
from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from morvex7.engine import find_engine

ROOT = Path(__file__).resolve().parents[2]


def timed(directory: Path, engine: Path, threads: int) -> float:
    best = float("inf")
    for _ in range(3):
        for f in directory.glob("fort.4*"):
            if f.name != "fort.50":
                f.unlink()
        t0 = time.perf_counter()
        proc = subprocess.run([str(engine), "--threads", str(threads)], cwd=directory,
                              capture_output=True, text=True)
        best = min(best, time.perf_counter() - t0)
        if "Normal end" not in proc.stderr:
            raise SystemExit(f"{directory}: the engine stopped: {proc.stderr.strip()}")
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    engine = find_engine()
    with tempfile.TemporaryDirectory() as tmp:
        runs = {}
        for name, example in (("RIXS map + absorption (unreduced)", "nio_rixs"),
                              ("absorption only (unreduced)", "nio_rixs"),
                              ("absorption (Oh-reduced model)", "ni2_oh_charge_transfer")):
            d = Path(tmp) / str(len(runs))
            d.mkdir()
            for f in ("FTN14", "FTN15", "fort.50"):
                shutil.copy(ROOT / "examples" / example / f, d / f)
            if name.startswith("absorption only"):
                text = (d / "fort.50").read_text()
                (d / "fort.50").write_text(re.sub(r"RIXS\n.*?ENDRIXS\n", "", text, flags=re.S))
            runs[name] = timed(d, engine, args.threads)
    for name, seconds in runs.items():
        print(f"{name:38s} {seconds:8.3f} s   ({args.threads} threads)")


if __name__ == "__main__":
    main()
