"""What a model will cost before it is built: determinants, block dimensions, the coefficient
file's bytes (text FTN14 or binary FTN99, the form the builder will choose), the builder's memory
and the engine's work array.

Everything here is counted from the shells and the symmetry's irrep multiplicities, without
forming a determinant list or a matrix, so a model far beyond the machine is refused before
anything large is allocated. Exact: the determinants, the multiplicities and dimensions, and
which matrices the writer stores in which section with what shape (a Hamiltonian operator
constant in a configuration stores none). Estimated: how many elements each stored matrix holds
(fitted fills, a coupled configuration's Hamiltonian blocks counted factor by factor), and from
those the file's bytes and the engine's work array; the builder's memory from the arrays it
holds for the largest symmetry.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from math import comb, expm1, log10
from typing import Callable, Iterable, Mapping, Sequence

import numpy as np

from . import o3spectator
from .determinants import Operator, Orbitals
from .fieldcount import FieldBlocks
from .model import IonModel
from .writer import hamiltonian_section
from .symmetry import Configuration, Symmetry

#: Bytes of the builder's Python process besides its arrays: the interpreter with numpy,
#: scipy and the package (51 MB), the estimate's and the symmetry's tables (1-5 MB).
BASE_BYTES = 54e6

#: Oh, D4h and Td states are products of shell states (morvex7.ion.shellcoupling); the
#: hybridisation blocks the builder holds fill about this share of their elements.
COUPLED_MIX = {"Oh": 0.42, "Td": 0.42, "D4h": 0.11}

#: What the coupled builder keeps of a side's states beside the lower parts' states themselves
#: (the copies of every configuration, the coupler's factor spaces and sector copies, the
#: lower part of a configuration with a closed ligand shell), as a share of those: fitted to
#: the peak measured with charge transfer (3d0-3d6 in Oh and in D4h's irreps).
COUPLED_HELD = {"Oh": 1.1, "Td": 1.1, "D4h": 2.6}

#: Bytes of one element of a sparse block the builder holds (a float64 value, a 4-byte column).
SPARSE_ELEMENT_BYTES = 12.0

#: Bytes the builder holds per entry while it forms an operator's matrix over determinants
#: (morvex7.ion.determinants.Operator.matrix: a row, a column and a value of 8 bytes for each
#: term that reaches a determinant, their concatenation, the 4-byte row and column copies:
#: 56), with the heap's slack: 64 to 70 measured on the largest blocks of the 3d series with
#: charge transfer in determinants (3d0-3d5 D4h, 3d1 and 3d3 Oh in a field).
TERM_BYTES = 70.0
#: Bytes of the ground search's dense diagonalisation per element of an n x n Hamiltonian:
#: the blocks made dense, the assembled matrix, its triangles, the solver's copy and
#: workspace (56 measured on the 3d0 D4h model in determinants, 540 rows).
DENSE_SEARCH_BYTES = 56.0
#: ... and of the sparse search, per element of the Hamiltonian summed from its blocks (the
#: sums, the triangle's coordinates and its transpose; 45-98 measured over the 3d series in
#: Oh and in D4h's irreps, from 977 to 3030 rows) ...
SPARSE_SEARCH_BYTES = 100.0
#: ... or, with band levels, per element of the Hamiltonian the levels repeat the blocks in
#: (their copies gathered and assembled once: 44 measured on Mn2+ 3d5 Oh with N2 = N3 = 5)
BAND_SEARCH_BYTES = 46.0
#: ... besides at most this many Lanczos vectors of 8 bytes a row (the search asks for up to
#: 64 states with twice as many vectors and 24 more)
SEARCH_VECTORS = 152

#: Bytes per group element and square of a shell's determinants that the shell-coupled
#: builder takes while it adapts the shell (the heap keeps them through the ground side's
#: phase): 6-12 measured on 3d4-3d7 in Oh; Fe2+ 3d6 Oh peaks at 85 or 108 MB from run to run
SHELL_ACTION_BYTES = 10.0

#: 8-byte copies of a spherical configuration's states written out over their M = J sector
#: (a spectator ligand's coupled with a neighbour written otherwise: 5 measured on the
#: hybridisation of Ce3+ 3d9 4f3 L) ...
SPHERICAL_STATE_COPIES = 5
#: ... and of a spectator ligand's written only for the transition blocks (2 measured on
#: Ti4+ 2p5 3d3 L2)
SPHERICAL_DIPOLE_COPIES = 2

#: Bytes a hybridisation block stored as its factors takes in the store per element the fill
#: fit expects of it (5.1 MB for 9.1 million expected, 5.6 million assembled, on Ce3+
#: 3d9 4f3 L - 3d9 4f4 L2); the builder stores so a block of at least
#: o3spectator.FACTORED_ELEMENTS elements (its rule, read from there)
FACTORED_BYTES = 0.56

#: The builder's ground search diagonalises at most this many rows densely
#: (morvex7.ion.build.DENSE_GROUND).
DENSE_GROUND = 800

#: Bytes of FTN14 text per stored element, about ("col value" with separators, row headers),
#: for the builder's choice of the store form from the elements it has (see chooses_binary).
BYTES_PER_COUPLED_ELEMENT = 18.0

#: Bytes the writer takes per element of a block it writes as text: the block read back from
#: the spool (a row, a column and a value of 4 bytes) ...
TEXT_READ_BYTES = 12.0
#: ... and per element of the piece of it formatted at once (the numbers as Python objects,
#: their tuple and the text made of them; 119-142 measured), TEXT_CHUNK at most
TEXT_FORMAT_BYTES = 140.0
#: (morvex7.ion.writer formats 200 000 elements at a time)
TEXT_CHUNK = 200_000

#: Engine work-array cells: per element of the dense matrices of one triad (ground and excited
#: Hamiltonians, the transition matrix), per byte of FTN14 (the coefficient store), and besides.
#: Measured with the engine's "Maximum heap used" over the 3d series, bands included.
ENGINE_CELLS_PER_ELEMENT = 1.05
ENGINE_CELLS_PER_FTN14_BYTE = 0.17
ENGINE_BASE_CELLS = 5_000
#: Work-array cells of a triad besides its dense matrices and the coefficient store, per stored
#: element of each kind of the blocks it uses (the sparse blocks built from the store, two cells
#: an element, and the assembled sparse Hamiltonians, where a hybridisation block stands twice)
#: and per row of its two Hamiltonians (vectors, row indexes); "levels" per element the band
#: levels repeat (fitted on Ni2+ N = 5 and Co2+ N = 3); fitted to the engine's "Maximum heap
#: used" over the shipped examples and the 3d series with charge transfer.
TRIAD_CELLS = {"ham": 1.49, "mix": 3.35, "tran": 2.26, "levels": 2.5}
TRIAD_CELLS_PER_ROW = 21.3

#: The largest work array the engine accepts (cells of 4 bytes).
ENGINE_MAX_CELLS = 2**31 - 1

#: Above this size of text FTN14 (bytes) the builder writes the binary store FTN99 instead
#: (morvex7.ion.build.store_form, which counts the elements it has).
TEXT_STORE_LIMIT = 5_000_000

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

#: Engine CPU seconds of a triad whose core-hole spectrum comes from Lanczos steps: per step
#: squared and row (each step made orthogonal to every step before it), and per step and
#: stored element of its blocks (the products by the Hamiltonian, assembled first); measured
#: on Cr³⁺ 3d³ Oh (6 triads of 18 270 rows: 5.7 s and 1.7 s of its 17.4 s) and fitted to the
#: 3d series and Ce³⁺ with charge transfer.
KRYLOV_SECONDS = 2.1e-10
KRYLOV_PRODUCT_SECONDS = 5.4e-10

#: Fill of the stored blocks: elements = a * (rows columns)**p, per family of symmetry (each
#: coupled group on its own, and all of them as "coupled" for what one lacks) and kind of block ("tran", "mix" or the class of a
#: Hamiltonian operator, "*" when it acts across the two factors of a coupled configuration).
#: Fitted to the blocks the builder wrote for the shipped examples and the 3d series with charge
#: transfer (bench/python/bench_ion_estimate.py --json), so that each model's total of each kind
#: comes out right; a coupled configuration's blocks are counted factor by factor
#: (see stored_blocks). The full and point families have one example each; a field model's
#: blocks are counted on its determinants instead (morvex7.ion.fieldcount).
FILL_FIT: dict[tuple[str, str], tuple[float, float]] = {
    ("D4h", "Fvv"): (0.756, 0.5654),
    ("D4h", "cf"): (0.4729, 0.9555),
    ("D4h", "cv"): (0.131, 0.9053),
    ("D4h", "cv*"): (0.1355, 1.1071),
    ("D4h", "mix"): (0.1659, 1.0068),
    ("D4h", "tran"): (1.0414, 0.7143),
    ("D4h", "zeta_c"): (1.0086, 0.8359),
    ("D4h", "zeta_v"): (0.6407, 0.95),
    ("O3", "Fvv"): (0.892, 0.5491),
    ("O3", "cv"): (0.5465, 0.7978),
    ("O3", "mix"): (0.3321, 1.0532),
    ("O3", "tran"): (0.7041, 0.8269),
    ("O3", "zeta_c"): (2.1251, 0.5839),
    ("O3", "zeta_v"): (1.1143, 0.8634),
    ("Oh", "Fvv"): (0.7379, 0.5828),
    ("Oh", "cf"): (1.107, 0.8472),
    ("Oh", "cv"): (0.242, 0.8484),
    ("Oh", "cv*"): (1.2125, 0.9303),
    ("Oh", "mix"): (0.9, 0.975),  # refitted with each block stored once: 3d7-3d9 Oh within 10 %
    ("Oh", "tran"): (2.0516, 0.6585),
    ("Oh", "zeta_c"): (2.9017, 0.654),
    ("Oh", "zeta_v"): (1.1536, 0.8741),
    ("Td", "Fvv"): (0.3864, 0.7682),
    ("Td", "cf"): (0.8056, 0.9044),
    ("Td", "cv*"): (0.287, 1.1274),
    ("Td", "tran"): (5.7249, 0.6965),
    ("Td", "zeta_c"): (1.3924, 0.6352),
    ("Td", "zeta_v"): (0.8761, 0.9108),
    ("coupled", "Fvv"): (0.7572, 0.5739),
    ("coupled", "cf"): (0.8673, 0.8744),
    ("coupled", "cv"): (0.2132, 0.8573),
    ("coupled", "cv*"): (0.8456, 0.9456),
    ("coupled", "mix"): (0.4836, 0.9836),
    ("coupled", "tran"): (2.4138, 0.6453),
    ("coupled", "zeta_c"): (3.1953, 0.6591),
    ("coupled", "zeta_v"): (0.966, 0.894),
    ("full", "Fvv"): (5.1575, 0.4043),
    ("full", "cf"): (5.8589, 0.339),
    ("full", "cv"): (0.3382, 0.7501),
    ("full", "mix"): (0.0716, 0.8527),
    ("full", "tran"): (0.2393, 0.6553),
    ("full", "zeta_c"): (0.0692, 0.8612),
    ("full", "zeta_v"): (0.2808, 0.7069),
    ("point", "Fvv"): (5.1533, 0.5074),
    ("point", "cf"): (0.2429, 0.6646),
    ("point", "cv"): (0.0997, 0.8292),
    ("point", "tran"): (0.0849, 0.7802),
    ("point", "zeta_c"): (0.2284, 0.646),
    ("point", "zeta_v"): (0.0885, 0.796),
}

#: Bytes of FTN14 text per stored element besides its column and value (the blank between,
#: the separators, a continuation line every four), per row with elements besides its numbers,
#: per matrix header line and per section (its title and FINISHED lines) besides their numbers.
TEXT_ELEMENT_BYTES = 3.5
TEXT_ROW_BYTES = 3.0
#: Mean length of a value: TEXT_VALUE_MIN + TEXT_VALUE_SLOPE log10(block size), at most
#: TEXT_VALUE_MAX; measured over the 3d series (10.6 in blocks of a few elements, 12.2 in blocks
#: of 10^4 and more); determinant blocks (RIXS models) hold simpler values.
TEXT_VALUE_MIN = 10.6
TEXT_VALUE_SLOPE = 0.4
TEXT_VALUE_MAX = 12.3
TEXT_SIMPLE_VALUE = 8.4
#: ... and in the blocks of a model in a field (determinants of one class of Jz; measured over
#: the 3d series with charge transfer in Oh, D4h and O3: 9.0 to 10.9)
TEXT_FIELD_VALUE = 10.6
TEXT_MATRIX_BYTES = 27
TEXT_SECTION_BYTES = 47


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
                  used: Mapping[str, Sequence[str]], nmix: int, mix_fill: float,
                  transition: float = 0.0, held: float = 0.0) -> float:
    """Bytes of what the shell-coupled builder holds beside the per-symmetry arrays while it
    makes the core-hole side's blocks and the transitions. Throughout: the lower parts' states
    of the configurations with an open ligand shell, which the coupler keeps as factor spaces
    (every row, complex, and a copy by sector), and ``held`` times those for the rest of the
    states kept (a configuration whose ligand shell is closed has the core and valence shells
    as its factors, its lower part coupled only for the operators to its neighbour: within
    that share). Then the larger of: one hybridisation operator's factor blocks between the
    pair of configurations in hand (one per ladder of the cut shell, a quarter of the pairs
    of rows connected) with the largest core-hole block being made (a value and a column per
    element, ``mix_fill`` of them, its sifted copy on the way to the spool); the dipole's
    factor blocks with ``transition``, the largest transition block in the making. Every
    block is written to the spool as it is made (morvex7.ion.spool); the ground side's
    phase is :func:`ground_phase_bytes`."""
    spaces = factors = making = 0.0
    for s, cs in sides.items():
        for c in range(len(cs) - 1):
            a, b = cs[c], cs[c + 1]
            cut = _cut(a, b)
            la, lb = _lower(a, cut), _lower(b, cut)
            spaces = max(spaces, 32.0 * sum(n * n for n, conf in ((la, a), (lb, b))
                                             if _ligand_open(conf)))
            ladders = a.orbitals.shells[cut].size
            factors = max(factors, 16.0 * ladders * la * lb / 4)
            if s == "excited":
                sizes = [mults[s][lab][c] * mults[s][lab][c + 1] for lab in (used[s] or mults[s])]
                making = max([making] + [2 * SPARSE_ELEMENT_BYTES * mix_fill * n for n in sizes])
    pairs = list(zip(sides["ground"], sides["excited"]))
    dipole = sum(16.0 * 3 * _lower(g, _cut(g, e)) * _lower(e, _cut(g, e)) / 4 for g, e in pairs)
    return (1.0 + held) * spaces + max(factors + making, dipole + transition)


def ground_phase_bytes(symmetry: Symmetry, sections: Sequence[Sequence[Block]],
                       mults: Mapping[str, Mapping[str, list[int]]],
                       dims: Mapping[str, int], nmix: int, npairs: int,
                       dense_mix: bool, banded: bool = False) -> float:
    """Bytes the builder holds during the ground search beside its fixed part: with
    ``dense_mix`` (the shell-coupled builder) the ground side's hybridisation blocks of every
    symmetry (dense), and the largest search: a Hamiltonian of at most DENSE_GROUND rows
    diagonalised densely, a larger one summed sparse from its blocks (``sections``, the
    estimate's, where they hold its symmetry; repeated for each band level when ``banded``)
    and searched with Lanczos vectors."""
    ground = mults["ground"]
    kept = 0.0
    if dense_mix:
        kept = 8.0 * nmix * sum(m[c] * m[c + 1] for m in ground.values()
                                for c in range(len(m) - 1))
    searched = [lab for lab in dims if symmetry.stored(lab) == lab]  # a partner's stands
    elements = {lab: ground_hamiltonian_elements(sections, lab, npairs, len(ground[lab]))
                for lab in searched}
    # a symmetry without triads has no blocks counted: filled as the fullest counted one
    fill = max((n / float(dims[lab]) ** 2 for lab, n in elements.items() if n), default=1.0)
    search = 0.0
    for lab in searched:
        dim = dims[lab]
        if dim <= DENSE_GROUND:
            need = DENSE_SEARCH_BYTES * float(dim) ** 2
        else:
            need = ((BAND_SEARCH_BYTES if banded else SPARSE_SEARCH_BYTES)
                    * (elements[lab] or fill * float(dim) ** 2) + 8.0 * SEARCH_VECTORS * dim)
        search = max(search, need)
    return kept + search


def ground_hamiltonian_elements(sections: Sequence[Sequence[Block]], label: str, npairs: int,
                                nconf: int) -> float:
    """Elements of the ground Hamiltonian of ``label`` summed from its stored blocks (each
    once, a hybridisation block and its transpose, each as often as its band levels), as far
    as ``sections`` hold them (the triads counted; none for a symmetry without triads)."""
    seen: dict[tuple, float] = {}
    for i, blocks in enumerate(sections):
        for b in blocks:
            k = b.key
            if k[:1] == ("ground",) and k[2] == label:
                seen[k] = b.levels * b.elements
            elif k[:1] == ("M",) and k[1] == label and npairs <= i < npairs + nconf - 1:
                seen[(i,) + k] = 2.0 * b.levels * b.elements
    return sum(seen.values())


def shell_adaptation_bytes(symmetry: Symmetry, configs: Iterable[Configuration]) -> float:
    """Bytes the shell-coupled builder takes while it adapts one open shell on its own (the
    group's elements applied to the shell's determinants; held by the heap through the ground
    side's phase): SHELL_ACTION_BYTES per group element and square of the largest shell's
    determinants."""
    group = getattr(getattr(symmetry, "oh", symmetry), "group", None)
    if group is None:
        return 0.0
    largest = max((comb(sh.size, n) for conf in configs
                   for sh, n in zip(conf.orbitals.shells, conf.occupations) if 0 < n < sh.size),
                  default=0)
    return SHELL_ACTION_BYTES * group.order * float(largest) ** 2


def chooses_binary(elements: float) -> bool:
    """Whether the builder writes the binary store for blocks of ``elements`` stored elements
    in all: their text would exceed TEXT_STORE_LIMIT at BYTES_PER_COUPLED_ELEMENT bytes each
    (morvex7.ion.build.store_form, which takes the count of the blocks it has)."""
    return BYTES_PER_COUPLED_ELEMENT * elements > TEXT_STORE_LIMIT


def writing_bytes(sections: Sequence[Sequence[Block]], binary: bool) -> float:
    """Bytes the writer takes beside what the builder holds when it writes the largest block:
    the binary store's records copied from the spool COPY_CHUNK bytes at a time; the text
    read back whole and formatted TEXT_CHUNK elements at a time."""
    from .spool import COPY_CHUNK

    largest = max((b for blocks in sections for b in blocks), key=lambda b: b.elements,
                  default=None)
    if largest is None:
        return 0.0
    if binary:
        return min(float(COPY_CHUNK), max(4.0 * largest.elements, 12.0 * largest.rows))
    return (TEXT_READ_BYTES * largest.elements + 12.0 * largest.rows
            + TEXT_FORMAT_BYTES * min(largest.elements, TEXT_CHUNK))


def field_peak(blocks: FieldBlocks, mults: Mapping[str, Mapping[str, list[int]]],
               dims: Mapping[str, Mapping[str, int]], used: Mapping[str, Sequence[str]],
               triads: Sequence[tuple[str, str, str]], levels: Sequence[int]) -> float:
    """Bytes the builder holds at its peak for a model built in determinants (a field, or
    ``basis = "determinants"``), beyond its fixed part. The ground side's blocks are held
    (sparse) through the ground search, beside the largest of that search's matrices and of
    the ground blocks being formed; after it every block is written to the spool as it is
    made, so the excited side and the transitions cost the largest block being formed (its
    entries, see morvex7.ion.fieldcount.term_hits)."""
    held = SPARSE_ELEMENT_BYTES * blocks.held(mults, used, ("ground",))
    search = 0.0
    for lab, dim in dims["ground"].items():
        if blocks.counter.symmetry.stored(lab) != lab:
            continue  # its partner's search stands for it
        if dim <= DENSE_GROUND:
            need = DENSE_SEARCH_BYTES * float(dim) ** 2
        else:
            need = (SPARSE_SEARCH_BYTES * blocks.hamiltonian_elements(mults, lab, levels)
                    + 8.0 * SEARCH_VECTORS * dim)
        search = max(search, need)
    forming = TERM_BYTES * blocks.largest_hits(mults, used, (), ("ground",))
    excited = TERM_BYTES * blocks.largest_hits(mults, used, triads, ("excited",))
    return max(held + max(search, forming), excited)


def transition_bytes(symmetry: Symmetry, mults: Mapping[str, Mapping[str, list[int]]],
                     triads: Sequence[tuple[str, str]], npairs: int,
                     stored: Callable[[float], float]) -> float:
    """Bytes of the largest transition block in the making (each is written to the spool as
    it is made): over the ``stored(elements)`` elements of the copy groups' pieces, the
    reduced elements of every copy of the outer multiplicity (complex), one copy's real
    pieces and its sparse block, and the pieces of one pair of copy groups at a time."""
    largest = 0.0
    parts = symmetry.transition_labels()
    outer = getattr(symmetry, "outer_multiplicity", None)
    for g, e in triads:
        copies = sum(outer(g, p, e) for p in parts if "." not in p) if outer else 1
        for c in range(npairs):
            size = mults["ground"][g][c] * mults["excited"][e][c]
            largest = max(largest, (16.0 * copies + 8.0 + SPARSE_ELEMENT_BYTES) * stored(size))
    return largest


def family(symmetry: Symmetry) -> str:
    """How the builder makes a symmetry's states, which decides how full its blocks are:
    "O3" (J states sorted by L and S), "coupled" (Oh, D4h, Td: shell states coupled),
    "field" (classes of Jz), "full" (determinants, RIXS) or "point" (projected states)."""
    if symmetry.name == "O3":
        return "O3"
    if getattr(symmetry, "subgroup", None) is not None:
        return "field"
    if symmetry.name == "none":
        return "full"
    return "coupled" if symmetry.name in COUPLED_MIX else "point"


def operator_class(name: str) -> str:
    """The class of a Hamiltonian operator by its name: "Fvv" (Coulomb in the valence shell),
    "zeta_v", "zeta_c", "cv" (core-valence Coulomb and exchange), "field" (B, H_ex) or "cf"
    (crystal field)."""
    if re.fullmatch(r"F\d+vv", name):
        return "Fvv"
    if re.fullmatch(r"[FG]\d+cv", name):
        return "cv"
    if name in ("zeta_v", "zeta_c"):
        return name
    return "field" if name in ("B", "H_ex") else "cf"


def acts_on(op: Operator, orbitals: Orbitals) -> tuple[frozenset[int], int]:
    """The shells (indices) an operator's terms touch and its largest number of creators."""
    shell_of = {}
    for i, sh in enumerate(orbitals.shells):
        for k in range(sh.offset, sh.offset + sh.size):
            shell_of[k] = i
    shells: set[int] = set()
    body = 0
    for term in op.terms:
        shells.update(shell_of[o] for o, _ in term)
        body = max(body, sum(1 for _, creator in term if creator))
    return frozenset(shells), body


def varies(shells: frozenset[int], body: int, config: Configuration) -> bool:
    """Whether an invariant operator on ``shells`` differs from a constant in ``config`` (its
    blocks, shifted to zero average, are then not all zero): a one-body operator needs an open
    shell; a two-body one inside a shell at least two electrons and two holes there; across
    shells, every shell open."""
    sizes = [sh.size for sh in config.orbitals.shells]
    n = config.occupations
    open_ = {i for i in shells if 0 < n[i] < sizes[i]}
    if body <= 1:
        return bool(open_)
    if len(shells) == 1:
        (i,) = shells
        return 2 <= n[i] <= sizes[i] - 2
    return open_ == set(shells)


def factor_terms(symmetry: Symmetry, config: Configuration
                 ) -> tuple[frozenset[int], dict[str, list[tuple[int, int, int]]]] | None:
    """How the shell-coupled builder (Oh, D4h, Td; morvex7.ion.shellcoupling) makes the
    copies of each irrep Z of ``config``: products of the copies of X in F1 (every open shell
    but the last, coupled) and of Y in F2 (the last open shell), nw(X, Y, Z) times each.
    Returns the shells of F1 and {Z: [(copies of X, copies of Y, nw), ...]}; None for a
    configuration of one open shell, or a symmetry built otherwise."""
    if symmetry.name == "O3":
        return _spectator_terms(symmetry, config)
    pg = getattr(symmetry, "oh", symmetry)
    group = getattr(pg, "group", None)
    if family(symmetry) != "coupled" or group is None:
        return None
    shells = config.orbitals.shells
    occ = list(config.occupations)
    opened = [i for i, (sh, n) in enumerate(zip(shells, occ)) if 0 < n < sh.size]
    if len(opened) < 2:
        return None
    last = opened[-1]

    def mults(o: list[int]) -> dict[str, int]:
        return group.multiplicities(pg.characters(Configuration("", config.orbitals, tuple(o))))

    m1 = mults([shells[i].size if i == last else n for i, n in enumerate(occ)])
    m2 = mults([shells[i].size if i in opened and i != last else n for i, n in enumerate(occ)])
    if symmetry.name == "Td":  # built as Oh, labelled in Td
        from .tetrahedral import td_label as rename
    else:
        rename = None
    out: dict[str, list[tuple[int, int, int]]] = {}
    for z, irrep in group.irreps.items():
        terms = []
        for x, mx in m1.items():
            for y, my in m2.items():
                nw = float(np.real(np.sum(group.irreps[x].characters
                                          * group.irreps[y].characters
                                          * np.conj(irrep.characters)))) / group.order
                if round(nw):
                    terms.append((mx, my, int(round(nw))))
        if terms:
            out[rename(z) if rename else z] = terms
    return frozenset(opened[:-1]), out


#: Where a symmetry fitted on its own lacks a kind of block (see FILL_FIT): Td is built as Oh.
FAMILY_OF = {"Oh": "coupled", "D4h": "coupled", "Td": "Oh"}


def _spectator_terms(symmetry: Symmetry, config: Configuration
                     ) -> tuple[frozenset[int], dict[str, list[tuple[int, int, int]]]] | None:
    """:func:`factor_terms` of a spherical configuration coupled with a spectator ligand shell
    (morvex7.ion.o3 couples it from the multiplets without the ligand, J_A, and those of the
    ligand shell, J_L: J once for every J_A, J_L it lies between)."""
    from .o3 import _ligand_spectator, parse_label

    if not _ligand_spectator(config):
        return None
    shells = config.orbitals.shells
    occ = config.occupations
    inner = multiplicities(symmetry, Configuration("", config.orbitals,
                                                   (occ[0], occ[1], shells[2].size)))
    ligand = multiplicities(symmetry, Configuration("", config.orbitals,
                                                    (shells[0].size, shells[1].size, occ[2])))
    out: dict[str, list[tuple[int, int, int]]] = {}
    for z in multiplicities(symmetry, config):
        two_j, parity = parse_label(z)
        terms = []
        for x, (mx, _) in inner.items():
            jx, px = parse_label(x)
            for y, (my, _) in ligand.items():
                jy, py = parse_label(y)
                if px * py == parity and abs(jx - jy) <= two_j <= jx + jy:
                    terms.append((mx, my, 1))
        out[z] = terms
    return frozenset({0, 1}), out


def _inner_sector(symmetry: Symmetry, config: Configuration) -> int:
    """The largest M = J sector of ``config`` without its ligand shell, when the spherical
    builder couples it with a spectator ligand (see :func:`_spectator_terms`); else 0."""
    if _spectator_terms(symmetry, config) is None:
        return 0
    occ = config.occupations
    inner = Configuration("", config.orbitals, (occ[0], occ[1], config.orbitals.shells[2].size))
    return max(sector_size(symmetry, inner, lab) for lab in multiplicities(symmetry, inner))


def _partners(sides: Mapping[str, Sequence[Configuration]], side: str, k: int
              ) -> list[Configuration]:
    """The configurations that configuration k of ``side`` has blocks with: its neighbours
    (hybridisation) and configuration k of the other side (dipole)."""
    cs, other = sides[side], sides["excited" if side == "ground" else "ground"]
    return [configs[i] for i, configs in ((k - 1, cs), (k + 1, cs), (k, other))
            if 0 <= i < len(configs)]


@dataclass
class Block:
    """A matrix the writer stores: kind ("ham", "mix" or "tran"), shape and the elements
    expected in it."""

    kind: str
    rows: int
    cols: int
    elements: float
    #: the writer's key of the block (see morvex7.ion.writer.coefficient_sections)
    key: tuple = ()
    #: how often the engine's Hamiltonian holds it: once per band level of its configuration
    #: (N2 for the second, N2 N3 for the third; a hybridisation block as its upper one's)
    levels: int = 1
    #: stored as its factors (a large hybridisation between configurations coupled with a
    #: spectator ligand, see morvex7.ion.o3spectator): FACTORED_BYTES an element in the store,
    #: assembled whole by the engine, never held whole by the builder
    factored: bool = False


def block_elements(fam: str, kind: str, rows: int, cols: int) -> float:
    """Elements expected in a block of ``rows`` x ``cols`` of ``kind`` ("tran", "mix" or the
    class of a Hamiltonian operator) in a symmetry of family ``fam``: a * (rows cols)**p,
    at most every element."""
    size = float(rows) * cols
    a, p = next((FILL_FIT[k] for k in ((fam, kind), (FAMILY_OF.get(fam, fam), kind),
                                         ("coupled", kind), ("coupled", kind.rstrip("*")))
                 if k in FILL_FIT), (1.0, 1.0))
    return min(size, a * size ** p)


def stored_blocks(model: IonModel, symmetry: Symmetry, mults: Mapping[str, Mapping[str, list[int]]],
                  triads: Sequence[tuple[str, str, str]], nmix: int,
                  in_field: FieldBlocks | None = None) -> list[list[Block]]:
    """The matrices of every coefficient section, as the writer stores them (see
    morvex7.ion.writer): per configuration pair of the dipole its transition blocks and the
    Hamiltonian blocks of both configurations, per neighbouring pair of a side its
    hybridisation blocks and both configurations' Hamiltonian blocks. A Hamiltonian operator
    constant in a configuration has no stored block there (its blocks are shifted to zero
    average); every other block holds the elements its family fills on average, except in a
    field, where each block's elements are counted on a sample of its determinants
    (``in_field``, made here when not given)."""
    from .blocks import side_operators

    fam = family(symmetry)
    if fam == "coupled":
        fam = symmetry.name
    gconf, econf = model.configurations()
    sides = {"ground": gconf, "excited": econf}
    orb = model.orbitals()
    ops = {}
    for s in sides:
        ops[s] = [(operator_class(o.name), *acts_on(o.op, orb))
                  for o in side_operators(model, s == "excited")]

    factors = {s: [factor_terms(symmetry, conf) for conf in cs] for s, cs in sides.items()}
    n2, n3 = model.levels
    levels = [1, n2, n2 * n3]
    if fam == "field" and in_field is None:
        in_field = FieldBlocks(model, symmetry)

    def elements(cls: str, shells: frozenset[int], side: str, c: int, label: str,
                 m: int, k: int) -> float:
        """A Hamiltonian block: an operator inside one factor of a coupled configuration
        is diagonal in the other factor's copies, so the block is nw x (copies of the other)
        blocks of the size of its own factor's copies."""
        if in_field is not None:
            return in_field.hamiltonian(side, c, k, label, m)
        ft = factors[side][c]
        if ft is None:
            return block_elements(fam, cls, m, m)
        f1, terms = ft
        conf = sides[side][c]
        acting = {i for i in shells if 0 < conf.occupations[i] < conf.orbitals.shells[i].size}
        if acting <= f1:
            return sum(nw * my * block_elements(fam, cls, mx, mx) for mx, my, nw in terms[label])
        if not acting & f1:
            return sum(nw * mx * block_elements(fam, cls, my, my) for mx, my, nw in terms[label])
        return block_elements(fam, cls + "*", m, m)  # across the factors: written out

    def ham(side: str, c: int, label: str, seen: set, section: tuple[str, int]) -> list[Block]:
        m = mults[side].get(label, [0] * len(sides[side]))[c]
        label = symmetry.stored(label)  # a paired model's lower class shares its partner's
        if hamiltonian_section(side, len(sides[side]), nmix > 0, c) != section:
            return []  # stored in the one section whose reading the engine keeps
        if (side, c, label) in seen or m == 0:
            return []
        seen.add((side, c, label))
        return [Block("ham", m, m, elements(cls, shells, side, c, label, m, k),
                      (side, c, label, k), levels[c])
                for k, (cls, shells, body) in enumerate(ops[side])
                if varies(shells, body, sides[side][c])]

    out: list[list[Block]] = []
    for c in range(min(len(gconf), len(econf))):
        blocks: list[Block] = []
        seen: set = set()
        for g, op, e in triads:
            mg, me = mults["ground"][g][c], mults["excited"][e][c]
            if mg * me:
                n = (in_field.transition(c, g, op, mg) if in_field is not None
                     else block_elements(fam, "tran", mg, me))
                blocks.append(Block("tran", mg, me, n, ("T", g, op, e)))
            blocks += ham("ground", c, g, seen, ("T", c)) + ham("excited", c, e, seen, ("T", c))
        out.append(blocks)
    if nmix:
        for side, cs in sides.items():
            for c in range(len(cs) - 1):
                blocks, seen = [], set()
                # the builder keeps a large hybridisation between two configurations coupled
                # with a spectator ligand as its factors, on the side it only writes out
                spectators = fam == "O3" and side == "excited" and model.rixs is None and all(
                    _spectator_terms(symmetry, conf) is not None for conf in cs[c:c + 2])
                for lab in dict.fromkeys(t[0] if side == "ground" else t[2] for t in triads):
                    m1, m2 = mults[side][lab][c], mults[side][lab][c + 1]
                    if (side, "mix", symmetry.stored(lab)) not in seen and m1 * m2:
                        seen.add((side, "mix", symmetry.stored(lab)))
                        blocks += [Block("mix", m1, m2,
                                         in_field.mixing(side, c, k, lab, m1)
                                         if in_field is not None
                                         else block_elements(fam, "mix", m1, m2),
                                         ("M", lab, k), levels[c + 1],
                                         spectators and m1 * m2 >= o3spectator.FACTORED_ELEMENTS)
                                   for k in range(nmix)]
                    pair = ("G" if side == "ground" else "E", c)
                    blocks += ham(side, c, lab, seen, pair) + ham(side, c + 1, lab, seen, pair)
                out.append(blocks)
    return out


def mean_digits(n: int) -> float:
    """Mean number of decimal digits of the integers 1..n."""
    total, lo, d = 0, 1, 1
    while lo <= n:
        hi = min(n, 10 * lo - 1)
        total += d * (hi - lo + 1)
        lo, d = 10 * lo, d + 1
    return total / n if n > 0 else 1.0


def value_bytes(size: float) -> float:
    """Mean length of a "%.9g" value in a block of ``size`` elements: small blocks hold more
    simple fractions (0.5, -1), large ones mostly nine digits and a sign or an exponent."""
    return min(TEXT_VALUE_MAX, TEXT_VALUE_MIN + TEXT_VALUE_SLOPE * log10(max(size, 1.0)))


def text_bytes(sections: Sequence[Sequence[Block]], simple: bool = False,
               value: float | None = None) -> float:
    """Bytes of the text FTN14 of the sections: per element its column, value and the
    separators, per row with elements its number and count, per matrix and section their
    header lines. ``simple``: values of determinant blocks (few distinct fractions); ``value``:
    the mean length of a value where the family's is known."""
    total = 0.0
    for s, blocks in enumerate(sections, 1):
        total += TEXT_SECTION_BYTES + len(str(s))
        for k, b in enumerate(blocks, 1):
            # rows with elements, the elements spread at random over the rows
            rows = b.rows * -expm1(-b.elements / b.rows) if b.rows else 0.0
            total += (TEXT_MATRIX_BYTES + len(str(k)) + len(str(s)) + len(str(b.rows))
                      + len(str(b.cols)) + len(str(int(b.elements))))
            mean = (TEXT_SIMPLE_VALUE if simple else value if value is not None
                    else value_bytes(float(b.rows) * b.cols))
            total += b.elements * (TEXT_ELEMENT_BYTES + mean + mean_digits(b.cols))
            total += rows * (TEXT_ROW_BYTES + mean_digits(b.rows)
                             + mean_digits(max(1, int(b.elements / max(rows, 1.0)))))
    return total


def binary_bytes(sections: Sequence[Sequence[Block]]) -> float:
    """Bytes of the binary store FTN99 of the sections: records of 4-byte numbers between
    4-byte length marks; per section its totals and the matrices' counts, per matrix the row
    index (three integers a row), the columns and the values. A Hamiltonian block is symmetric
    and stored as its upper triangle (four records): a word a row, and 4 bytes an element of
    the whole block (each diagonal value once, the column and value of each element right of
    the diagonal standing for it and its mirror)."""
    def stored(b: Block) -> float:
        if b.factored:
            return FACTORED_BYTES * b.elements
        if b.kind == "ham":
            return 32 + 4.0 * b.rows + 4.0 * b.elements
        return 24 + 12.0 * b.rows + 8.0 * b.elements

    return sum(24.0 + 8 * len(blocks) + sum(stored(b) for b in blocks) for blocks in sections)


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
    #: the matrices of every coefficient section, as the writer will store them
    sections: list[list[Block]] = field(default_factory=list)
    #: the form the builder will write the coefficient blocks in ("text" FTN14 or "binary"
    #: FTN99, see morvex7.ion.build.store_form) and the size of that file
    store: str = "text"
    store_bytes: float = 0.0

    @property
    def elements(self) -> dict[str, float]:
        """Stored elements expected per kind of block ("ham", "mix", "tran")."""
        out: dict[str, float] = {}
        for blocks in self.sections:
            for b in blocks:
                out[b.kind] = out.get(b.kind, 0.0) + b.elements
        return out

    @property
    def dense_seconds(self) -> float:
        """Engine CPU seconds of its dense reductions, which grow as n^3: every ground symmetry
        of a triad, and every core-hole symmetry whose spectrum is exact (each once)."""
        ground = {g: self.dims["ground"][g] for g, _ in self.triads}
        excited = {e: self.dims["excited"][e] for _, e in self.triads}
        exact = [n for n in excited.values() if not 0 < self.krylov < n]
        return DENSE_SECONDS_PER_CUBE * sum(float(n) ** 3 for n in [*ground.values(), *exact])

    @property
    def krylov_seconds(self) -> float:
        """Engine CPU seconds of the Lanczos spectra of the triads whose core-hole symmetry
        takes them (see KRYLOV_SECONDS)."""
        steps, total = float(self.krylov), 0.0
        for g, e in self.triads:
            n = self.dims["excited"][e]
            if 0 < self.krylov < n:
                elements = triad_elements(self.sections, g, e)
                total += (KRYLOV_SECONDS * steps * steps * n + KRYLOV_PRODUCT_SECONDS * steps
                          * (elements.get("ham", 0.0) + elements.get("mix", 0.0)))
        return total

    @property
    def engine_seconds(self) -> float:
        """Engine CPU seconds, its dense reductions and Lanczos spectra (reading the blocks
        and the rest take seconds at most)."""
        return self.dense_seconds + self.krylov_seconds

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
        form = (f"binary store FTN99 (as text {mb(self.ftn14_bytes)})"
                if self.store == "binary" else "text FTN14")
        lines.append(f"  coefficient blocks about {mb(self.store_bytes)} in the {form}, "
                     f"builder memory about "
                     f"{mb(self.builder_bytes)}, engine work array about {self.engine_cells} "
                     f"cells ({mb(self.engine_bytes)}) for {len(self.triads)} triads")
        lines.append(f"  engine CPU about {duration(self.engine_seconds)}: "
                     f"{duration(self.dense_seconds)} in dense matrices, "
                     f"{duration(self.krylov_seconds)} in Lanczos spectra (every symmetry the "
                     f"ground state could have)")
        if self.krylov and self.largest("excited")[1] > self.krylov:
            lines.append(f"  spectra of core-hole symmetries of more than {self.krylov} states from "
                         f"{self.krylov} Lanczos steps (KRYLOV {self.krylov})")
        return "\n".join(lines)

    def problems(self, memory: float | None = None) -> list[str]:
        """Why the model cannot be built and run on a machine with ``memory`` bytes (default:
        this machine); empty when it fits."""
        memory = machine_bytes() if memory is None else memory
        # a build may take at most 80 % of the machine; the rest is left to the system
        usable = (f"more than the {mb(0.8 * memory)} (80 % of the machine's {mb(memory)}) "
                  "it may take")
        out = []
        if self.builder_bytes > 0.8 * memory:
            out.append(f"the builder would need about {mb(self.builder_bytes)} of memory, {usable}")
        if self.engine_cells > ENGINE_MAX_CELLS:
            out.append(f"the engine would need a work array of about {self.engine_cells} cells "
                       f"({mb(self.engine_bytes)}), more than it can take ({ENGINE_MAX_CELLS})")
        elif self.engine_bytes > 0.8 * memory:
            out.append(f"the engine would need about {mb(self.engine_bytes)} of memory, {usable}")
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


def store_cells(sections: Sequence[Sequence[Block]]) -> float:
    """Work-array cells the engine's coefficient store takes: every section is loaded for
    every triad (and stays until the triad ends), a matrix as three integers a row, a column
    and a value per element."""
    return sum(3.0 * b.rows + 2.0 * b.elements for blocks in sections for b in blocks)


def triad_elements(sections: Sequence[Sequence[Block]], ground: str,
                   excited: str) -> dict[str, float]:
    """Stored elements per kind ("ham", "mix", "tran") of the blocks one triad uses (its
    transition blocks, the Hamiltonian and hybridisation blocks of its two symmetries) in
    every section: the engine builds its blocks section by section, a configuration's
    Hamiltonian in each section holding it. "levels": the elements the band levels add to the
    Hamiltonians it assembles from them (each block once per level of its configuration)."""
    total: dict[str, float] = {}
    for blocks in sections:
        for b in blocks:
            k = b.key
            if (k[:1] == ("T",) and (k[1], k[3]) == (ground, excited)
                    or k[:1] == ("M",) and k[1] in (ground, excited)
                    or k[:1] == ("ground",) and k[2] == ground
                    or k[:1] == ("excited",) and k[2] == excited):
                total[b.kind] = total.get(b.kind, 0.0) + b.elements
                if b.kind != "tran":
                    total["levels"] = total.get("levels", 0.0) + (b.levels - 1) * b.elements
    return total


def triad_cells(ng: int, ne: int, store: float, elements: Mapping[str, float],
                krylov: int = 0) -> int:
    """Work-array cells of one triad of ground dimension ng and excited ne: its dense ground
    vectors (ng^2), the dense transition matrix (ng ne) or, with ``krylov`` Lanczos steps and
    more than that many core-hole states, the Lanczos vectors ((steps + 1) ne); the coefficient
    store (``store`` cells, see :func:`store_cells`); the triad's blocks built from it and
    the assembled sparse Hamiltonians (TRIAD_CELLS cells per stored element of each kind of
    the triad's blocks, ``elements``) and vectors (TRIAD_CELLS_PER_ROW per row)."""
    lanczos = 0 < krylov < ne
    dense = float(ng) * ng + (float(krylov + 1) * ne if lanczos else float(ng) * ne)
    return int(dense + TRIAD_CELLS_PER_ROW * (ng + ne) + store
               + sum(TRIAD_CELLS[kind] * n for kind, n in elements.items()))


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


@dataclass
class Counts:
    """What the estimate counts exactly: determinants per configuration, multiplicities and
    Hamiltonian dimensions per symmetry, the triads (ground, operator part, excited) and the
    number of hybridisation operators."""

    configs: dict[str, list[tuple[str, int]]]
    mults: dict[str, dict[str, list[int]]]
    dims: dict[str, dict[str, int]]
    irrep_dim: dict[str, int]
    triads: list[tuple[str, str, str]]
    nmix: int


def counts(model: IonModel, symmetry: Symmetry,
           triads: Sequence[tuple[str, ...]] | None = None) -> Counts:
    """The exact counts of ``model`` in ``symmetry`` (see :func:`estimate` for ``triads``)."""
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
    parts = symmetry.transition_labels()
    triads3: list[tuple[str, str, str]] = []
    wanted = triads if triads is not None else [(g, e) for g in mults["ground"]
                                                for e in mults["excited"]]
    for t in wanted:
        g, e = t[0], t[-1]
        for op in ([t[1]] if len(t) == 3 else parts):
            if e in mults["excited"] and e in symmetry.reached(g, op) \
                    and (g, op, e) not in triads3 and symmetry.keeps(g, op, e):
                triads3.append((g, op, e))
    nmix = 0
    if model.charge_transfer is not None:
        from .pointmodel import POINT_GROUPS, mixing_names

        nmix = len(mixing_names(model.symmetry)) if model.symmetry in POINT_GROUPS else 1
    return Counts(configs, mults, dims, irrep_dim, triads3, nmix)


def estimate(model: IonModel, symmetry: Symmetry,
             triads: Sequence[tuple[str, ...]] | None = None) -> Estimate:
    """The size of ``model`` in ``symmetry``.

    ``triads`` are the (ground, excited) label pairs, or (ground, operator part, excited)
    triples, to count; by default every pair the dipole operator connects (an upper bound, for
    the check before anything is built).
    """
    gconf, econf = model.configurations()
    n2, n3 = model.levels
    sides = {"ground": gconf, "excited": econf}
    cnt = counts(model, symmetry, triads)
    configs, mults, dims, irrep_dim, triads3, nmix = (cnt.configs, cnt.mults, cnt.dims,
                                                      cnt.irrep_dim, cnt.triads, cnt.nmix)
    triads = list(dict.fromkeys((g, e) for g, _, e in triads3))
    in_field = FieldBlocks(model, symmetry) if family(symmetry) == "field" else None
    sections = stored_blocks(model, symmetry, mults, triads3, nmix, in_field)
    ftn14 = text_bytes(sections, simple=family(symmetry) == "full",
                       value=TEXT_FIELD_VALUE if family(symmetry) == "field" else None)
    binary = chooses_binary(sum(b.elements for blocks in sections for b in blocks))
    coupled = symmetry.name in COUPLED_MIX
    used = {"ground": sorted({g for g, _ in triads}), "excited": sorted({e for _, e in triads})}

    def stored(kind: str, dense: float) -> float:
        """Elements expected in a transition block of ``dense`` elements."""
        return block_elements(family(symmetry), kind, 1, int(dense))

    npairs = min(len(gconf), len(econf))

    # the builder: for each configuration and symmetry the row-1 states over their sector,
    # the projected trial vectors (complex) and, for the ground symmetries, every row over the
    # whole configuration (complex); plus the dense matrices of the ground-state search
    peak = 0.0
    held_factored = False
    for s, cs in ({} if in_field else sides).items():
        for k, conf in enumerate(cs):
            if coupled and _ligand_open(conf):
                continue  # never written out (morvex7.ion.recoupling)
            for lab in used[s] or mults[s]:
                m = mults[s].get(lab, [0] * len(cs))[k]
                if m == 0:
                    continue
                sec = sector_size(symmetry, conf, lab)
                if symmetry.name == "O3":
                    # a configuration coupled with a spectator ligand: the dense sector
                    # matrices are those without the ligand; its states are written out over
                    # its determinants only for a block with a configuration coupled otherwise
                    inner = _inner_sector(symmetry, conf)
                    apart = [c for c in _partners(sides, s, k) if not _inner_sector(symmetry, c)]
                    factored = inner and not apart
                    held_factored |= bool(factored)
                    # for a transition block only: written once, with its copy on the way
                    copies = (SPHERICAL_DIPOLE_COPIES if inner and not any(c in cs for c in apart)
                              else SPHERICAL_STATE_COPIES)
                    arrays = 8.0 * (3 * (inner or sec) ** 2 + (0 if factored else copies * m * sec))
                else:
                    arrays = 8.0 * m * sec * 6
                    if s == "ground" and not coupled:
                        arrays += 16.0 * irrep_dim.get(lab, 1) * determinants(conf) * m
                peak = max(peak, arrays)
    if held_factored:
        # blocks made from factors are held sparse until written (those stored as factors
        # are small)
        peak += SPARSE_ELEMENT_BYTES * sum(b.elements for blocks in sections for b in blocks
                                           if not b.factored)
    if coupled:
        tran = transition_bytes(symmetry, mults, triads, npairs, lambda n: stored("tran", n))
        peak += coupled_bytes(sides, mults, used, nmix, COUPLED_MIX[symmetry.name], tran,
                              COUPLED_HELD[symmetry.name])
    if in_field is not None:
        peak = field_peak(in_field, mults, dims, used, triads3, [1, n2, n2 * n3])
    else:
        peak = max(peak, ground_phase_bytes(symmetry, sections, mults, dims["ground"], nmix,
                                            npairs, coupled, n2 * n3 > 1))
        if coupled:
            peak = max(peak, shell_adaptation_bytes(symmetry, gconf + econf))
    builder = BASE_BYTES + max(peak, writing_bytes(sections, binary))

    steps = krylov_steps(model, (dims["excited"][e] for _, e in triads))
    store = store_cells(sections)
    cells = max((triad_cells(dims["ground"][g], dims["excited"][e], store,
                             triad_elements(sections, g, e), steps)
                 for g, e in triads), default=ENGINE_BASE_CELLS)
    return Estimate(model, configs, mults, dims, list(triads), ftn14, builder, cells,
                    krylov=steps, sections=sections,
                    store="binary" if binary else "text",
                    store_bytes=binary_bytes(sections) if binary else ftn14)
