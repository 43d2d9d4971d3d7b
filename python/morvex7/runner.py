"""One engine run in a directory of its own, with parameters set in its command file.

The engine's file names are fixed, so every run needs its own directory: :func:`run` copies a
model (command file, FTN14, FTN15, a binary-store model's FTN99) into a fresh directory, sets the parameters by tokens
(:mod:`morvex7.commandfile`), runs the engine there and returns the results. What happened is
kept in the directory as ``run.json`` (parameters, status, stop text, wall time), written
last, so its presence marks a finished run.
"""
from __future__ import annotations

import json
import os
import shutil
import tempfile
from collections.abc import Mapping
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from morvex7.commandfile import CommandFile
from morvex7.engine import EngineError, log_tail, run_engine
from morvex7.store import STORE_FILE, check_binary_run, model_inputs, stage_store

if TYPE_CHECKING:
    from morvex7.results import Run

COMMAND_FILE = "fort.50"
MODEL_FILES = ("FTN14", "FTN15")
RECORD_FILE = "run.json"
MARKER_FILE = ".morvex7-run"  # made first in every run directory: it may be emptied again


@dataclass
class RunRecord:
    """What one run was and how it ended (the content of ``run.json``)."""

    directory: str
    params: dict[str, float]
    status: int
    stop_text: str
    wall_time: float
    model: str = ""
    engine: str = ""
    log_tail: str = ""
    extra: dict[str, Any] = field(default_factory=dict)
    problem: str = ""  # why a run that ended with status 0 still has no result

    @property
    def ok(self) -> bool:
        return self.status == 0 and not self.problem

    def save(self, directory: str | Path) -> None:
        write_json_atomic(Path(directory) / RECORD_FILE, asdict(self))

    @classmethod
    def load(cls, directory: str | Path) -> RunRecord:
        return cls(**json.loads((Path(directory) / RECORD_FILE).read_text()))


def write_json_atomic(path: Path, data: Any) -> None:
    """Write JSON so that a reader never sees half a file."""
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    tmp.write_text(json.dumps(data, indent=1, default=float) + "\n")
    os.replace(tmp, path)


def model_text(model_dir: str | Path, command_file: str = COMMAND_FILE) -> str:
    """The command file of a model directory, as text (one character per byte). A binary-store
    model's command file without OLDCOWAN is refused (ParameterError)."""
    text = (Path(model_dir) / command_file).read_bytes().decode("latin-1")
    check_binary_run(model_dir, text)
    return text


def edited_text(model_dir: str | Path, params: Mapping[str, float] | None,
                command_file: str = COMMAND_FILE) -> str:
    """The model's command file with `params` set: physical names through model.json
    (:mod:`morvex7.params`) or engine names; raises ParameterError on a bad name."""
    from morvex7.params import ParameterMap

    return ParameterMap.load(model_dir).apply(model_text(model_dir, command_file), params or {})


def prepare(model_dir: str | Path, text: str, workdir: str | Path,
            overwrite: bool = False) -> Path:
    """Make `workdir` a fresh run directory: FTN14, FTN15 (and a binary-store model's FTN99,
    linked where possible; its command file must say OLDCOWAN) and the given command-file text.

    An existing non-empty `workdir` is refused unless `overwrite`, which empties it first;
    only a run directory made here (one holding the marker file or a ``run.json``) is ever
    emptied, and never the model directory or a directory holding it.
    """
    model = Path(model_dir)
    work = Path(workdir)
    check_run_directory(model, work)
    check_binary_run(model, text)
    if work.exists() and any(work.iterdir()):
        if not overwrite:
            raise FileExistsError(f"run directory {work} is not empty")
        if not is_run_directory(work):
            raise FileExistsError(
                f"run directory {work} is not empty and was not made by a morvex7 run: "
                "it is left as it is; give an empty or new directory")
        shutil.rmtree(work)
    work.mkdir(parents=True, exist_ok=True)
    (work / MARKER_FILE).touch()
    for name in model_inputs(model):
        src = model / name
        if not src.is_file():
            raise FileNotFoundError(f"model directory {model} has no {name}")
        if name == STORE_FILE:
            stage_store(src, work / name)
        else:  # with its time: a stub FTN14 newer than the store would earn a notice
            shutil.copy2(src, work / name)
    if (model / "model.json").is_file():  # a builder-made model: how its triads combine
        shutil.copyfile(model / "model.json", work / "model.json")
    (work / COMMAND_FILE).write_bytes(text.encode("latin-1"))
    return work


def is_run_directory(directory: Path) -> bool:
    """Whether `directory` was made by :func:`prepare` (so it may be emptied again)."""
    return (directory / MARKER_FILE).is_file() or (directory / RECORD_FILE).is_file()


def check_run_directory(model_dir: Path, workdir: Path) -> None:
    """Refuse a run directory that is the model directory, or holds it: the run would
    replace the model's command file, and emptying it would delete the model."""
    model, work = model_dir.resolve(), workdir.resolve()
    if work == model or work in model.parents:
        raise FileExistsError(f"run directory {workdir} holds the model {model_dir} itself; "
                              "give a directory of its own for the run")


def triads_requested(text: str) -> int:
    """How many triads the command-file text asks for (over all its blocks)."""
    return sum(len(b.triads) for b in CommandFile(text).blocks)


def triads_computed(directory: str | Path) -> int:
    """How many triads the engine's log in `directory` reports a ground state for."""
    from morvex7.engine import LOG_FILE

    head = b" Ground state energy Eg0="
    count = 0
    with open(Path(directory) / LOG_FILE, "rb") as f:
        for line in f:
            count += line.startswith(head)
    return count


def missing_result(text: str, directory: str | Path) -> str:
    """Why a run that ended normally did not compute what its command file asks ("" if it
    did): no triad at all, or fewer than asked (words the engine did not see)."""
    asked = triads_requested(text)
    if asked == 0:
        return "the command file asks for no triad (no TRIADS line the engine reads): nothing " \
               "was computed"
    done = triads_computed(directory)
    if done < asked:
        return f"the engine computed {done} of the {asked} triads the command file asks for"
    return ""


def execute(model_dir: str | Path, params: Mapping[str, float] | None = None,
            workdir: str | Path | None = None, *, engine: str | Path | None = None,
            timeout: float | None = None, overwrite: bool = False, check: bool = True,
            text: str | None = None, threads: int | None = None) -> RunRecord:
    """Run the model once and return its :class:`RunRecord` (see :func:`run`).

    With ``check=False`` a failed run returns its record (status, stop text, log tail)
    instead of raising :class:`~morvex7.engine.EngineError`. `text` gives an already
    edited command file (then `params` are only recorded); `threads` limits the engine's
    threads (sweeps run one single-threaded engine per worker).
    """
    params = {k: float(v) for k, v in (params or {}).items()}
    if text is None:
        text = edited_text(model_dir, params)
    if workdir is None:
        workdir = tempfile.mkdtemp(prefix="morvex7-run-")
    work = prepare(model_dir, text, workdir, overwrite=overwrite)
    result = run_engine(work, engine, timeout=timeout, check=False, threads=threads)
    problem = missing_result(text, work) if result.ok else ""
    record = RunRecord(str(work), params, result.status, result.stop_text, result.wall_time,
                       model=str(Path(model_dir).resolve()), engine=str(engine or ""),
                       log_tail="" if result.ok and not problem else log_tail(work),
                       problem=problem)
    record.save(work)
    if check and not record.ok:
        raise EngineError(result, record.log_tail, problem)
    return record


def run(model_dir: str | Path, params: Mapping[str, float] | None = None,
        workdir: str | Path | None = None, *, engine: str | Path | None = None,
        timeout: float | None = None, overwrite: bool = False) -> Run:
    """Run the model in `model_dir` with parameters set, in a fresh directory.

    Parameters
    ----------
    model_dir : path
        Directory holding ``fort.50``, ``FTN14`` and ``FTN15``.
    params : mapping, optional
        Parameter name -> value: physical names of a builder-made model, e.g.
        ``{"10Dq": 1.2, "Delta": 4.0, "kappa": 0.8}`` (:mod:`morvex7.params`), or engine
        names, e.g. ``{"DEL": 2.5, "XHAM[2,1][2]": 0.5}`` (:mod:`morvex7.commandfile`).
    workdir : path, optional
        The run directory, created if missing; it must be empty unless `overwrite`. A new
        temporary directory when not given.
    engine : path, optional
        The engine executable (default: :func:`morvex7.engine.find_engine`).
    timeout : float, optional
        Seconds after which the engine is killed.
    overwrite : bool
        Empty an existing `workdir` first.

    Returns
    -------
    morvex7.results.Run
        The results, with ``record`` (a :class:`RunRecord`: parameters, status, wall time).

    Raises
    ------
    morvex7.commandfile.ParameterError
        A parameter name the model does not have, or one that changes nothing in it.
    morvex7.engine.EngineError
        The engine stopped with a non-zero status; carries the stop text and log tail.

    Examples
    --------
    >>> import morvex7
    >>> r = morvex7.run("examples/charge_transfer", {"DEL": 2.5})   # doctest: +SKIP
    >>> r.triads[0].ground.eg0, r.record.wall_time                   # doctest: +SKIP
    """
    record = execute(model_dir, params, workdir, engine=engine, timeout=timeout,
                     overwrite=overwrite)
    return load_run(record)


def load_run(record: RunRecord) -> Run:
    """The results of a finished run, with its record attached as ``record``."""
    from morvex7.results import Run

    result = Run.load(record.directory)
    try:
        result.record = record
    except AttributeError:  # a Run without attribute slots still gets found by directory
        pass
    return result
