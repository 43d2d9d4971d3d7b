"""Stick spectra: lines with an energy and an intensity, and their weighted combination."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterable, Mapping

import numpy as np

__all__ = ["Sticks", "unit_of"]


def unit_of(meta: Mapping[str, object] | None) -> str:
    """The energy unit recorded in a spectrum's `meta` (eV by convention)."""
    return str((meta or {}).get("unit") or "eV")


@dataclass
class Sticks:
    """A stick spectrum.

    Attributes
    ----------
    energy : ndarray
        Line energies (E - Eg0 unless ``meta["absolute"]``), in ``meta["unit"]``.
    intensity : ndarray
        Line intensities (amplitude**2 / ndeg for absorption lines, times any weight applied).
    amplitude : ndarray
        Signed transition amplitude (times sqrt(weight) in a weighted combination), NaN where
        there is none (Auger and intermediate-state intensities, negative weights).
    initial_state : ndarray of int
        1-based initial (ground) state of each line within its triad.
    triad : ndarray of int
        1-based index of the triad each line comes from.
    meta : dict
        Provenance: labels, title, block params, eg0, ndeg, unit, absolute, kind; a combination
        holds ``parts`` (the members' meta) and ``weights``.
    """

    energy: np.ndarray
    intensity: np.ndarray
    amplitude: np.ndarray
    initial_state: np.ndarray
    triad: np.ndarray
    meta: dict = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.energy = np.asarray(self.energy, dtype=float)
        self.intensity = np.asarray(self.intensity, dtype=float)
        self.amplitude = np.asarray(self.amplitude, dtype=float)
        self.initial_state = np.asarray(self.initial_state, dtype=int)
        self.triad = np.asarray(self.triad, dtype=int)
        n = len(self.energy)
        for name in ("intensity", "amplitude", "initial_state", "triad"):
            if len(getattr(self, name)) != n:
                raise ValueError(f"Sticks.{name} has {len(getattr(self, name))} entries, "
                                 f"energy has {n}")
        self.meta.setdefault("unit", "eV")

    def __len__(self) -> int:
        return len(self.energy)

    @property
    def total(self) -> float:
        """Sum of the intensities."""
        return float(np.sum(self.intensity))

    @classmethod
    def empty(cls, meta: dict | None = None) -> "Sticks":
        z = np.zeros(0)
        return cls(z, z, z, z.astype(int), z.astype(int), dict(meta or {}))

    def sorted(self) -> "Sticks":
        """The same lines in ascending energy (stable)."""
        o = np.argsort(self.energy, kind="stable")
        return Sticks(self.energy[o], self.intensity[o], self.amplitude[o],
                      self.initial_state[o], self.triad[o], dict(self.meta))

    def scaled(self, weight: float) -> "Sticks":
        """Intensities times `weight`.

        Amplitudes are multiplied by sqrt(weight), so that intensity = amplitude**2 / ndeg still
        holds. A negative weight (a difference spectrum, e.g. one polarisation minus another)
        gives negative intensities, which no real amplitude squares to: the amplitudes are then
        NaN. A weight that is not a finite number is refused (ValueError).
        """
        weight = float(weight)
        if not np.isfinite(weight):
            raise ValueError(f"a weight must be a finite number, not {weight}")
        amp = self.amplitude * np.sqrt(weight) if weight >= 0 else np.full(len(self), np.nan)
        return Sticks(self.energy.copy(), self.intensity * weight, amp,
                      self.initial_state.copy(), self.triad.copy(), dict(self.meta))

    @classmethod
    def combine(cls, parts: Iterable[tuple["Sticks", float]]) -> "Sticks":
        """Concatenate weighted stick spectra (several triads, or several runs).

        Parameters
        ----------
        parts : iterable of (Sticks, weight)
            A weight multiplies the part's intensities (see :meth:`scaled`); negative weights
            make difference spectra.

        Returns
        -------
        Sticks
            All lines, intensities multiplied by their part's weight. ``meta`` holds the parts'
            meta and the weights; keys on which every part agrees (unit, absolute, ...) are kept.
        """
        parts = list(parts)
        if not parts:
            return cls.empty()
        units = {p.meta.get("unit", "eV") for p, _ in parts}
        if len(units) > 1:
            raise ValueError(f"cannot combine spectra in different units: {sorted(units)}")
        absolute = {p.meta.get("absolute") for p, _ in parts}
        if len(absolute) > 1:
            raise ValueError("cannot combine absolute and relative (E - Eg0) energies")
        scaled = [p.scaled(w) for p, w in parts]
        meta = {"unit": units.pop(), "absolute": absolute.pop(),
                "parts": [p.meta for p, _ in parts], "weights": [w for _, w in parts],
                "kind": "combination"}
        for key in ("labels", "title", "eg0", "ndeg", "params"):
            vals = [p.meta.get(key) for p, _ in parts]
            if all(v == vals[0] for v in vals) and vals[0] is not None:
                meta[key] = vals[0]
        return cls(np.concatenate([s.energy for s in scaled]),
                   np.concatenate([s.intensity for s in scaled]),
                   np.concatenate([s.amplitude for s in scaled]),
                   np.concatenate([s.initial_state for s in scaled]),
                   np.concatenate([s.triad for s in scaled]), meta)
