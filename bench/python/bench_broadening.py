"""Time the broadening of 10^5 sticks onto 10^4 grid points for each line shape.

    python3 bench/python/bench_broadening.py [--sticks N] [--points M] [--repeat R]

Prints the best of R timings per shape, and the largest deviation from the exact dense
evaluation on a sample of the grid, relative to the curve's maximum.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

from morvex7.broadening import Broadening, LorentzWidths, broaden_lines  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sticks", type=int, default=100_000)
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    energy = rng.uniform(0.0, 100.0, args.sticks)
    intensity = rng.exponential(1.0, args.sticks)
    x = np.linspace(-5.0, 105.0, args.points)
    sample = x[:: max(1, args.points // 200)]
    shapes = {
        "Lorentzian 0.2": Broadening(lorentz=0.2),
        "Gaussian 0.2": Broadening(gauss=0.2),
        "Voigt 0.2/0.1": Broadening(lorentz=0.2, gauss=0.1),
        "Lorentzian steps 0.2|0.5": Broadening(lorentz=LorentzWidths((0.0, 50.0), (0.2, 0.5))),
        "Voigt ramp 0.2..0.5/0.1": Broadening(
            lorentz=LorentzWidths((0.0, 100.0), (0.2, 0.5), "linear"), gauss=0.1),
    }
    print(f"{args.sticks} sticks on {args.points} points (best of {args.repeat})")
    for name, b in shapes.items():
        best = np.inf
        for _ in range(args.repeat):
            start = time.perf_counter()
            y = broaden_lines(energy, intensity, b, x)
            best = min(best, time.perf_counter() - start)
        exact = broaden_lines(energy, intensity, b, sample, method="dense")
        error = np.max(np.abs(y[:: max(1, args.points // 200)] - exact)) / exact.max()
        print(f"  {name:28s} {best * 1e3:8.1f} ms   deviation from exact {error:.1e}")


if __name__ == "__main__":
    main()
