"""Thread stress: many threads call every member of both classes at once, on
instances they all share and on instances of their own, with outcomes that
succeed and outcomes that raise, and check every answer. Instances also
change hands: one thread makes them, another uses and drops them; and a
dictionary that other threads keep changing is read by `from_dict`.

Made for a free-threaded interpreter with the GIL off, where the threads
really run at the same time; with the GIL the answers must be the same.

    python tests/stress/thread_stress.py [--threads N] [--iterations N] [--label TEXT]

Exits non-zero on a wrong answer, an unexpected exception, a crash of a
worker, or a shared instance whose borrow flag is left raised.
"""

import argparse
import copy
import ctypes
import pickle
import sys
import threading

from tarvella import MayBe, Result


class Boom(Exception):
    pass


def boom(*args):
    raise Boom


class Instances:
    """One set of instances to work on, and the details object inside."""
    __slots__ = ("ok", "err", "just", "nothing", "details")

    def __init__(self, details):
        self.details = details
        self.ok = Result.ok(7)
        self.err = Result.err("m", code="c", details=details)
        self.just = MayBe.just(7)
        self.nothing = MayBe.nothing()


class Either:
    """An expected outcome that may be any of several (a racing reader)."""

    def __init__(self, *outcomes):
        self.outcomes = outcomes


# A dictionary that some operations change and others read.
changing = {"ok": True, "value": 1}
handoff_lock = threading.Lock()
handoff = []


def change_dict(i):
    if i % 2:
        changing["value"] = [i]
    else:
        changing.pop("value", None)
    return True


def read_changing():
    try:
        value = Result.from_dict(changing).unwrap()
    except ValueError as error:
        return str(error)
    return type(value).__name__


def pass_on(s):
    """Leaves one of this thread's instances for another thread, and uses
    and drops one that another thread left: made here, freed there."""
    mine = Result.ok(MayBe.just(s.ok)) if len(handoff) % 2 else MayBe.just(Result.err("h"))
    with handoff_lock:
        handoff.append(mine)
        theirs = handoff.pop(0)
    del mine
    return type(theirs).__name__ in ("Result", "MayBe") and bool(repr(theirs))


def hammer(s):
    """Cheap members on the same instances in a tight loop: what makes two
    threads change one borrow flag at the same moment."""
    ok, err, just, nothing = s.ok, s.err, s.just, s.nothing
    for _ in range(1000):
        if not (ok.is_ok() and err.is_err() and just.unwrap() == 7 and len(nothing) == 0
                and ok.unwrap_or(3) == 7 and bool(just)):
            return False
    return True


def chain(depth):
    """A chain of nested instances, dropped at once (taken apart in a loop)."""
    link = MayBe.just(0)
    for n in range(depth):
        link = Result.ok(link) if n % 2 else MayBe.just(link)
    return repr(link).count("(")


OPERATIONS = [
    # Result: constructors and the dictionary form
    ("Result.ok", lambda s: Result.ok(s.details).to_dict()["value"] is s.details, True),
    ("Result.err", lambda s: repr(Result.err("m", code="c")), "Err('m', code='c')"),
    ("Result.err bad code", lambda s: Result.err("m", code=5), TypeError),
    ("Result.ok no argument", lambda s: Result.ok(), TypeError),
    ("from_dict", lambda s: Result.from_dict(s.err.to_dict()).unwrap_err(), ("m", "c", ["d"])),
    ("from_dict missing", lambda s: Result.from_dict({"ok": False}), ValueError),
    ("from_dict not a dict", lambda s: Result.from_dict([]), TypeError),
    ("from_dict changing", lambda s: read_changing(),
     Either("list", "int", "Missing 'value' key for Ok result")),
    ("to_dict", lambda s: s.ok.to_dict(), {"ok": True, "value": 7}),
    # Result: inspection and extraction
    ("is_ok/is_err", lambda s: (s.ok.is_ok(), s.ok.is_err(), s.err.is_ok(), s.err.is_err()),
     (True, False, False, True)),
    ("unwrap Ok", lambda s: s.ok.unwrap(), 7),
    ("unwrap Err", lambda s: s.err.unwrap(), ValueError),
    ("expect Ok", lambda s: s.ok.expect("x"), 7),
    ("expect Err", lambda s: s.err.expect("x"), ValueError),
    ("expect bad message", lambda s: s.ok.expect(5), TypeError),
    ("unwrap_or", lambda s: (s.ok.unwrap_or(3), s.err.unwrap_or(3)), (7, 3)),
    ("unwrap_err Err", lambda s: s.err.unwrap_err()[2] is s.details, True),
    ("unwrap_err Ok", lambda s: s.ok.unwrap_err(), ValueError),
    ("Result.to_option", lambda s: (s.ok.to_option(), s.err.to_option()), (7, None)),
    # Result: combinators, re-entering the same instance
    ("Result.match", lambda s: (s.ok.match(ok=lambda v: v + s.ok.unwrap()),
                                s.err.match(err=lambda m, c, d: (m, c, d is s.details)),
                                s.ok.match()), (14, ("m", "c", True), None)),
    ("Result.match raising", lambda s: s.err.match(err=boom), Boom),
    ("Result.map", lambda s: (repr(s.ok.map(lambda v: (v, repr(s.ok)))), repr(s.err.map(boom))),
     ("Ok((7, 'Ok(7)'))", "Err('m', code='c')")),
    ("Result.map raising", lambda s: s.ok.map(boom), Boom),
    ("map_err", lambda s: repr(s.err.map_err(lambda m, c, d: (m + s.err.unwrap_err()[0], c, d))),
     "Err('mm', code='c')"),
    ("map_err bad triple", lambda s: s.err.map_err(lambda *t: (1, None, None)), TypeError),
    ("Result.flat_map", lambda s: s.ok.flat_map(lambda v: s.ok.map(lambda w: w * v)).unwrap(), 49),
    ("flat_map to shared", lambda s: s.ok.flat_map(lambda v: s.err).is_err(), True),
    ("and_then wrong type", lambda s: s.ok.and_then(lambda v: MayBe.just(v)), TypeError),
    ("Result[...]", lambda s: Result[int, str] is Result, True),
    # Result: protocols and operators
    ("Result protocols", lambda s: (bool(s.ok), bool(s.err), len(s.ok), len(s.err), list(s.ok),
                                    list(s.err), 7 in s.ok),
     (True, False, 1, 0, [7], [], True)),
    ("Result repr", lambda s: (repr(s.ok), repr(s.err)), ("Ok(7)", "Err('m', code='c')")),
    ("Result >>", lambda s: ((s.ok >> (lambda v: Result.ok(v + 1))).unwrap(),
                             (s.err >> boom) is not s.err), (8, True)),
    ("Result >> raising", lambda s: s.ok >> boom, Boom),
    ("Result |", lambda s: (s.ok | 5, s.err | 5), (7, 5)),
    ("Result | refused", lambda s: 5 | s.ok, TypeError),
    ("Result pickle", lambda s: repr(pickle.loads(pickle.dumps(s.err))), "Err('m', code='c')"),
    # MayBe: constructors
    ("MayBe.just", lambda s: MayBe.just(None).unwrap(), None),
    ("MayBe.nothing", lambda s: repr(MayBe.nothing()), "Nothing"),
    ("MayBe()", lambda s: (repr(MayBe(3)), repr(MayBe(None))), ("Just(3)", "Nothing")),
    ("MayBe() no argument", lambda s: MayBe(), TypeError),
    # MayBe: inspection, extraction, combinators
    ("is_just/is_nothing", lambda s: (s.just.is_just(), s.just.is_nothing(),
                                      s.nothing.is_just(), s.nothing.is_nothing()),
     (True, False, False, True)),
    ("MayBe.unwrap", lambda s: s.just.unwrap(), 7),
    ("unwrap Nothing", lambda s: s.nothing.unwrap(), ValueError),
    ("MayBe.expect", lambda s: s.just.expect("x"), 7),
    ("expect Nothing", lambda s: s.nothing.expect("x"), ValueError),
    ("MayBe.to_option", lambda s: (s.just.to_option(), s.nothing.to_option()), (7, None)),
    ("MayBe.match", lambda s: (s.just.match(just=lambda v: (v, repr(s.just))),
                               s.nothing.match(nothing=lambda: "n"), s.nothing.match()),
     ((7, "Just(7)"), "n", None)),
    ("MayBe.match raising", lambda s: s.just.match(just=boom), Boom),
    ("or_else", lambda s: (s.just.or_else(3), s.nothing.or_else(3)), (7, 3)),
    ("MayBe.map", lambda s: (s.just.map(lambda v: s.just.unwrap() + v).unwrap(),
                             repr(s.nothing.map(boom))), (14, "Nothing")),
    ("MayBe.map raising", lambda s: s.just.map(boom), Boom),
    ("MayBe.flat_map", lambda s: (s.just.flat_map(lambda v: s.just).unwrap(),
                                  repr(s.nothing.flat_map(boom))), (7, "Nothing")),
    ("MayBe.flat_map wrong type", lambda s: s.just.flat_map(lambda v: s.ok), TypeError),
    ("MayBe[...]", lambda s: MayBe[int] is MayBe, True),
    # MayBe: protocols and operators
    ("MayBe protocols", lambda s: (bool(s.just), bool(s.nothing), len(s.just), len(s.nothing),
                                   list(s.just), list(s.nothing)),
     (True, False, 1, 0, [7], [])),
    ("MayBe repr", lambda s: (repr(s.just), repr(s.nothing)), ("Just(7)", "Nothing")),
    ("MayBe >>", lambda s: ((s.just >> (lambda v: MayBe.just(v * 3))).unwrap(),
                            repr(s.nothing >> boom)), (21, "Nothing")),
    ("MayBe >> raising", lambda s: s.just >> boom, Boom),
    ("MayBe |", lambda s: (s.just | 1, s.nothing | 1), (7, 1)),
    ("MayBe copy", lambda s: repr(copy.deepcopy(s.just)), "Just(7)"),
    # Instances that change threads, and chains taken apart
    ("made here, freed there", pass_on, True),
    ("chain", lambda s: chain(200), 201),
    ("hammer", hammer, True),
]


def run_operation(name, call, instances, expected):
    if isinstance(expected, type) and issubclass(expected, BaseException):
        try:
            call(instances)
        except expected:
            return
        raise AssertionError(f"{name}: {expected.__name__} not raised")
    got = call(instances)
    if isinstance(expected, Either):
        assert got in expected.outcomes, f"{name}: {got!r} is none of {expected.outcomes!r}"
    else:
        assert got == expected, f"{name}: {got!r} != {expected!r}"


def borrow_flag(instance):
    """The borrow flag, the last word of the instance record."""
    address = id(instance) + type(instance).__basicsize__ - ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_ssize_t.from_address(address).value


def stress(threads, iterations):
    """Runs the stress; returns (calls made, failures)."""
    shared = Instances(["d"])
    failures = []
    calls = [0] * threads
    start = threading.Barrier(threads)

    def worker(index):
        start.wait()
        try:
            for i in range(iterations):
                # Each thread walks the table from its own offset, so that
                # different members of one instance run at the same time; every
                # other round on instances of this thread's own.
                name, call, expected = OPERATIONS[(i + index * 7) % len(OPERATIONS)]
                instances = shared if i % 2 else Instances(["d"])
                run_operation(name, call, instances, expected)
                if i % 16 == 0:
                    change_dict(i + index)
                calls[index] += 1
        except BaseException as error:  # a failure of any kind ends this worker
            failures.append(f"thread {index}: {type(error).__name__}: {error}")

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join()
    raised = [name for name in ("ok", "err", "just", "nothing")
              if borrow_flag(getattr(shared, name)) != 0]
    if raised:
        failures.append(f"borrow flags left raised on the shared {', '.join(raised)}")
    # The shared instances still answer as new.
    for name, call, expected in OPERATIONS:
        try:
            run_operation(name, call, shared, expected)
        except BaseException as error:
            failures.append(f"afterwards: {type(error).__name__}: {error}")
    return sum(calls), failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--iterations", type=int, default=20000, help="per thread")
    parser.add_argument("--label", default="")
    args = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    calls, failures = stress(args.threads, args.iterations)
    label = f"{args.label}: " if args.label else ""
    state = "GIL on" if gil else "GIL off"
    for failure in failures[:10]:
        print(failure)
    verdict = f"{len(failures)} failures" if failures else "ok"
    print(f"{label}thread stress: {args.threads} threads, {calls} calls, "
          f"{len(OPERATIONS)} operations, {state}: {verdict}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
