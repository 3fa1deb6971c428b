#!/usr/bin/env python3
"""Side-by-side benchmark: the linvo host and a pyserial host make the same text command
exchange against the same linvo-sim on a pseudo-terminal, alternating, in one run.

For each host it prints the CPU per exchange (user + system, from the host process's own
getrusage around its exchange loop), the system calls per exchange (strace -c, from the
difference of a run of N and of 2N exchanges, so start-up does not count), the median and the
99th-percentile latency, and the linvo/pyserial ratios, per round and as medians over the rounds.

--binary adds the 4 KiB binary echo (SendBinaryData, ReceiveBinaryData until the block is back;
the pyserial host writes and reads the same block) against a second linvo-sim in raw echo mode,
alternating likewise, and relates each host's throughput to the ceiling that the 1 ms quiet gap
allows: one block per round trip, each round trip at least one quiet gap long.

--bare adds a third host, linvo_bare_host: the same exchange and echo written straight on the
system calls (write, poll, read, the 1 ms quiet gap) with nothing else. Its figures are the
kernel's share of an exchange on the machine at hand, which no host avoids; both hosts are
related to it too. It also prints what the kernel charges for one 1 ms sleep alone.

--other-costs adds the costs that must stay low, from the benchmark programs: an idle port with a
waiting background receive and the comm-event watcher (CPU share, wake-ups per second), 256 open
ports (resident memory), and the exchange rate with logging mode 1 against logging off.

Needs the release build (cmake --preset release && cmake --build --preset release) and Debian's
python3-serial (and strace for the system call counts).

Usage: bench/side_by_side/run.py [--build build/release] [--rounds 5] [--count 2000]
                                 [--no-strace] [--binary] [--blocks 500] [--bare]
                                 [--other-costs]
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
HOSTS = ("linvo", "pyserial")  # --bare adds "bare"


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


class Simulator:
    """linvo-sim serving a new pseudo-terminal until the object is closed."""

    def __init__(self, build, *options):
        self.process = subprocess.Popen(
            [os.path.join(build, "tools", "linvo-sim")] + list(options), stdout=subprocess.PIPE,
            text=True)
        line = self.process.stdout.readline()
        if "serving" not in line:
            raise RuntimeError("linvo-sim did not start: %r" % line)
        self.device = line.split("serving", 1)[1].strip()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=5)


def host_command(build, host, device, count, mode="exchange"):
    if host in ("linvo", "bare"):
        program = "linvo_exchange_host" if host == "linvo" else "linvo_bare_host"
        return [os.path.join(build, "bench", program), device, str(count), mode]
    # Debian's interpreter, where python3-serial is installed.
    return ["/usr/bin/python3", os.path.join(HERE, "pyserial_host.py"), device, str(count), mode]


def run_host(build, host, device, count, mode="exchange"):
    """One run of a host: CPU per step (user, system, total) and latency figures, in µs."""
    out = subprocess.run(host_command(build, host, device, count, mode), check=True,
                         capture_output=True, text=True).stdout
    r = json.loads(out)
    n = r["exchanges"]
    return {
        "cpu_us": (r["user_s"] + r["system_s"]) / n * 1e6,
        "user_us": r["user_s"] / n * 1e6,
        "system_us": r["system_s"] / n * 1e6,
        "median_us": statistics.median(r["latencies_us"]),
        "p99_us": percentile(r["latencies_us"], 0.99),
        "mean_us": statistics.mean(r["latencies_us"]),
    }


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


def alternate(build, hosts, device, rounds, count, mode, describe):
    """Runs the hosts `rounds` times, alternating; prints each run with describe(host, run)."""
    results = {host: [] for host in hosts}
    for round_ in range(rounds):
        for host in hosts:
            run = run_host(build, host, device, count, mode)
            results[host].append(run)
            print("round %d %-8s %s" % (round_ + 1, host, describe(run)), flush=True)
    return results


def medians(runs):
    return {key: statistics.median(run[key] for run in runs) for key in runs[0]}


def exchange_benchmark(args):
    sim = Simulator(args.build)
    try:
        results = alternate(
            args.build, args.hosts, sim.device, args.rounds, args.count, "exchange",
            lambda r: "cpu %6.1f us/exchange (user %5.1f, system %5.1f), median %7.1f us, "
                      "p99 %7.1f us" % (r["cpu_us"], r["user_us"], r["system_us"],
                                        r["median_us"], r["p99_us"]))
        calls = {}
        if not args.no_strace and shutil.which("strace"):
            for host in args.hosts:
                calls[host] = syscalls(args.build, host, sim.device, max(200, args.count // 4))
    finally:
        sim.close()

    print("\nper exchange (median over %d rounds of %d exchanges)" % (args.rounds, args.count))
    summary = {host: medians(runs) for host, runs in results.items()}
    for host in args.hosts:
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
    for key, name in (("cpu_us", "cpu"), ("median_us", "median"), ("p99_us", "p99")):
        per_round = [l[key] / p[key] for l, p in zip(results["linvo"], results["pyserial"])]
        print("  %s ratio per round: %s" % (name, ", ".join("%.2f" % r for r in per_round)))
    if "bare" in args.hosts:
        def cpu_ratios(top, bottom):
            return ", ".join("%.2f" % (t["cpu_us"] / b["cpu_us"])
                             for t, b in zip(results[top], results[bottom]))
        for host in HOSTS:
            print("  %s / bare cpu per round: %s" % (host, cpu_ratios(host, "bare")))
        print("  bare / pyserial cpu per round: %s" % cpu_ratios("bare", "pyserial"))
        sleep = run_host(args.build, "bare", "-", args.count, "sleep")
        print("  a 1 ms sleep that its timer ends is charged %.1f us of cpu here (median of %d); "
              "every host sleeps three times an exchange" % (sleep["cpu_us"], args.count))


def binary_benchmark(args):
    ceiling = BLOCK / QUIET_GAP_S

    def describe(r):
        rate = BLOCK / (r["mean_us"] / 1e6)
        return "%7.0f bytes/s, %3.0f%% of the ceiling, cpu %6.1f us/block, median %7.1f us" % (
            rate, 100 * rate / ceiling, r["cpu_us"], r["median_us"])

    print("\nbinary echo of %d-byte blocks, ceiling %.0f bytes/s (one block per 1 ms quiet gap)"
          % (BLOCK, ceiling))
    sim = Simulator(args.build, "--raw-echo")
    try:
        results = alternate(args.build, args.hosts, sim.device, args.rounds, args.blocks, "echo",
                            describe)
    finally:
        sim.close()
    for host in args.hosts:
        s = medians(results[host])
        print("  %-8s %s (median over the rounds)" % (host, describe(s)))


def run_benchmark(build, name, filter_):
    out = subprocess.run(
        [os.path.join(build, "bench", name), "--benchmark_filter=" + filter_,
         "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def other_costs(args):
    print("\nother costs")
    idle = run_benchmark(args.build, "linvo_idle_bench", ".")
    for name, b in idle.items():
        if name.startswith("BM_IdleBackgroundReceive"):
            print("  idle port, background receive waiting, watcher running: %.4f%% of a core, "
                  "%.1f wake-ups/s" % (b["cpu_percent"], b["switches_per_s"]))
        if name.startswith("BM_IdleManyPorts"):
            print("  %d open ports: %.1f MiB resident (%.1f KiB a port), %.4f%% of a core idle"
                  % (b["ports"], b["rss_MiB"], b["rss_per_port_KiB"], b["cpu_percent"]))
    rates = {}
    for name, b in run_benchmark(args.build, "linvo_exchange_bench", "SendCommandRR").items():
        rates[1 if "logging:1" in name else 0] = b["items_per_second"]
    print("  exchanges/s: logging off %.0f, logging mode 1 %.0f (%.0f%%)" % (
        rates[0], rates[1], 100 * rates[1] / rates[0]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--no-strace", action="store_true")
    parser.add_argument("--binary", action="store_true")
    parser.add_argument("--blocks", type=int, default=500)
    parser.add_argument("--bare", action="store_true")
    parser.add_argument("--other-costs", action="store_true")
    args = parser.parse_args()
    args.hosts = HOSTS + (("bare",) if args.bare else ())

    exchange_benchmark(args)
    if args.binary:
        binary_benchmark(args)
    if args.other_costs:
        other_costs(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
