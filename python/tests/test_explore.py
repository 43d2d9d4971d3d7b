"""The explorer's server without a browser: spectra against a closed form, what it refuses,
failed and cancelled runs, the measured spectrum, exports and the command line."""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
import tomllib
import urllib.request
from pathlib import Path

import numpy as np
import pytest

from conftest import EXAMPLES
from explore_helpers import TEN_DQ, build_d0, d0_lines, post, served, stand_in_engine
from morvex7.ion.model import model_from_dict


@pytest.fixture(scope="module")
def d0(tmp_path_factory) -> Path:
    return build_d0(tmp_path_factory.mktemp("d0") / "model")


@pytest.fixture
def server(d0, tmp_path, engine):
    with served(d0, tmp_path / "work", stand_in_engine(tmp_path, engine)) as s:
        yield s


def peak(answer: dict) -> float:
    e, y = np.array(answer["energy"]), np.array(answer["intensity"])
    return float(e[np.argmax(y)])


def test_spectrum_follows_the_crystal_field(server):
    for ten_dq in (1.0, 2.0):
        status, a = post(server, "/api/spectrum", {"params": {TEN_DQ: ten_dq},
                                                    "view": {"lorentz": 0.1, "gauss": 0.0}})
        assert status == 200 and a["ok"] and a["engine_run"], a
        lines = d0_lines(ten_dq)
        e, y = np.array(a["sticks"]["energy"]), np.array(a["sticks"]["intensity"])
        for energy, weight in lines:  # every line where the closed form puts it, 6:4:3:2
            near = np.abs(e - energy) < 1e-4
            assert near.any(), (energy, e)
            assert y[near].sum() / y[np.abs(e - lines[0][0]) < 1e-4].sum() == \
                pytest.approx(weight / 6.0, rel=1e-4)
        assert peak(a) == pytest.approx(lines[0][0], abs=0.02)
    # widths, edge and polarisation re-draw the same run without the engine
    status, b = post(server, "/api/spectrum", {"params": {TEN_DQ: 2.0},
                                                "view": {"lorentz": 0.3, "edge": 450.0,
                                                         "polarisation": "z"}})
    assert b["ok"] and not b["engine_run"]
    # the edge energy is where the model's own strongest feature (10Dq = 1) lies
    assert peak(b) == pytest.approx(450.0 + d0_lines(2.0)[0][0] - d0_lines(1.0)[0][0], abs=0.03)
    assert b["axis"].startswith("photon energy")


@pytest.mark.parametrize("body, message", [
    ({"params": {"nonsense": 1}}, "unknown parameter 'nonsense'"),
    ({"params": {TEN_DQ: "abc"}}, "'abc' is not a number"),
    ({"params": {TEN_DQ: "nan"}}, "not a finite number"),
    ({"params": {TEN_DQ: True}}, "a number is needed"),
    ({"params": {TEN_DQ: 1e9}}, "outside the accepted range"),
    ({"params": [1, 2]}, "an object of name: value"),
    ({"view": {"lorentz": -1}}, "outside the accepted range"),
    ({"view": {"lorentz": 0, "gauss": 0}}, "width above zero"),
    ({"view": {"polarisation": "circular"}}, "this model has iso, z, xy"),
    ({"view": {"temperature": -3}}, "temperature (K) = -3"),
    ({"view": {"colour": 1}}, "unknown setting 'colour'"),
    ([], "must be a JSON object"),
])
def test_every_value_from_the_page_is_checked(server, body, message):
    status, a = post(server, "/api/spectrum", body)
    assert status == 400 and message in a["error"]
    assert not list((server.session.workdir / "runs").glob("run-*"))  # nothing ran


def test_requests_from_elsewhere_are_refused(server):
    assert post(server, "/api/spectrum", {}, raw=b"{not json")[0] == 400
    status, a = post(server, "/api/spectrum", {}, headers={"Content-Type": "text/plain"})
    assert status == 400 and "application/json" in a["error"]
    status, a = post(server, "/api/spectrum", {}, headers={"Host": "example.org"})
    assert status == 403
    for path in ("/static/../server.py", "/static/..%2fserver.py", "/static/explorer.py",
                 "/etc/passwd"):
        with pytest.raises(urllib.error.HTTPError) as err:
            urllib.request.urlopen(server.url.rstrip("/") + path, timeout=30)
        assert err.value.code == 404
    with urllib.request.urlopen(server.url, timeout=30) as r:
        assert b"plot.js" in r.read()
    assert server.server_address[0] == "127.0.0.1"


def test_failed_run_keeps_the_last_good_spectrum(server):
    good = post(server, "/api/spectrum", {"params": {TEN_DQ: 1.5}})[1]
    status, bad = post(server, "/api/spectrum", {"params": {TEN_DQ: 9.99}})
    assert status == 200 and not bad["ok"] and bad["status"] == 3
    assert bad["stop_text"] == "the stand-in engine refuses 9.99"
    csv = post(server, "/api/export/csv", {"params": {TEN_DQ: 9.99}})[1]
    assert f"{TEN_DQ}=1.5" in csv  # the export is of what the page still shows
    rows = np.loadtxt(csv.splitlines(), delimiter=",", comments="#", skiprows=5)
    assert rows[:, 0] == pytest.approx(good["energy"])


def test_a_newer_change_cancels_the_running_engine(server):
    answers = {}
    slow = threading.Thread(target=lambda: answers.update(
        slow=post(server, "/api/spectrum", {"params": {TEN_DQ: 7.77}})[1]))
    slow.start()
    deadline = time.monotonic() + 60
    while server.session.runs.running_pid() is None:
        assert time.monotonic() < deadline, "the slow engine never started"
        time.sleep(0.05)
    pid = server.session.runs.running_pid()
    t0 = time.monotonic()
    answers["new"] = post(server, "/api/spectrum", {"params": {TEN_DQ: 1.2}})[1]
    slow.join(30)
    assert answers["slow"]["cancelled"] and answers["new"]["ok"]
    assert time.monotonic() - t0 < 30  # not the 60 s the stand-in would sleep
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)
    assert server.session.runs.cancelled == 1


def test_measured_spectrum_is_read_from_the_text_sent(server):
    status, a = post(server, "/api/measured", {"name": "../../etc/data.csv",
                                                "text": "energy,intensity\n1,2\n2,3\n3,1\n"})
    assert status == 200 and a["rows"] == 3 and a["energy"] == [1, 2, 3]
    assert (server.session.workdir / "measured" / "data.csv").is_file()  # kept inside
    status, a = post(server, "/api/measured", {"name": "bad.txt", "text": "1 2\n2 x\n3 4\n"})
    assert status == 400 and a["error"].startswith("bad.txt:2: not a row of numbers")
    status, a = post(server, "/api/measured", {"name": "short.txt", "text": "1 2\n"})
    assert status == 400 and "fewer than 3 data rows" in a["error"]


def test_toml_export_rebuilds_the_model(server, d0):
    status, text = post(server, "/api/export/toml", {"params": {TEN_DQ: 1.3}})
    assert status == 200
    model = model_from_dict(tomllib.loads(text))
    assert (model.symmetry, model.electrons, model.excited["zeta_c"]) == ("Oh", 0, 3.0)
    assert model.ground["10Dq"] == 1.3


def test_plain_engine_model_offers_its_command_file_numbers(tmp_path, engine):
    with served(EXAMPLES / "charge_transfer", tmp_path / "w", engine) as s:
        names = [p["name"] for p in s.session.describe()["params"]]
        assert "DEL" in names and s.session.describe()["polarisations"] == []
        a = post(s, "/api/spectrum", {"params": {"DEL": 2.5}})[1]
        assert a["ok"] and a["sticks"]["energy"]
        status, e = post(s, "/api/export/toml", {})
        assert status == 400 and "no model.json" in e["error"]


def explore_command(*args: str, engine: Path | None = None) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    if engine is not None:
        env["MORVEX7"] = str(engine)
    return subprocess.Popen([sys.executable, "-m", "morvex7.explore", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_command_line_errors(tmp_path):
    proc = explore_command(str(tmp_path / "missing"))
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 1 and "no such file or directory" in err
    proc = explore_command(str(tmp_path))
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 1 and "not a model directory (it has no fort.50" in err


def test_ctrl_c_ends_the_server_and_its_engine_run(d0, tmp_path, engine):
    env_engine = stand_in_engine(tmp_path, engine)
    work = tmp_path / "work"
    proc = explore_command(str(d0), "--workdir", str(work), engine=env_engine)
    try:
        line = ""
        while "serving" not in line:
            line = proc.stdout.readline()
            assert line, proc.stderr.read()
        url = line.split("serving ", 1)[1].split()[0]
        req = urllib.request.Request(url + "api/spectrum", method="POST",
                                     data=f'{{"params": {{"{TEN_DQ}": 7.77}}}}'.encode(),
                                     headers={"Content-Type": "application/json"})

        def send() -> None:
            try:
                urllib.request.urlopen(req, timeout=120)
            except OSError:  # the server stops without answering: what is tested
                pass

        threading.Thread(target=send, daemon=True).start()
        deadline = time.monotonic() + 60
        while not list(work.glob("runs/run-*/engine.pid")) or \
                not list(work.glob("runs/run-*/engine.pid"))[0].read_text().strip():
            assert time.monotonic() < deadline, "the engine never started"
            time.sleep(0.05)
        pid = int(list(work.glob("runs/run-*/engine.pid"))[0].read_text())
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
        assert proc.returncode == 0 and "stopping" in out
        time.sleep(0.2)
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)
        assert work.is_dir()  # a work directory the user named is kept
    finally:
        if proc.poll() is None:
            proc.kill()


def test_description_export_takes_the_changed_physical_values(tmp_path, engine):
    with served(EXAMPLES / "ni2_oh_charge_transfer", tmp_path / "w", engine) as s:
        values = {p["name"]: p["value"] for p in s.session.describe()["params"]}
        status, text = post(s, "/api/export/toml", {"params": {
            **values, "10Dq": 1.3, "Delta": 3.0, "kappa": 0.5, "excited.zeta_c": 11.0}})
    assert status == 200
    built = model_from_dict(tomllib.loads(text))
    assert built.ground["10Dq"] == 1.3 and built.charge_transfer["Delta"] == 3.0
    assert built.ground["F2vv"] == pytest.approx(0.5 * 9.76)  # kappa scales Slater integrals
    assert built.excited["zeta_c"] == 11.0 and built.ground["zeta_v"] == 0.08


def test_page_values_reach_the_engine_as_one_change(tmp_path, engine):
    """The page sends every value; a name and the one-side names under it (10Dq,
    ground.10Dq, excited.10Dq) must not undo each other: only the changed one counts."""
    import morvex7
    from morvex7.ion.spectra import combined_sticks

    model = EXAMPLES / "ni2_oh_charge_transfer"
    with served(model, tmp_path / "w", engine) as s:
        values = {p["name"]: p["value"] for p in s.session.describe()["params"]}
        assert {"10Dq", "ground.10Dq", "excited.10Dq", "Delta", "kappa"} <= set(values)
        a = post(s, "/api/spectrum", {"params": {**values, "10Dq": 1.5},
                                      "view": {"lorentz": 0.2}})[1]
        status, both = post(s, "/api/spectrum", {"params": {**values, "10Dq": 1.5,
                                                             "V_eg": 2.5, "V_excited": 2.0}})
        assert status == 400 and "both set" in both["error"]
    direct = combined_sticks(morvex7.run(model, {"10Dq": 1.5}, tmp_path / "direct"))
    keep = direct.intensity > 0
    assert a["sticks"]["energy"] == pytest.approx(list(direct.energy[keep]), abs=1e-5)


def test_a_description_is_built_into_the_work_directory(tmp_path):
    from explore_helpers import D0_MODEL
    from morvex7.explore.cli import UserError, model_directory

    description = tmp_path / "d0.json"
    description.write_text(json.dumps(D0_MODEL))
    model, source = model_directory(description, tmp_path / "work")
    assert model == (tmp_path / "work" / "model").resolve() and source == description.resolve()
    assert {"fort.50", "FTN14", "FTN15", "model.json"} <= {p.name for p in model.iterdir()}
    broken = tmp_path / "broken.toml"
    broken.write_text('valence = "3d"\n')
    with pytest.raises(UserError, match="broken.toml: the model description needs 'electrons'"):
        model_directory(broken, tmp_path / "work2")


def test_the_edge_energy_puts_the_model_s_strongest_feature_there(d0, tmp_path, engine):
    import shutil

    model = tmp_path / "model"
    shutil.copytree(d0, model)
    data = json.loads((model / "model.json").read_text())
    (model / "model.json").write_text(json.dumps({**data, "edge_energy": 455.0}))
    with served(model, tmp_path / "w", engine) as s:
        assert s.session.describe()["view"]["edge"] == 455.0
        a = post(s, "/api/spectrum", {"params": {}, "view": {"lorentz": 0.1, "gauss": 0}})[1]
        assert peak(a) == pytest.approx(455.0, abs=0.02)  # the strongest feature there
        # and it stays put as the parameters move: the L3 t2g line goes 0.4 eV down
        b = post(s, "/api/spectrum", {"params": {TEN_DQ: 2.0},
                                      "view": {"lorentz": 0.1, "gauss": 0}})[1]
        assert peak(b) == pytest.approx(455.0 - 0.4, abs=0.02)
