"""CSV files of stick spectra, broadened curves, total-yield curves and Auger maps.

Every file starts with ``#`` comment lines of provenance (``# key: value``: what the file holds,
the run directory, triad labels, block parameters, Eg0, degeneracy, the broadening used), then
one line of column names, then comma-separated numbers (12 significant digits). `read_csv`
reads any of them back.
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Sequence

import numpy as np

from morvex7.sticks import unit_of

_NUMBER = "%.12g"


@dataclass
class CsvTable:
    """A CSV file read back: its provenance header and its columns by name."""

    header: dict[str, str]
    columns: dict[str, np.ndarray]

    def __getitem__(self, name: str) -> np.ndarray:
        return self.columns[name]


def format_value(value: object) -> str:
    """Provenance value as one line: dicts as ``k=v, ...``, sequences space-separated."""
    if isinstance(value, Mapping):
        return ", ".join(f"{k}={format_value(v)}" for k, v in value.items())
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        return " ".join(format_value(v) for v in value)
    if isinstance(value, float):
        return f"{value:.10g}"
    return " ".join(str(value).split())


def header_lines(title: str, meta: Mapping[str, object] | None) -> list[str]:
    """The commented provenance lines: the title, then one line per meta entry."""
    lines = [f"# {title}"]
    for key, value in (meta or {}).items():
        if value is None or (isinstance(value, (list, tuple, dict)) and not value):
            continue
        key = str(key).replace(":", "_")
        if isinstance(value, (list, tuple)) and all(isinstance(v, Mapping) for v in value):
            # The members of a combination: one line each.
            lines += [f"# {key}[{i}]: {format_value(v)}" for i, v in enumerate(value, 1)]
        else:
            lines.append(f"# {key}: {format_value(value)}")
    return lines


def write_table(
    path: str | Path, title: str, meta: Mapping[str, object] | None,
    columns: Sequence[tuple[str, Iterable]],
) -> Path:
    """Write named columns of equal length under a provenance header; return the path."""
    path = Path(path)
    names = [name for name, _ in columns]
    data = [np.asarray(list(values) if not isinstance(values, np.ndarray) else values, float)
            for _, values in columns]
    lengths = {d.size for d in data}
    if len(lengths) > 1:
        raise ValueError(f"{path}: columns of different lengths {sorted(lengths)}")
    integer = [name in ("initial_state", "triad", "step") for name in names]
    rows = np.column_stack(data) if data and data[0].size else np.empty((0, len(data)))
    with path.open("w") as out:
        out.write("\n".join(header_lines(title, meta)) + "\n")
        out.write(",".join(names) + "\n")
        for row in rows:
            out.write(",".join(
                str(int(v)) if is_int and np.isfinite(v) else _NUMBER % v
                for v, is_int in zip(row, integer)
            ) + "\n")
    return path


def write_sticks(path: str | Path, sticks) -> Path:
    """CSV of a stick spectrum: energy, amplitude, intensity, initial_state, triad."""
    meta = dict(sticks.meta or {})
    meta["unit"] = unit_of(meta)
    n = np.asarray(sticks.energy).size

    def column(name: str) -> np.ndarray:
        value = getattr(sticks, name, None)
        return np.full(n, np.nan) if value is None else np.asarray(value, float)

    return write_table(path, "morvex7 stick spectrum (intensity = amplitude squared, averaged "
                             "over the degenerate initial states)", meta, [
        ("energy", column("energy")),
        ("amplitude", column("amplitude")),
        ("intensity", column("intensity")),
        ("initial_state", column("initial_state")),
        ("triad", column("triad")),
    ])


def write_curve(path: str | Path, curve) -> Path:
    """CSV of a broadened curve: energy, intensity (per unit energy)."""
    meta = dict(curve.meta or {})
    meta["unit"] = unit_of(meta)
    return write_table(path, "morvex7 broadened spectrum (intensity per unit energy)", meta,
                       [("energy", curve.energy), ("intensity", curve.intensity)])


def write_yield(path: str | Path, auger, meta: Mapping[str, object] | None = None) -> Path:
    """CSV of the total Auger yield and total absorption against photon energy.

    The off-resonance reference record is not one of the rows: it goes to the header.
    """
    meta = dict(meta or {})
    off = getattr(auger, "off_resonance", None)
    if off is not None:
        meta["off_resonance_reference_not_a_data_point"] = _describe_record(off)
    return write_table(path, "morvex7 total Auger yield and total absorption", meta, [
        ("photon_energy", auger.photon_energies),
        ("total_yield", auger.total_yield),
        ("total_absorption", auger.total_absorption),
    ])


def write_auger_map(path: str | Path, auger, meta: Mapping[str, object] | None = None) -> Path:
    """CSV of the Auger spectra: one row per (photon step, final state)."""
    photon, final, intensity, step = [], [], [], []
    for index, (omega, (energies, values)) in enumerate(zip(auger.photon_energies, auger.steps), 1):
        energies = np.asarray(energies, float)
        photon.append(np.full(energies.size, float(omega)))
        step.append(np.full(energies.size, index))
        final.append(energies)
        intensity.append(np.asarray(values, float))
    cat = (lambda parts: np.concatenate(parts) if parts else np.empty(0))
    return write_table(path, "morvex7 resonant Auger spectra (photon energy x final-state energy; "
                           "intensities as the engine prints them, summed over the degenerate "
                           "ground states)",
                       meta, [("step", cat(step)), ("photon_energy", cat(photon)),
                              ("final_energy", cat(final)), ("intensity", cat(intensity))])


def _describe_record(record) -> str:
    """The off-resonance record's scalars (its spectrum stays out of the header)."""
    names = ("photon_energy", "printed_energy", "total_yield", "total_absorption")
    if any(hasattr(record, n) for n in names):
        return ", ".join(f"{n}={format_value(getattr(record, n))}" for n in names
                         if getattr(record, n, None) is not None)
    return format_value(record)


def read_csv(path: str | Path) -> CsvTable:
    """Read a CSV written by this module.

    Raises
    ------
    ValueError
        Naming the file and line when a row is not as many numbers as there are columns.
    """
    path = Path(path)
    header: dict[str, str] = {}
    names: list[str] | None = None
    rows: list[list[float]] = []
    with path.open() as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                key, sep, value = line[1:].strip().partition(": ")
                if sep:
                    header[key] = value
                continue
            if not line.strip():
                continue
            if names is None:
                names = line.split(",")
                continue
            fields = line.split(",")
            try:
                if len(fields) != len(names):
                    raise ValueError
                rows.append([float(v) for v in fields])
            except ValueError:
                raise ValueError(f"{path}, line {number}: expected {len(names)} numbers "
                                 f"({','.join(names)}), found {line!r}") from None
    if names is None:
        raise ValueError(f"{path}: no line of column names")
    data = np.array(rows, float).reshape(len(rows), len(names))
    return CsvTable(header, {name: data[:, i] for i, name in enumerate(names)})
