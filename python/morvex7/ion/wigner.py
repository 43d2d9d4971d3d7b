"""Wigner 3j symbols and Gaunt coefficients, exact up to the final square root.

Angular momenta are passed doubled (``two_j = 2 j``) so that half-integers stay integers.
"""
from __future__ import annotations

from fractions import Fraction
from functools import lru_cache
from math import factorial, sqrt


def _f(two_x: int) -> int:
    return factorial(two_x // 2)


@lru_cache(maxsize=None)
def three_j(tj1: int, tj2: int, tj3: int, tm1: int, tm2: int, tm3: int) -> float:
    """Return the Wigner 3j symbol (j1 j2 j3; m1 m2 m3), all arguments doubled.

    Parameters
    ----------
    tj1, tj2, tj3, tm1, tm2, tm3
        Twice the angular momenta and their projections.

    Returns
    -------
    float
        The symbol (Racah's formula), 0 when a selection rule fails.
    """
    if tm1 + tm2 + tm3 != 0:
        return 0.0
    for tj, tm in ((tj1, tm1), (tj2, tm2), (tj3, tm3)):
        if abs(tm) > tj or (tj + tm) % 2:
            return 0.0
    if tj3 > tj1 + tj2 or tj3 < abs(tj1 - tj2) or (tj1 + tj2 + tj3) % 2:
        return 0.0
    tri = Fraction(_f(tj1 + tj2 - tj3) * _f(tj1 - tj2 + tj3) * _f(-tj1 + tj2 + tj3),
                   _f(tj1 + tj2 + tj3 + 2))
    pref = tri * _f(tj1 + tm1) * _f(tj1 - tm1) * _f(tj2 + tm2) * _f(tj2 - tm2) \
        * _f(tj3 + tm3) * _f(tj3 - tm3)
    kmin = max(0, (tj2 - tj3 - tm1) // 2, (tj1 - tj3 + tm2) // 2)
    kmax = min((tj1 + tj2 - tj3) // 2, (tj1 - tm1) // 2, (tj2 + tm2) // 2)
    total = Fraction(0)
    for k in range(kmin, kmax + 1):
        den = (factorial(k) * factorial((tj1 + tj2 - tj3) // 2 - k)
               * factorial((tj1 - tm1) // 2 - k) * factorial((tj2 + tm2) // 2 - k)
               * factorial((tj3 - tj2 + tm1) // 2 + k) * factorial((tj3 - tj1 - tm2) // 2 + k))
        total += Fraction((-1) ** k, den)
    sign = -1 if ((tj1 - tj2 - tm3) // 2) % 2 else 1
    value = sign * float(total) * sqrt(pref)
    return value


def gaunt(k: int, l1: int, m1: int, l2: int, m2: int) -> float:
    """Return c^k(l1 m1, l2 m2) = <l1 m1 | C^k_{m1-m2} | l2 m2> (Racah's normalisation).

    Parameters
    ----------
    k
        Rank of the renormalised spherical harmonic C^k.
    l1, m1, l2, m2
        Orbital angular momenta and projections of bra and ket (integers).
    """
    q = m1 - m2
    if abs(q) > k:
        return 0.0
    sign = -1.0 if m1 % 2 else 1.0
    return sign * sqrt((2 * l1 + 1) * (2 * l2 + 1)) * three_j(
        2 * l1, 2 * k, 2 * l2, 0, 0, 0) * three_j(2 * l1, 2 * k, 2 * l2, -2 * m1, 2 * q, 2 * m2)


def _triangle(ta: int, tb: int, tc: int) -> Fraction | None:
    """Racah's triangle coefficient Delta(a b c) (arguments doubled), None when a, b, c do not
    form a triangle with an integer sum."""
    if tc > ta + tb or tc < abs(ta - tb) or (ta + tb + tc) % 2:
        return None
    return Fraction(_f(ta + tb - tc) * _f(ta - tb + tc) * _f(-ta + tb + tc), _f(ta + tb + tc + 2))


@lru_cache(maxsize=None)
def six_j(tj1: int, tj2: int, tj3: int, tj4: int, tj5: int, tj6: int) -> float:
    """Return the Wigner 6j symbol {j1 j2 j3; j4 j5 j6}, all arguments doubled (Racah's
    formula), 0 when a triangle condition fails."""
    tris = [_triangle(tj1, tj2, tj3), _triangle(tj1, tj5, tj6), _triangle(tj4, tj2, tj6),
            _triangle(tj4, tj5, tj3)]
    if any(t is None for t in tris):
        return 0.0
    pref = tris[0] * tris[1] * tris[2] * tris[3]
    a = [(tj1 + tj2 + tj3) // 2, (tj1 + tj5 + tj6) // 2, (tj4 + tj2 + tj6) // 2,
         (tj4 + tj5 + tj3) // 2]
    b = [(tj1 + tj2 + tj4 + tj5) // 2, (tj2 + tj3 + tj5 + tj6) // 2,
         (tj3 + tj1 + tj6 + tj4) // 2]
    total = Fraction(0)
    for t in range(max(a), min(b) + 1):
        den = factorial(t - a[0]) * factorial(t - a[1]) * factorial(t - a[2]) \
            * factorial(t - a[3]) * factorial(b[0] - t) * factorial(b[1] - t) * factorial(b[2] - t)
        total += Fraction((-1) ** t * factorial(t + 1), den)
    return float(total) * sqrt(pref)
