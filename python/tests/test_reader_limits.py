"""Result files at the edges of their layout, and commands whose reader goes away."""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import json
from pathlib import Path

import numpy as np
import pytest
from conftest import EXAMPLES

from morvex7.readers import (LayoutError, read_ground_energies, read_spectrum_file,
                             read_yield_file)
from morvex7.results import Run

SEEDS = Path(__file__).resolve().parent / "fuzz" / "seeds" / "readers"
SEED = SEEDS / "auger_resonance"
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


def test_a_fort43_cut_at_a_line_end_is_found_by_the_log(tmp_path):
    # fine_band has 181 ground states; fort.44 reports only the first 40, so a fort.43 cut
    # after line 20 (100 energies, a whole number of lines) looks like a shorter list. The log
    # gives the dimension of the ground matrix, 181.
    run = tmp_path / "fine_band"
    shutil.copytree(SEEDS / "fine_band", run)
    whole = (run / "fort.43").read_text().splitlines(keepends=True)
    assert len(read_ground_energies(run / "fort.43")[0]) == 181
    (run / "fort.43").write_text("".join(whole[:20]))
    with pytest.raises(LayoutError, match=r"fort\.43: expected 181 ground-state energies for "
                                          r"triad 1 .*found '100 energies"):
        Run.load(run)
    # a log whose ground report is not the one of fort.44 (another run's) is not believed
    log = (run / "log.txt").read_text()
    (run / "log.txt").write_text(log.replace("Eg0= -1.808521628", "Eg0= -1.808521000"))
    assert len(Run.load(run).triads[0].ground.energies) == 100


def numbers_in(obj, seen=None) -> int:
    """8 bytes for each number a reader's result holds (arrays and single values)."""
    seen = set() if seen is None else seen
    if isinstance(obj, np.ndarray):
        return obj.nbytes
    if isinstance(obj, (int, float)) and not isinstance(obj, bool):
        return 8
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    if isinstance(obj, dict):
        return sum(numbers_in(v, seen) for v in obj.values())
    if isinstance(obj, (list, tuple)):
        return sum(numbers_in(v, seen) for v in obj)
    fields = getattr(obj, "__dataclass_fields__", None)
    return sum(numbers_in(getattr(obj, f), seen) for f in fields) if fields else 0


MEASURE = """
import json, sys, tracemalloc
from morvex7 import readers
from test_reader_limits import numbers_in
read = getattr(readers, sys.argv[1])
tracemalloc.start()
out = read(sys.argv[2])
peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(json.dumps([peak, numbers_in(out)]))
"""


def peak_and_numbers(reader: str, path: Path) -> tuple[int, int]:
    """The peak memory of reading `path` with `reader` and the bytes of the numbers it returns,
    measured in a fresh interpreter: tracemalloc counts the allocations of every thread, and a
    test process may have others (a Dask client's, pytest-xdist's)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE, str(Path(__file__).parent)]))
    proc = subprocess.run([sys.executable, "-c", MEASURE, reader, str(path)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    peak, numbers = json.loads(proc.stdout)
    return peak, numbers


def test_large_result_files_are_read_in_memory_proportional_to_their_numbers(tmp_path, engine):
    # A text file of numbers is 1.5 to 3 times their binary size; held as lines and Python
    # floats it takes ten times more. The readers stream: at most three times the numbers.
    path = tmp_path / "fort.62"
    path.write_text(yield_file(20000, "****"))
    assert len(read_yield_file(path)[0].energy) == 20000
    peak, numbers = peak_and_numbers("read_yield_file", path)
    assert peak < 3 * numbers
    # an Auger scan of 4000 photon energies: 4001 spectrum blocks in fort.44
    run = tmp_path / "scan"
    shutil.copytree(EXAMPLES / "auger_resonance",
                    run)
    text = (run / "fort.50").read_text()
    (run / "fort.50").write_text(text.replace("NOMEGA 22 ESTART -2.0 ESTEP 0.25",
                                              "NOMEGA 4000 ESTART -2.0 ESTEP 0.001"))
    subprocess.run([str(engine)], cwd=run, capture_output=True, check=True, timeout=120)
    spectra = read_spectrum_file(run / "fort.44")
    assert len(spectra.triads[0].blocks) == 4001
    peak, numbers = peak_and_numbers("read_spectrum_file", run / "fort.44")
    assert peak < 3 * numbers
    assert spectra.triads[0].blocks[7].energies.tolist() == [-1, 0, 1, 2, 3, 4, 5, 6]


def test_the_log_text_is_its_lines_joined_as_read():
    # read without a list of its lines: a CR before a line end is dropped, a lone CR kept
    import itertools

    from morvex7.readers import read_log

    for chars in itertools.product("a\r\n", repeat=5):
        text = "".join(chars)
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()
        want = "\n".join(ln[:-1] if ln.endswith("\r") else ln for ln in lines)
        assert read_log("log.txt", text).text == want, repr(text)
