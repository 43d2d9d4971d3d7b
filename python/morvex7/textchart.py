"""A spectrum drawn with characters, for a terminal without a picture viewer."""
from __future__ import annotations

import numpy as np


def text_chart(energy: np.ndarray, intensity: np.ndarray, width: int = 72, height: int = 12,
               unit: str = "eV") -> str:
    """The curve as `height` rows of `width` columns of '#', with its energy range below.

    Each column shows the largest intensity of the points that fall in it, so a narrow peak
    is never lost between columns; heights are rounded to whole rows and the tallest
    column fills every row.

    Examples
    --------
    >>> x = np.linspace(-1.0, 1.0, 201)
    >>> print(text_chart(x, np.exp(-x**2 / 0.01), width=11, height=2).splitlines()[0])
    |     #     |
    """
    x = np.asarray(energy, dtype=float)
    y = np.asarray(intensity, dtype=float)
    if x.size == 0 or x.size != y.size or width < 1 or height < 1:
        raise ValueError("text_chart needs matching, non-empty energies and intensities")
    span = x[-1] - x[0]
    cols = np.zeros(width, dtype=int) if span <= 0 else np.minimum(
        ((x - x[0]) / span * width).astype(int), width - 1)
    top = np.full(width, -np.inf)
    np.maximum.at(top, cols, y)
    peak = np.nanmax(top)
    if not peak > 0:
        levels = np.zeros(width, dtype=int)
    else:
        levels = np.where(np.isfinite(top), np.rint(np.clip(top, 0, None) / peak * height),
                          0).astype(int)
    rows = ["|" + "".join("#" if lv >= h else " " for lv in levels) + "|"
            for h in range(height, 0, -1)]
    left, right = f"{x[0]:.2f} {unit}", f"{x[-1]:.2f} {unit}"
    rows.append("+" + "-" * width + "+")
    rows.append(" " + left + right.rjust(max(width - len(left), len(right) + 1)))
    return "\n".join(rows)
