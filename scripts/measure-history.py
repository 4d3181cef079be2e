#!/usr/bin/env python3
"""The history on a board's flash, measured from outside.

1. Bytes written per round: smd-host runs four simulated supplies (poll
   interval 1000 ms, default options) on a database in a disk folder. The
   kernel's count of bytes it wrote to storage (write_bytes of
   /proc/PID/io) is read while it runs, from the end of its first minute to
   its last round, and divided by the rounds completed in between: what a
   run costs the flash for as long as it goes on. A short run first creates
   the file. The whole run's count, its start and clean stop included, is
   printed beside it (taken at exit through wait4's ru_oublock). As root,
   smd-host gets a /tmp of its own in RAM, as a board's /tmp is: the
   simulated board's input files there are no part of the history's cost.
2. Bytes per stored round at 30 days: a database of 30 days of one round a
   second, written through the store (tools/tests/history_fill), its file
   size (WAL included) over its rounds (about 15 s to write).
3. Start time on that database (in the page cache, as just written): from
   exec until smd-host hands the last stored record back to the device.

  scripts/measure-history.py [--build DIR] [--rounds N] [--commit-every SEC] [--days D]
Exits 1 when a figure is over its bound (1024 B, 100 B, 1 s).
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def site(path, devices, poll_ms):
    settings = {
        "appSetting": {"b_mode": 1, "a2": 0.1, "b2": 0, "ai3x1": 0, "ai3y1": 0,
                       "ai3x2": 6000, "ai3y2": 60, "a4": 0.1, "b4": 0},
    }
    doc = {"devices": [{"name": "sps%d" % (i + 1), "dataId": i + 1, "pollIntervalMs": poll_ms,
                        "settings": settings} for i in range(devices)]}
    with open(path, "w") as f:
        json.dump(doc, f)


def in_ram_tmp(cmd):
    """The command with a /tmp of its own on tmpfs, where that can be had."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        print("note: not root, so /tmp stays as it is; the simulated board's input files count too")
        return cmd
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            'mount -t tmpfs tmpfs /tmp && exec "$@"', "sh"] + cmd


def io_written(pid):
    with open("/proc/%d/io" % pid) as f:
        for line in f:
            if line.startswith("write_bytes:"):
                return int(line.split()[1])
    return 0


def written_by(build, args, settle=0.0):
    """Runs smd-host to its end: bytes it wrote to storage in all (its
    output, read through a pipe, not counted), the bytes and rounds from
    `settle` seconds in to its last round, its output lines, seconds."""
    proc = subprocess.Popen(in_ram_tmp([os.path.join(build, "smd-host")] + args + ["--json"]),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = []
    window = {}

    def read():
        for line in proc.stdout:
            lines.append(line.rstrip("\n"))
            if '"event":"round"' not in line:
                continue
            rounds = sum(1 for x in lines if '"event":"round"' in x)
            try:
                now = io_written(proc.pid)
            except OSError:
                continue
            if "first" not in window and time.monotonic() - start >= settle:
                window["first"] = (rounds, now)
            window["last"] = (rounds, now)

    start = time.monotonic()
    reader = threading.Thread(target=read)
    reader.start()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    reader.join()
    if proc.returncode != 0:
        sys.exit("smd-host failed: %s" % "\n".join(lines[-5:]))
    steady = None
    if "first" in window and window["last"][0] > window["first"][0]:
        steady = (window["last"][1] - window["first"][1], window["last"][0] - window["first"][0])
    return usage.ru_oublock * 512, steady, lines, seconds


def over(value, bound, what):
    if value > bound:
        print("FAILED: %s over its bound of %s" % (what, bound))
    return value > bound


def stored_rounds(lines):
    for line in lines:
        try:
            e = json.loads(line)
        except ValueError:
            continue
        if e.get("event") == "history":
            return e["rounds"]
    sys.exit("no history line from smd-host")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--rounds", type=int, default=200, help="rounds per device (4 devices)")
    ap.add_argument("--poll-ms", type=int, default=1000)
    ap.add_argument("--commit-every", default=None, help="passed to smd-host; default: its own")
    ap.add_argument("--days", type=int, default=30)
    ap.add_argument("--skip-size", action="store_true", help="only the bytes written")
    a = ap.parse_args()
    if not os.path.exists(os.path.join(a.build, "CMakeCache.txt")):
        subprocess.run(["cmake", "-S", ROOT, "-B", a.build, "-G", "Ninja"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", a.build, "--target", "smd-host", "plor_sps", "history_fill"], check=True,
                   stdout=subprocess.DEVNULL)
    # A folder of its own, removed at the end: two runs at once share no file.
    work = os.path.join(a.build, "measure-history", str(os.getpid()))
    os.makedirs(work, exist_ok=True)
    try:
        return measure(a, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure(a, work):
    conf = os.path.join(work, "site.json")
    site(conf, 4, a.poll_ms)
    db = os.path.join(work, "flash.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    base = ["--config", conf, "--simulate", "normal", "--db", db]
    if a.commit_every is not None:
        base += ["--commit-every", a.commit_every]
    written_by(a.build, base + ["--rounds", "2"])
    os.sync()
    written, steady, lines, seconds = written_by(a.build, base + ["--rounds", str(a.rounds)], settle=60)
    rounds = stored_rounds(lines)
    if written == 0 or steady is None or steady[0] == 0:
        sys.exit("nothing written to storage: is %s on a disk (not tmpfs)?" % work)
    per_round = steady[0] / steady[1]
    failed = False
    print("bytes written per round: %.0f B (%d B written for %d rounds of 4 devices, from the first "
          "minute to the last round, poll interval %d ms)" % (per_round, steady[0], steady[1], a.poll_ms))
    print("  the whole run, its start and clean stop included: %.0f B per round (%d B for %d rounds in %.0f s)"
          % (written / max(rounds, 1), written, rounds, seconds))
    failed |= over(per_round, 1024, "bytes written per round")
    if a.skip_size:
        return 1 if failed else 0

    # A history of `days` days of one round a second.
    month = os.path.join(work, "%dd.db" % a.days)
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(month + suffix):
            os.remove(month + suffix)
    fill = subprocess.run([os.path.join(a.build, "tools", "tests", "history_fill"), month, str(a.days)],
                          stdout=subprocess.PIPE, text=True, check=False)
    if fill.returncode != 0:
        sys.exit("history_fill failed")
    rounds_stored, size = [int(w) for w in fill.stdout.split()[0:3:2]]
    per_stored = size / rounds_stored
    print("bytes per stored round at %d days: %.1f B (%d B for %d rounds, WAL included)"
          % (a.days, per_stored, size, rounds_stored))
    failed |= over(per_stored, 100, "bytes per stored round")

    # Start: until the device has its last record back, the file opened,
    # checked and marked for this run.
    one = os.path.join(work, "site1.json")
    site(one, 1, a.poll_ms)
    worst = None
    for _ in range(3):
        start = time.monotonic()
        proc = subprocess.Popen([os.path.join(a.build, "smd-host"), "--config", one, "--simulate", "normal",
                                 "--db", month, "--json"], stdout=subprocess.PIPE, text=True)
        took = None
        for line in proc.stdout:
            if '"restored":true' in line.replace(" ", ""):
                took = time.monotonic() - start
                break
        proc.send_signal(signal.SIGTERM)
        proc.communicate()
        if took is None:
            sys.exit("smd-host did not restore a record from %s" % month)
        worst = took if worst is None else max(worst, took)
    print("start on a %d-day database: %.2f s (%d MB, the slowest of 3 starts)" % (a.days, worst, size >> 20))
    failed |= over(worst, 1.0, "start time")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(month + suffix):
            os.remove(month + suffix)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
