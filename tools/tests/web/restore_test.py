"""An alarm left raised by one run shows, in the next run's /api/devices (what
the dashboard draws), with the time the first run raised it."""
import os
import shutil
import sys
import tempfile
import time

from webhost import Host

MAINS_FAIL = "41B415001001"

workdir = tempfile.mkdtemp(prefix="smd-restore-")
db = os.path.join(workdir, "h.db")
scenario = os.path.join(workdir, "down.scn")
with open(scenario, "w") as f:
    f.write("0 930 520 5320 800\n")  # mains down from the start

first = Host(scenario=scenario, extra=("--db", db))
try:
    raised = first.wait_for(lambda e: e.get("event") == "alarm" and e.get("signalId") == MAINS_FAIL
                            and e.get("state") == "raised", 20)
finally:
    assert first.close() == 0
when = time.mktime(time.strptime(raised["time"][:19], "%Y-%m-%d %H:%M:%S"))

second = Host(scenario=scenario, extra=("--db", db))
try:
    site = second.json("/api/devices")
    alarms = {a["signalId"]: a for a in site["devices"][0]["alarms"]}
    assert MAINS_FAIL in alarms, site
    assert alarms[MAINS_FAIL]["raisedAt"] == when, (alarms[MAINS_FAIL], when)
    assert alarms[MAINS_FAIL]["alarm"] == "mains_fail", alarms[MAINS_FAIL]
finally:
    assert second.close() == 0
    shutil.rmtree(workdir, ignore_errors=True)
print("1 passed, 0 failed")
sys.exit(0)
