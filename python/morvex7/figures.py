"""What every figure of the package shares: the image formats it writes, the check of a file
name's format before any work, saving a figure, and the cell edges of a colour map."""
from __future__ import annotations

from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

#: Image formats a figure can be written in, by file suffix.
FORMATS = (".png", ".svg", ".pdf")


def check_suffix(path: str | Path) -> Path:
    """`path` as a Path when its suffix names an image format; ValueError otherwise."""
    path = Path(path)
    if path.suffix.lower() not in FORMATS:
        raise ValueError(f"{path}: cannot tell the image format; use a name ending in "
                         f"{', '.join(FORMATS)}")
    return path


def save_figure(fig: Figure, path: Path) -> Path:
    """Lay `fig` out tightly and write it to `path` (format by suffix); return `path`."""
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    return path


def cell_edges(centres: np.ndarray) -> np.ndarray:
    """The edges of the cells around increasing `centres` (midpoints inside, the outer cells
    as wide as their neighbours' half-distance on the inside): n centres, n + 1 edges."""
    c = np.asarray(centres, float)
    if c.size == 1:
        return np.array([c[0] - 0.5, c[0] + 0.5])
    mid = 0.5 * (c[1:] + c[:-1])
    return np.concatenate(([2 * c[0] - mid[0]], mid, [2 * c[-1] - mid[-1]]))
