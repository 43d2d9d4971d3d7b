"""The model description: an ion's shells, electrons, parameters and options.

Read from TOML or JSON (see docs/ion-models.md); every energy is in eV.
"""
from __future__ import annotations

import json
import math
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .determinants import Orbitals
from .fields import FIELD_NAMES, has_field
from .pointmodel import POINT_GROUPS, check_parameters, mixing_names
from .symmetry import Configuration

LETTERS = "spdf"


def parse_shell(text: str) -> tuple[int, int]:
    """Return (n, l) of a shell written like "3d" or "2p"."""
    t = text.strip().lower()
    if len(t) < 2 or not t[:-1].isdigit() or t[-1] not in LETTERS:
        raise ValueError(f"shell {text!r}: write it as principal number and letter, e.g. 3d")
    return int(t[:-1]), LETTERS.index(t[-1])


GROUND_KEYS = ("F2vv", "F4vv", "F6vv", "zeta_v")
CT_KEYS = ("Delta", "U", "Q", "V", "V_excited", "levels", "width", "configurations")
#: Entries of [charge_transfer] that are not energies
CT_COUNTS = ("levels", "configurations")

#: The bases a model can be built in (see IonModel.basis)
BASES = ("auto", "adapted", "determinants", "paired")

#: ``basis = "auto"`` builds an Oh or D4h charge-transfer model paired (in determinants, one
#: class of Jz of each time-reversed pair) when its core-hole configurations hold more than this
#: many (3d0 to 3d6): there the adapted states' blocks are dense and large (Cr3+ 3d3 Oh: 350 MB
#: file, 45 s of build and run), the paired determinants' sparse (34 MB, 18 s; D4h: 773 MB and
#: 86 s against 36 MB and 14 s); for Fe2+ 3d6 (6120) both are quick, the paired file half.
AUTO_DETERMINANTS = 5_000


@dataclass
class IonModel:
    """A model of one ion and its absorption edge.

    Attributes
    ----------
    valence, core
        Shells such as "3d" and "2p"; the valence l is 2 or 3, the core l is 0, 1 or 2.
    electrons
        Valence electrons n of the ground configuration.
    ground, excited
        Parameters of the configurations without and with the core hole (eV): F2vv, F4vv,
        F6vv, zeta_v; in ``excited`` also zeta_c, F<k>cv and G<k>cv. Missing ones are 0.
        ``B`` (tesla) and ``H_ex`` (eV) in either make a model in a field along z
        (:mod:`morvex7.ion.fields`).
    charge_transfer
        None, or the charge-transfer parameters: Delta, U, Q, V, V_excited (default V),
        levels (N2, N3; default 1, 1), width (W; default 0), configurations (per side,
        2 or 3; default 3: with 2 the configurations with two ligand holes, 2 Delta + U
        above the ground configuration, are left out).
    window
        Ground symmetries whose lowest state lies within this many eV of the ground state get
        triads (for spectra at a temperature).
    all_ground
        Every ground symmetry gets triads, whatever its energy.
    krylov
        Lanczos steps for the spectra of large core-hole symmetries (the engine's KRYLOV
        command: a symmetry of more states than this gets that many steps); 0 keeps every
        spectrum exact; None (default) chooses 500 steps when a core-hole symmetry has more
        than 3000 states (:func:`morvex7.ion.estimate.krylov_steps`).
    symmetry
        "O3" (spherical), "Oh" (octahedral), "D4h" (tetragonal), "Td" (tetrahedral), "D3d"
        or "C3v" (trigonal; an f shell: O3, Oh, D4h); the point groups add the
        crystal-field parameters of :mod:`morvex7.ion.pointmodel`.
    title
        Free text for the command file's first line.
    edge_energy
        Photon energy (eV) of the spectrum's strongest feature, e.g. 852.7 for the Ni L3
        edge: puts spectra and fits on the photon-energy axis; None keeps E - E0.
    basis
        "adapted": states adapted to the point group's irreps (one row of each);
        "determinants": the determinants of each class of Jz, as in a field along z (the field
        operators B and H_ex are then part of the model, at 0 unless given); "paired": those
        determinants at zero field, one class of each time-reversed pair m, -m built (half
        the core-hole side and of the triads; no field operators); "auto" (default): paired
        where that costs a fraction of the adapted states' time, memory and file
        (:func:`determinants_pay`) and no field is asked for, adapted otherwise.
    ion, edge, kappa, core_hole_widths
        With ``ion = "Ni2+"`` (and ``edge``, default "L2,3"; ``kappa``, default 1) the
        description took its shells, electrons, unscaled Hartree-Fock parameters (Slater
        integrals times kappa) and edge energy from :mod:`morvex7.ion.tables`; explicit
        entries override them.
    """

    valence: str
    electrons: int
    core: str
    ground: dict[str, float] = field(default_factory=dict)
    excited: dict[str, float] = field(default_factory=dict)
    charge_transfer: dict[str, Any] | None = None
    window: float = 0.0
    all_ground: bool = False
    krylov: int | None = None
    symmetry: str = "O3"
    title: str = ""
    edge_energy: float | None = None
    rixs: dict[str, Any] | None = None
    ion: str = ""
    edge: str = ""
    kappa: float | None = None
    core_hole_widths: dict[str, float] = field(default_factory=dict)
    basis: str = "auto"

    def __post_init__(self) -> None:
        self.validate()

    @property
    def lv(self) -> int:
        return parse_shell(self.valence)[1]

    @property
    def lc(self) -> int:
        return parse_shell(self.core)[1]

    def validate(self) -> None:
        """Raise ValueError on anything the builder cannot make."""
        if self.symmetry not in ("O3",) + POINT_GROUPS:
            raise ValueError(f"symmetry {self.symmetry!r} is not available "
                             f"({', '.join(('O3',) + POINT_GROUPS)})")
        if any(ch in self.title for ch in "\r\n") or not self.title.isprintable():
            raise ValueError("title: one line of printable text (it becomes the command "
                             "file's first line)")
        if isinstance(self.electrons, bool) or not isinstance(self.electrons, int):
            raise ValueError(f"electrons = {self.electrons!r}: a whole number")
        for side, table in (("ground", self.ground), ("excited", self.excited)):
            for k, v in table.items():
                _finite(v, f"[{side}] {k}")
        if self.charge_transfer is not None:
            for k, v in self.charge_transfer.items():
                if k not in CT_COUNTS:
                    _finite(v, f"[charge_transfer] {k}")
            _levels(self.charge_transfer.get("levels", [1, 1]))
            _ct_configurations(self.charge_transfer.get("configurations", 3))
            if self.width < 0:
                raise ValueError("[charge_transfer] width must not be negative")
        _finite(self.window, "[triads] window")
        if self.krylov is not None:
            _whole(self.krylov, "[triads] krylov")
            if self.krylov < 0:
                raise ValueError(f"[triads] krylov = {self.krylov}: the number of Lanczos steps "
                                 "(0 for exact spectra) must not be negative")
        if self.edge_energy is not None:
            _finite(self.edge_energy, "edge_energy")
        nv, lv = parse_shell(self.valence)
        nc, lc = parse_shell(self.core)
        if lv not in (2, 3):
            raise ValueError("the valence shell must be a d or f shell")
        if lc not in (0, 1, 2):
            raise ValueError("the core shell must be an s, p or d shell")
        if lc != lv - 1:
            raise ValueError(f"no dipole transition {self.core} -> {self.valence}: the core "
                             f"shell of a {LETTERS[lv]} shell is a {LETTERS[lv - 1]} shell")
        full = 2 * (2 * lv + 1)
        if not 0 <= self.electrons < full:
            raise ValueError(f"{self.valence} holds 0 to {full - 1} electrons here "
                             "(the edge needs a valence hole)")
        allowed_g = set(GROUND_KEYS[:3] if lv == 3 else GROUND_KEYS[:2]) | {"zeta_v"} \
            | set(FIELD_NAMES)
        ligand = self.charge_transfer is not None
        check_parameters(self.symmetry, self.ground, allowed_g, "ground", ligand, lv)
        allowed_e = allowed_g | {"zeta_c"} | {f"F{k}cv" for k in self.fk_cv()} \
            | {f"G{k}cv" for k in self.gk_cv()}
        check_parameters(self.symmetry, self.excited, allowed_e, "excited", ligand, lv)
        if self.charge_transfer is not None:
            names = mixing_names(self.symmetry)
            for k in self.charge_transfer:
                if k not in CT_KEYS and k not in names + [n + "_excited" for n in names]:
                    raise ValueError(f"unknown charge-transfer parameter {k!r}")
            per_set = [n for n in names if n in self.charge_transfer]
            if "V_excited" in self.charge_transfer and per_set:
                raise ValueError(
                    f"V_excited next to {', '.join(per_set)}: say per orbital set which "
                    f"core-hole hybridisation is meant ({', '.join(n + '_excited' for n in names)})")
            n2, n3 = self.levels
            if not (1 <= n2 <= 100 and 1 <= n3 <= 100):
                raise ValueError("levels: N2 and N3 must be 1..100")
            if self.width == 0.0 and (n2 > 1 or n3 > 1):
                raise ValueError("a band of more than one level needs a width")
        if self.symmetry in POINT_GROUPS and lv != 2:
            if self.symmetry not in ("Oh", "D4h"):
                raise ValueError(f"{self.symmetry} crystal fields are made for d shells only "
                                 "(an f shell: Oh or D4h)")
            if self.charge_transfer is not None:
                name, size = max(((c.name, _determinants(c)) for side in self.configurations()
                                  for c in side), key=lambda x: x[1])
                raise ValueError(
                    f"an f shell in a crystal field with charge transfer is not built yet: the "
                    f"hybridisation of the f orbitals per orbital set is not made, and the "
                    f"largest configuration, {name}, has {size} determinants, more than the "
                    f"point-group adaptation handles in reasonable time today; use symmetry = "
                    f"\"O3\" with charge transfer, or {self.symmetry} without it")
        if self.window < 0:
            raise ValueError("window must not be negative")
        if self.basis not in BASES:
            raise ValueError(f"basis = {self.basis!r}: one of {', '.join(map(repr, BASES))}")
        if self.basis in ("determinants", "paired") and (
                self.symmetry not in POINT_GROUPS + ("O3",) or self.rixs is not None):
            raise ValueError(f"basis = \"{self.basis}\" is made for absorption models "
                             "(without [rixs])")
        if self.basis == "paired" and has_field(self.ground, self.excited):
            raise ValueError("basis = \"paired\" is made for zero field: a field (B, H_ex) "
                             "tells the classes m and -m apart; use basis = \"determinants\"")
        if self.rixs is not None:
            from .rixs import rixs_settings
            rixs_settings(self.rixs)

    def fk_vv(self) -> list[int]:
        return [2, 4, 6][: self.lv]

    def fk_cv(self) -> list[int]:
        return [k for k in range(2, 2 * min(self.lc, self.lv) + 1, 2)]

    def gk_cv(self) -> list[int]:
        return list(range(abs(self.lc - self.lv), self.lc + self.lv + 1, 2))

    @property
    def field(self) -> bool:
        """Whether the model is built in the field subgroup's determinants: a field asked
        for, or that basis (chosen, paired or ``auto``)."""
        if has_field(self.ground, self.excited):
            return True
        return self.basis in ("determinants", "paired") or (
            self.basis == "auto" and determinants_pay(self))

    @property
    def paired(self) -> bool:
        """Whether the model is built in determinants at zero field with one class of each
        time-reversed pair (no field operators): ``basis = "paired"``, or ``auto`` where
        determinants pay and no field is asked for."""
        if has_field(self.ground, self.excited):
            return False
        return self.basis == "paired" or (self.basis == "auto" and determinants_pay(self))

    @property
    def levels(self) -> tuple[int, int]:
        lv = (self.charge_transfer or {}).get("levels", [1, 1])
        return int(lv[0]), int(lv[1])

    @property
    def ct_configurations(self) -> int:
        """Configurations per side: 1 without charge transfer, else [charge_transfer]
        configurations (2 or 3, default 3)."""
        if self.charge_transfer is None:
            return 1
        return int(self.charge_transfer.get("configurations", 3))

    @property
    def width(self) -> float:
        return float((self.charge_transfer or {}).get("width", 0.0))

    def ct(self, key: str) -> float:
        """A charge-transfer parameter (0 when absent; V_excited defaults to V)."""
        d = self.charge_transfer or {}
        if key == "V_excited":
            return float(d.get("V_excited", d.get("V", 0.0)))
        return float(d.get(key, 0.0))

    def orbitals(self) -> Orbitals:
        shells = [("core", self.lc), ("valence", self.lv)]
        if self.charge_transfer is not None:
            shells.append(("ligand", self.lv))
        return Orbitals.of(shells)

    def configurations(self) -> tuple[list[Configuration], list[Configuration]]:
        """Ground and excited configurations, in the engine's order (up to
        :attr:`ct_configurations` per side: fewer when the valence shell fills up)."""
        orb = self.orbitals()
        full_v = 2 * (2 * self.lv + 1)
        full_c = 2 * (2 * self.lc + 1)
        nmax = self.ct_configurations
        ground, excited = [], []
        for k in range(nmax):
            n = self.electrons + k
            if n <= full_v:
                ground.append(self._config(orb, full_c, n, k, full_v))
            if n + 1 <= full_v:
                excited.append(self._config(orb, full_c - 1, n + 1, k, full_v))
        return ground, excited

    def _config(self, orb: Orbitals, nc: int, nv: int, holes: int, full: int) -> Configuration:
        name = f"{self.core}{nc} {self.valence}{nv}"
        occ = [nc, nv]
        if self.charge_transfer is not None:
            occ.append(full - holes)
            if holes:
                name += " L" + ("" if holes == 1 else str(holes))
        return Configuration(name, orb, tuple(occ))


def determinants_pay(model: IonModel) -> bool:
    """Whether ``basis = "auto"`` builds ``model`` in determinants (paired at zero field): an
    Oh or D4h model of a d shell with charge transfer (an absorption model) whose core-hole
    configurations hold more than AUTO_DETERMINANTS determinants. Below that both bases are
    cheap and the adapted states are kept. With band levels (N2, N3 > 1) an Oh model stays in
    its irreps: there the engine's dense diagonalisation of the ground symmetries, whose
    dimension grows as N2 N3, dominates, and one row of an Oh irrep is smaller than a class of
    Jz (Ti3+ 3d1 with N2 = N3 = 3: about 66 s against 6 min, estimated)."""
    if model.symmetry not in ("Oh", "D4h") or model.charge_transfer is None \
            or model.rixs is not None or model.lv != 2:
        return False
    if model.symmetry == "Oh" and model.levels != (1, 1):
        return False
    return sum(_determinants(c) for c in model.configurations()[1]) > AUTO_DETERMINANTS


def _determinants(config: Configuration) -> int:
    """Number of Slater determinants of a configuration."""
    return math.prod(math.comb(sh.size, n) for sh, n in zip(config.orbitals.shells, config.occupations))


def _finite(value: Any, what: str) -> float:
    """A real number of the description: int or float, finite (no bool, text or list)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{what} = {value!r}: a number is needed")
    if not math.isfinite(value):
        raise ValueError(f"{what} = {value!r}: a finite number is needed")
    return float(value)


def _whole(value: Any, what: str) -> int:
    """A whole number of the description (an integral float from JSON is accepted)."""
    if isinstance(value, float) and math.isfinite(value) and value == int(value):
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ValueError(f"{what} = {value!r}: a whole number is needed")
    return value


def _levels(value: Any) -> tuple[int, int]:
    if not isinstance(value, (list, tuple)) or len(value) != 2:
        raise ValueError(f"[charge_transfer] levels = {value!r}: give the two band levels "
                         "[N2, N3], e.g. levels = [4, 3]")
    n2, n3 = (_whole(v, "[charge_transfer] levels") for v in value)
    if not (1 <= n2 <= 100 and 1 <= n3 <= 100):
        raise ValueError(f"[charge_transfer] levels = {list(value)}: N2 and N3 must be 1..100")
    return n2, n3


def _ct_configurations(value: Any) -> int:
    what = "[charge_transfer] configurations"
    n = _whole(value, what)
    if n not in (2, 3):
        raise ValueError(f"{what} = {value!r}: 2 (the ground configuration and one ligand "
                         "hole) or 3 (also two ligand holes, the default)")
    return n


def _table(data: dict[str, Any], key: str) -> dict[str, Any]:
    value = data.get(key, {})
    if not isinstance(value, dict):
        raise ValueError(f"{key} = {value!r}: a table ([{key}] with name = value lines) is "
                         "needed")
    return value


def _text(data: dict[str, Any], key: str, default: str | None = None) -> str:
    value = data.get(key, default)
    if not isinstance(value, str):
        raise ValueError(f"{key} = {value!r}: text in quotes is needed")
    return value


def load_description(path: str | Path) -> IonModel:
    """Read a model description from a .toml or .json file.

    Raises ValueError (naming the file) for text that is not TOML or JSON, or a description
    the builder cannot make."""
    p = Path(path)
    text = p.read_text()
    try:
        data = json.loads(text) if p.suffix.lower() == ".json" else tomllib.loads(text)
    except ValueError as exc:  # JSONDecodeError, TOMLDecodeError
        raise ValueError(f"{p}: not a valid {'JSON' if p.suffix.lower() == '.json' else 'TOML'}"
                         f" file: {exc}") from None
    if not isinstance(data, dict):
        raise ValueError(f"{p}: the description is a table of entries, not {type(data).__name__}")
    return model_from_dict(data)


def model_from_dict(data: dict[str, Any]) -> IonModel:
    """Make an :class:`IonModel` from the parsed description.

    Every entry must have its type: nothing is coerced (``levels = "12"``, ``electrons = 8.7``
    or ``all_ground = "no"`` are refused, not read as something else)."""
    known = {"valence", "electrons", "core", "ground", "excited", "charge_transfer",
             "triads", "symmetry", "title", "edge_energy", "rixs", "ion", "edge", "kappa",
             "basis"}
    for k in data:
        if k not in known:
            raise ValueError(f"unknown entry {k!r} in the model description")
    atoms: dict[str, Any] = {}
    if "ion" in data:
        from .tables import atomic_parameters

        atoms = atomic_parameters(_text(data, "ion"), _text(data, "edge", "L2,3"),
                                  _finite(data.get("kappa", 1.0), "kappa"))
    elif "edge" in data or "kappa" in data:
        raise ValueError("edge and kappa go with ion = \"...\" (the atomic table); without it "
                         "give the parameters explicitly")
    for k in ("valence", "electrons", "core"):
        if k not in data and k not in atoms:
            raise ValueError(f"the model description needs {k!r} (or ion = \"Ni2+\")")
    if "excited" not in data and not atoms.get("excited"):
        raise ValueError("the model description needs an [excited] table: the parameters "
                         "of the configurations with the core hole (at least zeta_c, the "
                         "core spin-orbit coupling, and the core-valence integrals)")
    triads = _table(data, "triads")
    for k in triads:
        if k not in ("window", "all_ground", "krylov"):
            raise ValueError(f"unknown entry {k!r} in [triads]")
    all_ground = triads.get("all_ground", False)
    if not isinstance(all_ground, bool):
        raise ValueError(f"[triads] all_ground = {all_ground!r}: true or false (no quotes)")
    ct = None
    if "charge_transfer" in data:
        ct = dict(_table(data, "charge_transfer"))
        if "levels" in ct:
            ct["levels"] = list(_levels(ct["levels"]))
        if "configurations" in ct:
            ct["configurations"] = _ct_configurations(ct["configurations"])
        for k, v in ct.items():
            if k not in CT_COUNTS:
                ct[k] = _finite(v, f"[charge_transfer] {k}")

    def value(key: str) -> Any:
        return data[key] if key in data else atoms[key]

    edge_energy = data.get("edge_energy", atoms.get("edge_energy"))
    return IonModel(
        valence=_text({"valence": value("valence")}, "valence"),
        electrons=_whole(value("electrons"), "electrons"),
        core=_text({"core": value("core")}, "core"),
        ground={**atoms.get("ground", {}),
                **{str(k): _finite(v, f"[ground] {k}")
                   for k, v in _table(data, "ground").items()}},
        excited={**atoms.get("excited", {}),
                 **{str(k): _finite(v, f"[excited] {k}")
                    for k, v in _table(data, "excited").items()}},
        charge_transfer=ct,
        window=_finite(triads.get("window", 0.0), "[triads] window"), all_ground=all_ground,
        krylov=_whole(triads["krylov"], "[triads] krylov") if "krylov" in triads else None,
        symmetry=_text(data, "symmetry", "O3"), title=_text(data, "title", ""),
        edge_energy=None if edge_energy is None else _finite(edge_energy, "edge_energy"),
        ion=_text(data, "ion", ""), edge=_text(data, "edge", "L2,3" if atoms else ""),
        kappa=_finite(data["kappa"], "kappa") if "kappa" in data else (1.0 if atoms else None),
        core_hole_widths=dict(atoms.get("core_hole_widths", {})),
        rixs=dict(_table(data, "rixs")) if "rixs" in data else None,
        basis=_text(data, "basis", "auto"))
