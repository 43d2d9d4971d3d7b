"""The runner: a fresh directory per run, the results, and failures that say why."""
from __future__ import annotations

import pickle
import shutil

import pytest

import morvex7
from conftest import EXAMPLES
from morvex7.engine import EngineError
from morvex7.commandfile import ParameterError
from morvex7.runner import RunRecord, execute

MODEL = EXAMPLES / "charge_transfer"


def test_run_sets_parameters_and_returns_the_results(tmp_path, example_run):
    shipped = morvex7.Run.load(example_run("charge_transfer"))
    run = morvex7.run(MODEL, {"DEL": 2.0}, tmp_path / "r")
    assert run.record.ok and run.record.wall_time > 0
    assert RunRecord.load(tmp_path / "r") == run.record
    assert run.record.params == {"DEL": 2.0}
    assert "DEL 2.0 UCV" in (tmp_path / "r" / "fort.50").read_text()
    assert run.triads[0].ground.eg0 != shipped.triads[0].ground.eg0
    assert (MODEL / "fort.50").read_text().count("DEL 3.0") == 1  # the model is untouched
    # Without parameters the shipped example's results come back.
    same = morvex7.run(MODEL, workdir=tmp_path / "same")
    assert same.triads[0].ground.eg0 == shipped.triads[0].ground.eg0


def test_run_directory_must_be_fresh_and_only_a_runs_own_is_emptied(tmp_path):
    (tmp_path / "busy").mkdir()
    (tmp_path / "busy" / "note").write_text("mine")
    with pytest.raises(FileExistsError):
        morvex7.run(MODEL, {"DEL": 2.0}, tmp_path / "busy")
    with pytest.raises(FileExistsError, match="not made by a morvex7 run"):
        morvex7.run(MODEL, {"DEL": 2.0}, tmp_path / "busy", overwrite=True)
    assert (tmp_path / "busy" / "note").read_text() == "mine"
    first = morvex7.run(MODEL, {"DEL": 2.0}, tmp_path / "run")
    (tmp_path / "run" / "scratch").write_text("left by the run's user")
    again = morvex7.run(MODEL, {"DEL": 3.0}, tmp_path / "run", overwrite=True)
    assert not (tmp_path / "run" / "scratch").exists()
    assert again.triads[0].ground.eg0 != first.triads[0].ground.eg0
    # the model directory (or one holding it) is never a run directory, nor emptied
    model = tmp_path / "models" / "ct"
    shutil.copytree(MODEL, model)
    for work in (model, model.parent):
        with pytest.raises(FileExistsError, match="holds the model"):
            morvex7.run(model, {"DEL": 2.0}, work, overwrite=True)
    assert sorted(p.name for p in model.iterdir()) == sorted(p.name for p in MODEL.iterdir())


def test_a_run_that_computes_no_triad_is_not_a_success(tmp_path):
    # A value that grows the line would push TRIADS past column 136; the editor refuses it.
    text = (MODEL / "fort.50").read_text().replace("ERANGE 0.001\nTRIADS",
                                                   "ERANGE 0.001" + " " * 118 + "TRIADS")
    model = tmp_path / "model"
    shutil.copytree(MODEL, model)
    (model / "fort.50").write_text(text)
    with pytest.raises(ParameterError, match="136 columns"):
        morvex7.run(model, {"ERANGE": 0.00125}, tmp_path / "a")
    # A command file whose TRIADS the engine does not see ends normally but computes nothing.
    (model / "fort.50").write_text(text.replace("ERANGE 0.001 ", "ERANGE 0.0012500"))
    with pytest.raises(EngineError, match="ended normally .* but the command file asks for no "
                                          "triad"):
        morvex7.run(model, None, tmp_path / "b")
    rec = execute(model, None, tmp_path / "c", check=False)
    assert rec.status == 0 and not rec.ok and "no triad" in rec.problem


def test_failure_carries_stop_text_and_log_tail(tmp_path):
    with pytest.raises(EngineError) as info:
        morvex7.run(MODEL, {"N2": 101}, tmp_path / "bad")
    err = info.value
    assert err.status == 1 and err.stop_text == "quitprog: see output"
    assert "Increase parameter maxlevels" in err.log_tail
    assert "quitprog: see output" in str(err) and "maxlevels" in str(err)
    assert RunRecord.load(tmp_path / "bad").status == 1
    again = pickle.loads(pickle.dumps(err))  # it crosses process boundaries on Dask
    assert (again.status, again.stop_text, again.log_tail) == (1, err.stop_text, err.log_tail)


def test_stop_text_names_a_result_file_that_could_not_be_written(tmp_path, engine):
    import shutil

    from morvex7.engine import run_engine
    for triads, ended in ((True, False), (False, True)):
        run_dir = tmp_path / f"full{int(triads)}"
        shutil.copytree(MODEL, run_dir)
        if not triads:  # fort.44 is written only at the end of the run
            text = (run_dir / "fort.50").read_text().replace("A1G T1U T1U\n", "")
            (run_dir / "fort.50").write_text(text)
        (run_dir / "fort.44").symlink_to("/dev/full")
        with pytest.raises(EngineError) as info:
            run_engine(run_dir, engine=engine)
        err = info.value
        assert err.status == 2 and "cannot write to fort.44" in err.stop_text
        # A run that ended normally says so, with the failure to keep its results.
        assert err.stop_text.startswith("Normal end") == ended, err.stop_text


def test_notices_do_not_replace_the_stop_text(tmp_path, engine):
    import shutil

    from morvex7.engine import run_engine
    run_dir = tmp_path / "long"
    shutil.copytree(MODEL, run_dir)
    text = (run_dir / "fort.50").read_text()
    (run_dir / "fort.50").write_text("%" + "x" * 150 + "\n" + text)
    result = run_engine(run_dir, engine=engine)
    assert "notice" in (run_dir / "stop.txt").read_text()
    assert result.stop_text == "Normal end because of end of file on input"
