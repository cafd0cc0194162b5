"""Instructions per call, counted by callgrind, for tarvella and the others.

Wall-clock times on a shared machine wobble; instruction counts do not. One
valgrind run per implementation executes every case's loop twice, with N1
and then N2 iterations, and callgrind dumps a profile part before each loop
(a call of os.getppid() marks the boundary: the C library's getppid, whose
name is there even in a stripped interpreter). The difference of the two
parts, divided by N2 - N1, is the exact cost of one iteration, startup and
warm-up cancelled, and the same difference taken per function shows where
those instructions go.

The native modules are imported from their build directories, whose copies
still carry symbols (the installed ones are stripped).
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

N1, N2 = 1000, 3000
MARK = "getppid"
LOOP_NAME = "(empty loop)"


# ---------------------------------------------------------------------------
# Inside valgrind

def drive(impl, names):
    from cases import CASES
    from timing import timer_for

    stmts = {c.name: c.stmts for c in CASES}
    stmts[LOOP_NAME] = {"-": "pass"}
    timers = [timer_for(impl, stmts[name][impl]) for name in names]
    for timer in timers:
        timer(300)  # let the interpreter specialise before counting
    for timer in timers:
        os.getppid()
        timer(N1)
        os.getppid()
        timer(N2)
    os.getppid()


# ---------------------------------------------------------------------------
# Reading callgrind's output

_NAME = re.compile(r"^\((\d+)\)(?: (.*))?$")


def read_part(path):
    """Self cost, inclusive cost of calls made, and call counts, per function."""
    names = {}

    def name_of(field):
        m = _NAME.match(field)
        if not m:
            return field
        ident, text = m.groups()
        if text is not None:
            names[ident] = text
        return names.get(ident, f"?{ident}")

    self_cost = defaultdict(int)
    called_cost = defaultdict(int)  # inclusive cost of calls from this function
    calls = defaultdict(int)
    fn = callee = None
    pending_calls = None
    total = 0
    with open(path) as f:
        for line in f:
            if line.startswith("fn="):
                fn = name_of(line[3:].rstrip("\n"))
            elif line.startswith("cfn="):
                callee = name_of(line[4:].rstrip("\n"))
            elif line.startswith("calls="):
                pending_calls = int(line[6:].split()[0])
            elif line[:1].isdigit() or line[:1] in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_calls is not None:
                    called_cost[fn] += cost
                    calls[callee] += pending_calls
                    pending_calls = None
                else:
                    self_cost[fn] += cost
            elif line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    return {"total": total, "self": self_cost, "called": called_cost, "calls": calls}


def per_iteration(first, second, n1, n2):
    span = n2 - n1
    out = {"total": (second["total"] - first["total"]) / span, "self": {}, "incl": {}, "calls": {}}
    for fn in set(first["self"]) | set(second["self"]):
        d = second["self"].get(fn, 0) - first["self"].get(fn, 0)
        if d:
            out["self"][fn] = d / span
    for fn in set(first["self"]) | set(second["self"]) | set(second["called"]):
        a = first["self"].get(fn, 0) + first["called"].get(fn, 0)
        b = second["self"].get(fn, 0) + second["called"].get(fn, 0)
        if b - a:
            out["incl"][fn] = (b - a) / span
    for fn in set(first["calls"]) | set(second["calls"]):
        d = second["calls"].get(fn, 0) - first["calls"].get(fn, 0)
        if d:
            out["calls"][fn] = d / span
    return out


def short_name(fn):
    """`tarvella::method_fast<..., &tarvella::(anonymous namespace)::map>(...)`
    becomes `method_fast<map>`; other names lose namespaces, template
    arguments, return types and argument lists."""
    s = fn.replace("(anonymous namespace)::", "")
    body = re.search(r"&tarvella::(\w+)>", s)
    while True:
        stripped = re.sub(r"<[^<>]*>", "", s)
        if stripped == s:
            break
        s = stripped
    head = s.split("(", 1)[0].split()[-1] if s.split("(", 1)[0].split() else s
    head = head.replace("tarvella::", "")
    if body and head in ENTRY_ADAPTERS:
        head = f"{head}<{body.group(1)}>"
    if "{lambda" in fn:
        head += "::lambda"
    return head


ENTRY_ADAPTERS = {"method_fast", "method_noargs", "static_fast", "static_noargs", "class_fast",
                  "unary_slot", "truth_slot", "length_slot", "operator_slot"}


# ---------------------------------------------------------------------------
# Outside

BUILDS = os.path.join(ROOT, "build", "bench")


# The native modules profiled this run (the baseline has no free-threaded build).
NATIVE = ("tarvella", "baseline")
STEMS = {"tarvella": "tarvella", "baseline": "bench_baseline"}


def find_native_builds():
    paths = []
    for sub, stem in ((sub, STEMS[sub]) for sub in NATIVE):
        d = os.path.join(BUILDS, sub)
        if not any(f.startswith(stem) and f.endswith(".so") for f in os.listdir(d)):
            raise SystemExit(f"no {stem}*.so in {d}: run bench/run first")
        paths.append(d)
    return paths


def run_impl(impl, names, workdir, python):
    out = os.path.join(workdir, f"cg.{impl}")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(find_native_builds() + [HERE])
    # String hashes steer dictionary probes: a fixed seed makes the counts
    # repeatable to the instruction.
    env["PYTHONHASHSEED"] = "0"
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
           f"--dump-before={MARK}", python, __file__, "--drive", impl, "--", *names]
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"callgrind run for {impl} failed:\n{done.stderr[-3000:]}")
    # The first dump holds the startup; then each case has its N1 and N2 dumps.
    results = {}
    for i, name in enumerate(names):
        first = read_part(f"{out}.{2 + 2 * i}")
        second = read_part(f"{out}.{3 + 2 * i}")
        results[name] = per_iteration(first, second, N1, N2)
    return results


def check_imports(python):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(find_native_builds() + [HERE])
    modules = [STEMS[sub] for sub in NATIVE]
    where = subprocess.run(
        [python, "-c", f"import {', '.join(modules)}; "
                       + "; ".join(f"print({m}.__file__)" for m in modules)],
        env=env, capture_output=True, text=True, check=True).stdout.split()
    for path in where:
        if not path.startswith(BUILDS):
            raise SystemExit(f"callgrind would profile {path}, not the build with symbols")
    return where


def by_function(profile, key):
    """Per-iteration costs under short names, largest first; crumbs dropped."""
    merged = defaultdict(float)
    for fn, v in profile[key].items():
        merged[short_name(fn)] += v
    return [(fn, round(v, 1)) for fn, v in sorted(merged.items(), key=lambda kv: -kv[1])
            if abs(v) >= 0.5]


def main():
    global BUILDS, NATIVE
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--drive", help=argparse.SUPPRESS)
    parser.add_argument("--impls", default="tarvella,baseline",
                        help="comma-separated; the pure-Python ones can be added too")
    parser.add_argument("--builds", default=BUILDS,
                        help="directory holding the tarvella/ and baseline/ build trees")
    parser.add_argument("--out", default=os.path.join(HERE, "results.json"))
    parser.add_argument("--keep", action="store_true", help="keep the callgrind files")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    if args.drive:
        drive(args.drive, args.names)
        return

    from cases import CASES

    NATIVE = tuple(impl for impl in args.impls.split(",") if impl in STEMS)
    BUILDS = os.path.abspath(args.builds)
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    python = sys.executable
    check_imports(python)
    workdir = tempfile.mkdtemp(prefix="tarvella-cg-")
    per_case = defaultdict(dict)
    impls = args.impls.split(",")
    if "-" not in impls:
        impls.insert(0, "-")
    for impl in impls:
        if impl == "-":
            # The empty loop, so that the loop's own cost can be taken out.
            names = [LOOP_NAME]
        else:
            names = [c.name for c in CASES if impl in c.stmts and c.per_call == 1]
        print(f"  callgrind: {impl} ({len(names)} cases)", flush=True)
        for name, profile in run_impl(impl, names, workdir, python).items():
            per_case[name][impl] = profile
    loop_ir = per_case[LOOP_NAME]["-"]["total"]

    summary = {"date": time.strftime("%Y-%m-%d %H:%M:%S %z"), "n1": N1, "n2": N2,
               "loop_ir": loop_ir, "cases": {}}
    for name, impls in per_case.items():
        if name == LOOP_NAME:
            continue
        entry = {}
        for impl, profile in impls.items():
            # The native modules get the full picture, the others a glimpse.
            native = impl in ("tarvella", "baseline")
            entry[impl] = {
                "ir": round(profile["total"] - loop_ir, 1),
                "self": by_function(profile, "self")[:None if native else 15],
            }
            if native:
                entry[impl]["incl"] = by_function(profile, "incl")[:30]
                entry[impl]["calls"] = by_function(profile, "calls")[:40]
        summary["cases"][name] = entry
    data = {}
    if os.path.exists(args.out):
        with open(args.out) as f:
            data = json.load(f)
    data["callgrind"] = summary
    with open(args.out, "w") as f:
        json.dump(data, f, indent=1)
    if args.keep:
        print(f"callgrind files kept in {workdir}")
    else:
        shutil.rmtree(workdir)
    print(f"wrote callgrind counts to {args.out}")


if __name__ == "__main__":
    main()
