"""Nothing is leaked: reference counts of everything a call touches come back,
and process memory stays flat over many calls. The table of calls is the
stress table that the memory checkers run too."""

import gc
import json
import os
import sys

import pytest

# pytest-run-parallel: these count the references and memory of objects that
# every thread's copy of a test shares.
pytestmark = pytest.mark.thread_unsafe(reason="counts references shared by every thread's copy")

STRESS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stress")
sys.path.insert(0, STRESS_DIR)
import stress  # noqa: E402

CASES = stress.cases()


def settled_counts(objs):
    # Cyclic garbage (this case's or an earlier test's) holds instances, and so
    # the classes, until the collector runs, whenever that falls; counted
    # after a collection, only what is really held remains.
    gc.collect()
    return [sys.getrefcount(obj) for obj in objs]


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_reference_counts_come_back(case):
    # The first calls may fill interpreter caches that keep a reference.
    for _ in range(20):
        case.run()
    before = settled_counts(case.watched)
    for _ in range(1000):
        case.run()
    after = settled_counts(case.watched)
    moved = {repr(obj): b - a for obj, a, b in zip(case.watched, before, after) if a != b}
    assert not moved, f"{case.name}: reference counts moved by {moved}"
    assert not stress.borrowed([case]), f"{case.name}: a borrow was not released"


# Runs in a child so that the test process's own allocations do not blur the
# figures. RSS catches what the module allocates with malloc or new;
# tracemalloc catches, to the byte, what it allocates through the interpreter.
MEMORY_SCRIPT = """
import gc, json, os, sys, tracemalloc
sys.path.insert(0, {stress_dir!r})
import stress

page = os.sysconf("SC_PAGE_SIZE")

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * page

table = stress.cases()
stress.run(table, 200)
rss_growth, traced_growth = {{}}, {{}}
for case in table:
    call = case.run
    gc.collect()
    start = rss()
    for _ in range({calls}):
        call()
    gc.collect()
    rss_growth[case.name] = rss() - start
# The smaller growth of two runs: a leak grows in both, while a one-off (a
# cache filled, or on a free-threaded build memory whose release waits for
# every thread to pass a quiescent point) shows in one at most.
tracemalloc.start()
for case in table:
    call = case.run
    call()
    growth = []
    for _ in range(2):
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range({traced_calls}):
            call()
        gc.collect()
        growth.append(tracemalloc.get_traced_memory()[0] - start)
    traced_growth[case.name] = min(growth)
print(json.dumps({{"rss": rss_growth, "traced": traced_growth}}))
"""

CALLS = 50_000
TRACED_CALLS = 5_000


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory on purpose")
# On a debug build the test command hunts leaks by the interpreter's own
# counts (refleak_hunt.py), which see a single lost reference; these figures
# add nothing there but minutes.
@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"),
                    reason="debug build: the reference leak hunt measures this exactly")
@pytest.mark.native_only("a soak of minutes there, and RSS counts the emulator's own memory")
def test_memory_stays_flat(run_python):
    proc = run_python(MEMORY_SCRIPT.format(stress_dir=STRESS_DIR, calls=CALLS,
                                           traced_calls=TRACED_CALLS), timeout=600)
    assert proc.returncode == 0, proc.stderr
    figures = json.loads(proc.stdout)
    # One leaked block per call, of the smallest size, would be 16 bytes a
    # call: 800 kB of RSS over CALLS, 80 kB of traced memory over TRACED_CALLS.
    grown = {name: delta for name, delta in figures["rss"].items() if delta > 512 * 1024}
    assert not grown, f"RSS grew over {CALLS} calls: {grown}"
    traced = {name: delta for name, delta in figures["traced"].items() if delta > 16 * 1024}
    assert not traced, f"traced memory grew over {TRACED_CALLS} calls: {traced}"


# Releasing the outermost of a long chain of instances nested directly in
# one another releases the whole chain; it must not take a C stack frame per
# link, as the interpreter's own containers do not. The same holds when the
# collector frees a chain whose innermost value refers back to the outermost.
@pytest.mark.parametrize("link, closed", [
    ("Result.ok(x)", False), ("MayBe.just(x)", False), ("Result.err('m', details=x)", False),
    ("MayBe.just(Result.ok(x))", False), ("MayBe.just(Result.ok(x))", True),
])
def test_long_chains_are_released(run_python, link, closed):
    proc = run_python(f"""
        import gc, weakref
        from tarvella import MayBe, Result
        class Marker:
            pass
        marker = Marker()
        probe = weakref.ref(marker)
        x = box = [marker]
        for _ in range(1_000_000):
            x = {link}
        if {closed}:
            box.append(x)
        del x, box, marker
        gc.collect()
        print("released" if probe() is None else "kept")
    """)
    assert proc.returncode == 0 and proc.stdout == "released\n", proc.stderr


# The hunt that the test command runs on debug builds must see a leak when
# there is one, and only then. The module's own references go through the
# interpreter's _Py_IncRef (limited API), so a reference it failed to drop
# looks like the one planted here.
@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
def test_leak_hunt_tells_a_leak_from_a_clean_workload():
    import ctypes

    import refleak_hunt
    from tarvella import Result

    incref = ctypes.pythonapi._Py_IncRef
    incref.argtypes = [ctypes.py_object]
    kept = []
    payload = stress.Payload("hunted")
    leaks = refleak_hunt.hunt([
        ("kept instance", lambda: kept.append(Result.ok(object()))),
        ("kept reference", lambda: incref(payload)),
        ("clean", lambda: Result.ok(payload).map(repr).unwrap_or(None)),
    ])
    assert {(name, what) for name, what, _ in leaks} == {
        ("kept instance", "references"), ("kept instance", "memory blocks"),
        ("kept reference", "references")}
