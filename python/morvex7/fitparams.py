"""The lmfit Parameters of a fit: settings (start, bounds, vary) of the model and line-shape
parameters, their defaults, and start values filled in from the model and the data."""
from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from morvex7.commandfile import CommandFile, parse_name
from morvex7.fitaxis import aligned_shift
from morvex7.fitdata import Dataset, FitError, Measured
from morvex7.fitmodel import DATASET_SHAPE, SpectrumModel

if TYPE_CHECKING:
    from lmfit import Parameters


@dataclass
class FitParam:
    """Start value, bounds and whether a parameter varies (``value=None``: model
    parameters start from the model's value, ``scale`` from the data's height, ``shift``
    from the alignment of the strongest features)."""

    value: float | None = None
    min: float = -math.inf
    max: float = math.inf
    vary: bool = True


DEFAULT_SHAPE = {
    "lorentz": FitParam(0.5, min=1e-3),
    "gauss": FitParam(0.0, min=0.0, vary=False),
    "shift": FitParam(None),
    "scale": FitParam(None, min=0.0),
    "background": FitParam(0.0),
    "slope": FitParam(0.0),
    "step": FitParam(0.0, vary=False),
    "step_ratio": FitParam(0.5, min=0.0, vary=False),
    "step_width": FitParam(0.5, min=1e-3, vary=False),
}
#: Default half-range (eV) of the shift around its aligned start, unless bounds are given.
SHIFT_RANGE = 10.0


def as_param(x: FitParam | float | None | Mapping[str, Any]) -> FitParam:
    if isinstance(x, FitParam):
        return x
    if isinstance(x, Mapping):
        return FitParam(**x)
    return FitParam(None if x is None else float(x))


def start_value(model: SpectrumModel, name: str) -> float | None:
    """The model's own value of a physical or engine parameter."""
    p = model.pmap.lookup(name)
    if p is not None:
        return p.value
    return CommandFile(model._text).get(name)


def make_parameters(model: SpectrumModel, engine_settings: Mapping[str, FitParam],
                    shape_settings: Mapping[str, FitParam], data: Measured | Sequence[Dataset]
                    ) -> Parameters:
    """lmfit Parameters of a fit, start values filled in (shift aligned, scales from the
    data's heights)."""
    from lmfit import Parameters

    datasets = [Dataset(data)] if isinstance(data, Measured) else list(data)
    params = Parameters()
    for name, setting in engine_settings.items():
        if model.pmap.lookup(name) is None and setting.vary and parse_name(name).integer:
            raise FitError(f"{name} is an integer parameter: it can only be held fixed")
        value = setting.value if setting.value is not None else start_value(model, name)
        if value is None:
            raise FitError(f"{name}: the command file does not give it; state a start value")
        params.add(model.names[name], value=value, min=setting.min, max=setting.max,
                   vary=setting.vary)
    for name, setting in shape_settings.items():
        value = 1.0 if name == "scale" else 0.0
        params.add(name, value=value if setting.value is None else setting.value,
                   min=setting.min, max=setting.max, vary=setting.vary)
    for i in range(1, len(datasets)):
        for name in DATASET_SHAPE:
            if name == "scale" and f"scale_{i + 1}" not in shape_settings:
                continue  # shared
            s = shape_settings.get(name + f"_{i + 1}", shape_settings[name])
            params.add(name + f"_{i + 1}", value=params[name].value, min=s.min, max=s.max,
                       vary=s.vary)
    for name, setting in [*engine_settings.items(), *shape_settings.items()]:
        p = params[model.names.get(name, name)]
        if p.vary and setting.value is not None and not setting.min < setting.value < setting.max:
            # lmfit would clip it onto the bound, where its gradient vanishes
            raise FitError(f"{name}: start value {setting.value} must lie strictly inside its "
                           f"bounds [{setting.min}, {setting.max}]")
    (sticks,) = model.sticks_many([model.engine_values(params)])
    if shape_settings["shift"].value is None:
        shift = aligned_shift(model, sticks[0], datasets[0].data, params["lorentz"].value)
        params["shift"].set(value=shift)
        s = shape_settings["shift"]
        params["shift"].set(min=s.min if math.isfinite(s.min) else shift - SHIFT_RANGE,
                            max=s.max if math.isfinite(s.max) else shift + SHIFT_RANGE)
    for i, ds in enumerate(datasets):
        name = "scale" + ds.suffix(i)
        if name not in params:
            continue
        if shape_settings.get(name, shape_settings["scale"]).value is None:
            unit = {**model.shape_values(params, i), "scale": 1.0, "background": 0.0,
                    "slope": 0.0, "step": 0.0}
            height = float(np.ptp(model.shape(sticks, unit, ds.data.energy, i))) or 1.0
            params[name].set(value=float(np.ptp(ds.data.intensity)) / height)
    return params


