"""The engine's binary coefficient store (FTN99) and the model files that go with it.

The engine loads one section of reduced-matrix blocks per configuration pair, either from the
text file FTN14 or, with OLDCOWAN in the command file, from FTN99: unformatted sequential
records, each framed by its length in bytes (4-byte little-endian) before and after. Per
section:

1. two integers: the section's total element count and its number of matrices;
2. per matrix its element count and its row count, interleaved (2 integers per matrix);
3. per matrix three records: the row index (per row: value position, column position, element
   count; positions count from any base, the engine re-bases them on the lowest, so a row
   without elements sits at the base with count 0), the columns of the elements (1-based,
   ascending within a row) and their values (4-byte reals).

A matrix whose element count in record 2 is negative is square and symmetric, stored as its
upper triangle in four records: one word a row (twice the number of the row's elements right
of the diagonal, plus 1 when it has one on the diagonal; the rows follow each other, no
positions), the values on the diagonal, and the columns and values of the elements right of
the diagonal, row by row. -count is the number of elements of the whole matrix, which the
engine expands it to on loading (the section header's total counts those). The writer stores a square matrix so when its 4-byte
values are exactly symmetric: the engine then computes exactly what it does from the full
matrix, with about half of the file.

A matrix whose row count in record 2 is negative is stored as sums of Kronecker products of
small factors, in six records that the engine assembles on loading (see morvex7.factored); its
element count is that of the assembled matrix.

All integers are 4-byte little-endian. The model builder writes FTN99 directly for large models
(no text to format or parse) together with a stub FTN14: the engine opens FTN14 even when it
reads the store. The stub holds only comment lines (the matrices' shapes among them), so an
engine that is not told OLDCOWAN stops at its end without reading or writing the store.

A model directory whose FTN14 is such a stub is a *binary-store model*: FTN99 is then one of
its input files, which every run directory gets (linked when possible, never written), and its
command file must say OLDCOWAN.
"""
from __future__ import annotations

import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .factored import FactorError, check_positions, from_records, layout_sizes

COEFFICIENT_FILE = "FTN14"
STORE_FILE = "FTN99"
#: The first line of a stub FTN14: what marks a binary-store model.
STUB_MARK = "% morvex7 coefficient store stub"
#: The command that makes the engine read FTN99 from the first triad on (first in the command
#: file after its comment lines, as the builder writes it).
STORE_COMMAND = "OLDCOWAN"
#: Largest record the engine writes or reads (bytes).
MAX_RECORD = 0x7FFFFFFF

_I4 = np.dtype("<i4")
_F4 = np.dtype("<f4")


class StoreError(ValueError):
    """A store file that is cut short, damaged or not a coefficient store."""


@dataclass
class StoreMatrix:
    """One stored matrix: its shape and its elements row by row (``rows`` and ``cols``
    0-based, ``values`` 4-byte reals; sorted by row, then column). ``symmetric``: whether
    its 4-byte values are exactly symmetric (found out when first asked if not given); such
    a matrix is written as its upper triangle."""

    shape: tuple[int, int]
    rows: np.ndarray
    cols: np.ndarray
    values: np.ndarray
    symmetric: bool | None = None

    @property
    def count(self) -> int:
        """The number of elements (of the whole matrix, as the engine loads it)."""
        return len(self.values)

    @property
    def triangle(self) -> bool:
        """Whether the matrix is written as its upper triangle."""
        if self.symmetric is None:
            self.symmetric = self.shape[0] == self.shape[1] and is_symmetric(
                self.rows, self.cols, self.values)
        return self.symmetric

    def elements(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Rows, columns (0-based) and values of the elements, row by row."""
        return self.rows, self.cols, self.values

    def write_records(self, f) -> None:
        """The matrix's records of a store file: row index, columns and values, or those of
        its upper triangle when it is written so (see :func:`triangle_records`)."""
        if self.triangle:
            for part in triangle_records(*self.elements(), self.shape[0]):
                _record(f, part)
            return
        _record(f, row_index_of_counts(np.bincount(self.rows, minlength=self.shape[0])
                                       [:self.shape[0]]))
        _record(f, np.asarray(self.cols, dtype=_I4) + 1)
        _record(f, np.asarray(self.values, dtype=_F4))


def triangle_records(rows: np.ndarray, cols: np.ndarray, values: np.ndarray, n: int
                     ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The four records of a symmetric n x n matrix stored as its upper triangle, from its
    elements row by row (0-based, columns rising): one word a row (twice its number of
    elements right of the diagonal, plus 1 when it has one on the diagonal), the diagonal
    elements' values, and the columns (1-based) and values of the elements right of the
    diagonal, row by row."""
    diag = cols == rows
    right = cols > rows
    words = 2 * np.bincount(rows[right], minlength=n)[:n] + np.bincount(rows[diag], minlength=n)[:n]
    return (words.astype(_I4), np.asarray(values[diag], dtype=_F4),
            np.asarray(cols[right], dtype=_I4) + 1, np.asarray(values[right], dtype=_F4))


def is_symmetric(rows: np.ndarray, cols: np.ndarray, values: np.ndarray) -> bool:
    """Whether elements given row by row (columns rising within a row) form a symmetric
    matrix, bit for bit: every element (i, j, v) has its mirror (j, i) with the same 4-byte
    value, none missing. False for no elements (nothing to save)."""
    n = len(values)
    if n == 0 or np.count_nonzero(cols > rows) != np.count_nonzero(cols < rows):
        return False
    # the elements column by column, rows rising within a column (the input's row order is
    # kept by a stable sort): the transposed matrix row by row, which must be the matrix
    order = np.argsort(cols, kind="stable")
    bits = np.asarray(values, dtype=_F4).view(_I4)
    return bool(np.array_equal(cols[order], rows) and np.array_equal(rows[order], cols)
                and np.array_equal(bits[order], bits))


def mirrored(rows: np.ndarray, cols: np.ndarray, values: np.ndarray
             ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The elements of a symmetric matrix given by its upper triangle (columns >= row):
    both triangles, row by row, columns rising, the mirrored values bit for bit."""
    lower = cols > rows
    r = np.concatenate([rows, cols[lower]])
    c = np.concatenate([cols, rows[lower]])
    v = np.concatenate([values, values[lower]])
    order = np.lexsort((c, r))
    return r[order], c[order], v[order]


# --------------------------------------------------------------------------- writing

def record_mark(size: int) -> bytes:
    """The length word that frames a record of ``size`` bytes (before and after it); refuses
    (ValueError) a record larger than the engine reads."""
    if size > MAX_RECORD:
        raise ValueError(f"a coefficient block of {size} bytes exceeds the largest record of "
                         f"the store ({MAX_RECORD} bytes)")
    return np.array([size], dtype=_I4).tobytes()


def _record(f, *arrays: np.ndarray) -> None:
    mark = record_mark(sum(a.nbytes for a in arrays))
    f.write(mark)
    for a in arrays:
        f.write(np.ascontiguousarray(a).data)  # without a copy of a large block
    f.write(mark)


def row_index_of_counts(counts: np.ndarray) -> np.ndarray:
    """The row index of rows holding ``counts`` elements as the engine stores it: 3 integers
    per row, positions from 1 (a row without elements: 1, 1, 0)."""
    nrow = len(counts)
    counts = counts.astype(_I4)
    first = (np.cumsum(counts) - counts + 1).astype(_I4)
    first[counts == 0] = 1
    index = np.empty((nrow, 3), dtype=_I4)
    index[:, 0] = first
    index[:, 1] = first
    index[:, 2] = counts
    return index


def write_store(path: str | Path, sections: list[list[StoreMatrix]],
                triangles: bool = True) -> int:
    """Write the sections (lists of matrices, in the engine's load order) as a store file;
    returns its size in bytes. A symmetric matrix is written as its upper triangle unless
    ``triangles`` is False (every matrix whole, as the engine writes its own store). The file
    is written beside `path` and then moved onto it: run directories that hold a link to an
    earlier store keep that one, whole."""
    path = Path(path)
    if not triangles:
        sections = [[m if not m.triangle else StoreMatrix(m.shape, *m.elements(), symmetric=False)
                     for m in mats] for mats in sections]
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        with open(tmp, "wb") as f:
            _write_sections(f, sections)
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)
    return path.stat().st_size


def _write_sections(f, sections: list[list[StoreMatrix]]) -> None:
    """Each matrix is a StoreMatrix or anything with its ``shape``, ``count``, ``triangle``
    and ``write_records`` (a block the builder spooled to disk, written by copying; a
    morvex7.factored.FactoredMatrix). A matrix written as its upper triangle is marked by
    its element count negated, one written as factors by its row count negated."""
    for mats in sections:
        counts = np.array([[m.count, m.shape[0]] for m in mats], dtype=np.int64).reshape(-1, 2)
        total = int(counts[:, 0].sum())
        if total > MAX_RECORD:
            raise ValueError(f"a section of {total} elements exceeds the engine's count of "
                             f"at most {MAX_RECORD}")
        counts[:, 0] *= np.array([-1 if m.triangle else 1 for m in mats], dtype=np.int64)
        counts[:, 1] *= np.array([-1 if getattr(m, "factored", False) else 1 for m in mats],
                                 dtype=np.int64)
        _record(f, np.array([total, len(mats)], dtype=_I4))
        _record(f, counts.astype(_I4).reshape(-1))
        for m in mats:
            if getattr(m, "factored", False):
                for part in m.records():
                    _record(f, part)
            else:
                m.write_records(f)


def stub_text(sections: list[list[StoreMatrix]], width: int = 72) -> str:
    """The stub FTN14 of a binary-store model: comment lines only, with the matrices' shapes
    (the store itself holds no column counts)."""
    lines = [STUB_MARK,
             "% The coefficient blocks of this model are in FTN99, which the engine reads",
             "% when the command file says OLDCOWAN. 'morvex7-ion DIR --store text'",
             "% writes them here as text. Shapes (rows x columns) per section:"]
    for s, mats in enumerate(sections, 1):
        line = f"% section {s}:"
        for m in mats:
            word = f"{m.shape[0]}x{m.shape[1]}"
            if len(line) + 1 + len(word) > width:
                lines.append(line)
                line = "%  "
            line += " " + word
        lines.append(line)
    return "\n".join(lines) + "\n"


def is_stub(path: str | Path) -> bool:
    """Whether `path` is a stub FTN14 of a binary-store model."""
    try:
        with open(path, "rb") as f:
            return f.read(len(STUB_MARK)) == STUB_MARK.encode()
    except OSError:
        return False


def stub_shapes(path: str | Path) -> list[list[tuple[int, int]]]:
    """The matrices' shapes per section that a stub FTN14 lists."""
    out: list[list[tuple[int, int]]] = []
    for line in Path(path).read_text(errors="replace").splitlines()[1:]:
        head = re.match(r"%\s*section\s+\d+:", line)
        if head:
            out.append([])
        if out and line.startswith("%"):
            out[-1] += [(int(r), int(c)) for r, c in re.findall(r"\b(\d+)x(\d+)\b", line)]
    return out


# --------------------------------------------------------------------------- reading

class _Records:
    """The records of a store file read one after another, each checked for its frame."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.data = np.fromfile(path, dtype=np.uint8)
        self.pos = 0

    def at_end(self) -> bool:
        return self.pos == len(self.data)

    def fail(self, why: str) -> StoreError:
        return StoreError(f"{self.path}: not a readable coefficient store: {why}")

    def next(self, n: int, dtype: np.dtype, what: str) -> np.ndarray:
        """The next record, which must hold `n` items of `dtype`."""
        d, p = self.data, self.pos
        if p + 4 > len(d):
            raise self.fail(f"the file ends (at byte {p}) where {what} should start: it is cut "
                            "short")
        size = int(d[p:p + 4].view(_I4)[0])
        if size != n * dtype.itemsize:
            raise self.fail(f"{what} is a record of {size} bytes at byte {p}, "
                            f"{n * dtype.itemsize} expected")
        if p + 8 + size > len(d):
            raise self.fail(f"the file ends inside {what} (at byte {len(d)}): it is cut short")
        end = int(d[p + 4 + size:p + 8 + size].view(_I4)[0])
        if end != size:
            raise self.fail(f"the record of {what} at byte {p} is framed by {size} and {end} "
                            "bytes: the file is damaged")
        self.pos = p + 8 + size
        return d[p + 4:p + 4 + size].view(dtype)


def _matrix(rec: _Records, where: str, nelem: int, nrow: int,
            shape: tuple[int, int] | None) -> StoreMatrix:
    """Matrix ``where`` of ``nelem`` elements and ``nrow`` rows, as stored (a negative
    ``nelem``: a symmetric one stored as its upper triangle, see :func:`_triangle`; a negative
    ``nrow``: one stored as factors, see :func:`_factored`)."""
    if nrow < 0:
        return _factored(rec, where, nelem, -nrow, shape)
    if nelem < 0:
        return _triangle(rec, where, -nelem, nrow, shape)
    index = rec.next(3 * nrow, _I4, f"the row index of {where}").reshape(nrow, 3).astype(np.int64)
    cols = rec.next(nelem, _I4, f"the columns of {where}").astype(np.int64)
    values = rec.next(nelem, _F4, f"the values of {where}").copy()
    counts = index[:, 2]
    if nrow:
        base = index[:, 0].min()
        first = index[:, 0] - base
        if (counts < 0).any() or (index[:, 0] - index[:, 1] != base - index[:, 1].min()).any() \
                or (first + counts > nelem).any():
            raise rec.fail(f"a row of {where} lies outside its {nelem} elements")
    if int(counts.sum()) != nelem:
        raise rec.fail(f"the rows of {where} hold {int(counts.sum())} elements, "
                       f"its count says {nelem}")
    # the elements row by row, in row order (the engine lets rows point anywhere)
    order = np.argsort(first, kind="stable") if nrow else np.zeros(0, dtype=np.int64)
    c = counts[order]
    rows = np.repeat(order, c)
    take = np.arange(int(c.sum())) + np.repeat(first[order] - (np.cumsum(c) - c), c)
    if len(take) != nelem or len(np.unique(take)) != nelem:
        raise rec.fail(f"the rows of {where} overlap")
    cols, values = cols[take], values[take]
    if nelem:
        starts = np.r_[True, rows[1:] != rows[:-1]]
        if (cols < 1).any() or (~starts & (np.diff(cols, prepend=0) <= 0)).any():
            raise rec.fail(f"the columns of a row of {where} do not ascend from 1")
        if not np.isfinite(values).all():
            raise rec.fail(f"{where} holds a value that is NaN or infinite")
    resort = np.lexsort((cols, rows))
    rows, cols, values = rows[resort], cols[resort], values[resort]
    return StoreMatrix(_shape(rec, where, nrow, int(cols.max()) if nelem else 0, shape),
                       rows, cols - 1, values)


def _shape(rec: _Records, where: str, nrow: int, ncol: int,
           shape: tuple[int, int] | None) -> tuple[int, int]:
    """The shape of a matrix of ``nrow`` rows whose last column is ``ncol`` (1-based): the
    stub FTN14's when given, which must agree."""
    if shape is None:
        return nrow, ncol
    if shape[0] != nrow or shape[1] < ncol:
        raise rec.fail(f"{where} is {nrow} x {ncol} or more, the stub FTN14 says "
                       f"{shape[0]} x {shape[1]}")
    return shape


def _triangle(rec: _Records, where: str, full: int, nrow: int,
              shape: tuple[int, int] | None) -> StoreMatrix:
    """A symmetric matrix of ``full`` elements stored as its upper triangle (see
    :func:`triangle_records`), read back whole."""
    words = rec.next(nrow, _I4, f"the row words of {where}").astype(np.int64)
    right = words // 2
    if (words < 0).any() or (right > nrow - 1 - np.arange(nrow)).any():
        raise rec.fail(f"a row of {where} has more elements right of the diagonal than a row "
                       f"of a symmetric {nrow} x {nrow} matrix has there, or fewer than none")
    diagonal = np.flatnonzero(words % 2)
    if len(diagonal) + 2 * int(right.sum()) != full:
        raise rec.fail(f"the upper triangle of {where} expands to "
                       f"{len(diagonal) + 2 * int(right.sum())} elements, its count says {full}")
    dvalues = rec.next(len(diagonal), _F4, f"the diagonal of {where}")
    cols = rec.next(int(right.sum()), _I4, f"the columns of {where}").astype(np.int64) - 1
    values = rec.next(int(right.sum()), _F4, f"the values of {where}")
    rows = np.repeat(np.arange(nrow), right)
    starts = np.r_[True, rows[1:] != rows[:-1]] if len(rows) else np.zeros(0, bool)
    if ((cols <= rows) | (cols >= nrow)).any() or (~starts & (np.diff(cols, prepend=0) <= 0)).any():
        raise rec.fail(f"the columns right of the diagonal of a row of {where} do not ascend "
                       f"within the upper triangle of a symmetric {nrow} x {nrow} matrix")
    if not (np.isfinite(dvalues).all() and np.isfinite(values).all()):
        raise rec.fail(f"{where} holds a value that is NaN or infinite")
    rows, cols, values = mirrored(np.r_[diagonal, rows], np.r_[diagonal, cols],
                                  np.r_[dvalues, values])
    return StoreMatrix(_shape(rec, where, nrow, int(cols.max()) + 1 if full else 0, shape),
                       rows, cols, values, symmetric=True)


def _factored(rec: _Records, where: str, nelem: int, nrow: int,
              shape: tuple[int, int] | None) -> StoreMatrix:
    """A matrix of ``nelem`` elements stored as sums of Kronecker products of factors (see
    morvex7.factored), read back assembled."""
    try:
        layout = rec.next(6, _I4, f"the layout of {where}")
        sizes = layout_sizes(layout)
        records = [layout] + [
            rec.next(n, dtype, f"the {what} of {where}") for n, dtype, what in zip(
                sizes, (_I4, _I4, _F4, _I4, _F4),
                ("blocks", "factor shapes", "factor values", "terms", "weights"))]
        m = from_records(nrow, records)
        check_positions(m, nelem)
    except FactorError as exc:
        raise rec.fail(f"{where}, stored as factors: {exc}") from None
    rows, cols, values = m.elements()
    if len(values) != nelem:
        raise rec.fail(f"{where} assembles to {len(values)} elements, its count says {nelem}")
    return StoreMatrix(_shape(rec, where, nrow, m.shape[1], shape), rows.astype(np.int64),
                       cols.astype(np.int64), values)


def read_store(path: str | Path,
               shapes: list[list[tuple[int, int]]] | None = None) -> list[list[StoreMatrix]]:
    """Read and check a whole store file; raises :class:`StoreError` naming the file and the
    fault for one that is cut short, damaged or holds matrices the engine would refuse.
    `shapes` (from the stub FTN14) gives the column counts; without them a matrix is as wide as
    its last column."""
    rec = _Records(Path(path))
    if rec.at_end():
        raise rec.fail("the file is empty")
    sections: list[list[StoreMatrix]] = []
    while not rec.at_end():
        s = len(sections) + 1
        total, nmat = (int(x) for x in rec.next(2, _I4, f"the header of section {s}"))
        if nmat < 0 or total < 0:
            raise rec.fail(f"section {s} has {nmat} matrices and {total} elements")
        counts = rec.next(2 * nmat, _I4, f"the counts of section {s}").reshape(nmat, 2)
        loaded = np.abs(counts[:, 0].astype(np.int64))  # negative: an upper triangle
        # a negative row count: a matrix stored as factors, whose element count is its own
        if ((counts[:, 1] < 0) & (counts[:, 0] < 0)).any() or (counts[:, 1] == -2**31).any() \
                or int(loaded.sum()) != total:
            raise rec.fail(f"the counts of section {s} do not add up to its {total} elements")
        if shapes is not None and (len(shapes) < s or len(shapes[s - 1]) != nmat):
            raise rec.fail(f"section {s} holds {nmat} matrices, which the stub FTN14 does not "
                           "list")
        sections.append([
            _matrix(rec, f"matrix {k + 1} of section {s}", int(counts[k, 0]), int(counts[k, 1]),
                    None if shapes is None else shapes[s - 1][k])
            for k in range(nmat)])
    if shapes is not None and len(shapes) != len(sections):
        raise rec.fail(f"it holds {len(sections)} sections, the stub FTN14 lists {len(shapes)}")
    return sections


# --------------------------------------------------------------------------- model directories

def is_binary_model(model_dir: str | Path) -> bool:
    """Whether the model directory keeps its coefficient blocks in FTN99 (its FTN14 a stub)."""
    return is_stub(Path(model_dir) / COEFFICIENT_FILE)


def model_inputs(model_dir: str | Path) -> tuple[str, ...]:
    """The coefficient and recipe files a run of the model needs (besides its command file)."""
    if is_binary_model(model_dir):
        return (COEFFICIENT_FILE, "FTN15", STORE_FILE)
    return (COEFFICIENT_FILE, "FTN15")


def says_oldcowan(text: str) -> bool:
    """Whether a command-file text switches the store on from its first triad: OLDCOWAN among
    the commands of its first block (the switch then stays on for the whole run)."""
    from morvex7.commandfile import CommandFile

    blocks = CommandFile(text).blocks
    return bool(blocks and blocks[0].find("OLDCOWAN"))


def check_binary_run(model_dir: str | Path, text: str) -> None:
    """Refuse (ParameterError) to run a binary-store model with a command file that does not
    say OLDCOWAN: the engine would look for the blocks in the stub FTN14."""
    from morvex7.commandfile import ParameterError

    if is_binary_model(model_dir) and not says_oldcowan(text):
        raise ParameterError(f"{model_dir}: the model's coefficient blocks are in FTN99 (binary "
                         "store), but the command file has no OLDCOWAN line; add it, or "
                         "convert the model with 'morvex7-ion DIR --store text'")


def stage_store(src: Path, dst: Path) -> None:
    """Put a model's store into a run directory: a hard link when the file system allows one
    and the store may be opened for writing (the engine opens it so, but with OLDCOWAN only
    reads), otherwise a copy. The modification time is kept, so the engine does not take the
    store for older than the stub FTN14 copied beside it."""
    dst.unlink(missing_ok=True)
    # the mode bits too: a store made read-only stays so even for root (the link would not)
    if os.access(src, os.W_OK) and src.stat().st_mode & 0o222:
        try:
            os.link(src, dst)
            return
        except OSError:
            pass
    shutil.copy2(src, dst)
    os.chmod(dst, 0o644)
