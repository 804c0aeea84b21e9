#!/usr/bin/python3
"""Writes what a running station serves at /metrics to OUT, for the
dashboard check: the names it reads are the flasher's own, not a copy.

usage: metrics_body.py QIVO_DFU_CLI OUT
"""
import os
import subprocess
import sys
import tempfile
import urllib.request


def main():
    cli, out = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as work:
        image = os.path.join(work, "fw.bin")
        with open(image, "wb") as f:
            f.write(os.urandom(1000))
        station = subprocess.Popen([cli, "--watch", "--json", "--http", "127.0.0.1:0",
                                    "-p", os.path.join(work, "slot"), image],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            line = station.stderr.readline()
            if "board at " not in line:
                print("no board address from the flasher:", line, file=sys.stderr)
                return 1
            url = line.split("board at ", 1)[1].strip()
            with urllib.request.urlopen(url + "metrics", timeout=10) as answer:
                body = answer.read()
        finally:
            station.terminate()
            station.wait(10)
    with open(out, "wb") as f:
        f.write(body)
    return 0


if __name__ == "__main__":
    sys.exit(main())
