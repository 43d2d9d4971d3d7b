"""Engine runs for the explorer: one at a time, a newer request cancels the older one.

Every run gets a directory of its own under the work directory (the engine's file names are
fixed). The engine is started with Popen so that another thread can end it: a newer request
kills the running engine before starting its own, and :meth:`EngineRuns.close` (the server
stopping, Ctrl-C) kills it and refuses new ones. Old run directories are removed, except the
ones the caller keeps (the last good run, whose results stay on the page).
"""
from __future__ import annotations

import shutil
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

from morvex7.engine import LOG_FILE, STOP_FILE, log_tail, stop_text
from morvex7.runner import RunRecord, prepare


class RunCancelled(RuntimeError):
    """A newer request (or the server stopping) ended this run."""


@dataclass
class Outcome:
    """How one finished (not cancelled) engine run ended."""

    directory: Path
    status: int
    stop_text: str
    wall_time: float
    log_tail: str = ""

    @property
    def ok(self) -> bool:
        return self.status == 0


class EngineRuns:
    """Runs the engine in fresh directories under `root`, one run at a time."""

    def __init__(self, root: Path, engine: Path, timeout: float = 600.0):
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.engine = Path(engine)
        self.timeout = timeout
        self._lock = threading.Lock()
        self._generation = 0
        self._proc: subprocess.Popen | None = None
        self._count = 0
        self._closed = False
        self.cancelled = 0  # runs ended by a newer request

    def run(self, model_dir: Path, text: str, params: dict[str, float]) -> Outcome:
        """Run the engine on command-file `text` with the model's FTN14/FTN15.

        Raises RunCancelled when a newer call (or close) came before this one finished.
        """
        with self._lock:
            if self._closed:
                raise RunCancelled("the explorer is stopping")
            self._generation += 1
            generation = self._generation
            self._kill_locked()
            self._count += 1
            work = self.root / f"run-{self._count:05d}"
        prepare(model_dir, text, work, overwrite=True)
        t0 = time.perf_counter()
        with open(work / LOG_FILE, "wb") as out, open(work / STOP_FILE, "wb") as err:
            with self._lock:
                if generation != self._generation or self._closed:
                    shutil.rmtree(work, ignore_errors=True)
                    raise RunCancelled("a newer change came first")
                proc = subprocess.Popen([str(self.engine)], cwd=work, stdout=out, stderr=err,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
                self._proc = proc
            try:
                status = proc.wait(timeout=self.timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                status = proc.wait()
        wall = time.perf_counter() - t0
        with self._lock:
            if self._proc is proc:
                self._proc = None
            superseded = generation != self._generation or self._closed
        if superseded:
            shutil.rmtree(work, ignore_errors=True)
            self.cancelled += 1
            raise RunCancelled("a newer change came first")
        text_ = stop_text((work / STOP_FILE).read_bytes().decode("latin-1"))
        if status < 0:
            text_ = text_ or f"the engine was ended by signal {-status}"
        outcome = Outcome(work, status, text_, wall, "" if status == 0 else log_tail(work))
        RunRecord(str(work), params, status, outcome.stop_text, wall, model=str(model_dir),
                  engine=str(self.engine), log_tail=outcome.log_tail).save(work)
        return outcome

    def _kill_locked(self) -> None:
        if self._proc is not None and self._proc.poll() is None:
            self._proc.kill()

    def running_pid(self) -> int | None:
        """The process id of the engine running now (None when idle)."""
        with self._lock:
            if self._proc is not None and self._proc.poll() is None:
                return self._proc.pid
        return None

    def prune(self, keep: set[Path]) -> None:
        """Remove finished run directories except `keep` and the newest one."""
        dirs = sorted(p for p in self.root.glob("run-*") if p.is_dir())
        for p in dirs[:-1]:
            if p not in keep:
                shutil.rmtree(p, ignore_errors=True)

    def close(self) -> None:
        """End the running engine and refuse new runs."""
        with self._lock:
            self._closed = True
            self._kill_locked()
            proc = self._proc
        if proc is not None:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
