"""The measured spectra of a fit: reading them, their model spectrum (polarisation,
temperature) and their normalisation."""
from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from morvex7.background import normalisation


class FitError(RuntimeError):
    """A fit that cannot go on: an engine run failed, or the set-up is unusable."""


@dataclass
class Measured:
    """A measured spectrum: energies, intensities and (optional) their standard errors."""

    energy: np.ndarray
    intensity: np.ndarray
    sigma: np.ndarray | None = None


@dataclass
class Dataset:
    """One measured spectrum of a fit and the model spectrum it is compared with."""

    data: Measured
    polarisation: str = "iso"  # a spectrum of model.json: iso, z, xy, ...
    temperature: float = 0.0  # kelvin
    source: str = ""  # the file it came from

    def suffix(self, i: int) -> str:
        return "" if i == 0 else f"_{i + 1}"


def read_spectrum(path: str | Path) -> Measured:
    """Read two columns (energy, intensity) and an optional third (standard error) from a
    text or CSV file; ``#`` starts a comment, a header line of names is skipped."""
    rows = []
    for lineno, line in enumerate(Path(path).read_text().splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        fields = [f for f in re.split(r"[,;\s]+", line) if f]
        try:
            rows.append([float(f) for f in fields])
        except ValueError:
            if rows:
                raise ValueError(f"{path}:{lineno}: not a row of numbers: {line!r}") from None
            continue  # a header
        if len(fields) not in (2, 3) or len(rows[-1]) != len(rows[0]):
            raise ValueError(f"{path}:{lineno}: expected 2 or 3 columns like the first row")
    if len(rows) < 3:
        raise ValueError(f"{path}: fewer than 3 data rows")
    data = np.array(rows)
    order = np.argsort(data[:, 0], kind="stable")
    data = data[order]
    sigma = data[:, 2] if data.shape[1] == 3 else None
    return Measured(data[:, 0], data[:, 1], sigma)


def as_datasets(data: Any, normalise: str = "none") -> list[Dataset]:
    """The measured spectra of a fit as :class:`Dataset` s, normalised."""
    items = data if isinstance(data, (list, tuple)) else [data]
    out = []
    for item in items:
        if isinstance(item, Dataset):
            ds = item
        elif isinstance(item, Measured):
            ds = Dataset(item)
        else:
            ds = Dataset(read_spectrum(item), source=str(item))
        f = normalisation(ds.data.energy, ds.data.intensity, normalise)
        if f != 1.0:
            m = ds.data
            ds = Dataset(Measured(m.energy, m.intensity / f,
                                  None if m.sigma is None else m.sigma / f),
                         ds.polarisation, ds.temperature, ds.source)
        out.append(ds)
    if not out:
        raise FitError("no measured spectrum to fit")
    return out


