#!/usr/bin/env python3
"""Side-by-side benchmark: the linvo host and a pyserial host make the same text command
exchange against the same linvo-sim on a pseudo-terminal, alternating, in one run.

For each host it prints the CPU per exchange (user + system, from the host process's own
getrusage around its exchange loop), the system calls per exchange (strace -c, from the
difference of a run of N and of 2N exchanges, so start-up does not count), the median and the
99th-percentile latency, and the linvo/pyserial ratios. With --binary it also runs the 4 KiB
binary echo benchmark and relates its throughput to the ceiling that the 1 ms quiet gap allows
(one block per round trip, each round trip at least one quiet gap long).

Needs the release build (cmake --preset release && cmake --build --preset release) and Debian's
python3-serial (and strace for the system call counts).

Usage: bench/side_by_side/run.py [--build build/release] [--rounds 5] [--count 2000]
                                 [--no-strace] [--binary]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
QUIET_GAP_S = 0.001
BLOCK = 4096


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Simulator:
    """linvo-sim serving a new pseudo-terminal until the object is closed."""

    def __init__(self, build):
        self.process = subprocess.Popen(
            [os.path.join(build, "tools", "linvo-sim")], stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if "serving" not in line:
            raise RuntimeError("linvo-sim did not start: %r" % line)
        self.device = line.split("serving", 1)[1].strip()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=5)


def host_command(build, host, device, count):
    if host == "linvo":
        return [os.path.join(build, "bench", "linvo_exchange_host"), device, str(count)]
    # Debian's interpreter, where python3-serial is installed.
    return ["/usr/bin/python3", os.path.join(HERE, "pyserial_host.py"), device, str(count)]


def run_host(build, host, device, count):
    out = subprocess.run(host_command(build, host, device, count), check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def syscalls(build, host, device, count):
    """System calls per exchange by call name, from strace -c of N and 2N exchanges."""
    def counts(n):
        with tempfile.NamedTemporaryFile("r", suffix=".strace") as summary:
            subprocess.run(["strace", "-f", "-c", "-o", summary.name] +
                           host_command(build, host, device, n),
                           check=True, capture_output=True, text=True)
            table = {}
            for line in summary.read().splitlines():
                fields = line.split()
                # "% time  seconds  usecs/call  calls  [errors]  syscall"
                if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                    table[fields[-1]] = int(fields[3])
            return table
    one, two = counts(count), counts(2 * count)
    per = {name: (two.get(name, 0) - one.get(name, 0)) / count for name in set(one) | set(two)}
    return {name: value for name, value in per.items() if value >= 0.05}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--no-strace", action="store_true")
    parser.add_argument("--binary", action="store_true")
    args = parser.parse_args()

    sim = Simulator(args.build)
    try:
        results = {"linvo": [], "pyserial": []}
        for round_ in range(args.rounds):
            for host in ("linvo", "pyserial"):
                r = run_host(args.build, host, sim.device, args.count)
                cpu = (r["user_s"] + r["system_s"]) / r["exchanges"] * 1e6
                results[host].append({
                    "cpu_us": cpu,
                    "user_us": r["user_s"] / r["exchanges"] * 1e6,
                    "system_us": r["system_s"] / r["exchanges"] * 1e6,
                    "median_us": statistics.median(r["latencies_us"]),
                    "p99_us": percentile(r["latencies_us"], 0.99),
                })
                print("round %d %-8s cpu %6.1f us/exchange (user %5.1f, system %5.1f), "
                      "median %7.1f us, p99 %7.1f us" % (
                          round_ + 1, host, cpu, results[host][-1]["user_us"],
                          results[host][-1]["system_us"], results[host][-1]["median_us"],
                          results[host][-1]["p99_us"]), flush=True)
        calls = {}
        if not args.no_strace and shutil.which("strace"):
            for host in ("linvo", "pyserial"):
                calls[host] = syscalls(args.build, host, sim.device, max(200, args.count // 4))
    finally:
        sim.close()

    print("\nper exchange (median over %d rounds of %d exchanges)" % (args.rounds, args.count))
    summary = {}
    for host, runs in results.items():
        summary[host] = {key: statistics.median(run[key] for run in runs) for key in runs[0]}
        s = summary[host]
        line = "  %-8s cpu %6.1f us   median %7.1f us   p99 %7.1f us" % (
            host, s["cpu_us"], s["median_us"], s["p99_us"])
        if host in calls:
            total = sum(calls[host].values())
            top = ", ".join("%s %.1f" % (n, v) for n, v in
                            sorted(calls[host].items(), key=lambda kv: -kv[1])[:6])
            line += "   syscalls %.1f (%s)" % (total, top)
        print(line)
    ratios = {key: summary["linvo"][key] / summary["pyserial"][key] for key in
              ("cpu_us", "median_us", "p99_us")}
    print("  linvo / pyserial: cpu %.2f, median %.2f, p99 %.2f" % (
        ratios["cpu_us"], ratios["median_us"], ratios["p99_us"]))
    cpu_ratios = [l["cpu_us"] / p["cpu_us"] for l, p in zip(results["linvo"], results["pyserial"])]
    print("  cpu ratio per round: " + ", ".join("%.2f" % r for r in cpu_ratios))

    if args.binary:
        out = subprocess.run(
            [os.path.join(args.build, "bench", "linvo_binary_bench"),
             "--benchmark_filter=BinaryDataEcho", "--benchmark_format=json"],
            check=True, capture_output=True, text=True).stdout
        bench = json.loads(out)["benchmarks"][0]
        ceiling = BLOCK / QUIET_GAP_S
        print("\nbinary echo: %.0f bytes/s of a %.0f bytes/s ceiling (%.0f%%), "
              "%.2f receives per block" % (bench["bytes_per_second"], ceiling,
                                           100 * bench["bytes_per_second"] / ceiling,
                                           bench.get("receives_per_block", 0)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
