#!/usr/bin/env python3
"""The pyserial host of the network benchmark: the text command exchange of pyserial_host.py over
pyserial's own RFC 2217 client (serial.serial_for_url("rfc2217://...")), written the way a
pyserial user writes it. Its port object has no descriptor to select on, so the 1 ms quiet gap
that ends the response is a read with a 1 ms time-out; ign_set_control keeps its open from
waiting for answers that a server on a pseudo-terminal never gives.

Usage: pyserial_net_host.py URL COUNT
Prints one JSON object as pyserial_host.py does.
"""
import json
import os
import resource
import sys
import time

import serial

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pyserial_host import ACK, COMMAND, POLL, QUIET_GAP_S  # noqa: E402

FIRST_BYTE_S = 1.0


def read_first(port) -> bytes:
    deadline = time.monotonic() + FIRST_BYTE_S
    while time.monotonic() < deadline:
        first = port.read(1)
        if first:
            return first
    return b""


def read_until_quiet(port, first: bytes) -> bytes:
    data = first
    while True:
        more = port.read(4096)  # returns after the 1 ms time-out when nothing more comes
        if not more:
            return data
        data += more


def exchange(port) -> str:
    port.write(COMMAND)
    if read_first(port) != bytes([ACK]):
        return "no ACK"
    port.write(POLL)
    response = read_until_quiet(port, read_first(port))
    if len(response) < 3 or response[1] != ord("A"):
        return "bad response %r" % response
    return ""


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: pyserial_net_host.py URL COUNT", file=sys.stderr)
        return 2
    url, count = sys.argv[1], int(sys.argv[2])
    latencies = []
    port = serial.serial_for_url(url, 115200, timeout=QUIET_GAP_S)
    try:
        before = resource.getrusage(resource.RUSAGE_SELF)
        for _ in range(count):
            start = time.perf_counter()
            error = exchange(port)
            latencies.append((time.perf_counter() - start) * 1e6)
            if error:
                print("pyserial_net_host: " + error, file=sys.stderr)
                return 1
        after = resource.getrusage(resource.RUSAGE_SELF)
    finally:
        port.close()
    print(json.dumps({
        "host": "pyserial-rfc2217",
        "exchanges": count,
        "user_s": after.ru_utime - before.ru_utime,
        "system_s": after.ru_stime - before.ru_stime,
        "latencies_us": latencies,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
