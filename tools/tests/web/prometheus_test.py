"""A real Prometheus scrapes smd-host running the mains-failure scenario
with the shipped rules: the DC voltage comes back from its query API, the
mains-failure alert fires and, once the mains are back, the count of raises
tells of it. The rules' own unit tests run through promtool first."""
import json
import os
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from webhost import run


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def api(base, path, **params):
    url = f"{base}/api/v1/{path}?{urllib.parse.urlencode(params)}"
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.load(r)["data"]


def poll(what, fn, timeout):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = fn()
            if last:
                return last
        except OSError:
            pass
        time.sleep(0.25)
    raise AssertionError(f"{what}: not within {timeout} s (last: {last})")


def test_prometheus(host):
    rules = os.path.join(host.source, "examples", "prometheus", "plor_sps_rules.yml")
    check = subprocess.run(["promtool", "check", "rules", rules], capture_output=True, text=True)
    assert check.returncode == 0, check.stdout + check.stderr
    # Every rule against series of its own, each alarm's firing and quiet times.
    unit = subprocess.run(["promtool", "test", "rules", "plor_sps_rules_test.yml"], capture_output=True,
                          text=True, cwd=os.path.dirname(rules))
    assert unit.returncode == 0, unit.stdout + unit.stderr
    work = tempfile.mkdtemp(prefix="smd-prom-")
    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write(f"""global: {{scrape_interval: 1s, evaluation_interval: 1s}}
rule_files: ["{rules}"]
scrape_configs:
  - job_name: site-test
    static_configs: [{{targets: ["{host.url[len('http://'):]}"]}}]
""")
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    prom = subprocess.Popen(["prometheus", f"--config.file={config}", f"--storage.tsdb.path={work}/data",
                             f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        poll("Prometheus ready", lambda: urllib.request.urlopen(base + "/-/ready", timeout=2).status == 200, 20)
        volts = poll("the DC voltage from the query API", lambda: api(
            base, "query", query='plor_sps_dc_voltage_volts{device="sps1",data_id="1"}')["result"], 15)
        assert float(volts[0]["value"][1]) in (53.5, 53.2), volts
        # Fired at some time, even if the mains came back since.
        fired = poll("the mains-failure alert", lambda: api(base, "query", query=(
            'max_over_time(ALERTS{alertname="MainsFailure",alertstate="firing"}[10m])'))["result"], 30)
        assert fired[0]["metric"]["device"] == "sps1"
        # Once cleared, the count of raises tells of it.
        told = poll("the raise told after the clear", lambda: api(base, "query", query=(
            'ALERTS{alertname="AlarmRaisedAndCleared",alarm="mains_fail",alertstate="firing"}'))["result"], 30)
        assert told[0]["metric"]["device"] == "sps1"
        # Nothing else was wrong on this site.
        others = api(base, "query", query=(
            'count_over_time(ALERTS{alertname!~"MainsFailure|AlarmRaisedAndCleared",alertstate="firing"}[10m])'))
        assert not others["result"], others
    finally:
        prom.terminate()
        prom.wait(10)
        subprocess.run(["rm", "-rf", work])


run([test_prometheus])
