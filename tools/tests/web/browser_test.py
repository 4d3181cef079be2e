"""The dashboard in headless Chromium against smd-host running the
mains-failure scenario: the DC voltage in the device's tile, the mains
failure once raised, and plots with points."""
import os
import re
import shutil
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from webhost import run

MAINS_FAIL = "41B415001001"


def browser(profile):
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,1400", f"--user-data-dir={profile}"]:
        opts.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def watch(checks, timeout):
    """Polls every check until each has held once: the mains failure lasts
    only five seconds of the scenario, whatever the others take."""
    seen = set()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and len(seen) < len(checks):
        for what, check in checks.items():
            try:
                if what not in seen and check():
                    seen.add(what)
            except Exception:  # the page is still being rebuilt
                pass
        time.sleep(0.2)
    missing = set(checks) - seen
    assert not missing, f"not seen within {timeout} s: {sorted(missing)}"


def test_dashboard(host):
    profile = tempfile.mkdtemp(prefix="smd-chromium-")
    b = browser(profile)
    try:
        b.get(host.url + "/")
        css = lambda sel: b.find_element(By.CSS_SELECTOR, sel)
        watch({
            "DC voltage in the tile": lambda: css(
                '.tile[data-device="sps1"] dd[data-reading="dcVoltage"]').text in ("53.5 V", "53.2 V"),
            "a plot with points": lambda: int(css(
                'canvas[data-reading="dcVoltage"]').get_attribute("data-points")) > 0,
            # Raised about nine seconds into the scenario; the page updates by itself.
            "mains failure among the active alarms": lambda: "市电故障" in css(
                f'#alarms tr[data-signal="{MAINS_FAIL}"]').text,
        }, 30)
        assert "STALE" not in b.find_element(By.ID, "tiles").text
        # Seconds of data fill the plot rather than the right edge of an hour; one clock.
        x_min = b.execute_script("return Chart.getChart(document.querySelector("
                                 "'canvas[data-reading=dcVoltage]')).scales.x.min")
        assert x_min > time.time() - 300, x_min
        assert re.fullmatch(r"\d+ points, one per round \(raw\), since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d",
                            css("#tier").text), css("#tier").text
        assert re.fullmatch(r"updated \d\d:\d\d:\d\d", css("#status").text), css("#status").text
        if os.environ.get("SMD_SCREENSHOT"):
            b.save_screenshot(os.environ["SMD_SCREENSHOT"])
        errors = [e for e in b.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors
    finally:
        b.quit()
        shutil.rmtree(profile, ignore_errors=True)


run([test_dashboard])
