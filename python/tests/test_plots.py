"""Every plot kind is written as PNG and in a vector format, as a valid, non-empty image."""
from __future__ import annotations

import numpy as np
import pytest
from matplotlib.image import imread
from scipy.integrate import trapezoid

from morvex7.broadening import Broadening, broaden
from morvex7.plots import (
    auger_map, legend_labels, plot_auger_map, plot_overlay, plot_spectrum, plot_yield,
)
from spectra_samples import auger, sticks

B = Broadening(lorentz=0.3, gauss=0.1)


def check_image(path):
    data = path.read_bytes()
    if path.suffix == ".png":
        assert data.startswith(b"\x89PNG\r\n\x1a\n")
        pixels = imread(path)[..., :3]
        # Something coloured was drawn (not only white paper, black text and grey frames).
        saturation = pixels.max(axis=-1) - pixels.min(axis=-1)
        assert (saturation > 0.3).sum() > 200
    elif path.suffix == ".svg":
        assert b"<svg" in data[:2000] and data.rstrip().endswith(b"</svg>")
    else:
        assert data.startswith(b"%PDF-") and b"%%EOF" in data[-64:]


@pytest.mark.parametrize("suffixes", [(".png",) * 4, (".svg", ".pdf", ".svg", ".pdf")])
def test_each_plot_kind(tmp_path, suffixes):
    """Every kind as PNG; every kind in one of the vector formats."""
    s, a = sticks(), auger()
    curve = broaden(s, B)
    other = sticks(0.5, {"DEL": 4.0, "UCV": 5.0})
    spectrum, overlay, yields, amap = (tmp_path / f"{kind}{suffix}" for kind, suffix in
                                       zip(("spectrum", "overlay", "yield", "map"), suffixes))
    written = [
        plot_spectrum(spectrum, curve, s),
        plot_overlay(overlay, [curve, broaden(other, B)], ["DEL=3", "DEL=4"], [s, other]),
        plot_yield(yields, a, s.meta),
        plot_auger_map(amap, a, B, s.meta),
    ]
    for path in written:
        check_image(path)


def test_unknown_format_is_refused(tmp_path):
    with pytest.raises(ValueError, match=r"spectrum.jpeg: cannot tell the image format"):
        plot_spectrum(tmp_path / "spectrum.jpeg", broaden(sticks(), B))


def test_legend_names_the_differing_parameters():
    metas = [{"params": {"DEL": 3.0, "UCV": 5.0, "W": 2.0}},
             {"params": {"DEL": 4.0, "UCV": 5.0, "W": 2.5}}]
    assert legend_labels(metas, ["a", "b"]) == ["DEL=3, W=2", "DEL=4, W=2.5"]
    same = [{"params": {"DEL": 3.0}}, {"params": {"DEL": 3.0}}]
    assert legend_labels(same, ["runs/run1", "runs/run2"]) == ["run1", "run2"]
    # An Auger run beside absorption runs: its channel parameters (absent from the others) stay
    # out, and with many differing parameters the legend shows a few after the run's name.
    many = [{"params": {"N2": 4, "W": 2.0, "DEL": 3.0, "UCV": 5.0, "AUGER": 0}},
            {"params": {"N2": 10, "W": 2.0, "DEL": 3.0, "UCV": 5.0, "AUGER": 0}},
            {"params": {"N2": 1, "W": 0.0, "DEL": 0.0, "UCV": 0.0, "AUGER": 1, "CI1": 1.0,
                        "ESTART": -2.0}}]
    assert legend_labels(many, ["b/ct", "b/fine", "b/auger"]) == [
        "ct: N2=4, DEL=3, UCV=5, ...", "fine: N2=10, DEL=3, UCV=5, ...",
        "auger: N2=1, DEL=0, UCV=0, ..."]


def test_difference_spectrum_shares_the_zero_line(tmp_path):
    """Negative weights give negative sticks and curve parts: both axes keep one zero line."""
    from morvex7.plots import _common_zero
    from morvex7.sticks import Sticks

    s = sticks()
    a = Sticks(s.energy, s.intensity, s.amplitude, s.initial_state, s.triad, dict(s.meta))
    diff = Sticks.combine([(a, 1.0), (a.sorted().scaled(1.0), -2.0)])
    assert diff.total == pytest.approx(-a.total)
    check_image(plot_spectrum(tmp_path / "diff.png", broaden(diff, B), diff))
    curve_axis, stick_axis = _common_zero([(0.0, 2.0), (-1.0, 3.0)])
    assert stick_axis == (-1.0, 3.0) and curve_axis == pytest.approx((-2.0 / 3.0, 2.0))
    with pytest.raises(ValueError, match="finite"):
        a.scaled(float("nan"))


def test_auger_map_resolves_narrow_lines_over_a_wide_range():
    """Lines 0.05 wide spread over 200: the map's grid must still resolve each line's peak
    (the height of a unit Lorentzian, 2 / (pi FWHM))."""
    finals = np.array([0.0, 100.0, 200.0 + 1.0 / 3.0])
    a = auger()
    a.steps = [(finals, np.ones(3))]
    a.photon_energies = np.array([0.0])
    x, image = auger_map(a, Broadening(lorentz=0.05))
    assert image[0].max() == pytest.approx(2 / (np.pi * 0.05), rel=0.02)
    for e in finals:
        near = np.abs(x - e) < 0.05
        assert image[0][near].max() > 0.9 * 2 / (np.pi * 0.05)


def test_auger_map_rows_keep_each_steps_area():
    a = auger()
    x, image = auger_map(a, Broadening(gauss=0.4))
    assert image.shape == (len(a.steps), x.size)
    areas = trapezoid(image, x, axis=1)
    assert areas == pytest.approx([v.sum() for _, v in a.steps], rel=1e-3)
