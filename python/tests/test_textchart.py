"""The terminal chart: peaks in the right columns at the right heights."""
from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest

from morvex7.textchart import text_chart


def _columns(chart: str) -> np.ndarray:
    """How many '#' each column has."""
    rows = [r[1:-1] for r in chart.splitlines() if r.startswith("|")]
    return np.array([sum(r[c] == "#" for r in rows) for c in range(len(rows[0]))])


def test_two_lorentzians_stand_where_their_centres_are():
    x = np.linspace(0.0, 10.0, 4001)
    lor = lambda x0, g: (g / 2) / np.pi / ((x - x0) ** 2 + (g / 2) ** 2)
    # Equal widths: the heights go as the weights, 2/(pi*gamma) each.
    y = lor(2.6, 0.1) + 0.25 * lor(7.6, 0.1)
    h = _columns(text_chart(x, y, width=40, height=8))
    assert h.max() == 8 and np.argmax(h) == 10            # 2.6 of 10 eV on 40 columns
    assert h[30] == 2                                     # a quarter of the height
    assert h[20] == 0 and len(h) == 40


def test_a_line_narrower_than_a_column_is_not_lost():
    x = np.linspace(0.0, 1.0, 10001)
    y = np.zeros_like(x)
    y[5003] = 1.0
    assert _columns(text_chart(x, y, width=7, height=3))[3] == 3


def test_nothing_to_draw_is_refused():
    with pytest.raises(ValueError):
        text_chart(np.zeros(0), np.zeros(0))


def test_plot_text_draws_the_strongest_line_tallest(example_run, tmp_path):
    run = example_run("charge_transfer")
    out = subprocess.run([sys.executable, "-m", "morvex7", "plot", str(run), "--text",
                          "--out", str(tmp_path / "s.png")], capture_output=True, text=True,
                         check=True).stdout
    chart = "\n".join(ln for ln in out.splitlines() if ln[:1] in "|+ ")
    assert (tmp_path / "s.png").exists()
    assert _columns(chart).max() == 12
