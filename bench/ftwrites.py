"""Who writes a shared instance during a call, on a free-threaded CPython.

    PYTHON_GIL=0 python bench/ftwrites.py [--calls 10] [workload ...]

Scaling over threads on a shared machine wobbles by tenths; the cause of
contention does not. A call on an instance that several threads use contends
for the cache line of every word of it that the call writes, so this counts
those writes exactly: gdb puts hardware watchpoints on the shared instance's
two reference count words (`ob_ref_local`, `ob_ref_shared`) and, for
tarvella, its borrow flag, while a thread that does not own the instance
runs the workload's statement a few times. Each write is laid to tarvella
when a tarvella frame is among the innermost of its stack, to the
interpreter otherwise. The plain `__slots__` classes of bench/handwritten.py
run the same statements beside it.

The statements are ftscaling.py's shared workloads; both stay in step.
Needs gdb; the module need not carry symbols.
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Frames looked at, innermost first, to lay a write to tarvella: the count
# helpers it calls inline sit within the first few.
FRAMES = 6

try:
    import gdb  # noqa: F401 - present only when gdb runs this file
except ImportError:
    gdb = None


# ---------------------------------------------------------------------------
# Inside gdb

def watch_in_gdb():
    """Runs the target under gdb and writes `tarvella interpreter` counts."""
    addr_file, out_file = os.environ["FTWRITES_ADDR"], os.environ["FTWRITES_OUT"]
    gdb.execute("set pagination off")
    gdb.execute("set confirm off")
    counts = {"tarvella": 0, "interpreter": 0}
    watchpoints = []

    def lay(stop_event):
        if not isinstance(stop_event, gdb.BreakpointEvent):
            return
        if not any(b in watchpoints for b in stop_event.breakpoints):
            return
        frame, owner = gdb.newest_frame(), "interpreter"
        for _ in range(FRAMES):
            if frame is None:
                break
            if "tarvella" in (gdb.solib_name(frame.pc()) or ""):
                owner = "tarvella"
                break
            frame = frame.older()
        counts[owner] += 1

    class Marker(gdb.Breakpoint):
        seen = 0

        def stop(self):
            Marker.seen += 1
            if Marker.seen == 1:
                with open(addr_file) as f:
                    words = [line.split() for line in f]
                for address, size in words:
                    kind = "long" if size == "8" else "unsigned int"
                    watchpoints.append(gdb.Breakpoint(
                        f"*({kind}*){address}", gdb.BP_WATCHPOINT, gdb.WP_WRITE, internal=True))
            elif Marker.seen == 2:
                for w in watchpoints:
                    w.enabled = False
                watchpoints.clear()
            return False

    gdb.events.stop.connect(lay)
    Marker("getppid", internal=True)
    gdb.execute("run")
    # A watchpoint stop halts the inferior; go on until it exits.
    while gdb.selected_inferior().pid:
        gdb.execute("continue")
    with open(out_file, "w") as f:
        f.write(f"{counts['tarvella']} {counts['interpreter']}")


# ---------------------------------------------------------------------------
# The program gdb runs

def target(impl, stmt, calls, addr_file):
    import threading

    sys.path.insert(0, HERE)
    import ftscaling

    ns = ftscaling.namespace(impl)
    shared = ns["SHARED_ERR"] if "SHARED_ERR" in stmt else ns["SHARED_OK"]
    base = id(shared)
    # ob_ref_local and ob_ref_shared in the free-threaded object header.
    words = [(base + 12, 4), (base + 16, 8)]
    if impl == "tarvella":
        words.append((base + type(shared).__basicsize__ - 8, 8))  # the borrow flag
    with open(addr_file, "w") as f:
        f.writelines(f"{hex(a)} {s}\n" for a, s in words)
    exec(f"def once():\n    {stmt}\n", ns)
    once = ns["once"]

    def body():
        once()  # first calls fill caches and cells
        once()
        os.getppid()
        for _ in range(calls):
            once()
        os.getppid()

    worker = threading.Thread(target=body)
    worker.start()
    worker.join()


# ---------------------------------------------------------------------------
# Driver

def count(impl, stmt, calls):
    with tempfile.TemporaryDirectory() as tmp:
        env = dict(os.environ, FTWRITES_ADDR=os.path.join(tmp, "addr"),
                   FTWRITES_OUT=os.path.join(tmp, "out"), PYTHON_GIL="0")
        cmd = ["gdb", "-q", "-batch", "-nx", "-x", os.path.abspath(__file__), "--args",
               sys.executable, os.path.abspath(__file__), "--target", impl,
               "--calls", str(calls), "--addr", env["FTWRITES_ADDR"], stmt]
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300)
        try:
            with open(env["FTWRITES_OUT"]) as f:
                ours, interpreter = map(int, f.read().split())
        except OSError:
            sys.exit(f"gdb gave no counts for {impl}: {stmt}\n{proc.stdout}\n{proc.stderr}")
    return ours / calls, interpreter / calls


def main():
    sys.path.insert(0, HERE)
    import ftscaling

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10)
    parser.add_argument("--target", help=argparse.SUPPRESS)
    parser.add_argument("--addr", help=argparse.SUPPRESS)
    parser.add_argument("only", nargs="*", help="only the workloads whose names contain one of these")
    args = parser.parse_args()
    if args.target:
        target(args.target, args.only[0], args.calls, args.addr)
        return
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        sys.exit("run this on a free-threaded CPython with PYTHON_GIL=0")
    print("Writes to the shared instance's counts (and tarvella's borrow flag) per call, "
          f"from a thread that does not own it; {args.calls} calls each")
    print("| workload | tarvella: by tarvella | tarvella: by the interpreter | plain classes |")
    print("|---|---:|---:|---:|")
    for name, (stmt, _) in ftscaling.WORKLOADS.items():
        if not name.endswith(", shared") or (args.only and not any(p in name for p in args.only)):
            continue
        ours, interpreter = count("tarvella", stmt, args.calls)
        plain = sum(count("plain", stmt, args.calls))
        shown = name.replace("|", "\\|")
        print(f"| `{shown}` | {ours:g} | {interpreter:g} | {plain:g} |", flush=True)


if gdb is not None:
    watch_in_gdb()
elif __name__ == "__main__":
    main()
