"""Operators across the factors of the shell coupling, from the factors' own small matrices.

A configuration's copies are coupled products of a lower part (the shells below a cut shell)
and an upper part (the cut shell):

    |(X tx, Y ty) Z rho, z> = sum_{x,y} M[rho, x, y, z] |X tx, x>_lower |Y ty, y>_upper

(M: the group's Clebsch–Gordan coefficients times the mix that makes row 1 real, see
`morvex7.ion.shellcoupling`). The cut is the highest shell open in either configuration of a
pair, so that both configurations of a hybridisation (valence <-> ligand) or of the dipole
transition (core -> valence) are such products: a configuration whose cut shell is closed or
empty has one upper state of the identity irrep; one whose only open shell is the cut shell has
one lower state.

Each term of the operator splits into its ladders below the cut (A) and on the cut shell (B).
Moving B's ladders to the right of A's gives the sign of the swaps, and B, acting first, passes
every electron of the lower part: (-1)^(N_lower of the ket) per ladder. The determinant of the
configuration is the product of the parts' determinants (lower spin-orbitals first), so

    <D1' D2'| A B |D1 D2> = sign * <D1'|A|D1> <D2'|B|D2>

with A evaluated over the lower part's determinants and B over the cut shell's alone. Terms are
grouped by their ladders on the side with fewer distinct ones; each group's A and B are taken
once between every pair of irreps of the parts (small dense matrices over all rows and copies),
and the block between two coupled irreps is, group of copies by group of copies, a sum of
Kronecker products of those factor blocks weighted by the coupling coefficients. No state is
ever written out over the determinants of a whole configuration.
"""
from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

from .blocks import NOISE, above_noise
from .determinants import DeterminantBasis, Operator
from .pointgroups import PointGroup
from .shellcoupling import ShellCoupler, Space
from .symmetry import Configuration


@dataclass
class Group:
    """The copies of Z from irrep x of the lower part and y of the upper: mx * my * nw of
    them from ``start``, in the order (tx, ty, rho); ``coeff[rho, x row, y row, z row]``."""

    x: str
    y: str
    mx: int
    my: int
    nw: int
    coeff: np.ndarray
    start: int


@dataclass
class Product:
    """A configuration as coupled products of a lower and an upper part (see the module
    description); the parts' masks hold only their own bits."""

    lower: Space
    upper: Space
    electrons_lower: int
    groups: dict[str, list[Group]]


def _strip(space: Space, bits: int) -> Space:
    """The space with its masks cut to ``bits`` (the other bits are the same in every mask)."""
    return Space(space.masks & np.uint64(bits), space.two_m, space.states, space.shells,
                 space.span)


def _single(space: Space, trivial: str, lower: bool) -> dict[str, list[Group]]:
    """Groups of a configuration that is one part alone (the other a single state)."""
    out = {}
    for z, st in space.states.items():
        dim, m = st.shape[0], st.shape[1]
        if lower:
            coeff = np.eye(dim, dtype=complex).reshape(1, dim, 1, dim)
            out[z] = [Group(z, trivial, m, 1, 1, coeff, 0)]
        else:
            coeff = np.eye(dim, dtype=complex).reshape(1, 1, dim, dim)
            out[z] = [Group(trivial, z, 1, m, 1, coeff, 0)]
    return out


def _one_state(mask: int, trivial: str) -> Space:
    return Space(np.array([mask], dtype=np.uint64), np.zeros(1, dtype=np.int64),
                 {trivial: np.ones((1, 1, 1), dtype=complex)}, ())


def product(coupler: ShellCoupler, config: Configuration, cut: int) -> Product:
    """The configuration as products of the shells below shell ``cut`` and shell ``cut``."""
    key = ("product", config.occupations, cut)
    hit = coupler._factor_spaces.get(key)
    if hit is not None:
        return hit
    shells = config.orbitals.shells
    sh = shells[cut]
    upper_bits = ((1 << sh.size) - 1) << sh.offset
    lower_bits = (1 << sh.offset) - 1
    f1, f2 = coupler.factors(config)
    cut_open = 0 < config.occupations[cut] < sh.size
    closed = coupler.closed_bits(config)
    triv = coupler.trivial
    if f2 is not None and cut_open:
        lower, upper = _strip(f1, lower_bits), _strip(f2, upper_bits)
        groups: dict[str, list[Group]] = {}
        for z in coupler.group.irreps:
            gl, start = [], 0
            for x, sa in f1.states.items():
                for y, sb in f2.states.items():
                    nw = coupler.outer(x, y, z)
                    if nw == 0:
                        continue
                    mix = coupler.mix(f1, f2, x, y, z)
                    coeff = np.einsum("wxyz,wr->rxyz", coupler.coupling(x, y, z), mix)
                    gl.append(Group(x, y, sa.shape[1], sb.shape[1], nw, coeff, start))
                    start += sa.shape[1] * sb.shape[1] * nw
            if gl:
                groups[z] = gl
    elif cut_open:  # the cut shell alone is open
        lower = _one_state(closed & lower_bits, triv)
        upper = _strip(f1, upper_bits)
        groups = _single(upper, triv, lower=False)
    else:  # the cut shell is closed or empty: the configuration lies in the lower part
        whole = f1 if f2 is None else coupler.couple(f1, f2)
        lower = _strip(whole, lower_bits)
        upper = _one_state(closed & upper_bits, triv)
        groups = _single(lower, triv, lower=True)
    n_lower = int(bin(int(lower.masks[0])).count("1"))
    out = Product(lower, upper, n_lower, groups)
    coupler._factor_spaces[key] = out
    return out


def _by_sector(space: Space, group: PointGroup) -> dict[int, tuple[np.ndarray, np.ndarray, list]]:
    """The space's states (every row of every copy) grouped by C4z sector: {2M mod 8:
    (the sector's determinant positions, states (count, sector size), [(irrep, row, first
    index, mult)])}. A state of row x lies in one sector, so an operator of given M change
    connects one sector with one other."""
    hit = space.blocks.get(("sectors",))
    if hit is not None:
        return hit
    res = np.mod(space.two_m, 8)
    parts: dict[int, list] = {}
    for lab, st in space.states.items():
        mu = group.irreps[lab].mu
        for x in range(st.shape[0]):
            r = int(2 * mu[x]) % 8
            parts.setdefault(r, []).append((lab, x, st[x]))
    out = {}
    for r, items in parts.items():
        pos = np.flatnonzero(res == r)
        index, start = [], 0
        for lab, x, v in items:
            index.append((lab, x, start, v.shape[0]))
            start += v.shape[0]
        states = np.concatenate([v[:, pos] for _, _, v in items])
        out[r] = (pos, states, index)
    space.blocks[("sectors",)] = out
    return out


def factor_blocks(group: PointGroup, bra: Space, op: Operator, ket: Space
                  ) -> dict[tuple[str, str], list[tuple[int, int, np.ndarray]]]:
    """<X' x' t'| op |X x t> between every pair of irreps of two spaces (same part): for each
    pair (X', X) the rows (x', x) with an element and their blocks over the copies (t', t).
    Worked out sector by sector of the C4z labels: an operator of given M change connects a
    row of one sector with rows of one other (a quarter of the rows, a quarter of the
    columns), and only those blocks are kept."""
    m = op.matrix(DeterminantBasis(bra.masks), DeterminantBasis(ket.masks)).tocsc()
    out: dict[tuple[str, str], np.ndarray] = {}
    if m.nnz:
        sb, sk = _by_sector(bra, group), _by_sector(ket, group)
        for rk, (pos_k, st_k, idx_k) in sk.items():
            cols = m[:, pos_k]
            if cols.nnz == 0:
                continue
            for rb, (pos_b, st_b, idx_b) in sb.items():
                part = cols[pos_b]
                if part.nnz == 0:
                    continue
                mv = part @ st_k.T  # (bra sector dets, ket states)
                blk = np.conj(st_b) @ mv
                # the largest element of every (bra row, ket row) sub-block at once
                big = np.maximum.reduceat(np.abs(blk), [e[2] for e in idx_b], axis=0)
                big = np.maximum.reduceat(big, [e[2] for e in idx_k], axis=1)
                for i, j in zip(*np.nonzero(big > 1e-13)):
                    lb, xb, i0, nb = idx_b[i]
                    lk, xk, j0, nk = idx_k[j]
                    out.setdefault((lb, lk), []).append(
                        (xb, xk, blk[i0:i0 + nb, j0:j0 + nk].copy()))
    return out


def _dense(blocks: dict, bra: Space, ket: Space) -> dict[tuple[str, str], np.ndarray]:
    """Factor blocks as arrays (dim X', mult X', dim X, mult X) (for the small upper part)."""
    out = {}
    for (lb, lk), entries in blocks.items():
        arr = np.zeros(bra.states[lb].shape[:2] + ket.states[lk].shape[:2], dtype=complex)
        for xb, xk, sub in entries:
            arr[xb, :, xk, :] = sub
        out[(lb, lk)] = arr
    return out


def _split_terms(op: Operator, cut_lo: int, cut_hi: int):
    """Terms as (lower ladders, upper ladders, coefficient with the sign of moving the upper
    ladders to the right); ValueError for a ladder above the cut shell."""
    out = []
    for term, coef in op.terms.items():
        if any(o >= cut_hi for o, _ in term):
            raise ValueError("the operator acts above the cut shell")
        low = tuple(l for l in term if l[0] < cut_lo)
        up = tuple(l for l in term if l[0] >= cut_lo)
        swaps, seen_up = 0, 0
        for o, _ in term:
            if o >= cut_lo:
                seen_up += 1
            else:
                swaps += seen_up
        out.append((low, up, coef * (-1) ** swaps))
    return out


class CrossOperator:
    """An operator between two configurations whose blocks are made from the parts' matrices."""

    def __init__(self, coupler: ShellCoupler, bra: Configuration, ket: Configuration,
                 op: Operator):
        shells = bra.orbitals.shells
        opened = [i for i, sh in enumerate(shells)
                  if 0 < bra.occupations[i] < sh.size or 0 < ket.occupations[i] < sh.size]
        if not opened:
            raise ValueError("no open shell")
        cut = opened[-1]
        sh = shells[cut]
        self.coupler = coupler
        self.bra = product(coupler, bra, cut)
        self.ket = product(coupler, ket, cut)
        terms = _split_terms(op, sh.offset, sh.offset + sh.size)
        # group the terms by the side with fewer distinct ladder sequences
        by_up = len({up for _, up, _ in terms}) <= len({low for low, _, _ in terms})
        grouped: dict[tuple, tuple[Operator, Operator]] = {}
        for low, up, c in terms:
            key = up if by_up else (low, len(up))
            a, b = grouped.setdefault(key, (Operator(), Operator()))
            if by_up:
                a.add(low, c)
                b.terms[up] = 1.0
            else:
                a.terms[low] = 1.0
                b.add(up, c * (-1) ** (self.ket.electrons_lower * len(up)))
        self.parts = []
        for key, (a, b) in grouped.items():
            if by_up:
                sign = (-1) ** (self.ket.electrons_lower * len(key))
            else:
                sign = 1
            bb = _dense(factor_blocks(coupler.group, self.bra.upper, b, self.ket.upper),
                        self.bra.upper, self.ket.upper)
            if not bb:
                continue
            ab = factor_blocks(coupler.group, self.bra.lower, a, self.ket.lower)
            if ab:
                self.parts.append((sign, ab, bb))

    def block(self, zb: str, zk: str, rows: list[int], real: bool = False) -> list[np.ndarray]:
        """<zb copies, row 1| op |zk copies, row r> for every r of ``rows`` (complex arrays;
        with ``real``, for blocks known to be real such as an invariant operator's between
        row 1 and row 1, real arrays, each element's imaginary part checked to vanish)."""
        shape = self.shape(zb, zk)
        out = [np.zeros(shape, dtype=float if real else complex) for _ in rows]
        for k, parts in enumerate(self.block_parts(zb, zk, rows, real)):
            for (r0, c0), sub in parts.items():
                out[k][r0:r0 + sub.shape[0], c0:c0 + sub.shape[1]] += sub
        return out

    def shape(self, zb: str, zk: str) -> tuple[int, int]:
        """(copies of zb in the bra, copies of zk in the ket)."""
        return (sum(g.mx * g.my * g.nw for g in self.bra.groups.get(zb, [])),
                sum(g.mx * g.my * g.nw for g in self.ket.groups.get(zk, [])))

    def block_parts(self, zb: str, zk: str, rows: list[int], real: bool = False
                    ) -> list[dict[tuple[int, int], np.ndarray]]:
        """The blocks of :meth:`block` as their non-zero pieces: per row r, {(first row, first
        column): sub-block}, one piece per pair of copy groups the operator connects (the rest
        of the block is zero, and most of it for the dipole between large configurations)."""
        out: list[dict[tuple[int, int], np.ndarray]] = [{} for _ in rows]
        for at, subs in self.pieces(zb, zk, rows, real):
            for k, sub in enumerate(subs):
                if sub is not None:
                    out[k][at] = sub
        return out

    def pieces(self, zb: str, zk: str, rows: list[int], real: bool = False
               ) -> Iterator[tuple[tuple[int, int], list[np.ndarray | None]]]:
        """The pieces of :meth:`block_parts` one pair of copy groups at a time, for every pair
        in turn (first rows, then first columns rising): ((first row, first column), the piece
        of each row r of ``rows``, None where the operator connects nothing). With ``real``
        the check that the blocks are real is made once every pair has been given."""
        worst = scale = 0.0
        for g1, g2, found in self._pairs(zb, zk, rows):
            subs: list[np.ndarray | None] = [None] * len(rows)
            for k, a, u in found:
                sub = np.tensordot(a, u, axes=(0, 0))  # (t', t, c', c)
                sub = sub.transpose(0, 2, 1, 3).reshape(g1.mx * g1.my * g1.nw,
                                                        g2.mx * g2.my * g2.nw)
                if real:
                    worst = max(worst, float(np.abs(sub.imag).max(initial=0.0)))
                    scale = max(scale, float(np.abs(sub.real).max(initial=0.0)))
                    sub = sub.real
                # a zero block plus the piece, as the whole block is summed
                subs[k] = 0.0 + sub
            yield (g1.start, g2.start), subs
        if worst > 1e-7 * max(1.0, scale):
            raise RuntimeError(f"{zb} - {zk}: the block is not real")

    def real_block(self, zb: str, zk: str, scale: float) -> sp.csr_matrix:
        """<zb copies, row 1| op |zk copies, row 1>, known to be real, as a canonical sparse
        matrix of the elements the writer keeps at ``scale`` (``abs(scale * x) >= NOISE``).

        A piece is the sum of Kronecker products sum_n A_n (x) U_n (rows (t', c'), columns
        (t, c)); it is worked out only at the (t', t) where some A_n, and the (c', c) where
        some U_n, exceeds FACTOR_NOISE, each element by the same product over n as the whole
        piece. Elsewhere it holds rounding noise of the factors, far below what the writer
        keeps: in D4h four in five elements of a hybridisation piece."""
        shape = self.shape(zb, zk)
        counts = np.zeros(shape[0], dtype=np.int64)
        data: list[np.ndarray] = []
        indices: list[np.ndarray] = []
        band: list[tuple] = []
        worst = big = 0.0

        def close(first: int) -> None:
            """Put the band's elements in row order (in a row, pieces by first column, in a
            piece (t, c) rising: columns rising) by their positions, with no sort; then drop
            the noise."""
            if not band:
                return
            per_row = [np.outer(np.bincount(ta, minlength=mt), nu).ravel()
                       for ta, _, nu, mt, _, _, _ in band]
            total = np.sum(per_row, axis=0)
            at = np.concatenate([[0], np.cumsum(total)[:-1]])  # first position of each row
            values = np.empty(int(total.sum()))
            columns = np.empty(len(values), dtype=np.int32)
            for (ta, tu, nu, _, width, v, cols), n in zip(band, per_row):
                # rank of (t', t) among row t' of A's elements, of (c', c) among row c' of U's
                rank_a = np.arange(len(ta)) - np.searchsorted(ta, ta)
                rank_u = np.arange(len(tu)) - np.searchsorted(tu, tu)
                rows = (ta * width)[:, None] + tu[None, :]
                pos = at[rows] + rank_a[:, None] * nu[tu][None, :] + rank_u[None, :]
                values[pos] = v
                columns[pos] = cols
                at += n
            keep = above_noise(values, scale)
            data.append(values[keep])
            indices.append(columns[keep])
            height = len(total)
            counts[first:first + height] += np.bincount(
                np.repeat(np.arange(height), total)[keep], minlength=height)
            band.clear()

        first = -1
        for g1, g2, _, a, u in self._factors(zb, zk, [0]):
            if g1.start != first:
                close(first)
                first = g1.start
            ta, sa = np.nonzero((np.abs(a) > FACTOR_NOISE).any(axis=0))
            tu, su = np.nonzero((np.abs(u) > FACTOR_NOISE).any(axis=0))
            if not len(ta) or not len(tu):
                continue
            # elements in Kronecker order: (t', t) row by row, then (c', c) row by row
            v = a[:, ta, sa].T @ u[:, tu, su]
            worst = max(worst, float(np.abs(v.imag).max(initial=0.0)))
            v = v.real
            big = max(big, float(np.abs(v).max(initial=0.0)))
            width = g1.my * g1.nw
            cols = (g2.start + sa * (g2.my * g2.nw))[:, None] + su[None, :]
            band.append((ta, tu, np.bincount(tu, minlength=width), g1.mx, width, v, cols))
        close(first)
        if worst > 1e-7 * max(1.0, big):
            raise RuntimeError(f"{zb} - {zk}: the block is not real")
        indptr = np.zeros(shape[0] + 1, dtype=np.int32)
        np.cumsum(counts, out=indptr[1:])
        if not data:
            return sp.csr_matrix((np.zeros(0), np.zeros(0, np.int32), indptr), shape=shape)
        out = sp.csr_matrix((joined(data), joined(indices), indptr), shape=shape)
        out.has_canonical_format = True
        return out

    def _factors(self, zb: str, zk: str, rows: list[int]):
        """Per pair of copy groups (g1, g2) the operator connects, and per index k of
        ``rows``: the stacked lower-part factor blocks A (n, t', t) and the upper parts with
        their coupling coefficients U (n, c', c) whose sum of Kronecker products is the piece
        at (g1.start, g2.start) (only the n whose U is not all zero)."""
        for g1, g2, found in self._pairs(zb, zk, rows):
            for k, a, u in found:
                yield g1, g2, k, a, u

    def _pairs(self, zb: str, zk: str, rows: list[int]):
        """Every pair of copy groups (g1, g2) in turn with the [(k, A, U)] of :meth:`_factors`
        (empty where the operator connects nothing)."""
        gb = self.bra.groups.get(zb, [])
        gk = self.ket.groups.get(zk, [])
        for g1 in gb:
            p = np.conj(g1.coeff[:, :, :, 0])  # (rho', x', y')
            for g2 in gk:
                found = []
                pieces = [(s, a, b) for s, ab, bb in self.parts
                          for a, b in [(ab.get((g1.x, g2.x)), bb.get((g1.y, g2.y)))]
                          if a is not None and b is not None]
                if pieces:
                    # every term's factor blocks stacked: b (K, y', s', y, s); a as its
                    # non-zero row pairs (k, x', x), each (t', t)
                    left, ik, ixp, ixk = [], [], [], []
                    for k, (_, a, _) in enumerate(pieces):
                        for xp, xk, sub in a:
                            left.append(sub)
                            ik.append(k)
                            ixp.append(xp)
                            ixk.append(xk)
                    a_st = np.stack(left)
                    b_st = np.stack([s * b for s, _, b in pieces])
                    t1 = np.tensordot(p, b_st, axes=(2, 1))  # (rho', x', K, s', y, s)
                    for k, r in enumerate(rows):
                        q = g2.coeff[:, :, :, r]  # (rho, x, y)
                        u = np.tensordot(t1, q, axes=(4, 2))  # (rho', x', K, s', s, rho, x)
                        u = u.transpose(2, 1, 6, 3, 0, 4, 5)[ik, ixp, ixk]
                        u = u.reshape(len(a_st), g1.my * g1.nw, g2.my * g2.nw)
                        keep = np.abs(u).reshape(len(u), -1).max(axis=1) > 0
                        if keep.any():
                            found.append((k, a_st[keep], u[keep]))
                yield g1, g2, found


def joined(parts: list[np.ndarray]) -> np.ndarray:
    """The arrays of ``parts`` one after another, as np.concatenate, each let go as soon as it
    is copied (``parts`` is emptied): the pages of the result are taken only as they are
    filled, so the elements are held about once, not twice."""
    out = np.empty(sum(len(p) for p in parts), dtype=parts[0].dtype)
    at = 0
    parts.reverse()
    while parts:
        p = parts.pop()
        out[at:at + len(p)] = p
        at += len(p)
        del p
    return out


#: Elements of a factor block below this are rounding noise of the adaptation: a product
#: of them stays far below the smallest element the writer keeps (NOISE / scale).
FACTOR_NOISE = 1e-13


#: elements of the pieces made sparse at a time (bounds the temporaries of parts_matrix)
PARTS_CHUNK = 1 << 20


def parts_matrix(parts: dict[tuple[int, int], np.ndarray], shape: tuple[int, int],
                 scale: float | None = None) -> sp.csr_matrix:
    """The real block of the pieces ``parts`` ({(first row, first column): sub-block}, zero
    elsewhere; the pieces of one first row have its height and do not overlap) as a canonical
    sparse matrix of its non-zero elements (values unchanged, int32 positions). With ``scale``
    (the factor the writer stores the block times) the elements the writer drops as noise,
    ``abs(scale * x) < NOISE``, are left out as well, by the writer's own test.

    Made band of rows by band straight into arrays sized for every element of the pieces
    (then shrunk in place), each band's pieces taken out of ``parts`` as it is done: the
    pieces and the matrix are held about once, with no list of parts to join at the end."""
    bands: dict[int, list[int]] = {}
    for r0, c0 in parts:
        bands.setdefault(r0, []).append(c0)
    room = sum(sub.size for sub in parts.values())
    data = np.empty(room, dtype=np.float64)
    indices = np.empty(room, dtype=np.int32)
    counts = np.zeros(shape[0], dtype=np.int64)
    n = 0
    for r0 in sorted(bands):
        starts = sorted(bands[r0])
        subs = [parts.pop((r0, c0)) for c0 in starts]
        columns = np.concatenate([np.arange(c0, c0 + sub.shape[1], dtype=np.int32)
                                  for c0, sub in zip(starts, subs)])
        height = subs[0].shape[0]
        step = max(1, PARTS_CHUNK // max(1, len(columns)))
        for i0 in range(0, height, step):  # a few rows at a time: small temporaries
            band = subs[0][i0:i0 + step] if len(subs) == 1 else \
                np.hstack([sub[i0:i0 + step] for sub in subs])
            keep = band != 0 if scale is None else np.abs(scale * band) >= NOISE
            row_counts = np.count_nonzero(keep, axis=1)
            k = int(row_counts.sum())
            if k == band.size:  # the usual case: every element of the band kept
                data[n:n + k] = band.ravel()
                indices[n:n + k] = np.tile(columns, band.shape[0])
            else:
                data[n:n + k] = band[keep]
                indices[n:n + k] = np.broadcast_to(columns, band.shape)[keep]
            counts[r0 + i0:r0 + i0 + band.shape[0]] = row_counts
            n += k
        del subs
    if n < room:  # shrink in place: no second copy of the elements
        data.resize(n, refcheck=False)
        indices.resize(n, refcheck=False)
    indptr = np.zeros(shape[0] + 1, dtype=np.int32)
    np.cumsum(counts, out=indptr[1:])
    out = sp.csr_matrix((data, indices, indptr), shape=shape)
    out.has_sorted_indices = True
    out.has_canonical_format = True
    return out
