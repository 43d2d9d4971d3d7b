"""Build a model directory: FTN14, FTN15, fort.50 and model.json from an :class:`IonModel`."""
from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from morvex7.factored import FactoredMatrix
from morvex7.store import COEFFICIENT_FILE, STORE_FILE, stub_text, write_store

from . import atomic
from .blocks import (Progress, Side, compact, fill_side, make_sides, release_states, share_blocks,
                     side_hamiltonian)
# estimate.chooses_binary: "auto" writes the binary store above its TEXT_STORE_LIMIT (one rule
# with the size estimate)
from .estimate import (BYTES_PER_COUPLED_ELEMENT, ENGINE_MAX_CELLS, band_dimension,
                       chooses_binary, engine_cells, krylov_steps)
from .model import IonModel
from .fieldsymmetry import FieldSymmetry
from .o3 import O3Symmetry
from .physical import parameter_map
from .pointsymmetry import D4hSymmetry, OhSymmetry
from .rixs import FullSymmetry, rixs_command_block, rixs_json
from .spool import BlockSpool, SpooledBlock, give_back_memory
from .symmetry import Symmetry
from .tetrahedral import TdSymmetry
from .trigonal import TrigonalSymmetry
from .writer import Triad, coefficient_sections, ftn14_parts, write_fort50

#: The engine's work array when none is asked for (cells).
DEFAULT_CELLS = 10_000_000

#: Forms of the coefficient blocks a model directory may hold (see write_model).
STORE_FORMS = ("auto", "text", "binary")

#: Initial-state window of the engine when only the lowest state is wanted (eV).
MIN_ERANGE = 1e-4
#: Ground states up to this far above the lowest (eV) are listed in model.json's "levels",
#: so that spectra at a temperature can tell what the window leaves out.
LEVEL_SPAN = 1.0


@dataclass
class GroundSymmetry:
    """A ground symmetry: its label, dimension and the energies of its lowest states (eV)."""

    label: str
    dim: int
    energies: list[float]


@dataclass
class BuiltModel:
    """Everything the builder made, before and after writing."""

    model: IonModel
    symmetry: Symmetry
    ground: Side
    excited: Side
    ground_symmetries: list[GroundSymmetry]
    triads: list[Triad]
    transitions: dict[tuple[str, str, str, int], np.ndarray]
    seconds: float = 0.0
    #: every ground symmetry's states within LEVEL_SPAN of the ground state, triads or not
    levels: list[GroundSymmetry] = field(default_factory=list)


def make_symmetry(name: str, field: bool = False, paired: bool = False) -> Symmetry:
    """The symmetry object of a model's symmetry name (with ``field``: the subgroup that keeps
    a field along z; ``paired`` at zero field, one class of each time-reversed pair)."""
    if field:
        return FieldSymmetry(name, paired)
    if name == "Td":
        return TdSymmetry()
    if name in ("D3d", "C3v"):
        return TrigonalSymmetry(name)
    if name == "O3":
        return O3Symmetry()
    if name == "Oh":
        return OhSymmetry()
    if name == "D4h":
        return D4hSymmetry()
    raise ValueError(f"unknown symmetry {name!r}")


#: Largest Hamiltonian the ground-state search diagonalises densely; larger ones are searched
#: for their lowest states only (a dense diagonalisation costs seconds from a few thousand rows
#: on, and only the states within the window and LEVEL_SPAN are ever used).
DENSE_GROUND = 800


def lowest_energies(h, window: float) -> np.ndarray:
    """Sorted eigenvalues of the symmetric ``h`` (dense or sparse): all of them when it is
    small, otherwise at least every one within ``window`` of the lowest.

    The partial search asks the Lanczos solver for k of the lowest states, to machine
    precision, and doubles k until the highest of them lies beyond the window (so none inside
    it is left out); when k would reach half the dimension, a dense diagonalisation is
    cheaper."""
    dim = h.shape[0]
    if dim <= DENSE_GROUND:
        return np.linalg.eigvalsh(h.toarray() if sp.issparse(h) else h)
    m = sp.csr_matrix(h)
    # a fixed pseudo-random start: the same model gives the same numbers on every run
    start = np.random.default_rng(1).standard_normal(dim)
    k = 16
    while 2 * k < dim:
        e = np.sort(spla.eigsh(m, k=k, which="SA", tol=0.0, ncv=min(dim - 1, 2 * k + 24),
                               v0=start, return_eigenvectors=False))
        if e[-1] - e[0] > window:
            return e
        k *= 2
    return np.linalg.eigvalsh(m.toarray())


def model_symmetry(model: IonModel) -> Symmetry:
    """The symmetry a model is built in: its point group, or none for a RIXS model (every
    determinant a state of one symmetry, see morvex7.ion.rixs)."""
    if model.rixs is not None:
        return FullSymmetry(model.symmetry)
    return make_symmetry(model.symmetry, model.field, model.paired)


def build(model: IonModel, symmetry: Symmetry | None = None,
          progress: Progress | None = None, spool: BlockSpool | None = None) -> BuiltModel:
    """Compute every block of ``model`` and choose its triads.

    The ground symmetries are found by diagonalising the ground configuration interaction
    of every symmetry (with the engine's band levels); those within ``model.window`` of the
    lowest (or all, with ``model.all_ground``) get triads to every excited symmetry the dipole
    operator reaches with a non-zero block.

    With a ``spool`` every block is written to it as soon as nothing here needs it any more
    (the ground side's once the ground states are found, the excited side's and the
    transitions as they are made) and a :class:`SpooledBlock` is kept in its place: the
    built model then holds no block in memory, only what :func:`write_model` needs to write
    them. A RIXS model keeps its blocks (its command file needs the excited side's levels).
    """
    t0 = time.perf_counter()
    say = progress or (lambda _: None)
    sym = symmetry or model_symmetry(model)
    if model.rixs is not None:
        spool = None
    ground, excited = make_sides(model)
    glabels: list[str] = []
    for conf in ground.configs:
        for lab in sym.multiplicities(conf):
            if lab not in glabels:
                glabels.append(lab)
    # a paired model's lower classes share their partners' blocks and levels
    shared = [lab for lab in glabels if sym.stored(lab) != lab]
    fill_side(ground, sym, [lab for lab in glabels if lab not in shared], say)
    share_blocks(ground, sym, shared)
    n2, n3 = model.levels
    spectra = {}
    for lab in glabels:
        if lab in shared:
            continue
        say(f"ground state search: {lab}")
        dim = sum(ground.mult(c, lab) for c in range(len(ground.configs))) * n2 * n3
        h = side_hamiltonian(ground, lab, n2, n3, model.width, sparse=dim > DENSE_GROUND)
        # every state the window and model.json's levels can list (LEVEL_SPAN from this
        # symmetry's lowest covers LEVEL_SPAN from the ground state)
        e = lowest_energies(h, max(model.window, MIN_ERANGE, LEVEL_SPAN))
        if len(e):
            spectra[lab] = e
    spectra.update({lab: spectra[sym.stored(lab)] for lab in shared
                    if sym.stored(lab) in spectra})
    spectra = {lab: spectra[lab] for lab in glabels if lab in spectra}
    e0 = min(e[0] for e in spectra.values())
    chosen = [lab for lab in glabels if lab in spectra
              and (model.all_ground or spectra[lab][0] - e0 <= model.window + 1e-9)]
    chosen.sort(key=lambda lab: spectra[lab][0])
    if spool is not None:
        spool_side(ground, spool)
        give_back_memory()
    window = max(model.window, MIN_ERANGE)
    gsyms = [GroundSymmetry(lab, ground.dims[lab],
                            [float(x) for x in spectra[lab] if x - spectra[lab][0] <= window])
             for lab in chosen]

    present: set[str] = set()
    for conf in excited.configs:
        present |= set(sym.multiplicities(conf))
    elabels: list[str] = []
    for g in chosen:
        for op in sym.transition_labels():
            for e in sym.reached(g, op):
                if e in present and e not in elabels and sym.keeps(g, op, e):
                    elabels.append(e)
    # the excited blocks are only written out (a RIXS model diagonalises them: kept exact)
    made = list(dict.fromkeys(sym.stored(lab) for lab in elabels))
    fill_side(excited, sym, made, say, exact=model.rixs is not None,
              hold=None if spool is None else spool.put)
    share_blocks(excited, sym, [lab for lab in elabels if lab not in made])
    if spool is not None:
        give_back_memory()

    comps = {q: atomic.dipole(model.orbitals().shell("valence"), model.orbitals().shell("core"), q)
             for q in (-1, 0, 1)}
    transitions: dict[tuple[str, str, str, int], np.ndarray] = {}
    triads: list[Triad] = []
    npairs = min(len(ground.configs), len(excited.configs))
    for g in chosen:
        for op in sym.transition_labels():
            for e in sym.reached(g, op):
                if e not in elabels or not sym.keeps(g, op, e):
                    continue
                say(f"transition {g} {op} {e}")
                blocks = [sym.transition_block(ground.irreps[c][g], comps, excited.irreps[c][e], op)
                          for c in range(npairs)]
                if not any(_above(b, 1e-9) for b in blocks):
                    continue
                for c, b in enumerate(blocks):
                    # held as written (sparse, without noise) unless a RIXS model uses them;
                    # the spool drops the noise itself (the writer's test), with no copy
                    if spool is not None:
                        transitions[(g, op, e, c)] = spool.put(b, None)
                    else:
                        transitions[(g, op, e, c)] = b if model.rixs is not None \
                            else compact(b, 1.0)
                blocks = b = None  # nothing of the triad held while the next is made
                triads.append(Triad(g, op, e))
    release_states(i for side in (ground, excited) for irr in side.irreps for i in irr.values())
    sym.release(everything=True)
    if spool is not None:
        give_back_memory()
    levels = [GroundSymmetry(lab, ground.dims[lab],
                             [float(x) for x in e if x - e0 <= LEVEL_SPAN])
              for lab, e in spectra.items() if e[0] - e0 <= LEVEL_SPAN]
    return BuiltModel(model, sym, ground, excited, gsyms, triads, transitions,
                      time.perf_counter() - t0, levels)


def spool_side(side: Side, spool: BlockSpool) -> None:
    """Write every block of ``side`` to ``spool`` (at the scale the writer stores it at) and
    keep what stands for it in its place."""
    for c, blocks in enumerate(side.ham + side.mix):
        for lab, blks in blocks.items():
            if lab not in side.alias:  # the same list as its partner's
                blks[:] = [spool.put(b, np.sqrt(side.dims[lab])) for b in blks]


def triad_dimensions(built: BuiltModel) -> list[tuple[int, int]]:
    """(ground, excited) dimensions of the engine's Hamiltonians of every triad."""
    n2, n3 = built.model.levels

    def dim(side: Side, lab: str) -> int:
        return band_dimension([side.mult(c, lab) for c in range(len(side.configs))], n2, n3)

    return [(dim(built.ground, t.ground), dim(built.excited, t.excited)) for t in built.triads]


def model_krylov(built: BuiltModel) -> int:
    """Lanczos steps of the built model's KRYLOV command (0: exact spectra)."""
    return krylov_steps(built.model, (e for _, e in triad_dimensions(built)))


def work_array(built: BuiltModel, ftn14_bytes: int) -> int:
    """Cells of the engine's work array that the model needs (with a margin), at least the
    engine's default."""
    steps = model_krylov(built)
    need = max((engine_cells(g, e, ftn14_bytes, steps) for g, e in triad_dimensions(built)),
               default=0)
    return int(min(ENGINE_MAX_CELLS, max(DEFAULT_CELLS, 1.25 * need)))


def model_json(built: BuiltModel, ftn14_bytes: int = 0) -> dict:
    """The sidecar description of a built model (see docs/ion-models.md); ``ftn14_bytes``, the
    size of its FTN14, enters the engine's work array."""
    m = built.model
    ops = []
    for side in (built.ground, built.excited):
        for k, o in enumerate(side.hamiltonian, 1):
            ops.append({"name": o.name, "kind": "XHAM", "side": side.kind,
                        "configurations": [c.name for c in side.configs],
                        "position": k, "value": o.value})
        if len(side.configs) > 1:
            for k, o in enumerate(side.mixing, 1):
                ops.append({"name": o.name, "kind": "XMIX", "side": side.kind, "position": k,
                            "value": o.value})
    ops.append({"name": "dipole", "kind": "XTRAN", "position": 1, "value": 1.0})
    paired = getattr(built.symmetry, "paired", False)
    e0 = built.ground_symmetries[0].energies[0]
    spectra: dict[str, list[dict]] = {}
    for pol in getattr(built.symmetry, "polarisations", ("iso", "z", "xy")):
        rows = []
        for i, t in enumerate(built.triads, 1):
            f = built.symmetry.polarisation_factor(t.ground, t.op, pol)
            rows.append({"triad": i, "ground": t.ground, "operator": t.op, "excited": t.excited,
                         "factor": f})
        spectra[pol] = rows
    # weights at zero temperature: the lowest ground state(s), each state of a multiplet alike
    lowest = [g for g in built.ground_symmetries if g.energies[0] - e0 <= 1e-6]
    states = sum(g.dim * sum(1 for x in g.energies if x - e0 <= 1e-6) for g in lowest)
    for pol, rows in spectra.items():
        for r in rows:
            g = next(s for s in built.ground_symmetries if s.label == r["ground"])
            r["weight"] = r["factor"] / states if g in lowest else 0.0
    return {
        "unit": "eV",
        "work_array": work_array(built, ftn14_bytes),
        "symmetry": built.symmetry.name,
        "title": m.title,
        "valence": m.valence, "core": m.core, "electrons": m.electrons,
        "edge_energy": m.edge_energy,
        **({"ion": m.ion, "edge": m.edge, "kappa": m.kappa,
            "core_hole_widths": m.core_hole_widths} if m.ion else {}),
        "configurations": {"ground": [c.name for c in built.ground.configs],
                           "excited": [c.name for c in built.excited.configs]},
        "parameters": {"ground": dict(m.ground), "excited": dict(m.excited),
                       "charge_transfer": dict(m.charge_transfer or {})},
        "operators": ops,
        "window": m.window,
        "physical": parameter_map(
            {"symmetry": m.symmetry, "ground": m.ground, "excited": m.excited,
             "charge_transfer": m.charge_transfer}, ops,
            {"ground": len(built.ground.configs), "excited": len(built.excited.configs)},
            effective_targets(built),
            None if m.kappa is None else {"ground": m.kappa, "excited": m.kappa}),
        "spectra": spectra,
        "levels": [{"label": g.label, "dim": g.dim, "energies": g.energies}
                   for g in built.levels],
        "ground_symmetries": [
            {"label": g.label, "energy": g.energies[0], "energies": g.energies, "dim": g.dim,
             "triads": [i for i, t in enumerate(built.triads, 1) if t.ground == g.label],
             **({"partner": built.symmetry.partner(g.label)} if paired else {})}
            for g in built.ground_symmetries],
        **({"paired": True} if paired else {}),
        "triads": [{"ground": t.ground, "operator": t.op, "excited": t.excited}
                   for t in built.triads],
    }


def _above(block, tol: float) -> bool:
    """Whether a block (dense, sparse or spooled) has an element larger than ``tol``."""
    if isinstance(block, SpooledBlock):
        return block.largest > tol
    if isinstance(block, FactoredMatrix):  # its elements are times its scale
        return block.largest > tol * block.scale
    values = block.data if sp.issparse(block) else block
    return bool(np.abs(values).max(initial=0.0) > tol)


def effective_targets(built: BuiltModel) -> set[str]:
    """Engine names of the factors whose operator has a non-zero block somewhere."""
    out: set[str] = set()
    for t, side in ((1, built.ground), (2, built.excited)):
        for c, blocks in enumerate(side.ham, 1):
            for k in range(len(side.hamiltonian)):
                if any(_above(b[k], 1e-9) for b in blocks.values()):
                    out.add(f"XHAM[{t},{c}][{k + 1}]")
        for c, blocks in enumerate(side.mix, 1):
            for k in range(len(side.mixing)):
                if any(_above(b[k], 1e-9) for b in blocks.values()):
                    out.add(f"XMIX[{t},{c},{c + 1}][{k + 1}]")
    if built.model.charge_transfer is not None:
        out |= {"DEL", "UVV", "UCV"}
        if max(built.model.levels) > 1:
            out.add("W")
    return out


def store_form(sections: list, store: str = "auto") -> str:
    """"text" or "binary": the form ``store`` asks for, or with "auto" binary when the text
    FTN14 would exceed estimate.TEXT_STORE_LIMIT."""
    if store not in STORE_FORMS:
        raise ValueError(f"unknown coefficient store form {store!r} (one of "
                         f"{', '.join(STORE_FORMS)})")
    if store != "auto":
        return store
    elements = sum(m.count for s in sections for m in s.matrices)
    return "binary" if chooses_binary(elements) else "text"


def written_krylov(built: BuiltModel) -> int:
    """The steps of the KRYLOV command fort.50 carries: 0 when no triad's core-hole symmetry is
    larger than the model's steps (every spectrum exact, no command written)."""
    steps = model_krylov(built)
    return steps if max((e for _, e in triad_dimensions(built)), default=0) > steps else 0


def text_bytes(sections: list) -> int:
    """About how many bytes the text FTN14 of the sections takes."""
    return int(BYTES_PER_COUPLED_ELEMENT * sum(m.count for s in sections for m in s.matrices))


def write_model(built: BuiltModel, directory: str | Path, store: str = "auto") -> Path:
    """Write FTN14, FTN15, fort.50 and model.json of ``built`` into ``directory``.

    ``store``: "text" writes the coefficient blocks as the text FTN14; "binary" as the engine's
    store FTN99 (with a stub FTN14 and OLDCOWAN in fort.50), which is faster to write and to
    load; "auto" (default) chooses binary when the text would exceed estimate.TEXT_STORE_LIMIT bytes.
    """
    from .outdir import staged_files

    d = Path(directory)
    m = built.model
    sections, ftn15 = coefficient_sections(built.ground, built.excited, built.triads,
                                           built.transitions, once=True)
    form = store_form(sections, store)
    n2, n3 = m.levels
    steps = written_krylov(built)
    fort50 = write_fort50(built.ground, built.excited, built.triads,
                          title=m.title or f"{m.valence}{m.electrons} {m.core} edge",
                          delta=m.ct("Delta"), u=m.ct("U"), q=m.ct("Q"), n2=n2, n3=n3,
                          width=m.width, erange=max(m.window, MIN_ERANGE),
                          extra=(f"KRYLOV {steps}\n" if steps else "")
                          + (rixs_command_block(built) if m.rixs is not None else ""),
                          store=form == "binary")
    # every file is written whole or not at all: a full disk leaves the directory as it was
    with staged_files(d) as part:
        # the stub before the store: the engine takes a store older than FTN14 for a stale one
        if form == "binary":
            matrices = [s.matrices for s in sections]
            part(COEFFICIENT_FILE).write_text(stub_text(matrices))
            write_store(part(STORE_FILE), matrices)
            ftn14_bytes = text_bytes(sections)
        else:
            ftn14_bytes = 0
            with open(part(COEFFICIENT_FILE), "w") as f:
                for text in ftn14_parts(sections):  # never the whole text at once
                    f.write(text)
                    ftn14_bytes += len(text)
        part("FTN15").write_text(ftn15)
        part("fort.50").write_text(fort50)
        description = model_json(built, ftn14_bytes)
        description["store"] = form
        description["krylov"] = steps
        if m.rixs is not None:
            description["rixs"] = rixs_json(built)
        part("model.json").write_text(json.dumps(description, indent=1) + "\n")
    if form != "binary":
        (d / STORE_FILE).unlink(missing_ok=True)  # an earlier binary model's store
    return d


def build_model(model: IonModel, directory: str | Path, force: bool = False,
                store: str = "auto") -> BuiltModel:
    """Build ``model`` and write its directory; returns what was built.

    ``store`` chooses the form of the coefficient blocks: "text" (FTN14), "binary" (the engine's
    store FTN99) or "auto" (binary for large models), see :func:`write_model`.

    A directory that already holds a model or run results is refused (ValueError) unless
    ``force``; with ``force`` the model files are replaced and the earlier run's results removed
    (other files stay), as ``morvex7-ion --force`` does.
    """
    from .outdir import check_output, remove_stale

    store_form([], store)  # a bad form is refused before the build
    stale = check_output(Path(directory), force)
    with BlockSpool(directory) as spool:
        built = build(model, spool=spool)
        remove_stale(stale)
        write_model(built, directory, store)
    return built
