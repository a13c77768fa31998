#!/usr/bin/python3
"""Payloads for the end-to-end runs, and the check of what the simulated device received.

  payloads.py write DIR [--reference]
                                   the four payload files (fixed seed) into DIR; --reference:
                                   the benchmark's reference sizes (512 KiB firmware in 16-byte
                                   records, 1 MiB, 1 MiB, 256 KiB)
  payloads.py check DIR REPORT     exit 0 when kalvo-devsim's JSON report holds exactly DIR's
                                   payloads, byte for byte; else the differences on stderr
"""
import hashlib
import json
import random
import sys

FLASH_BASE = 0x08000000


def hex_line(rtype, addr, data):
    body = bytes([len(data), addr >> 8, addr & 0xFF, rtype]) + data
    return ":%s%02X\r\n" % (body.hex().upper(), (-sum(body)) & 0xFF)


def write(d, reference=False):
    rng = random.Random(20261207)
    blob = lambda n: rng.randbytes(n)
    sizes = (512 * 1024, 1024 * 1024, 1024 * 1024, 256 * 1024) if reference else \
        (24 * 1024, 96 * 1024 + 77, 64 * 1024 + 5, 20 * 1024 + 300)
    fw = blob(sizes[0])
    lines, upper = [], None
    for off in range(0, len(fw), 16):
        addr = FLASH_BASE + off
        if addr >> 16 != upper:
            upper = addr >> 16
            lines.append(hex_line(4, 0, upper.to_bytes(2, "big")))
        lines.append(hex_line(0, addr & 0xFFFF, fw[off:off + 16]))
    lines.append(":00000001FF\r\n")
    # The image's version tag follows its end record.
    open(d + "/DE7811_project.hex", "w", newline="").write("".join(lines) + "0103")
    open(d + "/fw.bin", "wb").write(fw)
    for name, size in zip(("flagdata.bin", "audioHead.bin", "rdfw.bin"), sizes[1:]):
        open(d + "/" + name, "wb").write(blob(size))


def check(d, report_path):
    rep = json.load(open(report_path))
    bad = []
    for key, name in (("edog", "flagdata.bin"), ("music", "audioHead.bin"), ("radar", "rdfw.bin")):
        want = open(d + "/" + name, "rb").read()
        got = rep[key]
        if got["bytes"] != len(want) or got["sha256"] != hashlib.sha256(want).hexdigest():
            bad.append("%s: %d bytes received, %d sent" % (key, got["bytes"], len(want)))
    fw = open(d + "/fw.bin", "rb").read()
    segs = rep["firmware"]["segments"]
    if len(segs) != 1 or segs[0]["length"] != len(fw) or \
            segs[0]["sha256"] != hashlib.sha256(fw).hexdigest():
        bad.append("firmware: flash holds %s" % segs)
    if rep["violations"]:
        bad.append("protocol violations: %s" % rep["violations"])
    for b in bad:
        print("payloads.py: " + b, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    if len(sys.argv) in (3, 4) and sys.argv[1] == "write":
        write(sys.argv[2], sys.argv[3:] == ["--reference"])
    elif len(sys.argv) == 4 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
