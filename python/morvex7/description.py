"""A model description (the TOML that ``morvex7-ion`` builds from) with new physical values.

After a fit, :func:`fitted_description` puts the fitted values of physical names back into the
description stored in model.json, and :func:`toml_text` writes it as TOML, so that
``morvex7-ion fitted-model.toml`` rebuilds the fitted model.
"""
from __future__ import annotations

import copy
import math
import re
from collections.abc import Mapping
from typing import Any

SIDES = ("ground", "excited")
SLATER = re.compile(r"^[FG]\d+(vv|cv)$")


def stored_description(model: Mapping[str, Any]) -> dict[str, Any]:
    """The description a model.json was built from (its entries, in TOML's shape)."""
    p = model.get("parameters", {})
    d: dict[str, Any] = {}
    if model.get("title"):
        d["title"] = model["title"]
    d.update({"valence": model["valence"], "electrons": int(model["electrons"]),
              "core": model["core"], "symmetry": model.get("symmetry", "O3")})
    if model.get("edge_energy") is not None:
        d["edge_energy"] = float(model["edge_energy"])
    d["ground"] = dict(p.get("ground", {}))
    d["excited"] = dict(p.get("excited", {}))
    if p.get("charge_transfer"):
        d["charge_transfer"] = dict(p["charge_transfer"])
    if model.get("window"):
        d["triads"] = {"window": float(model["window"])}
    return d


def fitted_description(model: Mapping[str, Any], values: Mapping[str, float]) -> dict[str, Any]:
    """The description of `model` (parsed model.json) with physical `values` put in.

    ``kappa`` (or ``kappa.ground``/``kappa.excited``) rescales the Slater integrals of the
    side(s) first, from the model's own kappa to the new one; then ``side.X`` sets X on that
    side, an unscoped X sets it wherever the description gives it (the ground side when neither
    does: the excited side follows), and a charge-transfer name sets [charge_transfer]. Engine
    names are not physical: refused.

    A model built from an ion (``ion = "Ni2+"``) is written the same way: ``ion``, ``edge`` and
    ``kappa``, and explicitly only the values the atomic table does not give (the fitted ones
    and those the description set itself).
    """
    d = copy.deepcopy(stored_description(model))
    ct = d.get("charge_transfer")
    kappa0 = model.get("kappa") or 1.0
    ordered = sorted(values.items(), key=lambda kv: not kv[0].startswith("kappa"))
    for name, value in ordered:
        value = float(value)
        if name.startswith("kappa"):
            sides = SIDES if name == "kappa" else (name.split(".", 1)[1],)
            for side in sides:
                for k in d[side]:
                    if SLATER.match(k):
                        d[side][k] = d[side][k] * value / kappa0
        elif "." in name and name.split(".", 1)[0] in SIDES:
            side, key = name.split(".", 1)
            d[side][key] = value
        elif ct is not None and (name in ct or name in ("Delta", "U", "Q", "V", "V_excited",
                                                       "width") or name.startswith("V_")):
            ct[name] = value
        else:
            where = [s for s in SIDES if name in d[s]] or ["ground"]
            if name in ("zeta_c",) or re.match(r"^[FG]\d+cv$", name):
                where = ["excited"]
            for side in where:
                d[side][name] = value
    if model.get("ion"):
        d = _by_ion(d, model, float(values.get("kappa", kappa0)))
    return d


def _by_ion(d: dict[str, Any], model: Mapping[str, Any], kappa: float) -> dict[str, Any]:
    """`d` written with ``ion``/``edge``/``kappa``: the entries the atomic table gives at this
    kappa (to rounding) left to it."""
    from morvex7.ion.tables import atomic_parameters

    atoms = atomic_parameters(model["ion"], model.get("edge") or "L2,3", kappa)

    def same(a: Any, b: Any) -> bool:
        if isinstance(a, (int, float)) and isinstance(b, (int, float)):
            return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)
        return a == b

    out: dict[str, Any] = {}
    if "title" in d:
        out["title"] = d["title"]
    out["ion"] = model["ion"]
    if model.get("edge"):
        out["edge"] = model["edge"]
    if not same(kappa, 1.0):
        out["kappa"] = kappa
    for k, v in d.items():
        if k in SIDES:
            v = {a: b for a, b in v.items() if not same(b, atoms[k].get(a))}
            if v:
                out[k] = v
        elif k != "title" and not (k in atoms and same(v, atoms[k])):
            out[k] = v  # not valence, core, electrons or edge_energy as the table gives them
    return out


def toml_text(d: Mapping[str, Any], comment: str = "") -> str:
    """A description as TOML: top-level keys first, then one table per nested mapping."""
    lines = [f"# {c}" for c in comment.splitlines()] if comment else []
    for k, v in d.items():
        if not isinstance(v, Mapping):
            lines.append(f"{_key(k)} = {_value(v)}")
    for k, v in d.items():
        if isinstance(v, Mapping):
            lines.append("")
            lines.append(f"[{_key(k)}]")
            lines += [f"{_key(a)} = {_value(b)}" for a, b in v.items()]
    return "\n".join(lines) + "\n"


def _key(k: str) -> str:
    return k if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_-]*", k) else '"' + k + '"'


def _value(v: Any) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        if not math.isfinite(v):
            raise ValueError(f"{v} cannot be written to a description")
        return repr(v)
    if isinstance(v, str):
        return '"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(_value(x) for x in v) + "]"
    raise ValueError(f"cannot write {v!r} to a description")
