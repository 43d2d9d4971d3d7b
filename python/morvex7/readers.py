"""Readers of the files the morvex7 engine writes, exact to their fixed-column layouts.

Every reader works on the columns the engine's FORMAT statements define, never on
whitespace-split guesses: two numbers that touch (``-1.80852-123.45678``) are still two fields.

* A numeric field written as asterisks (the value did not fit its width) becomes NaN, with a
  :class:`FieldOverflowWarning` naming the file and the line.
* A file that does not follow the layout raises :class:`LayoutError` naming the file, the line
  and what was expected there. No value is ever guessed.

Readers
-------
read_spectrum_file   fort.44: command echo, ground-state reports, spectra, BAND/FINISHED markers
read_ground_energies fort.43: every ground-state energy, one list per triad
read_intermediate_plot     fort.45: intermediate-state plot blocks (Auger runs)
read_intermediate_listing  fort.46: intermediate-state listings (Auger runs)
read_yield_file      fort.62, fort.63, ...: total-yield curves (Auger runs)
read_log             the engine's standard output: block headers, Auger channel report, sizes
"""
from __future__ import annotations

import math
import os
import re
import stat
import warnings
from array import array
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from morvex7.commands import CommandInterpreter, EchoSource, EndOfCommands

__all__ = [
    "LayoutError", "CommandFileMismatch", "FieldOverflowWarning", "TruncatedEchoWarning",
    "GroundReport", "MatrixBlock", "IntermediateTable",
    "AbsorptionSummary", "RunDescription", "TriadRecord", "BlockRecord", "SpectrumFile",
    "YieldCurve", "IntermediatePlot", "IntermediateListing", "LogBlock", "AugerSizes", "LogFile",
    "read_spectrum_file", "read_ground_energies", "read_intermediate_plot",
    "read_intermediate_listing", "read_yield_file", "read_log",
]


class LayoutError(ValueError):
    """A file does not follow the layout the engine writes.

    Attributes
    ----------
    path : str
        The file.
    line : int
        1-based line number (0 when the whole file is concerned).
    expected : str
        What the layout requires at that place.
    """

    def __init__(self, path: str | Path, line: int, expected: str, found: str | None = None):
        self.path, self.line, self.expected, self.found = str(path), line, expected, found
        where = f"{path}, line {line}" if line else str(path)
        msg = f"{where}: expected {expected}"
        if found is not None:
            msg += f"; found {found[:100]!r}" if found else "; found the end of the file"
        super().__init__(msg)


class FieldOverflowWarning(UserWarning):
    """A numeric field was written as asterisks; its value is NaN."""


class CommandFileMismatch(LayoutError):
    """An echoed command line differs from the command file given to the reader."""


class TruncatedEchoWarning(UserWarning):
    """An echoed command line fills all 79 columns: the line may have gone on."""


# ---------------------------------------------------------------------------------------------
# Line cursor and fixed-column fields
# ---------------------------------------------------------------------------------------------

class _TextLines:
    """readline() over a str, which it does not copy (io.StringIO holds 4 bytes a character)."""

    def __init__(self, text: str) -> None:
        self.text, self.at = text, 0

    def readline(self) -> str:
        end = self.text.find("\n", self.at) + 1 or len(self.text)
        line, self.at = self.text[self.at:end], end
        return line

    def close(self) -> None:
        pass


class Lines:
    """The lines of a text file, read one at a time with a cursor; line numbers are 1-based.

    Only the line ahead of the cursor and the last few lines read are held, so a file of any
    size is read in bounded memory.
    """

    #: How many lines read are kept for error messages that quote an earlier line.
    RECENT = 64

    def __init__(self, path: str | Path, text: str | None = None):
        self.path = Path(path)
        if text is None:
            # as Path.read_text: the locale's encoding, universal newlines
            self._source = open(self.path, errors="replace")
            st = os.fstat(self._source.fileno())
            self.size = st.st_size if stat.S_ISREG(st.st_mode) else None
        else:
            self._source = _TextLines(text)        # lines end at "\n" only, as str.split
            self.size = len(text)
        self.pos = 0
        self.memo: dict = {}                        # labels read, each kept once
        # The last line has no line end: a writer that stopped in the middle of a record.
        self.cut_short = False
        self._cut_line = 0
        self._recent: deque[tuple[int, str]] = deque(maxlen=self.RECENT)
        self._ahead = self._read()

    def _read(self) -> str | None:
        line = self._source.readline()
        if not line:
            self._source.close()
            return None
        if line.endswith("\n"):
            line = line[:-1]
        else:
            self.cut_short, self._cut_line = True, self.pos + 1
        return line[:-1] if line.endswith("\r") else line

    def __del__(self) -> None:
        source = getattr(self, "_source", None)
        if source is not None:
            source.close()

    @property
    def lineno(self) -> int:
        """Number of the line the cursor is on (the next line to be read)."""
        return self.pos + 1

    def at_end(self) -> bool:
        return self._ahead is None

    def peek(self) -> str | None:
        return self._ahead

    def next(self, expected: str) -> str:
        """Return the current line and advance; at the end of the file raise LayoutError."""
        line = self._ahead
        if line is None:
            raise LayoutError(self.path, self.lineno, expected, "")
        self.pos += 1
        self._recent.append((self.pos, line))
        self._ahead = self._read()
        return line

    def text_of(self, lineno: int, default: str = "") -> str:
        """The text of line `lineno` when it is one of the last lines read (or the next one)."""
        if lineno == self.pos + 1 and self._ahead is not None:
            return self._ahead
        for n, line in reversed(self._recent):
            if n == lineno:
                return line
        return default

    def at_most(self, count: int, chars_each: int) -> int:
        """`count`, or fewer when the file is too short to hold `count` items of at least
        `chars_each` characters: room to preallocate for a count read from the file, which a
        damaged file may make arbitrarily large (such a file ends before the room is used)."""
        return max(0, count if self.size is None else min(count, self.size // chars_each + 8))

    def once(self, value):
        """`value`, or an equal one read before (repeated labels are held once)."""
        return self.memo.setdefault(value, value)

    def expect_prefix(self, prefix: str, expected: str | None = None) -> str:
        line = self.next(expected or repr(prefix))
        if not line.startswith(prefix):
            raise LayoutError(self.path, self.pos, expected or f"a line starting {prefix!r}", line)
        return line

    def error(self, expected: str, line: str | None = None,
              lineno: int | None = None) -> LayoutError:
        lineno = lineno if lineno is not None else self.pos
        if self.cut_short and lineno == self._cut_line and line:
            expected += " (the file ends inside this line: it is cut short)"
        return LayoutError(self.path, lineno, expected, line)


_REAL = re.compile(r"^\s*[-+]?(\d+\.?\d*|\.\d+)([EeDd][-+]?\d+)?\s*$")
_INT = re.compile(r"^\s*[-+]?\d+\s*$")


def real_field(text: str, lines: Lines, lineno: int, what: str) -> float:
    """Read one fixed-column real field; asterisks give NaN with a warning."""
    s = text.strip()
    if s and set(s) == {"*"}:
        warnings.warn(f"{lines.path}, line {lineno}: {what} was written as {s} (too wide for its "
                      f"field); read as NaN", FieldOverflowWarning, stacklevel=3)
        return float("nan")
    if s in ("NaN", "-NaN", "+NaN", "Infinity", "-Infinity", "+Infinity", "Inf", "-Inf"):
        return float(s.replace("Infinity", "inf"))
    if not _REAL.match(text) or not s:
        raise lines.error(f"{what} as a number in columns of width {len(text)}",
                          lines.text_of(lineno, text), lineno)
    return float(s.replace("D", "E").replace("d", "e"))


def int_field(text: str, lines: Lines, lineno: int, what: str, stars: int | None = None) -> int:
    """Read one fixed-column integer field.

    Asterisks are accepted only when the caller knows the value (``stars``), which is returned.
    """
    s = text.strip()
    if s and set(s) == {"*"}:
        if stars is not None:
            return stars
        raise lines.error(f"{what} as an integer (the field overflowed)",
                          lines.text_of(lineno), lineno)
    if not _INT.match(text):
        raise lines.error(f"{what} as an integer in columns of width {len(text)}",
                          lines.text_of(lineno, text), lineno)
    return int(s)


def reals_in_columns(line: str, start: int, width: int, lines: Lines, lineno: int, what: str,
                     count: int | None = None) -> list[float]:
    """Read consecutive real fields of one width from column `start` to the end of the line."""
    body = line[start:].rstrip()
    n = -(-len(body) // width) if count is None else count
    if count is not None and len(body) > count * width:
        raise lines.error(f"{count} fields of {what}", line, lineno)
    # the last field may have lost trailing blanks only if fields are right-aligned: never here
    if count is None and len(body) % width:
        raise lines.error(f"fields of {what}, {width} columns each", line, lineno)
    return [real_field(line[start + k * width:start + (k + 1) * width], lines, lineno, what)
            for k in range(n)]


# ---------------------------------------------------------------------------------------------
# Records shared by several files
# ---------------------------------------------------------------------------------------------

@dataclass
class RunDescription:
    """The 70-character run description quoted by the engine's summary records.

    Holds N2 and N3 (one digit each; None when printed as ``*``), W, DEL, UVV, UCV (F7.3 each)
    and the first five characters of the three triad labels.
    """

    n2: int | None
    n3: int | None
    w: float
    delta: float
    uvv: float
    ucv: float
    labels: tuple[str, str, str]
    text: str


def parse_description(text: str, lines: Lines, lineno: int) -> RunDescription:
    text = text.ljust(70)

    def digit(c: str) -> int | None:
        if c == "*":
            return None
        if not c.isdigit():
            raise lines.error("N2 and N3 as one digit each at the start of the run description",
                              lines.text_of(lineno), lineno)
        return int(c)

    vals = [real_field(text[2 + 7 * k:9 + 7 * k], lines, lineno, name)
            for k, name in enumerate(("W", "DEL", "UVV", "UCV"))]
    labels = (text[55:60].strip(), text[60:65].strip(), text[65:70].strip())
    return RunDescription(digit(text[0]), digit(text[1]), *vals, labels=labels, text=text)


def _counted_description(cur: Lines, record: str, count: str) -> tuple[int, RunDescription]:
    """The record (I5, "  '", run description, "'") opening a label block or a listing."""
    line = cur.next(f"{record} (I5, \"  '\", run description, \"'\")")
    if len(line) != 79 or line[5:8] != "  '" or line[78] != "'":
        raise cur.error(f"{record} (I5, \"  '\", 70 characters, \"'\")", line)
    return (int_field(line[0:5], cur, cur.pos, count),
            parse_description(line[8:78], cur, cur.pos))


@dataclass
class SummaryLine:
    """The ``%Eg=`` record: lowest energy, degeneracy, next energy, configuration weights."""

    eg: float
    ndeg: int
    first_excited: float
    weights: tuple[float, float, float]


def parse_eg_record(line: str, lines: Lines, lineno: int) -> SummaryLine:
    # (A,F9.4,A,I3,A,F9.4,A,3F6.3)
    if not (line.startswith("%Eg=") and line[13:19] == " NDeg=" and line[22:32] == " : 1stExE="
            and line[41:48] == " Charc="):
        raise lines.error("the record '%Eg=...  NDeg=... : 1stExE=... Charc=...'", line, lineno)
    eg = real_field(line[4:13], lines, lineno, "Eg")
    nd = int_field(line[19:22], lines, lineno, "NDeg")
    ex = real_field(line[32:41], lines, lineno, "1stExE")
    w = tuple(real_field(line[48 + 6 * k:54 + 6 * k], lines, lineno, f"weight {k + 1}")
              for k in range(3))
    return SummaryLine(eg, nd, ex, w)  # type: ignore[arg-type]


# ---------------------------------------------------------------------------------------------
# fort.44, the spectrum file
# ---------------------------------------------------------------------------------------------

@dataclass
class GroundReport:
    """The ground-state report of one triad (written before its spectra).

    ``weights`` are already divided by ``ndeg``; ``lowest`` are the energies E(1..min(NG,
    ndeg+10)); ``purity_energies``/``purities`` the table of E(k) and the weight of
    configuration 1 in state k, k = 1..min(NG, 40).
    """

    eg0: float
    ndeg: int
    weights: tuple[float, float, float]
    lowest: np.ndarray
    purity_energies: np.ndarray
    purities: np.ndarray
    line: int


@dataclass(slots=True)
class MatrixBlock:
    """One ``TRANSFORMED MATRIX FOR TRIAD`` block: a spectrum as a one-row matrix.

    ``values`` are signed transition amplitudes in an absorption spectrum and line intensities in
    an Auger spectrum; ``total`` is the printed sum of ``values`` (signed for amplitudes).
    ``step`` is the photon-energy step of an Auger spectrum, None for an absorption block.
    """

    labels: tuple[str, str, str]
    step: int | None
    bra_energy: float
    energies: np.ndarray
    values: np.ndarray
    total: float
    index1: int
    index2: int
    line: int


@dataclass
class IntermediateTable:
    """A table of intermediate states: energy relative to Eg(1), intensity, Auger width."""

    energy: np.ndarray
    intensity: np.ndarray
    width: np.ndarray
    line: int


@dataclass
class AbsorptionSummary:
    """The three records after the absorption spectra of a triad."""

    ne: int
    description: RunDescription
    summary: SummaryLine
    line: int


@dataclass
class TriadRecord:
    """Everything fort.44 holds about one triad."""

    index: int                    # 1-based, over the whole run
    number_in_block: int          # 1-based within its band-calculation block
    block_number: int
    labels: tuple[str, str, str]
    extra_label: str | None       # the fourth label of a PRMULT triad line
    command_lines: list[str]      # echo lines read for this triad
    auger: bool
    ground: GroundReport
    blocks: list[MatrixBlock] = field(default_factory=list)
    intermediate: IntermediateTable | None = None
    summary: AbsorptionSummary | None = None
    line: int = 0


@dataclass
class BlockRecord:
    """One band-calculation block of fort.44."""

    number: int
    command_lines: list[str]
    params: dict
    definitions: dict[str, str]
    operators: list[str]
    ignored_words: list[str]
    triads: list[TriadRecord]
    complete: bool                # TRIADS was read (the block's commands took effect)
    finished: bool                # its FINISHED marker after ENDTRIADS was written
    line: int


@dataclass
class SpectrumFile:
    """Contents of fort.44."""

    path: Path
    blocks: list[BlockRecord]
    finished: bool                # the end-of-input FINISHED record is present
    truncated: str | None = None  # why reading stopped early (require_finished=False only)

    @property
    def triads(self) -> list[TriadRecord]:
        return [t for b in self.blocks for t in b.triads]


_HEADER = " TRANSFORMED MATRIX FOR TRIAD ( "
_BAND = re.compile(r"^BAND( \d|\d\d|\*\*)$")


def _is_finished(line: str | None) -> bool:
    return line is not None and line.strip() == "FINISHED" and len(line) < 80


def _parse_ground_report(cur: Lines) -> GroundReport:
    start = cur.lineno
    line = cur.expect_prefix(" Ground state energy Eg0=", "the ground-state report "
                             "(' Ground state energy Eg0=...')")
    n = cur.pos
    if line[42:44] != " (" or line[48:55] != " times)":
        raise cur.error("' Ground state energy Eg0=' G17.10 ' (' I4 ' times)'", line, n)
    eg0 = real_field(line[25:42], cur, n, "Eg0")
    ndeg = int_field(line[44:48], cur, n, "the degeneracy")
    head = " Weight of configurations 1,2,3 in the ground state:"
    line = cur.expect_prefix(head)
    weights = tuple(real_field(line[52 + 8 * k:60 + 8 * k], cur, cur.pos, f"weight {k + 1}")
                    for k in range(3))
    line = cur.expect_prefix(" Lowest few energies ")
    if line[21:30].strip():
        raise cur.error("the lowest energies from column 31", line)
    lowest = reals_in_columns(line, 30, 10, cur, cur.pos, "a lowest energy")
    if len(lowest) > 5:
        raise cur.error("at most 5 energies on the 'Lowest few energies' line", line)
    while cur.peek() is not None and not cur.peek().startswith(" energies and purities"):
        line = cur.next("further lowest energies")
        if line == "" and len(lowest) == 5:
            continue                 # exactly 5 energies: the format's '/' leaves an empty record
        if len(line.rstrip()) > 80:
            raise cur.error("at most 8 lowest energies per line", line)
        lowest += reals_in_columns(line, 0, 10, cur, cur.pos, "a lowest energy")
    line = cur.next("' energies and purities'")
    if line.strip() != "energies and purities":
        raise cur.error("' energies and purities'", line)
    pe, pp = [], []
    pair = re.compile(r"^[ \-+\d.*]{10}[ \-+\d.*]{6}$")
    while len(pe) < 40 and cur.peek() is not None:
        line = cur.peek()
        body = line.rstrip()
        if not body or len(body) > 80 or len(body) % 16 or not all(
                pair.match(body[k:k + 16]) and body[k:k + 10].strip() and body[k + 10:k + 16].strip()
                for k in range(0, len(body), 16)):
            break
        cur.next("")
        for k in range(0, len(body), 16):
            pe.append(real_field(body[k:k + 10], cur, cur.pos, "an energy of the purity table"))
            pp.append(real_field(body[k + 10:k + 16], cur, cur.pos, "a purity"))
        if len(body) < 80:
            break
    if not pe:
        raise cur.error("the table of energies and purities (F10.5, F6.3 pairs)", cur.peek(),
                        cur.lineno)
    for what, values, line_no in (("lowest energies", lowest, start + 2),
                                  ("energies of the purity table", pe, cur.pos)):
        if not ascending(values):
            raise LayoutError(cur.path, line_no, f"the {what} in ascending order (lines "
                              "moved or swapped?)", " ".join(f"{v:.5f}" for v in values[:8]))
    return GroundReport(eg0, ndeg, weights, np.array(lowest), np.array(pe), np.array(pp), start)  # type: ignore[arg-type]


def ascending(values) -> bool:
    """Whether the numbers never decrease (NaN, an overflowed field, is passed over)."""
    last = -math.inf
    for v in values:
        if v != v:
            continue
        if v < last:
            return False
        last = v
    return True


def _parse_matrix_block(cur: Lines, step: int | None) -> MatrixBlock:
    """One matrix block; `step` is the Auger step expected (None for an absorption block)."""
    start = cur.lineno
    line = cur.expect_prefix(_HEADER, "a ' TRANSFORMED MATRIX FOR TRIAD ( ' header")
    if (line[40:41] != " " or line[49:50] != " " or line[58:64] != " ) (1*"
            or line[71:79] != ") DIM : "
            or line[81:87] != " : 0 :" or line[89:] != " ACTOR MULTIPOLE"):
        raise cur.error("the header layout (A,a8,1x,a8,1x,a8,1x,') (1*',I7,') DIM : ',I2,"
                        "' : 0 :',I2,' ACTOR MULTIPOLE')", line)
    field2 = line[41:49]
    label2 = field2.strip()
    if step:                          # step i > 0: I3 step number, then the 5-character label
        want = f"{step:3d}" if step < 1000 else "***"
        if field2[:3] != want:
            raise cur.error(f"the Auger spectrum of step {step} (step number in columns 42-44)",
                            line)
        label2 = field2[3:].strip()
    labels = cur.once((line[32:40].strip(), label2, line[50:58].strip()))
    m = int_field(line[64:71], cur, start, "the number of lines")
    i1 = int_field(line[79:81], cur, start, "the first block index")
    i2 = int_field(line[87:89], cur, start, "the second block index")
    # each line takes at least 20 characters: 10 in a row of energies, 10 in a row of values
    room = cur.at_most(m, 20)
    energies, values = np.empty(room), np.empty(room)
    bra = float("nan")
    for g in range(0, m, 7):
        k = min(7, m - g)
        if g + k > energies.size:                   # the file grew while it was read
            energies, values = _grown(energies, m), _grown(values, m)
        line = cur.expect_prefix(" BRA/KET :", "a ' BRA/KET :' row of energies")
        if len(line.rstrip()) != 10 + 10 * k:
            raise cur.error(f"' BRA/KET :' and {k} energies (F10.5) for {m} lines", line)
        energies[g:g + k] = reals_in_columns(line, 10, 10, cur, cur.pos, "an energy", count=k)
        line = cur.next("a row of values (F9.5, ':', F10.6 ...)")
        if len(line) < 10 or line[9] != ":" or len(line.rstrip()) != 10 + 10 * k:
            raise cur.error(f"a row of {k} values: F9.5, ':', then F10.6 fields", line)
        b = real_field(line[:9], cur, cur.pos, "the bra energy")
        if g == 0:
            bra = b
        values[g:g + k] = reals_in_columns(line, 10, 10, cur, cur.pos, "a value", count=k)
    line = cur.expect_prefix(" Total intensity ", "the closing ' Total intensity ' record")
    total = real_field(line[17:26], cur, cur.pos, "the total")
    if len(line.rstrip()) > 26:
        raise cur.error("' Total intensity ' and one F9.5 field", line)
    return MatrixBlock(labels, step, bra, energies, values, total, i1, i2, start)


def _grown(a: np.ndarray, limit: int) -> np.ndarray:
    out = np.empty(min(limit, max(2 * a.size, 64)))
    out[:a.size] = a
    return out


def _floats(values: array) -> np.ndarray:
    """A float array from numbers collected in an ``array('d')`` (8 bytes each)."""
    return np.array(values, dtype=float)


def _parse_intermediate_table(cur: Lines) -> IntermediateTable:
    start = cur.lineno
    line = cur.next("'%FORMAT  1(F10.4,F10.6) '")
    if line.rstrip() != "%FORMAT  1(F10.4,F10.6)":
        raise cur.error("'%FORMAT  1(F10.4,F10.6) '", line)
    line = cur.next("the column titles '%   Energy Intensity       Gamma    I'")
    if line.rstrip() != "%   Energy Intensity       Gamma    I":
        raise cur.error("the column titles '%   Energy Intensity       Gamma    I'", line)
    e, i, w = array("d"), array("d"), array("d")
    while True:
        line = cur.next("a row (F10.4,F10.6,F12.6,I5) or '%END'")
        if line.rstrip() == "%END":
            break
        n = cur.pos
        if len(line.rstrip()) != 37:
            raise cur.error("a row of the intermediate-state table (F10.4,F10.6,F12.6,I5)", line)
        e.append(real_field(line[0:10], cur, n, "an intermediate energy"))
        i.append(real_field(line[10:20], cur, n, "an intermediate intensity"))
        w.append(real_field(line[20:32], cur, n, "an Auger width"))
        # asterisks stand for a state number beyond the I5 field only
        got = int_field(line[32:37], cur, n, "the state number",
                        stars=len(e) if len(e) > 99999 else None)
        if got != len(e):
            raise cur.error(f"state number {len(e)}", line)
    return IntermediateTable(_floats(e), _floats(i), _floats(w), start)


def _parse_absorption_summary(cur: Lines) -> AbsorptionSummary:
    start = cur.lineno
    ne, desc = _counted_description(cur, "the label record", "NE")
    line = cur.next("'%Output of Pelko , MORVEX7'")
    if line != "%Output of Pelko , MORVEX7":
        raise cur.error("'%Output of Pelko , MORVEX7'", line)
    summ = parse_eg_record(cur.next("the '%Eg=' record"), cur, cur.pos)
    return AbsorptionSummary(ne, desc, summ, start)


class _Echo(EchoSource):
    """Feeds the command interpreter with the echoed command lines of fort.44."""

    def __init__(self, cur: Lines, full: list[str] | None = None):
        self.cur = cur
        self.taken: list[str] = []
        self.full = full           # the command file's lines, when known
        self.count = 0

    def next_line(self) -> str:
        line = self.cur.peek()
        if line is None:
            raise EndOfCommands(finished=False)
        if _is_finished(line):
            self.cur.next("")
            raise EndOfCommands(finished=True)
        if not line.startswith(" ") or len(line) > 80 or re.search(r"[a-z]", line):
            raise self.cur.error("the echo of a command line (a blank, then the upper-cased line)",
                                 line, self.cur.lineno)
        self.cur.next("")
        self.count += 1
        if self.full is not None:
            k = self.count
            full = self.full[k - 1] if k <= len(self.full) else None
            if full is None or full[:79].rstrip() != line[1:80].rstrip():
                raise CommandFileMismatch(self.cur.path, self.cur.pos, f"the echo of line {k} "
                                          f"of the command file", line)
            self.taken.append(full.rstrip())
            return full
        if len(line.rstrip()) == 80:
            warnings.warn(f"{self.cur.path}, line {self.cur.pos}: the echo shows only the first "
                          f"79 columns of a command line; words after them are not seen",
                          TruncatedEchoWarning, stacklevel=2)
        self.taken.append(line[1:].rstrip())
        return line[1:80]


def read_spectrum_file(path: str | Path, require_finished: bool = True,
                       command_lines: list[str] | None = None) -> SpectrumFile:
    """Read fort.44, the spectrum file.

    Parameters
    ----------
    path : str or Path
        The file.
    require_finished : bool
        Whether the file must end with the run's FINISHED record (see Raises).
    command_lines : list of str, optional
        The run's command file as the engine reads it (:func:`morvex7.commands.
        command_file_lines`). The echo shows only 79 columns of each line; with the command
        file, words beyond them are read too. Every echoed line must then match its line of
        the command file (:class:`CommandFileMismatch` otherwise).

    Returns
    -------
    SpectrumFile
        Its band-calculation blocks with their command lines, effective parameters and triads.
        A triad holds its ground-state report and either its absorption blocks (one per initial
        state, signed amplitudes) with the closing summary records, or its Auger output (the
        intermediate-state table and one block of intensities per photon-energy step, step 0
        being the off-resonance point).

    Raises
    ------
    LayoutError
        When the file departs from the layout; the message names the line. With
        ``require_finished=False`` (a run known to have stopped early) a file that simply ends is
        accepted: what it holds up to its end is returned, with ``finished`` False and the
        reason in ``truncated``.
    """
    cur = Lines(path)
    blocks: list[BlockRecord] = []
    try:
        return _read_spectrum(cur, blocks, command_lines)
    except LayoutError as err:
        if require_finished or not (err.found == "" and cur.at_end()):
            raise
        return SpectrumFile(cur.path, blocks, False, str(err))


def _read_spectrum(cur: Lines, blocks: list[BlockRecord], full: list[str] | None
                   ) -> SpectrumFile:
    echo = _Echo(cur, full)
    interp = CommandInterpreter(echo)
    finished = False
    tindex = 0
    while not cur.at_end():
        line = cur.next("'BAND' and the block number")
        if not _BAND.match(line):
            raise cur.error("'BAND' followed by the block number (I2)", line)
        bnum = len(blocks) + 1
        bstart = cur.pos
        echo.taken = []
        try:
            interp.read_block()
        except EndOfCommands as end:
            if not end.finished:
                raise cur.error("a command line or the FINISHED record", "", cur.lineno) from None
            finished = True
            if not cur.at_end():
                raise cur.error("the end of the file after the final FINISHED record",
                                cur.peek(), cur.lineno)
            if echo.taken:
                blocks.append(BlockRecord(bnum, echo.taken, interp.snapshot(),
                                          dict(interp.definitions), list(interp.operators),
                                          list(interp.ignored), [], False, False, bstart))
            break
        block = BlockRecord(bnum, echo.taken, interp.snapshot(), dict(interp.definitions),
                            list(interp.operators), list(interp.ignored), [], True, False, bstart)
        blocks.append(block)
        while True:
            echo.taken = []
            tline = cur.lineno
            try:
                labels = interp.read_triad()
            except EndOfCommands as end:
                if not end.finished:
                    raise cur.error("a triad line, ENDTRIADS or the FINISHED record", "",
                                    cur.lineno) from None
                finished = True
                if not cur.at_end():
                    raise cur.error("the end of the file after the final FINISHED record",
                                    cur.peek(), cur.lineno)
                return SpectrumFile(cur.path, blocks, True)
            if labels is None:           # ENDTRIADS
                block.command_lines += echo.taken
                line = cur.next("the FINISHED record after ENDTRIADS")
                if not _is_finished(line):
                    raise cur.error("the FINISHED record after ENDTRIADS", line)
                block.finished = True
                break
            tindex += 1
            auger = bool(block.params.get("AUGER"))
            ground = _parse_ground_report(cur)
            tr = TriadRecord(tindex, len(block.triads) + 1, bnum, labels[:3],
                             labels[3] if len(labels) > 3 else None, echo.taken, auger,
                             ground, line=tline)
            block.triads.append(tr)
            if auger:
                _parse_auger_output(cur, tr, block.params)
            else:
                while cur.peek() is not None and cur.peek().startswith(_HEADER):
                    tr.blocks.append(_parse_matrix_block(cur, step=None))
                tr.summary = _parse_absorption_summary(cur)
                for b in tr.blocks:
                    if len(b.values) != tr.summary.ne:
                        raise LayoutError(cur.path, b.line, f"{tr.summary.ne} lines (NE of the "
                                          f"label record)", str(len(b.values)))
    if not finished:
        raise LayoutError(cur.path, cur.lineno, "the FINISHED record that ends every complete "
                          "run (the file is truncated or the run stopped early)", "")
    return SpectrumFile(cur.path, blocks, finished)


def _parse_auger_output(cur: Lines, tr: TriadRecord, params: dict) -> None:
    if cur.peek() is not None and cur.peek().startswith("%FORMAT"):
        tr.intermediate = _parse_intermediate_table(cur)
    # The steps of a scan share their final-state energies: equal ones are held once (read
    # only), so a long scan costs about its intensities alone.
    shared = None
    while cur.peek() is not None and cur.peek().startswith(_HEADER):
        b = _parse_matrix_block(cur, step=len(tr.blocks))
        if shared is not None and b.energies.tobytes() == shared.tobytes():
            b.energies = shared
        else:
            shared = b.energies
            shared.flags.writeable = False
        tr.blocks.append(b)
    nomega = params.get("NOMEGA")
    if isinstance(nomega, int):
        want = max(nomega + 1, 0)
        if len(tr.blocks) != want:
            raise LayoutError(cur.path, cur.lineno, f"{want} Auger spectra (NOMEGA={nomega}, "
                              f"steps 0..NOMEGA) for triad {tr.index}, not {len(tr.blocks)}",
                              "" if cur.at_end() else cur.peek())


# ---------------------------------------------------------------------------------------------
# fort.43
# ---------------------------------------------------------------------------------------------

def read_ground_energies(path: str | Path) -> list[np.ndarray]:
    """Read fort.43: for every triad of the run, all its NG ground-state energies.

    Layout: per triad, pairs (index I4, energy F10.4), five pairs per line; every triad's list
    starts on a new line with index 1.
    """
    cur = Lines(path)
    lists: list[array] = []
    while not cur.at_end():
        line = cur.next("")
        n = cur.pos
        body = line.rstrip()
        if cur.cut_short and cur.at_end():
            # The engine writes whole lines only: a last line without its line end was cut,
            # and a cut between two pairs would otherwise read as a shorter list.
            raise cur.error("a whole line of pairs", line, n)
        if not body or len(body) > 70 or len(body) % 14:
            raise cur.error("1 to 5 pairs (I4, F10.4)", line)
        for k in range(0, len(body), 14):
            nxt = len(lists[-1]) + 1 if lists else 1
            idx = int_field(body[k:k + 4], cur, n, "the state index",
                            stars=nxt if nxt > 9999 else None)
            if idx == 1 and k == 0:
                lists.append(array("d"))
            elif not lists or idx != len(lists[-1]) + 1:
                raise cur.error(f"state index {len(lists[-1]) + 1 if lists else 1}", line)
            lists[-1].append(real_field(body[k + 4:k + 14], cur, n, "a ground-state energy"))
        if len(body) < 70 and not cur.at_end() and not cur.peek().startswith("   1"):
            raise cur.error("a new list starting with index 1 after a short line", cur.peek(),
                            cur.lineno)
        if not ascending(lists[-1][-1 - len(body) // 14:]):
            raise cur.error("the ground-state energies in ascending order (lines moved or "
                            "swapped?)", line, n)
    return [_floats(x) for x in lists]


# ---------------------------------------------------------------------------------------------
# fort.62, fort.63, ... total yield
# ---------------------------------------------------------------------------------------------

@dataclass
class YieldCurve:
    """One total-yield curve (one Auger triad).

    ``energy``/``yield_``/``absorption`` hold steps 1..NOMEGA, the plot block. The record of
    step 0, computed far above the resonances (photon energy 10000) but printed at
    ESTART − ESTEP, is kept apart in ``off_resonance_*`` and is not part of the curve.
    """

    estart: float | None
    nomega: int
    description: str | None
    energy: np.ndarray
    yield_: np.ndarray
    absorption: np.ndarray
    off_resonance_printed_energy: float
    off_resonance_yield: float
    off_resonance_absorption: float
    line: int

    off_resonance_photon_energy: float = 10000.0


def _yield_record(line: str, cur: Lines, step: int) -> tuple[float, float, float]:
    n = cur.pos
    if len(line.rstrip()) != 41:
        raise cur.error("a yield record (2F12.5,I5,F12.5)", line)
    got = int_field(line[24:29], cur, n, "the step number", stars=step if step > 99999 else None)
    if got != step:
        raise cur.error(f"the record of step {step}", line)
    return (real_field(line[0:12], cur, n, "the photon energy"),
            real_field(line[12:24], cur, n, "the yield"),
            real_field(line[29:41], cur, n, "the absorption"))


def _take_record(cols: tuple[array, array, array], record: tuple[float, float, float]) -> None:
    cols[0].append(record[0])
    cols[1].append(record[1])
    cols[2].append(record[2])


def read_yield_file(path: str | Path) -> list[YieldCurve]:
    """Read a total-yield file (fort.62 for the first triad of a block, fort.63 ...).

    A later band-calculation block with an Auger triad of the same number appends its curve to
    the same file, so the file may hold several curves, in run order.
    """
    cur = Lines(path)
    curves: list[YieldCurve] = []
    while not cur.at_end():
        start = cur.lineno
        e0, y0, a0 = _yield_record(cur.next(""), cur, 0)
        if cur.peek() == "%END":                       # NOMEGA = 0
            cur.next("")
            curves.append(YieldCurve(None, 0, None, np.zeros(0), np.zeros(0), np.zeros(0),
                                     e0, y0, a0, start))
            continue
        if cur.at_end():
            raise cur.error("'%XYLINE' or '%END' after the record of step 0", "", cur.lineno)
        for text in ("%XYLINE", "%PARAMETER0 OUTPUT OF MORVEX   TOTAL YIELD"):
            line = cur.next(repr(text))
            if line != text:
                raise cur.error(repr(text), line)
        line = cur.expect_prefix("%PARAMETER1", "'%PARAMETER1' and the run description")
        desc = line[11:]
        line = cur.next("'%ESTART=' F10.4 ' NOMEGA=' I4")
        if not line.startswith("%ESTART=") or line[18:26] != " NOMEGA=":
            raise cur.error("'%ESTART=' F10.4 ' NOMEGA=' I4", line)
        estart = real_field(line[8:18], cur, cur.pos, "ESTART")
        # NOMEGA above 9999 overflows its I4 field: the records themselves, numbered by step
        # up to '%END', then say how many there are.
        head = cur.pos
        nomega = int_field(line[26:30], cur, cur.pos, "NOMEGA", stars=-1)
        line = cur.next("'%FORMAT  1(F12.5,F12.5)'")
        if line != "%FORMAT  1(F12.5,F12.5)":
            raise cur.error("'%FORMAT  1(F12.5,F12.5)'", line)
        line = cur.next("the column titles")
        if line.rstrip() != "%     energy       yield         absorption":
            raise cur.error("the column titles '%     energy       yield         absorption'", line)
        cols = (array("d"), array("d"), array("d"))
        if nomega >= 0:
            for i in range(1, nomega + 1):
                _take_record(cols, _yield_record(cur.next(f"the record of step {i}"), cur, i))
        else:
            while cur.peek() is not None and cur.peek() != "%END":
                _take_record(cols, _yield_record(cur.next(""), cur, len(cols[0]) + 1))
            nomega = len(cols[0])
            if nomega < 10000:
                raise LayoutError(cur.path, head, "NOMEGA as an integer (asterisks only for "
                                  f"10000 or more records; {nomega} follow)", "****")
        line = cur.next(f"'%END' after {nomega} records (NOMEGA={nomega})")
        if line != "%END":
            raise cur.error(f"'%END' after {nomega} records (NOMEGA={nomega})", line)
        curves.append(YieldCurve(estart, nomega, desc, *(_floats(c) for c in cols),
                                 e0, y0, a0, start))
    return curves


# ---------------------------------------------------------------------------------------------
# fort.45 and fort.46, intermediate states
# ---------------------------------------------------------------------------------------------

@dataclass
class IntermediatePlot:
    """One block of fort.45: the intermediate-state table of an Auger triad with its summary."""

    description: str
    table: IntermediateTable
    summary: SummaryLine
    total_intensity: float
    line: int


@dataclass
class IntermediateListing:
    """One block of fort.46: intermediate energies relative to Eg(1) (F8.2) and the integer
    part of 10000 × intensity, with the summary records."""

    description: RunDescription
    energy: np.ndarray
    intensity_e4: np.ndarray
    summary: SummaryLine
    total_intensity: float
    line: int


def _total_record(cur: Lines) -> float:
    line = cur.expect_prefix("%TotalIntensity=")
    return real_field(line[16:26], cur, cur.pos, "the total intensity")


def _closing(cur: Lines) -> None:
    line = cur.next("'%OUTPUT OF MORVEX INTERMEDIATE STATE'")
    if line != "%OUTPUT OF MORVEX INTERMEDIATE STATE":
        raise cur.error("'%OUTPUT OF MORVEX INTERMEDIATE STATE'", line)


def read_intermediate_plot(path: str | Path) -> list[IntermediatePlot]:
    """Read fort.45, one block per Auger triad that has intermediate states."""
    cur = Lines(path)
    out = []
    while not cur.at_end():
        start = cur.lineno
        for text in ("%OUTOUT FOR TALVEN", "%PARAMETER0 OUTPUT OF MORVEX INTERMEDIATE STATE"):
            line = cur.next(repr(text))
            if line != text:
                raise cur.error(repr(text), line)
        line = cur.expect_prefix("%Number Of Data=")
        noa = int_field(line[16:21], cur, cur.pos, "the number of states")
        desc = cur.expect_prefix("%PARAMETER1 ")[12:]
        table = _parse_intermediate_table(cur)
        if len(table.energy) != noa:
            raise LayoutError(cur.path, table.line, f"{noa} rows ('%Number Of Data=')",
                              str(len(table.energy)))
        summ = parse_eg_record(cur.next("the '%Eg=' record"), cur, cur.pos)
        total = _total_record(cur)
        _closing(cur)
        out.append(IntermediatePlot(desc, table, summ, total, start))
    return out


def read_intermediate_listing(path: str | Path) -> list[IntermediateListing]:
    """Read fort.46, one block per Auger triad that has intermediate states."""
    cur = Lines(path)
    out = []
    while not cur.at_end():
        start = cur.lineno
        noa, desc = _counted_description(cur, "the listing header", "the number of states")
        e, i = array("d"), array("d")
        while len(e) < noa:
            line = cur.next("pairs (F8.2, I8) of the listing")
            k = min(5, noa - len(e))
            if len(line.rstrip()) != 16 * k:
                raise cur.error(f"{k} pairs (F8.2, I8)", line)
            for j in range(k):
                e.append(real_field(line[16 * j:16 * j + 8], cur, cur.pos, "an energy"))
                i.append(real_field(line[16 * j + 8:16 * j + 16], cur, cur.pos,
                                    "an intensity × 10000"))
        summ = parse_eg_record(cur.next("the '%Eg=' record"), cur, cur.pos)
        total = _total_record(cur)
        _closing(cur)
        out.append(IntermediateListing(desc, _floats(e), _floats(i), summ, total, start))
    return out


# ---------------------------------------------------------------------------------------------
# Standard output
# ---------------------------------------------------------------------------------------------

@dataclass
class LogBlock:
    """A band-calculation header of the log, with the Auger channel report when present."""

    number: int
    auger: bool
    dip: float | None = None
    eg: tuple[float, float, float] | None = None
    ef: tuple[float, float, float] | None = None
    efaug: np.ndarray | None = None      # (9, 3)
    dipaug: np.ndarray | None = None     # (9,)
    ratio: np.ndarray | None = None      # DIPAUG / DIP / 3.6878178
    ci: np.ndarray | None = None         # (9,)
    line: int = 0


@dataclass
class AugerSizes:
    """The ' nog= ... ndeg=' line of an Auger calculation."""

    nog: int
    nof: int
    noa: int
    nob: int
    ndeg: int
    line: int


@dataclass
class LogFile:
    """What the log adds to the result files."""

    blocks: list[LogBlock]
    ground: list[tuple[float, int, tuple[float, float, float]]]
    auger_sizes: list[AugerSizes]
    multiplicities: list[tuple[str, str, int, int]]   # (kind, label, mult, dim) per look-up
    text: str
    #: per ground-state report, the dimension of the ground matrix diagonalised for it (the
    #: number of ground states fort.43 lists); None when the log does not say
    ground_dims: list[int | None] = field(default_factory=list)


def read_log(path: str | Path, text: str | None = None) -> LogFile:
    """Read the engine's standard output (kept as log.txt by the package's runners).

    The log mixes many messages; the records read here have fixed layouts: the block headers and
    the Auger channel report, the ground-state reports, the Auger size line and the
    multiplicity look-ups.
    """
    if text is None:
        text = Path(path).read_text(errors="replace")
    cur = Lines(path, text)
    blocks: list[LogBlock] = []
    ground: list = []
    sizes: list[AugerSizes] = []
    mults: list = []
    dims: list[int | None] = []
    ground_dim: int | None = None
    while not cur.at_end():
        line = cur.next("")
        n = cur.pos
        if line.startswith(" Data required for symmetry "):
            # (a,a,a,i3,a,i9): the text, the 20-character label, ' state=', '   dimension '
            if line[48:55] != " state=" or line[58:71] != "   dimension ":
                raise cur.error("' Data required for symmetry ' A20 ' state=' I3 "
                                "'   dimension ' I9", line)
            if int_field(line[55:58], cur, n, "the state") == 1:
                ground_dim = int_field(line[71:80], cur, n, "the dimension")
            continue
        if line.startswith(" Band calculation number"):
            blocks.append(LogBlock(int_field(line[24:27], cur, n, "the block number",
                                             stars=len(blocks) + 1), False, line=n))
        elif line.startswith(" Auger calculation number"):
            b = LogBlock(int_field(line[25:28], cur, n, "the block number",
                                   stars=len(blocks) + 1), True, line=n)
            line = cur.expect_prefix(" DIPXAS  ")
            b.dip = real_field(line[9:19], cur, cur.pos, "DIP")
            line = cur.expect_prefix(" EGRND  ")
            b.eg = tuple(reals_in_columns(line, 8, 10, cur, cur.pos, "EG", count=3))  # type: ignore
            line = cur.expect_prefix(" EFXAS  ")
            b.ef = tuple(reals_in_columns(line, 8, 10, cur, cur.pos, "EF", count=3))  # type: ignore
            efaug, dipaug, ratio, ci = (np.zeros((9, 3)), np.zeros(9), np.zeros(9), np.zeros(9))
            for c in range(9):
                line = cur.expect_prefix(f" EFAUG{c + 1:2d}", f"the EFAUG line of channel {c + 1}")
                m = cur.pos
                if line[35:40] != ": DIP" or line[50:51] != "(" or line[61:66] != ")  CI":
                    raise cur.error("' EFAUG' I2 3F9.3 ': DIP' F10.5 '(' F10.5 ')  CI' F10.5",
                                    line)
                efaug[c] = reals_in_columns(line[:35], 8, 9, cur, m, "EFAUG", count=3)
                dipaug[c] = real_field(line[40:50], cur, m, "the channel DIP")
                ratio[c] = real_field(line[51:61], cur, m, "the channel transition factor")
                ci[c] = real_field(line[66:76], cur, m, "CI")
            b.efaug, b.dipaug, b.ratio, b.ci = efaug, dipaug, ratio, ci
            blocks.append(b)
        elif line.startswith(" Ground state energy Eg0="):
            eg0 = real_field(line[25:42], cur, n, "Eg0")
            nd = int_field(line[44:48], cur, n, "the degeneracy")
            line = cur.expect_prefix(" Weight of configurations 1,2,3 in the ground state:")
            w = tuple(real_field(line[52 + 8 * k:60 + 8 * k], cur, cur.pos, "a weight")
                      for k in range(3))
            ground.append((eg0, nd, w))
            dims.append(ground_dim)
            ground_dim = None
        elif line.startswith(" nog="):
            # (10(a,i6)): ' nog=' ' nof=' ' noa=' ' nob=' then ' ndeg=', one character longer
            if line[44:50] != " ndeg=":
                raise cur.error("' nog=' I6 ' nof=' I6 ' noa=' I6 ' nob=' I6 ' ndeg=' I6", line)
            vals = [int_field(line[a:a + 6], cur, n, name) for a, name in
                    zip((5, 16, 27, 38, 50), ("nog", "nof", "noa", "nob", "ndeg"))]
            sizes.append(AugerSizes(*vals, line=n))
        elif line.startswith(" multiplicity found "):
            # (A,A8,2X,A6,A,I5,A,I2)
            kind, label = line[20:28].strip(), line[30:36].strip()
            mult = int_field(line[43:48], cur, n, "the multiplicity")
            dim = int_field(line[54:56], cur, n, "the dimension", stars=-1)
            mults.append((kind, label, mult, dim))
    return LogFile(blocks, ground, sizes, mults, _joined_lines(text), dims)


def _joined_lines(text: str) -> str:
    """The lines of `text` as :class:`Lines` reads them (a CR before each line end dropped),
    joined by line ends, without a list of them."""
    text = text.replace("\r\n", "\n")
    return text[:-1] if text.endswith(("\n", "\r")) else text
