"""Symmetry-adapted vectors, coupling coefficients and reduced matrix elements of a point group.

Everything here works on a representation given by its action on vectors, ``act(g, X) = U(g) X``
for the element index g and a block of column vectors X, so that a many-electron space never needs
its full representation matrices.

* `transfer` applies the transfer operators P^Gamma_{r,1} = (d / |G|) sum_g Gamma_{r1}(g)* U(g).
* `row_one_space` finds an orthonormal basis of the states transforming as row 1 of an irrep.
* `partners` turns row-1 states into the full set of partners, which then transform exactly by
  the irrep's fixed matrices: U(g) |r> = sum_s Gamma_{sr}(g) |s>.
* `coupling_coefficients` are the Clebsch–Gordan coefficients of the group, found numerically
  as the adapted vectors of a product of two irreps, with their outer multiplicity.
* `reduced_elements` inverts the Wigner–Eckart theorem of the group.

Wigner–Eckart convention: with C[w, a, b, c] = <A a, B b | C w c> (the coefficients of `coupling_coefficients`),
an operator T whose components T_b transform by irrep B has

    <C c, tau'| T_b |A a, tau> = sum_w conj(C[w, a, b, c]) <C tau' || T || A tau>_w

(the coupled state |C w c> = sum_{ab} C[w,a,b,c] |A a>|B b>, and T_b |A a, tau> transforms like
|A a>|B b>). Summed over every partner (a, b, c) the squares of these elements give
dim(C) * sum_w |<C || T || A>_w|^2: the outer-multiplicity copies add incoherently.
"""
from __future__ import annotations

from collections.abc import Callable

import numpy as np

from .pointgroups import Irrep, PointGroup

Action = Callable[[int, np.ndarray], np.ndarray]


def matrix_action(rep: np.ndarray) -> Action:
    """The action of a representation given by its matrices (one per element)."""
    return lambda g, x: rep[g] @ x


def transfer(group: PointGroup, irrep: Irrep, act: Action, x: np.ndarray, rows: list[int] | None = None,
             source: int = 0, in_sector: bool = False, keep: np.ndarray | None = None) -> np.ndarray:
    """P^Gamma_{r, source} x for each r of `rows` (default: all); result shape (len(rows), n, k).

    With `keep` only those components of the resulting vectors are formed (n = len(keep)).

    With `in_sector` the caller guarantees that every column of x is a C4z eigenvector with the
    eigenvalue of row `source` (e.g. determinants of total M congruent to its mu modulo 4); then
    Gamma(h) is diagonal on the C4z subgroup H, U(h) x = Gamma_{ss}(h) x, and the sum over the
    group reduces to one element per coset of H, a factor |H| fewer actions.
    """
    rows = list(range(irrep.dim)) if rows is None else rows
    n = x.shape[0] if keep is None else len(keep)
    out = np.zeros((len(rows), n) + x.shape[1:], dtype=complex)
    elements, weight = group.c4_cosets() if in_sector else (range(group.order), 1)
    for g in elements:
        coeffs = np.conj(irrep.matrices[g][rows, source])
        if not np.any(np.abs(coeffs) > 1e-14):
            continue
        ux = act(g, x) if keep is None else act(g, x)[keep]
        for k, c in enumerate(coeffs):
            if abs(c) > 1e-14:
                out[k] += c * ux
    return out * irrep.dim * weight / group.order


def _orthonormal_columns(x: np.ndarray, tol: float = 1e-7) -> np.ndarray:
    u, s, _ = np.linalg.svd(x, full_matrices=False)
    if s.size == 0 or s[0] < tol:
        return x[:, :0]
    return u[:, s > tol * max(1.0, s[0])]


def real_basis(space: np.ndarray, tol: float = 1e-7) -> np.ndarray | None:
    """A real orthonormal basis of the span of `space`, or None if the span is not real."""
    if space.shape[1] == 0:
        return space.real
    cand = _orthonormal_columns(np.hstack([space.real, space.imag]), tol)
    return cand if cand.shape[1] == space.shape[1] else None


def row_one_space(group: PointGroup, irrep: Irrep, act: Action, trial: np.ndarray,
                  real: bool = True) -> np.ndarray:
    """Orthonormal basis of the row-1 states of `irrep` inside the span of `trial` vectors.

    `trial` must span a space that contains every such state and lie in the C4z sector of row 1
    (e.g. all determinants whose total M is congruent to the row's mu modulo 4). With `real` the basis is chosen real
    (possible for the groups and rows used here; a failure raises ValueError). The basis is
    deterministic: Gram–Schmidt/SVD of the projected trial vectors.
    """
    proj = transfer(group, irrep, act, trial, rows=[0], in_sector=True)[0]
    space = _orthonormal_columns(proj)
    if not real:
        return space
    rb = real_basis(space)
    if rb is None:
        raise ValueError(f"the row-1 states of {irrep.label} have no real basis")
    return rb


def partners(group: PointGroup, irrep: Irrep, act: Action, row_one: np.ndarray) -> np.ndarray:
    """All partners of row-1 states: shape (dim, n, k), partners[r][:, t] = P_{r1} row_one[:, t]."""
    return transfer(group, irrep, act, row_one.astype(complex), in_sector=True)


def coupling_coefficients(group: PointGroup, a: str, b: str, c: str) -> np.ndarray:
    """Clebsch–Gordan coefficients C[w, ra, rb, rc] = <a ra, b rb | c w rc> of the group.

    w runs over the outer multiplicity of c in a x b (the array is empty along w when c is not
    contained). For fixed (w, rc) the vectors are orthonormal and, over all c, w, rc, complete.
    """
    ia, ib, ic = group.irreps[a], group.irreps[b], group.irreps[c]
    prod = np.einsum("gij,gkl->gikjl", ia.matrices, ib.matrices).reshape(group.order, ia.dim * ib.dim, -1)
    act = matrix_action(prod)
    ones = transfer(group, ic, act, np.eye(ia.dim * ib.dim, dtype=complex), rows=[0])[0]
    ones = _gram_schmidt(ones)
    full = partners(group, ic, act, ones)  # (rc, ab, w)
    return full.transpose(2, 1, 0).reshape(ones.shape[1], ia.dim, ib.dim, ic.dim)


def _gram_schmidt(x: np.ndarray, tol: float = 1e-7) -> np.ndarray:
    """Orthonormalise the columns in order, dropping dependent ones; first non-zero entry > 0."""
    out: list[np.ndarray] = []
    for col in x.T:
        v = col - sum(np.vdot(o, col) * o for o in out) if out else col.copy()
        n = np.linalg.norm(v)
        if n > tol:
            v = v / n
            first = v[np.flatnonzero(np.abs(v) > 1e-9)[0]]
            out.append(v * abs(first) / first)
    return np.array(out).T if out else x[:, :0]


def reduced_elements(cg: np.ndarray, elements: np.ndarray, ket_row: int | None = None,
                     bra_row: int | None = None) -> tuple[np.ndarray, float]:
    """Solve the group's Wigner–Eckart theorem for the reduced elements.

    Parameters
    ----------
    cg : coefficients <A a, B b | C w c> from `coupling_coefficients(group, A, B, C)`.
    elements : matrix elements <C c, tau'| T_b |A a, tau>, shape (dim C, dim B, dim A, n', n),
        or with the ket fixed to one row `ket_row` shape (dim C, dim B, n', n), or with the bra
        fixed to `bra_row` shape (dim B, dim A, n', n).

    Returns
    -------
    (reduced, residual): reduced[w] is the n' x n matrix <C tau'||T||A tau>_w; residual is the
    largest deviation of the fitted elements from the given ones (zero when T transforms as B).
    """
    conj = np.conj(cg)  # (w, a, b, c)
    if ket_row is not None:
        design = conj[:, ket_row, :, :].transpose(2, 1, 0)  # (c, b, w)
    elif bra_row is not None:
        design = conj[:, :, :, bra_row].transpose(2, 1, 0)  # (b, a, w)
    else:
        design = conj.transpose(3, 2, 1, 0)  # (c, b, a, w)
    nw = cg.shape[0]
    lead = design.shape[:-1]
    a = design.reshape(-1, nw)
    rhs = elements.reshape(int(np.prod(lead)), -1)
    sol, *_ = np.linalg.lstsq(a, rhs, rcond=None)
    resid = float(np.abs(a @ sol - rhs).max()) if rhs.size else 0.0
    return sol.reshape((nw,) + elements.shape[len(lead):]), resid
