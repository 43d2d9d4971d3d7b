import os
import subprocess

import pytest

from morvex7.engine import EngineNotFound, find_engine


def test_engine_runs_an_example(example_run):
    run = example_run("charge_transfer")
    assert (run / "fort.44").stat().st_size > 0
    assert "Normal end" in (run / "stop.txt").read_text()


def test_bad_engine_variable_is_named(monkeypatch, tmp_path):
    monkeypatch.setenv("MORVEX7", str(tmp_path / "nothing"))
    with pytest.raises(EngineNotFound, match="MORVEX7="):
        find_engine()
