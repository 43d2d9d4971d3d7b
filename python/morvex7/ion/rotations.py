"""Rotation matrices of angular momentum j in the complex spherical basis |j m>.

Conventions (the Condon–Shortley ones, shared with every operator of the package):

* basis order m = j, j-1, ..., -j (row/column 0 is m = j);
* ``J+ |j m> = sqrt((j - m)(j + m + 1)) |j m+1>`` with a real positive factor;
* an element of SU(2) is the 2 x 2 matrix ``u = exp(-i theta/2 n.sigma)``, acting on the
  spinor (up, down) = (|1/2 1/2>, |1/2 -1/2>); its matrix for spin j is
  ``D^j(u) = exp(-i theta n.J)`` with theta in [0, 4 pi), so that for half-integer j the
  matrices of u and -u differ in sign (the double-group "barred" element).

Everything is computed numerically; ``D^{1/2}(u) == u`` exactly up to rounding.
"""
from __future__ import annotations

from fractions import Fraction

import numpy as np
from scipy.linalg import expm

SIGMA = (
    np.array([[0, 1], [1, 0]], dtype=complex),
    np.array([[0, -1j], [1j, 0]], dtype=complex),
    np.array([[1, 0], [0, -1]], dtype=complex),
)


def as_half_integer(j: float | Fraction | int) -> Fraction:
    """Return j as an exact Fraction, refusing values that are not multiples of 1/2."""
    f = Fraction(j).limit_denominator(2)
    if f < 0 or f.denominator not in (1, 2) or abs(float(f) - float(j)) > 1e-9:
        raise ValueError(f"angular momentum must be a non-negative multiple of 1/2, got {j}")
    return f


def m_values(j: float | Fraction | int) -> list[Fraction]:
    """Projections m = j, j-1, ..., -j in basis order."""
    jj = as_half_integer(j)
    return [jj - k for k in range(int(2 * jj) + 1)]


def angular_momentum(j: float | Fraction | int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Return (Jx, Jy, Jz) for spin j in the basis m = j..-j (Condon–Shortley phases)."""
    ms = [float(m) for m in m_values(j)]
    jj = float(as_half_integer(j))
    n = len(ms)
    jp = np.zeros((n, n), dtype=complex)
    for col, m in enumerate(ms):
        if col > 0:  # |j m> -> |j m+1>, which sits one row up
            jp[col - 1, col] = np.sqrt((jj - m) * (jj + m + 1))
    jz = np.diag(ms).astype(complex)
    jx = (jp + jp.conj().T) / 2
    jy = (jp - jp.conj().T) / 2j
    return jx, jy, jz


def su2_from_axis_angle(axis: np.ndarray | list[float], angle: float) -> np.ndarray:
    """SU(2) matrix exp(-i angle/2 n.sigma) of a rotation by `angle` about `axis`."""
    n = np.asarray(axis, dtype=float)
    n = n / np.linalg.norm(n)
    ns = sum(c * s for c, s in zip(n, SIGMA))
    return np.cos(angle / 2) * np.eye(2) - 1j * np.sin(angle / 2) * ns


def axis_angle_from_su2(u: np.ndarray) -> tuple[np.ndarray, float]:
    """Inverse of `su2_from_axis_angle`: (unit axis, angle in [0, 4 pi)).

    For the identity (angle 0) and for -1 (angle 2 pi) the axis is arbitrary; z is returned.
    """
    c = float(np.real(np.trace(u)) / 2)
    # u = c 1 - i s n.sigma  ->  s n_k = i tr(u sigma_k) / 2
    sn = np.array([float(np.real(1j * np.trace(u @ s) / 2)) for s in SIGMA])
    s = float(np.linalg.norm(sn))
    half = np.arctan2(s, c)  # in [0, pi]
    if s < 1e-12:
        return np.array([0.0, 0.0, 1.0]), 2 * half
    return sn / s, 2 * half


def wigner_d(j: float | Fraction | int, u: np.ndarray) -> np.ndarray:
    """Matrix D^j(u)_{m' m} = <j m'| R(u) |j m> of the SU(2) element u (basis m = j..-j)."""
    axis, angle = axis_angle_from_su2(u)
    jx, jy, jz = angular_momentum(j)
    return expm(-1j * angle * (axis[0] * jx + axis[1] * jy + axis[2] * jz))


def so3_from_su2(u: np.ndarray) -> np.ndarray:
    """Cartesian 3 x 3 rotation matrix R of u (R_ab = tr(sigma_a u sigma_b u^dagger) / 2)."""
    return np.array(
        [[float(np.real(np.trace(sa @ u @ sb @ u.conj().T))) / 2 for sb in SIGMA] for sa in SIGMA]
    )
