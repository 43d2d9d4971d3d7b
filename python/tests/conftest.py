"""Shared fixtures: the engine executable and fresh runs of the shipped examples."""
from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

from morvex7.engine import REPO_ROOT, find_engine

EXAMPLES = REPO_ROOT / "examples"


@pytest.fixture(scope="session")
def engine() -> Path:
    return find_engine()


def run_engine_in(directory: Path, engine: Path) -> subprocess.CompletedProcess:
    """Run the engine in `directory`, keeping its log and stop text beside the results."""
    proc = subprocess.run([str(engine)], cwd=directory, capture_output=True, text=True, timeout=600)
    (directory / "log.txt").write_text(proc.stdout)
    (directory / "stop.txt").write_text(proc.stderr)
    return proc


@pytest.fixture(scope="session")
def example_run(tmp_path_factory, engine):
    """Return a function name -> directory holding a finished engine run of examples/<name>."""
    done: dict[str, Path] = {}

    def get(name: str) -> Path:
        if name not in done:
            run = tmp_path_factory.mktemp(name)
            for f in ("fort.50", "FTN14", "FTN15"):
                shutil.copy(EXAMPLES / name / f, run / f)
            proc = run_engine_in(run, engine)
            assert proc.returncode == 0, proc.stderr
            done[name] = run
        return done[name]

    return get


def shares_module_fixture(item: pytest.Item) -> bool:
    """Whether the test uses a fixture made once for its file (a server, a browser, a cluster,
    runs that several of its tests read)."""
    info = getattr(item, "_fixtureinfo", None)
    if info is None:
        return False
    return any(defs and defs[-1].scope == "module" for defs in info.name2fixturedefs.values())


@pytest.hookimpl(tryfirst=True)  # before pytest-xdist reads the groups
def pytest_collection_modifyitems(config, items):
    """Tests marked slow run only with MORVEX7_SLOW_TESTS=1.

    With pytest-xdist's --dist loadgroup (as tools/run_tests.sh runs the suite), the tests of
    a file that share a fixture made once for the file run together, in order, on one worker,
    so that it is made once; every other test goes to whichever worker is free."""
    import os

    if getattr(config.option, "loadgroup", False):  # set on the workers of --dist loadgroup
        for item in items:
            if shares_module_fixture(item):
                item.add_marker(pytest.mark.xdist_group(item.nodeid.split("::", 1)[0]))
    if os.environ.get("MORVEX7_SLOW_TESTS") == "1":
        return
    skip = pytest.mark.skip(reason="slow; set MORVEX7_SLOW_TESTS=1 to run")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="module")
def fit_client():
    """A local Dask cluster of two workers shared by the tests of a file (starting one costs
    seconds on a busy machine), closed after them: its threads would count in other tests'
    memory measurements. Commands reach it by ``--scheduler fit_client.scheduler.address``."""
    from morvex7.sweep import dask_client

    with dask_client(n_workers=2) as client:
        yield client
