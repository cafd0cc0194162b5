"""Bytes per live instance, measured three ways.

Each measurement runs in a fresh interpreter that keeps COUNT instances
alive in a list made beforehand, so the list's own array is not counted:

- rss: growth of the resident set (/proc/self/statm). Sees everything,
  including tarvella's Err texts, which live in the C allocator.
- malloc: growth of glibc's bytes in use (mallinfo2). Sees only the C
  allocator: pymalloc takes its arenas with mmap, outside these counters.
- tracemalloc: bytes and blocks per instance as Python's allocators report
  them (a separate, smaller run, since tracing has a cost of its own).
"""

import ctypes
import gc
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

COUNT = 1_000_000
TRACED_COUNT = 200_000

# (implementation, variant, expression of `v`), where `v` is a shared value
# or, for the Err variants, a shared message string.
SUBJECTS = [
    ("tarvella", "Ok", "Result.ok(v)"),
    ("tarvella", "Err", "Result.err(v)"),
    ("tarvella", "Just", "MayBe.just(v)"),
    ("tarvella", "Nothing", "MayBe.nothing()"),
    ("baseline", "Ok", "Result.ok(v)"),
    ("baseline", "Err", "Result.err(v)"),
    ("baseline", "Just", "MayBe.just(v)"),
    ("handwritten", "Ok", "Ok(v)"),
    ("handwritten", "Err", "Err(v)"),
    ("handwritten", "Just", "Just(v)"),
    ("handwritten", "Nothing", "Nothing()"),
    ("result", "Ok", "Ok(v)"),
    ("result", "Err", "Err(v)"),
    ("returns", "Ok", "Success(v)"),
    ("returns", "Err", "Failure(v)"),
    ("returns", "Just", "Some(v)"),
]


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _malloc_in_use():
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = _MallInfo2
    except (OSError, AttributeError):
        return None
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def worker(impl, variant, expr, mode):
    from cases import namespace

    ns = namespace(impl)
    ns["v"] = "boom" if variant == "Err" else 12345
    make = eval(f"lambda v=v: {expr}", ns)
    for _ in range(1000):  # settle caches, the class cells, free lists
        make()
    count = COUNT if mode == "rss" else TRACED_COUNT
    keep = [None] * count
    gc.collect()
    gc.disable()
    if mode == "rss":
        rss0, mal0 = _rss(), _malloc_in_use()
        for i in range(count):
            keep[i] = make()
        rss1, mal1 = _rss(), _malloc_in_use()
        out = {"rss": (rss1 - rss0) / count,
               "malloc": None if mal0 is None else (mal1 - mal0) / count}
    else:
        import tracemalloc

        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for i in range(count):
            keep[i] = make()
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        out = {"traced": (sum(t.size for t in after.traces) - sum(t.size for t in before.traces))
               / count,
               "traced_blocks": (len(after.traces) - len(before.traces)) / count}
    print(json.dumps(out))


def measure_all(python=sys.executable):
    rows = []
    for impl, variant, expr in SUBJECTS:
        row = {"impl": impl, "variant": variant, "expr": expr}
        for mode in ("rss", "tracemalloc"):
            done = subprocess.run([python, __file__, impl, variant, expr, mode],
                                  capture_output=True, text=True)
            if done.returncode != 0:
                raise SystemExit(f"memory worker failed for {impl} {variant}:\n{done.stderr}")
            row.update(json.loads(done.stdout))
        rows.append(row)
        print(f"  {impl:12} {variant:8} rss {row['rss']:6.1f}  malloc {row['malloc']:6.1f}  "
              f"tracemalloc {row['traced']:6.1f} B in {row['traced_blocks']:.2f} blocks",
              flush=True)
    return rows


def main():
    if len(sys.argv) == 5:
        worker(*sys.argv[1:])
        return
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "results.json")
    rows = measure_all()
    import tarvella

    data = {}
    if os.path.exists(out):
        with open(out) as f:
            data = json.load(f)
    data["memory"] = {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "count": COUNT, "traced_count": TRACED_COUNT, "rows": rows,
        "basicsize": {"Result": tarvella.Result.__basicsize__,
                      "MayBe": tarvella.MayBe.__basicsize__},
    }
    with open(out, "w") as f:
        json.dump(data, f, indent=1)
    print(f"wrote memory figures to {out}")


if __name__ == "__main__":
    main()
