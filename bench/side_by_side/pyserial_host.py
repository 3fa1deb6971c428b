#!/usr/bin/env python3
"""The pyserial host of the side-by-side benchmark, written the way a pyserial user writes it,
doing what linvo_exchange_host does:
  exchange  the text command exchange ("S1": EOT STX S1 ETX BCC, wait for ACK, poll EOT ENQ,
            receive the response until the line has been quiet for 1 ms, as linvo's receive does);
  echo      a 4 KiB block written and read back (linvo-sim --raw-echo), each read going on until
            the line has been quiet for 1 ms, until the whole block is back.
Prints one JSON object with the CPU spent in the exchanges (getrusage around the loop) and each
latency in µs.

Usage: pyserial_host.py DEVICE COUNT [exchange|echo]
"""
import json
import resource
import select
import sys
import time

import serial

STX, ETX, EOT, ENQ, ACK = 0x02, 0x03, 0x04, 0x05, 0x06
QUIET_GAP_S = 0.001
BLOCK = bytes((i * 7 + i // 256) & 0xFF for i in range(4096))


def command_frame(code: bytes) -> bytes:
    body = code + bytes([ETX])
    bcc = 0
    for b in body:
        bcc ^= b
    return bytes([EOT, STX]) + body + bytes([bcc])


def read_until_quiet(port, first: bytes) -> bytes:
    """`first` and whatever arrives after it until the line is quiet for 1 ms."""
    data = first
    while select.select([port.fileno()], [], [], QUIET_GAP_S)[0]:
        data += port.read(port.in_waiting or 1)
    return data


COMMAND = command_frame(b"S1")
POLL = bytes([EOT, ENQ])


def exchange(port) -> str:
    port.write(COMMAND)
    if port.read(1) != bytes([ACK]):
        return "no ACK"
    port.write(POLL)
    response = read_until_quiet(port, port.read(1))
    if len(response) < 3 or response[1] != ord("A"):
        return "bad response %r" % response
    return ""


def echo(port) -> str:
    port.write(BLOCK)
    back = b""
    while len(back) < len(BLOCK):
        first = port.read(1)
        if not first:
            return "time-out after %d bytes" % len(back)
        back += read_until_quiet(port, first)
    return "" if back == BLOCK else "the block came back changed"


def main() -> int:
    mode = sys.argv[3] if len(sys.argv) == 4 else "exchange"
    if len(sys.argv) not in (3, 4) or mode not in ("exchange", "echo"):
        print("usage: pyserial_host.py DEVICE COUNT [exchange|echo]", file=sys.stderr)
        return 2
    device, count = sys.argv[1], int(sys.argv[2])
    step = echo if mode == "echo" else exchange
    latencies = []
    with serial.Serial(device, 115200, timeout=1.0) as port:
        before = resource.getrusage(resource.RUSAGE_SELF)
        for _ in range(count):
            start = time.perf_counter()
            error = step(port)
            latencies.append((time.perf_counter() - start) * 1e6)
            if error:
                print("pyserial_host: " + error, file=sys.stderr)
                return 1
        after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({
        "host": "pyserial",
        "exchanges": count,
        "user_s": after.ru_utime - before.ru_utime,
        "system_s": after.ru_stime - before.ru_stime,
        "latencies_us": latencies,
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
