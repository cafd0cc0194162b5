"""Times every case of cases.py on every implementation, interleaved.

All timers live in this one process. Each round runs one sample of every
(case, implementation) pair in a freshly shuffled order, so a burst of noise
from the rest of the machine lands on all of them alike rather than on
whichever happened to run at that moment. A sample is a loop of N
iterations; N is calibrated per pair so a sample takes about a millisecond,
and then kept fixed for all rounds. Per pair we keep the minimum and the
quartiles over the rounds, in ns per operation.
"""

import argparse
import gc
import json
import os
import platform
import random
import statistics
import sys
import time
from importlib import metadata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cases import CASES, IMPLEMENTATIONS, Case  # noqa: E402
from timing import namespace_of, timer_for  # noqa: E402

N_MIN, N_MAX = 2000, 20000
SAMPLE_NS = 1_000_000
LOOP = Case("(empty loop)", "reference", {"-": "pass"})


def check_agreement():
    """The adapters must compute the same things, or the race is meaningless."""
    sums = {}
    for impl in IMPLEMENTATIONS:
        ns = namespace_of(impl)
        if "pipeline" in ns:
            sums[impl] = ns["pipeline"](ns["DATA"])
    if len(set(sums.values())) != 1:
        raise SystemExit(f"the pipelines disagree: {sums}")
    return next(iter(sums.values()))


def calibrate(timer, per_call):
    timer(200)  # warm the specialising interpreter
    probe = 1 if per_call > 1 else 1000
    per_iteration = min(timer(probe) for _ in range(3)) / probe
    n = max(1, round(SAMPLE_NS / max(per_iteration, 1.0)))
    if per_call == 1:
        n = min(N_MAX, max(N_MIN, n))
    else:
        n = max(2, n)
    return n, per_iteration


def machine():
    cpu = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key = key.strip()
                if key in ("model name", "cpu MHz", "cache size") and key not in cpu:
                    cpu[key] = value.strip()
    except OSError:
        pass
    return {
        "cpu": cpu.get("model name", "unknown"),
        "cpu_mhz": cpu.get("cpu MHz"),
        "cache": cpu.get("cache size"),
        "nproc": os.cpu_count(),
        "python": platform.python_version(),
        "python_build": " ".join(platform.python_build()),
        "platform": platform.platform(),
        "loadavg_before": os.getloadavg(),
    }


def versions():
    out = {}
    for dist in ["tarvella", "tarvella-bench-baseline", "result", "returns"]:
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = None
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--budget", type=float, default=60.0,
                        help="seconds to spend on the timed rounds (default 60)")
    parser.add_argument("--rounds", type=int, default=0,
                        help="number of rounds; overrides --budget")
    parser.add_argument("--out", required=True, help="the JSON file to write (or update)")
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()

    host = machine()
    date = time.strftime("%Y-%m-%d %H:%M:%S %z")
    benches = []  # (case, impl, timer)
    for case in [LOOP] + CASES:
        for impl in (["-"] if case is LOOP else IMPLEMENTATIONS):
            if impl in case.stmts:
                benches.append((case, impl, timer_for(impl, case.stmts[impl])))
    pipeline_sum = check_agreement()

    gc.collect()
    gc.disable()
    print(f"calibrating {len(benches)} timers ...", flush=True)
    plan = []
    round_ns = 0.0
    for case, impl, timer in benches:
        n, per_iteration = calibrate(timer, case.per_call)
        plan.append(n)
        round_ns += n * per_iteration
    # The calibration sees the machine at its quietest; under load a round
    # takes longer, so a budget ends the rounds by the clock, not by a count.
    if args.rounds > 0:
        print(f"{args.rounds} rounds of at least {round_ns / 1e6:.0f} ms each", flush=True)
    else:
        print(f"rounds of at least {round_ns / 1e6:.0f} ms each for {args.budget:.0f} s",
              flush=True)

    rng = random.Random(args.seed)
    samples = [[] for _ in benches]
    order = list(range(len(benches)))
    started = time.monotonic()
    rounds, reported = 0, 0.0
    while True:
        elapsed = time.monotonic() - started
        if (args.rounds > 0 and rounds >= args.rounds) or (
                args.rounds <= 0 and rounds >= 20 and elapsed >= args.budget):
            break
        rng.shuffle(order)
        for i in order:
            case, impl, timer = benches[i]
            n = plan[i]
            samples[i].append(timer(n) / n / case.per_call)
        rounds += 1
        if elapsed - reported >= 10:
            reported = elapsed
            print(f"  round {rounds} ({elapsed:.0f} s)", flush=True)
    elapsed = time.monotonic() - started
    gc.enable()

    results = []
    for (case, impl, _), n, got in zip(benches, plan, samples):
        q1, _, q3 = statistics.quantiles(got, n=4)
        results.append({
            "case": case.name, "group": case.group, "impl": impl, "unit": case.unit,
            "n": n, "per_call": case.per_call, "rounds": len(got),
            "min_ns": round(min(got), 2), "median_ns": round(statistics.median(got), 2),
            "q1_ns": round(q1, 2), "q3_ns": round(q3, 2),
        })

    import tarvella
    meta = {
        "date": date,
        "machine": host,
        "versions": versions(),
        "rounds": rounds,
        "sample_ns_target": SAMPLE_NS,
        "n_range": [N_MIN, N_MAX],
        "timing_seconds": round(elapsed, 1),
        "gc_disabled_while_timing": True,
        "pipeline_sum": pipeline_sum,
        "basicsize": {"Result": tarvella.Result.__basicsize__,
                      "MayBe": tarvella.MayBe.__basicsize__},
        "loadavg_after": os.getloadavg(),
    }
    data = {"meta": meta, "cases": [c.name for c in CASES], "results": results}
    if os.path.exists(args.out):
        # Keep what other steps (memory, callgrind) wrote into the same file.
        with open(args.out) as f:
            old = json.load(f)
        for key in old:
            if key not in data:
                data[key] = old[key]
    with open(args.out, "w") as f:
        json.dump(data, f, indent=1)
    print(f"wrote {args.out} ({elapsed:.0f} s of timing)")


if __name__ == "__main__":
    main()
