#!/usr/bin/python3
"""Times the payloads of one update by the terminal face's own lines.

  time_update.py LABEL COMMAND...   runs COMMAND (kalvo-updater --headless ...), stamps each line
                                    of its output as it comes, and prints one JSON line: for each
                                    payload the seconds from its "Разбор ..." to its success text,
                                    and the exit code

The same measure for every build, so that two programs on the same line compare fairly.
"""
import json
import os
import select
import subprocess
import sys
import time

SUCCESS = ("Обновление ПО прошло успешно.", "Обновление базы камер прошло успешно.",
           "Обновление звуковых файлов прошло успешно.", " прошло успешно.")
NAMES = ("firmware", "edog", "music", "radar")


def main():
    label, cmd = sys.argv[1], sys.argv[2:]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    start = time.monotonic()
    lines, pending = [], b""
    # Helpers that the program starts may hold the pipe after it ends: stop at its exit.
    while True:
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            chunk = os.read(proc.stdout.fileno(), 65536)
            now = time.monotonic() - start
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                lines.append((now, line.decode("utf-8", "replace").rstrip("\r")))
            if not chunk:
                break
        elif proc.poll() is not None:
            break
    proc.wait()
    times, begun, n = {}, None, 0
    for t, line in lines:
        if line.startswith("Разбор"):
            begun = t
        elif n < 4 and line in (SUCCESS[n],) and begun is not None:
            times[NAMES[n]] = round(t - begun, 2)
            n, begun = n + 1, None
    print(json.dumps({"label": label, "exit": proc.returncode, "seconds": times,
                      "whole": round(lines[-1][0] if lines else 0.0, 2)}, ensure_ascii=False))


if __name__ == "__main__":
    main()
