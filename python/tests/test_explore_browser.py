"""The explorer in a real browser: headless Chromium driven by Selenium.

One browser and one server for the module, the steps in the order a user takes them: the page
draws, 10Dq moves the peak by what the closed form says, a failed run and a bad value are told
on the page, a measured spectrum is laid on top and fitted, the exports are written. Where the
browser cannot start, the tests fail and say why: they never pass without a browser.
"""
from __future__ import annotations

import io
import shutil
import tempfile
import time
import tomllib
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

from explore_helpers import TEN_DQ, build_d0, d0_lines, served, stand_in_engine
from morvex7.broadening import Broadening, broaden_lines

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1300,1000"]
WAIT = 60.0  # seconds for anything the page does


@pytest.fixture(scope="module")
def browser():
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as exc:
        pytest.fail(f"the browser tests need Selenium (Debian: python3-selenium; "
                    f"bash tools/setup.sh installs it): {exc}")
    for path in (CHROMIUM, CHROMEDRIVER):
        if not Path(path).is_file():
            pytest.fail(f"the browser tests need {path} (Debian: chromium, chromium-driver; "
                        "bash tools/setup.sh installs them)")
    profile = tempfile.mkdtemp(prefix="morvex7-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in FLAGS + [f"--user-data-dir={profile}"]:
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    except Exception as exc:  # noqa: BLE001 - whatever stops it, the test must say so
        shutil.rmtree(profile, ignore_errors=True)
        pytest.fail(f"headless Chromium could not start, so the page was not tested: {exc}")
    downloads = Path(profile) / "downloads"
    downloads.mkdir()
    driver.execute_cdp_cmd("Page.setDownloadBehavior",
                           {"behavior": "allow", "downloadPath": str(downloads)})
    driver.downloads = downloads
    driver.set_script_timeout(WAIT)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


@pytest.fixture(scope="module")
def page(browser, tmp_path_factory, engine):
    root = tmp_path_factory.mktemp("explore-browser")
    model = build_d0(root / "model")
    with served(model, root / "work", stand_in_engine(root, engine)) as server:
        browser.get(server.url)
        wait_for(browser, "return document.body.dataset.state === 'idle' && "
                          "window.explorer.spectrum !== null", "the first spectrum")
        yield browser


def wait_for(driver, script: str, what: str, timeout: float = WAIT):
    deadline = time.monotonic() + timeout
    while True:
        value = driver.execute_script(script)
        if value:
            return value
        if time.monotonic() > deadline:
            message = driver.execute_script("return document.getElementById('message')"
                                            ".textContent")
            pytest.fail(f"waited {timeout:g} s for {what}; the page says: {message}")
        time.sleep(0.05)


def drawn_peak(driver) -> float:
    """The energy of the highest point of the drawn curve, read back from the SVG path."""
    return driver.execute_script("""
        const svg = document.getElementById('plot');
        const d = svg.querySelector('#curve').getAttribute('d');
        const pts = d.slice(1).split(/[ML]/).map((p) => p.split(',').map(Number));
        let best = pts[0];
        for (const p of pts) if (p[1] < best[1]) best = p;
        const s = svg.dataset;
        return Number(s.x0) + (best[0] - Number(s.left)) / Number(s.width)
               * (Number(s.x1) - Number(s.x0));""")


def type_into(driver, element_id: str, text: str) -> None:
    from selenium.webdriver.common.keys import Keys

    field = driver.find_element("id", element_id)
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(text)


def field_id(name: str) -> str:
    return "param-" + "".join(c if c.isalnum() or c in "_-" else "_" for c in name)


def message(driver) -> str:
    return driver.find_element("id", "message").text


def settled(driver, name: str, value: float) -> str:
    return (f"return document.body.dataset.state === 'idle' && window.explorer.spectrum && "
            f"Number(window.explorer.spectrum.values['{name}']) === {value}")


def test_page_draws_the_spectrum(page):
    from PIL import Image

    assert page.find_element("id", "title").text == "d0 test model"
    png = Image.open(io.BytesIO(page.get_screenshot_as_png())).convert("RGB")
    pixels = np.asarray(png).reshape(-1, 3).astype(int)
    curve = np.all(np.abs(pixels - (0x2D, 0x4B, 0x9A)) < 40, axis=1).sum()
    assert curve > 300, "the curve's colour is not on the screenshot"
    assert page.find_elements("css selector", "#sticks line")
    assert drawn_peak(page) == pytest.approx(d0_lines(1.0)[0][0], abs=0.06)


def test_moving_10dq_moves_the_peak(page):
    before = drawn_peak(page)
    type_into(page, field_id(TEN_DQ), "2")
    wait_for(page, settled(page, TEN_DQ, 2), "the spectrum at 10Dq = 2")
    after = drawn_peak(page)
    # the L3 t2g line lies at -zeta/2 - 0.4 10Dq: 10Dq from 1 to 2 moves it by -0.4 eV
    assert after - before == pytest.approx(-0.4, abs=0.06)
    slider = page.find_element("id", field_id(TEN_DQ) + "-slider")
    assert float(slider.get_attribute("value")) == 2.0


def test_failed_run_and_bad_values_are_told_on_the_page(page):
    curve = page.find_element("id", "curve").get_attribute("d")
    type_into(page, field_id(TEN_DQ), "9.99")
    wait_for(page, "return document.body.dataset.failed === '1'", "the failed run")
    assert "the stand-in engine refuses 9.99" in message(page)
    assert page.find_element("id", "curve").get_attribute("d") == curve  # still drawn
    type_into(page, field_id(TEN_DQ), "5000")
    wait_for(page, "return document.getElementById('message').textContent"
                   ".includes('outside the accepted range')", "the range message")
    type_into(page, field_id(TEN_DQ), "2")
    wait_for(page, "return document.getElementById('message').textContent.includes('redrawn')",
             "the page back at 10Dq = 2")


def test_measured_spectrum_is_laid_on_top_and_fitted(page, tmp_path):
    # the model's own spectrum at 10Dq = 1.4 and other widths on a photon-energy axis, as a
    # measurement; the fit finds 10Dq and the line shape
    x = np.arange(445.0, 460.0, 0.05)
    lines = d0_lines(1.4)
    y = 300.0 * broaden_lines(np.array([455.0 + e for e, _ in lines]),
                              np.array([w for _, w in lines]), Broadening(0.4, 0.25), x) + 5.0
    data = tmp_path / "measured.csv"
    data.write_text("photon energy,intensity\n" + "".join(f"{a:.3f},{b:.6f}\n"
                                                          for a, b in zip(x, y)))
    page.find_element("id", "measured-file").send_keys(str(data))
    wait_for(page, "return document.getElementById('measured-line') !== null",
             "the measured curve")
    assert "measured.csv: 300 points" in page.find_element("id", "measured-name").text
    page.find_element("id", field_id(TEN_DQ) + "-fit").click()
    page.find_element("id", "fit").click()
    wait_for(page, "return document.body.dataset.fit === 'done' || "
                   "document.body.dataset.fit === 'failed'", "the fit", timeout=120)
    assert page.execute_script("return document.body.dataset.fit") == "done", message(page)
    report = page.find_element("id", "report").text
    assert "[[Variables]]" in report
    fitted = float(page.find_element("id", field_id(TEN_DQ)).get_attribute("value"))
    assert fitted == pytest.approx(1.4, abs=0.005)
    widths = [float(page.find_element("id", f).get_attribute("value"))
              for f in ("view-lorentz", "view-gauss")]
    assert widths == pytest.approx([0.4, 0.25], abs=0.01)
    shift = float(page.find_element("id", "overlay-shift").get_attribute("value"))
    assert shift == pytest.approx(455.0, abs=0.01)
    assert page.find_element("id", "fit-line")
    wait_for(page, "return document.body.dataset.state === 'idle' && Math.abs(Number("
                   f"window.explorer.view.lorentz) - {widths[0]}) < 1e-3",
             "the spectrum with the fitted widths")


def test_exports(page):
    folder = page.downloads
    for button in ("export-csv", "export-svg", "export-png", "export-toml"):
        page.find_element("id", button).click()
    names = {"spectrum.csv", "spectrum.svg", "spectrum.png", "model.toml"}
    deadline = time.monotonic() + WAIT
    while {p.name for p in folder.iterdir()} != names:
        assert time.monotonic() < deadline, sorted(p.name for p in folder.iterdir())
        time.sleep(0.1)
    csv = (folder / "spectrum.csv").read_text()
    table = np.loadtxt(csv.splitlines(), delimiter=",", comments="#", skiprows=5)
    assert table.shape[1] == 2 and table.shape[0] > 100
    assert "curve" in ET.fromstring((folder / "spectrum.svg").read_bytes()).find(
        ".//{http://www.w3.org/2000/svg}path[@id='curve']").attrib["id"]
    assert (folder / "spectrum.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    description = tomllib.loads((folder / "model.toml").read_text())
    assert description["excited"]["zeta_c"] == 3.0
    fitted = float(page.find_element("id", field_id(TEN_DQ)).get_attribute("value"))
    assert description["ground"]["10Dq"] == pytest.approx(fitted, rel=1e-5)
