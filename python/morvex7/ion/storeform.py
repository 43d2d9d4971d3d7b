"""Converting a built model directory between the two forms of its coefficient blocks: the
text FTN14 and the engine's binary store FTN99 (with a stub FTN14 and OLDCOWAN in fort.50).

The spectra do not change: the engine reads the same 4-byte values either way. Each file is
written beside its target and then moved onto it, so a conversion that fails leaves the model
as it was.
"""
from __future__ import annotations

import json
import os
from pathlib import Path

import numpy as np

from morvex7.store import (COEFFICIENT_FILE, STORE_COMMAND, STORE_FILE, StoreMatrix,
                           is_binary_model, read_store, stub_shapes, stub_text, write_store)

from .writer import Section

COMMAND_FILE = "fort.50"


def read_text(path: str | Path) -> list[list[StoreMatrix]]:
    """The sections of a text FTN14 as the builder writes it (a header line per matrix,
    "RME ... rows columns elements", then row records "row count column value ..."). A file
    that does not read so is refused (ValueError naming the file and the matrix)."""
    path = Path(path)
    sections: list[list[StoreMatrix]] = [[]]
    header: list[str] | None = None
    body: list[str] = []

    def close() -> None:
        if header is not None:
            sections[-1].append(_matrix(path, header, body, len(sections), len(sections[-1]) + 1))

    with open(path, encoding="latin-1") as f:
        for line in f:
            first = line.split(maxsplit=1)[:1]
            if first and first[0].startswith("RME"):
                close()
                header, body = line.split(), []
            elif first and first[0] == "FINISHED":
                close()
                header, body = None, []
                sections.append([])
            elif header is not None:
                body.append(line)
    if header is not None or sections[-1]:
        raise ValueError(f"{path}: the last section has no FINISHED line: the file is cut short")
    return sections[:-1]


def _matrix(path: Path, header: list[str], body: list[str], s: int, k: int) -> StoreMatrix:
    where = f"{path}: matrix {k} of section {s}"
    try:
        nrow, ncol, nelem = (int(x) for x in header[6:9])
        tokens = " ".join(body).split()
        rows, starts, counts = [], [], []
        p = 0
        while len(rows) < nrow and sum(counts) < nelem:
            i, n = int(tokens[p]), int(tokens[p + 1])
            rows.append(i - 1)
            starts.append(p + 2)
            counts.append(n)
            p += 2 + 2 * n
        if p != len(tokens):
            raise ValueError("numbers left over after its rows")
        pick = np.concatenate([np.arange(a, a + 2 * n) for a, n in zip(starts, counts)]
                              or [np.zeros(0, dtype=np.int64)])
        pairs = np.array([tokens[j] for j in pick], dtype=np.float64).reshape(-1, 2)
    except (ValueError, IndexError) as exc:
        raise ValueError(f"{where} does not read as the builder's text ({exc})") from None
    cols = pairs[:, 0].astype(np.int64) - 1
    values = pairs[:, 1].astype(np.float32)
    row_of = np.repeat(np.array(rows, dtype=np.int64), counts)
    if len(values) != nelem or (row_of < 0).any() or (row_of >= nrow).any() \
            or (cols < 0).any() or (cols >= ncol).any() or not np.isfinite(values).all():
        raise ValueError(f"{where}: its rows do not fit its {nrow} x {ncol} shape and "
                         f"{nelem} elements")
    order = np.lexsort((cols, row_of))
    return StoreMatrix((nrow, ncol), row_of[order], cols[order], values[order])


def _replace(path: Path, write) -> None:
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        write(tmp)
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)


def _command_text(text: str, binary: bool) -> str:
    """fort.50 with the OLDCOWAN line added (before the first command) or removed."""
    lines = [ln for ln in text.splitlines(keepends=True)
             if ln.strip().upper() != STORE_COMMAND]
    if binary:
        at = next((i for i, ln in enumerate(lines)
                   if ln.strip() and not ln.lstrip().startswith("%")), len(lines))
        lines.insert(at, STORE_COMMAND + "\n")
    return "".join(lines)


def convert(directory: str | Path, form: str) -> bool:
    """Convert the model in `directory` to `form` ("text" or "binary"); returns False when it
    is in that form already. Raises ValueError for a directory that holds no model, or whose
    coefficient file or store does not read (the model is then left as it was)."""
    d = Path(directory)
    if form not in ("text", "binary"):
        raise ValueError(f"unknown coefficient store form {form!r} (text or binary)")
    for name in (COEFFICIENT_FILE, COMMAND_FILE):
        if not (d / name).is_file():
            raise ValueError(f"{d}: not a model directory (it has no {name})")
    binary = is_binary_model(d)
    if binary == (form == "binary"):
        return False
    if binary:
        matrices = read_store(d / STORE_FILE, stub_shapes(d / COEFFICIENT_FILE))
        text = "".join(Section(m).text(i + 1) for i, m in enumerate(matrices))
        _replace(d / COEFFICIENT_FILE, lambda p: p.write_text(text))
    else:
        matrices = read_text(d / COEFFICIENT_FILE)
        stub = d / f".{COEFFICIENT_FILE}.{os.getpid()}.stub"
        try:  # the stub older than the store: the engine takes a store older than FTN14 for stale
            stub.write_text(stub_text(matrices))
            write_store(d / STORE_FILE, matrices)  # itself written beside and moved
            os.replace(stub, d / COEFFICIENT_FILE)
        finally:
            stub.unlink(missing_ok=True)
    command = (d / COMMAND_FILE).read_bytes().decode("latin-1")
    _replace(d / COMMAND_FILE,
             lambda p: p.write_bytes(_command_text(command, form == "binary").encode("latin-1")))
    if form == "text":
        (d / STORE_FILE).unlink(missing_ok=True)
    description = d / "model.json"
    if description.is_file():
        data = json.loads(description.read_text())
        data["store"] = form
        _replace(description, lambda p: p.write_text(json.dumps(data, indent=1) + "\n"))
    return True

