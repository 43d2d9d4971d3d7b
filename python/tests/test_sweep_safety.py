"""Sweeps that must not lose, mix or misreport results: a changed model, signals, dying
workers, no workers, an unreachable scheduler, two sweeps at once, bad points files, and the
addresses a local cluster listens on."""
from __future__ import annotations

import json
import os
import shutil
import time
from pathlib import Path

import psutil
import pytest

from conftest import EXAMPLES
from morvex7 import sweep as sweep_module
from morvex7.cli_sweep import PointsError, main as sweep_main, read_points
from morvex7.sweep import (MANIFEST_JSON, SweepError, dask_client, read_manifest, run_point,
                           sweep, sweep_lock)

MODEL = EXAMPLES / "charge_transfer"
PACKAGE = str(Path(__file__).resolve().parents[1])


def env_with_package(engine) -> dict:
    env = dict(os.environ, MORVEX7=str(engine))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, env.get("PYTHONPATH")]))
    return env


def script(path: Path, body: str) -> Path:
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


@pytest.fixture(scope="module")
def cluster():
    with dask_client(n_workers=2) as client:
        yield client


def listening(pids) -> set[str]:
    """The addresses the processes `pids` accept connections on."""
    return {c.laddr.ip for c in psutil.net_connections(kind="tcp")
            if c.status == psutil.CONN_LISTEN and c.pid in pids}


def test_a_changed_model_or_engine_is_never_resumed(tmp_path, cluster, engine):
    model = tmp_path / "model"
    shutil.copytree(MODEL, model)
    points = [{"DEL": 2.0}, {"DEL": 3.0}]
    out = tmp_path / "out"
    first = sweep(model, points, out, client=cluster, engine=engine, progress=False)
    assert [p.status for p in first.points] == ["ok", "ok"]
    inputs = json.loads((out / MANIFEST_JSON).read_text())["inputs"]
    assert set(inputs) == {"fort.50", "FTN14", "FTN15", "engine"}
    # the same command over an edited command file: refused, naming what changed
    text = (model / "fort.50").read_text()
    (model / "fort.50").write_text(text.replace("UVV 4.0", "UVV 1.0"))
    with pytest.raises(SweepError, match="fort.50 changed since.*--restart"):
        sweep(model, points, out, client=cluster, engine=engine, progress=False)
    # another engine executable is a change too
    other = tmp_path / "engine-copy"
    shutil.copy(engine, other)
    with open(other, "ab") as f:
        f.write(b"\0")
    with pytest.raises(SweepError, match="fort.50, the engine changed"):
        sweep(model, points, out, client=cluster, engine=other, progress=False)
    (tmp_path / "out" / "mine.txt").write_text("kept")
    again = sweep(model, points, out, client=cluster, engine=engine, restart=True,
                  progress=False)
    assert again.skipped == 0 and [p.status for p in again.points] == ["ok", "ok"]
    assert [p.eg0 for p in again.points] != [p.eg0 for p in first.points]
    assert (out / "mine.txt").read_text() == "kept"
    # without a manifest, a point directory of the old model is not taken as finished
    (out / MANIFEST_JSON).unlink()
    (model / "fort.50").write_text(text)
    third = sweep(model, points, out, client=cluster, engine=engine, progress=False)
    assert third.skipped == 0 and [p.eg0 for p in third.points] == [p.eg0 for p in first.points]


def test_a_point_whose_worker_dies_is_an_error_and_the_rest_finish(tmp_path, cluster, engine):
    pidfile = tmp_path / "engine.pid"
    # The engine stand-in kills its worker process at DEL 9 and stays: it must not outlive it.
    fake = script(tmp_path / "engine", f"""if grep -q 'DEL 9.0' fort.50; then
  echo $$ > {pidfile}; kill -9 $PPID; sleep 60
fi
exec {engine}
""")
    scheduler = cluster.cluster.scheduler
    allowed, scheduler.allowed_failures = scheduler.allowed_failures, 0  # no retry: faster
    try:
        result = sweep(MODEL, [{"DEL": 2.0}, {"DEL": 9.0}, {"DEL": 3.0}], tmp_path / "out",
                       client=cluster, engine=fake, progress=False)
    finally:
        scheduler.allowed_failures = allowed
    assert [p.status for p in result.points] == ["ok", "error", "ok"]
    assert "worker process died" in result.points[1].message
    pid = int(pidfile.read_text())
    deadline = time.monotonic() + 10
    while psutil.pid_exists(pid) and psutil.Process(pid).status() != psutil.STATUS_ZOMBIE:
        assert time.monotonic() < deadline, "the engine outlived its worker"
        time.sleep(0.1)


def test_no_worker_left_and_unreachable_schedulers_end_with_a_message(tmp_path, monkeypatch):
    from distributed import Client, LocalCluster

    monkeypatch.setattr(sweep_module, "NO_WORKER_GRACE", 1.0)
    with LocalCluster(n_workers=0, processes=False, dashboard_address=None) as lc, \
            Client(lc) as client:
        t0 = time.monotonic()
        with pytest.raises(SweepError, match="no worker"):
            sweep(MODEL, [{"DEL": 2.0}], tmp_path / "out", client=client, progress=False)
        assert time.monotonic() - t0 < 30
    assert read_manifest(tmp_path / "out")[0].status == "pending"
    import socket

    with socket.socket() as s:  # a port nothing listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    t0 = time.monotonic()
    with pytest.raises(SweepError, match="connection refused"):
        sweep(MODEL, [{"DEL": 2.0}], tmp_path / "x", scheduler=f"tcp://127.0.0.1:{port}",
              progress=False)
    assert time.monotonic() - t0 < 10
    with pytest.raises(SweepError, match="cannot read the scheduler file"):
        sweep(MODEL, [{"DEL": 2.0}], tmp_path / "x", scheduler_file=str(tmp_path / "none"),
              progress=False)
    with pytest.raises(SweepError, match="give 1 or more"):
        sweep(MODEL, [{"DEL": 2.0}], tmp_path / "x", n_workers=-1, progress=False)


def test_a_signal_leaves_the_point_pending(tmp_path, engine):
    fake = script(tmp_path / "engine", f"grep -q 'DEL 3.0' fort.50 && kill -INT $$\n"
                                       f"exec {engine}\n")
    out = tmp_path / "out"
    out.mkdir()
    for i, p in enumerate([{"DEL": 2.0}, {"DEL": 3.0}]):
        row = run_point(str(MODEL), (MODEL / "fort.50").read_text().replace(
            "DEL 3.0", f"DEL {p['DEL']}"), str(out), i, p, str(fake))
        assert row["status"] == ("ok", "pending")[i]
    assert (out / "p00000" / "point.json").is_file()
    assert not (out / "p00001" / "point.json").exists()


def test_two_sweeps_into_one_root_and_local_cluster_addresses(tmp_path, cluster):
    out = tmp_path / "out"
    out.mkdir()
    with sweep_lock(out):
        with pytest.raises(SweepError, match=f"another sweep \\(pid {os.getpid()}.*running"):
            sweep(MODEL, [{"DEL": 2.0}], out, client=cluster, progress=False)
    workers = set(cluster.run(os.getpid).values())
    assert listening(workers | {os.getpid()}) == {"127.0.0.1"}


def test_points_files_and_axes_are_checked(tmp_path, capsys):
    cases = {"empty.csv": ("DEL,W\n1.0,\n", "line 2, column W: an empty cell"),
             "extra.csv": ("DEL\n1.0,2.0\n", "line 2: 2 cells for the 1 columns"),
             "text.csv": ("DEL\nabc\n", "'abc' is not a number"),
             "nan.json": ('[{"DEL": NaN}]', "not a finite number"),
             "obj.json": ('{"DEL": 1}', "a JSON list of objects"),
             "none.csv": ("DEL\n", "lists no point")}
    for name, (text, message) in cases.items():
        (tmp_path / name).write_text(text)
        with pytest.raises(PointsError, match=message):
            read_points(tmp_path / name)
    with pytest.raises(PointsError, match="cannot read the points file .*missing.csv"):
        read_points(tmp_path / "missing.csv")
    base = [str(MODEL), "-o", str(tmp_path / "out")]
    for args, message in ((["--points", str(tmp_path / "missing.csv")], "cannot read"),
                          (["--grid", "DEL=1,2", "--grid", "del=3"], "one parameter twice"),
                          (["--grid", "DEL=1,2", "--grid", "DEL=3"], "one parameter twice"),
                          (["--grid", "10Dq=1,2", "--grid", "10Dq=3"], "one parameter twice"),
                          (["--grid", "DEL=1:2:0"], "NUM at least 1"),
                          (["--grid", "DEL=1", "--workers", "-1"], "give 1 or more")):
        try:
            status = sweep_main(base + args)
        except SystemExit as exc:  # refused by the argument parser
            status = exc.code
        assert status == 2
        err = capsys.readouterr().err
        assert message in err and "Traceback" not in err
    assert not (tmp_path / "out").exists()
    # an output root that cannot be made: one line, status 1 or 2, no traceback
    (tmp_path / "file").write_text("")
    assert sweep_main([str(MODEL), "-o", str(tmp_path / "file" / "out"), "--grid",
                       "DEL=1", "-q"]) in (1, 2)
    assert "Traceback" not in capsys.readouterr().err



def test_a_point_run_by_another_engine_on_its_worker_is_refused(tmp_path, engine, monkeypatch):
    # The sweep's digest is of this machine's engine; a worker elsewhere may find another.
    other = tmp_path / "engine-elsewhere"
    shutil.copy(engine, other)
    with open(other, "ab") as f:
        f.write(b"\0")
    points, out = [{"DEL": 2.0}, {"DEL": 3.0}], tmp_path / "out"
    monkeypatch.setenv("MORVEX7", str(other))
    with dask_client(n_workers=1) as client:  # its worker sees MORVEX7 as it is now
        monkeypatch.setenv("MORVEX7", str(engine))
        result = sweep(MODEL, points, out, client=client, progress=False)
    assert [p.status for p in result.points] == ["error", "error"]
    assert all("its worker ran another engine" in p.message and not p.triads
               for p in result.points)
    assert {p.status for p in read_manifest(out)} == {"error"}
    # rerun with workers that run this machine's engine: the points are run, not resumed
    with dask_client(n_workers=1) as client:
        again = sweep(MODEL, points, out, client=client, progress=False)
    assert again.skipped == 0 and [p.status for p in again.points] == ["ok", "ok"]
    assert len({p.engine for p in again.points}) == 1
