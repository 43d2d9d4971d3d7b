"""Edge steps and normalisation against closed forms: the error-function and arctangent steps
are the integrals of a unit-area Gaussian and Lorentzian, the L2 step is a fixed fraction of
the L3 one, and area normalisation divides by the integral."""
from __future__ import annotations

import math

import numpy as np
import pytest

from morvex7.background import edge_step, edge_steps, normalisation
from morvex7.fit import Measured, as_datasets

ERF_1 = 0.8427007929497149  # erf(1), from tables
ERF_HALF = 0.5204998778130465  # erf(1/2)


def test_erf_step_is_the_integral_of_a_gaussian():
    p, w = 853.0, 0.4
    x = np.array([p - 1e3, p - w, p - w / 2, p, p + w / 2, p + w, p + 1e3])
    s = edge_step(x, p, w, "erf")
    expected = [0.0, (1 - ERF_1) / 2, (1 - ERF_HALF) / 2, 0.5, (1 + ERF_HALF) / 2,
                (1 + ERF_1) / 2, 1.0]
    assert s == pytest.approx(expected, abs=1e-12)
    # its slope is the Gaussian exp(-u^2) / (w sqrt(pi)): unit area, FWHM 2 sqrt(ln 2) w
    xs = np.linspace(p - 4.0, p + 4.0, 160001)
    slope = np.gradient(edge_step(xs, p, w, "erf"), xs)
    assert slope.max() == pytest.approx(1 / (w * math.sqrt(math.pi)), rel=1e-6)
    above = xs[slope >= slope.max() / 2]
    assert above[-1] - above[0] == pytest.approx(2 * math.sqrt(math.log(2)) * w, abs=1e-4)


def test_atan_step_is_the_integral_of_a_lorentzian():
    p, w = 0.0, 0.5
    s = edge_step(np.array([-w, 0.0, w, math.sqrt(3) * w]), p, w, "atan")
    assert s == pytest.approx([0.25, 0.5, 0.75, 5 / 6], abs=1e-15)  # atan(sqrt 3) = pi/3
    xs = np.linspace(-3.0, 3.0, 120001)
    slope = np.gradient(edge_step(xs, p, w, "atan"), xs)
    above = xs[slope >= slope.max() / 2]
    assert above[-1] - above[0] == pytest.approx(2 * w, abs=1e-4)  # HWHM = w


@pytest.mark.parametrize("shape", ["atan", "erf"])
def test_l3_and_l2_steps(shape):
    x = np.array([800.0, 860.0, 900.0])  # far below, between the edges, far above
    y = edge_steps(x, 0.6, 852.7, 870.0, 0.5, 1e-4, shape)
    assert y == pytest.approx([0.0, 0.6, 0.9], abs=1e-5)  # the statistical 2:1, 0.6 + 0.3
    assert edge_steps(x, 0.6, 852.7, None, 0.5, 1e-4, shape) == pytest.approx([0, 0.6, 0.6],
                                                                                abs=1e-5)
    assert edge_step(np.array([1.0, 2.0]), 2.0, 0.0, shape).tolist() == [0.0, 1.0]
    with pytest.raises(ValueError, match="unknown step shape"):
        edge_step(x, 0.0, 1.0, "tanh")


def test_area_normalisation_divides_by_the_integral():
    # a triangle on an uneven grid: the trapezoid rule is exact, area = base * height / 2
    x = np.array([0.0, 0.5, 2.0, 2.5, 4.0])
    y = np.array([0.0, 1.0, 4.0, 3.0, 0.0])
    assert normalisation(x, y, "area") == pytest.approx(0.5 * 4.0 * 4.0)
    # a Gaussian of height A and standard deviation s: A s sqrt(2 pi)
    xg = np.linspace(-10.0, 10.0, 4001)
    assert normalisation(xg, 3.0 * np.exp(-xg ** 2 / (2 * 0.7 ** 2)), "area") == \
        pytest.approx(3.0 * 0.7 * math.sqrt(2 * math.pi), rel=1e-9)
    assert normalisation(x, y, "max") == 4.0 and normalisation(x, y, "none") == 1.0
    with pytest.raises(ValueError, match="not positive"):
        normalisation(x, -y, "area")
    with pytest.raises(ValueError, match="unknown normalisation"):
        normalisation(x, y, "sum")


def test_a_normalised_measurement_keeps_its_relative_errors():
    x = np.array([0.0, 0.5, 2.0, 2.5, 4.0])
    y = np.array([0.0, 1.0, 4.0, 3.0, 0.0])
    sigma = np.full(5, 0.2)
    (ds,) = as_datasets(Measured(x, y, sigma), "area")
    assert np.trapz(ds.data.intensity, x) == pytest.approx(1.0)
    assert ds.data.sigma == pytest.approx(sigma / 8.0)
    (ds,) = as_datasets(Measured(x, y, sigma), "max")
    assert ds.data.intensity.max() == 1.0 and ds.data.sigma == pytest.approx(sigma / 4.0)
