"""Broadening against closed forms: areas, peak heights and positions, half widths."""
from __future__ import annotations

import math
import warnings
from types import SimpleNamespace

import numpy as np
import pytest
from scipy.integrate import trapezoid
from scipy.special import erfcx

from morvex7.broadening import (
    Broadening, Grid, LorentzWidths, broaden, broaden_lines, voigt_fwhm,
)

SHAPES = {
    "lorentz": Broadening(lorentz=0.4),
    "gauss": Broadening(gauss=0.3),
    "voigt": Broadening(lorentz=0.25, gauss=0.3),
}


def peak_height(b: Broadening) -> float:
    """Height of a unit-area profile at its centre, from closed forms."""
    lz, gs = b.lorentz_largest, b.gauss
    if gs == 0:
        return 2.0 / (math.pi * lz)
    sigma = gs / (2 * math.sqrt(2 * math.log(2)))
    # Voigt at the centre: Re w(i y) = erfcx(y), y = gamma / (sigma sqrt 2).
    return erfcx(0.5 * lz / (sigma * math.sqrt(2))) / (sigma * math.sqrt(2 * math.pi))


def measured_fwhm(x: np.ndarray, y: np.ndarray) -> float:
    """Width at half maximum, crossings found by linear interpolation."""
    half = y.max() / 2
    above = np.nonzero(y >= half)[0]
    lo, hi = above[0], above[-1]
    left = x[lo - 1] + (half - y[lo - 1]) * (x[lo] - x[lo - 1]) / (y[lo] - y[lo - 1])
    right = x[hi] + (half - y[hi]) * (x[hi + 1] - x[hi]) / (y[hi + 1] - y[hi])
    return right - left


def one_line(energy: float, intensity: float = 1.0) -> SimpleNamespace:
    return SimpleNamespace(energy=np.array([energy]), intensity=np.array([intensity]), meta={})


@pytest.mark.parametrize("kind", SHAPES)
def test_single_line_area_height_position_width(kind):
    b = SHAPES[kind]
    centre = 1.2345
    curve = broaden(one_line(centre, 2.5), b)  # automatic grid
    assert curve.area == pytest.approx(2.5, rel=1e-3)
    # Fine grid around the line: peak position, height and FWHM.
    x = np.linspace(centre - 3, centre + 3, 60001)
    y = broaden_lines(np.array([centre]), np.array([2.5]), b, x)
    assert x[np.argmax(y)] == pytest.approx(centre, abs=1e-4)
    assert y.max() == pytest.approx(2.5 * peak_height(b), rel=1e-6)
    expected = voigt_fwhm(b.lorentz_largest, b.gauss)
    assert measured_fwhm(x, y) == pytest.approx(expected, rel=5e-4)


@pytest.mark.parametrize("kind", SHAPES)
def test_many_lines_area_and_both_paths_agree(kind):
    b = SHAPES[kind]
    rng = np.random.default_rng(7)
    energy, intensity = rng.uniform(-4, 9, 400), rng.random(400)
    sticks = SimpleNamespace(energy=energy, intensity=intensity, meta={"labels": "x"})
    for method in ("dense", "lattice"):
        curve = broaden(sticks, b, method=method)
        assert curve.area == pytest.approx(intensity.sum(), rel=1e-3)
    # The same grid by both paths, with lines far outside it (added densely by the lattice path).
    x = Grid(-1.0, 4.0, 0.01).points()
    dense = broaden_lines(energy, intensity, b, x, "dense")
    lattice = broaden_lines(energy, intensity, b, x, "lattice")
    assert np.max(np.abs(lattice - dense)) < 1e-5 * dense.max()


def test_voigt_reduces_to_lorentz_and_gauss():
    x = np.linspace(-3, 3, 2001)
    line = (np.array([0.1]), np.array([1.0]))
    lorentz = broaden_lines(*line, Broadening(lorentz=0.5), x)
    nearly_lorentz = broaden_lines(*line, Broadening(lorentz=0.5, gauss=1e-4), x)
    assert np.max(np.abs(nearly_lorentz - lorentz)) < 1e-4 * lorentz.max()
    gauss = broaden_lines(*line, Broadening(gauss=0.5), x)
    nearly_gauss = broaden_lines(*line, Broadening(lorentz=1e-6, gauss=0.5), x)
    assert np.max(np.abs(nearly_gauss - gauss)) < 1e-4 * gauss.max()


def test_step_widths_keep_the_area_across_the_edge():
    widths = LorentzWidths((0.0, 5.0), (0.2, 0.6), "steps")
    b = Broadening(lorentz=widths)
    x = np.arange(-200.0, 210.0, 0.01)
    for centre, width in ((4.999, 0.2), (5.0, 0.6), (5.001, 0.6), (-3.0, 0.2)):
        y = broaden_lines(np.array([centre]), np.array([1.0]), b, x)
        assert trapezoid(y, x) == pytest.approx(1.0, rel=1e-3)
        assert y.max() == pytest.approx(2 / (math.pi * width), rel=1e-3)
    curve = broaden(SimpleNamespace(energy=np.array([4.99, 5.01]), intensity=np.ones(2), meta={}), b)
    assert curve.area == pytest.approx(2.0, rel=1e-3)


def test_linear_ramp_width_and_paths():
    widths = LorentzWidths((0.0, 10.0), (0.2, 0.6), "linear")
    assert widths.at(np.array([-1.0, 5.0, 12.0])) == pytest.approx([0.2, 0.4, 0.6])
    b = Broadening(lorentz=widths)
    x = np.linspace(2, 8, 60001)
    y = broaden_lines(np.array([5.0]), np.array([1.0]), b, x)
    assert measured_fwhm(x, y) == pytest.approx(0.4, rel=1e-4)
    rng = np.random.default_rng(3)
    energy, intensity = rng.uniform(-2, 12, 300), rng.random(300)
    grid = Grid(-3, 13, 0.02).points()
    for gauss in (0.0, 0.1):
        bb = Broadening(lorentz=widths, gauss=gauss)
        dense = broaden_lines(energy, intensity, bb, grid, "dense")
        lattice = broaden_lines(energy, intensity, bb, grid, "lattice")
        assert np.max(np.abs(lattice - dense)) < 2e-5 * dense.max()


def test_width_table_file(tmp_path):
    path = tmp_path / "widths.txt"
    path.write_text("# L3 and L2 edges\nlinear\n 0.0  0.3   # below\n12.5 0.7\n")
    w = LorentzWidths.read(path)
    assert (w.kind, w.energies, w.fwhm) == ("linear", (0.0, 12.5), (0.3, 0.7))
    path.write_text("0 0.3\n5 wide\n")
    with pytest.raises(ValueError, match=r"widths.txt, line 2: expected"):
        LorentzWidths.read(path)
    path.write_text("5 0.3\n0 0.4\n")
    with pytest.raises(ValueError, match="widths.txt: the energies of a width table must increase"):
        LorentzWidths.read(path)
    with pytest.raises(ValueError, match="nothing.txt: cannot read"):
        LorentzWidths.read(tmp_path / "nothing.txt")


def test_grids_and_bad_input():
    g = Grid.parse("-1:2:0.5")
    assert g.points() == pytest.approx([-1, -0.5, 0, 0.5, 1, 1.5, 2])
    for text in ("1:2", "a:b:c", "2:1:0.1", "0:1:0"):
        with pytest.raises(ValueError, match="grid"):
            Grid.parse(text)
    with pytest.raises(ValueError, match="no broadening"):
        Broadening()
    with pytest.raises(ValueError, match="Lorentzian FWHM must be >= 0"):
        Broadening(lorentz=-1)
    with pytest.raises(ValueError, match="would need over"):
        Grid.auto(np.array([0.0, 1e6]), Broadening(gauss=1e-3))
    # A grid stepping over the lines is said to; coarse steps away from the lines are fine.
    lines = SimpleNamespace(energy=np.array([0.0, 1.0]), intensity=np.ones(2), meta={})
    with pytest.warns(UserWarning, match="grid step 0.5 is over half the narrowest line width"):
        broaden(lines, Broadening(lorentz=0.2), Grid(-5, 5, 0.5))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        x = np.concatenate((np.arange(-60.0, -2.0, 2.0), np.arange(-2.0, 3.0, 0.01)))
        broaden(lines, Broadening(lorentz=0.2), x)
    # Non-finite lines are left out rather than spoiling the curve.
    y = broaden_lines(np.array([0.0, np.nan]), np.array([1.0, 1.0]), Broadening(0.5), np.zeros(1))
    assert y[0] == pytest.approx(4 / math.pi)
