"""Coefficient blocks written to disk as soon as they are made, and dropped from memory.

A large model's blocks take gigabytes while they are held (a float64 value and a column per
element); most of them are only ever written out. The builder hands each such block to a
:class:`BlockSpool` the moment it is made: the spool sifts it exactly as the writer does
(times its scale, neither rounding noise nor zero as a 4-byte real, see
:func:`morvex7.ion.writer.element_bands`), writes its columns, 4-byte values and row index
to an unnamed temporary file a band of rows at a time, and returns a small
:class:`SpooledBlock` to keep in the block's place. The writer then copies each block's
records from the spool into the store file FTN99 (or reads one block at a time back for the
text FTN14): the files are the same bytes as from blocks held in memory. A square block whose
written values are exactly symmetric keeps only the records of its upper triangle in the
spool, as the store holds it (see morvex7.store); read back, it is mirrored whole.

The spool file lies beside the model directory (on its file system, not in memory) and has no
name: it vanishes when closed or when the process ends, however it ends.
"""
from __future__ import annotations

import ctypes
import os
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import scipy.sparse as sp

from morvex7.store import (is_symmetric, mirrored, record_mark, row_index_of_counts,
                           triangle_records)

#: bytes copied from the spool at a time
COPY_CHUNK = 16 << 20


@dataclass
class SpooledBlock:
    """A block written to a spool: its shape, the scale it was stored at, how many elements
    were kept, the largest magnitude of the block as made (before scaling) and where its
    records lie (columns from ``offset``, values 4 * ``room`` bytes further, then the row
    index). ``triangle``: the block is symmetric and the spool holds the records of its upper
    triangle (see morvex7.store.triangle_records): the columns and values of the ``stored``
    elements right of the diagonal, and the row words followed by the ``diagonal`` values
    where the row index would be."""

    shape: tuple[int, int]
    scale: float | None
    count: int
    largest: float
    spool: "BlockSpool"
    offset: int
    room: int
    triangle: bool = False
    stored: int = -1
    diagonal: int = 0

    def __post_init__(self) -> None:
        if self.stored < 0:
            self.stored = self.count

    def _at(self, part: str) -> tuple[int, int]:
        """(position, bytes) of the columns, values, row index, row words or diagonal in
        the spool."""
        index = self.offset + 8 * self.room
        if part == "cols":
            return self.offset, 4 * self.stored
        if part == "values":
            return self.offset + 4 * self.room, 4 * self.stored
        if part == "diagonal":
            return index + 4 * self.shape[0], 4 * self.diagonal
        return index, (4 if self.triangle else 12) * self.shape[0]

    def parts(self) -> tuple[str, ...]:
        """The block's records in the store file's order."""
        return ("index", "diagonal", "cols", "values") if self.triangle else \
            ("index", "cols", "values")

    def write_records(self, f) -> None:
        """The block's records of a store file, copied from the spool."""
        for part in self.parts():
            at, size = self._at(part)
            mark = record_mark(size)
            f.write(mark)
            self.spool.copy(f, at, size)
            f.write(mark)

    def elements(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Rows, columns (0-based) and 4-byte values of the block's elements, read back (a
        triangle mirrored whole)."""
        index = self.spool.read(*self._at("index"), np.int32)
        cols = self.spool.read(*self._at("cols"), np.int32) - 1
        values = self.spool.read(*self._at("values"), np.float32)
        if not self.triangle:
            rows = np.repeat(np.arange(self.shape[0], dtype=np.int32), index.reshape(-1, 3)[:, 2])
            return rows, cols, values
        rows = np.repeat(np.arange(self.shape[0], dtype=np.int32), index // 2)
        diagonal = np.flatnonzero(index % 2).astype(np.int32)
        return mirrored(np.r_[diagonal, rows], np.r_[diagonal, cols],
                        np.r_[self.spool.read(*self._at("diagonal"), np.float32), values])


class BlockSpool:
    """An unnamed temporary file that blocks are written to (see the module description);
    a context manager that closes it."""

    def __init__(self, near: str | Path):
        self.file = tempfile.TemporaryFile(dir=nearest_directory(Path(near)), buffering=0)
        self.fd = self.file.fileno()
        self.end = 0
        self.blocks = 0

    def __enter__(self) -> "BlockSpool":
        return self

    def __exit__(self, *_) -> None:
        self.close()

    def close(self) -> None:
        self.file.close()

    def _write(self, array: np.ndarray, at: int) -> None:
        view = memoryview(np.ascontiguousarray(array).reshape(-1).view(np.uint8))
        while len(view):
            done = os.pwrite(self.fd, view, at)
            view, at = view[done:], at + done

    def put(self, block: np.ndarray | sp.spmatrix, scale: float | None) -> SpooledBlock:
        """Write the elements of ``block`` the writer keeps at ``scale`` and return what
        stands for the block from now on. A block kept as its factors (morvex7.factored) is
        small: it stands for itself."""
        from .writer import element_bands

        if getattr(block, "factored", False):
            if block.scale != scale:
                raise ValueError(f"factors made at scale {block.scale}, spooled at {scale}")
            return block

        shape = tuple(int(n) for n in block.shape)
        largest = _largest(block.data if sp.issparse(block) else block.ravel())
        room = block.nnz if sp.issparse(block) else int(np.count_nonzero(block))
        offset, count = self.end, 0
        counts = np.zeros(shape[0], dtype=np.int64)
        square = shape[0] == shape[1]
        bands = []  # of a square block, kept to test it for symmetry
        for rows, cols, v32 in element_bands(block, scale):
            self._write(cols + np.int32(1), offset + 4 * count)
            self._write(v32, offset + 4 * room + 4 * count)
            counts += np.bincount(rows, minlength=shape[0])
            count += len(v32)
            if square:
                bands.append((rows, cols, v32))
        stored, triangle = count, False
        if bands:
            rows, cols, v32 = (bands[0][k] if len(bands) == 1
                               else np.concatenate([b[k] for b in bands]) for k in range(3))
            del bands
            triangle = is_symmetric(rows, cols, v32)
            if triangle:
                # the triangle's records over the whole block, where its first elements were
                words, diagonal, right_cols, right_values = triangle_records(rows, cols, v32,
                                                                             shape[0])
                del rows, cols, v32
                self._write(right_cols, offset)
                self._write(right_values, offset + 4 * room)
                self._write(words, offset + 8 * room)
                self._write(diagonal, offset + 8 * room + 4 * shape[0])
                stored, ndiag = len(right_values), len(diagonal)
        if not triangle:
            self._write(row_index_of_counts(counts), offset + 8 * room)
        self.end = offset + 8 * room + 12 * shape[0]
        self.blocks += 1
        return SpooledBlock(shape, scale, count, largest, self, offset, room, triangle, stored,
                            ndiag if triangle else 0)

    def copy(self, f, at: int, size: int) -> None:
        """Copy ``size`` bytes from position ``at`` of the spool to the file ``f``."""
        while size > 0:
            chunk = os.pread(self.fd, min(size, COPY_CHUNK), at)
            if not chunk:
                raise OSError(f"the block spool ends at byte {at}")
            f.write(chunk)
            at += len(chunk)
            size -= len(chunk)

    def read(self, at: int, size: int, dtype) -> np.ndarray:
        out = np.empty(size // np.dtype(dtype).itemsize, dtype=dtype)
        view, done = memoryview(out.view(np.uint8)), 0
        while done < size:
            n = os.preadv(self.fd, [view[done:]], at + done)
            if n == 0:
                raise OSError(f"the block spool ends at byte {at + done}")
            done += n
        return out


def give_back_memory() -> None:
    """Hand the memory freed inside the process's heap back to the system (the C library's
    malloc_trim, where there is one): between the builder's phases hundreds of MB of freed
    blocks would otherwise stay resident, scattered among what is still held."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _largest(values: np.ndarray) -> float:
    """The largest magnitude among ``values``, a slice at a time (no copy of a large block)."""
    out = 0.0
    for a in range(0, len(values), COPY_CHUNK):
        out = max(out, float(np.abs(values[a:a + COPY_CHUNK]).max(initial=0.0)))
    return out


def nearest_directory(path: Path) -> Path:
    """``path`` if it is a directory, else its nearest existing parent directory."""
    path = path.absolute()
    while not path.is_dir():
        path = path.parent
    return path
