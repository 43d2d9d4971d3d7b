"""What the explorer accepts from the page (the limits, the checked request and its view), and
the numbers it sends back.

Everything that arrives from the page goes through these checks first: known names only, finite
numbers within their ranges, a known polarisation. Anything refused raises
:class:`RequestError`, whose message the page shows as it is.
"""
from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any, Mapping, Sequence

import numpy as np

MAX_TEMPERATURE = 5000.0  # kelvin
MAX_WIDTH = 50.0  # eV, either width
MAX_EDGE = 1.0e5  # eV


class RequestError(ValueError):
    """A request from the page that cannot be served; the message is for the user."""


@dataclass
class View:
    """How the sticks become the drawn spectrum."""

    lorentz: float = 0.3
    gauss: float = 0.2
    polarisation: str = "iso"
    temperature: float = 0.0
    edge: float = 0.0  # photon energy of the model's strongest feature; 0: the E - E0 axis


@dataclass
class Request:
    """A checked request: parameter values and the view."""

    values: dict[str, float]
    view: View


def number(raw: Any, what: str) -> float:
    if isinstance(raw, bool) or not isinstance(raw, (int, float, str)):
        raise RequestError(f"{what}: a number is needed, not {json.dumps(raw)[:40]}")
    try:
        value = float(raw)
    except ValueError:
        raise RequestError(f"{what}: {str(raw)[:40]!r} is not a number") from None
    if not math.isfinite(value):
        raise RequestError(f"{what}: {raw} is not a finite number")
    return value


def in_range(value: float, lo: float, hi: float, what: str) -> float:
    if not lo <= value <= hi:
        raise RequestError(f"{what} = {value:g} is outside the accepted range {lo:g} .. {hi:g}")
    return value




def check_values(params: Mapping[str, Any], raw: Any) -> dict[str, float]:
    """Every parameter's value: the page's where it sent one (checked against the parameter's
    range), the model's own elsewhere."""
    if not isinstance(raw, Mapping):
        raise RequestError("params: an object of name: value is needed")
    values = {}
    for name, value in raw.items():
        p = params.get(name)
        if p is None:
            known = ", ".join(params) or "none"
            raise RequestError(f"unknown parameter {str(name)[:40]!r}; this model has {known}")
        values[name] = in_range(number(value, name), p.minimum, p.maximum, name)
    return {n: values.get(n, p.value) for n, p in params.items()}


def check_view(raw: Any, default: View, polarisations: Sequence[str]) -> View:
    """The page's view settings laid over `default`."""
    if raw is None:
        return default
    if not isinstance(raw, Mapping):
        raise RequestError("view: an object is needed")
    unknown = set(raw) - set(View.__dataclass_fields__)
    if unknown:
        raise RequestError(f"view: unknown setting {sorted(unknown)[0]!r}")
    view = default
    for name in ("lorentz", "gauss"):
        if name in raw:
            setattr(view, name, in_range(number(raw[name], f"{name} FWHM"), 0.0,
                                         MAX_WIDTH, f"{name} FWHM"))
    if view.lorentz == 0 and view.gauss == 0:
        raise RequestError("give a Lorentzian or a Gaussian width above zero")
    if "temperature" in raw:
        view.temperature = in_range(number(raw["temperature"], "temperature"), 0.0,
                                    MAX_TEMPERATURE, "temperature (K)")
    if "edge" in raw:
        view.edge = in_range(number(raw["edge"], "edge energy"), -MAX_EDGE, MAX_EDGE,
                             "edge energy (eV)")
    if "polarisation" in raw:
        pol = raw["polarisation"]
        allowed = list(polarisations) or ["iso"]
        if pol not in allowed:
            raise RequestError(f"polarisation {str(pol)[:20]!r}: this model has "
                               f"{', '.join(allowed)}")
        view.polarisation = pol
    return view


def rounded(a: np.ndarray) -> list[float]:
    """Numbers for JSON, to the 7 digits a 4-byte real holds."""
    return [float(f"{v:.7g}") for v in np.asarray(a, float)]
