"""The blocks of a model: operators per side, symmetry-adapted states, and every operator
expressed between them (configuration blocks, mixing blocks, transition blocks)."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Iterable

import numpy as np
import scipy.sparse as sp

from . import atomic
from .determinants import Operator
from .model import IonModel
from . import fields
from .pointmodel import POINT_GROUPS, field_terms, mixing_terms
from .symmetry import AdaptedIrrep, Configuration, Symmetry


#: operators (XHAM factors) per configuration the engine holds
MAX_OPERATORS = 32


@dataclass
class NamedOperator:
    """A unit-strength operator, its name (e.g. "F2vv") and its parameter value (eV)."""

    name: str
    op: Operator
    value: float


@dataclass
class Side:
    """One side (ground or excited): its configurations, operators and blocks.

    ``ham[c][label][k]`` is the block of Hamiltonian operator k in configuration c, shifted to
    zero average over all states of the configuration; ``mix[c][label][k]`` the block of mixing
    operator k between configurations c and c + 1; ``energies[c]`` the configuration energy.
    Every configuration of a side has the same Hamiltonian operators, every neighbouring pair
    the same mixing operators (none without charge transfer).
    """

    kind: str
    configs: list[Configuration]
    hamiltonian: list[NamedOperator]
    mixing: list[NamedOperator]
    energies: list[float]
    irreps: list[dict[str, AdaptedIrrep]] = field(default_factory=list)
    averages: list[list[float]] = field(default_factory=list)
    ham: list[dict[str, list[np.ndarray]]] = field(default_factory=list)
    mix: list[dict[str, list[np.ndarray]]] = field(default_factory=list)
    dims: dict[str, int] = field(default_factory=dict)
    #: label -> the label whose blocks stand for it (the same lists), see :func:`share_blocks`
    alias: dict[str, str] = field(default_factory=dict)

    def mult(self, c: int, label: str) -> int:
        irr = self.irreps[c].get(label)
        return 0 if irr is None else irr.mult

    def labels(self) -> list[str]:
        return list(self.dims)


def side_operators(model: IonModel, excited: bool) -> list[NamedOperator]:
    """The Hamiltonian operators of one side, in their XHAM order."""
    orb = model.orbitals()
    v, c = orb.shell("valence"), orb.shell("core")
    params = model.excited if excited else model.ground
    ops = [NamedOperator(f"F{k}vv", atomic.coulomb(v, v, k), params.get(f"F{k}vv", 0.0))
           for k in model.fk_vv()]
    ops.append(NamedOperator("zeta_v", atomic.spin_orbit(v), params.get("zeta_v", 0.0)))
    if excited:
        if model.lc > 0:
            ops.append(NamedOperator("zeta_c", atomic.spin_orbit(c), params.get("zeta_c", 0.0)))
        ops += [NamedOperator(f"F{k}cv", atomic.coulomb(c, v, k, "F"), params.get(f"F{k}cv", 0.0))
                for k in model.fk_cv()]
        ops += [NamedOperator(f"G{k}cv", atomic.coulomb(c, v, k, "G"), params.get(f"G{k}cv", 0.0))
                for k in model.gk_cv()]
    ops += [NamedOperator(n, o, val) for n, o, val in field_terms(model.symmetry, orb, params, model.ground)]
    if model.field and not model.paired:  # a paired model has no field (see fieldsymmetry)
        ops += [NamedOperator(n, o, val) for n, o, val in fields.field_terms(orb, params, model.ground)]
    if len(ops) > MAX_OPERATORS:
        raise ValueError(f"{len(ops)} operators in one configuration: the engine holds at most "
                         f"{MAX_OPERATORS}")
    return ops


def make_sides(model: IonModel) -> tuple[Side, Side]:
    """The two sides of ``model`` with their operators and energies, before adaptation."""
    gconf, econf = model.configurations()
    d, u, q = model.ct("Delta"), model.ct("U"), model.ct("Q")
    eg = [0.0, d, 2 * d + u][: len(gconf)]
    ef = [0.0, d + u - q, 2 * d + 3 * u - 2 * q][: len(econf)]
    mix_g: list[NamedOperator] = []
    mix_e: list[NamedOperator] = []
    if model.charge_transfer is not None and model.symmetry in POINT_GROUPS:
        orb = model.orbitals()
        mix_g = [NamedOperator(*t) for t in mixing_terms(model.symmetry, orb, model.charge_transfer, False)]
        mix_e = [NamedOperator(*t) for t in mixing_terms(model.symmetry, orb, model.charge_transfer, True)]
    elif model.charge_transfer is not None:
        orb = model.orbitals()
        hop = atomic.hopping(orb.shell("valence"), orb.shell("ligand"))
        mix_g = [NamedOperator("V", hop, model.ct("V"))]
        mix_e = [NamedOperator("V", hop, model.ct("V_excited"))]
    return (Side("ground", gconf, side_operators(model, False), mix_g, eg),
            Side("excited", econf, side_operators(model, True), mix_e, ef))


Progress = Callable[[str], None]


def _quiet(_: str) -> None:
    pass


def fill_side(side: Side, symmetry: Symmetry, labels: list[str],
              progress: Progress = _quiet, exact: bool = True,
              hold: Callable[[object, float], object] | None = None) -> None:
    """Adapt ``labels`` in every configuration of ``side`` and express its operators;
    ``progress`` is told each configuration and operator as it starts.

    Blocks mostly zero are held sparse (see :func:`compact`). Without ``exact`` (a side only
    written out, never diagonalised here) the elements the writer drops as rounding noise of
    the adaptation are dropped at once: what is written is the same, the blocks far smaller.
    ``hold(block, scale)``, when given, is handed each block as it is made with the scale the
    writer stores it at, and what it returns is kept in the block's place (the builder writes
    such blocks to disk at once, see morvex7.ion.spool).
    """
    def keep(block, dim: int):
        return block if hold is None else hold(block, np.sqrt(dim))

    side.irreps, side.ham, side.mix, side.averages = [], [], [], []
    for conf in side.configs:
        progress(f"{side.kind} {conf.name}: symmetry-adapted states of {', '.join(labels)}")
        irr = symmetry.adapt(conf, labels)
        side.irreps.append(irr)
        avg = symmetry.averages(conf, [o.op for o in side.hamiltonian])
        side.averages.append(avg)
        blocks: dict[str, list[np.ndarray]] = {lab: [] for lab in irr}
        for o, av in zip(side.hamiltonian, avg):
            progress(f"{side.kind} {conf.name}: operator {o.name}")
            for lab, a in irr.items():
                side.dims[lab] = a.dim
                blk = symmetry.hamiltonian_block(a, o.op)
                eye = sp.identity(a.mult, format="csr") if sp.issparse(blk) else np.eye(a.mult)
                blocks[lab].append(keep(compact(blk - av * eye,
                                                None if exact else np.sqrt(a.dim)), a.dim))
        side.ham.append(blocks)
    for c in range(len(side.configs) - 1):
        progress(f"{side.kind} {side.configs[c].name} - {side.configs[c + 1].name}: "
                 f"hybridisation")
        blocks: dict[str, list] = {lab: [] for lab in labels}
        # operator by operator, each let go once its blocks are made: the factor blocks of
        # one operator between two large configurations take hundreds of MB
        for i, o in enumerate(side.mixing, 1):
            for lab in labels:
                scale = None if exact else np.sqrt(side.dims[lab])
                blocks[lab].append(keep(compact(symmetry.mixing_block(
                    side.irreps[c][lab], o.op, side.irreps[c + 1][lab], scale), scale),
                    side.dims[lab]))
                if i == len(side.mixing):  # states written out for this pair only: let go
                    release_states(irreps[lab] for irreps in side.irreps[c:c + 2])
            symmetry.release()
        side.mix.append(blocks)
    symmetry.release()


def release_states(irreps: Iterable[object]) -> None:
    """Let go the states that irreps coupled from factors wrote out over their determinants
    (morvex7.ion.o3.SpectatorIrrep; made again if asked for): tens of MB each for the largest
    configurations, needed only for the blocks with a configuration coupled otherwise."""
    for irrep in irreps:
        release = getattr(irrep, "release", None)
        if release is not None:
            release()


def share_blocks(side: Side, symmetry: Symmetry, labels: list[str]) -> None:
    """Give each of ``labels`` the blocks of the label that stands for it
    (``symmetry.stored(label)``, already filled), and its own states: the lower class of a
    time-reversed pair in a paired model (see morvex7.ion.fieldsymmetry), whose blocks are
    its partner's matrices."""
    for lab in labels:
        up = symmetry.stored(lab)
        for c, conf in enumerate(side.configs):
            side.irreps[c][lab] = symmetry.reversed_states(conf, lab, side.irreps[c][up])
            side.ham[c][lab] = side.ham[c][up]
        for blocks in side.mix:
            blocks[lab] = blocks[up]
        side.dims[lab] = side.dims[up]
        side.alias[lab] = up


#: Elements the writer stores smaller than this are rounding noise of the adaptation.
NOISE = 1e-9

#: A block with at most this share of its elements non-zero is held sparse (CSR): dense float64
#: hybridisation blocks of the open-shell ions take gigabytes, mostly zeros (D4h: about 1 in 6).
SPARSE_FILL = 0.5


def compact(block: np.ndarray | sp.spmatrix,
            scale: float | None = None) -> np.ndarray | sp.csr_matrix:
    """``block`` as CSR (its non-zero elements, values unchanged) when at most SPARSE_FILL
    of it is non-zero, else as it is. With ``scale`` (the factor the writer stores the block
    times) the elements the writer drops as noise (``abs(scale * x) < NOISE``) are zeroed
    first, by the writer's own test. A block kept as its factors (morvex7.factored) is
    returned as it is: the engine drops its noise when it assembles it."""
    if block.size == 0 or getattr(block, "factored", False):  # factors: kept as they are
        return block
    if sp.issparse(block):
        # canonical CSR, so that each stored element is one written element, held tight
        # (scipy's sums keep buffers sized for both operands): copied only where it is not
        block = sp.csr_matrix(block)
        block.sum_duplicates()
        nnz = int(block.indptr[-1])
        data, indices, indptr = block.data[:nnz], block.indices[:nnz], block.indptr
        if scale is not None:
            keep = above_noise(data, scale)
            if not keep.all():
                kept = np.concatenate([[0], np.cumsum(keep)])
                return sp.csr_matrix((data[keep], indices[keep], kept[indptr]),
                                     shape=block.shape)
        if len(block.data) == nnz and len(block.indices) == nnz:
            return block
        return sp.csr_matrix((data.copy(), indices.copy(), indptr.copy()), shape=block.shape)
    if scale is not None:
        block = np.where(np.abs(scale * block) < NOISE, 0.0, block)
    if np.count_nonzero(block) > SPARSE_FILL * block.size:
        return block
    return sp.csr_matrix(block)


def above_noise(values: np.ndarray, scale: float) -> np.ndarray:
    """``abs(scale * values) >= NOISE`` (the writer's test), a slice at a time: a block of
    tens of millions of elements needs no temporaries of its size."""
    keep = np.empty(len(values), dtype=bool)
    for a in range(0, len(values), NOISE_CHUNK):
        keep[a:a + NOISE_CHUNK] = np.abs(scale * values[a:a + NOISE_CHUNK]) >= NOISE
    return keep


#: elements tested for noise at a time (see above_noise)
NOISE_CHUNK = 1 << 20


def band_levels(n: int, width: float) -> tuple[np.ndarray, np.ndarray]:
    """Band level energies and hybridisation weights as the engine makes them (square band)."""
    if width == 0.0:
        return np.zeros(1), np.ones(1)
    x, w = np.polynomial.legendre.leggauss(n)
    return 0.5 * width * x, np.sqrt(w / 2.0)


def side_hamiltonian(side: Side, label: str, n2: int = 1, n3: int = 1,
                     width: float = 0.0, sparse: bool = False) -> np.ndarray | sp.csr_matrix:
    """The whole Hamiltonian of one symmetry of a side, in the engine's basis order (with
    ``sparse`` a sparse matrix: with many band levels it is mostly zero).

    The sparse one is summed from the sparse blocks without a dense copy, each element by the
    same additions in the same order as the dense one (an absent element adds exactly zero),
    so both hold the same numbers."""
    m = [side.mult(c, label) for c in range(len(side.configs))]

    def eye(n: int):
        return sp.identity(n, format="csr") if sparse else np.eye(n)

    def dense(blk):
        return blk.toarray() if sp.issparse(blk) else blk

    def summed(ops, blocks, shape):
        out = sp.csr_matrix(shape) if sparse else np.zeros(shape)
        for o, blk in zip(ops, blocks):
            if sparse:
                out = out + o.value * sp.csr_matrix(blk)
            else:
                out += o.value * dense(blk)
        return out

    def h(c: int):
        return summed(side.hamiltonian, side.ham[c][label], (m[c], m[c])) \
            + side.energies[c] * eye(m[c])

    k = len(side.configs)
    if k == 1:
        return sp.csr_matrix(h(0)) if sparse else h(0)
    x2, h2 = band_levels(n2, width)
    x3, h3 = band_levels(n3, width)

    def v(c: int):
        return summed(side.mixing, side.mix[c][label], (m[c], m[c + 1]))

    # the upper triangle as (row offset, column offset, block) pieces
    pieces = [(0, 0, h(0))]
    h1, v0 = h(1), v(0)
    h2d, v1 = (h(2), v(1)) if k > 2 else (None, None)
    r = m[0]
    for a in range(n2):
        b2 = r
        r += m[1]
        pieces.append((b2, b2, h1 + x2[a] * eye(m[1])))
        pieces.append((0, b2, h2[a] * v0))
        if k > 2:
            for b in range(n3):
                b3 = r
                r += m[2]
                pieces.append((b3, b3, h2d + (x2[a] + x3[b]) * eye(m[2])))
                pieces.append((b2, b3, h3[b] * v1))
    dim = r
    if sparse:
        rows, cols, vals = [], [], []
        for r0, c0, blk in pieces:
            blk = sp.coo_matrix(blk)
            i, j, x = blk.row, blk.col, blk.data
            keep = ((r0 + i) <= (c0 + j)) & (x != 0)
            rows.append(r0 + i[keep])
            cols.append(c0 + j[keep])
            vals.append(x[keep])
        up = sp.coo_matrix((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                           shape=(dim, dim)).tocsr()
        return (up + sp.triu(up, 1).T).tocsr()
    big = np.zeros((dim, dim))
    for r0, c0, blk in pieces:
        big[r0:r0 + blk.shape[0], c0:c0 + blk.shape[1]] = blk
    return np.triu(big) + np.triu(big, 1).T
