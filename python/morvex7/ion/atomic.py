"""Atomic operators over the shells of a model, each of unit strength.

Conventions (all energies in eV when multiplied by their parameter):

- ``coulomb(a, b, k, "F")``: the part of the electron–electron repulsion carried by the Slater
  integral F^k(ab) = 1 (both electrons of a pair in shells a and b, direct); ``"G"``: the exchange
  part G^k(ab) = 1. For a = b this is F^k of one shell.
- ``spin_orbit(a)``: sum over the electrons of shell a of l.s (zeta_a = 1).
- ``hopping(a, b)``: sum over m and spin of a+_{a m s} b_{b m s} + h.c. (shells of equal l).
- ``dipole(a, b, q)``: the component q of sum <a m|C^1_q|b m'> a+_{a m s} b_{b m' s}
  (an electron of shell b moved to shell a by the renormalised spherical harmonic C^1).
- ``j_plus(...)``, ``j_z``: total angular momentum over the given shells.
"""
from __future__ import annotations

from math import sqrt
from typing import Sequence

from .determinants import Operator, Orbitals, Shell, one_body, two_body
from .wigner import gaunt


def spin_orbit(shell: Shell) -> Operator:
    """sum_i l_i . s_i over the electrons of ``shell``."""
    l = shell.l
    pairs = []
    for m in range(-l, l + 1):
        up, dn = shell.orbital(m, True), shell.orbital(m, False)
        pairs.append((up, up, 0.5 * m))
        pairs.append((dn, dn, -0.5 * m))
        if m < l:  # 1/2 (l+ s- + l- s+): l+ s- takes (m, up) to (m+1, down)
            c = 0.5 * sqrt(l * (l + 1) - m * (m + 1))
            pairs.append((shell.orbital(m + 1, False), up, c))
            pairs.append((up, shell.orbital(m + 1, False), c))
    return one_body(pairs).cleaned()


def coulomb(a: Shell, b: Shell, k: int, kind: str = "F") -> Operator:
    """Angular part of the Coulomb interaction of unit Slater integral F^k(ab) or G^k(ab)."""
    shells = [a] if a == b else [a, b]
    orbs = [(s, i, m, up) for s in shells for i, m, up in s.orbitals()]
    elements = []
    for si, i, mi, ui in orbs:
        for sj, j, mj, uj in orbs:
            for sk, kk, mk, uk in orbs:
                if uk != ui:
                    continue
                for sl, ll, ml, ul in orbs:
                    if ul != uj or mi + mj != mk + ml:
                        continue
                    if a == b:
                        pass
                    elif kind == "F":
                        if not (si == sk and sj == sl and si != sj):
                            continue
                    else:
                        if not (si == sl and sj == sk and si != sj):
                            continue
                    v = gaunt(k, si.l, mi, sk.l, mk) * gaunt(k, sl.l, ml, sj.l, mj)
                    if v != 0.0:
                        elements.append((i, j, kk, ll, v))
    return two_body(elements)


def hopping(a: Shell, b: Shell) -> Operator:
    """sum_{m,s} a+_{m s} b_{m s} + h.c. between two shells of equal l."""
    if a.l != b.l:
        raise ValueError("hopping needs shells of equal l")
    pairs = []
    for m in range(-a.l, a.l + 1):
        for up in (True, False):
            pairs.append((a.orbital(m, up), b.orbital(m, up), 1.0))
            pairs.append((b.orbital(m, up), a.orbital(m, up), 1.0))
    return one_body(pairs)


def dipole(a: Shell, b: Shell, q: int) -> Operator:
    """Component q of the rank-1 operator moving an electron from shell b to shell a."""
    pairs = []
    for ma in range(-a.l, a.l + 1):
        mb = ma - q
        if abs(mb) > b.l:
            continue
        c = gaunt(1, a.l, ma, b.l, mb)
        for up in (True, False):
            pairs.append((a.orbital(ma, up), b.orbital(mb, up), c))
    return one_body(pairs).cleaned()


def _chosen(orbitals: Orbitals, shells: Sequence[str] | None) -> list[Shell]:
    return [s for s in orbitals.shells if shells is None or s.name in shells]


def l_plus(orbitals: Orbitals, shells: Sequence[str] | None = None) -> Operator:
    """Raising operator of the orbital angular momentum over the named shells (default all)."""
    pairs = []
    for s in _chosen(orbitals, shells):
        l = s.l
        for m in range(-l, l):
            c = sqrt(l * (l + 1) - m * (m + 1))
            for up in (True, False):
                pairs.append((s.orbital(m + 1, up), s.orbital(m, up), c))
    return one_body(pairs)


def s_plus(orbitals: Orbitals, shells: Sequence[str] | None = None) -> Operator:
    """Raising operator of the spin over the named shells (default all)."""
    return one_body((s.orbital(m, True), s.orbital(m, False), 1.0)
                    for s in _chosen(orbitals, shells) for m in range(-s.l, s.l + 1))


def j_plus(orbitals: Orbitals) -> Operator:
    """Raising operator of the total angular momentum, L+ + S+, over every shell."""
    return l_plus(orbitals) + s_plus(orbitals)


def number(shell: Shell) -> Operator:
    """Number of electrons in ``shell``."""
    return one_body((i, i, 1.0) for i, _, _ in shell.orbitals())
