"""Which engine numbers each physical parameter of a model description drives.

A built model's command file holds engine numbers: XHAM factors per side and configuration,
XMIX factors per configuration pair, the keywords DEL, UVV, UCV, W that its DEF lines use.
The description names physics: 10Dq, Delta, V_eg, F2vv, … . :func:`parameter_map` finds, for
every name the description may hold, the engine numbers it moves and by what factor, by
setting the name to 0 and to 1 in a copy of the description and comparing every engine number
the builder derives from it (the same default rules as the builder: an excited crystal field
follows the ground one, hybridisations default to V, …).

Names (the result's keys):

* ``ground.X`` / ``excited.X`` — an entry X of the [ground] / [excited] table, moving the
  engine numbers of that side only;
* ``X`` — both sides at once (only listed when both sides hold the same value, or one side
  has no X);
* charge-transfer entries ``Delta``, ``U``, ``Q``, ``width``, ``V``, ``V_excited``,
  ``V_eg``, ``V_eg_excited``, … — what they move under the description's rules (``V_eg``
  also moves the core-hole side unless ``V_eg_excited`` or ``V_excited`` is given);
* ``kappa.ground`` / ``kappa.excited`` / ``kappa`` — a factor on every Slater integral
  (F<k>vv, F<k>cv, G<k>cv) of a side; 1 is the built model's values (or the description's
  ``kappa`` when the Slater integrals came from the atomic table).

A target is *effective* when its operator has a non-zero block in the built model (10Dq in a
full d shell has none): a name none of whose targets is effective changes nothing.
"""
from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import Any

from .fields import FIELD_NAMES
from .pointmodel import field_value, mixing_value, parameter_names

SLATER = re.compile(r"^[FG]\d+(vv|cv)$")
CT_KEYWORDS = {"Delta": "DEL", "U": "UVV", "Q": "UCV", "width": "W"}
SIDES = {"ground": 1, "excited": 2}


def engine_values(desc: Mapping[str, Any], operators: Iterable[Mapping[str, Any]],
                  nconf: Mapping[str, int]) -> dict[str, float]:
    """Every engine number of the model that the description sets, by its engine name.

    `desc` holds ``symmetry``, ``ground``, ``excited`` and ``charge_transfer`` (or None) as in
    the description; `operators` are model.json's operator rows (name, kind, side, position).
    """
    ground, excited = desc["ground"], desc["excited"]
    ct = desc.get("charge_transfer")
    # crystal fields of a d or an f shell, and the fields B and H_ex: the excited side takes
    # the ground value unless it has its own
    fields = set(parameter_names(desc["symmetry"], ct is not None)) \
        | set(parameter_names(desc["symmetry"], ct is not None, 3)) | set(FIELD_NAMES)
    out: dict[str, float] = {}
    for op in operators:
        side, name, pos = op.get("side"), op["name"], op["position"]
        if side not in SIDES:
            continue
        t = SIDES[side]
        if op["kind"] == "XHAM":
            table = excited if side == "excited" else ground
            if name in fields:
                value = field_value(name, table, ground)
            elif name in ("zeta_v", "zeta_c") or SLATER.match(name):
                value = float(table.get(name, 0.0))
            else:
                continue  # an operator the description does not name
            for c in range(1, nconf[side] + 1):
                out[f"XHAM[{t},{c}][{pos}]"] = value
        elif op["kind"] == "XMIX" and ct is not None:
            value = mixing_value(name, ct, side == "excited")
            for c in range(1, nconf[side]):
                out[f"XMIX[{t},{c},{c + 1}][{pos}]"] = value
    if ct is not None:
        for key, kw in CT_KEYWORDS.items():
            out[kw] = float(ct.get(key, 0.0))
    return out


def _candidates(desc: Mapping[str, Any], operators: list[Mapping[str, Any]]) -> list[tuple[str, str]]:
    """(table, key) pairs worth probing: table is "ground", "excited" or "charge_transfer"."""
    out: list[tuple[str, str]] = []
    for side in SIDES:
        keys = list(desc[side]) + [o["name"] for o in operators
                                   if o.get("side") == side and o["kind"] == "XHAM"]
        out += [(side, k) for k in dict.fromkeys(keys)]
    ct = desc.get("charge_transfer")
    if ct is not None:
        mix = [o["name"] for o in operators if o["kind"] == "XMIX"]
        keys = list(CT_KEYWORDS) + ["V", "V_excited"] + mix + [m + "_excited" for m in mix]
        out += [("charge_transfer", k) for k in dict.fromkeys(keys) if k not in ("levels",)]
    return out


def _probe(desc: Mapping[str, Any], table: str, key: str, value: float) -> dict[str, Any]:
    d = {k: (dict(v) if isinstance(v, dict) else v) for k, v in desc.items()}
    d[table] = dict(d[table])
    d[table][key] = value
    return d


def parameter_map(desc: Mapping[str, Any], operators: Iterable[Mapping[str, Any]],
                  nconf: Mapping[str, int], effective: set[str] | None = None,
                  kappa: Mapping[str, float] | None = None) -> dict[str, dict[str, Any]]:
    """Physical name -> {"value", "targets": [{"engine", "factor", "effective"}], "effective"}.

    `effective` is the set of engine names whose operator has a non-zero block (None: all);
    `kappa` the description's Slater-integral factor per side (default 1).
    """
    operators = list(operators)
    base = engine_values(desc, operators, nconf)
    raw: dict[str, dict[str, float]] = {}
    for table, key in _candidates(desc, operators):
        lo = engine_values(_probe(desc, table, key, 0.0), operators, nconf)
        hi = engine_values(_probe(desc, table, key, 1.0), operators, nconf)
        moved = {e: hi[e] - lo[e] for e in hi if hi[e] != lo[e]}
        if table in SIDES:
            prefix = f"XHAM[{SIDES[table]},", f"XMIX[{SIDES[table]},"
            moved = {e: f for e, f in moved.items() if e.startswith(prefix)}
            name = f"{table}.{key}"
        else:
            name = key
        raw[name] = moved  # empty: the name exists but drives nothing here
    # unscoped side names: both sides together when they agree
    for key in dict.fromkeys(n.split(".", 1)[1] for n in list(raw) if "." in n):
        sides = [raw.get(f"{s}.{key}") for s in SIDES]
        present = [s for s in sides if s]
        if not present:
            continue
        values = {_value(base, s) for s in present}
        if len(values) == 1 and key not in raw:
            raw[key] = {e: f for s in present for e, f in s.items()}
    # kappa: every Slater integral of a side, relative to its value now
    kappa = dict(kappa or {})
    for side, t in SIDES.items():
        k0 = float(kappa.get(side, 1.0))
        slater = {e: base[e] / k0 for e in base if e.startswith(f"XHAM[{t},")
                  and any(SLATER.match(o["name"]) and o.get("side") == side and
                          e.endswith(f"][{o['position']}]") for o in operators)}
        slater = {e: f for e, f in slater.items() if f != 0.0}
        if slater:
            raw[f"kappa.{side}"] = slater
    kg, ke = raw.get("kappa.ground"), raw.get("kappa.excited")
    if kg or ke:
        if not (kg and ke) or kappa.get("ground", 1.0) == kappa.get("excited", 1.0):
            raw["kappa"] = {**(kg or {}), **(ke or {})}
    out = {}
    for name, moved in raw.items():
        if name.startswith("kappa"):
            side = name.split(".")[1] if "." in name else ("ground" if kg else "excited")
            value = float(kappa.get(side, 1.0))
        else:
            value = _value(base, moved)
        targets = [{"engine": e, "factor": f,
                    "effective": effective is None or e in effective} for e, f in moved.items()]
        out[name] = {"value": value, "targets": targets,
                     "effective": any(t["effective"] for t in targets)}
    return out


def _value(base: Mapping[str, float], moved: Mapping[str, float]) -> float:
    """The physical value now: the first target's engine value over its factor."""
    if not moved:
        return 0.0
    e, f = next(iter(moved.items()))
    return base[e] / f
