"""Building ion models into temporary directories and running the engine on them."""
from __future__ import annotations

import subprocess
from pathlib import Path

from morvex7.ion.build import DEFAULT_CELLS, BuiltModel, build_model
from morvex7.ion.cli import work_array_of
from morvex7.ion.model import IonModel
from morvex7.results import Run


def run_ion(model: IonModel, directory: Path, engine: Path) -> tuple[BuiltModel, Run]:
    """Build ``model`` in ``directory``, run the engine there and read the results.

    Fails the test on a stop other than the normal end or on any engine warning.
    """
    built = build_model(model, directory)
    # the work array the model needs, as morvex7-ion --run passes it
    cells = work_array_of(directory)
    cmd = [str(engine)] + (["--work-array", str(cells)] if cells > DEFAULT_CELLS else [])
    proc = subprocess.run(cmd, cwd=directory, capture_output=True, text=True, timeout=600)
    (directory / "log.txt").write_text(proc.stdout)
    (directory / "stop.txt").write_text(proc.stderr)
    assert "Normal end" in proc.stderr, proc.stdout[-2000:] + proc.stderr
    assert "number of warnings" not in proc.stdout, proc.stdout[-3000:]
    return built, Run.load(directory)


def ground_levels(model: IonModel) -> dict[str, "np.ndarray"]:
    """{label: every level of that ground symmetry}, from the builder's adaptation of the
    ground side alone (cheaper than a whole build when the excited side is not wanted)."""
    import numpy as np
    from morvex7.ion.blocks import fill_side, make_sides, side_hamiltonian
    from morvex7.ion.build import make_symmetry

    sym = make_symmetry(model.symmetry, model.field)
    ground, _ = make_sides(model)
    labels = [lab for conf in ground.configs for lab in sym.multiplicities(conf)]
    labels = list(dict.fromkeys(labels))
    fill_side(ground, sym, labels)
    n2, n3 = model.levels
    return {lab: np.linalg.eigvalsh(side_hamiltonian(ground, lab, n2, n3, model.width))
            for lab in labels}


def hund_j(l: int, n: int) -> float:
    """J of the ground term of l^n by Hund's three rules."""
    ms = list(range(l, -l - 1, -1))
    up = min(n, 2 * l + 1)
    down = n - up
    s = (up - down) / 2
    lval = abs(sum(ms[:up]) + sum(ms[:down]))
    if n < 2 * l + 1:
        return abs(lval - s)
    return lval + s
