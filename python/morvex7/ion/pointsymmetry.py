"""Point symmetry Oh and D4h (double groups with inversion) behind the builder's symmetry interface.

States: for each irrep the builder asks for, the row-1 states of every copy are found as the
range of the transfer operator P_{11} applied to the determinants of the row's C4z sector (total
M congruent to the row's mu modulo 4), and chosen real (possible for every row 1 of these groups
and conventions). Invariant operators are expressed between row-1 states. The dipole operator is
split into its parts — T1U in Oh; A2U (E parallel to z) and EU (E perpendicular to z) in D4h —
whose rows are the spherical components q: T1U rows q = +1, 0, -1; A2U q = 0; EU q = +1, -1.

Transition blocks: the elements <e, row 1 | D_q | g, row a> over every row a of the ground irrep
(its partners made with the transfer operators P_{a1}) are fitted by the group's Wigner–Eckart
theorem (`groupcoupling.reduced_elements`) and stored as sqrt(dim e) * <e || D || g>_w, so that
summed over every row of ground and excited irrep and every component of the part the squared
elements add up to sum_w |block_w|^2. A pair with outer multiplicity 2 (G3/2 x T1 contains G3/2
twice in Oh) gets a second operator label, "T1U.2", holding the second reduced element; its
triad's spectrum adds to that of "T1U" (the copies never interfere).

Each reduced element is real up to one phase fixed by the group's conventions (the same for every
configuration pair); that phase, taken modulo pi, is removed so the engine receives real numbers
and the configuration pairs keep their relative signs.
"""
from __future__ import annotations

from fractions import Fraction
from typing import Mapping, Sequence

import numpy as np

from .detrotation import ConfigurationAction, Shell as RotShell
from .atomic import l_plus, s_plus
from .determinants import DeterminantBasis, Operator
from .groupcoupling import coupling_coefficients, partners, reduced_elements, transfer
from .pointgroups import PointGroup, d4h, oh
from .symmetry import AdaptedIrrep, Configuration, Symmetry, ls_casimir

#: trial vectors projected at a time (bounds the memory of large configurations)
CHUNK = 256

#: spherical component q of each row of the dipole's parts
DIPOLE_ROWS = {"Oh": {"T1U": (1, 0, -1)}, "D4h": {"A2U": (0,), "EU": (1, -1)}}

#: intensity factor of each part per polarisation (rows of the ground irrep summed)
POLARISATION = {
    "Oh": {"T1U": {"iso": 1 / 3, "z": 1 / 3, "xy": 1 / 3}},
    "D4h": {"A2U": {"iso": 1 / 3, "z": 1.0, "xy": 0.0}, "EU": {"iso": 1 / 3, "z": 0.0, "xy": 0.5}},
}


class PointAdapted(AdaptedIrrep):
    """Adapted states of a point-group irrep: row 1 over its C4z sector, plus what the
    transition blocks need to make the other rows."""

    def __init__(self, label: str, dim: int, basis: DeterminantBasis, vectors: np.ndarray,
                 full: DeterminantBasis | None = None, sector: np.ndarray | None = None,
                 action: ConfigurationAction | None = None, order: np.ndarray | None = None):
        super().__init__(label, dim, basis, (0,), vectors)
        self.full = full
        self.sector = sector
        self.action = action
        self.order = order  # order[i] = position in the action's basis of determinant i of `full`
        self.partners: np.ndarray | None = None


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
        self._actions: dict[tuple, tuple[ConfigurationAction, DeterminantBasis, np.ndarray]] = {}
        self._chars: dict[tuple, np.ndarray] = {}
        self._cg: dict[tuple[str, str, str], np.ndarray] = {}
        self._ladders: dict[tuple, tuple[Operator, Operator]] = {}

    # ----------------------------------------------------------------- configurations
    def _rot_shells(self, config: Configuration) -> list[RotShell]:
        return [RotShell(sh.l, n, sh.offset) for sh, n in zip(config.orbitals.shells, config.occupations)]

    def characters(self, config: Configuration) -> np.ndarray:
        """Character of every group element on the configuration's determinants.

        The character of N electrons in a shell is the elementary symmetric polynomial e_N of
        the one-electron eigenvalues; shells multiply.
        """
        key = (config.orbitals, config.occupations)
        if key not in self._chars:
            chars = np.ones(self.group.order, dtype=complex)
            half = self.group.wigner(Fraction(1, 2))
            for sh, n in zip(config.orbitals.shells, config.occupations):
                orbital = self.group.rep(sh.l, (-1) ** sh.l)
                for g in range(self.group.order):
                    lam = np.multiply.outer(np.linalg.eigvals(orbital[g]), np.linalg.eigvals(half[g])).ravel()
                    chars[g] *= (-1) ** n * np.poly(lam)[n]
            self._chars[key] = chars
        return self._chars[key]

    def multiplicities(self, config: Configuration) -> dict[str, tuple[int, int]]:
        mults = self.group.multiplicities(self.characters(config))
        return {lab: (m, self.group.irreps[lab].dim) for lab, m in mults.items()}

    def _action(self, config: Configuration) -> tuple[ConfigurationAction, DeterminantBasis, np.ndarray]:
        key = (config.orbitals, config.occupations)
        if key not in self._actions:
            act = ConfigurationAction(self.group, self._rot_shells(config))
            masks = act.masks()
            order = np.argsort(masks, kind="stable")
            self._actions[key] = (act, DeterminantBasis(masks), order)
        return self._actions[key]

    def adapt(self, config: Configuration, labels: Sequence[str]) -> dict[str, AdaptedIrrep]:
        mults = self.group.multiplicities(self.characters(config))
        out: dict[str, AdaptedIrrep] = {}
        for lab in labels:
            ir = self.group.irreps[lab]
            if lab not in mults:
                out[lab] = PointAdapted(lab, ir.dim, DeterminantBasis(np.zeros(0)), np.zeros((0, 1, 0)))
                continue
            act, full, order = self._action(config)
            sector_k = act.sector(ir.mu[0])  # positions in the action's order
            # the row-1 states span the range of P_11 on the sector; a few more random vectors
            # than their number span it too (with probability one) at a fraction of the cost
            mult = mults[lab]
            count = min(len(sector_k), mult + 8)
            trial = np.zeros((act.dimension, count))
            if count == len(sector_k):
                trial[sector_k, np.arange(count)] = 1.0
            else:
                rng = np.random.default_rng(len(sector_k))
                trial[sector_k] = rng.standard_normal((len(sector_k), count))
            proj = np.hstack([transfer(self.group, ir, act, trial[:, i:i + CHUNK], rows=[0],
                                       in_sector=True, keep=sector_k)[0]
                              for i in range(0, count, CHUNK)])
            rb = _real_span(proj)
            if rb is None:
                raise RuntimeError(f"{lab}: the row-1 states have no real basis")
            if rb.shape[1] != mult:
                raise RuntimeError(f"{lab}: found {rb.shape[1]} row-1 states, expected {mult}")
            # express over the sorted determinants of the sector
            masks = act.masks()[sector_k]
            srt = np.argsort(masks, kind="stable")
            basis = DeterminantBasis(masks)
            vec = self._sorted_by_ls(config, full, basis, rb[srt].T)
            out[lab] = PointAdapted(lab, ir.dim, basis, vec[:, None, :], full=full,
                                    sector=sector_k[srt], action=act, order=order)
        return out

    def _sorted_by_ls(self, config: Configuration, full: DeterminantBasis, basis: DeterminantBasis,
                      vec: np.ndarray) -> np.ndarray:
        """Rotate the copies (rows of `vec`) into eigenstates of L^2 + S^2/64 of all shells, then
        of the ligand's and the valence shell's: all commute with the group, so the states stay
        row-1 states, and the Coulomb blocks come out nearly diagonal (a small coefficient file)."""
        open_shells = [sh.name for sh, n in zip(config.orbitals.shells, config.occupations)
                       if 0 < n < sh.size]
        keys: list[tuple] = [()] * len(vec)
        for shells in [None] + [(n,) for n in ("ligand", "valence") if n in open_shells]:
            if shells is not None and len(open_shells) < 2:
                break
            y = vec @ (self._casimir(config, full, basis, shells) @ vec.T)
            groups: dict[tuple, list[int]] = {}
            for i, k in enumerate(keys):
                groups.setdefault(k, []).append(i)
            for k, idx in groups.items():
                w, u = np.linalg.eigh(y[np.ix_(idx, idx)])
                vec[idx] = u.T @ vec[idx]
                for i, e in zip(idx, w):
                    keys[i] = k + (round(float(e), 6),)
        return vec

    def _casimir(self, config: Configuration, full: DeterminantBasis, basis: DeterminantBasis,
                 shells: tuple[str, ...] | None):
        """L^2 + S^2/64 over the named shells (default all) on `basis`, with L+ and S+ taken
        into the whole configuration."""
        key = (config.orbitals, shells)
        if key not in self._ladders:
            self._ladders[key] = (l_plus(config.orbitals, shells), s_plus(config.orbitals, shells))
        return ls_casimir(self._ladders[key], config.orbitals, (full, full), basis, shells)

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

    def _partners(self, ground: PointAdapted) -> np.ndarray:
        """Every row of the ground states over the full configuration basis (sorted order)."""
        if ground.partners is None:
            act = ground.action
            ir = self.group.irreps[ground.label]
            ones = np.zeros((act.dimension, ground.mult))
            ones[ground.sector] = ground.vectors[:, 0, :].T
            # in chunks of states (bounds the memory); kept as contiguous real and imaginary parts
            parts = np.zeros((ground.dim, 2, act.dimension, ground.mult))
            for i in range(0, ground.mult, CHUNK):
                rows = partners(self.group, ir, act, ones[:, i:i + CHUNK])  # (dim, n_action, k)
                rows = rows[:, ground.order, :]
                parts[:, 0, :, i:i + CHUNK] = rows.real
                parts[:, 1, :, i:i + CHUNK] = rows.imag
            ground.partners = parts
        return ground.partners

    def transition_block(self, ground: AdaptedIrrep, components: Mapping[int, Operator],
                         excited: AdaptedIrrep, op_label: str) -> np.ndarray:
        if ground.mult == 0 or excited.mult == 0:
            return np.zeros((ground.mult, excited.mult))
        part, copy = _split(op_label)
        cg = self._coupling(ground.label, part, excited.label)
        if cg.shape[0] <= copy:
            return np.zeros((ground.mult, excited.mult))
        rows = self._partners(ground)
        e1 = np.ascontiguousarray(excited.vectors[:, 0, :])
        el = np.zeros((len(DIPOLE_ROWS[self.name][part]), ground.dim, excited.mult, ground.mult), dtype=complex)
        for b, q in enumerate(DIPOLE_ROWS[self.name][part]):
            m = components[q].matrix(excited.basis, ground.full)
            for a in range(ground.dim):
                # real and imaginary parts apart: real BLAS products on contiguous operands
                el[b, a] = e1 @ (m @ rows[a][0]) + 1j * (e1 @ (m @ rows[a][1]))
        red, resid = reduced_elements(cg, el, bra_row=0)
        scale = max(1.0, float(np.abs(el).max()))
        if resid > 1e-7 * scale:
            raise RuntimeError(f"{op_label} {ground.label} -> {excited.label}: not a {part} operator "
                               f"(residual {resid:.2e})")
        block = np.sqrt(excited.dim) * red[copy]
        return _real(block, f"{ground.label} {op_label} {excited.label}").T

    def polarisation_factor(self, ground_label: str, op_label: str, polarisation: str) -> float:
        if polarisation not in ("iso", "z", "xy"):
            raise ValueError(f"unknown polarisation {polarisation!r}")
        return POLARISATION[self.name][_split(op_label)[0]][polarisation]


def _real_span(proj: np.ndarray, tol: float = 1e-8) -> np.ndarray | None:
    """Real orthonormal basis of the span of `proj` (the projections of real trial vectors),
    or None when that span is not closed under complex conjugation.

    For a conjugation-closed span the real parts of the columns already span it, so one real
    eigen-decomposition of their Gram matrix replaces complex factorisations; the imaginary
    parts must then lie in it (checked).
    """
    # contiguous copies: products of the strided .real/.imag views miss the BLAS routines
    re = np.ascontiguousarray(proj.real)
    w, v = np.linalg.eigh(re.T @ re)
    keep = w > tol * max(w[-1], 1e-300)
    basis = re @ (v[:, keep] / np.sqrt(w[keep]))
    # one re-orthonormalisation against the rounding of the Gram route
    q, r = np.linalg.qr(basis)
    basis = q * np.sign(np.diag(r))
    im = np.ascontiguousarray(proj.imag)
    if np.abs(im - basis @ (basis.T @ im)).max(initial=0.0) > 1e-7 * max(1.0, np.abs(proj).max()):
        return None
    return basis


def _real(block: np.ndarray, what: str) -> np.ndarray:
    """Remove the block's common phase (taken modulo pi, so signs survive) and return it real."""
    big = np.abs(block).max() if block.size else 0.0
    if big < 1e-12:
        return np.zeros(block.shape)
    phase = np.angle(block.flat[np.argmax(np.abs(block))]) % np.pi
    if np.pi - phase < 1e-6:
        phase = 0.0
    out = block * np.exp(-1j * phase)
    if np.abs(out.imag).max() > 1e-7 * big:
        raise RuntimeError(f"{what}: reduced elements are not real up to one phase")
    return out.real


class OhSymmetry(PointGroupSymmetry):
    """Octahedral symmetry with inversion (double group when spin–orbit coupling is on)."""

    def __init__(self) -> None:
        super().__init__(oh())


class D4hSymmetry(PointGroupSymmetry):
    """Tetragonal symmetry with inversion; z is the four-fold axis."""

    def __init__(self) -> None:
        super().__init__(d4h())
