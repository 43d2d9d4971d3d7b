"""morvex7-fit: fit engine parameters and the line shape to a measured spectrum."""
from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

from morvex7.commandfile import ParameterError
from morvex7.engine import EngineError
from morvex7.fit import SHAPE_PARAMS, FitError, FitParam, fit_spectrum

EPILOG = """\
a parameter is VALUE[,min=A][,max=B][,fixed]; --param takes NAME[=VALUE,...], and without a
value the engine parameter starts from the command file's value.

model: scale * broadened sticks(x - shift) + background + slope * (x - middle of the data),
sticks relative to the ground state; lorentz and gauss are FWHM.

examples:
  morvex7-fit examples/charge_transfer measured.txt -o fit1 --param DEL --lorentz 0.4
  morvex7-fit examples/charge_transfer measured.csv -o fit2 --param DEL=3.5,min=1,max=6 \\
      --param 'XHAM[2,1][2]=0.6' --gauss 0.3 --shift 0.2 --slope 0,fixed
  morvex7-fit examples/charge_transfer measured.txt -o fit3 --param DEL \\
      --scheduler tcp://node01:8786

The data file has two columns (energy, intensity) or three (with standard errors), separated
by blanks or commas. OUT receives fit-report.txt (values, uncertainties, correlations),
fit.json, fit-curve.csv, fit.png (data, fit, residual) and best/ (the engine run at the best
values). Exit status: 0 after a fit, 1 if the engine failed during it, 2 for bad input.
"""


def parse_setting(text: str) -> FitParam:
    """'0.4,min=0,max=2,fixed' -> FitParam; an empty value means 'from the command file'."""
    setting = FitParam()
    for i, part in enumerate(p.strip() for p in text.split(",")):
        if not part:
            continue
        key, _, val = part.partition("=")
        try:
            if part == "fixed":
                setting.vary = False
            elif key in ("min", "max") and val:
                setattr(setting, key, float(val))
            elif i == 0 and not _:
                setting.value = float(part)
            else:
                raise ValueError
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{text!r}: expected VALUE[,min=A][,max=B][,fixed]") from None
    if setting.value is not None and not setting.min < setting.value < setting.max:
        raise argparse.ArgumentTypeError(
            f"{text!r}: the start value must lie strictly inside its bounds")
    return setting


def parse_param(text: str) -> tuple[str, FitParam]:
    name, _, rest = text.partition("=")
    if not name.strip():
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME[=VALUE,...]")
    return name.strip(), parse_setting(rest)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="morvex7-fit", description="Fit engine parameters, broadening widths, an energy "
        "shift, an intensity scale and a linear background to a measured spectrum.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", type=Path, help="model directory (fort.50, FTN14, FTN15)")
    p.add_argument("data", type=Path, help="measured spectrum: energy, intensity[, error]")
    p.add_argument("-o", "--out", type=Path, required=True, help="output directory")
    p.add_argument("--param", action="append", type=parse_param, default=[],
                   metavar="NAME[=SETTING]", help="an engine parameter to fit (repeat)")
    for name in SHAPE_PARAMS:
        p.add_argument(f"--{name}", type=parse_setting, metavar="SETTING",
                       help={"lorentz": "Lorentzian FWHM (default 0.5, min 0.001)",
                             "gauss": "Gaussian FWHM (default 0, fixed)",
                             "scale": "intensity scale (default: from the data's height)"}
                       .get(name, "default 0"))
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--scheduler-file", help="scheduler file written by dask scheduler")
    where.add_argument("--workers", type=int, help="worker processes of the local cluster")
    p.add_argument("--engine", help="engine executable on the workers")
    p.add_argument("--triads", type=lambda t: [int(i) for i in t.split(",")],
                   help="triads whose sticks make the spectrum, e.g. 1,2 (default all)")
    p.add_argument("--diff-step", type=float, default=1e-3,
                   help="relative difference step of engine parameters (default 1e-3)")
    p.add_argument("--max-nfev", type=int, default=200, help="most model evaluations")
    p.add_argument("--no-plot", action="store_true", help="skip fit.png")
    return p


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    shape = {}
    for name in SHAPE_PARAMS:
        setting = getattr(args, name)
        if setting is not None:
            if setting.value is None:
                print(f"morvex7-fit: --{name} needs a value", file=sys.stderr)
                return 2
            shape[name] = setting
            if name in ("lorentz", "gauss") and setting.min == -math.inf:
                setting.min = 1e-3 if name == "lorentz" else 0.0
    try:
        result = fit_spectrum(args.model, args.data, dict(args.param), shape, out=args.out,
                              scheduler=args.scheduler, scheduler_file=args.scheduler_file,
                              n_workers=args.workers, engine=args.engine,
                              triads=args.triads,
                              diff_step=args.diff_step, max_nfev=args.max_nfev,
                              plot=not args.no_plot)
    except (ParameterError, ValueError, FileNotFoundError) as exc:
        print(f"morvex7-fit: {exc}", file=sys.stderr)
        return 2
    except (FitError, EngineError) as exc:
        print(f"morvex7-fit: {exc}", file=sys.stderr)
        return 1
    print(result.report, end="")
    print(f"results in {result.out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
