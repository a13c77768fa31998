#!/usr/bin/python3
"""Independent reading of an Intel HEX file for the C++ reader's tests.

Prints one line per record, decoded here without the C++ code:
    R <type> <address> <length> <checksum> <data hex>
then the memory image that the python3-intelhex module builds from the same file:
    M <absolute start> <bytes hex>          one line per contiguous segment
    S <EIP|CS:IP> <value>                   when the file has a start address record
All numbers are hexadecimal.
"""
import sys

import intelhex


def main(path):
    with open(path, "rb") as f:
        text = f.read().decode("ascii")
    for line in text.splitlines():
        if not line:
            continue
        assert line[0] == ":", line
        raw = bytes.fromhex(line[1:])
        assert sum(raw) & 0xFF == 0, line
        count, addr, rtype = raw[0], (raw[1] << 8) | raw[2], raw[3]
        data = raw[4:-1]
        assert len(data) == count, line
        print("R %02x %04x %02x %02x %s" % (rtype, addr, count, raw[-1], data.hex() or "-"))

    ih = intelhex.IntelHex(path)
    for start, end in ih.segments():
        print("M %x %s" % (start, ih.gets(start, end - start).hex()))
    start = ih.start_addr or {}
    if "EIP" in start:
        print("S EIP %x" % start["EIP"])
    elif "CS" in start:
        print("S CS:IP %x" % ((start["CS"] << 16) | start["IP"]))


if __name__ == "__main__":
    main(sys.argv[1])
