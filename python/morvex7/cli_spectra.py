"""`morvex7-spectra` (also `python3 -m morvex7`): look at the spectra of finished runs.

Subcommands: ``info`` summarises a run, ``csv`` writes its spectra as CSV files, ``plot`` draws
them. Which sticks a command uses is decided in one place, `select_sticks`, so that options
choosing or weighting the sticks need only extend `add_selection_options` and that function.
"""
from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
import textwrap
import warnings
from pathlib import Path
from typing import Sequence

import numpy as np

from morvex7.broadening import Broadening, Grid, LorentzWidths, broaden
from morvex7.export import write_auger_map, write_curve, write_sticks, write_table, write_yield
from morvex7.plots import (check_suffix, legend_labels, plot_auger_map, plot_dichroism, plot_overlay,
                           plot_spectrum, plot_yield, view_of_lines)
from morvex7.textchart import text_chart

PROG = "morvex7-spectra"
DEFAULT_LORENTZ = 0.2

EXAMPLES = f"""\
examples:
  {PROG} info build/runs/charge_transfer
      triads, Eg0, degeneracy, configuration weights, number of lines
  {PROG} plot build/runs/charge_transfer
  {PROG} plot build/runs/charge_transfer --text      (also drawn in the terminal)
      broadened spectrum with its sticks: build/runs/charge_transfer/spectrum.png
  {PROG} plot RUN --lorentz 0.3 --gauss 0.15 --out fig.pdf
      Voigt profile, as PDF
  {PROG} plot RUN --widths widths.txt --grid=-5:10:0.01
      Lorentzian widths by energy, on a grid of your own
  {PROG} plot RUN1 RUN2 RUN3 --out compare.svg
      several runs overlaid, the legend naming the parameters that differ
  {PROG} csv RUN --lorentz 0.3 --out results/
      sticks, broadened curve (and Auger yield and map) as CSV files
  {PROG} plot ION_RUN --polarisation z
      a builder-made run (model.json): the spectrum for light E parallel to z
  {PROG} plot ION_RUN --photon-energy --temperature 300
      on photon energies (the model's edge_energy) at 300 K; --edge-energy 852.7 to choose
  {PROG} plot ION_RUN --dichroism --out ld.png
      the E perpendicular (xy) and E parallel (z) spectra and their difference xy - z
  {PROG} plot ION_RUN --xmcd --temperature 10 --out xmcd.png
      a model with a field (B, H_ex): sigma+ and sigma- spectra and XMCD = sigma+ - sigma-
  {PROG} csv ION_RUN --xmcd --temperature 10
      the same as CSV (xmcd.csv: energy, sigma+, sigma-, xmcd; the sign convention in its header)
  {PROG} plot RIXS_RUN --rixs --lorentz 0.1 --cut -4.0 --cut -2.5
      RIXS maps (fort.47) with cuts at two incident energies: RIXS_RUN/rixs_map_1.png ...
  python3 -m morvex7 plot RUN --absolute
      the same command; absolute excited-state energies instead of E - Eg0

Widths are full widths at half maximum in the energy unit of the run (eV by convention).
Without --lorentz, --gauss or --widths, a Lorentzian FWHM of {DEFAULT_LORENTZ} is used.
A --widths file holds 'ENERGY FWHM' lines (Lorentzian FWHM from that energy up; '#' comments);
a line 'linear' makes the width vary linearly between the points instead of in steps. Its
energies are those plotted: E - Eg0, or absolute ones with --absolute.
A grid starting below zero is written with '=': --grid=-5:10:0.01.
The image format follows the suffix of --out: .png, .svg or .pdf.
"""


class UserError(Exception):
    """A problem with the user's input: reported in one line, without traceback."""


def _user_errors() -> tuple[type[BaseException], ...]:
    errors: list[type[BaseException]] = [UserError, OSError, ValueError, MemoryError]
    try:
        from morvex7 import readers
    except ImportError:
        return tuple(errors)
    for name in dir(readers):
        obj = getattr(readers, name)
        if isinstance(obj, type) and issubclass(obj, Exception) and obj.__module__ == readers.__name__:
            errors.append(obj)
    return tuple(errors)


# ----------------------------------------------------------------------------- options


def add_selection_options(parser: argparse.ArgumentParser) -> None:
    """Options choosing which sticks make the spectrum (see `select_sticks`)."""
    group = parser.add_argument_group("which lines")
    group.add_argument("--triad", type=int, action="append", metavar="N",
                       help="use triad N only (1-based, as `info` numbers them; repeatable); "
                            "default: all triads, summed")
    group.add_argument("--absolute", action="store_true",
                       help="absolute excited-state energies instead of E - Eg0")
    ion = parser.add_argument_group("builder-made runs (a model.json beside the results)")
    ion.add_argument("--isotropic", dest="isotropic", action="store_true", default=None,
                     help="combine the triads into the isotropic spectrum as model.json says "
                          "(the default when model.json exists)")
    ion.add_argument("--no-isotropic", dest="isotropic", action="store_false",
                     help="plain sum of the triads, each divided by its degeneracy")
    ion.add_argument("--temperature", type=float, default=0.0, metavar="K",
                     help="weight the initial states by their Boltzmann factors at K kelvin "
                          "(those within the model's window; default 0)")
    ion.add_argument("--polarisation", default="iso", metavar="P",
                     help="spectrum of model.json to combine: iso (default), z (E parallel to z), "
                          "xy (E along x); with a field also sigma+ and sigma- (circular light "
                          "of helicity +1 and -1 about +z)")
    ion.add_argument("--photon-energy", action="store_true",
                     help="photon-energy axis: the strongest feature at the model's "
                          "edge_energy (model.json)")
    ion.add_argument("--edge-energy", type=float, metavar="EV",
                     help="photon-energy axis with the strongest feature at EV")


def add_broadening_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("broadening")
    group.add_argument("--lorentz", type=float, metavar="FWHM",
                       help="Lorentzian full width at half maximum")
    group.add_argument("--gauss", type=float, metavar="FWHM",
                       help="Gaussian full width at half maximum (with --lorentz: Voigt)")
    group.add_argument("--widths", type=Path, metavar="FILE",
                       help="energy-dependent Lorentzian widths from FILE (instead of --lorentz)")
    group.add_argument("--grid", metavar="START:STOP:STEP",
                       help="energy grid; default: from the lines and widths")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Spectra of finished morvex7 runs: summary, CSV files, plots.",
        epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = sub.add_parser("info", help="triads, Eg0, degeneracy, weights, number of lines",
                          epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    info.add_argument("dirs", nargs="+", type=Path, metavar="DIR", help="run directory")

    csv = sub.add_parser("csv", help="write sticks, broadened curve, yield and Auger map as CSV",
                         epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    csv.add_argument("dirs", nargs="+", type=Path, metavar="DIR", help="run directory")
    csv.add_argument("--out", type=Path, metavar="DIR",
                     help="directory for the CSV files (default: each run's own)")
    add_selection_options(csv)
    add_broadening_options(csv)
    add_dichroism_options(csv, "also write")

    plot = sub.add_parser("plot", help="plot the broadened spectrum (several runs: overlaid)",
                          epilog=EXAMPLES, formatter_class=argparse.RawDescriptionHelpFormatter)
    plot.add_argument("dirs", nargs="+", type=Path, metavar="DIR", help="run directory")
    plot.add_argument("--out", type=Path, metavar="FILE",
                      help="image file, .png/.svg/.pdf (default: DIR/spectrum.png for one run, "
                           "spectra.png here for several)")
    add_selection_options(plot)
    add_broadening_options(plot)
    plot.add_argument("--text", action="store_true",
                      help="also draw the spectrum in the terminal, with characters")
    add_dichroism_options(plot, "draw")
    plot.add_argument("--rixs", action="store_true",
                      help="draw the run's RIXS maps (fort.47): energy loss x incident energy, "
                           "broadened along the loss by --lorentz/--gauss (the final-state width)")
    for p in (plot, csv):
        p.add_argument("--cut", type=float, action="append", metavar="E",
                       help="RIXS: also the spectrum at incident energy E (the nearest of the "
                            "grid; repeatable)")
    return parser


#: the two spectra of each dichroism, their names on a plot and what the difference means
DICHROISM = {
    "dichroism": (("xy", "z"), ("E \u22a5 z (xy)", "E \u2225 z (z)"), "xy - z",
                  "linear dichroism (XMLD in a field) = xy - z: E along x minus E along z"),
    "xmcd": (("sigma+", "sigma-"), ("\u03c3+", "\u03c3\u2212"), "XMCD = \u03c3+ \u2212 \u03c3\u2212",
             "XMCD = sigma+ - sigma-: sigma+ is circular light of helicity +1 about +z (photon "
             "angular momentum +hbar along +z, dipole component q = +1); the field B > 0 "
             "points along +z"),
}


def add_dichroism_options(parser: argparse.ArgumentParser, verb: str) -> None:
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--dichroism", action="store_true",
                      help=f"builder-made run: {verb} the E perpendicular (xy) and E parallel (z) "
                           "spectra and their difference xy - z (XMLD in a field)")
    mode.add_argument("--xmcd", action="store_true",
                      help=f"builder-made run with a field: {verb} the sigma+ and sigma- spectra "
                           "and XMCD = sigma+ - sigma- (helicity about +z)")


# ----------------------------------------------------------------------------- steps


def load_run(directory: Path):
    """The finished run in `directory`."""
    from morvex7.results import Run

    if not directory.is_dir():
        raise UserError(f"{directory}: no such run directory")
    if not (directory / "fort.44").is_file():
        raise UserError(f"{directory}: not a morvex7 result directory (it has no fort.44)")
    return Run.load(directory)


def model_combination(run, args: argparse.Namespace) -> bool:
    """Whether the triads combine as the run's model.json says (--isotropic)."""
    has_model = (Path(run.directory) / "model.json").is_file()
    wanted = getattr(args, "isotropic", None)
    if wanted and not has_model:
        raise UserError(f"{run.directory}: --isotropic needs the model.json of a builder-made "
                        "directory")
    if not has_model or wanted is False:
        if getattr(args, "temperature", 0.0) or getattr(args, "polarisation", "iso") != "iso":
            raise UserError("--temperature and --polarisation need the isotropic combination "
                            "of a builder-made directory")
        return False
    return not args.triad


def select_sticks(run, args: argparse.Namespace):
    """The stick spectrum the options ask for: chosen triads, relative or absolute energies,
    or on the photon-energy axis."""
    sticks = _selected_sticks(run, args)
    edge = getattr(args, "edge_energy", None)
    if edge is None and getattr(args, "photon_energy", False):
        path = Path(run.directory) / "model.json"
        edge = json.loads(path.read_text()).get("edge_energy") if path.is_file() else None
        if edge is None:
            raise UserError(f"{run.directory}: --photon-energy needs a model with an edge "
                            "energy (edge_energy or ion = in its description); or give "
                            "--edge-energy EV")
    if edge is None:
        return sticks
    if getattr(args, "absolute", False):
        raise UserError("--absolute and the photon-energy axis exclude each other")
    if not len(sticks.energy):
        return sticks
    from morvex7.fit import strongest_feature

    offset = float(edge) - strongest_feature(sticks.energy, sticks.intensity,
                                             getattr(args, "lorentz", None) or 0.3)
    meta = {**(sticks.meta or {}), "photon_energy": True, "edge_energy": float(edge),
            "offset": offset}
    return dataclasses.replace(sticks, energy=sticks.energy + offset, meta=meta)


def _selected_sticks(run, args: argparse.Namespace):
    if model_combination(run, args):
        from morvex7.ion.spectra import combined_sticks

        sticks = combined_sticks(run, polarisation=args.polarisation,
                                 temperature=args.temperature, absolute=args.absolute)
        meta = dict(sticks.meta or {})
        meta["source"] = str(run.directory)
        return dataclasses.replace(sticks, meta=meta)
    triads = None
    if args.triad:
        count = len(run.triads)
        for n in args.triad:
            if not 1 <= n <= count:
                raise UserError(f"{run.directory}: no triad {n} (the run has {count})")
        triads = list(args.triad)
    sticks = run.sticks(triads=triads, absolute=args.absolute)
    meta = dict(sticks.meta or {})
    meta.setdefault("absolute", bool(args.absolute))
    meta.setdefault("source", str(run.directory))
    return dataclasses.replace(sticks, meta=meta)


def broadening_from(args: argparse.Namespace) -> Broadening:
    if args.widths is not None and args.lorentz is not None:
        raise UserError("give either --lorentz or --widths, not both")
    gauss = args.gauss or 0.0
    if args.widths is not None:
        lorentz: float | LorentzWidths = LorentzWidths.read(args.widths)
    elif args.lorentz is None and args.gauss is None:
        lorentz = DEFAULT_LORENTZ
    else:
        lorentz = args.lorentz or 0.0
    return Broadening(lorentz=lorentz, gauss=gauss)


def grid_from(args: argparse.Namespace) -> Grid | None:
    return Grid.parse(args.grid) if args.grid else None


def auger_triads(run) -> list:
    return [t for t in run.triads if getattr(t, "auger", None) is not None]


def triad_meta(run, triad) -> dict:
    """Provenance of one Auger triad's yield and map: labels, block parameters, Eg0, degeneracy."""
    return dict(triad.provenance(), source=str(run.directory))


# ----------------------------------------------------------------------------- commands


def cmd_info(args: argparse.Namespace) -> int:
    for directory in args.dirs:
        run = load_run(directory)
        status = "" if run.finished else (
            f"; incomplete, the run stopped early ({' '.join((run.stop_text or '').split())})")
        print(f"run {run.directory}: {len(run.blocks)} block(s), {len(run.triads)} triad(s)"
              + status)
        for block in run.blocks:
            params = " ".join(f"{k}={_short(v)}" for k, v in dict(block.params).items())
            print(textwrap.fill(params, width=100, initial_indent=f"  block {block.number}: ",
                                subsequent_indent="      "))
            for triad in block.triads:
                print("    " + describe_triad(triad))
    return 0


def _short(value) -> str:
    if isinstance(value, float):
        return f"{value:g}"
    if isinstance(value, (list, tuple)):
        return ",".join(_short(v) for v in value)
    return str(value)


def describe_triad(triad) -> str:
    g = triad.ground
    weights = " ".join(f"{w:.5f}" for w in g.weights)
    sticks = triad.sticks()
    total = float(np.nansum(sticks.intensity)) if np.size(sticks.intensity) else 0.0
    text = (f"triad {triad.index} ({' '.join(triad.labels)}): Eg0 {g.eg0:.10g}, "
            f"degeneracy {g.ndeg}, weights {weights}, {np.size(sticks.energy)} lines, "
            f"sum of intensities {total:.6g}")
    if getattr(triad, "auger", None) is not None:
        omega = np.asarray(triad.auger.photon_energies, float)
        if omega.size:
            text += (f"; Auger: {omega.size} photon energies {omega[0]:g} .. {omega[-1]:g}")
    return text


def cmd_csv(args: argparse.Namespace) -> int:
    broadening, grid = broadening_from(args), grid_from(args)
    if args.out is not None:
        args.out.mkdir(parents=True, exist_ok=True)
    for directory in args.dirs:
        run = load_run(directory)
        out = args.out if args.out is not None else run.directory
        prefix = f"{Path(run.directory).name}_" if args.out is not None and len(args.dirs) > 1 else ""
        sticks = select_sticks(run, args)
        written = [write_sticks(out / f"{prefix}sticks.csv", sticks)]
        if np.size(sticks.energy):
            curve = broaden(sticks, broadening, grid)
            written.append(write_curve(out / f"{prefix}spectrum.csv", curve))
        kind = dichroism_kind(args)
        if kind:
            (a, b), lines = dichroism_curves(run, args, broadening, grid, kind)
            names = DICHROISM[kind][0]
            meta = {k: v for k, v in (a.meta or {}).items()
                    if k not in ("parts", "weights", "kind", "polarisation")}
            meta["title"] = str(meta.get("title", "")).rsplit(" (", 1)[0]
            meta["convention"] = DICHROISM[kind][3]
            written.append(write_table(
                out / f"{prefix}{kind}.csv", f"morvex7 {kind}: two polarisations and their "
                f"difference (intensity per unit energy)", meta,
                [("energy", a.energy), (names[0], a.intensity), (names[1], b.intensity),
                 (kind if kind == "xmcd" else "xy-z", a.intensity - b.intensity)]))
        for triad in auger_triads(run):
            meta = triad_meta(run, triad)
            tag = f"{prefix}triad{triad.index}"
            written.append(write_yield(out / f"{tag}_yield.csv", triad.auger, meta))
            written.append(write_auger_map(out / f"{tag}_auger_map.csv", triad.auger, meta))
        if run.rixs:
            from morvex7.cli_rixs import write_rixs_csv

            written += write_rixs_csv(run, out, prefix, broadening, args.cut or [])
        for path in written:
            print(path)
    return 0


def cmd_plot(args: argparse.Namespace) -> int:
    broadening, grid = broadening_from(args), grid_from(args)
    runs = [load_run(d) for d in args.dirs]
    if args.out is None:
        out = Path(runs[0].directory) / "spectrum.png" if len(runs) == 1 else Path("spectra.png")
    else:
        out = args.out
    check_suffix(out)                         # before the work, not after it
    kind = dichroism_kind(args)
    if kind:
        return plot_two_polarisations(runs, out, args, broadening, grid, kind)
    if args.rixs:
        from morvex7.cli_rixs import plot_rixs

        for path in plot_rixs(runs, args.out, broadening, args.cut or []):
            print(path)
        return 0
    sticks = [select_sticks(run, args) for run in runs]
    with_lines = [(run, s) for run, s in zip(runs, sticks) if np.size(s.energy)]
    written = []
    if len(runs) == 1:
        run, s = runs[0], sticks[0]
        if with_lines:
            curve = broaden(s, broadening, grid)
            written.append(plot_spectrum(out, curve, s))
            if args.text:  # the picture's energy range, around the lines
                lo, hi = view_of_lines(s.energy, curve.broadening) or (-np.inf, np.inf)
                near = (curve.energy >= lo) & (curve.energy <= hi)
                print(text_chart(curve.energy[near], curve.intensity[near]))
        for triad in auger_triads(run):
            meta = triad_meta(run, triad)
            tag = "" if len(auger_triads(run)) == 1 else f"_triad{triad.index}"
            stem = out.with_name(out.stem + tag)
            written.append(plot_yield(stem.with_name(stem.name + "_yield" + out.suffix),
                                      triad.auger, meta))
            written.append(plot_auger_map(stem.with_name(stem.name + "_auger_map" + out.suffix),
                                          triad.auger, broadening, meta))
        if not written:
            raise UserError(f"{run.directory}: no lines and no Auger spectra to plot")
    else:
        if len(with_lines) < len(runs):
            empty = [str(r.directory) for r, s in zip(runs, sticks) if not np.size(s.energy)]
            raise UserError(f"no lines to plot in {', '.join(empty)}")
        curves = [broaden(s, broadening, grid) for s in sticks]
        labels = legend_labels([s.meta for s in sticks], [str(r.directory) for r in runs])
        written.append(plot_overlay(out, curves, labels, sticks))
    for path in written:
        print(path)
    return 0


def _one_line(err: BaseException) -> str:
    """The error as one line: for a file that cannot be read or written, its name and why."""
    if isinstance(err, OSError) and err.filename is not None and err.strerror:
        return f"{err.filename}: {err.strerror}"
    if isinstance(err, MemoryError):
        return f"not enough memory ({err or 'the problem is too large'}); try a coarser grid"
    return " ".join(str(err).split())


def _one_line_warning(message, category, filename, lineno, line=None) -> str:
    return f"{PROG}: warning: {message}\n"


def dichroism_kind(args: argparse.Namespace) -> str | None:
    """"xmcd", "dichroism" or None, as the options ask."""
    if getattr(args, "xmcd", False):
        return "xmcd"
    return "dichroism" if getattr(args, "dichroism", False) else None


def dichroism_curves(run, args: argparse.Namespace, broadening, grid, kind: str):
    """The two spectra of a dichroism of one builder-made run, broadened on one grid (so that
    the difference is taken point by point), and the energies of their lines."""
    if args.triad or args.isotropic is False or not (Path(run.directory) / "model.json").is_file():
        raise UserError(f"{run.directory}: --{kind} combines all triads of a builder-made "
                        "directory (with its model.json)")
    pols = DICHROISM[kind][0]
    sticks = [select_sticks(run, argparse.Namespace(**{**vars(args), "polarisation": p}))
              for p in pols]
    lines = np.concatenate([s.energy for s in sticks])
    if not lines.size:
        raise UserError(f"{run.directory}: no lines to plot")
    if grid is None:
        grid = Grid.auto(lines, broadening)
    return tuple(broaden(s, broadening, grid) for s in sticks), lines


def plot_two_polarisations(runs, out: Path, args: argparse.Namespace, broadening, grid,
                           kind: str) -> int:
    """`plot --dichroism` / `plot --xmcd`: two spectra of one run and their difference."""
    if len(runs) != 1:
        raise UserError(f"--{kind} plots one run at a time")
    (a, b), lines = dichroism_curves(runs[0], args, broadening, grid, kind)
    _, labels, difference, _ = DICHROISM[kind]
    print(plot_dichroism(out, a, b, lines, labels=labels, difference=difference))
    return 0


COMMANDS = {"info": cmd_info, "csv": cmd_csv, "plot": cmd_plot}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (0 fine, 1 bad input, 2 bad usage)."""
    args = build_parser().parse_args(argv)
    shown, warnings.formatwarning = warnings.formatwarning, _one_line_warning
    try:
        return COMMANDS[args.command](args)
    except BrokenPipeError:
        # The reader of standard output has gone (`morvex7-spectra info RUN | head`): not an
        # error of the run; end quietly with the shell's status for SIGPIPE, as the engine does.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141
    except _user_errors() as err:
        print(f"{PROG}: error: {_one_line(err)}", file=sys.stderr)
        return 1
    finally:
        warnings.formatwarning = shown


if __name__ == "__main__":
    raise SystemExit(main())
