"""Crystal fields of an f shell in Oh and D4h, in Wybourne's normalisation.

The one-electron operator is sum_{k,q} B^k_q C^k_q with Racah's renormalised spherical harmonics
C^k_q (so <l m|C^k_q|l m'> are the Gaunt coefficients of the rest of the package), z the
four-fold axis, x and y the two-fold axes of D4h. Parameters (eV), in ``[ground]`` and
``[excited]``:

* Oh: ``B40``, ``B60`` — the cubic combinations
  B40 [C^4_0 + sqrt(5/14) (C^4_4 + C^4_-4)] + B60 [C^6_0 - sqrt(7/2) (C^6_4 + C^6_-4)];
* D4h: ``B20``, ``B40``, ``B44``, ``B60``, ``B64`` — B20 C^2_0 + B40 C^4_0 + B44 (C^4_4 + C^4_-4)
  + B60 C^6_0 + B64 (C^6_4 + C^6_-4); a cubic field is B44 = sqrt(5/14) B40, B64 = -sqrt(7/2) B60.

Every C^k_q with k > 0 is traceless, so the configuration averages stay as they are.
"""
from __future__ import annotations

from math import sqrt

import numpy as np

from .wigner import gaunt

#: (k, q, coefficient) terms of each parameter, per group
F_FIELDS = {
    "Oh": {"B40": [(4, 0, 1.0), (4, 4, sqrt(5 / 14)), (4, -4, sqrt(5 / 14))],
           "B60": [(6, 0, 1.0), (6, 4, -sqrt(7 / 2)), (6, -4, -sqrt(7 / 2))]},
    "D4h": {"B20": [(2, 0, 1.0)], "B40": [(4, 0, 1.0)], "B44": [(4, 4, 1.0), (4, -4, 1.0)],
            "B60": [(6, 0, 1.0)], "B64": [(6, 4, 1.0), (6, -4, 1.0)]},
}


def f_field_matrix(group: str, name: str, l: int = 3) -> np.ndarray:
    """Matrix <l m|V|l m'> (m, m' = -l..l ascending) of parameter ``name`` at unit value."""
    out = np.zeros((2 * l + 1, 2 * l + 1))
    for k, q, c in F_FIELDS[group][name]:
        for m in range(-l, l + 1):
            mp = m - q
            if abs(mp) <= l:
                out[m + l, mp + l] += c * gaunt(k, l, m, l, mp)
    return out
