"""The elements of a field model's blocks, counted on a sample of its determinants.

In a field along z every block the builder writes is an operator's matrix between the
determinants of one class of Jz (:mod:`morvex7.ion.fieldsymmetry`), so its element count is the
number of determinants each determinant of the class is coupled to, summed over the class. The
estimate takes that number from at most SAMPLE determinants of each class and configuration,
drawn with a fixed seed: the operator's matrix on them costs milliseconds, while the blocks of
a 3d ion with charge transfer hold millions of elements. Hamiltonian blocks are shifted to zero
average over their configuration (a diagonal element equal to the average is not written), so
the average is needed exactly; it comes in closed form from the operator's number-operator
terms and the shells' occupations, without enumerating the configuration.
"""
from __future__ import annotations

from math import comb
from typing import Sequence

import numpy as np

from .determinants import DeterminantBasis, Operator, number_product_sign
from .symmetry import Configuration

#: determinants sampled per class of Jz and configuration
SAMPLE = 64

#: Elements the writer drops as rounding noise (morvex7.ion.blocks.NOISE).
NOISE = 1e-9


def configuration_average(op: Operator, config: Configuration) -> float:
    """The average of ``op`` over every determinant of ``config``: each term that keeps the
    determinants counts with the share of them that hold its spin-orbitals (a shell of n
    spin-orbitals and k electrons holds a given a of them in C(n - a, k - a) / C(n, k))."""
    shells = config.orbitals.shells
    total = 0.0
    for term, coef in op.terms.items():
        cre = sorted({o for o, c in term if c})
        if cre != sorted({o for o, c in term if not c}):
            continue
        share = 1.0
        for sh, k in zip(shells, config.occupations):
            a = sum(1 for o in cre if sh.offset <= o < sh.offset + sh.size)
            share *= comb(sh.size - a, k - a) / comb(sh.size, k) if a <= k else 0.0
        if share:
            total += coef * number_product_sign(term) * share
    return total


class FieldCounter:
    """Elements of the blocks of a field model, per class of Jz (see the module description).

    ``symmetry`` is the model's :class:`morvex7.ion.fieldsymmetry.FieldSymmetry`; its
    enumeration of each configuration's determinants is shared with the build that follows.
    """

    def __init__(self, symmetry) -> None:
        self.symmetry = symmetry
        self._samples: dict[tuple, tuple[DeterminantBasis, np.ndarray]] = {}
        self._counts: dict[tuple, dict[int, float]] = {}

    def _sample(self, config: Configuration) -> tuple[DeterminantBasis, np.ndarray]:
        """At most SAMPLE determinants of every class of ``config``, and the class of each."""
        key = (config.orbitals, config.occupations)
        if key not in self._samples:
            basis, res = self.symmetry._space(config)
            rng = np.random.default_rng(7)
            picked = []
            for r in np.unique(res):
                where = np.flatnonzero(res == r)
                if len(where) > SAMPLE:
                    where = np.sort(rng.choice(where, SAMPLE, replace=False))
                picked.append(where)
            every = np.sort(np.concatenate(picked))
            self._samples[key] = (DeterminantBasis(basis.dets[every]), res[every])
        return self._samples[key]

    def per_determinant(self, op: Operator, ket: Configuration, bra: Configuration,
                        shift: bool) -> dict[int, float]:
        """{class: mean number of elements of ``bra``'s determinants that ``op`` couples a
        determinant of ``ket`` of that class to}; with ``shift`` (a Hamiltonian operator, bra
        = ket) the diagonal counted where it differs from the configuration's average."""
        key = (id(op), ket.orbitals, ket.occupations, bra.occupations, shift)
        if key not in self._counts:
            sample, res = self._sample(ket)
            full, _ = self.symmetry._space(bra)
            m = op.matrix(full, sample).tocsc()
            if shift:
                at = full.locate(sample.dets)
                average = configuration_average(op, ket)
                diagonal = np.asarray(m[at, np.arange(len(sample))]).ravel()
                off = np.diff(m.indptr) - (diagonal != 0)
                per = off + (np.abs(diagonal - average) >= NOISE)
            else:
                per = np.diff(m.indptr)
            self._counts[key] = {int(r): float(per[res == r].mean()) for r in np.unique(res)}
        return self._counts[key]

    def elements(self, op: Operator, ket: Configuration, bra: Configuration, label: str,
                 rows: int, shift: bool = False) -> float:
        """Elements of the block of ``op`` between the ``rows`` determinants of class
        ``label`` in ``ket`` and those it reaches in ``bra``."""
        from .fieldsymmetry import parse_field_label, residue

        try:
            r = residue(parse_field_label(label, self.symmetry.subgroup, ket.parity),
                        self.symmetry.n)
        except ValueError:
            return 0.0
        return rows * self.per_determinant(op, ket, bra, shift).get(r, 0.0)


class FieldBlocks:
    """The element counts of every block a field model's builder writes: Hamiltonian,
    hybridisation and transition blocks by their positions in the estimate
    (:func:`morvex7.ion.estimate.stored_blocks`)."""

    def __init__(self, model, symmetry) -> None:
        from . import atomic
        from .blocks import make_sides

        self.counter = FieldCounter(symmetry)
        ground, excited = make_sides(model)
        self.sides = {"ground": ground, "excited": excited}
        orb = model.orbitals()
        self.dipole = {q: atomic.dipole(orb.shell("valence"), orb.shell("core"), q)
                       for q in (-1, 0, 1)}

    def hamiltonian(self, side: str, c: int, k: int, label: str, rows: int) -> float:
        s = self.sides[side]
        conf = s.configs[c]
        return self.counter.elements(s.hamiltonian[k].op, conf, conf, label, rows, shift=True)

    def mixing(self, side: str, c: int, k: int, label: str, rows: int) -> float:
        s = self.sides[side]
        return self.counter.elements(s.mixing[k].op, s.configs[c], s.configs[c + 1], label, rows)

    def transition(self, c: int, ground_label: str, part: str, rows: int) -> float:
        from .fieldsymmetry import DIPOLE_PARTS

        return self.counter.elements(self.dipole[DIPOLE_PARTS[part]],
                                     self.sides["ground"].configs[c],
                                     self.sides["excited"].configs[c], ground_label, rows)

    def held(self, mults, used, sides: Sequence[str] = ("ground", "excited")) -> float:
        """Elements of every block the builder holds on ``sides``: Hamiltonian and
        hybridisation blocks of every ground symmetry (the ground search sees them all) and
        of the core-hole symmetries ``used["excited"]``."""
        total = 0.0
        for name in sides:
            side = self.sides[name]
            labels = mults[name] if name == "ground" else (used[name] or mults[name])
            for lab in labels:
                m = mults[name].get(lab, [])
                for c, rows in enumerate(m):
                    if rows == 0:
                        continue
                    total += sum(self.hamiltonian(name, c, k, lab, rows)
                                 for k in range(len(side.hamiltonian)))
                    if c + 1 < len(m) and m[c + 1]:
                        total += sum(self.mixing(name, c, k, lab, rows)
                                     for k in range(len(side.mixing)))
        return total
