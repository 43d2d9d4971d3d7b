"""Locating and starting the morvex7 engine executable.

The engine is found, in this order, by the environment variable MORVEX7, on PATH, or in the
build directory of the source tree this package lives in (build/morvex7).
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


class EngineNotFound(RuntimeError):
    """No morvex7 executable could be found."""


def find_engine() -> Path:
    """Return the path of the morvex7 executable (MORVEX7, PATH, then build/morvex7)."""
    env = os.environ.get("MORVEX7")
    if env:
        path = Path(env)
        if path.is_file() and os.access(path, os.X_OK):
            return path
        raise EngineNotFound(f"MORVEX7={env} is not an executable file")
    on_path = shutil.which("morvex7")
    if on_path:
        return Path(on_path)
    built = REPO_ROOT / "build" / "morvex7"
    if built.is_file() and os.access(built, os.X_OK):
        return built
    raise EngineNotFound(
        "morvex7 executable not found: set MORVEX7, put it on PATH, or build it "
        "(cmake -S . -B build && cmake --build build)"
    )


LOG_FILE = "log.txt"  # the engine's standard output, kept beside its result files
STOP_FILE = "stop.txt"  # its standard error: the STOP line


@dataclass
class EngineResult:
    """How one engine run ended."""

    directory: Path
    status: int
    stop_text: str  # the text after "STOP " on standard error ("" if none)
    wall_time: float  # seconds

    @property
    def ok(self) -> bool:
        return self.status == 0


class EngineError(RuntimeError):
    """The engine stopped with a non-zero status.

    Attributes
    ----------
    directory, status, stop_text : as in :class:`EngineResult`
    log_tail : str
        The last lines of the engine's log (its standard output).
    """

    def __init__(self, result: EngineResult, log_tail: str, problem: str = ""):
        self.directory = result.directory
        self.status = result.status
        self.stop_text = result.stop_text
        self.wall_time = result.wall_time
        self.log_tail = log_tail
        self.problem = problem
        if problem:  # status 0, but the run has no result
            head = f"morvex7 ended normally in {result.directory}, but {problem}"
        else:
            head = (f"morvex7 stopped with status {result.status} in {result.directory}: "
                    f"{result.stop_text or '(no stop text)'}")
        super().__init__(f"{head}\n--- last lines of {LOG_FILE} ---\n{log_tail}")

    def __reduce__(self):  # travels between Dask processes
        return (EngineError, (EngineResult(self.directory, self.status, self.stop_text,
                                           self.wall_time), self.log_tail, self.problem))


def stop_text(stderr: str) -> str:
    """The stop text of the engine's standard error.

    What follows the last 'STOP ', with any failure reported after it (a result file
    that could not be written) in parentheses; without a STOP line, the last line
    (a file that could not be read, a signal). Notices ("morvex7: notice: ...") are
    left out: they do not say how the run ended.
    """
    lines = [ln.strip() for ln in stderr.splitlines()
             if ln.strip() and not ln.strip().startswith("morvex7: notice:")]
    for k in range(len(lines) - 1, -1, -1):
        if lines[k].startswith("STOP"):
            text = lines[k][4:].strip()
            after = lines[k + 1:]
            return f"{text} ({'; '.join(after)})" if after else text
    return lines[-1] if lines else ""


def log_tail(directory: str | Path, n: int = 15) -> str:
    """The last `n` lines of the engine's log in `directory`."""
    path = Path(directory) / LOG_FILE
    if not path.exists():
        return ""
    with open(path, "rb") as f:
        f.seek(0, os.SEEK_END)
        f.seek(max(0, f.tell() - 8192))
        lines = f.read().decode("latin-1").splitlines()
    return "\n".join(lines[-n:])


def _end_with_parent() -> list[str]:
    """The command prefix that makes the engine get SIGKILL when the process that started it
    dies (util-linux setpriv, on Linux): an engine never outlives a killed sweep worker or fit.
    Empty where there is none. (A prefix rather than a preexec function: that one runs Python
    in the forked child, which may deadlock in a process with threads, as Dask workers are.)"""
    setpriv = shutil.which("setpriv") if sys.platform.startswith("linux") else None
    return [setpriv, "--pdeathsig", "KILL", "--"] if setpriv else []


def run_engine(directory: str | Path, engine: str | Path | None = None,
               timeout: float | None = None, check: bool = True,
               threads: int | None = None) -> EngineResult:
    """Run the engine in `directory`, which holds fort.50, FTN14 and FTN15.

    The log goes to log.txt and standard error to stop.txt in the same directory.

    Parameters
    ----------
    directory : path
        The run directory.
    engine : path, optional
        The executable; found with :func:`find_engine` when not given.
    timeout : float, optional
        Seconds after which the engine is killed (raises ``subprocess.TimeoutExpired``).
    check : bool
        Raise :class:`EngineError` on a non-zero status (default).
    threads : int, optional
        Threads the engine may use (MORVEX7_THREADS); default: the engine's own choice.

    Returns
    -------
    EngineResult
    """
    directory = Path(directory)
    exe = Path(engine) if engine else find_engine()
    env = None
    if threads is not None:
        env = dict(os.environ, MORVEX7_THREADS=str(threads))
    t0 = time.perf_counter()
    with open(directory / LOG_FILE, "wb") as out, open(directory / STOP_FILE, "wb") as err:
        proc = subprocess.run([*_end_with_parent(), str(exe)], cwd=directory, stdout=out,
                              stderr=err, stdin=subprocess.DEVNULL, timeout=timeout, env=env)
    wall = time.perf_counter() - t0
    text = stop_text((directory / STOP_FILE).read_bytes().decode("latin-1"))
    result = EngineResult(directory, proc.returncode, text, wall)
    if check and not result.ok:
        raise EngineError(result, log_tail(directory))
    return result
