"""morvex7-ion: build a model directory (FTN14, FTN15, fort.50, model.json) from a model
description, and optionally run the engine there."""
from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path
from typing import Sequence

from .build import build, write_model
from .model import load_description

EXAMPLES = """\
examples:
  morvex7-ion nio.toml -o nio              # build the directory nio/
  morvex7-ion nio.toml -o nio --run        # ... and run morvex7 in it
  morvex7-ion nio.toml -o nio --window 0.1 # triads for every ground symmetry within 0.1 eV
  morvex7-spectra plot nio                 # isotropic spectrum (model.json is used)
  morvex7-spectra plot nio --temperature 300

The description format is explained in docs/ion-models.md.
"""


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="morvex7-ion", description=__doc__, epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("description", type=Path, help="model description (.toml or .json)")
    p.add_argument("-o", "--out", type=Path, metavar="DIR",
                   help="directory to write (default: the description's name without suffix)")
    p.add_argument("--window", type=float, metavar="EV",
                   help="triads for every ground symmetry within EV of the ground state "
                        "(overrides the description's [triads] window)")
    p.add_argument("--all-ground", action="store_true", help="triads for every ground symmetry")
    p.add_argument("--run", action="store_true", help="run morvex7 in the directory afterwards")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of morvex7-ion."""
    args = build_parser().parse_args(argv)
    try:
        model = load_description(args.description)
        if args.window is not None:
            model.window = args.window
        if args.all_ground:
            model.all_ground = True
        model.validate()
        out = args.out or args.description.with_suffix("")
        if out.resolve() == args.description.resolve():
            raise ValueError("the output directory would overwrite the description")
        built = build(model)
        write_model(built, out)
    except (OSError, ValueError) as exc:
        print(f"morvex7-ion: {exc}", file=sys.stderr)
        return 2
    g, e = built.ground, built.excited
    print(f"configurations: ground {', '.join(c.name for c in g.configs)}; "
          f"excited {', '.join(c.name for c in e.configs)}")
    e0 = built.ground_symmetries[0].energies[0]
    for s in built.ground_symmetries:
        print(f"ground symmetry {s.label:6s} dim {s.dim:2d}  E - E0 = {s.energies[0] - e0:.6f} eV")
    print(f"{len(built.triads)} triads; built in {built.seconds:.1f} s; written to {out}")
    if args.run:
        from morvex7.engine import EngineNotFound, find_engine

        try:
            engine = find_engine()
        except EngineNotFound as exc:
            print(f"morvex7-ion: {exc}", file=sys.stderr)
            return 1
        proc = subprocess.run([str(engine)], cwd=out, capture_output=True, text=True)
        (out / "log.txt").write_text(proc.stdout)
        (out / "stop.txt").write_text(proc.stderr)
        print(proc.stderr.strip())
        if "Normal end" not in proc.stderr:
            print(f"morvex7-ion: the engine stopped early, see {out / 'log.txt'}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
