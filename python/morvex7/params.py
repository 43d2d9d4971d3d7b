"""Physical parameter names of a built model: list them, and set them in a run's command file.

A model made by ``morvex7-ion`` carries in its ``model.json`` the map from every physical
parameter of its description to the engine numbers (XHAM/XMIX factors per configuration, the
keywords DEL, UVV, UCV, W its DEF lines use) that the parameter drives. With it one name moves
all of them together: ``10Dq`` sets the crystal field of every configuration of both sides.

Names (see :mod:`morvex7.ion.physical` for how the map is made):

``10Dq``, ``Dq``, ``Ds``, ``Dt``, ``F2vv``, ``zeta_v``, ``zeta_c``, ``F2cv``, ``G1cv``, …
    an entry of the description's [ground]/[excited] tables, on both sides at once (listed
    only when both sides hold the same value, e.g. ``10Dq``; otherwise name a side);
``ground.X`` / ``excited.X``
    the same entry on one side only;
``Delta``, ``U``, ``Q``, ``V``, ``V_excited``, ``V_eg``, ``V_t2g``, ``V_eg_excited``, ``width``
    charge-transfer entries (``V_eg`` moves the core-hole side too unless the description
    gives ``V_eg_excited`` or ``V_excited``);
``kappa``, ``kappa.ground``, ``kappa.excited``
    a factor on every Slater integral of both sides / one side (1 = the built values).

Engine names (``DEL``, ``XHAM[2,1][8]``, … of :mod:`morvex7.commandfile`) keep working, on any
model. When several names in one request reach the same engine number, the more specific one
wins (``{"10Dq": 1.2, "excited.10Dq": 1.0}``, ``{"kappa": 0.8, "excited.F2cv": 6.0}``); two
names that overlap otherwise are refused. A name the model lacks, or one whose engine numbers
change nothing in this model (``width`` of a one-level band, ``excited.F2vv`` of a 2p5 3d9
configuration), is refused with a :class:`~morvex7.commandfile.ParameterError` before anything
runs.

API
---
:class:`ParameterMap` ``.load(model_dir)``
    the map of a model directory (empty for a model without model.json);
``.parameters``
    name -> :class:`Parameter` (value now, targets, effective);
``.values()``
    name -> value now, for the names that change something;
``.resolve(params)``
    ``{"10Dq": 1.2, "DEL": 3}`` -> engine name -> value, checked;
``.apply(text, params)``
    the command-file text with `params` set.

:func:`physical_parameters` and :func:`resolve` do the same from a model directory.

Example
-------
>>> from morvex7.params import ParameterMap
>>> pm = ParameterMap.load("examples/ni2_oh_charge_transfer")      # doctest: +SKIP
>>> pm.values()["10Dq"], pm.resolve({"10Dq": 1.2})["XHAM[2,1][8]"]  # doctest: +SKIP
(1.0, 1.2)
"""
from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from morvex7.commandfile import CommandFile, ParameterError, parse_name

MODEL_JSON = "model.json"


@dataclass(frozen=True)
class Target:
    """One engine number a physical parameter drives: engine value = factor * physical value."""

    engine: str
    factor: float
    effective: bool = True


@dataclass
class Parameter:
    """A physical parameter of a model: its value now and the engine numbers it drives."""

    name: str
    value: float
    targets: list[Target]

    @property
    def effective(self) -> bool:
        return any(t.effective for t in self.targets)

    def engine_values(self, value: float) -> dict[str, float]:
        return {t.engine: t.factor * float(value) for t in self.targets}


def _key(engine_name: str) -> tuple:
    t = parse_name(engine_name)
    return (t.block, t.keyword, t.auger, t.index, t.factor)


@dataclass
class ParameterMap:
    """The physical parameters of one built model (see the module text)."""

    parameters: dict[str, Parameter] = field(default_factory=dict)
    source: str = ""
    #: built paired at zero field (model.json "paired"): no field operators to set
    paired: bool = False

    @classmethod
    def load(cls, model_dir: str | Path) -> ParameterMap:
        """The map in ``model_dir/model.json``; empty when there is none (engine names only)."""
        path = Path(model_dir) / MODEL_JSON
        if not path.is_file():
            return cls({}, str(path))
        try:
            data = json.loads(path.read_text())
        except (OSError, ValueError) as exc:
            raise ParameterError(f"{path}: cannot read the model's description: {exc}") from None
        return cls.from_model_json(data, str(path))

    @classmethod
    def from_model_json(cls, data: Mapping[str, Any], source: str = "") -> ParameterMap:
        raw = data.get("physical")
        if raw is None:
            raw = _derive(data)
        params = {name: Parameter(name, float(p["value"]),
                                  [Target(t["engine"], float(t["factor"]),
                                          bool(t.get("effective", True))) for t in p["targets"]])
                  for name, p in raw.items()}
        return cls(params, source, bool(data.get("paired", False)))

    def names(self) -> list[str]:
        """Names that change something in this model."""
        return [n for n, p in self.parameters.items() if p.effective]

    def values(self) -> dict[str, float]:
        """Name -> value now, for the names that change something."""
        return {n: p.value for n, p in self.parameters.items() if p.effective}

    def lookup(self, name: str) -> Parameter | None:
        """The physical parameter called `name` (exact, else case-insensitive), or None."""
        if name in self.parameters:
            return self.parameters[name]
        folded = [p for n, p in self.parameters.items() if n.lower() == name.strip().lower()]
        return folded[0] if len(folded) == 1 else None

    def check(self, name: str) -> Parameter | None:
        """The physical parameter `name`, None for an engine name; ParameterError otherwise."""
        p = self.lookup(name)
        if p is not None:
            if not p.targets:
                raise ParameterError(f"{name} changes nothing in this model: it drives no "
                                     "engine number (other entries of the description take "
                                     "its place, or the model lacks what it acts on)")
            if not p.effective:
                raise ParameterError(
                    f"{name} changes nothing in this model (it drives "
                    f"{', '.join(t.engine for t in p.targets)}, whose operators have no effect "
                    "here)")
            return p
        try:
            parse_name(name)
            return None
        except ParameterError:
            pass
        sides = {s: self.parameters[f"{s}.{name}"] for s in ("ground", "excited")
                 if f"{s}.{name}" in self.parameters}
        if len(sides) == 2:
            raise ParameterError(
                f"{name} differs between the sides (ground {sides['ground'].value:g}, excited "
                f"{sides['excited'].value:g}): name ground.{name} or excited.{name}")
        if self.paired and name in ("B", "H_ex"):
            raise ParameterError(
                f"{name}: this model was built paired at zero field (one class of Jz of each "
                "time-reversed pair), without the field operators; rebuild it with "
                "morvex7-ion --basis determinants to set a field in a run")
        known = ", ".join(self.names()) or "none (the model has no model.json)"
        raise ParameterError(f"unknown parameter {name!r}: this model's physical parameters are "
                             f"{known}; engine names such as DEL or XHAM[2,1][3] also work")

    def resolve(self, params: Mapping[str, float]) -> dict[str, float]:
        """Engine name -> value of a request mixing physical and engine names (checked)."""
        claims: dict[tuple, list[tuple[str, frozenset, float, str]]] = {}
        for name, value in params.items():
            p = self.check(name)
            if p is None:
                entries = {name: float(value)}
            else:
                entries = p.engine_values(float(value))
            keys = frozenset(_key(e) for e in entries)
            for e, v in entries.items():
                claims.setdefault(_key(e), []).append((name, keys, v, e))
        out: dict[str, float] = {}
        for key, cl in claims.items():
            cl.sort(key=lambda c: len(c[1]))
            name, keys, value, engine = cl[0]
            for other, okeys, ovalue, _ in cl[1:]:
                if not keys < okeys and value != ovalue:
                    raise ParameterError(f"{name} and {other} both set {engine}: give one")
            out[engine] = value
        return out

    def apply(self, text: str, params: Mapping[str, float]) -> str:
        """`text` (a command file) with `params` set."""
        cf = CommandFile(text)
        if params:
            cf.update(self.resolve(params))
        return cf.text


def physical_parameters(model_dir: str | Path) -> dict[str, float]:
    """Physical name -> value now of a built model (the names that change something)."""
    return ParameterMap.load(model_dir).values()


def resolve(model_dir: str | Path, params: Mapping[str, float]) -> dict[str, float]:
    """Engine name -> value for a request of physical and engine names on `model_dir`."""
    return ParameterMap.load(model_dir).resolve(params)


def _derive(data: Mapping[str, Any]) -> dict[str, dict[str, Any]]:
    """The map of a model.json written before the builder stored it (no effect flags)."""
    from morvex7.ion.physical import parameter_map

    p = data.get("parameters", {})
    desc = {"symmetry": data.get("symmetry", "O3"), "ground": p.get("ground", {}),
            "excited": p.get("excited", {}),
            "charge_transfer": p.get("charge_transfer") or None}
    conf = data.get("configurations", {})
    if desc["charge_transfer"] is None and len(conf.get("ground", [])) > 1:
        desc["charge_transfer"] = {}
    nconf = {s: len(conf.get(s, [])) for s in ("ground", "excited")}
    return parameter_map(desc, data.get("operators", []), nconf)


def main(argv: list[str] | None = None) -> int:
    """``python3 -m morvex7.params MODEL``: the physical parameters of a built model."""
    import argparse
    import sys

    p = argparse.ArgumentParser(prog="python3 -m morvex7.params",
                                description="List a built model's physical parameters, their "
                                "values and the engine numbers each one drives.",
                                epilog="example:\n  python3 -m morvex7.params "
                                "examples/ni2_oh_charge_transfer",
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", type=Path, help="model directory made by morvex7-ion")
    p.add_argument("--all", action="store_true", help="also the names that change nothing")
    args = p.parse_args(argv)
    try:
        pm = ParameterMap.load(args.model)
    except ParameterError as exc:
        print(f"morvex7.params: {exc}", file=sys.stderr)
        return 2
    if not pm.parameters:
        print(f"morvex7.params: {args.model} has no model.json: only engine names apply",
              file=sys.stderr)
        return 2
    lines = []
    for name, par in pm.parameters.items():
        if par.effective or args.all:
            drives = ", ".join(t.engine + ("" if t.factor == 1.0 else f"*{t.factor:g}")
                               + ("" if t.effective else " (no effect)") for t in par.targets)
            lines.append(f"{name:16s} {par.value:12.6g}  "
                         f"{'' if par.effective else '[no effect] '}-> {drives}")
    try:
        print("\n".join(lines))
        sys.stdout.flush()
    except BrokenPipeError:  # e.g. piped into head
        import os

        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
