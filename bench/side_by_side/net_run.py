#!/usr/bin/env python3
"""Network benchmark: the text command exchange (SendCommandRR "S1") against one linvo-sim on a
pseudo-terminal, made three ways, taking turns in one run:
  linvo-rfc2217     linvo_exchange_host with COM1=rfc2217://127.0.0.1:PORT, through ser2net
  pyserial-rfc2217  pyserial's RFC 2217 client (pyserial_net_host.py), through the same ser2net
  linvo-local       linvo_exchange_host on the pseudo-terminal itself (ser2net holds the device
                    only while a client is connected, so the turns do not meet)
For each it prints the CPU per exchange (user + system of the whole host process, its threads
included, from getrusage around the exchange loop), median and 99th-percentile latency, per
round and as medians over the rounds, then the ratios: linvo's CPU against pyserial's over the
network, and linvo's latency over the network against the local pseudo-terminal's.

ser2net runs in the foreground with a generated configuration on 127.0.0.1 (chardelay off) and is
stopped at the end. Needs the release build, Debian's ser2net and python3-serial.

Usage: bench/side_by_side/net_run.py [--build build/release] [--rounds 5] [--count 1000]
"""
import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import ROOT, Simulator, percentile, run_host  # noqa: E402

HOSTS = ("linvo-rfc2217", "pyserial-rfc2217", "linvo-local")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Ser2net:
    """ser2net serving `device` as RFC 2217 on 127.0.0.1 until closed."""

    def __init__(self, device, directory):
        self.port = free_port()
        config = os.path.join(directory, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &bench\n"
                    f"  accepter: telnet(rfc2217),tcp,127.0.0.1,{self.port}\n"
                    f"  connector: serialdev,{device},115200n81,local\n"
                    "  options:\n"
                    "    chardelay: false\n")
        self.process = subprocess.Popen(["ser2net", "-n", "-u", "-c", config],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except OSError:
                time.sleep(0.05)
        else:
            self.close()
            raise RuntimeError("ser2net did not start")
        time.sleep(0.2)  # the probe connection is gone before the first host connects

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=5)


def target(host, sim, server):
    url = f"rfc2217://127.0.0.1:{server.port}"
    if host == "linvo-rfc2217":
        return "linvo", url + "?ign_modem_state"  # ser2net reports a pty's lines as off
    if host == "pyserial-rfc2217":
        return "pyserial", url + "?ign_set_control"
    return "linvo", sim.device


def run(build, host, sim, server, count):
    kind, device = target(host, sim, server)
    if kind == "linvo":
        return run_host(build, "linvo", device, count)
    # run_host's pyserial command is the pty host; this one speaks RFC 2217.
    out = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "pyserial_net_host.py"), device,
                          str(count)], check=True, capture_output=True, text=True).stdout
    r = json.loads(out)
    n = r["exchanges"]
    return {"cpu_us": (r["user_s"] + r["system_s"]) / n * 1e6,
            "median_us": statistics.median(r["latencies_us"]),
            "p99_us": percentile(r["latencies_us"], 0.99)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=1000)
    args = parser.parse_args()
    if shutil.which("ser2net") is None:
        sys.exit("net_run.py needs ser2net (scripts/install-deps.sh installs it)")
    sim = Simulator(args.build)
    with tempfile.TemporaryDirectory() as directory:
        server = Ser2net(sim.device, directory)
        try:
            results = {host: [] for host in HOSTS}
            for round_ in range(args.rounds):
                for host in HOSTS:
                    r = run(args.build, host, sim, server, args.count)
                    results[host].append(r)
                    print("round %d %-17s CPU %7.1f µs/exchange  median %7.1f µs  p99 %7.1f µs"
                          % (round_ + 1, host, r["cpu_us"], r["median_us"], r["p99_us"]),
                          flush=True)
        finally:
            server.close()
            sim.close()
    med = {host: {key: statistics.median(r[key] for r in runs)
                  for key in ("cpu_us", "median_us", "p99_us")}
           for host, runs in results.items()}
    print("\nmedians over %d rounds of %d exchanges" % (args.rounds, args.count))
    for host in HOSTS:
        m = med[host]
        print("  %-17s CPU %7.1f µs/exchange  median %7.1f µs  p99 %7.1f µs"
              % (host, m["cpu_us"], m["median_us"], m["p99_us"]))
    net, py, local = med["linvo-rfc2217"], med["pyserial-rfc2217"], med["linvo-local"]
    print("  CPU linvo-rfc2217 / pyserial-rfc2217: %.2f (goal: at most 0.5)"
          % (net["cpu_us"] / py["cpu_us"]))
    print("  median latency linvo-rfc2217 - linvo-local: %+.1f µs (goal: at most +300 µs)"
          % (net["median_us"] - local["median_us"]))


if __name__ == "__main__":
    main()
