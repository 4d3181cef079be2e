"""The dashboard in headless Chromium against smd-host running the
mains-failure scenario: the DC voltage in the device's tile, the mains
failure once raised, and plots with points."""
import os
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from webhost import run

MAINS_FAIL = "41B415001001"


def browser():
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,1400", f"--user-data-dir={tempfile.mkdtemp(prefix='smd-chromium-')}"]:
        opts.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def until(what, check, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if check():
                return
        except Exception:  # the page is still being rebuilt
            pass
        time.sleep(0.2)
    raise AssertionError(f"{what}: not within {timeout} s")


def test_dashboard(host):
    b = browser()
    try:
        b.get(host.url + "/")
        dc = lambda: b.find_element(By.CSS_SELECTOR, '.tile[data-device="sps1"] dd[data-reading="dcVoltage"]').text
        until("DC voltage in the tile", lambda: dc() == "53.5 V", 10)
        until("a plot with points", lambda: int(b.find_element(
            By.CSS_SELECTOR, 'canvas[data-reading="dcVoltage"]').get_attribute("data-points")) > 0, 15)
        # Raised about nine seconds into the scenario; the page updates by itself.
        until("mains failure among the active alarms", lambda: "市电故障" in b.find_element(
            By.CSS_SELECTOR, f'#alarms tr[data-signal="{MAINS_FAIL}"]').text, 25)
        assert "STALE" not in b.find_element(By.ID, "tiles").text
        if os.environ.get("SMD_SCREENSHOT"):
            b.save_screenshot(os.environ["SMD_SCREENSHOT"])
        errors = [e for e in b.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors
    finally:
        b.quit()


run([test_dashboard])
