"""Point-group adapted states of a configuration, built shell by shell and coupled.

Projecting a whole configuration (tens of thousands of determinants) with every group element
is what made large charge-transfer models slow. Here each open shell is adapted on its own (a
few hundred determinants at most), every row of every irrep, and shells are coupled with the
group's Clebsch–Gordan coefficients (`groupcoupling.coupling_coefficients`):

    |(X tx, Y ty) Z w, z> = sum_{x,y} C[w, x, y, z] |X tx, x> |Y ty, y>

A determinant of the configuration is the product of its shells' determinants in shell order
(lower spin-orbital numbers first), which is the package's ordering of creation operators, so the
product of shell states carries no extra sign. A closed (or empty) shell is one determinant of
the identity irrep and only adds its bits. Every state set here is indexed by determinant masks
in increasing order: with the later shell's bits above the earlier one's, the index j * n1 + i of
the pair (i in the first, j in the second) is already sorted.

Row 1 of every irrep is made real (the engine takes real blocks). The Clebsch–Gordan sum of two
real row-1 states is real only up to a unitary mix of the outer-multiplicity copies w; that mix
depends on the irreps alone (the conjugation of the rows of a copy is fixed by the irrep's
matrices), so it is found once per (X, Y, Z) from the first pair of copies and checked on all.

All open shells but the last are coupled into one factor F1 (whose copies are then rotated into
eigenstates of its L^2 + S^2/64, then of the valence shell's, for sparse blocks); the last open
shell is the factor F2. A configuration's copies of Z are labelled by (X, tx, Y, ty, rho), and an
invariant operator acting inside one factor is a matrix over that factor's copies alone:

    <(X tx', Y ty) Z rho, z| O_F1 |(X tx, Y ty) Z rho, z> = <X tx', x| O_F1 |X tx, x>,

so its blocks are assembled from small factor blocks without touching the configuration's
determinants. Operators between configurations (the hybridisation, the transition operator) are
made from the factors' matrices as well (`morvex7.ion.recoupling`); `rows` writes the states out
over determinants for an operator that crosses the factors inside one configuration (and as
the reference of the tests).
"""
from __future__ import annotations

from dataclasses import dataclass, field
from fractions import Fraction
from typing import Callable, Sequence

import numpy as np
import scipy.sparse as sp

from .atomic import l_plus, s_plus
from .detrotation import ConfigurationAction, Shell as RotShell
from .determinants import DeterminantBasis, Operator, Orbitals
from .groupcoupling import partners, transfer
from .pointgroups import PointGroup
from .symmetry import Configuration, ls_casimir, refine_by_eigenvalues

Coupling = Callable[[str, str, str], np.ndarray]


def in_sector(two_m: np.ndarray, mu: Fraction) -> np.ndarray:
    """Determinants whose M is congruent to mu modulo 4 (the C4z sector of a row with label mu)."""
    return np.mod(two_m - int(2 * mu), 8) == 0


@dataclass
class Space:
    """Adapted states of some open shells (the rest closed or empty).

    ``masks`` are the determinants in increasing order (closed shells' bits included), ``two_m``
    twice their M, ``states[label]`` every row of every copy, shape (dim, mult, n), row 0 real;
    ``shells`` the names of the open shells covered.
    """

    masks: np.ndarray
    two_m: np.ndarray
    states: dict[str, np.ndarray]
    shells: tuple[str, ...]
    #: lowest and highest spin-orbital of the open shells covered
    span: tuple[int, int] = (0, -1)
    #: blocks of invariant operators already computed, keyed by (id of the operator, label)
    blocks: dict[tuple, np.ndarray] = field(default_factory=dict)

    def row_one(self, label: str, mu: Fraction) -> tuple[DeterminantBasis, np.ndarray]:
        """Row 1 (C4z label ``mu``) of every copy of ``label`` over its sector:
        (sector, real states (mult, sector size))."""
        sec = np.flatnonzero(in_sector(self.two_m, mu))
        return DeterminantBasis(self.masks[sec]), np.ascontiguousarray(self.states[label][0][:, sec].real)

    def block(self, op: Operator, label: str, mu: Fraction,
              matrices: dict | None = None) -> np.ndarray:
        """<label t'| op |label t> over the copies of ``label`` (op invariant, acting here).
        ``matrices`` lends the operator's matrices over the C4z sectors already made for the
        other irreps of one call ({sector: matrix}); they are not kept here, as they would
        outweigh the blocks."""
        key = (id(op), label)
        hit = self.blocks.get(key)
        if hit is None or hit[0] is not op:  # the operator is kept, so its id stays its own
            basis, v = self.row_one(label, mu)
            sector = int(np.mod(int(2 * mu), 8))
            m = None if matrices is None else matrices.get(sector)
            if m is None:
                m = op.matrix(basis, basis)
                if matrices is not None:
                    matrices[sector] = m
            hit = (op, v @ (m @ v.T))
            self.blocks[key] = hit
        return hit[1]


def shell_characters(group: PointGroup, l: int, n: int) -> np.ndarray:
    """Character of every group element on the determinants of n electrons in a shell of
    angular momentum l: the elementary symmetric polynomial e_n of the one-electron eigenvalues."""
    half = group.wigner(Fraction(1, 2))
    orbital = group.rep(l, (-1) ** l)
    chars = np.ones(group.order, dtype=complex)
    for g in range(group.order):
        lam = np.multiply.outer(np.linalg.eigvals(orbital[g]), np.linalg.eigvals(half[g])).ravel()
        chars[g] = (-1) ** n * np.poly(lam)[n]
    return chars


def _real_span(proj: np.ndarray, tol: float = 1e-8) -> np.ndarray:
    """Real orthonormal basis (columns) of the span of the real and imaginary parts of the
    columns of ``proj``: as many columns as ``proj`` has independent ones exactly when their
    span is closed under complex conjugation (the callers check the count)."""
    re = np.ascontiguousarray(proj.real)
    im = np.ascontiguousarray(proj.imag)
    both = np.hstack([re, im])
    w, v = np.linalg.eigh(both.T @ both)
    keep = w > tol * max(w[-1], 1e-300) if len(w) else np.zeros(0, bool)
    basis = both @ (v[:, keep] / np.sqrt(w[keep]))
    q, r = np.linalg.qr(basis)
    basis = q * np.sign(np.diag(r))
    return basis


def _ls_rotation(vec: np.ndarray, casimirs: Sequence) -> np.ndarray:
    """Orthogonal U (rows: new states) that diagonalises each commuting operator of
    ``casimirs`` in turn within the states ``vec`` (rows), grouping equal eigenvalues."""
    u = np.eye(len(vec))
    keys: list[tuple] = [()] * len(vec)
    for c in casimirs:
        cur = u @ vec
        u, keys = refine_by_eigenvalues(u, keys, cur @ (c @ cur.T))
    return u


class ShellCoupler:
    """Adapted states of configurations of one set of orbitals in a point group."""

    def __init__(self, group: PointGroup, orbitals: Orbitals, coupling: Coupling):
        self.group = group
        self.orbitals = orbitals
        self.coupling = coupling
        self._shell_spaces: dict[tuple, Space] = {}
        self._factor_spaces: dict[tuple, Space] = {}
        self._ladders: dict[tuple, tuple[Operator, Operator]] = {}
        self._outer: dict[tuple[str, str, str], int] = {}
        self._mixes: dict[tuple, tuple[Space, Space, np.ndarray]] = {}
        self.trivial = next(lab for lab, ir in group.irreps.items()
                            if np.allclose(ir.characters, 1.0))

    # ----------------------------------------------------------------- pieces
    def outer(self, a: str, b: str, c: str) -> int:
        if (a, b, c) not in self._outer:
            ch = [self.group.irreps[x].characters for x in (a, b, c)]
            self._outer[(a, b, c)] = int(round(float(np.real(np.sum(ch[0] * ch[1] * np.conj(ch[2])))
                                                     / self.group.order)))
        return self._outer[(a, b, c)]

    def _casimir(self, shells: tuple[str, ...], masks: np.ndarray):
        if shells not in self._ladders:
            self._ladders[shells] = (l_plus(self.orbitals, shells), s_plus(self.orbitals, shells))
        full = DeterminantBasis(masks)
        return ls_casimir(self._ladders[shells], self.orbitals, (full, full), full, shells)

    def _sort(self, space: Space, order: Sequence[tuple[str, ...]]) -> None:
        """Rotate every irrep's copies into eigenstates of L^2 + S^2/64 of the given shell sets
        in turn (all commute with the group: every row rotates alike)."""
        cas = [self._casimir(s, space.masks) for s in order]
        for lab, st in space.states.items():
            if st.shape[1] > 1:
                u = _ls_rotation(np.ascontiguousarray(st[0].real), cas)
                space.states[lab] = np.einsum("km,dmn->dkn", u, st)

    def closed_bits(self, config: Configuration) -> int:
        bits = 0
        for sh, n in zip(config.orbitals.shells, config.occupations):
            if n == sh.size:
                bits |= ((1 << sh.size) - 1) << sh.offset
        return bits

    def shell_space(self, index: int, n: int, closed: int) -> Space:
        """Every row of every irrep of n electrons in shell ``index`` (the others closed as in
        ``closed`` or empty), copies sorted by the shell's L^2 + S^2/64.

        The states do not depend on the closed shells (their bits only shift every mask alike,
        and every sign they add to a ladder inside the shell cancels in pairs), so they are made
        once per (shell, electrons) and shared by the spaces of every ``closed``; each space
        keeps its own blocks, whose operators may reach the closed shells."""
        key = (index, n, closed)
        if key in self._shell_spaces:
            return self._shell_spaces[key]
        bare = self._shell_spaces.get((index, n, 0)) if closed else None
        if bare is None:
            bare = self._bare_shell_space(index, n)
            self._shell_spaces[(index, n, 0)] = bare
        if not closed:
            return bare
        space = Space(bare.masks | np.uint64(closed), bare.two_m, dict(bare.states), bare.shells,
                      bare.span)
        self._shell_spaces[key] = space
        return space

    def _bare_shell_space(self, index: int, n: int) -> Space:
        """`shell_space` with every other shell empty."""
        sh = self.orbitals.shells[index]
        act = ConfigurationAction(self.group, [RotShell(sh.l, n, sh.offset)])
        masks = act.masks()
        order = np.argsort(masks, kind="stable")
        two_m = np.rint(2 * act.total_m()).astype(np.int64)
        states = {}
        for lab, mult in self.group.multiplicities(shell_characters(self.group, sh.l, n)).items():
            ir = self.group.irreps[lab]
            sector = act.sector(ir.mu[0])
            trial = np.zeros((act.dimension, len(sector)))
            trial[sector, np.arange(len(sector))] = 1.0
            proj = transfer(self.group, ir, act, trial, rows=[0], in_sector=True)[0]
            rb = _real_span(proj)
            if rb.shape[1] != mult:
                raise RuntimeError(f"shell {sh.name}{n} {lab}: no real basis of {mult} row-1 states")
            rows = partners(self.group, ir, act, rb)  # (dim, n, mult), the action's order
            rows[0] = rb
            states[lab] = np.ascontiguousarray(rows[:, order, :].transpose(0, 2, 1))
        space = Space(masks[order], two_m[order], states, (sh.name,),
                      (sh.offset, sh.offset + sh.size - 1))
        self._sort(space, [(sh.name,)])
        return space

    def _pair(self, a: Space, b: Space, z: str, rows: Sequence[int]
              ) -> tuple[list[np.ndarray], list[np.ndarray], np.ndarray]:
        """Every copy of irrep z in a x b, the rows ``rows``, each over its own C4z sector.

        Returns (per row: the states (mult, sector size), real for row 1), (per row: the
        positions of its sector among the product's determinants) and the copies' labels
        (index of X in a, tx, index of Y in b, ty, rho), an integer array (mult, 5).
        """
        ir = self.group.irreps[z]
        n1, n2 = len(a.masks), len(b.masks)
        two_m = (b.two_m[:, None] + a.two_m[None, :]).ravel()
        sectors = [np.flatnonzero(in_sector(two_m, ir.mu[r])) for r in rows]
        where = []
        for sec in sectors:
            pos = np.full(n1 * n2, -1, dtype=np.int64)
            pos[sec] = np.arange(len(sec))
            where.append(pos)
        out = [[] for _ in rows]
        labels = []
        for xi, (x, sa) in enumerate(a.states.items()):
            ix = self.group.irreps[x]
            sup_a = [np.flatnonzero(in_sector(a.two_m, mu)) for mu in ix.mu]
            for yi, (y, sb) in enumerate(b.states.items()):
                nw = self.outer(x, y, z)
                if nw == 0:
                    continue
                iy = self.group.irreps[y]
                sup_b = [np.flatnonzero(in_sector(b.two_m, mu)) for mu in iy.mu]
                cg = self.coupling(x, y, z)  # (w, x, y, z)
                ma, mb = sa.shape[1], sb.shape[1]
                got = []
                for k, r in enumerate(rows):
                    acc = np.zeros((ma, mb, nw, len(sectors[k])), dtype=complex)
                    for p in range(ix.dim):
                        for q in range(iy.dim):
                            c = cg[:, p, q, r]
                            if not np.any(np.abs(c) > 1e-12):
                                continue
                            ia, jb = sup_a[p], sup_b[q]
                            cols = where[k][(jb[:, None] * n1 + ia[None, :]).ravel()]
                            prod = (sa[p][:, None, None, ia] * sb[q][None, :, jb, None])
                            prod = prod.reshape(ma, mb, -1)
                            for w in range(nw):
                                if abs(c[w]) > 1e-12:
                                    acc[:, :, w, cols] += c[w] * prod
                    got.append(acc)
                mix = self.mix(a, b, x, y, z)
                for k in range(len(rows)):
                    got[k] = np.einsum("abwn,wr->abrn", got[k], mix).reshape(ma * mb * nw, -1)
                big = max(1.0, float(np.abs(got[0]).max(initial=0.0)))
                if np.abs(got[0].imag).max(initial=0.0) > 1e-7 * big:
                    raise RuntimeError(f"{x} x {y} -> {z}: copies of row 1 not real alike")
                got[0] = got[0].real
                for k in range(len(rows)):
                    out[k].append(got[k])
                ta, tb, rho = np.meshgrid(np.arange(ma), np.arange(mb), np.arange(nw), indexing="ij")
                labels.append(np.stack([np.full(ta.size, xi), ta.ravel(), np.full(ta.size, yi),
                                        tb.ravel(), rho.ravel()], axis=1))
        arrays = [np.concatenate(o) if o else np.zeros((0, len(s))) for o, s in zip(out, sectors)]
        copies = np.concatenate(labels) if labels else np.zeros((0, 5), dtype=np.int64)
        return arrays, sectors, copies

    def mix(self, a: Space, b: Space, x: str, y: str, z: str) -> np.ndarray:
        """The unitary mix (nw, nw) of the outer-multiplicity copies of z in x (of ``a``) times
        y (of ``b``) that makes row 1 real, found from the first pair of copies (see the module
        description); the same for every pair. Every path that couples a and b takes it from
        here, so that their copies are the same states to the last bit."""
        key = (id(a), id(b), x, y, z)
        hit = self._mixes.get(key)
        if hit is not None and hit[0] is a and hit[1] is b:
            return hit[2]
        ix, iy, ir = (self.group.irreps[t] for t in (x, y, z))
        cg = self.coupling(x, y, z)
        nw = cg.shape[0]
        n1, n2 = len(a.masks), len(b.masks)
        two_m = (b.two_m[:, None] + a.two_m[None, :]).ravel()
        sec = np.flatnonzero(in_sector(two_m, ir.mu[0]))
        where = np.full(n1 * n2, -1, dtype=np.int64)
        where[sec] = np.arange(len(sec))
        sa, sb = a.states[x][:, :1], b.states[y][:, :1]
        sup_a = [np.flatnonzero(in_sector(a.two_m, mu)) for mu in ix.mu]
        sup_b = [np.flatnonzero(in_sector(b.two_m, mu)) for mu in iy.mu]
        acc = np.zeros((1, 1, nw, len(sec)), dtype=complex)
        for p in range(ix.dim):
            for q in range(iy.dim):
                c = cg[:, p, q, 0]
                if not np.any(np.abs(c) > 1e-12):
                    continue
                ia, jb = sup_a[p], sup_b[q]
                cols = where[(jb[:, None] * n1 + ia[None, :]).ravel()]
                prod = (sa[p][:, None, None, ia] * sb[q][None, :, jb, None]).reshape(1, 1, -1)
                for w in range(nw):
                    if abs(c[w]) > 1e-12:
                        acc[:, :, w, cols] += c[w] * prod
        first = acc[0, 0].T  # (sector, nw)
        basis = _real_span(first)
        if basis.shape[1] != nw:
            raise RuntimeError(f"{x} x {y} -> {z}: row 1 has no real basis")
        mix = first.conj().T @ basis  # (nw, nw)
        self._mixes[key] = (a, b, mix)
        return mix

    def couple(self, a: Space, b: Space) -> Space:
        """Every row of every irrep of a x b (b's open shells above a's)."""
        masks = (b.masks[:, None] | a.masks[None, :]).ravel()
        two_m = (b.two_m[:, None] + a.two_m[None, :]).ravel()
        states = {}
        for z, ir in self.group.irreps.items():
            arrays, sectors, copies = self._pair(a, b, z, list(range(ir.dim)))
            if not len(copies):
                continue
            st = np.zeros((ir.dim, len(copies), len(masks)), dtype=complex)
            for r, (arr, sec) in enumerate(zip(arrays, sectors)):
                st[r][:, sec] = arr
            states[z] = st
        return Space(masks, two_m, states, a.shells + b.shells, (a.span[0], b.span[1]))

    # ----------------------------------------------------------------- configurations
    def factors(self, config: Configuration) -> tuple[Space, Space | None]:
        """(F1, F2) of a configuration (see the module description)."""
        closed = self.closed_bits(config)
        open_ = [i for i, (sh, n) in enumerate(zip(config.orbitals.shells, config.occupations))
                 if 0 < n < sh.size]
        if not open_:
            one = Space(np.array([closed], dtype=np.uint64), np.zeros(1, dtype=np.int64),
                        {self.trivial: np.ones((1, 1, 1), dtype=complex)}, ())
            return one, None
        spaces = [self.shell_space(i, config.occupations[i], closed) for i in open_]
        if len(spaces) == 1:
            return spaces[0], None
        key = tuple((i, config.occupations[i]) for i in open_[:-1]) + (closed,)
        if key not in self._factor_spaces:
            f1 = spaces[0]
            for s in spaces[1:-1]:
                f1 = self.couple(f1, s)
            if len(spaces) > 2:
                order = [f1.shells] + [(n,) for n in ("ligand", "valence") if n in f1.shells]
                self._sort(f1, order)
            self._factor_spaces[key] = f1
        return self._factor_spaces[key], spaces[-1]

    def copies(self, config: Configuration, label: str) -> np.ndarray:
        """The labels (index of X in F1, tx, index of Y in F2, ty, rho) of every copy of
        ``label`` in ``config``, in the order of `rows`, without forming a state."""
        f1, f2 = self.factors(config)
        if f2 is None:
            m = f1.states[label].shape[1] if label in f1.states else 0
            return np.stack([np.zeros(m, int), np.arange(m), np.zeros(m, int),
                             np.zeros(m, int), np.zeros(m, int)], axis=1).astype(np.int64)
        labels = []
        for xi, (x, sa) in enumerate(f1.states.items()):
            for yi, (y, sb) in enumerate(f2.states.items()):
                nw = self.outer(x, y, label)
                if nw == 0:
                    continue
                ta, tb, rho = np.meshgrid(np.arange(sa.shape[1]), np.arange(sb.shape[1]),
                                          np.arange(nw), indexing="ij")
                labels.append(np.stack([np.full(ta.size, xi), ta.ravel(), np.full(ta.size, yi),
                                        tb.ravel(), rho.ravel()], axis=1))
        return np.concatenate(labels).astype(np.int64) if labels else np.zeros((0, 5), np.int64)

    def rows(self, config: Configuration, label: str, rows: Sequence[int]
             ) -> tuple[list[DeterminantBasis], list[np.ndarray], np.ndarray]:
        """Rows ``rows`` of every copy of ``label`` in ``config``: per row its C4z sector's
        determinants and the states over them (row 1 real), and the copies' labels."""
        f1, f2 = self.factors(config)
        ir = self.group.irreps[label]
        if f2 is None:
            st = f1.states.get(label)
            if st is None:
                return [DeterminantBasis(np.zeros(0))] * len(rows), \
                    [np.zeros((0, 0))] * len(rows), np.zeros((0, 5), dtype=np.int64)
            bases, arrays = [], []
            for r in rows:
                sec = np.flatnonzero(in_sector(f1.two_m, ir.mu[r]))
                bases.append(DeterminantBasis(f1.masks[sec]))
                arr = st[r][:, sec]
                arrays.append(arr.real if r == 0 else arr)
            m = st.shape[1]
            copies = np.stack([np.zeros(m, int), np.arange(m), np.zeros(m, int),
                               np.zeros(m, int), np.zeros(m, int)], axis=1)
            return bases, arrays, copies
        arrays, sectors, copies = self._pair(f1, f2, label, list(rows))
        masks = (f2.masks[:, None] | f1.masks[None, :]).ravel()
        return [DeterminantBasis(masks[s]) for s in sectors], arrays, copies

    def factor_block(self, config: Configuration, label: str, copies: np.ndarray,
                     op: Operator, touched: tuple[int, int]) -> sp.csr_matrix | None:
        """The block (sparse) of an invariant operator over the copies of ``label`` when it acts
        inside one factor (its spin-orbitals between ``touched``), else None."""
        f1, f2 = self.factors(config)
        mu = self.group.irreps
        if not len(copies):
            return sp.csr_matrix((0, 0))
        lo, hi = touched
        if f2 is None:
            return sp.csr_matrix(f1.block(op, label, mu[label].mu[0]))
        if hi < f2.span[0]:          # inside F1 (and closed shells below F2)
            inside, which, other = f1, 0, [0, 2, 3, 4]
        elif lo > f1.span[1]:        # inside F2 (and closed shells above F1)
            inside, which, other = f2, 2, [0, 1, 2, 4]
        else:
            return None
        names = list(inside.states)
        n = len(copies)
        # copies that differ only in the acting factor's copy number form one group, and each
        # group holds the block of its irrep between its copies
        _, group_of = np.unique(copies[:, other], axis=0, return_inverse=True)
        group_of = group_of.ravel()
        t = copies[:, which + 1]
        irreps = np.unique(copies[:, which])
        sectors: dict[int, sp.csr_matrix] = {}
        blocks = {xi: inside.block(op, names[xi], mu[names[xi]].mu[0], sectors)
                  for xi in irreps}
        tables = {}
        for xi in irreps:
            members = np.flatnonzero(copies[:, which] == xi)
            table = _group_table(group_of[members], t[members], blocks[xi].shape[0])
            if table is None or (len(table[0]) > 1 and (np.diff(table, axis=1) <= 0).any()):
                return _grouped_block(copies[:, which], group_of, t, blocks)
            tables[xi] = (members, members[table])
        return _spread(n, copies[:, which], group_of, t, blocks, tables)


def _spread(n: int, irrep_of: np.ndarray, group_of: np.ndarray, t: np.ndarray,
            blocks: dict[int, np.ndarray], tables: dict) -> sp.csr_matrix:
    """The block over every copy as canonical CSR, made row by row from the irreps' blocks:
    copy i of copy number t in group g holds row t of its irrep's block, its columns those of
    the group's copies (``tables[irrep]``: the irrep's copies, and the copies of each group by
    copy number, rising along the copy number, so each row's columns stay sorted)."""
    data, indices, flat = [], [], []
    stored = offset = 0
    lengths = np.zeros(n, dtype=np.int64)
    first = np.zeros(n, dtype=np.int64)   # where a copy's row starts among the stored elements
    base = np.zeros(n, dtype=np.int64)    # where its group's copies start in the flat tables
    for xi, (members, table) in tables.items():
        b = sp.csr_matrix(blocks[xi])
        rank = np.unique(group_of[members], return_inverse=True)[1].ravel()
        base[members] = offset + rank * table.shape[1]
        first[members] = stored + b.indptr[t[members]]
        lengths[members] = np.diff(b.indptr)[t[members]]
        flat.append(table.ravel())
        data.append(b.data)
        indices.append(b.indices)
        offset += table.size
        stored += len(b.data)
    indptr = np.concatenate([[0], np.cumsum(lengths)])
    pick = np.arange(indptr[-1]) + np.repeat(first - indptr[:-1], lengths)
    cols = np.concatenate(flat)[np.repeat(base, lengths) + np.concatenate(indices)[pick]]
    return sp.csr_matrix((np.concatenate(data)[pick], cols, indptr), shape=(n, n))


def _grouped_block(irrep_of: np.ndarray, group_of: np.ndarray, t: np.ndarray,
                   blocks: dict[int, np.ndarray]) -> sp.csr_matrix:
    """As `_spread` for copies in any arrangement, group by group."""
    rows, cols, vals = [], [], []
    for g in np.unique(group_of):
        idx = np.flatnonzero(group_of == g)
        part = blocks[irrep_of[idx[0]]][np.ix_(t[idx], t[idx])]
        i, j = np.nonzero(part)
        rows.append(idx[i])
        cols.append(idx[j])
        vals.append(part[i, j])
    n = len(t)
    if not rows:
        return sp.csr_matrix((n, n))
    return sp.csr_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                         shape=(n, n))


def _group_table(groups: np.ndarray, t: np.ndarray, mult: int) -> np.ndarray | None:
    """Positions (into ``groups``) as a table (group, copy number), when every group holds
    each of the copy numbers 0 .. mult - 1 exactly once; else None."""
    ids, rank = np.unique(groups, return_inverse=True)
    rank = rank.ravel()
    if len(groups) != len(ids) * mult:
        return None
    table = np.full((len(ids), mult), -1, dtype=np.int64)
    table[rank, t] = np.arange(len(groups))
    return table if (table >= 0).all() else None
