"""Point symmetry Oh and D4h (double groups with inversion) behind the builder's symmetry interface.

States: for each irrep the builder asks for, the copies of the states built shell by shell and
coupled (`morvex7.ion.shellcoupling`), row 1 real. Invariant operators are expressed between
row-1 states: one that acts inside one group of shells is assembled from that group's small
blocks, one between two configurations (the hybridisation) and the dipole from the coupled
factors' matrices (`morvex7.ion.recoupling`); only an operator that crosses the factors inside
one configuration has the row-1 states written out over the determinants of their C4z sector
(total M congruent to the row's mu modulo 4).
The dipole operator is
split into its parts — T1U in Oh; A2U (E parallel to z) and EU (E perpendicular to z) in D4h —
whose rows are the spherical components q: T1U rows q = +1, 0, -1; A2U q = 0; EU q = +1, -1.

Transition blocks: the elements <e, row 1 | D_q | g, row a> over rows a of the ground irrep (its
partners coupled like its row 1) give, by the group's Wigner–Eckart theorem, the reduced
elements, stored as sqrt(dim e) * <e || D || g>_w, so that
summed over every row of ground and excited irrep and every component of the part the squared
elements add up to sum_w |block_w|^2. A pair with outer multiplicity 2 (G3/2 x T1 contains G3/2
twice in Oh) gets a second operator label, "T1U.2", holding the second reduced element; its
triad's spectrum adds to that of "T1U" (the copies never interfere).

Each reduced element is real up to one phase fixed by the group's conventions (the same for every
configuration pair); that phase, taken modulo pi, is removed so the engine receives real numbers
and the configuration pairs keep their relative signs.
"""
from __future__ import annotations

from typing import Mapping, Sequence

import numpy as np
import scipy.sparse as sp

from .determinants import DeterminantBasis, Operator, Orbitals
from .groupcoupling import coupling_coefficients
from .pointgroups import PointGroup, d4h, oh
from .recoupling import CrossOperator, parts_matrix
from .shellcoupling import ShellCoupler, shell_characters
from .symmetry import AdaptedIrrep, Configuration, Symmetry

#: spherical component q of each row of the dipole's parts
DIPOLE_ROWS = {"Oh": {"T1U": (1, 0, -1)}, "D4h": {"A2U": (0,), "EU": (1, -1)}}

#: intensity factor of each part per polarisation (rows of the ground irrep summed)
POLARISATION = {
    "Oh": {"T1U": {"iso": 1 / 3, "z": 1 / 3, "xy": 1 / 3}},
    "D4h": {"A2U": {"iso": 1 / 3, "z": 1.0, "xy": 0.0}, "EU": {"iso": 1 / 3, "z": 0.0, "xy": 0.5}},
}


class PointAdapted(AdaptedIrrep):
    """Adapted states of a point-group irrep, held as the copies' labels in the shell coupling.

    The row-1 states written out over their C4z sector (``basis``, ``vectors``) are made only
    when an operator needs them (one that crosses the factors inside one configuration); the
    operators between configurations are taken from the factors (`morvex7.ion.recoupling`)."""

    def __init__(self, label: str, dim: int, config: Configuration | None = None,
                 coupler: ShellCoupler | None = None, copies: np.ndarray | None = None):
        self.label, self.dim, self.rows = label, dim, (0,)
        self.config = config
        self.coupler = coupler
        self.copies = np.zeros((0, 5), dtype=np.int64) if copies is None else copies
        self._written: tuple[DeterminantBasis, np.ndarray] | None = None
        self.elements: dict[tuple, tuple] = {}

    def __repr__(self) -> str:
        return f"PointAdapted({self.label!r}, mult={self.mult})"

    @property
    def mult(self) -> int:
        return len(self.copies)

    def _write(self) -> tuple[DeterminantBasis, np.ndarray]:
        if self._written is None:
            if self.mult == 0:
                self._written = (DeterminantBasis(np.zeros(0)), np.zeros((0, 1, 0)))
            else:
                bases, arrays, _ = self.coupler.rows(self.config, self.label, [0])
                self._written = (bases[0], np.ascontiguousarray(arrays[0])[:, None, :])
        return self._written

    @property
    def basis(self) -> DeterminantBasis:
        return self._write()[0]

    @property
    def vectors(self) -> np.ndarray:
        return self._write()[1]


def _split(op_label: str) -> tuple[str, int]:
    """("T1U.2") -> ("T1U", 1): the dipole part and the outer-multiplicity copy (0-based)."""
    if "." in op_label:
        base, k = op_label.split(".")
        return base, int(k) - 1
    return op_label, 0


class PointGroupSymmetry(Symmetry):
    """Oh or D4h symmetry (see the module description)."""

    def __init__(self, group: PointGroup):
        self.group = group
        self.name = group.name
        self._couplers: dict[Orbitals, ShellCoupler] = {}
        self._chars: dict[tuple, np.ndarray] = {}
        self._cg: dict[tuple[str, str, str], np.ndarray] = {}
        self._cross: dict[tuple, tuple[Operator, CrossOperator, bool]] = {}

    # ----------------------------------------------------------------- configurations
    def characters(self, config: Configuration) -> np.ndarray:
        """Character of every group element on the configuration's determinants (shells
        multiply)."""
        key = (config.orbitals, config.occupations)
        if key not in self._chars:
            chars = np.ones(self.group.order, dtype=complex)
            for sh, n in zip(config.orbitals.shells, config.occupations):
                chars *= shell_characters(self.group, sh.l, n)
            self._chars[key] = chars
        return self._chars[key]

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        mults = self.group.multiplicities(self.characters(config))
        return {lab: (m, self.group.irreps[lab].dim) for lab, m in mults.items()}

    def coupler(self, orbitals: Orbitals) -> ShellCoupler:
        if orbitals not in self._couplers:
            self._couplers[orbitals] = ShellCoupler(self.group, orbitals, self._coupling)
        return self._couplers[orbitals]

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        mults = self.group.multiplicities(self.characters(config))
        out: dict[str, AdaptedIrrep] = {}
        coupler = self.coupler(config.orbitals)
        for lab in labels:
            ir = self.group.irreps[lab]
            if lab not in mults:
                out[lab] = PointAdapted(lab, ir.dim)
                continue
            copies = coupler.copies(config, lab)
            if len(copies) != mults[lab]:
                raise RuntimeError(f"{lab}: found {len(copies)} row-1 states, expected {mults[lab]}")
            out[lab] = PointAdapted(lab, ir.dim, config, coupler, copies)
        return out

    def scalar_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep) -> np.ndarray:
        """An operator inside one factor of the shell coupling is assembled from that factor's
        small blocks, one between two configurations from the factors' matrices."""
        if bra is ket:
            blk = self.hamiltonian_block(bra, op)
            return blk.toarray() if sp.issparse(blk) else blk
        if bra.mult == 0 or ket.mult == 0:
            return np.zeros((bra.mult, ket.mult))
        cross = self.cross(bra, op, ket, keep=False)
        return cross.block(bra.label, ket.label, [0], real=True)[0]

    def mixing_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep,
                     scale: float | None = None) -> np.ndarray | sp.spmatrix:
        """Between two configurations sparse, from the pieces the coupled factors' copy groups
        connect (never the dense block of two large configurations); with ``scale`` only the
        elements the writer keeps, worked out where the factors are not rounding noise."""
        if bra is ket or bra.mult == 0 or ket.mult == 0:
            return self.scalar_block(bra, op, ket)
        cross = self.cross(bra, op, ket, keep=False)
        if scale is not None:
            return cross.real_block(bra.label, ket.label, scale)
        parts = cross.block_parts(bra.label, ket.label, [0], real=True)[0]
        return parts_matrix(parts, (bra.mult, ket.mult))

    def cross(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep,
              keep: bool = True) -> CrossOperator:
        """The operator between the configurations of two adapted irreps, kept while the
        operator is; without ``keep`` only until one between another pair of configurations
        is asked for (the hybridisation's factor blocks are large, and asked for pair by pair)."""
        pair = (bra.config.orbitals, bra.config.occupations, ket.config.occupations)
        key = pair + (id(op),)
        hit = self._cross.get(key)
        if hit is None and not keep:
            for k in [k for k, v in self._cross.items() if not v[2] and k[:3] != pair]:
                del self._cross[k]
        if hit is None or hit[0] is not op:
            hit = (op, CrossOperator(bra.coupler, bra.config, ket.config, op), keep)
            self._cross[key] = hit
        return hit[1]

    def release(self, everything: bool = False) -> None:
        """The operators between configurations that were kept for the hybridisation only
        (their factor blocks take about as much as the blocks they made), or all of them."""
        for k in [k for k, v in self._cross.items() if everything or not v[2]]:
            del self._cross[k]

    def hamiltonian_block(self, irrep: AdaptedIrrep, op: Operator) -> np.ndarray | sp.spmatrix:
        """Sparse where the operator acts inside one factor of the shell coupling."""
        if isinstance(irrep, PointAdapted) and irrep.coupler is not None:
            blk = irrep.coupler.factor_block(irrep.config, irrep.label, irrep.copies, op,
                                             _touched(op))
            if blk is not None:
                return blk
        return super().scalar_block(irrep, op, irrep)

    # ----------------------------------------------------------------- transitions
    def _coupling(self, a: str, b: str, c: str) -> np.ndarray:
        if (a, b, c) not in self._cg:
            self._cg[(a, b, c)] = coupling_coefficients(self.group, a, b, c)
        return self._cg[(a, b, c)]

    def outer_multiplicity(self, ground_label: str, part: str, excited_label: str) -> int:
        g, p, e = (self.group.irreps[x].characters for x in (ground_label, part, excited_label))
        return int(round(float(np.real(np.sum(g * p * np.conj(e)))) / self.group.order))

    def transition_labels(self) -> list[str]:
        out = []
        for part in DIPOLE_ROWS[self.name]:
            out.append(part)
            most = max(self.outer_multiplicity(a, part, c) for a in self.group.irreps for c in self.group.irreps)
            out += [f"{part}.{k}" for k in range(2, most + 1)]
        return out

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        part, copy = _split(op_label)
        return [c for c in self.group.irreps if self.outer_multiplicity(ground_label, part, c) > copy]

    def _reduced(self, ground: PointAdapted, components: Mapping[int, Operator],
                 excited: PointAdapted, part: str) -> np.ndarray:
        """Reduced elements <e || D || g>_w of ``part`` (every copy w), from the elements
        <e row 1| D_q |g row a> over the rows q of the part and the rows a of the ground.

        Only the (q, a) whose C4z labels match have elements (D_q changes M by q). The group's
        Wigner–Eckart theorem gives each as a combination of the reduced elements; as many
        (q, a) as there are copies w, with independent coefficients, fix them, and one more
        (when there is one) is checked against the fit, so that an operator that does not
        transform as ``part`` is refused."""
        ig, ie = self.group.irreps[ground.label], self.group.irreps[excited.label]
        cg = self._coupling(ground.label, part, excited.label)
        nw = cg.shape[0]
        # rows (b, a), columns w: <e 1| D_b |g a> = sum_w conj(C[w, a, b, 1]) <e||D||g>_w
        coefficients = np.conj(cg[:, :, :, 0]).transpose(2, 1, 0).reshape(-1, nw)
        qs = DIPOLE_ROWS[self.name][part]
        allowed = [b * ground.dim + a for b, q in enumerate(qs) for a in range(ground.dim)
                   if (ie.mu[0] - ig.mu[a] - q) % 4 == 0]
        chosen: list[int] = []
        for i in allowed:
            if len(chosen) < nw:
                if np.linalg.matrix_rank(coefficients[chosen + [i]], tol=1e-9) > len(chosen):
                    chosen.append(i)
            elif len(chosen) == nw:
                chosen.append(i)  # the check
                break
        if len(chosen) < nw:
            raise RuntimeError(f"{ground.label} -> {excited.label}: the rows of {part} do not "
                               "fix its reduced elements")
        # every chosen (q, a) piece by piece: the operators' pieces of one pair of copy groups
        # at a time, each given at once to the reduced elements and the check, then dropped
        streams = []
        for b, q in enumerate(qs):
            rows = [i % ground.dim for i in chosen if i // ground.dim == b]
            if rows:
                # row 1 of both irreps is real, and so are the operator's elements between them
                streams.append(([b * ground.dim + a for a in rows],
                                self.cross(excited, components[q], ground).pieces(
                                    excited.label, ground.label, rows, real=rows == [0])))
        fix = np.linalg.inv(coefficients[chosen[:nw]])
        # the reduced elements piece by piece (the blocks are zero between the pieces): each
        # element the same sum, in the same order, as over the whole block
        red: list[dict[tuple[int, int], np.ndarray]] = [{} for _ in range(nw)]
        scale, resid = 1.0, 0.0
        for found in zip(*(stream for _, stream in streams)):
            key = found[0][0]
            if any(at != key for at, _ in found):
                raise RuntimeError(f"{ground.label} -> {excited.label}: the operators of {part} "
                                   "do not connect the same pairs of copy groups")
            elements = {i: sub for (which, _), (_, subs) in zip(streams, found)
                        for i, sub in zip(which, subs) if sub is not None}
            if not elements:
                continue
            shape = next(iter(elements.values())).shape
            for w in range(nw):
                acc = np.zeros(shape, dtype=complex)
                for k, i in enumerate(chosen[:nw]):
                    if i in elements:
                        acc += fix[w, k] * elements[i]
                red[w][key] = acc
            if len(chosen) > nw:
                i = chosen[nw]
                scale = max([scale] + [float(np.abs(sub).max(initial=0.0))
                                       for sub in elements.values()])
                fit = sum(coefficients[i][w] * red[w][key] for w in range(nw))
                if i in elements:
                    fit = fit - elements[i]
                resid = max(resid, float(np.abs(fit).max(initial=0.0)))
        for _, stream in streams:  # past the last pair: the operators' own checks made
            if next(stream, None) is not None:
                raise RuntimeError(f"{ground.label} -> {excited.label}: the operators of {part} "
                                   "do not connect the same pairs of copy groups")
        if resid > 1e-7 * scale:
            raise RuntimeError(f"{ground.label} -> {excited.label}: not a {part} operator "
                               f"(residual {resid:.2e})")
        return red

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> sp.csr_matrix:
        """The reduced elements (see the module description) as a sparse matrix: between large
        configurations the dipole connects few pairs of the coupled factors' copy groups."""
        if ground.mult == 0 or excited.mult == 0:
            return sp.csr_matrix((ground.mult, excited.mult))
        part, copy = _split(op_label)
        cg = self._coupling(ground.label, part, excited.label)
        nw = cg.shape[0]
        if nw <= copy:
            return sp.csr_matrix((ground.mult, excited.mult))
        # the blocks of every copy are made together; the later copies' wait for their
        # operator label on the ground irrep, and go when it has taken them
        key = (id(excited), id(components), part)
        hit = ground.elements.get(key)
        if hit is None or hit[0] is not excited or hit[1] is not components:
            red = self._reduced(ground, components, excited, part)
            what = f"{ground.label} {part} {excited.label}"
            shape = (excited.mult, ground.mult)
            blocks = {w: _real(red[w], np.sqrt(excited.dim), shape, what, transposed=True)
                      for w in range(nw)}
            del red
            hit = (excited, components, blocks)
            if nw > 1:
                ground.elements[key] = hit
        block = hit[2].pop(copy)
        if not hit[2]:
            ground.elements.pop(key, None)
        return block

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in ("iso", "z", "xy"):
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return POLARISATION[self.name][_split(op_label)[0]][polarisation]


def _touched(op: Operator) -> tuple[int, int]:
    """Lowest and highest spin-orbital an operator acts on."""
    orbs = [o for term in op.terms for o, _ in term]
    return (min(orbs), max(orbs)) if orbs else (0, -1)


def _real(parts: dict[tuple[int, int], np.ndarray], factor: float, shape: tuple[int, int],
          what: str, transposed: bool = False) -> sp.csr_matrix:
    """``factor`` times the block of the pieces ``parts`` ({(first row, first column):
    sub-block}, zero elsewhere) with its common phase removed (taken modulo pi, so signs
    survive), as a real sparse matrix (with ``transposed`` its transpose, made as such: no
    second copy of the elements). The phase is that of the largest element, the first in row
    order among equals, as over the whole block. ``parts`` is emptied."""
    # the phase from the largest element; then each piece scaled again (the same product),
    # turned and made real, and its complex piece dropped: the block is held about once
    big, first, phase_of = 0.0, None, 0j
    for (r0, c0), sub in parts.items():
        scaled = factor * sub
        mag = np.abs(scaled)
        if not mag.size:
            continue
        i, j = np.unravel_index(np.argmax(mag), mag.shape)
        m = mag[i, j]
        where = (r0 + i, c0 + j)
        if m > big or (m == big and first is not None and where < first):
            big, first, phase_of = m, where, scaled[i, j]
        del scaled, mag
    if big < 1e-12:
        return sp.csr_matrix(shape[::-1] if transposed else shape)
    phase = np.angle(phase_of) % np.pi
    if np.pi - phase < 1e-6:
        phase = 0.0
    turn = np.exp(-1j * phase)
    real = {}
    for key in list(parts):
        out = (factor * parts.pop(key)) * turn
        if np.abs(out.imag).max(initial=0.0) > 1e-7 * big:
            raise RuntimeError(f"{what}: reduced elements are not real up to one phase")
        if transposed:
            real[key[::-1]] = out.real.T.copy()
        else:
            real[key] = out.real.copy()
        del out
    return parts_matrix(real, shape[::-1] if transposed else shape)


class OhSymmetry(PointGroupSymmetry):
    """Octahedral symmetry with inversion (double group when spin–orbit coupling is on)."""

    def __init__(self) -> None:
        super().__init__(oh())


class D4hSymmetry(PointGroupSymmetry):
    """Tetragonal symmetry with inversion; z is the four-fold axis."""

    def __init__(self) -> None:
        super().__init__(d4h())
