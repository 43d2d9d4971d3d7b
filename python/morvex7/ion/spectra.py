"""How the triads of a builder-made run combine into the isotropic (or polarised) spectrum.

model.json lists, per polarisation, every triad with a ``factor``: the intensity of a line,
summed over the rows of its initial multiplet and over the final rows, is factor * amplitude**2
(amplitude as the engine prints it). An initial state of energy E (one row of its multiplet)
is populated with the Boltzmann probability p = exp(-(E - E0) / kT) / Z, where Z sums
dim * exp(-(E - E0) / kT) over every initial state of every ground symmetry of the run; at
zero temperature only the lowest states count, each with p = 1 / (number of lowest states):
those within DEGENERATE of the lowest, and those the builder's own energies put there (a level
whose rows lie in different ground symmetries, which the engine's rounding can split).
The weight of a line from that initial state is then p * factor. In a model built paired
(one triad of each time-reversed pair, its factor the sum of the two) a ground symmetry that has
no triads of its own is counted in Z with the energies of its ``partner``.
"""
from __future__ import annotations

import json
import math
import warnings
from pathlib import Path
from typing import Any, Mapping, Sequence

import numpy as np

from .runcheck import check_run_matches_model

#: Boltzmann's constant in eV per kelvin.
K_B = 8.617333262e-5
#: Initial states closer than this (eV) to the lowest count as degenerate with it.
DEGENERATE = 1e-4
#: The engine's 4-byte eigenvalues of two ground symmetries holding one degenerate level (the
#: rows of an Oh multiplet in different classes of Jz) differ by up to about 1e-4 eV (8e-5
#: measured): states the builder found degenerate with the lowest count with it at zero
#: temperature as long as the engine puts them within this (eV).
FLOAT32_SPREAD = 1e-3


def read_model_json(path: str | Path) -> dict[str, Any]:
    """Read model.json (a file, or the directory holding it)."""
    p = Path(path)
    if p.is_dir():
        p = p / "model.json"
    return json.loads(p.read_text())


def spectrum_weights(model: Mapping[str, Any], polarisation: str = "iso",
                     temperature: float = 0.0,
                     initial_energies: Mapping[int, Sequence[float]] | None = None
                     ) -> dict[int, list[float]]:
    """Weights of every initial state of every triad for one spectrum.

    Parameters
    ----------
    model
        The parsed model.json.
    polarisation
        "iso", "z" or "xy" (those model.json lists).
    temperature
        Kelvin; 0 takes the lowest state(s) only.
    initial_energies
        {triad (1-based): energies of its initial states in the engine's order} (eV); default:
        the builder's own energies from model.json ("ground_symmetries").

    Returns
    -------
    dict
        {triad: [weight of initial state 1, 2, ...]}; the intensity of a line is weight *
        amplitude**2.
    """
    rows = model["spectra"].get(polarisation)
    if rows is None:
        raise ValueError(f"model.json has no {polarisation!r} spectrum "
                         f"(it has {', '.join(model['spectra'])})")
    if temperature < 0:
        raise ValueError("the temperature must not be negative")
    dims = {g["label"]: int(g["dim"]) for g in model["ground_symmetries"]}
    if initial_energies is None:
        by_label = {g["label"]: list(g.get("energies", [g["energy"]]))
                    for g in model["ground_symmetries"]}
        initial_energies = {r["triad"]: by_label[r["ground"]] for r in rows}
    # one set of initial states per ground symmetry (several triads share it)
    states: dict[str, list[float]] = {}
    for r in rows:
        states.setdefault(r["ground"], list(initial_energies.get(r["triad"], [])))
    # a paired model (zero field) builds the triads of one class of each time-reversed pair:
    # a ground class without triads holds its partner's states, which count in Z too
    for g in model["ground_symmetries"]:
        if g["label"] not in states and g.get("partner") in states:
            states[g["label"]] = states[g["partner"]]
    everything = [e for es in states.values() for e in es]
    if not everything:
        return {r["triad"]: [] for r in rows}
    e0 = min(everything)
    lowest = builder_lowest(model)

    def boltzmann(g: str, i: int, e: float) -> float:
        if temperature == 0.0:
            near = e - e0 <= DEGENERATE or (i in lowest.get(g, ()) and e - e0 <= FLOAT32_SPREAD)
            return 1.0 if near else 0.0
        return math.exp(-(e - e0) / (K_B * temperature))

    z = sum(dims[g] * boltzmann(g, i, e) for g, es in states.items() for i, e in enumerate(es))
    return {r["triad"]: [r["factor"] * boltzmann(r["ground"], i, e) / z
                         for i, e in enumerate(initial_energies.get(r["triad"], []))]
            for r in rows}


def builder_lowest(model: Mapping[str, Any]) -> dict[str, set[int]]:
    """{ground symmetry: indexes of its states that the builder's own (8-byte) energies put
    within DEGENERATE of the lowest}: a level split over several ground symmetries by the
    engine's rounding is still one level at zero temperature."""
    energies = {g["label"]: list(g.get("energies", [g["energy"]]))
                for g in model.get("ground_symmetries", [])}
    b0 = min((es[0] for es in energies.values() if es), default=0.0)
    return {lab: {i for i, x in enumerate(es) if x - b0 <= DEGENERATE}
            for lab, es in energies.items()}


#: Population (fraction) in levels without triads above which a spectrum at a temperature warns.
MISSING_POPULATION = 0.01


def missing_population(model: Mapping[str, Any], temperature: float) -> tuple[float, float]:
    """The fraction of the ground-state population at `temperature` in states that have no
    triads, and the window (eV) that would leave less than 1 % out.

    Uses model.json's "levels" (every ground state within 1 eV); (0, window) without them.
    """
    window = float(model.get("window", 0.0))
    levels = model.get("levels")
    if not levels or temperature <= 0.0:
        return 0.0, window
    covered = {g["label"]: len(g.get("energies", [g["energy"]])) for g in model["ground_symmetries"]}
    states = [(e, int(g["dim"]), i < covered.get(g["label"], 0))
              for g in levels for i, e in enumerate(g["energies"])]
    e0 = min(e for e, _, _ in states)
    pops = sorted(((e - e0, d * math.exp(-(e - e0) / (K_B * temperature)), c)
                   for e, d, c in states), key=lambda s: s[0])
    z = sum(p for _, p, _ in pops)
    missing = sum(p for _, p, c in pops if not c) / z
    need, tail = 0.0, 1.0
    for de, p, _ in pops:
        if tail < MISSING_POPULATION:
            break
        need, tail = de, tail - p / z
    return missing, need


def run_initial_energies(run: Any) -> dict[int, list[float]]:
    """{triad: initial-state energies} of a finished run (``morvex7.results.Run``)."""
    return {t.index: [b.initial_energy for b in t.absorption] for t in run.triads}


def combined_sticks(run: Any, model: Mapping[str, Any] | None = None, polarisation: str = "iso",
                    temperature: float = 0.0, absolute: bool = False):
    """The stick spectrum of a builder-made run for one polarisation and temperature.

    Energies are transition energies E_f - E_i, E_i the initial state of the line (E0, the
    lowest ground energy of the run, at zero temperature); with `absolute` E0 is added.
    Intensities are weight * amplitude**2 (see :func:`spectrum_weights`).
    """
    from morvex7.results import initial_excess
    from morvex7.sticks import Sticks

    model = model if model is not None else read_model_json(run.directory)
    check_run_matches_model(run, model, polarisation)
    missing, need = missing_population(model, temperature)
    if missing > MISSING_POPULATION:
        warnings.warn(
            f"at {temperature:g} K {missing:.1%} of the ground-state population is in levels "
            f"without triads (the model's window is {model.get('window', 0.0):g} eV): rebuild "
            f"with [triads] window = {1.05 * need:.3g} (morvex7-ion --window {1.05 * need:.3g})",
            stacklevel=2)
    energies = run_initial_energies(run)
    weights = spectrum_weights(model, polarisation, temperature, energies)
    e0 = min((e for es in energies.values() for e in es), default=0.0)
    parts = []
    for t in run.triads:
        w = weights.get(t.index, [])
        for b, wb in zip(t.absorption, w):
            if wb == 0.0:
                continue
            n = len(b.energies)
            # the photon energy of a line from initial state i is E_f - E_i
            start = e0 + initial_excess(b.initial_energy, e0)
            st = Sticks(b.energies - start + (e0 if absolute else 0.0), wb * b.amplitudes ** 2,
                        b.amplitudes * math.sqrt(wb), np.full(n, b.state), np.full(n, t.index),
                        {"unit": "eV", "absolute": absolute, "title": " ".join(t.labels)})
            parts.append((st, 1.0))
    out = Sticks.combine(parts) if parts else Sticks.empty({"unit": "eV", "absolute": absolute})
    out.meta.update({"polarisation": polarisation, "temperature": temperature,
                     "title": f"{model.get('title') or 'ion model'} ({polarisation})"})
    return out
