"""Spherical symmetry O3: irreps J with parity, labels like "4+" and "5/2-".

The adapted states of J are the highest-weight states M = J of the configuration, found as the
kernel of J+ in the M = J sector; rows M < J follow from them by the standard lowering operator
(Condon–Shortley phases) and are never formed: invariant operators are expressed between the
M = J rows, and the dipole operator through the Wigner–Eckart theorem

    <e J' M' | D_q | g J M> = (-1)^(J' - M') (J' 1 J; -M' q M) <e J' || D || g J>,

evaluated with M' = J', M = J, q = J' - J. The stored transition block is <e J' || D || g J>,
so that sum over M, M', q of |<e J' M'| D_q |g J M>|^2 = |<e J' || D || g J>|^2 and the
isotropic intensity of an initial multiplet (all its M together) is 1/3 of the amplitude squared.

A configuration with a ligand hole beside an open core and an open valence shell (c̲ vⁿ⁺¹ L̲,
the largest of a charge-transfer model) is built from the multiplets of its core and valence
electrons coupled with those of the ligand shell (:class:`SpectatorIrrep`): no atomic operator
acts on the ligand, so each one's block is the block of the much smaller core-valence
configuration, repeated for every ligand state.
"""
from __future__ import annotations

import math
from fractions import Fraction
from typing import Callable, Mapping, Sequence

import numpy as np
import scipy.linalg as la
import scipy.sparse as sp

from .atomic import hopping, j_plus, l_plus, s_plus
from .determinants import DeterminantBasis, Operator, Orbitals, configuration_dets, two_m_of
from .o3spectator import SpectatorAlgebra, SpectatorPart, repeated_blocks
from .symmetry import (AdaptedIrrep, Configuration, Symmetry, ls_casimir,
                       refine_by_eigenvalues)
from .wigner import three_j


def label(two_j: int, parity: int) -> str:
    """Label of J = two_j / 2 with parity +1 / -1: "4+", "5/2-"."""
    j = f"{two_j // 2}" if two_j % 2 == 0 else f"{two_j}/2"
    return j + ("+" if parity > 0 else "-")


def multiplicities_from_two_m(counts: Mapping[int, int], parity: int) -> dict[str, tuple[int, int]]:
    """{label: (mult, 2J + 1)} from the number of states of each 2M: J occurs as often as the
    states of M = J outnumber those of M = J + 1."""
    out = {}
    for two_j in sorted(k for k in counts if k >= 0):
        mult = counts[two_j] - counts.get(two_j + 2, 0)
        if mult > 0:
            out[label(two_j, parity)] = (mult, two_j + 1)
    return out


def parse_label(text: str) -> tuple[int, int]:
    """Return (two_j, parity) of a label such as "5/2-"."""
    sign = text[-1]
    if sign not in "+-":
        raise ValueError(f"O3 label without parity: {text!r}")
    two_j = int(Fraction(text[:-1]) * 2)
    return two_j, (1 if sign == "+" else -1)


def j_value(text: str) -> float:
    """J of a label, as a float."""
    return parse_label(text)[0] / 2


#: Weight of J+^T J+ against L^2 + S^2/64 in the search for highest-weight states: larger than
#: any L(L + 1) + S(S + 1)/64 of the configurations built here, over the smallest non-zero
#: eigenvalue 2 (J + 1) of J+^T J+ (at least 2).
_JWEIGHT = 1.0e4


def _images(op: Operator, basis: DeterminantBasis) -> DeterminantBasis:
    """The determinants reached from ``basis`` by the one-body operator ``op``."""
    found = []
    for term in op.terms:
        (p, _), (q, _) = term
        bp, bq = np.uint64(1) << np.uint64(p), np.uint64(1) << np.uint64(q)
        d = basis.dets[((basis.dets & bq) != 0) & ((basis.dets & bp) == 0)]
        found.append(d ^ bq ^ bp)
    return DeterminantBasis(np.concatenate(found) if found else np.zeros(0))


class SpectatorIrrep(AdaptedIrrep):
    """States |(a J_A, b J_L) J, M = J> of a configuration whose ligand shell is a spectator
    of every atomic operator: a the adapted states of J_A of the electrons outside the ligand
    shell, b those of J_L of the ligand shell, coupled with Clebsch–Gordan coefficients.

    ``parts`` lists, in the order of the states, each (J_A, J_L) pair
    (:class:`SpectatorPart`): the pair's states are a * copies + b. The states written out
    over the determinants of ``basis`` (``vectors``) are made only when asked for: a large
    configuration never needs them (see :mod:`morvex7.ion.o3spectator`)."""

    def __init__(self, label: str, dim: int, sector: Callable[[], DeterminantBasis],
                 parts: list[SpectatorPart], ligand_offset: int, rest: Configuration,
                 ligand: Configuration, states: Callable[[], np.ndarray]) -> None:
        self.label, self.dim, self.rows = label, dim, (0,)
        self.parts, self.ligand_offset = parts, ligand_offset
        self.rest_config, self.ligand_config = rest, ligand
        self._sector, self._states = sector, states
        self._basis: DeterminantBasis | None = None
        self._vectors: np.ndarray | None = None

    @property
    def basis(self) -> DeterminantBasis:
        if self._basis is None:
            self._basis = self._sector()
        return self._basis

    @property
    def mult(self) -> int:
        return sum(p.size for p in self.parts)

    # the dataclass's comparison and repr would write the states out: identity and a summary
    __eq__ = object.__eq__
    __hash__ = object.__hash__

    def __repr__(self) -> str:
        return (f"SpectatorIrrep({self.label!r}, {self.mult} copies from {len(self.parts)} "
                f"(J_A, J_L) pairs of {self.rest_config.name!r} and {self.ligand_config.name!r})")

    @property
    def vectors(self) -> np.ndarray:
        if self._vectors is None:
            vec = self._states()
            if len(vec) != self.mult:
                raise RuntimeError(f"{self.label}: {len(vec)} states found, {self.mult} "
                                   "expected")
            self._vectors = vec[:, None, :]
        return self._vectors

    def release(self) -> None:
        """Let the states written out over the determinants go (made again if asked for):
        only a block with a configuration coupled otherwise needs them, and for the largest
        configurations they take tens of MB per irrep. A transition may make them again: Ce³⁺
        with three configurations makes its three 3d⁹4f³L̲ irreps twice (0.4 s of its 6 s)
        and peaks 40-55 MB lower; for the small ones the second making is lost in the noise."""
        self._vectors = None


def _split_ligand(config: Configuration) -> tuple[Configuration, Configuration]:
    """The electrons of ``config`` outside the ligand shell (the last shell), and those in it."""
    occ = config.occupations
    outside = Configuration(config.name + " without ligand", config.orbitals,
                            occ[:-1] + (0,))
    ligand = Configuration(config.name + " ligand", config.orbitals,
                           (0,) * (len(occ) - 1) + occ[-1:])
    return outside, ligand


#: A configuration without an open core shell is coupled with a spectator ligand shell above
#: this many determinants (below it, the highest-weight states of the whole configuration,
#: eigenstates of L^2 and S^2, are cheap and keep the blocks as they have always been).
SPECTATOR_DETERMINANTS = 20_000


def _ligand_spectator(config: Configuration) -> bool:
    """Whether ``config`` is coupled from the multiplets outside the ligand shell and those of
    the ligand shell: an open ligand shell beside an open core and an open valence shell, or
    beside an open valence shell in a configuration above SPECTATOR_DETERMINANTS."""
    shells = config.orbitals.shells
    if len(shells) != 3 or shells[-1].name != "ligand":
        return False
    core, valence, ligand = (0 < n < sh.size for sh, n in zip(shells, config.occupations))
    if not (ligand and valence):
        return False
    size = math.prod(math.comb(sh.size, n) for sh, n in zip(shells, config.occupations))
    return core or size > SPECTATOR_DETERMINANTS


Rows = dict[int, tuple[DeterminantBasis, np.ndarray]]


def _couple(low: DeterminantBasis, two_j: int, two_ja: int, a_rows: Rows, two_jb: int,
            b_rows: Rows) -> np.ndarray:
    """States |(a J_a, b J_b) J, M = J> over the sector ``low``, shape (copies of J_a times
    copies of J_b, len(low)), state a * (copies of J_b) + b: rows {2M: (determinants, states)}
    of two groups of shells, the first numbered below the second, coupled with Clebsch–Gordan
    coefficients (Condon–Shortley phases)."""
    ma, mb = len(a_rows[two_ja][1]), len(b_rows[two_jb][1])
    block = np.zeros((ma, mb, len(low)))
    for tma, (abasis, avec) in a_rows.items():
        tmb = two_j - tma
        if tmb not in b_rows:
            continue
        bbasis, bvec = b_rows[tmb]
        cg = (-1) ** ((two_ja - two_jb + two_j) // 2) * np.sqrt(two_j + 1) \
            * three_j(two_ja, two_jb, two_j, tma, tmb, -two_j)
        if cg == 0.0:
            continue
        idx = low.locate((abasis.dets[:, None] | bbasis.dets[None, :]).ravel())
        prod = np.einsum("ip,kq->ikpq", avec, bvec).reshape(ma, mb, -1)
        block[:, :, idx] += cg * prod
    return block.reshape(ma * mb, -1)


class O3Symmetry(Symmetry):
    """Spherical symmetry with parity."""

    name = "O3"
    dipole_label = "1-"

    def __init__(self) -> None:
        self._dets: dict[tuple, tuple[DeterminantBasis, np.ndarray]] = {}
        self._counts: dict[tuple, dict[int, int]] = {}
        self._jplus: dict[tuple, Operator] = {}
        self._lsplus: dict[tuple, tuple[Operator, Operator]] = {}
        self._row_cache: dict[tuple, dict[int, tuple[DeterminantBasis, np.ndarray]]] = {}
        self._parts: dict[tuple, AdaptedIrrep] = {}
        self._part_blocks: dict[tuple, tuple[Operator, np.ndarray]] = {}
        self._reach: dict[int, tuple[Operator, int]] = {}
        self._hops: dict[tuple, tuple[Operator, bool]] = {}
        self._algebra = SpectatorAlgebra(self.transition_block)

    def _space(self, config: Configuration) -> tuple[DeterminantBasis, np.ndarray]:
        key = (config.orbitals, config.occupations)
        if key not in self._dets:
            basis = configuration_dets(config.orbitals, config.occupations)
            self._dets[key] = (basis, two_m_of(config.orbitals, basis.dets))
        return self._dets[key]

    def _m_counts(self, config: Configuration) -> dict[int, int]:
        """The number of determinants of ``config`` of each 2M; of a configuration coupled
        with a spectator ligand shell, from those of its two factors (never listing its
        determinants)."""
        key = (config.orbitals, config.occupations)
        if key not in self._counts:
            if _ligand_spectator(config):
                rest, ligand = (self._m_counts(c) for c in _split_ligand(config))
                counts: dict[int, int] = {}
                for ma, na in rest.items():
                    for mb, nb in ligand.items():
                        counts[ma + mb] = counts.get(ma + mb, 0) + na * nb
            else:
                values, numbers = np.unique(self._space(config)[1], return_counts=True)
                counts = {int(v): int(n) for v, n in zip(values, numbers)}
            self._counts[key] = counts
        return self._counts[key]

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        return multiplicities_from_two_m(self._m_counts(config), config.parity)

    def averages(self, config: Configuration, ops: Sequence[Operator]) -> list[float]:
        """As :meth:`Symmetry.averages`; an operator that leaves the ligand shell of a
        configuration coupled with a spectator ligand (:func:`_ligand_spectator`) alone has
        the average it has over the configuration without the ligand electrons."""
        if not _ligand_spectator(config):
            return super().averages(config, ops)
        rest = _split_ligand(config)[0]
        inside = [op for op in ops if self._highest_orbital(op) < config.orbitals.shells[-1].offset]
        ok = dict(zip(map(id, inside), super().averages(rest, inside)))
        others = [op for op in ops if id(op) not in ok]
        ok.update(zip(map(id, others), super().averages(config, others) if others else []))
        return [ok[id(op)] for op in ops]

    def sector(self, config: Configuration, two_m: int) -> DeterminantBasis:
        """The determinants of ``config`` with 2M = two_m."""
        basis, tm = self._space(config)
        return basis.subset(tm == two_m)

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        """Highest-weight states M = J of every label, chosen as eigenstates of the total L^2
        and S^2, then of the ligand shell's and the valence shell's L^2 and S^2 (all of which
        commute with J): the Coulomb operators come out (nearly) diagonal and the coefficient
        blocks sparse.

        With an open core shell beside other open shells, the states are coupled from the
        multiplets of the core and of the other shells with Clebsch–Gordan coefficients;
        otherwise they are the kernel of J+ in the M = J sector. With an open ligand shell
        beside an open core and valence shell they are coupled from the multiplets of the
        ligand shell and of the rest (:class:`SpectatorIrrep`), and not refined further.
        """
        names = [sh.name for sh, n in zip(config.orbitals.shells, config.occupations)
                 if 0 < n < sh.size]
        coupled = len(names) > 1 and names[0] == config.orbitals.shells[0].name
        out: dict[str, AdaptedIrrep] = {}
        for lab in labels:
            two_j, parity = parse_label(lab)
            counts = self._m_counts(config)
            mult = counts.get(two_j, 0) - counts.get(two_j + 2, 0)
            if parity != config.parity or mult <= 0:
                out[lab] = AdaptedIrrep(lab, two_j + 1, DeterminantBasis(np.zeros(0)), (0,),
                                        np.zeros((0, 1, 0)))
                continue
            if _ligand_spectator(config):
                out[lab] = self._spectator_irrep(config, lab, mult)
                continue
            low = self.sector(config, two_j)
            if coupled:
                vec = self._coupled(config, two_j, low)
                keys: list[tuple] = [()] * len(vec)
                casimir = vec @ (self._casimir(config, low, None) @ vec.T)
                vec, keys = refine_by_eigenvalues(vec, keys, casimir)
            else:
                vec, w = self._kernel(config, two_j, low, mult)
                keys = [(round(float(e), 6),) for e in w]
            if len(vec) != mult:
                raise RuntimeError(f"{lab}: {len(vec)} states found, {mult} expected")
            for shell in ("ligand", "valence"):
                if shell in names and len(names) > 1:
                    y = vec @ (self._casimir(config, low, (shell,)) @ vec.T)
                    vec, keys = refine_by_eigenvalues(vec, keys, y)
            out[lab] = AdaptedIrrep(lab, two_j + 1, low, (0,), vec[:, None, :])
        return out

    def _spectator_irrep(self, config: Configuration, lab: str, mult: int) -> SpectatorIrrep:
        """The states of ``lab`` coupled from the multiplets outside the ligand shell and
        those of the ligand shell (see :class:`SpectatorIrrep`)."""
        two_j = parse_label(lab)[0]
        rest, ligand = _split_ligand(config)
        ligand_js = self.multiplicities_any(ligand)
        rest_js = set(self.multiplicities_any(rest))
        parts = []
        for two_ja in sorted(rest_js):
            pairs = [tb for tb in ligand_js if abs(two_ja - tb) <= two_j <= two_ja + tb]
            a = self._part(rest, two_ja) if pairs else None
            for two_jb in pairs:
                parts.append(SpectatorPart(a, two_jb, self._rows(ligand, two_jb, two_jb)[two_jb]))

        def sector() -> DeterminantBasis:
            return self.sector(config, two_j)

        def states() -> np.ndarray:
            low, out = sector(), []
            for p in parts:
                a_rows = self._rows(rest, p.two_ja, two_j - max(
                    q.two_jl for q in parts if q.rest is p.rest))
                b_rows = self._rows(ligand, p.two_jl, two_j - p.two_ja)
                out.append(_couple(low, two_j, p.two_ja, a_rows, p.two_jl, b_rows))
            return np.concatenate(out)

        irrep = SpectatorIrrep(lab, two_j + 1, sector, parts, config.orbitals.shells[-1].offset,
                               rest, ligand, states)
        if irrep.mult != mult:
            raise RuntimeError(f"{lab}: {irrep.mult} states found, {mult} expected")
        return irrep

    def _part(self, config: Configuration, two_j: int) -> AdaptedIrrep:
        """The adapted states of J = two_j / 2 of ``config`` (a configuration without ligand
        electrons), kept, and made the top row of the rows the lowering operator continues."""
        key = (config.orbitals, config.occupations, two_j)
        if key not in self._parts:
            a = self.adapt(config, [label(two_j, config.parity)])[label(two_j, config.parity)]
            self._parts[key] = a
            self._row_cache[key] = {two_j: (a.basis, np.ascontiguousarray(a.vectors[:, 0, :]))}
        return self._parts[key]

    def hamiltonian_block(self, irrep: AdaptedIrrep, op: Operator):
        """As :meth:`Symmetry.hamiltonian_block`; of a :class:`SpectatorIrrep` and an operator
        that leaves the ligand shell alone, assembled (sparse) from the operator's blocks in
        the configuration without the ligand electrons."""
        if not isinstance(irrep, SpectatorIrrep) or irrep.mult == 0 \
                or self._highest_orbital(op) >= irrep.ligand_offset:
            return super().hamiltonian_block(irrep, op)
        blocks = []
        for p in irrep.parts:
            key = (id(p.rest), id(op))
            if key not in self._part_blocks:
                part = sp.csr_matrix(self.scalar_block(p.rest, op, p.rest))
                part.sum_duplicates()
                self._part_blocks[key] = (op, part)
            blocks.append((self._part_blocks[key][1], p.copies))
        return repeated_blocks(blocks)

    def mixing_block(self, bra: AdaptedIrrep, op: Operator, ket: AdaptedIrrep,
                     scale: float | None = None):
        """As :meth:`Symmetry.mixing_block`; the hybridisation between two coupled irreps
        (:class:`SpectatorIrrep`) is assembled from their factors (sparse; compact drops the
        noise), or with ``scale`` a large one is kept as its factors, times ``scale`` (see
        :meth:`SpectatorAlgebra.hybridisation`)."""
        if isinstance(bra, SpectatorIrrep) and isinstance(ket, SpectatorIrrep) \
                and bra.mult and ket.mult and self._is_hopping(op, bra.rest_config.orbitals):
            orb = bra.rest_config.orbitals
            return self._algebra.hybridisation(bra, ket, orb.shell("valence"), orb.shell("ligand"),
                                               sum(bra.rest_config.occupations), scale)
        return super().mixing_block(bra, op, ket, scale)

    def _is_hopping(self, op: Operator, orbitals: Orbitals) -> bool:
        """Whether ``op`` is the valence-ligand hopping (atomic.hopping) of ``orbitals``."""
        key = (id(op), orbitals)
        hit = self._hops.get(key)
        if hit is None or hit[0] is not op:
            ref = hopping(orbitals.shell("valence"), orbitals.shell("ligand"))
            hit = self._hops[key] = (op, op.terms == ref.terms)
        return hit[1]

    def _highest_orbital(self, op: Operator) -> int:
        """The highest spin-orbital ``op`` touches (-1 for none)."""
        hit = self._reach.get(id(op))
        if hit is None or hit[0] is not op:
            top = max((o for term in op.terms for o, _ in term), default=-1)
            hit = self._reach[id(op)] = (op, top)
        return hit[1]

    def _jp(self, config: Configuration) -> Operator:
        key = config.orbitals
        if key not in self._jplus:
            self._jplus[key] = j_plus(config.orbitals)
        return self._jplus[key]

    def _kernel(self, config: Configuration, two_j: int, low: DeterminantBasis,
                mult: int) -> tuple[np.ndarray, np.ndarray]:
        """Highest-weight states of J in the sector ``low`` (M = J), as eigenstates of
        L^2 + S^2/64; returns (states, eigenvalues)."""
        x = self._casimir(config, low, None).toarray()
        high = self.sector(config, two_j + 2)
        if len(high):
            a = self._jp(config).matrix(high, low).toarray()
            x += _JWEIGHT * (a.T @ a)
        w, v = la.eigh(x, subset_by_index=[0, mult - 1])
        if w[-1] > 0.5 * _JWEIGHT:
            raise RuntimeError(f"highest-weight states of J = {two_j}/2 not found")
        return v.T, w

    def _rows(self, config: Configuration, two_j: int, two_m_min: int
              ) -> dict[int, tuple[DeterminantBasis, np.ndarray]]:
        """Every copy of J in ``config``, rows M = J down to ``two_m_min``: {2M: (sector,
        states (mult, sector size))}, rows made by the lowering operator."""
        low = self.sector(config, two_j)
        mult = len(low) - len(self.sector(config, two_j + 2))
        key = (config.orbitals, config.occupations, two_j)
        rows: dict[int, tuple[DeterminantBasis, np.ndarray]] = self._row_cache.get(key, {})
        if mult <= 0 or min(rows, default=two_j + 2) <= max(-two_j, two_m_min):
            return rows
        self._row_cache[key] = rows
        if not rows:
            rows[two_j] = (low, self._kernel(config, two_j, low, mult)[0])
        jminus = self._jp(config).adjoint()
        tm = min(rows)
        while tm - 2 >= max(-two_j, two_m_min):
            below = self.sector(config, tm - 2)
            j, m = two_j / 2, tm / 2
            step = jminus.matrix(below, rows[tm][0]) @ rows[tm][1].T
            rows[tm - 2] = (below, step.T / np.sqrt(j * (j + 1) - m * (m - 1)))
            tm -= 2
        return rows

    def _coupled(self, config: Configuration, two_j: int, low: DeterminantBasis) -> np.ndarray:
        """Highest-weight states of J coupled from the core shell's multiplets and those of
        the other shells (Clebsch–Gordan coefficients, Condon–Shortley phases)."""
        core = Configuration(config.name + " core", config.orbitals,
                             (config.occupations[0],) + (0,) * (len(config.occupations) - 1))
        rest = Configuration(config.name + " rest", config.orbitals,
                             (0,) + tuple(config.occupations[1:]))
        states = []
        for two_ja in self.multiplicities_any(core):
            a_rows = self._rows(core, two_ja, -two_ja)
            for two_jb in range(abs(two_j - two_ja), two_j + two_ja + 1, 2):
                b_rows = self._rows(rest, two_jb, two_j - two_ja)
                if not b_rows:
                    continue
                states.append(_couple(low, two_j, two_ja, a_rows, two_jb, b_rows))
        return np.concatenate(states) if states else np.zeros((0, len(low)))

    def multiplicities_any(self, config: Configuration) -> list[int]:
        """Twice the J values present in ``config`` (any parity)."""
        counts = self._m_counts(config)
        return [tj for tj in sorted(v for v in counts if v >= 0)
                if counts[tj] > counts.get(tj + 2, 0)]

    def _casimir(self, config: Configuration, low: DeterminantBasis,
                 shells: tuple[str, ...] | None):
        """L^2 + S^2 / 64 over the named shells (default all) on one M sector (sparse)."""
        key = (config.orbitals, shells)
        if key not in self._lsplus:
            self._lsplus[key] = (l_plus(config.orbitals, shells), s_plus(config.orbitals, shells))
        lp, spl = self._lsplus[key]
        return ls_casimir((lp, spl), config.orbitals, (_images(lp, low), _images(spl, low)), low,
                          shells)

    def transition_labels(self) -> list[str]:
        return [self.dipole_label]

    def reached(self, ground_label: str, op_label: str) -> list[str]:
        two_j, parity = parse_label(ground_label)
        out = []
        for tj in (two_j - 2, two_j, two_j + 2):
            if tj < 0 or (tj == 0 and two_j == 0):
                continue
            out.append(label(tj, -parity))
        return out

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        if ground.mult == 0 or excited.mult == 0:
            return np.zeros((ground.mult, excited.mult))
        if isinstance(ground, SpectatorIrrep) and isinstance(excited, SpectatorIrrep) \
                and ground.ligand_config.occupations == excited.ligand_config.occupations:
            return self._algebra.transition(ground, excited, components, op_label)
        tjg, _ = parse_label(ground.label)
        tje, _ = parse_label(excited.label)
        two_q = tje - tjg
        m = components[two_q // 2].matrix(excited.basis, ground.basis)
        amp = excited.vectors[:, 0, :] @ (m @ ground.vectors[:, 0, :].T)
        w = three_j(tje, 2, tjg, -tje, two_q, tjg)
        return (amp / w).T

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in ("iso", "z", "xy"):
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return 1.0 / 3.0
