"""A finished engine run as Python objects: blocks, triads, ground states, spectra.

>>> run = Run.load("build/runs/charge_transfer")          # doctest: +SKIP
>>> t = run.triads[0]
>>> t.labels, t.ground.eg0, t.ground.ndeg                 # doctest: +SKIP
(('A1G', 'T1U', 'T1U'), -1.808524609, 1)
>>> s = t.sticks()            # energies E - Eg0, intensities amplitude**2 / ndeg  # doctest: +SKIP

Conventions
-----------
* Absorption blocks hold *signed amplitudes*; a line's intensity is the amplitude squared. The
  ``total`` the engine prints under such a block is the signed sum of the amplitudes.
* Auger spectra and intermediate-state tables hold *intensities*, summed by the engine over the
  ``ndeg`` degenerate ground states. :class:`AugerResult` keeps them as printed; :class:`Sticks`
  divides every intensity by ``ndeg`` (the average over the degenerate initial states).
* Energies are in the model's unit (eV by convention).
"""
from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

import numpy as np

from morvex7.commands import command_file_lines
from morvex7.readers import (AugerSizes, CommandFileMismatch, IntermediateTable, LayoutError,
                             LogBlock, LogFile,
                             RunDescription, SummaryLine, TriadRecord, YieldCurve, read_log,
                             read_ground_energies, read_intermediate_listing,
                             read_intermediate_plot, read_spectrum_file, read_yield_file)
from morvex7.sticks import Sticks

__all__ = ["GroundState", "AbsorptionBlock", "IntermediateStates", "OffResonance",
           "AugerResult", "Triad", "Block", "Run", "Sticks", "read_run"]

LOG_NAMES = ("log.txt", "stdout.txt", "morvex7.log")
STOP_NAMES = ("stop.txt", "stderr.txt")


@dataclass
class GroundState:
    """The ground state of one triad.

    Attributes
    ----------
    eg0 : float
        Lowest ground energy (10 significant digits).
    ndeg : int
        Number of degenerate lowest states.
    weights : tuple of 3 floats
        Weights of configurations 1, 2, 3, averaged over the ndeg states.
    lowest : ndarray
        The report's lowest energies, E(1..min(NG, ndeg + 10)), 5 decimals.
    energies : ndarray
        All NG ground energies from fort.43 (4 decimals), or ``lowest`` when fort.43 is absent.
    purities : ndarray
        Weight of configuration 1 in each of the first min(NG, 40) states.
    purity_energies : ndarray
        The energies printed beside the purities.
    """

    eg0: float
    ndeg: int
    weights: tuple[float, float, float]
    lowest: np.ndarray
    energies: np.ndarray
    purities: np.ndarray
    purity_energies: np.ndarray

    @property
    def ng(self) -> int | None:
        """Number of ground basis states when known (fort.43 or a short report)."""
        return len(self.energies) if self._all_energies else None

    _all_energies: bool = field(default=False, repr=False)


@dataclass
class AbsorptionBlock:
    """The absorption spectrum from one initial state.

    ``energies`` are the absolute excited energies, ``amplitudes`` the signed transition
    amplitudes, ``total`` the engine's printed signed sum of the amplitudes.
    """

    state: int
    initial_energy: float
    energies: np.ndarray
    amplitudes: np.ndarray
    total: float

    @property
    def intensities(self) -> np.ndarray:
        """amplitude**2, not divided by the degeneracy."""
        return self.amplitudes ** 2


@dataclass
class IntermediateStates:
    """Intermediate (core-hole) states of an Auger calculation.

    Attributes
    ----------
    energy : ndarray
        Energies relative to the lowest ground energy (Ea - Eg0), as printed (F10.4).
    intensity : ndarray
        Squared amplitudes from the ground state, summed over the ndeg degenerate states.
    width : ndarray
        Auger width pi*W(a,a): the imaginary part of the state's energy in the resonance
        denominator, i.e. its half width at half maximum (the extra width GAMMA is not included).
    total_intensity : float or None
        The engine's total of the intensities (fort.45/46), when those files were read.
    """

    energy: np.ndarray
    intensity: np.ndarray
    width: np.ndarray
    total_intensity: float | None = None

    # plural spellings, for symmetry with the Auger steps
    energies = property(lambda self: self.energy)
    intensities = property(lambda self: self.intensity)
    widths = property(lambda self: self.width)


@dataclass
class OffResonance:
    """The step-0 point of an Auger scan, computed at photon energy 10000 (far above every
    resonance). The total-yield file prints it at ESTART - ESTEP; it is not part of the curves.
    """

    photon_energy: float
    printed_energy: float | None
    energies: np.ndarray
    intensities: np.ndarray
    total_yield: float
    total_absorption: float
    label: str = "off-resonance reference (photon energy 10000, not a point of the scan)"


@dataclass
class AugerResult:
    """The resonant Auger results of one triad.

    Attributes
    ----------
    photon_energies : ndarray
        ESTART + i*ESTEP for i = 0..NOMEGA-1 (scan steps 1..NOMEGA; only the steps written
        when the run stopped early).
    steps : list of (energies, intensities)
        The Auger spectrum of each scan step: absolute final-state energies and intensities
        summed over the ndeg degenerate ground states, as printed (lines closer than 1e-4 and
        very weak lines already merged by the engine).
    intermediate : IntermediateStates or None
        None when the symmetry has no intermediate state (a direct spectrum only).
    total_yield, total_absorption : ndarray
        Per scan step, from the total-yield file (absorption NaN when that file is missing).
    off_resonance : OffResonance or None
        The step-0 reference point, kept apart from the curves.
    """

    nomega: int
    estart: float
    estep: float
    gamma: float
    photon_energies: np.ndarray
    steps: list[tuple[np.ndarray, np.ndarray]]
    intermediate: IntermediateStates | None
    total_yield: np.ndarray
    total_absorption: np.ndarray
    off_resonance: OffResonance | None
    sizes: AugerSizes | None = None


@dataclass(eq=False)
class Block:
    """One band-calculation block: its commands, effective parameters and triads.

    ``params`` holds the values in force for the block's triads, including those inherited from
    earlier blocks (N2, N3, W, DEL, UCV, UVV, EG1..3, EF1..3, DIP, ERANGE, NCONF, BANDSHAPE,
    AUGER and, in Auger runs, NOMEGA, ESTART, ESTEP, GAMMA, EFAUG<c>_<k>, DIPAUG<c>, CI<c>).
    DEF lines are evaluated as the engine evaluates them; their text is in ``definitions``.
    """

    number: int
    params: dict
    command_lines: list[str]
    definitions: dict[str, str]
    operators: list[str]
    ignored_words: list[str]
    triads: list["Triad"] = field(default_factory=list)
    log: LogBlock | None = None

    def __repr__(self) -> str:
        return f"Block({self.number}, {len(self.triads)} triads)"


@dataclass(eq=False)
class Triad:
    """One calculation: ground symmetry, operator, excited symmetry."""

    index: int
    number_in_block: int
    labels: tuple[str, str, str]
    block: Block
    ground: GroundState
    absorption: list[AbsorptionBlock]
    auger: AugerResult | None
    extra_label: str | None = None
    description: RunDescription | None = None
    summary: SummaryLine | None = None
    ne: int | None = None
    command_lines: list[str] = field(default_factory=list)   # the echoed triad line(s)

    def __repr__(self) -> str:
        kind = "Auger" if self.auger else "absorption"
        return f"Triad({self.index}, {' '.join(self.labels)}, {kind}, Eg0={self.ground.eg0})"

    @property
    def title(self) -> str:
        """'A1G -> T1U -> T1U' style title."""
        return " \u2192 ".join(self.labels)

    def provenance(self, kind: str | None = None, absolute: bool = False) -> dict:
        """Where this triad's numbers come from, for file headers, titles and legends.

        Labels, title, triad and block number, the block's parameters, Eg0, ndeg, the
        configuration weights of the ground state, unit, whether energies are absolute and, when
        given, `kind` (what the numbers are: "absorption", "intermediate states", ...).
        """
        meta = {"labels": self.labels, "title": self.title, "triad": self.index,
                "block": self.block.number, "params": dict(self.block.params),
                "eg0": self.ground.eg0, "ndeg": self.ground.ndeg,
                "configuration_weights": self.ground.weights, "unit": "eV",
                "absolute": absolute}
        if kind is not None:
            meta["kind"] = kind
        return meta

    def sticks(self, absolute: bool = False) -> Sticks:
        """The stick spectrum of this triad's excitation.

        Parameters
        ----------
        absolute : bool
            False (default): transition energies E_f - E_i (E_i the line's initial state,
            Eg0 for the lowest ones); True: the same plus Eg0 (for lines from the lowest
            states the engine's absolute final-state energies).

        Returns
        -------
        Sticks
            Absorption triads: every line of every initial-state block, intensity =
            amplitude**2 / ndeg (no Boltzmann weights: see
            :func:`morvex7.ion.spectra.combined_sticks` for spectra at a temperature). Auger triads: the intermediate states (intensity / ndeg,
            amplitude NaN), or, without intermediate states, the direct spectrum.
        """
        g = self.ground
        shift = 0.0 if absolute else g.eg0
        if self.auger is None:
            n_init = len(self.absorption)
            if n_init and n_init != g.ndeg:
                warnings.warn(f"triad {self.index}: {n_init} initial states within ERANGE but "
                              f"degeneracy {g.ndeg}; intensities are divided by {g.ndeg}",
                              stacklevel=2)
            if not self.absorption:
                return Sticks.empty(self.provenance("absorption", absolute))
            # a line from initial state i sits at E_f - E_i: shift each block by its own
            # initial energy (blocks above Eg0 are the thermally populated states)
            e = np.concatenate([b.energies - initial_excess(b.initial_energy, g.eg0)
                                for b in self.absorption]) - shift
            a = np.concatenate([b.amplitudes for b in self.absorption])
            st = np.concatenate([np.full(len(b.energies), b.state) for b in self.absorption])
            return Sticks(e, a ** 2 / g.ndeg, a, st, np.full(len(e), self.index),
                          self.provenance("absorption", absolute))
        inter = self.auger.intermediate
        if inter is not None:
            e = inter.energy + (g.eg0 if absolute else 0.0)
            n = len(e)
            return Sticks(e, inter.intensity / g.ndeg, np.full(n, np.nan), np.ones(n, int),
                          np.full(n, self.index), self.provenance("intermediate states", absolute))
        if self.auger.steps:
            e, i = self.auger.steps[0]
        elif self.auger.off_resonance is not None:
            e, i = self.auger.off_resonance.energies, self.auger.off_resonance.intensities
        else:
            return Sticks.empty(self.provenance("direct", absolute))
        n = len(e)
        return Sticks(e - shift, i / g.ndeg, np.full(n, np.nan), np.ones(n, int),
                      np.full(n, self.index), self.provenance("direct", absolute))

    def auger_sticks(self, step: int, absolute: bool = False) -> Sticks:
        """The Auger spectrum of scan step `step` (1..NOMEGA; 0 is the off-resonance point).

        Energies are final-state energies minus Eg0 (absolute on request); intensities are
        divided by ndeg.
        """
        if self.auger is None:
            raise ValueError(f"triad {self.index} is not an Auger calculation")
        if step == 0:
            if self.auger.off_resonance is None:
                raise ValueError("no off-resonance record")
            e, i = self.auger.off_resonance.energies, self.auger.off_resonance.intensities
            kind = "Auger off-resonance reference"
        elif 1 <= step <= len(self.auger.steps):
            e, i = self.auger.steps[step - 1]
            kind = f"Auger step {step}"
        else:
            raise IndexError(f"step {step} outside 0..{len(self.auger.steps)}")
        n = len(e)
        meta = self.provenance(kind, absolute)
        if step:
            meta["photon_energy"] = float(self.auger.photon_energies[step - 1])
        return Sticks(e - (0.0 if absolute else self.ground.eg0), i / self.ground.ndeg,
                      np.full(n, np.nan), np.ones(n, int), np.full(n, self.index), meta)


@dataclass(eq=False)
class Run:
    """The results of one engine run, read from its directory.

    Attributes
    ----------
    directory : Path
    blocks : list of Block
        Blocks whose commands took effect (a block ended by TRIADS), in run order.
    triads : list of Triad
        All triads in run order; ``Triad.index`` is 1-based.
    stop_text : str or None
        The engine's stop text (stop.txt), e.g. "STOP Normal end because of end of file on input".
    log : str or None
        The engine's standard output when kept beside the results (log.txt).
    finished : bool
        fort.44 ends with the run's FINISHED record.
    """

    directory: Path
    blocks: list[Block]
    triads: list[Triad]
    stop_text: str | None
    log: str | None
    finished: bool = True
    files: list[str] = field(default_factory=list)
    #: the RIXS maps of fort.47 (morvex7.rixs.RixsMap), one per polarisation pair
    rixs: list = field(default_factory=list)

    def __repr__(self) -> str:
        return f"Run({str(self.directory)!r}, {len(self.blocks)} blocks, {len(self.triads)} triads)"

    @classmethod
    def load(cls, directory: str | Path) -> "Run":
        """Read every result file of a run directory.

        fort.44 is required; fort.43, fort.45, fort.46, fort.62... and the log are used when
        present and checked against fort.44; the RIXS maps of fort.47 go to ``rixs``. A run
        whose stop text reports an abnormal end may have an incomplete fort.44: what it holds
        is read and ``finished`` is False.

        Raises
        ------
        FileNotFoundError
            No fort.44 in the directory.
        LayoutError
            A file departs from its layout, or the files disagree with each other.
        """
        d = Path(directory)
        stop = _first_text(d, STOP_NAMES)
        log_text = _first_text(d, LOG_NAMES)
        abnormal = stop is not None and "Normal end" not in stop
        spectra = _read_with_command_file(d, not abnormal)
        files = ["fort.44"]
        log = None
        if log_text is not None:
            name = next(n for n in LOG_NAMES if (d / n).is_file())
            try:
                log = read_log(d / name, log_text)
            except LayoutError as err:   # the result files stand on their own
                warnings.warn(f"the log is not used: {err}", stacklevel=2)
        return _assemble(cls, d, spectra, stop, log_text, log, files)

    def sticks(self, triads: Sequence["Triad | int"] | None = None,
               weights: Sequence[float] | None = None, absolute: bool = False) -> Sticks:
        """Weighted combination of the stick spectra of several triads.

        Parameters
        ----------
        triads : sequence of Triad or 1-based triad index, optional
            Default: every triad of the run.
        weights : sequence of float, optional
            One weight per triad (default 1 each); intensities are multiplied by it.
        absolute : bool
            Absolute energies instead of E - Eg0 (each triad's own Eg0).
        """
        for t in triads or []:
            if not isinstance(t, Triad) and not 1 <= t <= len(self.triads):
                raise ValueError(f"triad {t}: the run in {self.directory} has triads 1 to "
                                 f"{len(self.triads)}" if self.triads else
                                 f"triad {t}: the run in {self.directory} has no triad")
        chosen = list(self.triads) if triads is None else [
            t if isinstance(t, Triad) else self.triads[t - 1] for t in triads]
        w = [1.0] * len(chosen) if weights is None else list(weights)
        if len(w) != len(chosen):
            raise ValueError(f"{len(w)} weights for {len(chosen)} triads")
        return Sticks.combine([(t.sticks(absolute=absolute), wt) for t, wt in zip(chosen, w)])


def initial_excess(initial: float, eg0: float) -> float:
    """E_i - Eg0 of an initial state; 0 when unknown or below 1e-4 eV (the printed initial
    energies are rounded: a degenerate state stays exactly at Eg0)."""
    d = initial - eg0
    return d if np.isfinite(d) and abs(d) > 1e-4 else 0.0


def read_run(directory: str | Path) -> Run:
    """Read a run directory; the same as :meth:`Run.load`."""
    return Run.load(directory)


def _read_with_command_file(d: Path, require_finished: bool):
    """fort.44 read with the run's command file when it is there and is the one the echo
    shows (it holds the columns beyond 79 that the echo cuts off)."""
    if (d / "fort.50").is_file():
        try:
            return read_spectrum_file(d / "fort.44", require_finished,
                                      command_file_lines(d / "fort.50"))
        except CommandFileMismatch as err:
            warnings.warn(f"fort.50 is not the command file of this run ({err}); the "
                          f"parameters come from the echo alone", stacklevel=3)
    return read_spectrum_file(d / "fort.44", require_finished)


def _first_text(d: Path, names: Iterable[str]) -> str | None:
    for n in names:
        if (d / n).is_file():
            return (d / n).read_text(errors="replace")
    return None


def _assemble(cls, d: Path, spectra, stop, log_text, log: LogFile | None, files: list[str]) -> Run:
    energies43 = None
    if (d / "fort.43").is_file():
        energies43 = read_ground_energies(d / "fort.43")
        files.append("fort.43")
        if len(energies43) != len(spectra.triads) and spectra.finished:
            raise LayoutError(d / "fort.43", 0, f"{len(spectra.triads)} lists of ground energies "
                              f"(one per triad of fort.44)", f"{len(energies43)} lists")
    plots = listings = None
    if (d / "fort.45").is_file():
        plots = read_intermediate_plot(d / "fort.45")
        files.append("fort.45")
    if (d / "fort.46").is_file():
        listings = read_intermediate_listing(d / "fort.46")
        files.append("fort.46")
    yields: dict[int, list[YieldCurve]] = {}
    log_blocks = {b.number: b for b in log.blocks} if log else {}
    auger_sizes = list(log.auger_sizes) if log else []
    blocks: list[Block] = []
    triads: list[Triad] = []
    n_inter = 0
    for br in spectra.blocks:
        if not br.complete:
            continue
        blk = Block(br.number, br.params, br.command_lines, br.definitions, br.operators,
                    br.ignored_words, log=log_blocks.get(br.number))
        _check_against_log(blk)
        blocks.append(blk)
        for tr in br.triads:
            gs = _ground(tr, energies43, d, _ground_dim(log, tr))
            t = Triad(tr.index, tr.number_in_block, tr.labels, blk, gs, [], None, tr.extra_label,
                      command_lines=tr.command_lines)
            if tr.auger:
                k = tr.number_in_block
                name = f"fort.{61 + k}"
                if k not in yields and (d / name).is_file():
                    yields[k] = read_yield_file(d / name)
                    files.append(name)
                inter_plot = None
                if tr.intermediate is not None:
                    inter_plot = _take(plots, n_inter, tr, "fort.45", d)
                    listing = _take(listings, n_inter, tr, "fort.46", d)
                    n_inter += 1
                    if listing is not None:
                        t.description = listing.description
                sizes = auger_sizes.pop(0) if auger_sizes else None
                t.auger = _auger(tr, br.params, yields.get(k), inter_plot, sizes, d / name)
            else:
                t.absorption = [AbsorptionBlock(i + 1, b.bra_energy, b.energies, b.values, b.total)
                                for i, b in enumerate(tr.blocks)]
                for i, b in enumerate(t.absorption):
                    if np.isnan(b.initial_energy) and i < len(gs.lowest):
                        b.initial_energy = float(gs.lowest[i])
                if tr.summary is not None:
                    t.description, t.summary, t.ne = (tr.summary.description,
                                                      tr.summary.summary, tr.summary.ne)
            if t.description is not None:
                _check_description(blk, t)
            blk.triads.append(t)
            triads.append(t)
    rixs = []
    if (d / "fort.47").is_file():
        from morvex7.rixs import read_rixs_file

        rixs = read_rixs_file(d / "fort.47")
        files.append("fort.47")
    return cls(d, blocks, triads, stop, log_text, spectra.finished, files, rixs)


def _photon_energies_of(curve: YieldCurve, photon: np.ndarray, estart: float, estep: float,
                        tr: TriadRecord, ypath: Path) -> tuple[np.ndarray, float, float]:
    """The photon energies of the scan, checked against those the yield file prints (F12.5).

    ESTART and ESTEP come from the command echo, which may miss words beyond its 79 columns;
    the yield file prints the energies themselves. On a difference: warn, take the file's.
    """
    printed = curve.energy
    if len(printed) != len(photon) or np.allclose(photon, printed, rtol=0, atol=6e-6,
                                                  equal_nan=True):
        return photon, estart, estep
    warnings.warn(f"triad {tr.index}: photon energies ESTART={estart!r}, ESTEP={estep!r} from "
                  f"the command echo, but {ypath} (line {curve.line}) prints "
                  f"{printed[0]:g}, {printed[1] if len(printed) > 1 else np.nan:g}, ...; the "
                  f"file's energies are used", stacklevel=4)
    step = float(printed[1] - printed[0]) if len(printed) > 1 else estep
    return printed.copy(), float(printed[0]), step


def _check_against_log(blk: Block) -> None:
    """Compare the parameters recovered from the echo with the numbers of the log's Auger
    report (3 or 5 decimals); on a difference warn and take the log's value."""
    lb = blk.log
    if lb is None or not lb.auger:
        return
    p = blk.params
    pairs = [("DIP", lb.dip, 5e-6)]
    pairs += [(f"EG{k + 1}", lb.eg[k], 5e-4) for k in range(3)]
    pairs += [(f"EF{k + 1}", lb.ef[k], 5e-4) for k in range(3)]
    for c in range(1, 10):
        if f"CI{c}" in p:
            pairs += [(f"EFAUG{c}_{k + 1}", lb.efaug[c - 1, k], 5e-4) for k in range(3)]
            pairs += [(f"DIPAUG{c}", lb.dipaug[c - 1], 5e-6), (f"CI{c}", lb.ci[c - 1], 5e-6)]
    for key, logged, tol in pairs:
        if key in p and np.isfinite(logged) and abs(p[key] - logged) > tol * max(1.0, abs(logged)):
            warnings.warn(f"block {blk.number}: {key} = {p[key]!r} from the command echo, "
                          f"{logged!r} in the log (line {lb.line}); the log's value is used",
                          stacklevel=3)
            p[key] = float(logged)


def _check_description(blk: Block, t: Triad) -> None:
    """Compare the parameters recovered from the echo with the run description the engine
    quotes (N2, N3, W, DEL, UVV, UCV); on a difference warn and take the quoted value."""
    desc, p = t.description, blk.params
    for key, quoted, tol in (("N2", desc.n2, 0), ("N3", desc.n3, 0), ("W", desc.w, 5e-4),
                             ("DEL", desc.delta, 5e-4), ("UVV", desc.uvv, 5e-4),
                             ("UCV", desc.ucv, 5e-4)):
        if quoted is None or not np.isfinite(quoted) or abs(p[key] - quoted) <= tol:
            continue
        warnings.warn(f"block {blk.number}: {key} = {p[key]!r} from the command echo, "
                      f"{quoted!r} in the run description of triad {t.index}; the quoted value "
                      f"is used (a command line longer than 79 columns?)", stacklevel=3)
        p[key] = quoted


def _ground_dim(log: LogFile | None, tr: TriadRecord) -> int | None:
    """The number of ground states of triad `tr` as the log gives it (the dimension of the
    ground matrix), when the log's ground-state report of that triad is the one of fort.44."""
    k = tr.index - 1
    if log is None or k >= len(log.ground) or k >= len(log.ground_dims):
        return None
    eg0, ndeg, _ = log.ground[k]
    same = eg0 == tr.ground.eg0 or (eg0 != eg0 and tr.ground.eg0 != tr.ground.eg0)
    return log.ground_dims[k] if same and ndeg == tr.ground.ndeg else None


def _ground(tr: TriadRecord, energies43, d: Path, ng: int | None) -> GroundState:
    g = tr.ground
    full = energies43 is not None and tr.index <= len(energies43)
    if full:
        e = energies43[tr.index - 1]
        n = min(len(e), 40)
        if len(g.purities) != n or len(g.lowest) != min(len(e), g.ndeg + 10):
            raise LayoutError(d / "fort.43", 0, f"for triad {tr.index} as many energies as "
                              f"fort.44's report implies (NG={len(e)} gives {n} purities, "
                              f"{min(len(e), g.ndeg + 10)} lowest energies)",
                              f"{len(g.purities)} purities, {len(g.lowest)} lowest energies")
        # fort.44 reports only the first 40 states; the log says how many there are
        if ng is not None and len(e) != ng:
            raise LayoutError(d / "fort.43", 0, f"{ng} ground-state energies for triad "
                              f"{tr.index} (the dimension of its ground matrix in the log)",
                              f"{len(e)} energies (the file is cut or lines are lost)")
    else:
        e = g.lowest
        full = len(g.lowest) < g.ndeg + 10
    return GroundState(g.eg0, g.ndeg, g.weights, g.lowest, e, g.purities, g.purity_energies,
                       _all_energies=full)


def _take(items, n: int, tr: TriadRecord, name: str, d: Path):
    if items is None:
        return None
    if n >= len(items):
        raise LayoutError(d / name, 0, f"a block for triad {tr.index} (it has intermediate "
                          f"states in fort.44)", f"{len(items)} blocks")
    item = items[n]
    table = getattr(item, "table", None)
    energy = table.energy if table is not None else item.energy
    tol = 0.006 if table is None else 6e-5
    ref = tr.intermediate.energy
    if len(energy) != len(ref) or not np.allclose(energy, ref, atol=tol, equal_nan=True):
        raise LayoutError(d / name, item.line, f"the intermediate states of triad {tr.index} "
                          f"as in fort.44", f"{len(energy)} states")
    return item


def _auger(tr: TriadRecord, params: dict, curves: list[YieldCurve] | None, plot,
           sizes: AugerSizes | None, ypath: Path) -> AugerResult:
    nomega = int(params.get("NOMEGA", len(tr.blocks) - 1))
    estart = float(params.get("ESTART", np.nan))
    estep = float(params.get("ESTEP", np.nan))
    blocks = tr.blocks
    steps = [(b.energies, b.values) for b in blocks[1:]]
    # the steps written: all NOMEGA, fewer when the run stopped early
    photon = estart + estep * np.arange(min(max(nomega, 0), len(steps)))
    curve = None
    if curves is not None and nomega >= 0:
        if not curves:
            raise LayoutError(ypath, 0, f"a total-yield curve for triad {tr.index}",
                              "no further curve")
        curve = curves.pop(0)
        if curve.nomega != nomega:
            raise LayoutError(ypath, curve.line, f"NOMEGA={nomega} records for triad "
                              f"{tr.index}", str(curve.nomega))
    if curve is not None:
        ty, ta = curve.yield_, curve.absorption
        photon, estart, estep = _photon_energies_of(curve, photon, estart, estep, tr, ypath)
    else:
        ty = np.array([b.total for b in blocks[1:]])
        ta = np.full(len(ty), np.nan)
    off = None
    if blocks:
        b0 = blocks[0]
        off = OffResonance(10000.0, curve.off_resonance_printed_energy if curve else None,
                           b0.energies, b0.values,
                           curve.off_resonance_yield if curve else b0.total,
                           curve.off_resonance_absorption if curve else float("nan"))
    inter = None
    if tr.intermediate is not None:
        it: IntermediateTable = tr.intermediate
        inter = IntermediateStates(it.energy, it.intensity, it.width,
                                   plot.total_intensity if plot is not None else None)
    return AugerResult(nomega, estart, estep, float(params.get("GAMMA", 0.0)), photon, steps,
                       inter, ty, ta, off, sizes)
