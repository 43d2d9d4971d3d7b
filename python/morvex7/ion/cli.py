"""morvex7-ion: build a model directory (FTN14, FTN15, fort.50, model.json) from a model
description, and optionally run the engine there."""
from __future__ import annotations

import argparse
import json
import re
import subprocess
import sys
import time
from pathlib import Path
from typing import Sequence

from morvex7.store import STORE_FILE, is_binary_model

from .build import DEFAULT_CELLS, STORE_FORMS, build, model_symmetry, write_model
from .estimate import ENGINE_MAX_CELLS, TEXT_STORE_LIMIT, estimate
from .fields import has_field
from .model import BASES, IonModel, load_description
from .outdir import BUILT_FILES, check_output, remove_stale
from .spool import BlockSpool

#: Models estimated to need more than this (builder or engine memory) get their estimate printed
#: before the build starts.
LARGE_BYTES = 500e6
#: ... and so do models whose FTN14 is estimated to exceed this (bytes): they take a while.
LARGE_FTN14 = 20e6
#: Engine CPU seconds past which the estimate is shown too
LONG_RUN = 60.0

EXAMPLES = """\
examples:
  morvex7-ion nio.toml -o nio              # build the directory nio/
  morvex7-ion nio.toml -o nio --run        # ... and run morvex7 in it
  morvex7-ion mno.toml -o mno --force      # build although the size estimate is too large
  morvex7-ion nio2.toml -o nio --force     # replace the model in nio/ (old results removed)
  morvex7-ion nio.toml -o nio --window 0.1 # triads for every ground symmetry within 0.1 eV
  morvex7-ion mno.toml -o mno --store text # coefficient blocks as text even for a large model
  morvex7-ion cr3.toml -o cr3 --krylov 0   # exact spectra even for large core-hole symmetries
  morvex7-ion mno --store binary           # convert the built model mno/ to the binary store
  morvex7-ion cr3.toml -o cr3 --basis paired  # classes of Jz, one of each pair m, -m
  morvex7-ion cr3.toml -o cr3 --basis determinants  # every class of Jz: B can be set in a run
  morvex7-spectra plot nio                 # isotropic spectrum (model.json is used)
  morvex7-spectra plot nio --temperature 300

The description format is explained in docs/ion-models.md.
"""


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="morvex7-ion", description=__doc__, epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("description", type=Path,
                   help="model description (.toml or .json), or a built model directory to "
                        "convert with --store")
    p.add_argument("-o", "--out", type=Path, metavar="DIR",
                   help="directory to write (default: the description's name without suffix)")
    p.add_argument("--window", type=float, metavar="EV",
                   help="triads for every ground symmetry within EV of the ground state "
                        "(overrides the description's [triads] window)")
    p.add_argument("--all-ground", action="store_true", help="triads for every ground symmetry")
    p.add_argument("--krylov", type=int, metavar="STEPS",
                   help="Lanczos steps for the spectra of core-hole symmetries of more states "
                        "than that; 0: every spectrum exact (default: 500 steps above 3000 "
                        "states; overrides the description's [triads] krylov)")
    p.add_argument("--basis", choices=BASES,
                   help="states the model is built in: 'adapted' (the point group's irreps), "
                        "'determinants' (each class of Jz, as in a field; sparse blocks), "
                        "'paired' (those at zero field, one class of each pair m, -m: half the "
                        "core-hole side) or 'auto' (default: paired for large D4h "
                        "charge-transfer models; overrides the description's basis)")
    p.add_argument("--run", action="store_true",
                   help="run morvex7 in the directory afterwards, with the work array the model "
                        "needs")
    p.add_argument("--force", action="store_true",
                   help="override the builder's refusals: build even a model whose size "
                        "estimate exceeds the machine, and write into a directory that already "
                        "holds a model or results (the model files are replaced, the results of "
                        "the earlier run removed; other files stay)")
    p.add_argument("--store", choices=STORE_FORMS, default="auto",
                   help="form of the coefficient blocks: 'text' (FTN14), 'binary' (the "
                        "engine's store FTN99 beside a stub FTN14, faster to write and to load) "
                        "or 'auto' (default: binary when the text would exceed "
                        f"{TEXT_STORE_LIMIT / 1e6:g} MB). Given a built model directory in "
                        "place of a description, converts it to that form")
    return p


def run_engine(out: Path, cells: int | None = None, quiet: bool = False) -> int:
    """Run morvex7 in ``out`` with a work array of at least ``cells`` cells (default: what
    the directory's model needs) and keep its log; returns 0 on a normal end.

    Should the engine still stop for want of work array, it is run once more with the size it
    names."""
    from morvex7.engine import EngineNotFound, find_engine

    try:
        engine = find_engine()
    except EngineNotFound as exc:
        print(f"morvex7-ion: {exc}", file=sys.stderr)
        return 1
    cells = max(cells or work_array_of(out), DEFAULT_CELLS)
    for _ in range(2):
        cmd = [str(engine)] + ([] if cells == DEFAULT_CELLS else ["--work-array", str(cells)])
        proc = subprocess.run(cmd, cwd=out, capture_output=True, text=True)
        (out / "log.txt").write_text(proc.stdout)
        (out / "stop.txt").write_text(proc.stderr)
        needed = re.search(r"run with --work-array (\d+)", proc.stderr)
        if needed is None or int(needed.group(1)) > ENGINE_MAX_CELLS:
            break
        cells = int(int(needed.group(1)) * 1.2)
    if not quiet:
        print(proc.stderr.strip())
    if "Normal end" not in proc.stderr:
        print(f"morvex7-ion: the engine stopped early, see {out / 'log.txt'}", file=sys.stderr)
        return 1
    from morvex7.runner import missing_result

    command_file = out / "fort.50"
    problem = missing_result(command_file.read_text(errors="replace"), out) \
        if command_file.is_file() else ""
    if problem:
        print(f"morvex7-ion: the engine ended normally, but {problem}; see {out / 'log.txt'}",
              file=sys.stderr)
        return 1
    return 0


def work_array_of(out: Path) -> int:
    """The work array written into the directory's model.json (0 when there is none)."""
    try:
        return int(json.loads((out / "model.json").read_text()).get("work_array", 0))
    except (OSError, ValueError, AttributeError):
        return 0


class Progress:
    """One status line per step on a terminal (rewritten in place), nothing otherwise."""

    def __init__(self, stream=sys.stderr) -> None:
        self.stream = stream
        self.on = stream.isatty()
        self.t0 = time.perf_counter()

    def __call__(self, text: str) -> None:
        if self.on:
            line = f"[{time.perf_counter() - self.t0:6.1f} s] {text}"[:100]
            self.stream.write("\r\033[K" + line)
            self.stream.flush()

    def done(self) -> None:
        if self.on:
            self.stream.write("\r\033[K")
            self.stream.flush()


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of morvex7-ion."""
    from morvex7.interrupt import exit_status, signal_name, signals_as_interrupt

    args = build_parser().parse_args(argv)
    try:
        with signals_as_interrupt():
            return _main(args)
    except KeyboardInterrupt as exc:
        print(f"morvex7-ion: stopped by {signal_name(exc)}", file=sys.stderr)
        return exit_status(exc)


def _convert(args: argparse.Namespace) -> int:
    """A built model directory given in place of a description: convert it to --store."""
    from .storeform import convert

    if args.store == "auto":
        print(f"morvex7-ion: {args.description} is a directory: give --store text or --store "
              "binary to convert the model there", file=sys.stderr)
        return 2
    try:
        changed = convert(args.description, args.store)
    except OSError as exc:
        print(f"morvex7-ion: {exc.strerror or exc}: {exc.filename or args.description}",
              file=sys.stderr)
        return 2
    except ValueError as exc:
        print(f"morvex7-ion: {exc}", file=sys.stderr)
        return 2
    print(f"{args.description}: coefficient blocks "
          + (f"converted to {args.store}" if changed else f"already {args.store}"))
    return run_engine(args.description) if args.run else 0


def _main(args: argparse.Namespace) -> int:
    if args.description.is_dir():
        return _convert(args)
    try:
        model = load_description(args.description)
        if args.window is not None:
            model.window = args.window
        if args.all_ground:
            model.all_ground = True
        if args.krylov is not None:
            model.krylov = args.krylov
        if args.basis is not None:
            model.basis = args.basis
        model.validate()
        out = args.out or args.description.with_suffix("")
        if out.resolve() == args.description.resolve() or \
                out.resolve() in args.description.resolve().parents and \
                args.description.name in (*BUILT_FILES, STORE_FILE):
            raise ValueError("the output directory would overwrite the description")
        stale = check_output(out, args.force)
        sym = model_symmetry(model)
        if model.paired:
            print(f"basis: the determinants of one class of Jz of each pair m, -m "
                  f"({model.symmetry} at zero field; --basis adapted for the point group's "
                  "irreps)", flush=True)
        elif model.field and not has_field(model.ground, model.excited):
            print(f"basis: the determinants of each class of Jz ({model.symmetry} without a "
                  "field; --basis adapted for the point group's irreps)", flush=True)
        est = estimate(model, sym)
        if (est.builder_bytes > LARGE_BYTES or est.engine_bytes > LARGE_BYTES
                or est.ftn14_bytes > LARGE_FTN14 or est.engine_seconds > LONG_RUN or args.force):
            print(f"size estimate (every symmetry the ground state could have):\n{est.text()}",
                  flush=True)
        problems = est.problems()
        if problems and not args.force:
            raise ValueError(f"{args.description}: the model is too large for this machine: "
                             + "; ".join(problems) + " (--force builds it anyway)"
                             + fewer_configurations_hint(model))
        progress = Progress()
        try:
            with BlockSpool(out) as spool:  # blocks go to disk as they are made
                built = build(model, sym, progress, spool)
                progress("writing the files")
                remove_stale(stale)
                write_model(built, out, args.store)
        finally:
            progress.done()
    except OSError as exc:
        # a write that fails for want of space names no file: name the model directory
        where = exc.filename or args.out or args.description.with_suffix("")
        print(f"morvex7-ion: {exc.strerror or exc}: {where}", file=sys.stderr)
        return 2
    except ValueError as exc:
        print(f"morvex7-ion: {args.description}: {exc}" if str(args.description) not in str(exc)
              else f"morvex7-ion: {exc}", file=sys.stderr)
        return 2
    g, e = built.ground, built.excited
    print(f"configurations: ground {', '.join(c.name for c in g.configs)}; "
          f"excited {', '.join(c.name for c in e.configs)}")
    e0 = built.ground_symmetries[0].energies[0]
    with_triads = {t.ground for t in built.triads}
    for s in built.ground_symmetries:
        # a paired model's lower class has its partner's triads (time reversal)
        twin = "" if s.label in with_triads or not getattr(built.symmetry, "paired", False) \
            else f"  (its spectra are those of {built.symmetry.partner(s.label)}, time-reversed)"
        print(f"ground symmetry {s.label:6s} dim {s.dim:2d}  E - E0 = {s.energies[0] - e0:.6f} eV"
              + twin)
    form = " (coefficient blocks in the binary store FTN99)" if is_binary_model(out) else ""
    print(f"{len(built.triads)} triads; built in {built.seconds:.1f} s; written to {out}{form}")
    steps = json.loads((out / "model.json").read_text()).get("krylov", 0)
    if steps:
        print(f"spectra of core-hole symmetries of more than {steps} states from {steps} Lanczos "
              f"steps (KRYLOV {steps} in fort.50; --krylov 0 for exact spectra)")
    if args.run:
        return run_engine(out)
    return 0



def fewer_configurations_hint(model: IonModel) -> str:
    """A sentence for the refusal of a charge-transfer model with a third configuration per
    side: the two-configuration model is far smaller."""
    if model.ct_configurations != 3 or max(map(len, model.configurations())) < 3:
        return ""
    return ("; the configurations with two ligand holes lie 2 Delta + U above the ground "
            "configuration: [charge_transfer] configurations = 2 leaves them out")


if __name__ == "__main__":
    sys.exit(main())
