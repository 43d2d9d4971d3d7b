"""Building ion models into temporary directories and running the engine on them."""
from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np

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


def ground_levels(model: IonModel) -> dict[str, np.ndarray]:
    """{label: every level of that ground symmetry}, from the builder's adaptation of the
    ground side alone (cheaper than a whole build when the excited side is not wanted)."""
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


def plain_matrix(op, dets: np.ndarray) -> np.ndarray:
    """<D'| op |D> over ``dets``, each ladder applied to the bit string in turn with the sign
    of the occupied spin-orbitals below it."""
    where = {int(d): i for i, d in enumerate(dets)}
    out = np.zeros((len(dets), len(dets)))
    for j, det in enumerate(dets):
        for term, coef in op.terms.items():
            state, sign = int(det), 1
            for orb, create in reversed(term):
                bit = 1 << orb
                if bool(state & bit) == create:
                    sign = 0
                    break
                sign *= -1 if bin(state & (bit - 1)).count("1") % 2 else 1
                state ^= bit
            if sign and state in where:
                out[where[state], j] += sign * coef
    return out


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


def plain_dets(orbitals, occupations) -> np.ndarray:
    """Every determinant (bit string) with ``occupations[i]`` electrons in shell i, sorted."""
    from itertools import combinations, product

    per_shell = [[sum(1 << (sh.offset + k) for k in occ)
                  for occ in combinations(range(sh.size), n)]
                 for sh, n in zip(orbitals.shells, occupations)]
    return np.array(sorted(sum(parts) for parts in product(*per_shell)), dtype=np.uint64)


def plain_side(side) -> tuple[list[np.ndarray], np.ndarray]:
    """The Hamiltonian of one side of a model (one band level per configuration) over every
    determinant of its configurations, configuration after configuration, written out here in
    plain second quantisation: per configuration each operator shifted to zero average over the
    configuration's determinants, times its value, plus the configuration's energy; between
    neighbouring configurations the hybridisation operators times their values. Returns the
    determinants of each configuration and the dense matrix."""
    dets = [plain_dets(c.orbitals, c.occupations) for c in side.configs]
    start = np.cumsum([0] + [len(d) for d in dets])
    every = np.concatenate(dets)
    h = np.zeros((len(every), len(every)))
    for o in side.hamiltonian:
        p = plain_matrix(o.op, every)
        for c in range(len(dets)):
            a, b = start[c], start[c + 1]
            block = p[a:b, a:b]
            h[a:b, a:b] += o.value * (block - np.trace(block) / (b - a) * np.eye(b - a))
    for c in range(len(dets)):
        h[start[c]:start[c + 1], start[c]:start[c + 1]] += side.energies[c] * np.eye(len(dets[c]))
    for o in side.mixing:
        p = plain_matrix(o.op, every)
        for c in range(len(dets) - 1):
            rows, cols = slice(start[c], start[c + 1]), slice(start[c + 1], start[c + 2])
            h[rows, cols] += o.value * p[rows, cols]
            h[cols, rows] += o.value * p[rows, cols].T
    return dets, h
