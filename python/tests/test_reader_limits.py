"""Result files at the edges of their layout, and commands whose reader goes away."""
from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

from morvex7.readers import LayoutError, read_yield_file

SEED = Path(__file__).resolve().parent / "fuzz" / "seeds" / "readers" / "auger_resonance"
PACKAGE = str(Path(__file__).resolve().parents[1])


def yield_file(nomega: int, field: str) -> str:
    """The seed's fort.62 with `nomega` records and `field` in the NOMEGA I4 field."""
    head, _, _ = SEED.joinpath("fort.62").read_text().partition(
        "%     energy       yield         absorption\n")
    head = head.replace("NOMEGA=  22", f"NOMEGA={field}")
    rows = "".join(f"{-2.0 + 0.0005 * (i - 1):12.5f}{0.01:12.5f}{i:5d}{0.02:12.5f}\n"
                   for i in range(1, nomega + 1))
    return head + "%     energy       yield         absorption\n" + rows + "%END\n"


def test_a_yield_file_of_10000_photon_energies_is_read(tmp_path):
    # NOMEGA above 9999 overflows its I4 field; the numbered records give the count.
    path = tmp_path / "fort.62"
    path.write_text(yield_file(10001, "****"))
    (curve,) = read_yield_file(path)
    assert curve.nomega == 10001 and len(curve.energy) == 10001
    assert curve.energy[-1] == pytest.approx(3.0)
    # asterisks with fewer records than could overflow the field are a damaged file
    path.write_text(yield_file(22, "****"))
    with pytest.raises(LayoutError, match="asterisks only for 10000 or more"):
        read_yield_file(path)
    # a record missing from a long curve is still found
    text = yield_file(10001, "****").replace(f"{5000:5d}", f"{5001:5d}", 1)
    path.write_text(text)
    with pytest.raises(LayoutError, match="step 5000"):
        read_yield_file(path)


def test_a_reader_that_goes_away_is_not_an_error(example_run):
    run = example_run("charge_transfer")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, env.get("PYTHONPATH")]))
    code = "import sys; from morvex7.cli_spectra import main; sys.exit(main())"
    proc = subprocess.Popen([sys.executable, "-c", code, "info", str(run), str(run), str(run)],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # as `| head -0` does
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == 141, err
    assert err == ""
