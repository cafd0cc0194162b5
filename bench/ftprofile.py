"""Where a workload's time goes on one thread and on two, on a free-threaded
CPython: CPU time per operation in each function, from perf's cpu-clock
samples (a software event, so it works where a virtual machine offers no
hardware counters).

    PYTHON_GIL=0 python bench/ftprofile.py ["map(f), shared" ...]
        [--impl tarvella,plain] [--threads 1,2] [--seconds 3]

The scaling figures of bench/ftscaling.py say how much a second thread
costs; this says who pays it. A workload (named as in ftscaling.py) runs in a
child process under `perf record` for about --seconds on each thread count;
every sample stands for the same slice of CPU time, so a function's samples
over the operations made give its nanoseconds per operation. tarvella's own
code is summed into one row. Process start-up is in the samples too, a few
per cent of them, mostly under other names than the loop's.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import ftscaling  # noqa: E402

# CPU time that one sample stands for, in nanoseconds (4 kHz).
PERIOD_NS = 250_000
OWN_CODE = "tarvella (all of its code)"


def child(name, impl, threads, seconds):
    """Runs the workload on `threads` threads for about `seconds`; prints the
    operations made per thread as JSON."""
    stmt, setup = ftscaling.WORKLOADS[name]
    ns = ftscaling.namespace(impl)
    work = ftscaling.make_work(ns, stmt, setup)
    ftscaling.start_first_thread()
    # On T threads an operation takes longer; a second thread that halves
    # the speed still ends within twice the time asked for.
    n = ftscaling.ops_lasting(work, seconds)
    wall = ftscaling.run(work, n, threads)
    print(json.dumps({"n": n, "wall": wall}))


def parse_report(text):
    """{function: samples} from `perf report --stdio -F overhead,sample,dso,sym`;
    tarvella's functions summed under OWN_CODE."""
    samples = {}
    line_re = re.compile(r"^\s*[\d.]+%\s+(\d+)\s+(\S+)\s+\[[.k]\]\s+(.+?)\s*$")
    for line in text.splitlines():
        m = line_re.match(line)
        if not m:
            continue
        count, dso, symbol = int(m[1]), m[2], m[3]
        key = OWN_CODE if dso.startswith("tarvella") else symbol
        samples[key] = samples.get(key, 0) + count
    return samples


def profile(name, impl, threads, seconds):
    """(operations in all, {function: CPU ns per operation}) for one run."""
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        ran = subprocess.run(
            ["perf", "record", "-q", "-e", "cpu-clock", "-c", str(PERIOD_NS), "-o", data, "--",
             sys.executable, os.path.abspath(__file__), "--child", name, "--impl", impl,
             "--threads", str(threads), "--seconds", str(seconds)],
            check=True, capture_output=True, text=True)
        done = json.loads(ran.stdout.strip().splitlines()[-1])
        report = subprocess.run(
            ["perf", "report", "-i", data, "--stdio", "--no-children",
             "-F", "overhead,sample,dso,sym"],
            check=True, capture_output=True, text=True).stdout
    # The calibration's operations are in the samples too.
    ops = done["n"] * threads + ftscaling.WARM_OPS + ftscaling.CALIBRATION_OPS
    return ops, {f: count * PERIOD_NS / ops for f, count in parse_report(report).items()}


def table(name, impl, counts, results, top):
    first, last = str(counts[0]), str(counts[-1])
    funcs = set()
    for per_op in results.values():
        funcs |= set(per_op)
    change = {f: results[last].get(f, 0.0) - results[first].get(f, 0.0) for f in funcs}
    # The functions whose cost grew most, then tarvella's own row wherever it
    # falls, then the rest together.
    shown = sorted(funcs, key=lambda f: -change[f])[:top]
    if OWN_CODE in funcs and OWN_CODE not in shown:
        shown.append(OWN_CODE)
    cols = ["function"] + [f"CPU ns/op, {t} thread{'s' if t > 1 else ''}" for t in counts]
    out = [f"`{name}`, {impl}:", "", "| " + " | ".join(cols) + " |",
           "|---|" + "---:|" * len(counts)]

    def row(label, values):
        return "| " + " | ".join([label] + [f"{v:.0f}" for v in values]) + " |"

    for f in shown:
        out.append(row(f"`{f}`", [results[str(t)].get(f, 0.0) for t in counts]))
    rest = [sum(v for f, v in results[str(t)].items() if f not in shown) for t in counts]
    out.append(row("everything else", rest))
    out.append(row("**all**", [sum(results[str(t)].values()) for t in counts]))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("workloads", nargs="*", default=["map(f), shared"])
    parser.add_argument("--impl", default="tarvella",
                        help="comma-separated: " + ", ".join(ftscaling.SETUP))
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--top", type=int, default=6, help="functions shown per table")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.impl, int(args.threads), args.seconds)
        return
    counts = [int(t) for t in args.threads.split(",")]
    impls = args.impl.split(",")
    if not set(impls) <= set(ftscaling.SETUP):
        parser.error(f"--impl takes {', '.join(ftscaling.SETUP)}")
    unknown = [w for w in args.workloads if w not in ftscaling.WORKLOADS]
    if unknown:
        parser.error(f"no such workload: {', '.join(unknown)}; "
                     f"the workloads are: {', '.join(ftscaling.WORKLOADS)}")
    try:
        subprocess.run(["perf", "--version"], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        sys.exit("skipped: no perf here (Debian's linux-perf)")
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {sys.version.split()[0]}{'' if gil else ', GIL off'}, "
          f"{os.cpu_count()} CPUs, {time.strftime('%Y-%m-%d %H:%M:%S %z')}\n")
    for name in args.workloads:
        for impl in impls:
            results = {str(t): profile(name, impl, t, args.seconds)[1] for t in counts}
            print(table(name, impl, counts, results, args.top) + "\n", flush=True)


if __name__ == "__main__":
    main()
