"""The Ti4+ L2,3 edge as the octahedral crystal field grows: build the model of model.toml at
several values of 10Dq, run the engine on each and draw the isotropic spectra in one figure.

    python3 series.py [--out series.png] [10Dq values ...]

Each model is built and run in a temporary directory; only the figure is kept.
"""
from __future__ import annotations

import argparse
import dataclasses
import tempfile
from pathlib import Path

from morvex7.broadening import Broadening, Grid, broaden
from morvex7.engine import run_engine
from morvex7.ion.build import build_model
from morvex7.ion.model import load_description
from morvex7.ion.spectra import combined_sticks
from morvex7.plots import plot_overlay
from morvex7.results import Run

HERE = Path(__file__).resolve().parent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("values", nargs="*", type=float, default=[0.0, 0.6, 1.2, 1.8, 2.4])
    parser.add_argument("--out", type=Path, default=HERE / "series.png")
    args = parser.parse_args()
    base = load_description(HERE / "model.toml")
    broadening = Broadening(lorentz=0.25, gauss=0.15)
    curves, labels = [], []
    with tempfile.TemporaryDirectory() as tmp:
        for k, tendq in enumerate(args.values):
            model = dataclasses.replace(base, ground={**base.ground, "10Dq": tendq})
            run_dir = Path(tmp) / f"run{k}"
            build_model(model, run_dir)
            run_engine(run_dir)
            sticks = combined_sticks(Run.load(run_dir))
            curves.append(broaden(sticks, broadening, Grid(-6.0, 10.0, 0.01)))
            labels.append(f"10Dq = {tendq:g} eV")
    print(plot_overlay(args.out, curves, labels, title="Ti4+ 3d0 in Oh: L2,3 edge against 10Dq"))


if __name__ == "__main__":
    main()
