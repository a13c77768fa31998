#!/usr/bin/python3
"""Independent reading of an Intel HEX file for the C++ reader's tests (all numbers hex).

    R <type> <address> <length> <checksum> <data>   one line per record, decoded here
    M <start> <bytes>                               the memory segments python3-intelhex reads
    S <EIP|CS:IP> <value>                           the start address, when there is one
"""
import sys

import intelhex


def main(path):
    with open(path, "rb") as f:
        lines = f.read().decode("ascii").splitlines()
    for line in filter(None, lines):
        assert line[0] == ":", line
        raw = bytes.fromhex(line[1:])
        assert sum(raw) & 0xFF == 0 and len(raw) == raw[0] + 5, line
        addr = raw[1] << 8 | raw[2]
        print("R %02x %04x %02x %02x %s" % (raw[3], addr, raw[0], raw[-1], raw[4:-1].hex()))

    ih = intelhex.IntelHex(path)
    for start, end in ih.segments():
        print("M %x %s" % (start, ih.gets(start, end - start).hex()))
    start = ih.start_addr or {}
    if "EIP" in start:
        print("S EIP %x" % start["EIP"])
    elif "CS" in start:
        print("S CS:IP %x" % (start["CS"] << 16 | start["IP"]))


if __name__ == "__main__":
    main(sys.argv[1])
