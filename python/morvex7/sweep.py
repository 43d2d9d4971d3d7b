"""Parameter sweeps: many runs of one model, each in its own directory, on Dask distributed.

A sweep is a list of parameter points (a cartesian :func:`grid` or an explicit list). Point i
runs in ``<out>/p0000i`` and, when it ends, leaves ``point.json`` there: its parameters,
status, stop text, wall time and the ground state of every triad (Eg0, degeneracy,
configuration weights). The manifest ``<out>/manifest.json`` and ``manifest.csv`` collect
those rows. Running the same sweep again skips the points that ended (resume); a point whose
engine stopped with an error is recorded as failed and the others go on.

The runs go to a Dask cluster: a local one with one single-threaded worker process per core
by default, or an existing one given by its scheduler address or scheduler file. Each engine
run is single-threaded (MORVEX7_THREADS=1): the workers already fill the cores.
"""
from __future__ import annotations

import csv
import errno
import hashlib
import io
import itertools
import json
import os
import re
import shutil
import signal
import socket
import time
import warnings
from collections.abc import Iterable, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Iterator

from morvex7.progress import Progress
from morvex7.runner import (COMMAND_FILE, MODEL_FILES, RECORD_FILE, edited_text, execute,
                            write_json_atomic)
from morvex7.store import STORE_FILE, model_inputs

POINT_FILE = "point.json"
MANIFEST_JSON = "manifest.json"
MANIFEST_CSV = "manifest.csv"
LOCK_FILE = ".sweep.lock"
#: Engine statuses of a run stopped by a signal (SIGHUP, SIGINT, SIGTERM, 128 + N, or the
#: negative number Python gives a child killed outright): the point did not fail, it was stopped.
STOPPED_STATUSES = {128 + signal.SIGHUP, 128 + signal.SIGINT, 128 + signal.SIGTERM,
                    -signal.SIGHUP, -signal.SIGINT, -signal.SIGTERM, -signal.SIGKILL}
#: Seconds the sweep waits with no worker in the cluster before it gives up.
NO_WORKER_GRACE = 60.0


class SweepError(RuntimeError):
    """The output root holds another sweep, or the points are not usable."""


def grid(axes: Mapping[str, Iterable[float]]) -> list[dict[str, float]]:
    """The cartesian product of parameter axes, the last axis varying fastest.

    Examples
    --------
    >>> grid({"DEL": [1.0, 2.0], "W": [1.5, 2.5]})  # doctest: +NORMALIZE_WHITESPACE
    [{'DEL': 1.0, 'W': 1.5}, {'DEL': 1.0, 'W': 2.5},
     {'DEL': 2.0, 'W': 1.5}, {'DEL': 2.0, 'W': 2.5}]
    """
    names = list(axes)
    values = [[float(v) for v in axes[n]] for n in names]
    return [dict(zip(names, combo)) for combo in itertools.product(*values)]


@dataclass
class PointResult:
    """One row of the manifest."""

    point: int
    directory: str  # relative to the output root
    params: dict[str, float]
    status: str  # "ok", "failed" (engine stopped with an error) or "error" (other fault)
    wall_time: float = 0.0
    stop_text: str = ""
    message: str = ""  # log tail of a failed run, or the error of an "error" point
    triads: list[dict[str, Any]] = field(default_factory=list)  # eg0, ndeg, weights
    inputs: str = ""  # digest of the model's inputs and the engine the point ran with
    engine: str = ""  # SHA-256 of the engine executable the worker ran for this point

    @property
    def eg0(self) -> float | None:
        return self.triads[0]["eg0"] if self.triads else None

    @property
    def weights(self) -> list[float]:
        return list(self.triads[0]["weights"]) if self.triads else []

    def as_dict(self) -> dict[str, Any]:
        return dict(self.__dict__)


@dataclass
class SweepResult:
    """The rows of a sweep, in point order, and where the manifest was written."""

    root: Path
    points: list[PointResult]
    skipped: int  # points found finished from an earlier run

    @property
    def failed(self) -> list[PointResult]:
        return [p for p in self.points if p.status != "ok"]


def point_directory(index: int) -> str:
    return f"p{index:05d}"


def summarise(directory: str | Path) -> list[dict[str, Any]]:
    """Eg0, degeneracy and configuration weights of every triad of a finished run."""
    from morvex7.results import Run

    out = []
    for triad in Run.load(directory).triads:
        g = triad.ground
        out.append({"eg0": float(g.eg0), "ndeg": int(g.ndeg),
                    "weights": [float(w) for w in g.weights]})
    return out


def _sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def input_digests(model_dir: str | Path, engine: str | Path | None = None) -> dict[str, str]:
    """SHA-256 of every input of the model (fort.50, FTN14, FTN15, a binary-store model's FTN99,
    model.json if present) and
    of the engine executable: what a sweep ran, so that it never resumes over a changed one.

    The engine is the one given, else the one this machine finds; "not found here" when the
    workers have one this machine does not see.
    """
    from morvex7.engine import EngineNotFound, find_engine

    model = Path(model_dir)
    out = {}
    for name in (COMMAND_FILE, *model_inputs(model), "model.json"):
        if (model / name).is_file():
            out[name] = _sha256(model / name)
    try:
        exe = Path(engine) if engine else find_engine()
        out["engine"] = _sha256(exe) if exe.is_file() else f"not found here: {exe}"
    except EngineNotFound:
        out["engine"] = "not found here"
    return out


def _digest(inputs: Mapping[str, str]) -> str:
    return hashlib.sha256(json.dumps(dict(sorted(inputs.items()))).encode()).hexdigest()[:16]


def run_point(model_dir: str, text: str, root: str, index: int, params: dict[str, float],
              engine: str | None = None, timeout: float | None = None,
              threads: int | None = 1, inputs: str = "") -> dict[str, Any]:
    """Run one point in its directory and leave its row there (runs on a Dask worker).

    A run stopped by a signal (Ctrl-C, a job's end) leaves no row: the point stays pending
    and the next run of the sweep runs it again.
    """
    from morvex7.engine import find_engine

    rel = point_directory(index)
    work = Path(root) / rel
    row = PointResult(index, rel, params, "error", inputs=inputs)
    try:
        row.engine = _sha256(Path(engine) if engine else find_engine())
        rec = execute(model_dir, params, work, engine=engine, timeout=timeout,
                      overwrite=True, check=False, text=text, threads=threads)
        row.wall_time, row.stop_text = rec.wall_time, rec.stop_text
        if rec.status in STOPPED_STATUSES:
            row.status = "pending"
            (work / POINT_FILE).unlink(missing_ok=True)
            return row.as_dict()
        if rec.ok:
            row.triads = summarise(work)
            row.status = "ok"
        else:
            row.status, row.message = "failed", rec.log_tail
            if rec.problem:
                row.stop_text = f"{rec.stop_text} (but {rec.problem})"
    except Exception as exc:  # noqa: BLE001 - recorded in the manifest, the sweep goes on
        row.message = f"{type(exc).__name__}: {exc}"
    if work.is_dir():
        write_json_atomic(work / POINT_FILE, row.as_dict())
    return row.as_dict()


def load_finished(root: Path, index: int) -> PointResult | None:
    path = root / point_directory(index) / POINT_FILE
    if not path.is_file():
        return None
    try:
        return PointResult(**json.loads(path.read_text()))
    except (ValueError, TypeError, OSError):
        return None  # half-written or foreign: run the point again


@contextmanager
def dask_client(scheduler: str | None = None, scheduler_file: str | None = None,
                n_workers: int | None = None) -> Iterator[Any]:
    """A Dask client: of an existing cluster (address or scheduler file), else of a local
    cluster with `n_workers` single-threaded worker processes (default: one per core)."""
    import dask
    from distributed import Client

    if n_workers is not None and n_workers < 1:
        raise SweepError(f"{n_workers} worker processes: give 1 or more")
    # Starting worker processes on a busy machine can take longer than Dask's 30 s default.
    # A local scheduler hands a worker one point at a time, so that a point that takes its
    # worker down takes no queued point with it.
    with dask.config.set({"distributed.comm.timeouts.connect": "120s",
                          "distributed.scheduler.worker-saturation": 1.0}):
        if scheduler or scheduler_file:
            check_reachable(scheduler_address(scheduler, scheduler_file))
            client = Client(scheduler, scheduler_file=scheduler_file, timeout="120s")
            try:
                yield client
            finally:
                client.close()
            return
        with _local_cluster(n_workers) as client:
            yield client


@contextmanager
def _local_cluster(n_workers: int | None) -> Iterator[Any]:
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():  # its idle web server may find the usual port taken
        warnings.filterwarnings("ignore", message="Port .* is already in use")
        # Every server of a local cluster listens on the loopback interface only: the HTTP
        # servers too, which Dask would otherwise open on every interface (no dashboard is
        # served without bokeh; with it, only on this machine).
        cluster = LocalCluster(n_workers=n_workers or os.cpu_count() or 1,
                               threads_per_worker=1, processes=True, host="127.0.0.1",
                               dashboard_address="127.0.0.1:0",
                               worker_dashboard_address="127.0.0.1:0",
                               silence_logs=40)
    client = Client(cluster, timeout="120s")
    try:
        yield client
    finally:
        for close in (client.close, cluster.close):
            try:
                close()
            except TimeoutError:  # a busy machine; the worker processes end with this one
                pass


def scheduler_address(scheduler: str | None, scheduler_file: str | None) -> str:
    """The scheduler's address, from itself or from the scheduler file."""
    if scheduler:
        return scheduler
    path = Path(scheduler_file or "")
    try:
        return str(json.loads(path.read_text())["address"])
    except OSError as exc:
        raise SweepError(f"cannot read the scheduler file {path}: {exc.strerror}") from None
    except (ValueError, KeyError, TypeError):
        raise SweepError(f"{path} is not a scheduler file (JSON with an 'address')") from None


def check_reachable(address: str, seconds: float = 5.0) -> None:
    """Refuse at once a TCP scheduler address that does not answer (nothing listens there, no
    such host); the connection itself is then left to Dask."""
    m = re.fullmatch(r"(?:tcp://)?\[?([^\]/]*?)\]?:(\d+)/?", address.strip())
    if not m:
        if address.startswith(("tcp://", "tls://", "inproc://", "ucx://", "ws://", "wss://")):
            return
        raise SweepError(f"scheduler address {address!r}: expected tcp://HOST:PORT")
    host, port = m[1], int(m[2])
    try:
        socket.create_connection((host, port), timeout=seconds).close()
    except socket.gaierror as exc:
        raise SweepError(f"cannot reach the scheduler at {address}: unknown host {host!r} "
                         f"({exc.strerror})") from None
    except OSError as exc:
        why = "nothing listens there (connection refused)" \
            if exc.errno == errno.ECONNREFUSED else (exc.strerror or "timed out")
        raise SweepError(f"cannot reach the scheduler at {address}: {why}") from None


@contextmanager
def sweep_lock(root: Path) -> Iterator[None]:
    """Hold the output root for one sweep at a time (a lock on a file in it)."""
    import fcntl

    f = open(root / LOCK_FILE, "a+")
    try:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            f.seek(0)
            who = f.read().strip() or "another process"
            raise SweepError(f"another sweep ({who}) is running into {root}; wait for it to "
                             "end, or choose another output root") from None
        f.seek(0)
        f.truncate()
        f.write(f"pid {os.getpid()} on {socket.gethostname()}\n")
        f.flush()
        yield
    finally:
        f.close()


def sweep(model_dir: str | Path, points: Sequence[Mapping[str, float]], out: str | Path, *,
          client: Any = None, scheduler: str | None = None,
          scheduler_file: str | None = None, n_workers: int | None = None,
          engine: str | Path | None = None, timeout: float | None = None,
          retry_failed: bool = False, restart: bool = False,
          progress: Progress | bool | None = None) -> SweepResult:
    """Run a model at every point, each in its own directory under `out`.

    Parameters
    ----------
    model_dir : path
        Directory with ``fort.50``, ``FTN14`` and ``FTN15``.
    points : sequence of mappings
        Parameter name -> value per point (names as in :mod:`morvex7.commandfile`); see
        :func:`grid`.
    out : path
        Output root; created if missing. Rerunning into the same root skips finished points.
    client : distributed.Client, optional
        Use this client. Otherwise one is made from `scheduler` (address such as
        ``tcp://host:8786``), `scheduler_file`, or a local cluster of `n_workers` processes.
    engine : path, optional
        Engine executable as seen by the workers (default: found on each worker).
    timeout : float, optional
        Seconds after which one engine run is killed and recorded as an error.
    retry_failed : bool
        Run points that failed before again (by default a recorded failure is kept).
    restart : bool
        Discard the points of an earlier sweep in `out` (its point directories and manifest)
        and run every point afresh, also when the model or the engine changed since.
    progress : Progress or bool, optional
        Progress display on standard error (default on; False for none).

    Returns
    -------
    SweepResult

    Raises
    ------
    morvex7.commandfile.ParameterError
        A point names a parameter the command file cannot take (checked before any run).
    SweepError
        `out` holds a sweep of other points, of another model, or of this model before its
        inputs or the engine changed; another sweep is running into `out`; no worker is left.
    """
    model = Path(model_dir).resolve()
    root = Path(out).resolve()
    points = [{k: float(v) for k, v in p.items()} for p in points]
    texts = [edited_text(model, p) for p in points]  # every name checked before any run
    inputs = input_digests(model, engine)
    digest = _digest(inputs)
    root.mkdir(parents=True, exist_ok=True)
    with sweep_lock(root):
        if restart:
            _discard_earlier(root)
        _check_root(root, model, points, inputs)
        ran = _EngineCheck(inputs["engine"], engine, root)

        rows: dict[int, PointResult] = {}
        todo = []
        for i, p in enumerate(points):
            done = load_finished(root, i)
            if done and done.params == p and done.inputs == digest and ran.accepts(done) and (
                    done.status == "ok" or (done.status == "failed" and not retry_failed)):
                rows[i] = done
            else:
                todo.append(i)
        skipped = len(rows)
        manifest = _Manifest(root, model, points, rows, inputs, ran)
        manifest.write()
        if progress is None or isinstance(progress, bool):
            failed = sum(r.status != "ok" for r in rows.values())
            progress = Progress(len(points), skipped, enabled=progress is not False,
                                failed=failed)
        if todo:
            with _client_for(client, scheduler, scheduler_file, n_workers) as c:
                _run_points(c, model, texts, root, points, todo, engine, timeout, manifest,
                            progress, digest, ran)
        progress.close()
        manifest.write()
    return SweepResult(root, [rows[i] for i in range(len(points))], skipped)


def _discard_earlier(root: Path) -> None:
    """Remove what an earlier sweep left in `root`: its manifest and the point directories
    it made (p00000, ... holding a point.json or run.json); nothing else is touched."""
    for name in (MANIFEST_JSON, MANIFEST_CSV):
        (root / name).unlink(missing_ok=True)
    for d in root.iterdir():
        if re.fullmatch(r"p\d{5,}", d.name) and d.is_dir() and (
                (d / POINT_FILE).is_file() or (d / RECORD_FILE).is_file()):
            shutil.rmtree(d)


@contextmanager
def _client_for(client, scheduler, scheduler_file, n_workers):
    if client is not None:
        yield client
    else:
        with dask_client(scheduler, scheduler_file, n_workers) as c:
            yield c


def _run_points(client, model, texts, root, points, todo, engine, timeout, manifest,
                progress, digest="", ran: _EngineCheck | None = None) -> None:
    from distributed import wait

    futures = {client.submit(run_point, str(model), texts[i], str(root), i, points[i],
                             str(engine) if engine else None, timeout, 1, digest,
                             pure=False): i for i in todo}
    pending = set(futures)
    no_worker_since: float | None = None
    try:
        while pending:
            try:
                done, pending = wait(pending, timeout=2, return_when="FIRST_COMPLETED")
            except TimeoutError:
                done = set()
            for fut in done:
                row = _row_of(fut, futures[fut], points, digest)
                if row.status == "pending":
                    continue  # stopped by a signal: it runs again next time
                if ran is not None:
                    ran.check(row)
                manifest.rows[row.point] = row
                progress.update(row)
                manifest.write(throttle=True)
            if done or not pending:
                no_worker_since = None
                continue
            if _worker_count(client) > 0:
                no_worker_since = None
            elif no_worker_since is None:
                no_worker_since = time.monotonic()
            elif time.monotonic() - no_worker_since > NO_WORKER_GRACE:
                raise SweepError(f"no worker has been left in the cluster for "
                                 f"{NO_WORKER_GRACE:.0f} s; {len(pending)} points stay pending: "
                                 "start workers and rerun the same command")
    except BaseException:
        client.cancel(list(futures))
        manifest.write()
        raise


def _row_of(fut, index: int, points, digest: str) -> PointResult:
    """The row a finished future brings; a point whose worker died is an error, not the end
    of the sweep."""
    try:
        return PointResult(**fut.result())
    except Exception as exc:  # noqa: BLE001 - KilledWorker, a lost connection, ...
        name = type(exc).__name__
        why = ("its worker process died while running it (out of memory, or killed), also "
               "on the retries" if name == "KilledWorker" else f"{name}: {exc}")
        return PointResult(index, point_directory(index), points[index], "error",
                           message=why, inputs=digest)


class _EngineCheck:
    """The engine a sweep runs, and the refusal of a point a worker ran with another one.

    The digest this machine computes is of its own engine; a worker elsewhere may find another
    (its own MORVEX7 or PATH). Each point reports the digest of the executable its worker ran:
    the sweep's engine is this machine's when it has one, else the one its earlier points (or
    the first point) ran, and a point run with any other is an error, never a result.
    """

    def __init__(self, local: str, given: str | Path | None, root: Path) -> None:
        self.expected: str | None = None
        self.source = ""
        if re.fullmatch(r"[0-9a-f]{64}", local):
            from morvex7.engine import EngineNotFound, find_engine
            try:
                where = Path(given) if given else find_engine()
            except EngineNotFound:
                where = "this machine's engine"
            self.expected, self.source = local, f"that of {where} on this machine"
        else:
            try:
                old = json.loads((root / MANIFEST_JSON).read_text()).get("engine_ran")
            except (OSError, ValueError, AttributeError):
                old = None
            if isinstance(old, str) and old:
                self.expected, self.source = old, "that of the sweep's earlier points"

    def accepts(self, row: PointResult) -> bool:
        """Whether a finished point ran with the sweep's engine (rows from before the workers
        reported theirs are judged by the sweep's digest alone)."""
        return not row.engine or self.expected is None or row.engine == self.expected

    def check(self, row: PointResult) -> None:
        """Take the engine of the first point as the sweep's when this machine has none; turn a
        point run with another engine into an error."""
        if not row.engine or row.status not in ("ok", "failed"):
            return
        if self.expected is None:
            self.expected, self.source = row.engine, "that of the sweep's first point"
        elif row.engine != self.expected:
            row.status, row.triads = "error", []
            row.message = (f"its worker ran another engine (SHA-256 {row.engine[:16]}...) than "
                           f"the sweep's ({self.expected[:16]}..., {self.source}); its results "
                           "are not taken: give every worker the same engine (MORVEX7, PATH "
                           "or --engine) and rerun the same command")


def _worker_count(client) -> int:
    try:
        return len(client.scheduler_info().get("workers", {}))
    except Exception:  # noqa: BLE001 - a scheduler that does not answer has no workers for us
        return 0


def _check_root(root: Path, model: Path, points: list[dict[str, float]],
                inputs: Mapping[str, str] | None = None) -> None:
    path = root / MANIFEST_JSON
    if not path.is_file():
        return
    try:
        old = json.loads(path.read_text())
    except ValueError:
        raise SweepError(f"{path} is not a sweep manifest (damaged?); rerun with --restart "
                         "to start the sweep afresh, or choose another output root") from None
    if old.get("model") != str(model):
        raise SweepError(f"{root} holds a sweep of {old.get('model')}, not of {model}")
    if inputs is not None:
        was = old.get("inputs")
        if was is None:
            raise SweepError(f"{root} holds a sweep that did not record its inputs; rerun "
                             "with --restart to run it afresh, or choose another output root")
        order = [COMMAND_FILE, *MODEL_FILES, STORE_FILE, "model.json", "engine"]
        changed = sorted((k for k in set(was) | set(inputs) if was.get(k) != inputs.get(k)),
                         key=lambda k: order.index(k) if k in order else len(order))
        if changed:
            what = ", ".join("the engine" if k == "engine" else k for k in changed)
            raise SweepError(f"{root} holds a sweep of {model} as it was before: {what} "
                             "changed since; rerun with --restart to discard its points and "
                             "run afresh, or choose another output root")
    for row in old.get("points", []):
        i = row["point"]
        if i < len(points) and row["params"] != points[i]:
            raise SweepError(f"{root} holds another sweep: point {i} there has "
                             f"{row['params']}, here {points[i]}; choose another output root")


class _Manifest:
    """manifest.json and manifest.csv of a sweep, rewritten as points finish."""

    def __init__(self, root: Path, model: Path, points: list[dict[str, float]],
                 rows: dict[int, PointResult], inputs: Mapping[str, str] | None = None,
                 ran: _EngineCheck | None = None):
        self.root, self.model, self.points, self.rows = root, model, points, rows
        self.inputs = dict(inputs or {})
        self.ran = ran
        self._last = 0.0

    def write(self, throttle: bool = False) -> None:
        now = time.monotonic()
        if throttle and now - self._last < 1.0:
            return
        self._last = now
        ordered = [self.rows.get(i) or PointResult(i, point_directory(i), p, "pending")
                   for i, p in enumerate(self.points)]
        write_json_atomic(self.root / MANIFEST_JSON, {
            "model": str(self.model), "inputs": self.inputs,
            "engine_ran": self.ran.expected if self.ran else None,
            "points": [r.as_dict() for r in ordered]})
        tmp = self.root / f".{MANIFEST_CSV}.tmp"
        tmp.write_text(manifest_csv(ordered))
        os.replace(tmp, self.root / MANIFEST_CSV)


def manifest_csv(rows: Sequence[PointResult]) -> str:
    """The CSV form of manifest rows: one column per parameter, Eg0 and weights of the
    first triad."""
    names = list(dict.fromkeys(k for r in rows for k in r.params))
    nw = max((len(r.weights) for r in rows), default=0)
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(["point", "directory", "status", "wall_time", *names, "eg0", "ndeg",
                *[f"weight{k + 1}" for k in range(nw)], "stop_text"])
    for r in rows:
        ndeg = r.triads[0]["ndeg"] if r.triads else ""
        w.writerow([r.point, r.directory, r.status, f"{r.wall_time:.4f}",
                    *[repr(r.params.get(n, "")) if n in r.params else "" for n in names],
                    "" if r.eg0 is None else repr(r.eg0), ndeg,
                    *(r.weights + [""] * (nw - len(r.weights))), r.stop_text])
    return buf.getvalue()


def read_manifest(root: str | Path) -> list[PointResult]:
    """The rows of a sweep's manifest.json."""
    data = json.loads((Path(root) / MANIFEST_JSON).read_text())
    return [PointResult(**row) for row in data["points"]]
