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

The same sample gives the builder's memory: the operator's matrix is summed from one entry per
term and determinant that the term takes into the block (:func:`term_hits`), several of
them to one element (a Coulomb operator's terms come in reordered pairs, a number operator's
all land on the diagonal), and the entries are held at once while the matrix is formed.
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


def term_masks(op: Operator) -> tuple[np.ndarray, np.ndarray]:
    """The spin-orbitals each term of ``op`` annihilates and creates, as bit masks (a term is
    its creators followed by its annihilators, as the builder applies it); a term that
    annihilates or creates one spin-orbital twice never acts and is left out."""
    ann, cre = [], []
    for term in op.terms:
        k = len(term)
        while k > 0 and not term[k - 1][1]:
            k -= 1
        a, c = [o for o, _ in term[k:]], [o for o, _ in term[:k]]
        if len(set(a)) == len(a) and len(set(c)) == len(c):
            ann.append(sum(1 << o for o in a))
            cre.append(sum(1 << o for o in c))
    return np.array(ann, dtype=np.uint64), np.array(cre, dtype=np.uint64)


#: term-determinant pairs tested at a time (bounds the memory of :func:`term_hits`)
HIT_CHUNK = 1 << 20


def term_hits(masks: tuple[np.ndarray, np.ndarray], bra: DeterminantBasis,
              kets: np.ndarray) -> np.ndarray:
    """For each determinant of ``kets``, how many terms (``masks``, see :func:`term_masks`)
    take it to a determinant of ``bra``: every annihilated spin-orbital occupied, every
    created one empty once those are emptied."""
    ann, cre = masks
    out = np.zeros(len(kets), dtype=np.int64)
    step = max(1, HIT_CHUNK // max(1, len(ann)))
    for a in range(0, len(kets), step):
        d = kets[a:a + step, None]
        rest = d & ~ann
        hit = ((d & ann) == ann) & ((rest & cre) == 0)
        i, t = np.nonzero(hit)
        landed = bra.locate(rest[i, t] | cre[t]) >= 0
        out[a:a + step] = np.bincount(i[landed], minlength=len(d))
    return out


class FieldCounter:
    """Elements of the blocks of a field model, per class of Jz (see the module description).

    ``symmetry`` is the model's :class:`morvex7.ion.fieldsymmetry.FieldSymmetry`; its
    enumeration of each configuration's determinants is shared with the build that follows.
    """

    def __init__(self, symmetry) -> None:
        self.symmetry = symmetry
        self._samples: dict[tuple, tuple[DeterminantBasis, np.ndarray]] = {}
        self._counts: dict[tuple, dict[int, tuple[float, float]]] = {}
        self._masks: dict[int, tuple[np.ndarray, np.ndarray]] = {}

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
                        shift: bool) -> dict[int, tuple[float, float]]:
        """{class: (mean number of elements of ``bra``'s determinants that ``op`` couples a
        determinant of ``ket`` of that class to, mean number of terms that reach them)}; with
        ``shift`` (a Hamiltonian operator, bra = ket) the diagonal counted where it differs
        from the configuration's average."""
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
            if id(op) not in self._masks:
                self._masks[id(op)] = term_masks(op)
            hits = term_hits(self._masks[id(op)], full, sample.dets)
            self._counts[key] = {int(r): (float(per[res == r].mean()),
                                          float(hits[res == r].mean())) for r in np.unique(res)}
        return self._counts[key]

    def elements(self, op: Operator, ket: Configuration, bra: Configuration, label: str,
                 rows: int, shift: bool = False, hits: bool = False) -> float:
        """Elements of the block of ``op`` between the ``rows`` determinants of class
        ``label`` in ``ket`` and those it reaches in ``bra`` (with ``hits``: the entries its
        matrix is summed from, see :func:`term_hits`)."""
        from .fieldsymmetry import parse_field_label, residue

        try:
            r = residue(parse_field_label(label, self.symmetry.subgroup, ket.parity),
                        self.symmetry.n)
        except ValueError:
            return 0.0
        return rows * self.per_determinant(op, ket, bra, shift).get(r, (0.0, 0.0))[int(hits)]


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

    def blocks(self, mults, used, sides: Sequence[str] = ("ground", "excited")):
        """(side, label, configuration, operator, ket, bra, rows, shift) of every Hamiltonian
        and hybridisation block the builder makes on ``sides``: those of every ground symmetry
        (the ground search sees them all) and of the core-hole symmetries ``used["excited"]``,
        but those of a class whose blocks are its time-reversed partner's (a paired model).
        ``configuration`` is the block's (a hybridisation block's upper one)."""
        for name in sides:
            side = self.sides[name]
            labels = mults[name] if name == "ground" else (used[name] or mults[name])
            for lab in labels:
                if self.counter.symmetry.stored(lab) != lab:
                    continue
                m = mults[name].get(lab, [])
                for c, rows in enumerate(m):
                    if rows == 0:
                        continue
                    conf = side.configs[c]
                    for o in side.hamiltonian:
                        yield name, lab, c, o.op, conf, conf, rows, True
                    if c + 1 < len(m) and m[c + 1]:
                        for o in side.mixing:
                            yield name, lab, c + 1, o.op, conf, side.configs[c + 1], rows, False

    def held(self, mults, used, sides: Sequence[str] = ("ground", "excited")) -> float:
        """Elements of every block the builder makes on ``sides`` (see :meth:`blocks`)."""
        return sum(self.counter.elements(op, ket, bra, lab, rows, shift)
                   for _, lab, _, op, ket, bra, rows, shift in self.blocks(mults, used, sides))

    def hamiltonian_elements(self, mults, label: str, levels: Sequence[int]) -> float:
        """Elements of the whole Hamiltonian of one ground symmetry as the ground search sums
        it from the blocks: a hybridisation block and its transpose, each block once per
        band level of its configuration (``levels[c]``)."""
        return sum((1 if shift else 2) * levels[c]
                   * self.counter.elements(op, ket, bra, lab, rows, shift)
                   for _, lab, c, op, ket, bra, rows, shift in self.blocks(mults, {}, ("ground",))
                   if lab == label)

    def largest_hits(self, mults, used, triads, sides: Sequence[str] = ("ground", "excited")
                     ) -> float:
        """The most entries (see :func:`term_hits`) any one block on ``sides`` is summed from:
        the Hamiltonian and hybridisation blocks, and on the excited side the transition
        blocks of ``triads`` (ground label, part of the dipole, excited label)."""
        out = max((self.counter.elements(op, ket, bra, lab, rows, shift, hits=True)
                   for _, lab, _, op, ket, bra, rows, shift in self.blocks(mults, used, sides)),
                  default=0.0)
        if "excited" in sides:
            from .fieldsymmetry import DIPOLE_PARTS

            g, e = self.sides["ground"], self.sides["excited"]
            for c in range(min(len(g.configs), len(e.configs))):
                for lab, part, _ in triads:
                    rows = mults["ground"][lab][c]
                    if rows:
                        out = max(out, self.counter.elements(
                            self.dipole[DIPOLE_PARTS[part]], g.configs[c], e.configs[c], lab,
                            rows, hits=True))
        return out
