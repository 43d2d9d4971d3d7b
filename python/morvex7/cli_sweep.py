"""morvex7-sweep: run a model over a grid or a list of parameter points on Dask."""
from __future__ import annotations

import argparse
import csv
import json
import sys
from pathlib import Path

import numpy as np

from morvex7.commandfile import ParameterError
from morvex7.sweep import SweepError, grid, sweep

EPILOG = """\
parameter names (see docs/sweeps-and-fits.md): physical names of a builder-made model
(10Dq, Delta, V_eg, kappa, ground.zeta_v, ...; python3 -m morvex7.params MODEL lists them) or
engine names: DEL, W, N2, UCV@2 (block 2), XHAM[2,1][2] (factor 2 of the XHAM entry of
side 2, configuration 1), XMIX[1,1,2], XTRAN[1,1], AUGER.GAMMA, AUGER.CI[1], ...

axis values: START:STOP:NUM (NUM evenly spaced values, both ends included) or V1,V2,...

examples:
  morvex7-sweep examples/charge_transfer -o runs/del --grid DEL=1:5:20
  morvex7-sweep examples/ni2_oh_charge_transfer -o runs/dq --grid 10Dq=0.6:1.6:6 --grid Delta=2,4
  morvex7-sweep examples/charge_transfer -o runs/del-w --grid DEL=2,3,4 --grid W=1.5:2.5:3
  morvex7-sweep examples/charge_transfer -o runs/list --points points.csv --workers 4
  morvex7-sweep examples/charge_transfer -o runs/del --grid DEL=1:5:20 \\
      --scheduler tcp://node01:8786

Rerunning the same command skips the points that finished. Each point runs in
OUT/p00000, OUT/p00001, ...; OUT/manifest.csv and OUT/manifest.json list point, directory,
status, wall time, Eg0 and configuration weights. Exit status: 0 when every point ran, 3 when
some failed (recorded in the manifest), 2 for a bad command line or parameter.
"""


def parse_axis(text: str) -> tuple[str, list[float]]:
    """'DEL=1:5:20' or 'DEL=1,2,3' -> (name, values)."""
    if "=" not in text:
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME=VALUES")
    name, values = text.rsplit("=", 1)
    try:
        if ":" in values:
            start, stop, num = values.split(":")
            return name.strip(), [float(v) for v in np.linspace(float(start), float(stop),
                                                                  int(num))]
        return name.strip(), [float(v) for v in values.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r}: values are START:STOP:NUM or V1,V2,...") from None


def read_points(path: Path) -> list[dict[str, float]]:
    """Points from a JSON list of objects or a CSV file with a header of parameter names."""
    text = path.read_text()
    if path.suffix.lower() == ".json":
        return [{k: float(v) for k, v in p.items()} for p in json.loads(text)]
    rows = csv.DictReader(line for line in text.splitlines()
                          if line.strip() and not line.startswith("#"))
    return [{k.strip(): float(v) for k, v in row.items()} for row in rows]


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="morvex7-sweep", description="Run a morvex7 model over a grid or a list of "
        "parameter points, each point in its own directory, on a Dask cluster.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", type=Path, help="model directory (fort.50, FTN14, FTN15)")
    p.add_argument("-o", "--out", type=Path, required=True, help="output root")
    p.add_argument("--grid", action="append", type=parse_axis, default=[], metavar="NAME=VALUES",
                   help="an axis of a cartesian grid (repeat for more axes)")
    p.add_argument("--points", type=Path, help="explicit points: CSV with a header of "
                   "parameter names, or a JSON list of objects")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler, "
                       "e.g. tcp://host:8786")
    where.add_argument("--scheduler-file", help="scheduler file written by dask scheduler")
    where.add_argument("--workers", type=int, help="worker processes of the local cluster "
                       "(default: one per core)")
    p.add_argument("--engine", help="engine executable on the workers (default: MORVEX7, "
                   "PATH, build/morvex7)")
    p.add_argument("--timeout", type=float, help="seconds after which one run is killed")
    p.add_argument("--retry-failed", action="store_true", help="run failed points again")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if bool(args.grid) == bool(args.points):
        print("morvex7-sweep: give --grid axes or --points, not both or neither",
              file=sys.stderr)
        return 2
    points = grid(dict(args.grid)) if args.grid else read_points(args.points)
    try:
        result = sweep(args.model, points, args.out, scheduler=args.scheduler,
                       scheduler_file=args.scheduler_file, n_workers=args.workers,
                       engine=args.engine, timeout=args.timeout,
                       retry_failed=args.retry_failed, progress=not args.quiet)
    except (ParameterError, SweepError, FileNotFoundError) as exc:
        print(f"morvex7-sweep: {exc}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("morvex7-sweep: interrupted; rerun the same command to finish the sweep",
              file=sys.stderr)
        return 130
    for row in result.failed:
        why = row.stop_text or (row.message.splitlines() or [""])[-1]
        print(f"point {row.point} ({row.directory}) {row.status}: {why}", file=sys.stderr)
    print(f"manifest: {result.root / 'manifest.csv'}")
    return 3 if result.failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
