#!/usr/bin/python3
"""The service station against 1, 4 and 8 simulated devices at the real line rate.

  bench/station_bench.py [BUILD_DIR] [--counts 1,4,8] [--json FILE]

Each device is a kalvo-devsim on a pseudo-terminal at 256000 baud with the wire time of 10 bits
a byte; the payloads are small (24 KiB firmware in 16-byte records and 20 KiB radar firmware), so
one device takes about 10 s, most of it the updater's 7 s pause after the firmware. For each count
the station runs with --once and the record checked: every run exit code 0 and every device holds
its payloads byte for byte. Reported: wall time, its ratio to one device, CPU seconds per device
(the child updaters, from the station's rusage less its own), the station's own CPU and its peak
resident memory (VmHWM).
"""
import hashlib
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import payloads  # noqa: E402


def proc_status(pid, key):
    try:
        for line in open("/proc/%d/status" % pid):
            if line.startswith(key + ":"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


def proc_cpu(pid):
    try:
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError):
        return None


def intact(work, report_path):
    rep = json.load(open(report_path))
    radar = open(os.path.join(work, "rdfw.bin"), "rb").read()
    fw = open(os.path.join(work, "fw.bin"), "rb").read()
    segs = rep["firmware"]["segments"]
    return (rep["radar"]["sha256"] == hashlib.sha256(radar).hexdigest() and len(segs) == 1 and
            segs[0]["sha256"] == hashlib.sha256(fw).hexdigest() and not rep["violations"])


def run(build, work, n):
    devs, ports = [], []
    for i in range(n):
        report = os.path.join(work, "dev%d-%d.json" % (n, i))
        p = subprocess.Popen([os.path.join(build, "bin", "kalvo-devsim"), "--report", report],
                             stdout=subprocess.PIPE, text=True)
        ports += ["--port", p.stdout.readline().strip()]
        devs.append((p, report))
    record = os.path.join(work, "record-%d.csv" % n)
    cmd = [os.path.join(build, "bin", "kalvo-updater"), "--station", "--once", "--headless",
           "--payload-dir", work, "--record", record] + ports
    start = time.monotonic()
    station = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    hwm, own = 0, 0.0
    while True:
        pid, status, usage = os.wait4(station.pid, os.WNOHANG)
        if pid == station.pid:
            break
        hwm = max(hwm, proc_status(station.pid, "VmHWM") or 0)
        own = proc_cpu(station.pid) or own
        time.sleep(0.05)
    wall = time.monotonic() - start
    total = usage.ru_utime + usage.ru_stime
    for p, _ in devs:
        p.send_signal(signal.SIGTERM)
        p.wait()
    lines = open(record).read().splitlines()[1:]
    ok = (os.waitstatus_to_exitcode(status) == 0 and len(lines) == n and
          all(line.split(",")[-2] == "0" for line in lines) and
          all(intact(work, r) for _, r in devs))
    if not ok:
        print("  exit status %d; record:\n  %s" % (os.waitstatus_to_exitcode(status),
                                                   "\n  ".join(lines)), file=sys.stderr)
        for _, r in devs:
            if not intact(work, r):
                print("  " + open(r).read()[:600], file=sys.stderr)
    return {"devices": n, "wall_s": round(wall, 2), "cpu_per_device_s": round((total - own) / n, 3),
            "station_cpu_s": round(own, 3), "station_peak_rss_kib": hwm, "all_intact": ok}


def main():
    args = sys.argv[1:]
    build, counts, out = "build", [1, 4, 8], None
    while args:
        a = args.pop(0)
        if a == "--counts":
            counts = [int(c) for c in args.pop(0).split(",")]
        elif a == "--json":
            out = args.pop(0)
        else:
            build = a
    results = []
    with tempfile.TemporaryDirectory(prefix="kalvo-station-bench-") as work:
        payloads.write(work)
        for name in ("flagdata.bin", "audioHead.bin"):
            os.remove(os.path.join(work, name))
        for n in counts:
            r = run(build, work, n)
            r["ratio"] = round(r["wall_s"] / results[0]["wall_s"], 3) if results else 1.0
            results.append(r)
            print("%d device(s): %.2f s wall, ratio %.3f, %.3f CPU s a device, station %.3f CPU s "
                  "and %d KiB peak, %s" % (n, r["wall_s"], r["ratio"], r["cpu_per_device_s"],
                                           r["station_cpu_s"], r["station_peak_rss_kib"],
                                           "all intact" if r["all_intact"] else "NOT ALL INTACT"),
                  flush=True)
    load = open("/proc/loadavg").read().split()[:3]
    doc = {"load_average_before_end": load, "cores": os.cpu_count(), "runs": results}
    if out:
        json.dump(doc, open(out, "w"), indent=2)
        open(out, "a").write("\n")
    return 0 if all(r["all_intact"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
