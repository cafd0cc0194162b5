"""How tarvella scales over threads on a free-threaded CPython, beside plain
`__slots__` classes doing the same work (bench/handwritten.py).

    PYTHON_GIL=0 python bench/ftscaling.py [--rounds 7] [--threads 1,2] [--out FILE]

Weak scaling, as CPython's own Tools/ftscalingbench measures it: a workload
runs N operations on one thread, then N operations on each of T threads at
once. Each thread starts at a barrier; a run's time is from the first start
to the last finish. Scaling is T * t1 / tT, so T is perfect and 1 means the
threads might as well have taken turns. tarvella and the plain classes run
interleaved, round by round, in this one process, and each figure is the
best of the rounds; the comparison holds under whatever load the machine
has, the absolute numbers less so. N is set for each implementation so
that its run on one thread lasts about as long as the other's. The threads'
CPU time is measured too: CPU time per operation on T threads over that on
one is 1.0 when the threads do not slow each other down. Contention makes
each operation take more CPU time, while a thread that waits for a core,
which lowers the scaling figures, spends none.

Workloads: making each kind of value; the members on a thread's own
instances and on instances that every thread shares; the dictionary form;
and two short pipelines. Thread counts: 1, 2 and os.cpu_count() where that
is more, unless --threads says otherwise.
"""

import argparse
import json
import os
import platform
import sys
import textwrap
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

_COMMON = """
def inc(x):
    return x + 1

def on_err(message, code, details):
    return 0

D_OK = {"ok": True, "value": 1}
D_ERR = {"ok": False, "error": "boom", "code": "E1"}
"""

SETUP = {
    "tarvella": """
from tarvella import Result, MayBe
ok = Result.ok
err = Result.err
just = MayBe.just
nothing = MayBe.nothing
from_dict = Result.from_dict

def to_ok(x):
    return Result.ok(x + 1)
""",
    "plain": """
from handwritten import Ok, Err, Just, Nothing, from_dict
ok = Ok
err = Err
just = Just
nothing = Nothing

def to_ok(x):
    return Ok(x + 1)
""",
}

# Shared instances are made once, in the main thread; own ones by each thread
# before its loop. `{ok}`, `{err}` stand for the receivers' names.
_MEMBERS = {
    "is_ok()": "{ok}.is_ok()",
    "unwrap()": "{ok}.unwrap()",
    "map(f)": "{ok}.map(inc)",
    "match(ok, err)": "{ok}.match(inc, on_err)",
    "r >> f": "{ok} >> to_ok",
    "err | default": "{err} | 0",
}

# name: (statement in the loop, per-thread setup)
WORKLOADS = {
    "make Ok": ("ok(i)", ""),
    "make Err with a code": ('err("bad", code="E")', ""),
    "make Just": ("just(i)", ""),
    "make Nothing": ("nothing()", ""),
}
for _name, _stmt in _MEMBERS.items():
    WORKLOADS[f"{_name}, own"] = (_stmt.format(ok="mine", err="mine_err"),
                                  'mine = ok(1); mine_err = err("boom", code="E1")')
    WORKLOADS[f"{_name}, shared"] = (_stmt.format(ok="SHARED_OK", err="SHARED_ERR"), "")
WORKLOADS.update({
    "to_dict()": ("mine.to_dict()", 'mine = err("boom", code="E1")'),
    "from_dict(d)": ("from_dict(D_ERR)", ""),
    "ok(i).map(f).flat_map(g).match(...)": (
        "ok(i).map(inc).flat_map(to_ok).match(inc, on_err)", ""),
    "just(i).map(f)": ("just(i).map(inc)", ""),
})

_TEMPLATE = """
def work(n):
    {setup}
    for i in range(n):
        {stmt}
"""


def namespace(impl):
    ns = {"__name__": f"ftscaling_{impl}"}
    exec(textwrap.dedent(_COMMON), ns)
    exec(textwrap.dedent(SETUP[impl]), ns)
    ns["SHARED_OK"] = ns["ok"](1)
    ns["SHARED_ERR"] = ns["err"]("boom", code="E1")
    return ns


def make_work(ns, stmt, setup):
    # Run as source text, not through compile(): on 3.13t a code object that
    # compile() returns keeps its tuple constants mortal, so every keyword
    # call would write the count of its names tuple from every thread,
    # whatever it calls. A script, a module loaded from its .pyc and exec()
    # of a string all get them immortal, and that is what users run.
    exec(_TEMPLATE.format(stmt=stmt, setup=setup or "pass"), ns)
    return ns.pop("work")


def run(work, n, threads):
    """Seconds for `threads` threads each running work(n) at once."""
    return run_timed(work, n, threads)[0]


def run_timed(work, n, threads):
    """(wall seconds, CPU seconds of all threads together) for `threads`
    threads each running work(n) at once."""
    barrier = threading.Barrier(threads)
    starts, ends = [0.0] * threads, [0.0] * threads
    cpu = [0.0] * threads

    def body(k):
        barrier.wait()
        starts[k] = time.perf_counter()
        cpu_start = time.thread_time()
        work(n)
        cpu[k] = time.thread_time() - cpu_start
        ends[k] = time.perf_counter()

    if threads == 1:
        body(0)
    else:
        pool = [threading.Thread(target=body, args=(k,)) for k in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    return max(ends) - min(starts), sum(cpu)


# Operations a workload makes on one thread before its N is set: a warm-up,
# then a timed run.
WARM_OPS, CALIBRATION_OPS = 200, 20000


def start_first_thread():
    """3.13t makes functions, code and classes immortal when the first thread
    starts, stopping the world to do it; let that happen before any timing."""
    warm = threading.Thread(target=lambda: None)
    warm.start()
    warm.join()


def ops_lasting(work, target_s):
    """N for which work(N) takes about target_s on one thread."""
    work(WARM_OPS)
    per_op = run(work, CALIBRATION_OPS, 1) / CALIBRATION_OPS
    return max(1000, int(target_s / max(per_op, 1e-9)))


def measure(rounds, thread_counts, only=None, target_s=0.02):
    impls = list(SETUP)
    spaces = {impl: namespace(impl) for impl in impls}
    start_first_thread()
    chosen = []
    for name, (stmt, setup) in WORKLOADS.items():
        if only and not any(part in name for part in only):
            continue
        works = {impl: make_work(spaces[impl], stmt, setup) for impl in impls}
        # N for each implementation: about target_s on one thread. Runs of
        # the same length take the same share of what a run costs beside
        # its work (the threads wake from the barrier one after the other),
        # where one N for both would charge more of it to the faster.
        chosen.append((name, works, {impl: ops_lasting(work, target_s)
                                     for impl, work in works.items()}))
    # A round visits every workload, so each workload's rounds are spread
    # over the whole run: a slow spell of a shared machine then costs every
    # workload a round or two, not one workload all of its rounds.
    best = {(name, impl, t): float("inf")
            for name, _, _ in chosen for impl in impls for t in thread_counts}
    # CPU time of the round with the best wall time: the round in which the
    # threads overlapped most. The least CPU time of any round would favour
    # rounds in which one thread started late and so met less contention.
    best_cpu = dict(best)
    for done in range(rounds):
        for name, works, n in chosen:
            for t in thread_counts:
                for impl in impls:
                    key = name, impl, t
                    wall, cpu = run_timed(works[impl], n[impl], t)
                    if wall < best[key]:
                        best[key], best_cpu[key] = wall, cpu
        print(f"round {done + 1} of {rounds}", file=sys.stderr, flush=True)
    rows = []
    for name, _, n in chosen:
        row = {"workload": name, "n": n}
        for impl in impls:
            t1, k = best[name, impl, 1], n[impl]
            row[impl] = {
                str(t): {"ns_per_op": 1e9 * best[name, impl, t] / k,
                         "ops_per_s": t * k / best[name, impl, t],
                         "scaling": t * t1 / best[name, impl, t],
                         "cpu_ns_per_op": 1e9 * best_cpu[name, impl, t] / (t * k)}
                for t in thread_counts}
        rows.append(row)
        print(format_row(row, thread_counts), flush=True)
    return rows


def header(thread_counts):
    cols = ["workload", "tarvella ns/op, 1 thread"]
    for t in thread_counts[1:]:
        cols += [f"tarvella scaling, {t}", f"plain scaling, {t}",
                 f"{t} threads, M values/s: tarvella vs plain",
                 f"CPU per op, {t} threads over 1: tarvella vs plain"]
    return "| " + " | ".join(cols) + " |\n|" + "---|" * len(cols)


def cpu_growth(impl_row, t):
    """CPU time per operation on t threads over that on one: 1.0 when the
    threads do not slow each other down."""
    return impl_row[t]["cpu_ns_per_op"] / impl_row["1"]["cpu_ns_per_op"]


def format_row(row, thread_counts):
    tv, pl = row["tarvella"], row["plain"]
    cells = [f"`{row['workload']}`", f"{tv['1']['ns_per_op']:.0f}"]
    for t in thread_counts[1:]:
        t = str(t)
        cells += [f"{tv[t]['scaling']:.2f}", f"{pl[t]['scaling']:.2f}",
                  f"{tv[t]['ops_per_s'] / 1e6:.1f} vs {pl[t]['ops_per_s'] / 1e6:.1f}",
                  f"{cpu_growth(tv, t):.2f} vs {cpu_growth(pl, t):.2f}"]
    return "| " + " | ".join(cells) + " |"


def verdict(rows, thread_counts):
    """Workloads where tarvella is behind at some thread count: fewer values
    per second than the plain classes, or a scaling under 0.9 of theirs."""
    behind = []
    for row in rows:
        for t in map(str, thread_counts[1:]):
            tv, pl = row["tarvella"][t], row["plain"][t]
            if tv["ops_per_s"] < pl["ops_per_s"] or tv["scaling"] < 0.9 * pl["scaling"]:
                behind.append(f"{row['workload']} ({t} threads)")
    return behind


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", help="comma-separated thread counts, 1 first")
    parser.add_argument("--out", help="write the rows as JSON here")
    parser.add_argument("only", nargs="*", help="only the workloads whose names contain one of these")
    args = parser.parse_args()
    if args.threads:
        counts = [int(t) for t in args.threads.split(",")]
    else:
        counts = sorted({1, 2, os.cpu_count() or 1})
    if counts[0] != 1:
        parser.error("the thread counts must start with 1")
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"CPython {platform.python_version()}{'' if gil else ', GIL off'}, "
          f"{os.cpu_count()} CPUs, best of {args.rounds} rounds")
    print(header(counts), flush=True)
    rows = measure(args.rounds, counts, args.only)
    behind = verdict(rows, counts)
    print("behind the plain classes: " + (", ".join(behind) if behind else "none"))
    if args.out:
        with open(args.out, "w") as f:
            json.dump({"python": platform.python_version(), "gil": gil,
                       "cpus": os.cpu_count(), "rounds": args.rounds,
                       "threads": counts, "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
