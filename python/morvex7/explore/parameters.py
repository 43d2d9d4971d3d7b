"""The parameters the explorer shows, and the command file they make.

One place decides which parameters a model offers and how their values reach the engine, so
that the page, the runs, the fit and the exports agree. A model made by ``morvex7-ion`` offers
its physical parameters (10Dq, Delta, U, V_eg, kappa, ...) as :mod:`morvex7.params` lists and
applies them; any other model the real numbers of its command file by their engine names
(DEL, XHAM[2,1][8], ...).
"""
from __future__ import annotations

import math
import re
from dataclasses import asdict, dataclass
from pathlib import Path

from morvex7.commandfile import CommandFile
from morvex7.runner import edited_text, model_text

#: The largest magnitude any engine parameter may take from the page (eV).
HARD_LIMIT = 1000.0


@dataclass
class Param:
    """One parameter of the page: its value, the range accepted and the slider's range."""

    name: str
    value: float
    minimum: float  # values outside [minimum, maximum] are refused
    maximum: float
    low: float  # the slider's range
    high: float
    step: float = 0.01
    label: str = ""
    group: str = ""

    def as_json(self) -> dict:
        return asdict(self)


def slider_range(value: float, nonnegative: bool) -> tuple[float, float]:
    """A slider range around `value`: wide enough to matter, not so wide it is coarse."""
    span = max(2.0 * abs(value), 2.0)
    low = value - span
    if nonnegative:
        low = max(low, 0.0)
    return round(low, 3), round(value + span, 3)


ENGINE_KEYWORDS = ("DEL", "UVV", "UCV", "W")
#: Physical parameters that cannot be negative: Slater integrals, spin-orbit couplings,
#: repulsions, hybridisations, the band width and the Slater factor.
NONNEGATIVE = re.compile(r"^([FG]\d+(vv|cv)|zeta_.*|U|Q|V(_.*)?|width|kappa)$")
CRYSTAL_FIELD = ("10Dq", "Dq", "Ds", "Dt")
ONE_SIDE = "one side"  # the group of names that act on one side only


def model_parameters(model_dir: Path) -> list[Param]:
    """The parameters of the page: physical ones for a model with a parameter map in its
    model.json, else the engine's numbers (:func:`engine_parameters`)."""
    from morvex7.params import ParameterMap

    values = ParameterMap.load(model_dir).values()
    if not values:
        return engine_parameters(model_dir)
    out = []
    for name, value in values.items():
        base = name.split(".", 1)[1] if name.startswith(("ground.", "excited.")) else name
        scoped = base != name or name.startswith("kappa.") or name.endswith("_excited")
        nonnegative = bool(NONNEGATIVE.match(base.split(".")[0]))
        low, high = slider_range(value, nonnegative)
        if base.startswith("kappa"):
            low, high = 0.0, 1.5
        out.append(Param(name, float(value), 0.0 if nonnegative else -HARD_LIMIT, HARD_LIMIT,
                         low, high, step=0.001 if base.startswith("kappa") else 0.01,
                         label=name, group=ONE_SIDE if scoped else "model"))
    # the crystal field first, one-side names last; else the map's order
    out.sort(key=lambda p: (p.group == ONE_SIDE, p.name not in CRYSTAL_FIELD))
    return out


def engine_parameters(model_dir: Path) -> list[Param]:
    """The real numbers the model's command file gives a value: the charge-transfer
    keywords and every operator factor of its first block."""
    cf = CommandFile(model_text(model_dir))
    names = [k for k in ENGINE_KEYWORDS if cf.get(k) is not None]
    block = cf.blocks[0] if cf.blocks else None
    if block is not None:
        for keyword in ("XHAM", "XMIX"):
            for command in block.find(keyword):
                nfac = command.int_arg(0)
                for position, _ in command.entries():
                    label = ",".join(str(i) for i in position)
                    names += [f"{keyword}[{label}][{k}]" for k in range(1, nfac + 1)]
    out, seen = [], set()
    for name in names:
        if name in seen:
            continue
        seen.add(name)
        value = cf.get(name)
        if value is None or not math.isfinite(value):
            continue
        value = float(f"{value:.7g}")  # the 4-byte real as written in the file
        low, high = slider_range(value, nonnegative=name != "DEL")
        out.append(Param(name, value, -HARD_LIMIT, HARD_LIMIT, low, high, label=name,
                         group="engine"))
    return out


def command_text(model_dir: Path, values: dict[str, float]) -> str:
    """The model's command file with `values` set (raises ParameterError)."""
    return edited_text(model_dir, values)
