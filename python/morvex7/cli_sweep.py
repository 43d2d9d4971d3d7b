"""morvex7-sweep: run a model over a grid or a list of parameter points on Dask."""
from __future__ import annotations

import argparse
import csv
import json
import sys
from pathlib import Path

import numpy as np

from morvex7.commandfile import ParameterError, parse_name
from morvex7.interrupt import exit_status, signal_name, signals_as_interrupt
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

Rerunning the same command skips the points that finished; a point stopped by Ctrl-C or a
signal stays pending and runs then. The sweep records digests of the model's files and of the
engine and refuses to resume over a changed one (--restart discards the old points). Each point
runs in OUT/p00000, OUT/p00001, ...; OUT/manifest.csv and OUT/manifest.json list point,
directory, status, wall time, Eg0 and configuration weights. Exit status: 0 when every point
ran, 3 when some failed (recorded in the manifest), 2 for a bad command line, parameter, points
file or output root, 1 when the sweep could not go on (no worker, a file that cannot be
written), 130 when interrupted.
"""


class PointsError(ValueError):
    """A points file that cannot be read."""


def parse_axis(text: str) -> tuple[str, list[float]]:
    """'DEL=1:5:20' or 'DEL=1,2,3' -> (name, values)."""
    if "=" not in text:
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME=VALUES")
    name, values = text.rsplit("=", 1)
    try:
        if ":" in values:
            start, stop, num = values.split(":")
            if int(num) < 1:
                raise ValueError
            out = [float(v) for v in np.linspace(float(start), float(stop), int(num))]
        else:
            out = [float(v) for v in values.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r}: values are START:STOP:NUM (NUM at least 1) or V1,V2,...") from None
    if not out or not all(np.isfinite(out)):
        raise argparse.ArgumentTypeError(f"{text!r}: give finite values")
    return name.strip(), out


def _number(cell: object, where: str) -> float:
    if isinstance(cell, bool) or cell is None:
        raise PointsError(f"{where}: {cell!r} is not a number")
    try:
        x = float(cell)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise PointsError(f"{where}: {str(cell).strip() or 'an empty cell'!r} is not a "
                          "number" if str(cell).strip() else f"{where}: an empty cell") from None
    if not np.isfinite(x):
        raise PointsError(f"{where}: {cell!r} is not a finite number")
    return x


def read_points(path: Path) -> list[dict[str, float]]:
    """Points from a JSON list of objects or a CSV file with a header of parameter names.

    Raises PointsError (naming the file, the line and the cell) on a missing or unreadable
    file, an empty cell, a row with more or fewer cells than the header, or no point at all.
    """
    try:
        text = path.read_text()
    except OSError as exc:
        raise PointsError(f"cannot read the points file {path}: {exc.strerror}") from None
    except UnicodeDecodeError:
        raise PointsError(f"{path} is not a text file") from None
    if path.suffix.lower() == ".json":
        try:
            data = json.loads(text)
        except ValueError as exc:
            raise PointsError(f"{path} is not JSON: {exc}") from None
        if not isinstance(data, list) or not all(isinstance(p, dict) for p in data):
            raise PointsError(f"{path}: expected a JSON list of objects (name -> value)")
        points = [{str(k): _number(v, f"{path}, point {i + 1}, {k}") for k, v in p.items()}
                  for i, p in enumerate(data)]
    else:
        lines = [(n, line) for n, line in enumerate(text.splitlines(), 1)
                 if line.strip() and not line.startswith("#")]
        rows = list(csv.reader(line for _, line in lines))
        if not rows:
            raise PointsError(f"{path} has no header line of parameter names")
        header = [h.strip() for h in rows[0]]
        if not all(header) or len(set(header)) != len(header):
            raise PointsError(f"{path}, line {lines[0][0]}: the header needs one distinct "
                              f"name per column, not {rows[0]}")
        points = []
        for (n, _), row in zip(lines[1:], rows[1:]):
            if len(row) != len(header):
                raise PointsError(f"{path}, line {n}: {len(row)} cells for the {len(header)} "
                                  f"columns of the header ({', '.join(header)})")
            points.append({h: _number(c, f"{path}, line {n}, column {h}")
                           for h, c in zip(header, row)})
    if not points:
        raise PointsError(f"{path} lists no point")
    return points


def _key(name: str) -> object:
    """What a parameter name addresses: engine names that differ only in spelling (DEL and
    del, XHAM[1,2] and XHAM[1,2][1]@1) have one key; a physical name is its own key."""
    try:
        t = parse_name(name)
    except ParameterError:
        return name.strip()
    return (t.block, t.keyword, t.auger, t.index, t.factor)


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
    p.add_argument("--restart", action="store_true", help="discard the points of an earlier "
                   "sweep in OUT (also of a changed model or engine) and run every point")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress display")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if bool(args.grid) == bool(args.points):
        print("morvex7-sweep: give --grid axes or --points, not both or neither",
              file=sys.stderr)
        return 2
    if args.workers is not None and args.workers < 1:
        print(f"morvex7-sweep: --workers {args.workers}: give 1 or more", file=sys.stderr)
        return 2
    names = [name for name, _ in args.grid]
    try:
        dup = [n for n in names if sum(_key(n) == _key(m) for m in names) > 1]
        if dup:
            raise ParameterError(f"--grid names one parameter twice ({', '.join(dup)}); "
                                 "give each axis once")
        points = grid(dict(args.grid)) if args.grid else read_points(args.points)
    except (ParameterError, PointsError) as exc:
        print(f"morvex7-sweep: {exc}", file=sys.stderr)
        return 2
    try:
        with signals_as_interrupt():
            result = sweep(args.model, points, args.out, scheduler=args.scheduler,
                           scheduler_file=args.scheduler_file, n_workers=args.workers,
                           engine=args.engine, timeout=args.timeout,
                           retry_failed=args.retry_failed, restart=args.restart,
                           progress=not args.quiet)
    except SweepError as exc:
        print(f"morvex7-sweep: {exc}", file=sys.stderr)
        return 1 if str(exc).startswith("no worker") else 2
    except (ParameterError, FileNotFoundError, FileExistsError) as exc:
        print(f"morvex7-sweep: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:  # a full disk, an output root that cannot be made or written
        where = f" ({exc.filename})" if exc.filename else ""
        print(f"morvex7-sweep: {exc.strerror or exc}{where}; the points finished so far are "
              "kept, rerun the same command to go on", file=sys.stderr)
        return 1
    except KeyboardInterrupt as exc:
        print(f"morvex7-sweep: stopped by {signal_name(exc)}; rerun the same command to "
              "finish the sweep", file=sys.stderr)
        return exit_status(exc)
    for row in result.failed:
        why = row.stop_text or (row.message.splitlines() or [""])[-1]
        print(f"point {row.point} ({row.directory}) {row.status}: {why}", file=sys.stderr)
    print(f"manifest: {result.root / 'manifest.csv'}")
    return 3 if result.failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
