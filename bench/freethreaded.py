"""tarvella on a free-threaded CPython against its GIL build of the same minor.

Measure mode (run once on each interpreter; bench/run does both):

    python bench/freethreaded.py --out FILE [--rounds N]

times every single-call case of cases.py for tarvella (the best of N rounds,
in ns per operation) and the pipeline of cases.py run by 1 and by 2 threads
at once (pipelines per second, the best of N rounds), and writes them, with
whether the GIL was on, into FILE; callgrind.py adds its counts to the same
file. Report mode prints the two files side by side:

    python bench/freethreaded.py --report GIL.json FREE.json
"""

import argparse
import json
import os
import platform
import re
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cases import CASES  # noqa: E402
from timing import namespace_of, timer_for  # noqa: E402

SAMPLE_NS = 2_000_000
# The module's own functions among callgrind's per-function counts: the rest
# is the interpreter's, which differs between the two builds by itself (3.13's
# free-threaded build runs without the specialising interpreter).
OWN = re.compile(r"^(static_fast|static_noargs|method_fast|method_noargs|class_fast|number_slot"
                 r"|operator_slot|unary_slot|instance_dealloc|iterate_optional|make_texts"
                 r"|new_reference|text_around|text_object|utf8_view|call_with_triple|chain_ok"
                 r"|construct|extract_fast|Ref::|decltype::lambda)")
THREAD_COUNTS = (1, 2)


def best_times(rounds):
    """ns per operation of each tarvella case, the best of `rounds` samples."""
    timers = [(c.name, timer_for("tarvella", c.stmts["tarvella"]))
              for c in CASES if "tarvella" in c.stmts and c.per_call == 1]
    loop = timer_for("-", "pass")
    times = {}
    for name, timer in [("(empty loop)", loop)] + timers:
        timer(300)
        n = max(1000, round(SAMPLE_NS / max(timer(1000) / 1000, 1.0)))
        times[name] = round(min(timer(n) / n for _ in range(rounds)), 2)
    return times


def pipeline_throughput(threads, rounds):
    """Pipelines per second with `threads` threads each running them."""
    ns = namespace_of("tarvella")
    pipeline, data = ns["pipeline"], ns["DATA"]
    pipeline(data)
    started = time.perf_counter()
    per_thread = 1
    while time.perf_counter() - started < 0.2:  # about 0.2 s per thread and round
        pipeline(data)
        per_thread += 1
    best = 0.0
    for _ in range(rounds):
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            for _ in range(per_thread):
                pipeline(data)

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        barrier.wait()
        t0 = time.perf_counter()
        for worker in workers:
            worker.join()
        best = max(best, threads * per_thread / (time.perf_counter() - t0))
    return round(best, 1)


def measure(out, rounds):
    import tarvella
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    data = {}
    if os.path.exists(out):
        with open(out) as f:
            data = json.load(f)
    data["freethreaded"] = {
        "python": platform.python_version() + ("" if gil else "t"),
        "gil": gil,
        "module": os.path.basename(tarvella.__file__),
        "loadavg_before": os.getloadavg(),
        "times_ns": best_times(rounds),
        "pipelines_per_s": {str(n): pipeline_throughput(n, rounds) for n in THREAD_COUNTS},
        "loadavg_after": os.getloadavg(),
    }
    with open(out, "w") as f:
        json.dump(data, f, indent=1)
    print(f"wrote {out}")


def report(gil_path, free_path):
    runs = []
    for path in (gil_path, free_path):
        with open(path) as f:
            data = json.load(f)
        counts = {name: (c["tarvella"]["ir"],
                         sum(ir for fn, ir in c["tarvella"]["self"] if OWN.match(fn)))
                  for name, c in data.get("callgrind", {}).get("cases", {}).items()
                  if "tarvella" in c}
        runs.append((data["freethreaded"], counts))
    (gil, gil_ir), (free, free_ir) = runs
    a, b = gil["python"], free["python"]
    print(f"tarvella per operation: {a} (GIL, {gil['module']}) against {b} "
          f"(GIL {'on' if free['gil'] else 'off'}, {free['module']})")
    print("instructions per operation (all, and the module's own), and ns per operation")
    print(f"{'case':24} {'all ' + a:>11} {'all ' + b:>11} {'own ' + a:>11} {'own ' + b:>11}"
          f" {'ns ' + a:>10} {'ns ' + b:>10}")

    def cell(value, width, digits):
        return f"{value:{width}.{digits}f}" if value is not None else f"{'-':>{width}}"

    for name, ns in free["times_ns"].items():
        if name == "(empty loop)":
            continue
        (all_a, own_a), (all_b, own_b) = gil_ir.get(name, (None, None)), free_ir.get(name, (None, None))
        print(f"{name:24} {cell(all_a, 11, 0)} {cell(all_b, 11, 0)} {cell(own_a, 11, 0)} "
              f"{cell(own_b, 11, 0)} {cell(gil['times_ns'].get(name), 10, 1)} {cell(ns, 10, 1)}")
    print(f"{'(empty loop)':24} {'':47} {gil['times_ns']['(empty loop)']:10.1f} "
          f"{free['times_ns']['(empty loop)']:10.1f}")
    print("pipeline (1000 records), pipelines per second:")
    for run in (gil, free):
        one, two = run["pipelines_per_s"]["1"], run["pipelines_per_s"]["2"]
        print(f"  {run['python']:10} 1 thread {one:8.1f}   2 threads {two:8.1f}   "
              f"scaling {two / one:.2f}x   (load {run['loadavg_before'][0]:.1f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--report", nargs=2, metavar=("GIL_JSON", "FREE_JSON"))
    args = parser.parse_args()
    if args.report:
        report(*args.report)
    elif args.out:
        measure(args.out, args.rounds)
    else:
        parser.error("--out or --report is needed")


if __name__ == "__main__":
    main()
