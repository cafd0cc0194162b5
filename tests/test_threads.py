"""Several threads share instances and call members whose callables give the
interpreter lock away and re-enter the same instances. Results must stay
right, and every instance must work afterwards."""

import ctypes
import os
import subprocess
import sys
import threading
import time

import pytest

from tarvella import MayBe, Result

THREADS = 8
ITERATIONS = 2000


class Boom(Exception):
    pass


@pytest.fixture
def switch_often():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


class Overlap:
    """How many threads are inside a callable at once, at most."""
    inside = peak = 0
    lock = threading.Lock()

    @classmethod
    def add(cls, step):
        with cls.lock:
            cls.inside += step
            cls.peak = max(cls.peak, cls.inside)


def yielding(f):
    """f, with a chance for another thread to run before and after it."""
    def wrapper(*args):
        Overlap.add(1)
        try:
            time.sleep(0)
            result = f(*args)
            time.sleep(0)
            return result
        finally:
            Overlap.add(-1)
    return wrapper


def raise_boom(*args):
    time.sleep(0)
    raise Boom


def make_operations(ok, err, just, nothing, details):
    """(name, call, expected): expected is a value compared with ==, or an
    exception class that the call must raise."""
    return [
        ("map re-entering", lambda: ok.map(yielding(lambda v: (v, repr(ok), ok.map(str).unwrap())))
         .unwrap(), (7, "Ok(7)", "7")),
        ("flat_map re-entering", lambda: ok.flat_map(yielding(lambda v: ok.map(lambda w: w * v)))
         .unwrap(), 49),
        (">> re-entering", lambda: (ok >> yielding(lambda v: ok)).to_dict(), {"ok": True, "value": 7}),
        ("match Err re-entering", lambda: err.match(
            err=yielding(lambda m, c, d: (m, c, d is details, err.unwrap_err()[0], repr(err)))),
         ("m", "c", True, "m", "Err('m', code='c')")),
        ("map_err re-entering", lambda: repr(err.map_err(
            yielding(lambda m, c, d: (m + err.unwrap_err()[0], c, d)))), "Err('mm', code='c')"),
        ("map_err passes Ok", lambda: repr(ok.map_err(raise_boom)), "Ok(7)"),
        ("map raising", lambda: ok.map(raise_boom), Boom),
        ("map_err raising", lambda: err.map_err(raise_boom), Boom),
        ("map_err bad triple", lambda: err.map_err(yielding(lambda *t: (1, None, None))), TypeError),
        ("unwrap Err", err.unwrap, ValueError),
        ("round trip", lambda: Result.from_dict(err.to_dict()).unwrap_err(), ("m", "c", details)),
        ("from_dict failure", lambda: Result.from_dict({"ok": False}), ValueError),
        ("MayBe.map re-entering", lambda: just.map(yielding(lambda v: (v, repr(just)))).unwrap(),
         (7, "Just(7)")),
        ("MayBe >> re-entering", lambda: (just >> yielding(lambda v: just.map(lambda w: w + v)))
         .unwrap(), 14),
        ("MayBe.flat_map Nothing", lambda: repr(nothing.flat_map(raise_boom)), "Nothing"),
        ("MayBe.match", lambda: (just.match(yielding(lambda v: v)),
                                 nothing.match(nothing=yielding(lambda: "n"))), (7, "n")),
        ("MayBe >> raising", lambda: just >> raise_boom, Boom),
        ("MayBe >> wrong type", lambda: just >> yielding(lambda v: ok), TypeError),
        ("unwrap Nothing", nothing.unwrap, ValueError),
        ("protocols", lambda: (bool(ok), len(err), list(just), nothing | 3, err | 4, 7 in ok),
         (True, 0, [7], 3, 4, True)),
        ("new instances across threads", lambda: [repr(m) for m in (MayBe(7), MayBe(None))],
         ["Just(7)", "Nothing"]),
    ]


def borrow_flag(instance):
    """The borrow flag, the last word of the instance record."""
    address = id(instance) + type(instance).__basicsize__ - ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_ssize_t.from_address(address).value


def run_operation(name, call, expected):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        try:
            call()
        except expected:
            return
        raise AssertionError(f"{name}: {expected.__name__} not raised")
    got = call()
    assert got == expected, f"{name}: {got!r} != {expected!r}"


def test_shared_instances_under_thread_switching(switch_often):
    details = ["details"]
    ok, err = Result.ok(7), Result.err("m", code="c", details=details)
    just, nothing = MayBe.just(7), MayBe.nothing()
    operations = make_operations(ok, err, just, nothing, details)
    baseline = sys.getrefcount(details)
    failures, done = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(index):
        start.wait()
        try:
            for i in range(ITERATIONS):
                # Each thread walks the table from its own offset, so that
                # different members of one instance overlap.
                name, call, expected = operations[(i + index) % len(operations)]
                run_operation(name, call, expected)
                done[index] += 1
        except BaseException as error:
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures[:3]
    assert done == [ITERATIONS] * THREADS
    # Threads really were inside members of the same instances together.
    assert Overlap.peak > 1
    assert [borrow_flag(x) for x in (ok, err, just, nothing)] == [0, 0, 0, 0]
    for name, call, expected in operations:
        run_operation(name, call, expected)
    assert sys.getrefcount(details) == baseline


def test_instances_made_in_one_thread_die_in_another(switch_often):
    payload = ["shared"]
    baseline = sys.getrefcount(payload)
    made = []
    lock = threading.Lock()

    def producer():
        for _ in range(2000):
            instance = Result.ok(payload) if len(made) % 2 else MayBe.just(payload)
            with lock:
                made.append(instance)

    def consumer():
        taken = 0
        while taken < 2000:
            with lock:
                batch, made[:] = list(made), []
            for instance in batch:
                assert instance.unwrap() is payload
            taken += len(batch)
            del batch
            time.sleep(0)

    threads = [threading.Thread(target=producer), threading.Thread(target=consumer)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sys.getrefcount(payload) == baseline


def test_thread_stress(child_environment):
    """Every member of both classes from many threads at once, on shared and
    own instances (tests/stress/thread_stress.py, which scripts run longer)."""
    script = os.path.join(os.path.dirname(__file__), "stress", "thread_stress.py")
    proc = subprocess.run([sys.executable, "-P", script, "--iterations", "500"],
                          capture_output=True, text=True, env=child_environment, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.rstrip().endswith(": ok"), proc.stdout


def test_racing_first_use_makes_one_panic_class(run_python):
    """Twelve threads race to the first exception fetched in a fresh process,
    which makes the PanicException class; the others watch the subclasses of
    BaseException meanwhile. Nobody may ever see two such classes."""
    proc = run_python("""
        import threading
        from tarvella import Result

        def boom(value):
            raise KeyError(value)

        def panic_classes():
            return sum(c.__name__ == "PanicException" for c in BaseException.__subclasses__())

        start = threading.Barrier(12)
        seen = []

        def racer():
            start.wait()
            for _ in range(50):
                try:
                    Result.ok(1).map(boom)
                except KeyError:
                    pass
                seen.append(panic_classes())

        threads = [threading.Thread(target=racer) for _ in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(max(seen), panic_classes())
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["1", "1"]


@pytest.mark.skipif(sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True,
                    reason="only a free-threaded build makes process-lifetime objects immortal")
def test_calls_leave_the_counts_of_process_lifetime_objects_alone():
    """Without the GIL every thread would otherwise write these counts on
    every call, and contend for them."""
    watched = [Result, MayBe, Result.__dict__["ok"], Result.ok, Result.__dict__["map"],
               MayBe.__dict__["just"], MayBe.just, Result.__dict__["__class_getitem__"]]
    before = [sys.getrefcount(x) for x in watched]
    kept = [Result.ok(i).map(str) for i in range(100)] + [MayBe.just(i) for i in range(100)]
    assert [sys.getrefcount(x) for x in watched] == before
    assert len(kept) == 200


FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.mark.parametrize("member", ["map", "flat_map", "match", ">>"])
def test_a_call_in_progress_and_the_borrow_flag(member):
    """With the GIL a member counts its borrow of the receiver in the flag
    while it runs; without it, the flag is only read, so that threads calling
    members of one instance do not all write to it."""
    r = Result.ok(1)
    seen = []

    def look(value):
        seen.append(borrow_flag(r))
        return Result.ok(value)

    calls = {"map": lambda: r.map(look), "flat_map": lambda: r.flat_map(look),
             "match": lambda: r.match(look, look), ">>": lambda: r >> look}
    calls[member]()
    assert seen == [0 if FREE_THREADED else 1]
    assert borrow_flag(r) == 0


@pytest.mark.skipif(not FREE_THREADED, reason="with the GIL, threads never write at once")
@pytest.mark.parametrize("make", [Result.ok, MayBe.just], ids=["Result", "MayBe"])
def test_threads_making_values_at_once_share_no_cache_line(make):
    """Each thread's instances come from memory of its own: instance blocks
    kept for reuse stay with the thread that allocated them, and those of
    ended threads go back to the allocator. Two threads writing one cache
    line would slow each other on every call; blocks that ended threads
    handed on used to put the two hot blocks side by side in about one round
    in three."""
    extent = type(make(1)).__basicsize__ + 16  # the collector's words in front

    def lines(addresses):
        return {line for a in addresses for line in range((a - 16) // 64, (a - 17 + extent) // 64 + 1)}

    for _ in range(20):
        ender = threading.Thread(target=lambda: [make(i) for i in range(200)])
        ender.start()
        ender.join()
        used = [set(), set()]
        barrier = threading.Barrier(2)

        def work(k):
            barrier.wait()
            for i in range(2000):
                used[k].add(id(make(i)))

        pair = [threading.Thread(target=work, args=(k,)) for k in range(2)]
        for t in pair:
            t.start()
        for t in pair:
            t.join()
        assert not lines(used[0]) & lines(used[1])
