"""Sweeps on Dask: equal to sequential runs, on a local cluster and on separate processes;
failures recorded; interrupted sweeps resumed."""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES
from morvex7.commandfile import ParameterError
from morvex7.engine import REPO_ROOT
from morvex7.runner import execute
from morvex7.sweep import SweepError, dask_client, grid, read_manifest, sweep
from morvex7.cli_sweep import parse_axis, read_points

MODEL = EXAMPLES / "charge_transfer"
POINTS = grid({"DEL": np.linspace(1.0, 4.8, 10), "W": [1.5, 2.5]})  # 20 points
PACKAGE = str(Path(__file__).resolve().parents[1])
CLUSTER_SH = REPO_ROOT / "examples" / "cluster" / "morvex7-cluster.sh"


def env_with_package(engine) -> dict:
    env = dict(os.environ, MORVEX7=str(engine), PYTHON=sys.executable)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, env.get("PYTHONPATH")]))
    return env


@pytest.fixture(scope="module")
def cluster():
    """A client of a local cluster of two worker processes."""
    with dask_client(n_workers=2) as client:
        yield client


@pytest.fixture(scope="module")
def sequential(tmp_path_factory, engine):
    """The 20 points run one after the other, without Dask."""
    root = tmp_path_factory.mktemp("sequential")
    return [Path(execute(MODEL, p, root / str(i), engine=engine).directory)
            for i, p in enumerate(POINTS)]


def assert_same_as_sequential(root: Path, sequential: list[Path]) -> None:
    rows = read_manifest(root)
    assert [r.status for r in rows] == ["ok"] * len(POINTS)
    assert [r.params for r in rows] == POINTS
    for row, ref in zip(rows, sequential):
        for name in ("fort.44", "fort.43"):
            assert (root / row.directory / name).read_bytes() == (ref / name).read_bytes()
        assert row.eg0 is not None and abs(sum(row.weights) - 1) < 1e-3
    eg0 = [r.eg0 for r in rows]
    assert len(set(eg0)) == len(eg0)  # every point really had its own parameters


def test_local_cluster_sweep_equals_sequential_runs(tmp_path, cluster, sequential, engine):
    # Through the scheduler's address, as for a cluster started elsewhere.
    result = sweep(MODEL, POINTS, tmp_path / "out", scheduler=cluster.scheduler.address,
                   engine=engine, progress=False)
    assert result.skipped == 0 and not result.failed
    assert_same_as_sequential(tmp_path / "out", sequential)
    csv_lines = (tmp_path / "out" / "manifest.csv").read_text().splitlines()
    assert csv_lines[0].startswith("point,directory,status,wall_time,DEL,W,eg0,ndeg,weight1")
    assert len(csv_lines) == 21


def test_failing_point_is_recorded_and_the_rest_finish(tmp_path, cluster, engine):
    points = [{"DEL": 2.0}, {"N2": 101}, {"DEL": 3.0}, {"DEL": 4.0}]
    first = sweep(MODEL, points, tmp_path, client=cluster, engine=engine, progress=False)
    assert [r.status for r in first.points] == ["ok", "failed", "ok", "ok"]
    bad = first.points[1]
    assert bad.stop_text == "quitprog: see output"
    assert "Increase parameter maxlevels" in bad.message  # the log tail says why
    assert read_manifest(tmp_path)[1].stop_text == bad.stop_text
    # A rerun keeps the recorded failure; --retry-failed runs it again.
    again = sweep(MODEL, points, tmp_path, client=cluster, engine=engine, progress=False)
    assert again.skipped == 4
    retried = sweep(MODEL, points, tmp_path, client=cluster, engine=engine,
                    retry_failed=True, progress=False)
    assert retried.skipped == 3 and retried.points[1].status == "failed"
    # Another sweep into the same root is refused rather than mixed in.
    with pytest.raises(SweepError, match="another sweep"):
        sweep(MODEL, [{"DEL": 9.0}], tmp_path, client=cluster, progress=False)


def test_bad_parameter_is_refused_before_any_run(tmp_path):
    with pytest.raises(ParameterError, match="DELX"):
        sweep(MODEL, [{"DEL": 1.0}, {"DELX": 2.0}], tmp_path / "out", progress=False)
    assert not (tmp_path / "out").exists()


def test_interrupted_sweep_resumes(tmp_path, engine):
    slow = tmp_path / "slow-engine"
    slow.write_text(f"#!/bin/sh\nsleep 0.25\nexec {engine} \"$@\"\n")
    slow.chmod(0o755)
    out = tmp_path / "out"
    cmd = [sys.executable, "-m", "morvex7.cli_sweep", str(MODEL), "-o", str(out),
           "--grid", "DEL=1:5:16", "--workers", "2", "--engine", str(slow)]
    # Ctrl-C on a terminal reaches the whole process group: the sweep, its workers and the
    # engines they run; a point whose engine got it stays pending, it did not fail.
    proc = subprocess.Popen(cmd, env=env_with_package(engine), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 60
    while len(list(out.glob("p*/point.json"))) < 3 and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(proc.pid, signal.SIGINT)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 130, err
    finished = {p.parent.name: p.stat().st_mtime_ns for p in out.glob("p*/point.json")}
    assert 3 <= len(finished) < 16
    assert all(json.loads((out / n / "point.json").read_text())["status"] == "ok"
               for n in finished)
    rows = read_manifest(out)
    # Points that ended while the sweep shut down are on disk though not in the manifest.
    assert {r.directory for r in rows if r.status == "ok"} <= set(finished)

    again = subprocess.run(cmd, env=env_with_package(engine), capture_output=True, text=True,
                           timeout=120)
    assert again.returncode == 0, again.stderr
    assert f"{len(finished)} of 16 points finished before (0 failed)" in again.stderr
    assert "ok in" in again.stderr  # plain progress lines when not on a terminal
    rows = read_manifest(out)
    assert [r.status for r in rows] == ["ok"] * 16
    for name, mtime in finished.items():  # finished points were left alone
        assert (out / name / "point.json").stat().st_mtime_ns == mtime


def test_scheduler_and_workers_as_separate_processes(tmp_path, engine, sequential):
    """The cluster recipe's commands on 127.0.0.1: a scheduler, two worker processes
    started separately, and the sweep."""
    env = env_with_package(engine)
    env.update(MORVEX7_HOST="127.0.0.1", MORVEX7_PORT="0", MORVEX7_WORKERS="1")
    sched_file = tmp_path / "scheduler.json"
    procs = [subprocess.Popen(["bash", str(CLUSTER_SH), role, str(sched_file)], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True)
             for role in ("scheduler", "worker", "worker")]
    try:
        (tmp_path / "points.json").write_text(json.dumps(POINTS))
        done = subprocess.run(["bash", str(CLUSTER_SH), "sweep", str(sched_file), str(MODEL),
                               "-o", str(tmp_path / "out"), "--points",
                               str(tmp_path / "points.json"), "-q"],
                              env=env, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        address = json.loads(sched_file.read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        from distributed import Client

        with Client(address) as client:
            # the sweep may finish on the first worker before a slow second one has joined
            client.wait_for_workers(2, timeout=60)
            assert len(client.scheduler_info()["workers"]) == 2
        # every server of the recipe, HTTP servers too, listens where it was asked only
        import psutil

        group = set()
        for q in psutil.process_iter():
            try:
                if os.getpgid(q.pid) in {p.pid for p in procs}:
                    group.add(q.pid)
            except ProcessLookupError:
                pass
        listening = {c.laddr.ip for c in psutil.net_connections(kind="tcp")
                     if c.status == psutil.CONN_LISTEN and c.pid in group}
        assert listening == {"127.0.0.1"}
    finally:
        for p in procs:
            os.killpg(p.pid, signal.SIGTERM)
        for p in procs:
            p.wait(timeout=30)
    assert_same_as_sequential(tmp_path / "out", sequential)


def test_axes_and_point_files(tmp_path):
    assert parse_axis("DEL=1:2:3") == ("DEL", [1.0, 1.5, 2.0])
    assert parse_axis("XHAM[2,1][2]=0.5,0.6") == ("XHAM[2,1][2]", [0.5, 0.6])
    (tmp_path / "p.csv").write_text("# two points\nDEL,W@2\n1.5,2\n2.5,3\n")
    assert read_points(tmp_path / "p.csv") == [{"DEL": 1.5, "W@2": 2.0},
                                               {"DEL": 2.5, "W@2": 3.0}]


def test_progress_bar_on_a_terminal_and_lines_otherwise():
    import io

    from morvex7.progress import Progress
    from morvex7.sweep import PointResult

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    rows = [PointResult(i, f"p{i:05d}", {}, s, 0.1, "quitprog: see output" * (s != "ok"))
            for i, s in enumerate(["ok", "failed", "ok"])]
    for stream in (Terminal(), io.StringIO()):
        bar = Progress(4, skipped=1, stream=stream)
        for row in rows:
            bar.update(row)
        bar.close()
        text = stream.getvalue()
        assert "4/4 points done, 1 failed" in text
        if isinstance(stream, Terminal):
            assert "\r[" + "#" * 30 + "] 4/4 done, 1 failed, 0:00 left" in text
        else:
            assert "point 1 (p00001) failed: quitprog: see output" in text
            assert "\r" not in text
