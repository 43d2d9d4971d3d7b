"""Every output of the shipped examples, read back and checked against numbers derived here
independently: from the log, from the command file, from the plain text of the files."""
from __future__ import annotations

import re

import numpy as np
import pytest

from morvex7 import read_run


def log_ground(run_dir):
    """(Eg0, ndeg, weights) of every ground-state report in the log, found with a regex."""
    text = (run_dir / "log.txt").read_text()
    out = []
    for m in re.finditer(r"Eg0=\s*(\S+)\s+\(\s*(\d+) times\)\n.*state:\s*(\S+)\s+(\S+)\s+(\S+)",
                         text):
        out.append((float(m[1]), int(m[2]), tuple(float(m[k]) for k in (3, 4, 5))))
    return out


def log_multiplicities(run_dir):
    text = (run_dir / "log.txt").read_text()
    return [(k, int(n)) for k, n in re.findall(r"multiplicity found\s+(\w+)\s+\w+\s+mult=\s*(\d+)",
                                                text)]


def basis_size(mults, n2, n3):
    """NG = m1 + N2*(m2 + N3*m3) from the multiplicities the log reports per configuration."""
    m = (list(mults) + [0, 0, 0])[:3]
    return m[0] + n2 * (m[1] + n3 * m[2])


def matrix_blocks_plain(path):
    """Energies and values of every TRANSFORMED MATRIX block, by whitespace splitting (safe for
    the examples, whose numbers never touch)."""
    blocks, cur = [], None
    for line in path.read_text().splitlines():
        if line.startswith(" TRANSFORMED MATRIX"):
            cur = ([], [], None)
            blocks.append(cur)
        elif line.startswith(" BRA/KET :"):
            cur[0].extend(float(x) for x in line[10:].split())
        elif cur is not None and re.match(r"^[ \-\d.]{9}:", line):
            cur[1].extend(float(x) for x in line[10:].split())
        elif line.startswith(" Total intensity"):
            blocks[-1] = (cur[0], cur[1], float(line.split()[-1]))
    return blocks


@pytest.mark.parametrize("name, n2, n3", [("charge_transfer", 4, 3), ("fine_band", 10, 8)])
def test_absorption_example(example_run, name, n2, n3):
    d = example_run(name)
    run = read_run(d)
    assert run.finished and "Normal end" in run.stop_text
    assert len(run.blocks) == 1 and len(run.triads) == 1
    t = run.triads[0]
    assert t.labels == ("A1G", "T1U", "T1U")

    # ground state as the log reports it
    (eg0, ndeg, weights), = log_ground(d)
    assert t.ground.eg0 == eg0 and t.ground.ndeg == ndeg == 1
    assert t.ground.weights == pytest.approx(weights, abs=1e-12)
    assert sum(t.ground.weights) == pytest.approx(1.0, abs=2e-5)

    # basis sizes from the multiplicities the log found: the ground configurations are the
    # look-ups of kind GROUND on the ground label (1st, 3rd, 5th), excited the following ones
    mults = log_multiplicities(d)
    ng = basis_size([mults[0][1], mults[2][1], mults[4][1]], n2, n3)
    ne = basis_size([mults[1][1], mults[3][1], mults[5][1]], n2, n3)
    assert len(t.ground.energies) == ng == t.ground.ng
    assert len(t.ground.purities) == min(ng, 40)
    assert t.ground.energies[0] == pytest.approx(eg0, abs=5e-5)
    assert np.all(np.diff(t.ground.energies) >= 0)
    assert np.all((t.ground.purities >= 0) & (t.ground.purities <= 1))
    assert t.ground.purities[0] == pytest.approx(t.ground.weights[0], abs=1e-3)

    # the spectrum: one initial state, NE lines, energies shifted by Eg0 of the log
    (kets, amps, total), = matrix_blocks_plain(d / "fort.44")
    s = t.sticks()
    assert len(s) == ne == len(kets) == t.ne
    assert s.energy + eg0 == pytest.approx(kets, abs=1e-9)
    assert t.sticks(absolute=True).energy == pytest.approx(kets, abs=1e-12)
    assert s.amplitude == pytest.approx(amps)
    assert s.intensity == pytest.approx(np.square(amps))
    assert set(s.initial_state) == {1} and set(s.triad) == {1}
    # the engine's "Total intensity" is the signed sum of the amplitudes, not an intensity
    assert t.absorption[0].total == pytest.approx(np.sum(amps), abs=5e-5 + 5e-7 * ne)
    assert abs(t.absorption[0].total - s.total) > 0.1     # ... which would be 1.607
    assert t.absorption[0].initial_energy == pytest.approx(eg0, abs=5e-6)

    # block parameters: from the command file, evaluated definitions, and the label record
    p = t.block.params
    assert (p["N2"], p["N3"], p["W"], p["DEL"], p["UCV"], p["UVV"]) == (n2, n3, 2.0, 3.0, 5.0, 4.0)
    assert (p["EG1"], p["EG2"], p["EG3"]) == (0.0, 3.0, 10.0)     # 0, DEL, 2DEL+UVV
    assert (p["EF1"], p["EF2"], p["EF3"]) == (0.0, -2.0, 0.0)     # 0, DEL-UCV, 2DEL+UVV-2UCV
    assert p["ERANGE"] == 0.001 and p["NCONF"] == "3 3" and p["AUGER"] == 0
    desc = t.description
    assert (desc.w, desc.delta, desc.uvv, desc.ucv) == (2.0, 3.0, 4.0, 5.0)
    assert desc.n3 == n3 and desc.n2 == (n2 if n2 < 10 else None)
    assert t.block.definitions["EF3"] == "2DEL+UVV-2UCV"
    assert t.block.command_lines[0].startswith("% CHARGE-TRANSFER MODEL")
    assert t.summary.ndeg == 1 and t.summary.eg == pytest.approx(eg0, abs=5e-5)
    assert t.summary.first_excited == pytest.approx(t.ground.energies[1], abs=1e-4)


def test_finer_band_keeps_the_sum_rule(example_run):
    """The sum of the line intensities depends on the ground state and the operator only, so
    a finer band changes it little while it spreads the lines."""
    coarse = read_run(example_run("charge_transfer")).triads[0].sticks()
    fine = read_run(example_run("fine_band")).triads[0].sticks()
    assert len(fine) > len(coarse)
    assert fine.total == pytest.approx(coarse.total, rel=1e-3)


def test_auger_example(example_run):
    d = example_run("auger_resonance")
    run = read_run(d)
    t, = run.triads
    p = t.block.params
    nomega, estart, estep = 22, -2.0, 0.25          # the example's AUGER block
    assert (p["AUGER"], p["NOMEGA"], p["ESTART"], p["ESTEP"], p["GAMMA"]) == (
        1, nomega, estart, estep, 0.1)
    assert (p["EFAUG1_1"], p["DIPAUG1"], p["CI1"]) == (2.0, 3.6878178, 1.0)
    a = t.auger
    assert a is not None and t.absorption == []

    # the curve: NOMEGA points at ESTART + i*ESTEP, the reference point kept apart
    rows = [ln.split() for ln in (d / "fort.62").read_text().splitlines()
            if not ln.startswith("%")]
    assert len(rows) == nomega + 1 and int(rows[0][2]) == 0
    assert len(a.photon_energies) == len(a.total_yield) == len(a.total_absorption) == nomega
    assert a.photon_energies == pytest.approx(estart + estep * np.arange(nomega))
    assert a.photon_energies == pytest.approx([float(r[0]) for r in rows[1:]])
    assert a.total_yield == pytest.approx([float(r[1]) for r in rows[1:]])
    assert a.total_absorption == pytest.approx([float(r[3]) for r in rows[1:]])
    off = a.off_resonance
    assert off.photon_energy == 10000.0 and off.printed_energy == estart - estep
    assert off.total_yield == float(rows[0][1])
    assert off.printed_energy not in a.photon_energies
    # GAMMA > 0 puts weight on the intermediate states: absorption >= yield at every step
    assert np.all(a.total_absorption >= a.total_yield - 1e-5)

    # one Auger spectrum per step; its intensities add up to that step's yield
    assert len(a.steps) == nomega
    blocks = matrix_blocks_plain(d / "fort.44")
    assert len(blocks) == nomega + 1
    for (e, i), (kets, vals, total), y in zip(a.steps, blocks[1:], a.total_yield):
        assert e == pytest.approx(kets) and i == pytest.approx(vals)
        assert np.sum(i) == pytest.approx(y, abs=5e-6 * (len(i) + 1))
        assert np.all(i >= 0)
    assert np.sum(off.intensities) == pytest.approx(off.total_yield, abs=5e-5)
    # the yield peaks at the two resonances: intermediate states at 0 and 1.5 above Eg0
    assert a.intermediate.energy == pytest.approx([0.0, 1.5])
    peaks = [k for k in range(1, nomega - 1)
             if a.total_yield[k] > a.total_yield[k - 1] and a.total_yield[k] > a.total_yield[k + 1]]
    assert a.photon_energies[peaks] == pytest.approx([0.0, 1.5])

    # intermediate states: intensities add up to the engine's total (fort.45/46)
    assert a.intermediate.total_intensity == pytest.approx(1.36)
    assert np.sum(a.intermediate.intensity) == pytest.approx(a.intermediate.total_intensity,
                                                             abs=1e-5)
    assert np.all(a.intermediate.width > 0)
    s = t.sticks()
    assert s.energy == pytest.approx([0.0, 1.5]) and np.all(np.isnan(s.amplitude))
    # sizes from the log: 2 intermediate states, 8 continuum states (lines of each step)
    assert (a.sizes.noa, a.sizes.nob, a.sizes.ndeg) == (2, 8, t.ground.ndeg)
    assert all(len(e) == a.sizes.nob for e, _ in a.steps)
    # the log's channel report agrees with the parameters recovered from the echo
    lb = t.block.log
    assert lb.auger and lb.efaug[0, 0] == p["EFAUG1_1"] and lb.ratio[0] == pytest.approx(1.0)
    st = t.auger_sticks(9)
    assert st.meta["photon_energy"] == 0.0 and st.total == pytest.approx(a.total_yield[8],
                                                                         abs=5e-5)
    assert t.auger_sticks(0).meta["kind"].startswith("Auger off-resonance")
