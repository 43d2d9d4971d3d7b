"""morvex7-fit: fit a model's physical parameters and the line shape to measured spectra."""
from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

from morvex7.background import NORMALISATIONS, STEP_SHAPES
from morvex7.commandfile import ParameterError
from morvex7.engine import EngineError
from morvex7.interrupt import exit_status, signal_name, signals_as_interrupt
from morvex7.fit import (SHAPE_PARAMS, Dataset, FitError, FitParam, fit_again, fit_spectrum,
                         read_spectrum)

EPILOG = """\
a parameter is VALUE[,min=A][,max=B][,fixed]; --param takes NAME[=VALUE,...], and without a
value it starts from the model's value. NAME is a physical name of a builder-made model
(10Dq, Delta, V_eg, kappa, excited.10Dq, ...; python3 -m morvex7.params MODEL lists them)
or an engine name (DEL, XHAM[2,1][8], ...).

model: scale * broadened spectrum(x - shift) + background + slope * (x - middle of the data)
+ step * (S(x - L3) + step_ratio * S(x - L2)); the spectrum is the one morvex7-spectra shows
(model.json's isotropic one, or --polarisation/--temperature), on the photon-energy axis with
--edge-energy (or the model's edge_energy); lorentz and gauss are FWHM. A model built from an
ion (ion = "Ni2+") starts lorentz at its tabulated L3 core-hole width and lorentz_l2, the width
of the L2 lines, at the L2 one, unless --lorentz is given. The shift starts from
the alignment of the strongest features; data that do not overlap the model are refused.

DATA is FILE or FILE:POLARISATION[:KELVIN] (e.g. z.csv:z xy.csv:xy, or hot.csv:iso:300); several
files are fitted jointly: model parameters, widths, shift, scale and step shape shared,
background, slope and step per file (background_2, ... for the second file).

examples:
  morvex7-fit examples/ni2_oh_charge_transfer nio.csv -o fit1 --param 10Dq --param Delta \\
      --param V_eg --edge-energy 852.7 --lorentz 0.3 --normalise max --step 0.1
  morvex7-fit examples/ni2_d4h_dichroism z.csv:z xy.csv:xy -o fit2 --param Ds --param Dt
  morvex7-fit examples/charge_transfer measured.txt -o fit3 --param DEL=3.5,min=1,max=6 \\
      --param 'XHAM[2,1][2]=0.6' --gauss 0.3 --shift 0.2 --slope 0,fixed
  morvex7-fit --again fit1                      # repeat fit1 with its saved settings
  morvex7-fit --again fit1 -o fit1b --workers 2

The data file has two columns (energy, intensity) or three (with standard errors), separated
by blanks or commas. OUT receives fit-report.txt (values, uncertainties, correlations),
fit.json, fit-curve.csv (energy, data, fit, background, residual; fit-curve-2.csv ... for more
files), fit.png (data, fit, background, residual), fitted-model.toml (the description with the
fitted values, for morvex7-ion), fit-settings.json (for --again) and best/ (the engine run at
the best values). Exit status: 0 after a fit, 1 if the engine failed during it, 2 for bad
input (also data that do not overlap the model).
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


def parse_data(text: str) -> tuple[Path, str, float]:
    """FILE[:POLARISATION[:KELVIN]] -> (file, polarisation, temperature)."""
    parts = text.split(":")
    if len(parts) > 3 or not parts[0]:
        raise argparse.ArgumentTypeError(f"{text!r}: expected FILE[:POLARISATION[:KELVIN]]")
    try:
        kelvin = float(parts[2]) if len(parts) == 3 else None
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: {parts[2]!r} is not a temperature") from None
    return Path(parts[0]), (parts[1] if len(parts) > 1 and parts[1] else ""), kelvin


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="morvex7-fit", description="Fit a model's physical parameters, broadening widths, "
        "an energy shift, an intensity scale, a linear background and edge steps to one or "
        "several measured spectra.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", type=Path, nargs="?",
                   help="model directory (fort.50, FTN14, FTN15; model.json if builder-made)")
    p.add_argument("data", type=parse_data, nargs="*", metavar="DATA",
                   help="measured spectrum FILE[:POLARISATION[:KELVIN]] (repeat for a joint fit)")
    p.add_argument("-o", "--out", type=Path, help="output directory")
    p.add_argument("--again", type=Path, metavar="DIR",
                   help="repeat the fit whose output is DIR (into DIR unless -o)")
    p.add_argument("--param", action="append", type=parse_param, default=[],
                   metavar="NAME[=SETTING]", help="a model parameter to fit (repeat)")
    for name in SHAPE_PARAMS:
        p.add_argument(f"--{name.replace('_', '-')}", dest=name, type=parse_setting,
                       metavar="SETTING",
                       help={"lorentz": "Lorentzian FWHM (default: a model built from an ion "
                                        "starts at the tabulated core-hole width of its lower "
                                        "edge, L3, else 0.5; min 0.001)",
                             "lorentz_l2": "Lorentzian FWHM of the upper edge's lines (L2), "
                                           "above the middle of the two edge steps (default: "
                                           "the tabulated L2 width when --lorentz is not given;"
                                           " otherwise one width for all)",
                             "gauss": "Gaussian FWHM (default 0, fixed)",
                             "shift": "energy shift (default: aligns the strongest features)",
                             "scale": "intensity scale (default: from the data's height)",
                             "step": "height of the L3 edge step (default 0, no steps)",
                             "step_ratio": "L2 step over L3 step (default 0.5, i.e. 2:1, fixed)",
                             "step_width": "width of the edge steps (default 0.5, fixed)"}
                       .get(name, "default 0"))
    p.add_argument("--step-shape", choices=STEP_SHAPES, default="atan",
                   help="edge steps as arctangents (default) or error functions")
    p.add_argument("--normalise", choices=NORMALISATIONS, default="none",
                   help="divide each measured spectrum by its maximum or area first")
    p.add_argument("--edge-energy", type=float, metavar="EV",
                   help="photon energy of the model's strongest feature (default: the "
                        "model's edge_energy; none: the model's E - E0 axis)")
    p.add_argument("--polarisation", default="iso",
                   help="model spectrum for files without one (default iso)")
    p.add_argument("--temperature", type=float, default=0.0, metavar="K",
                   help="temperature for files without one (default 0)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--scheduler-file", help="scheduler file written by dask scheduler")
    where.add_argument("--workers", type=int,
                       help="without a scheduler: engine runs side by side on this machine "
                            "(default: one per core)")
    p.add_argument("--engine", help="engine executable on the workers")
    p.add_argument("--triads", type=lambda t: [int(i) for i in t.split(",")],
                   help="plain sum of these triads, e.g. 1,2, instead of model.json's spectrum")
    p.add_argument("--diff-step", type=float, default=1e-3,
                   help="relative difference step of model parameters (default 1e-3)")
    p.add_argument("--max-nfev", type=int, default=200, help="most model evaluations")
    p.add_argument("--no-plot", action="store_true", help="skip fit.png")
    return p


def main(argv: list[str] | None = None) -> int:
    try:
        with signals_as_interrupt():  # SIGTERM too: the scratch runs are removed on the way
            return _main(argv)
    except KeyboardInterrupt as exc:
        print(f"morvex7-fit: stopped by {signal_name(exc)}; no result was written",
              file=sys.stderr)
        return exit_status(exc)


def _main(argv: list[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    cluster = {"scheduler": args.scheduler, "scheduler_file": args.scheduler_file,
               "n_workers": args.workers}
    try:
        if args.again is not None:
            if args.model is not None or args.param:
                parser.error("--again repeats a saved fit: give no model, data or --param")
            result = fit_again(args.again, args.out, **cluster)
        else:
            if args.model is None or not args.data or args.out is None:
                parser.error("give MODEL, DATA and -o OUT (or --again DIR)")
            shape = {}
            for name in SHAPE_PARAMS:
                setting = getattr(args, name)
                if setting is not None:
                    if setting.value is None:
                        print(f"morvex7-fit: --{name.replace('_', '-')} needs a value",
                              file=sys.stderr)
                        return 2
                    shape[name] = setting
                    if name in ("lorentz", "lorentz_l2", "gauss", "step_width") \
                            and setting.min == -math.inf:
                        setting.min = 1e-3 if name != "gauss" else 0.0
            data = [Dataset(read_spectrum(f), pol or args.polarisation,
                            args.temperature if t is None else t, str(f))
                    for f, pol, t in args.data]
            result = fit_spectrum(args.model, data, dict(args.param), shape, out=args.out,
                                  engine=args.engine, triads=args.triads,
                                  diff_step=args.diff_step, max_nfev=args.max_nfev,
                                  plot=not args.no_plot, edge_energy=args.edge_energy,
                                  normalise=args.normalise, step_shape=args.step_shape,
                                  **cluster)
    except (ParameterError, ValueError, FileNotFoundError, OSError) as exc:
        print(f"morvex7-fit: {exc}", file=sys.stderr)
        return 2
    except FitError as exc:
        print(f"morvex7-fit: {exc}", file=sys.stderr)
        return 1 if isinstance(exc.__cause__, EngineError) else 2
    except EngineError as exc:
        print(f"morvex7-fit: {exc}", file=sys.stderr)
        return 1
    print(result.report, end="")
    print(f"results in {result.out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
