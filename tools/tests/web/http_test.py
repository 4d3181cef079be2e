"""The web front with a real HTTP client: /metrics, /api, read-only, and
clients that misbehave without holding up the rounds."""
import re
import socket
import time

from webhost import run


def test_metrics_exposition(host):
    host.wait_for(lambda e: e.get("event") == "round", 10)
    status, headers, body = host.get("/metrics")
    assert status == 200
    assert headers["Content-Type"].startswith("text/plain; version=0.0.4")
    typed = set(re.findall(r"^# TYPE (\S+) (?:gauge|counter)$", body, re.M))
    for line in body.splitlines():
        if not line.startswith("#"):
            assert line.split("{")[0] in typed, line
    labels = 'device="sps1",data_id="1"'
    for name, value in [("plor_sps_dc_voltage_volts", "53.5"), ("plor_sps_temperature_celsius", "25"),
                        ("plor_sps_ac_voltage_volts", "220"), ("plor_sps_stale", "0")]:
        assert f"{name}{{{labels}}} {value}\n" in body, name
    assert body.count("plor_sps_alarm{") == 6
    assert 'alarm="mains_fail",signal_id="41B415001001",name="市电故障"} 0' in body
    assert re.search(r"plor_sps_rounds_total\{%s\} [1-9]" % labels, body)
    assert f'plor_sps_write_outcomes_total{{{labels},outcome="timeout"}} 0' in body


def test_write_outcome_counted(host):
    host.wait_for(lambda e: e.get("result") == "confirmed", 15)
    body = host.get("/metrics")[2]
    assert 'outcome="confirmed"} 1\n' in body


def test_api_devices_and_history(host):
    site = host.json("/api/devices")
    (d,) = site["devices"]
    assert d["name"] == "sps1" and d["values"]["dcVoltage"] == 53.5 and not d["stale"]
    assert 0 <= d["age"] < 5
    # The longer ranges come from summaries of whole minutes and hours: a run
    # of seconds may have none yet.
    for rng in ["hour", "day", "month", "year"]:
        h = host.json(f"/api/history?device=sps1&range={rng}&points=500")
        assert len(h["t"]) <= 500 and h["t"] == sorted(h["t"]), rng
        assert all(h["from"] <= t <= h["to"] for t in h["t"]), rng
        assert len(h["readings"]["dcVoltage"]["mean"]) == len(h["t"]), rng
        if rng == "hour":
            assert h["t"] and h["readings"]["dcVoltage"]["mean"][-1] == 53.5, h


def test_api_refuses_bad_queries(host):
    for path, status in [("/api/history?device=nope", 404), ("/api/history?device=sps1&range=week", 400),
                         ("/api/history?device=sps1&points=5000", 400),
                         ("/api/history?device=sps1&from=10&to=5", 400),
                         ("/api/transitions?device=sps1&from=x&to=1", 400), ("/nothing", 404)]:
        assert host.get(path)[0] == status, path


def test_read_only(host):
    for method in ["POST", "PUT", "DELETE", "PATCH"]:
        for path in ["/api/devices", "/metrics", "/", "/api/write"]:
            assert host.get(path, method)[0] == 405, (method, path)


def raw(host, data, timeout=5):
    port = int(host.url.rsplit(":", 1)[1])
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        reply = b""
        while True:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            reply += chunk
        return reply


def test_oversized_requests_refused(host):
    huge_header = b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 100000 + b"\r\n\r\n"
    assert not raw(host, huge_header).startswith(b"HTTP/1.1 200")
    huge_body = b"POST /api/devices HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n" + b"x" * 1000
    assert raw(host, huge_body).split(b"\r\n")[0] in (b"HTTP/1.1 405 Method Not Allowed",
                                                       b"HTTP/1.1 413 Payload Too Large")


def test_idle_and_slow_clients_hold_up_nothing(host):
    port = int(host.url.rsplit(":", 1)[1])
    held = []
    for i in range(40):  # far more than the server's threads, queue and backlog
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))  # those past the backlog stay half-open
        held.append(s)
    time.sleep(0.5)
    for s in held[1::2]:
        try:
            s.send(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")  # never finished
        except OSError:
            pass
    before = host.rounds()
    time.sleep(3)
    assert host.rounds() - before >= 2, "rounds stalled while clients held connections"
    for s in held:
        s.close()
    started = time.monotonic()
    assert host.get("/metrics", timeout=15)[0] == 200
    assert time.monotonic() - started < 12


run([test_metrics_exposition, test_write_outcome_counted, test_api_devices_and_history,
     test_api_refuses_bad_queries, test_read_only, test_oversized_requests_refused,
     test_idle_and_slow_clients_hold_up_nothing])
