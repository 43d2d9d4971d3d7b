"""Which directories the model builder may write into, and which files of an earlier run it
removes there.

A directory that holds a model or run results is refused unless forced: a new model written
beside old results would have those results read as its own. Forced, the builder replaces its
model files and removes what a run of the directory wrote; any other file (the description, the
user's notes) stays.
"""
from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

from morvex7.store import STORE_FILE, is_binary_model

#: What a builder-made directory holds: the builder's files (and its store FTN99 when the model
#: keeps its blocks there, see morvex7.store), and what a run of it adds.
BUILT_FILES = ("FTN14", "FTN15", "fort.50", "model.json")
RUN_FILES = re.compile(r"fort\.\d+|FTN98|FTN99|log\.txt|stop\.txt|run\.json|\.morvex7-run")


def check_output(out: Path, force: bool) -> list[Path]:
    """Refuse (ValueError) to write into a directory that holds a model or run results unless
    `force`; with `force`, return the results of an earlier run there, to be removed before the
    new model is written."""
    out = Path(out)
    if out.exists() and not out.is_dir():
        raise ValueError(f"{out} exists and is not a directory")
    if not out.is_dir():
        return []
    held = sorted(p.name for p in out.iterdir()
                  if p.name in BUILT_FILES or RUN_FILES.fullmatch(p.name))
    if held and not force:
        shown = ", ".join(held[:6]) + (", ..." if len(held) > 6 else "")
        raise ValueError(f"{out} already holds a model or results ({shown}); give --force to "
                         "write the new model there (the model files are replaced and the "
                         "results of the earlier run removed), or choose another directory")
    return [out / n for n in held if n not in built_files(out)]


def built_files(out: Path) -> tuple[str, ...]:
    """The builder's files in a model directory: a binary-store model's FTN99 is one of them
    (the engine only reads it), else FTN99 is what a run wrote."""
    return BUILT_FILES + ((STORE_FILE,) if is_binary_model(out) else ())


def remove_stale(paths: list[Path]) -> None:
    """Remove the earlier run's results listed by :func:`check_output`."""
    for path in paths:
        path.unlink(missing_ok=True)


@contextmanager
def staged_files(directory: str | Path) -> Iterator[Callable[[str], Path]]:
    """Write a model's files all or nothing: ``part(name)`` gives the hidden file to write
    ``name`` into; once the block ends, every part file is renamed to its name. Should the
    writing fail (a full disk, Ctrl-C), the part files are removed, the directory keeps the files
    it held before, and a directory made for the model is removed again.

    The part files are renamed in the order they were asked for, and a rename keeps a file's
    time of change: a file written after another stays the newer one.
    """
    d = Path(directory)
    made = not d.exists()
    d.mkdir(parents=True, exist_ok=True)
    parts: list[tuple[Path, Path]] = []

    def part(name: str) -> Path:
        parts.append((d / f".{name}.part", d / name))
        return parts[-1][0]

    try:
        yield part
    except BaseException:
        for path, _ in parts:
            path.unlink(missing_ok=True)
        if made:
            try:
                d.rmdir()
            except OSError:
                pass
        raise
    for path, final in parts:
        os.replace(path, final)
