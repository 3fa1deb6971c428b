#!/usr/bin/env python3
"""The pyserial host of the side-by-side benchmark: the same text command exchange as
linvo_exchange_host ("S1": EOT STX S1 ETX BCC, wait for ACK, poll EOT ENQ, receive the response
until the line has been quiet for 1 ms, as linvo's receive does), written the way a pyserial user
writes it. Prints one JSON
object with the CPU spent in the exchanges (getrusage around the loop) and each latency in µs.

Usage: pyserial_host.py DEVICE COUNT
"""
import json
import resource
import select
import sys
import time

import serial

STX, ETX, EOT, ENQ, ACK = 0x02, 0x03, 0x04, 0x05, 0x06
QUIET_GAP_S = 0.001


def command_frame(code: bytes) -> bytes:
    body = code + bytes([ETX])
    bcc = 0
    for b in body:
        bcc ^= b
    return bytes([EOT, STX]) + body + bytes([bcc])


def main() -> int:
    if len(sys.argv) != 3:
        print("usage: pyserial_host.py DEVICE COUNT", file=sys.stderr)
        return 2
    device, count = sys.argv[1], int(sys.argv[2])
    frame = command_frame(b"S1")
    poll = bytes([EOT, ENQ])
    latencies = []
    with serial.Serial(device, 115200, timeout=1.0) as port:
        before = resource.getrusage(resource.RUSAGE_SELF)
        for _ in range(count):
            start = time.perf_counter()
            port.write(frame)
            if port.read(1) != bytes([ACK]):
                print("pyserial_host: no ACK", file=sys.stderr)
                return 1
            port.write(poll)
            response = port.read(1)
            # The rest of the response: whatever arrives until the line is quiet for 1 ms.
            while select.select([port.fileno()], [], [], QUIET_GAP_S)[0]:
                response += port.read(port.in_waiting or 1)
            latencies.append((time.perf_counter() - start) * 1e6)
            if len(response) < 3 or response[1] != ord("A"):
                print("pyserial_host: bad response %r" % response, file=sys.stderr)
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
