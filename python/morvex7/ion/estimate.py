"""What a model will cost before it is built: determinants, block dimensions, FTN14 bytes, the
builder's memory and the engine's work array.

Everything here is counted from the shells and the symmetry's irrep multiplicities, without
forming a determinant list or a matrix, so a model far beyond the machine is refused before
anything large is allocated. The counts of determinants and of the blocks' dimensions are exact;
the byte counts are estimates from how full the builder's blocks are in practice (FTN14) and
from the arrays the builder and the engine take for the largest symmetry.
"""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from math import comb
from typing import Callable, Iterable, Mapping, Sequence


from .model import IonModel
from .symmetry import Configuration, Symmetry

#: Bytes of the builder's Python process besides its arrays (interpreter, numpy, scipy).
BASE_BYTES = 150e6

#: Fraction of non-zero elements in the stored blocks, measured over the 3d series with charge
#: transfer (Hamiltonian blocks of L-S sorted states, hybridisation blocks, transition blocks):
#: spherical blocks are sparser (a J block of the large configurations, O3) than point-group ones.
FILL = {"O3": {"ham": 0.08, "mix": 0.14, "tran": 0.12},
        "point": {"ham": 0.22, "mix": 0.47, "tran": 0.35}}

#: Oh, D4h and Td states are products of shell states (morvex7.ion.shellcoupling): an operator
#: inside one shell group is nearly diagonal there, so a block of D elements holds about
#: a * D**p of them (Hamiltonian and transition blocks); the hybridisation, across the shells,
#: fills its blocks to a fraction that depends on how many orbitals each of its operators moves.
#: Fitted to the FTN14 the builder writes over the 3d series with charge transfer (Fe2+ to
#: Ni2+: within 10 % in Oh; in D4h 10 % under for Fe2+, over by up to 2x for the small ions).
COUPLED = {"ham": (0.64, 0.75), "tran": (1.4, 0.7)}
COUPLED_MIX = {"Oh": 0.42, "Td": 0.42, "D4h": 0.11}

#: Bytes of one element of a sparse block the builder holds (a float64 value, a 4-byte column).
SPARSE_ELEMENT_BYTES = 12.0

#: Bytes of FTN14 text per stored element ("col value" with separators, row headers); the
#: coupled blocks' elements are further from the diagonal (longer column numbers).
BYTES_PER_ELEMENT = 16.0
BYTES_PER_COUPLED_ELEMENT = 18.0

#: Engine work-array cells: per element of the dense matrices of one triad (ground and excited
#: Hamiltonians, the transition matrix), per byte of FTN14 (the coefficient store), and besides.
#: Measured with the engine's "Maximum heap used" over the 3d series, bands included.
ENGINE_CELLS_PER_ELEMENT = 1.05
ENGINE_CELLS_PER_FTN14_BYTE = 0.17
ENGINE_BASE_CELLS = 5_000

#: The largest work array the engine accepts (cells of 4 bytes).
ENGINE_MAX_CELLS = 2**31 - 1

#: Core-hole symmetries of more states than this (band levels included) get their spectra from
#: KRYLOV_STEPS Lanczos steps (the engine's KRYLOV command) unless ``[triads] krylov`` says
#: otherwise: the exact reduction is O(n^3) and holds n^2 numbers (181 s and 1.3 GB at 12 520
#: states, 7 s at 4 394), while 500 steps take seconds and keep spectra broadened by 0.1 eV
#: within about 0.2 % of their maximum.
KRYLOV_AUTO_DIMENSION = 3000
KRYLOV_STEPS = 500
#: Work-array cells of a Krylov triad per byte of FTN14 text: the store and the assembled sparse
#: Hamiltonians (measured: Ti4+ 3d0 Oh with charge transfer, 12.9 million cells in use).
KRYLOV_CELLS_PER_FTN14_BYTE = 0.30

#: Engine CPU seconds per n^3 of the dense reduction of an n-row Hamiltonian (ground states, and
#: exact spectra); measured on a shared two-core machine: 181 s for 12 520 rows.
DENSE_SECONDS_PER_CUBE = 9.2e-11


def shell_two_m_counts(l: int, n: int) -> dict[int, int]:
    """{2M: number of determinants} of n electrons in a shell of angular momentum l."""
    # dynamic programme over spin-orbitals: counts[k][2M] with k electrons placed
    counts: list[dict[int, int]] = [{0: 1}] + [{} for _ in range(n)]
    for m in range(-l, l + 1):
        for two_ms in (1, -1):
            tm = 2 * m + two_ms
            for k in range(n, 0, -1):
                for v, c in counts[k - 1].items():
                    counts[k][v + tm] = counts[k].get(v + tm, 0) + c
    return counts[n]


def config_two_m_counts(config: Configuration) -> dict[int, int]:
    """{2M: number of determinants} of a configuration (shells convolved)."""
    total = {0: 1}
    for sh, n in zip(config.orbitals.shells, config.occupations):
        part = shell_two_m_counts(sh.l, n)
        out: dict[int, int] = {}
        for a, ca in total.items():
            for b, cb in part.items():
                out[a + b] = out.get(a + b, 0) + ca * cb
        total = out
    return total


def determinants(config: Configuration) -> int:
    """Number of determinants of a configuration."""
    out = 1
    for sh, n in zip(config.orbitals.shells, config.occupations):
        out *= comb(sh.size, n)
    return out


def multiplicities(symmetry: Symmetry, config: Configuration) -> dict[str, tuple[int, int]]:
    """{label: (mult, dim)} of a configuration, without forming its determinants (O3: from the
    M distribution; a point group: from its characters)."""
    if symmetry.name != "O3":
        return symmetry.multiplicities(config)
    from .o3 import multiplicities_from_two_m

    return multiplicities_from_two_m(config_two_m_counts(config), config.parity)


def sector_size(symmetry: Symmetry, config: Configuration, label: str) -> int:
    """Determinants the builder expands one row of ``label`` in (O3: the M = J sector; a field
    along z: the states of its class of Jz, exactly; a point group: the sector of its main
    rotation axis, about a quarter of an Oh, D4h or Td configuration and a third of a D3d or
    C3v one)."""
    if symmetry.name == "O3":
        from .o3 import parse_label

        return config_two_m_counts(config).get(parse_label(label)[0], 0)
    subgroup = getattr(symmetry, "subgroup", None)
    if subgroup is not None:
        from .fieldsymmetry import parse_field_label, residue

        n = symmetry.n
        try:
            wanted = parse_field_label(label, subgroup, config.parity)
        except ValueError:  # a label of the other parity: no states here
            return 0
        return sum(c for two_m, c in config_two_m_counts(config).items()
                   if residue(two_m, n) == wanted)
    axis = 3 if symmetry.name in ("D3d", "C3v") else 4
    return -(-determinants(config) // axis)


def _ligand_open(conf: Configuration) -> bool:
    return any(sh.name == "ligand" and 0 < n < sh.size
               for sh, n in zip(conf.orbitals.shells, conf.occupations))


def _lower(conf: Configuration, cut: int) -> int:
    """Determinants of the shells below shell ``cut``."""
    out = 1
    for sh, n in list(zip(conf.orbitals.shells, conf.occupations))[:cut]:
        out *= comb(sh.size, n)
    return out


def _cut(a: Configuration, b: Configuration) -> int:
    """The highest shell open in either configuration (where recoupling cuts them)."""
    opened = [i for i, sh in enumerate(a.orbitals.shells)
              if 0 < a.occupations[i] < sh.size or 0 < b.occupations[i] < sh.size]
    return opened[-1] if opened else 0


def coupled_bytes(sides: Mapping[str, Sequence[Configuration]],
                  mults: Mapping[str, Mapping[str, list[int]]],
                  used: Mapping[str, Sequence[str]], nmix: int, mix_fill: float) -> float:
    """Bytes of what the shell-coupled builder holds beside the per-symmetry arrays: the
    lower parts' states (every row, complex, and a copy by sector), the factor blocks of the
    hybridisation between the pair of configurations in hand (one per ladder of the cut shell,
    a quarter of the pairs of rows connected) and of the dipole, and every hybridisation block
    kept for the writer: dense on the ground side (exact, for the ground-state search), sparse
    on the excited side (``mix_fill`` of the elements, a value and a column each)."""
    spaces = factors = kept = 0.0
    for s, cs in sides.items():
        for c in range(len(cs) - 1):
            a, b = cs[c], cs[c + 1]
            cut = _cut(a, b)
            la, lb = _lower(a, cut), _lower(b, cut)
            spaces = max(spaces, 32.0 * (la * la + lb * lb))
            ladders = a.orbitals.shells[cut].size
            factors = max(factors, 16.0 * ladders * nmix * la * lb / 4)
            per = SPARSE_ELEMENT_BYTES * mix_fill if s == "excited" else 8.0
            kept += per * nmix * sum(mults[s][lab][c] * mults[s][lab][c + 1]
                                     for lab in (used[s] or mults[s]))
    pairs = list(zip(sides["ground"], sides["excited"]))
    dipole = sum(16.0 * 3 * _lower(g, _cut(g, e)) * _lower(e, _cut(g, e)) / 4 for g, e in pairs)
    return spaces + factors + kept + dipole


def transition_bytes(symmetry: Symmetry, mults: Mapping[str, Mapping[str, list[int]]],
                     triads: Sequence[tuple[str, str]], npairs: int,
                     stored: Callable[[float], float]) -> float:
    """Bytes of the transition blocks the builder keeps (one sparse real block per triad,
    copy of the outer multiplicity and pair of configurations, ``stored(elements)`` of them
    non-zero) for the ground symmetry with the most (the builder makes them for the lowest
    ground symmetries alone, mostly one), and of the largest block in the making."""
    kept: dict[str, float] = {}
    largest = 0.0
    parts = symmetry.transition_labels()
    outer = getattr(symmetry, "outer_multiplicity", None)
    for g, e in triads:
        copies = sum(outer(g, p, e) for p in parts if "." not in p) if outer else 1
        for c in range(npairs):
            size = mults["ground"][g][c] * mults["excited"][e][c]
            kept[g] = kept.get(g, 0.0) + SPARSE_ELEMENT_BYTES * copies * stored(size)
            # elements (copies + 1), reduced elements (copies), the phase-removed copy of
            # one and the real blocks of every copy
            largest = max(largest, (16.0 * (2 * copies + 2) + 8.0 * copies) * size)
    return max(kept.values(), default=0.0) + largest


def machine_bytes() -> float:
    """Memory of the machine (bytes): MemTotal of /proc/meminfo, else the physical pages."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return float(line.split()[1]) * 1024
    except OSError:
        pass
    try:
        return float(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"))
    except (ValueError, OSError):
        return 8e9


def mb(x: float) -> str:
    """Bytes as text in MB or GB."""
    return f"{x / 1e9:.1f} GB" if x >= 1e9 else f"{x / 1e6:.1f} MB"


@dataclass
class Estimate:
    """The size of a model (see the module description).

    ``configs[side]`` lists (configuration name, determinants); ``mults[side][label]`` the
    multiplicity of the label in each configuration of the side; ``dims[side][label]`` the
    dimension of the engine's Hamiltonian of that symmetry (bands included); ``triads`` the
    (ground, excited) pairs counted.
    """

    model: IonModel
    configs: dict[str, list[tuple[str, int]]]
    mults: dict[str, dict[str, list[int]]]
    dims: dict[str, dict[str, int]]
    triads: list[tuple[str, str]]
    ftn14_bytes: float
    builder_bytes: float
    engine_cells: int
    notes: list[str] = field(default_factory=list)
    #: Lanczos steps of the spectra of core-hole symmetries larger than that (0: exact)
    krylov: int = 0

    @property
    def engine_seconds(self) -> float:
        """Engine CPU seconds of its dense reductions, the part that grows as n^3: every ground
        symmetry of a triad, and every core-hole symmetry whose spectrum is exact (Lanczos
        spectra come on top: seconds, up to a minute for 12 000 states)."""
        ground = {g: self.dims["ground"][g] for g, _ in self.triads}
        excited = {e: self.dims["excited"][e] for _, e in self.triads}
        exact = [n for n in excited.values() if not 0 < self.krylov < n]
        return DENSE_SECONDS_PER_CUBE * sum(float(n) ** 3 for n in [*ground.values(), *exact])

    @property
    def engine_bytes(self) -> float:
        return 4.0 * self.engine_cells

    def largest(self, side: str) -> tuple[str, int]:
        d = self.dims[side]
        lab = max(d, key=d.get) if d else ""
        return lab, d.get(lab, 0)

    def text(self) -> str:
        """A few lines for the terminal."""
        lines = []
        for side in ("ground", "excited"):
            confs = ", ".join(f"{n} {d}" for n, d in self.configs[side])
            lab, dim = self.largest(side)
            lines.append(f"  {side}: determinants {confs}; largest symmetry {lab} "
                         f"(multiplicities {'+'.join(map(str, self.mults[side].get(lab, [])))}, "
                         f"Hamiltonian {dim})")
        lines.append(f"  FTN14 about {mb(self.ftn14_bytes)}, builder memory about "
                     f"{mb(self.builder_bytes)}, engine work array about {self.engine_cells} "
                     f"cells ({mb(self.engine_bytes)}) for {len(self.triads)} triads")
        lines.append(f"  engine CPU in its dense matrices about {duration(self.engine_seconds)} "
                     f"(every symmetry the ground state could have)")
        if self.krylov and self.largest("excited")[1] > self.krylov:
            lines.append(f"  spectra of core-hole symmetries of more than {self.krylov} states from "
                         f"{self.krylov} Lanczos steps (KRYLOV {self.krylov})")
        return "\n".join(lines)

    def problems(self, memory: float | None = None) -> list[str]:
        """Why the model cannot be built and run on a machine with ``memory`` bytes (default:
        this machine); empty when it fits."""
        memory = machine_bytes() if memory is None else memory
        out = []
        if self.builder_bytes > 0.8 * memory:
            out.append(f"the builder would need about {mb(self.builder_bytes)} of memory, "
                       f"the machine has {mb(memory)}")
        if self.engine_cells > ENGINE_MAX_CELLS:
            out.append(f"the engine would need a work array of about {self.engine_cells} cells "
                       f"({mb(self.engine_bytes)}), more than it can take ({ENGINE_MAX_CELLS})")
        elif self.engine_bytes > 0.8 * memory:
            out.append(f"the engine would need about {mb(self.engine_bytes)} of memory, "
                       f"the machine has {mb(memory)}")
        return out


def duration(seconds: float) -> str:
    """Seconds for a person: "40 s", "12 min", "3.5 h"."""
    if seconds < 90:
        return f"{seconds:.0f} s"
    if seconds < 5400:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"


def engine_cells(ng: int, ne: int, ftn14_bytes: float, krylov: int = 0) -> int:
    """Work-array cells the engine takes for a triad of ground dimension ng and excited ne,
    with a coefficient file of ``ftn14_bytes`` (text), and ``krylov`` Lanczos steps (0: exact
    spectra; a triad of at most that many core-hole states is exact too)."""
    if 0 < krylov < ne:  # no dense core-hole matrices: the Lanczos vectors instead
        return int(ENGINE_BASE_CELLS + ENGINE_CELLS_PER_ELEMENT * (ng * ng + (krylov + 2) * ne)
                   + KRYLOV_CELLS_PER_FTN14_BYTE * ftn14_bytes)
    return int(ENGINE_BASE_CELLS + ENGINE_CELLS_PER_ELEMENT * (ng * ng + ne * ne + ng * ne)
               + ENGINE_CELLS_PER_FTN14_BYTE * ftn14_bytes)


def krylov_steps(model: IonModel, excited_dims: Iterable[int]) -> int:
    """Lanczos steps of the model's KRYLOV command, 0 for exact spectra: ``[triads] krylov``
    when given, else KRYLOV_STEPS when a core-hole symmetry has more than
    KRYLOV_AUTO_DIMENSION states (RIXS needs every core-hole state: exact)."""
    if model.krylov is not None:
        return model.krylov
    if model.rixs is not None:
        return 0
    return KRYLOV_STEPS if max(excited_dims, default=0) > KRYLOV_AUTO_DIMENSION else 0


def band_dimension(mults: Sequence[int], n2: int, n3: int) -> int:
    """Dimension of one symmetry's Hamiltonian with band levels: m1 + N2 (m2 + N3 m3)."""
    m = list(mults) + [0, 0]
    return m[0] + n2 * (m[1] + n3 * m[2]) if len(mults) > 1 else m[0]


def estimate(model: IonModel, symmetry: Symmetry,
             triads: Sequence[tuple[str, str]] | None = None,
             operators: Mapping[str, int] | None = None) -> Estimate:
    """The size of ``model`` in ``symmetry``.

    ``triads`` are the (ground, excited) label pairs to count; by default every pair the dipole
    operator connects (an upper bound, for the check before anything is built). ``operators``
    gives the number of Hamiltonian operators per side (default: from the model's parameters).
    """
    gconf, econf = model.configurations()
    n2, n3 = model.levels
    sides = {"ground": gconf, "excited": econf}
    configs = {s: [(c.name, determinants(c)) for c in cs] for s, cs in sides.items()}
    mults: dict[str, dict[str, list[int]]] = {}
    dims: dict[str, dict[str, int]] = {}
    irrep_dim: dict[str, int] = {}
    for s, cs in sides.items():
        per = [multiplicities(symmetry, c) for c in cs]
        labels: list[str] = []
        for p in per:
            labels += [lab for lab in p if lab not in labels]
        mults[s] = {lab: [p.get(lab, (0, 0))[0] for p in per] for lab in labels}
        for p in per:
            irrep_dim.update({lab: d for lab, (_, d) in p.items()})
        dims[s] = {lab: band_dimension(m, n2, n3) for lab, m in mults[s].items()}
    if triads is None:
        triads = []
        for g in mults["ground"]:
            for op in symmetry.transition_labels():
                for e in symmetry.reached(g, op):
                    if e in mults["excited"] and (g, e) not in triads:
                        triads.append((g, e))
    if operators is None:
        from .blocks import side_operators

        operators = {"ground": len(side_operators(model, False)),
                     "excited": len(side_operators(model, True))}
    nmix = 0
    if model.charge_transfer is not None:
        from .pointmodel import POINT_GROUPS, mixing_names

        nmix = len(mixing_names(model.symmetry)) if model.symmetry in POINT_GROUPS else 1

    # FTN14: every section holds the blocks of all triads (see the writer)
    coupled = symmetry.name in COUPLED_MIX
    fill = FILL["O3" if symmetry.name == "O3" else "point"]
    used = {"ground": sorted({g for g, _ in triads}), "excited": sorted({e for _, e in triads})}

    def stored(kind: str, dense: float) -> float:
        """Elements expected in a block of ``dense`` elements."""
        if not coupled:
            return fill[kind] * dense
        if kind == "mix":
            return COUPLED_MIX[symmetry.name] * dense
        a, p = COUPLED[kind]
        return min(dense, a * dense ** p)

    def ham(side: str, c: int) -> float:
        return sum(stored("ham", mults[side][lab][c] ** 2) for lab in used[side]) * operators[side]

    elements = 0.0
    npairs = min(len(gconf), len(econf))
    for c in range(npairs):
        elements += ham("ground", c) + ham("excited", c)
        elements += sum(stored("tran", mults["ground"][g][c] * mults["excited"][e][c])
                        for g, e in triads)
    for side in ("ground", "excited"):
        for c in range(len(sides[side]) - 1):
            elements += ham(side, c) + ham(side, c + 1)
            elements += nmix * sum(stored("mix", mults[side][lab][c] * mults[side][lab][c + 1])
                                   for lab in used[side])
    ftn14 = (BYTES_PER_COUPLED_ELEMENT if coupled else BYTES_PER_ELEMENT) * elements

    # the builder: for each configuration and symmetry the row-1 states over their sector,
    # the projected trial vectors (complex) and, for the ground symmetries, every row over the
    # whole configuration (complex); plus the dense matrices of the ground-state search
    peak = 0.0
    for s, cs in sides.items():
        for k, conf in enumerate(cs):
            if coupled and _ligand_open(conf):
                continue  # never written out (morvex7.ion.recoupling)
            for lab in used[s] or mults[s]:
                m = mults[s].get(lab, [0] * len(cs))[k]
                if m == 0:
                    continue
                sec = sector_size(symmetry, conf, lab)
                if symmetry.name == "O3":
                    arrays = 8.0 * (3 * sec * sec + 2 * m * sec)
                else:
                    arrays = 8.0 * m * sec * 6
                    if s == "ground" and not coupled:
                        arrays += 16.0 * irrep_dim.get(lab, 1) * determinants(conf) * m
                peak = max(peak, arrays)
    if coupled:
        peak += coupled_bytes(sides, mults, used, nmix, COUPLED_MIX[symmetry.name])
        peak += transition_bytes(symmetry, mults, triads, npairs, lambda n: stored("tran", n))
    ground_dense = max(dims["ground"].values(), default=0)
    if n2 * n3 == 1:
        peak = max(peak, 8.0 * 3 * ground_dense ** 2)
    builder = BASE_BYTES + peak

    steps = krylov_steps(model, (dims["excited"][e] for _, e in triads))
    cells = max((engine_cells(dims["ground"][g], dims["excited"][e], ftn14, steps)
                 for g, e in triads), default=ENGINE_BASE_CELLS)
    return Estimate(model, configs, mults, dims, list(triads), ftn14, builder, cells,
                    krylov=steps)
