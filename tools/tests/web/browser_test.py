"""The dashboard in headless Chromium against smd-host running the
mains-failure scenario, on a history with an outage before it: the DC
voltage in the device's tile, the mains failure once raised (banner, list,
transitions, shaded on the plots), the outage as a break in the lines, the
page at a phone's width, and the banner and tiles once smd-host stops."""
import os
import re
import shutil
import subprocess
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from webhost import Host, run

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


def outage(host):
    """A few rounds, then ten seconds with none before the host starts."""
    subprocess.run([host.exe, "--plugin", host.plugin, "--db", host.db, "--simulate", "mains-failure",
                    "--rounds", "3"], check=True, capture_output=True, timeout=30)
    time.sleep(10)


def shot(b, name):
    if os.environ.get("SMD_SCREENSHOT"):  # a folder
        b.save_screenshot(os.path.join(os.environ["SMD_SCREENSHOT"], name + ".png"))


def test_dashboard(host):
    profile = tempfile.mkdtemp(prefix="smd-chromium-")
    b = browser(profile)
    try:
        b.get(host.url + "/")
        css = lambda sel: b.find_element(By.CSS_SELECTOR, sel)
        attr = lambda sel, name: int(css(sel).get_attribute(name))
        mains = f'#alarms tr[data-signal="{MAINS_FAIL}"]'
        watch({
            "DC voltage in the tile": lambda: css(
                '.tile[data-device="sps1"] dd[data-reading="dcVoltage"]').text in ("53.5 V", "53.2 V"),
            "a plot with points": lambda: int(css(
                'canvas[data-reading="dcVoltage"]').get_attribute("data-points")) > 0,
            "the outage as a break in the lines": lambda: attr('canvas[data-reading="dcVoltage"]',
                                                               "data-gaps") >= 1,
            # Raised about nine seconds into the scenario; the page updates by itself.
            "mains failure among the active alarms, by name, key and duration": lambda: all(
                re.search(p, css(mains).text) for p in ["市电故障", "mains_fail", r"\d\d:\d\d:\d\d"])
            and re.fullmatch(r"\d+ s", css(mains + " td[data-raised]").text),
            "the banner counting the alarms": lambda: css("#banner").get_attribute("data-state") == "alarm"
            and re.fullmatch(r"\d alarms?", css("#banner-text").text),
            "the raise among the recent transitions": lambda: "raised" in css(
                '#transitions tr[data-alarm="mains_fail"]').text,
            "the alarm's period shaded on the plots": lambda: attr('canvas[data-reading="acVoltage"]',
                                                                   "data-alarm-spans") >= 1,
        }, 40)
        shot(b, "desktop")
        assert "STALE" not in b.find_element(By.ID, "tiles").text
        # Seconds of data fill the plot rather than the right edge of an hour; one clock.
        x_min = b.execute_script("return Chart.getChart(document.querySelector("
                                 "'canvas[data-reading=dcVoltage]')).scales.x.min")
        assert x_min > time.time() - 300, x_min
        assert re.fullmatch(r"\d+ points, one per round \(raw\), since \d{4}-\d\d-\d\d \d\d:\d\d:\d\d",
                            css("#tier").text), css("#tier").text
        assert re.fullmatch(r"last contact \d s ago", css("#contact").text), css("#contact").text
        errors = [e for e in b.get_log("browser") if e["level"] == "SEVERE"]
        assert not errors, errors

        # A phone: everything fits its width, the latest values and the alarms' times too.
        b.set_window_size(390, 844)
        time.sleep(1)
        width = b.execute_script("return [window.innerWidth, document.documentElement.scrollWidth]")
        assert width[0] <= 390 and width[1] <= width[0], width
        shot(b, "phone")

        # smd-host stops: the page says so at once, greys the tiles and counts the silence.
        host.proc.terminate()
        host.proc.wait(20)
        watch({"the banner unreachable": lambda: css("#banner").get_attribute("data-state") == "unreachable",
               "the tiles greyed": lambda: "off" in css('.tile[data-device="sps1"]').get_attribute("class")},
              10)
        first = css("#contact").text
        time.sleep(2.2)
        assert first != css("#contact").text and css("#contact").text.startswith("last contact"), first
        shot(b, "down")
    finally:
        b.quit()
        shutil.rmtree(profile, ignore_errors=True)


run([test_dashboard], host=lambda: Host(prepare=outage))
