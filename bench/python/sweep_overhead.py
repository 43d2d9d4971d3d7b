"""Overhead of a sweep beyond its engine runs: 100 points of a ~0.1 s model on 2 workers.

    python3 bench/python/sweep_overhead.py [--points N] [--workers W] [--n2 14 --n3 8]

The model is examples/fine_band with N2/N3 raised so that one run takes about 0.1 s, swept over
DEL. The ideal sweep time is the sum of the engine's wall times divided by the number of
workers; the overhead is how much longer the sweep took (directories, copies, command-file
edits, reading the results, the manifest, Dask), without and with the cluster's start-up.
The engine is found as usual (MORVEX7, PATH, build/morvex7).
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

from morvex7.engine import REPO_ROOT, find_engine  # noqa: E402
from morvex7.sweep import dask_client, sweep  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--n2", type=int, default=14)
    parser.add_argument("--n3", type=int, default=8)
    args = parser.parse_args()
    model = REPO_ROOT / "examples" / "fine_band"
    points = [{"N2": args.n2, "N3": args.n3, "DEL": float(d)}
              for d in np.linspace(2.0, 4.0, args.points)]
    engine = find_engine()
    with tempfile.TemporaryDirectory(prefix="sweep-bench-") as tmp:
        t0 = time.perf_counter()
        with dask_client(n_workers=args.workers) as client:
            started = time.perf_counter()
            result = sweep(model, points, Path(tmp) / "out", client=client, engine=engine,
                           progress=False)
            swept = time.perf_counter()
        closed = time.perf_counter()
    runs = [p.wall_time for p in result.points]
    ideal = sum(runs) / args.workers
    sweep_time = swept - started
    total = closed - t0
    print(f"{len(runs)} points on {args.workers} workers, {len(result.failed)} failed")
    print(f"engine run wall time: mean {np.mean(runs):.3f} s, min {min(runs):.3f} s, "
          f"max {max(runs):.3f} s")
    print(f"ideal (sum of runs / workers): {ideal:.2f} s")
    print(f"sweep: {sweep_time:.2f} s -> overhead {100 * (sweep_time / ideal - 1):.1f} %")
    print(f"cluster start {started - t0:.2f} s, stop {closed - swept:.2f} s")
    print(f"with cluster start and stop: {total:.2f} s -> overhead "
          f"{100 * (total / ideal - 1):.1f} %")
    print(f"load average during the run: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
