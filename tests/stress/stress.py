"""Every member and slot of both classes, on both variants, through their
success and failure paths.

`cases()` returns the table; each case names the exception it must raise (or
None) and the objects it touches, whose reference counts must come back to
where they were. The leak tests measure the table, and the memory checkers
(valgrind, the sanitizer build) run it as a script:

    python stress.py [ROUNDS] [--leak-check]

--leak-check asks LeakSanitizer, which must be loaded already, for a leak
report on standard error after a warm-up round and again after the last
round, each after a marker line "leak check: ...", so that what the rounds
lost can be told from what the interpreter left unreachable at its start.
"""

import ctypes
import gc
import sys
import threading


class Payload:
    """A payload with a reference count of its own (unlike small ints)."""

    __slots__ = ("tag",)

    def __init__(self, tag=""):
        self.tag = tag

    def __str__(self):
        return f"payload {self.tag}"


class Boom(Exception):
    pass


class Unprintable:
    def __str__(self):
        raise Boom("no text")


class Surrogate:
    def __str__(self):
        return "bad \ud800 text"


class EvilKey:
    """Collides with "ok" and fails to compare, so the lookup itself raises."""

    def __hash__(self):
        return hash("ok")

    def __eq__(self, other):
        raise Boom("compare")


class Forgiving(dict):
    def __missing__(self, key):
        return True


class Text(str):
    pass


class Mute(str):
    def __str__(self):
        raise Boom("keyword without text")


def numpy_like(name, **methods):
    return type(name, (), {"__module__": "numpy", **methods})()


def raiser(*args):
    raise Boom("from a callable")


def quietly(call):
    """Runs call with unraisable reports (of unprintable keyword names)
    dropped instead of printed."""
    saved = sys.unraisablehook
    sys.unraisablehook = lambda report: None
    try:
        return call()
    finally:
        sys.unraisablehook = saved


def borrow_flag(instance):
    """The borrow flag, the last word of the instance record."""
    address = id(instance) + type(instance).__basicsize__ - ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_ssize_t.from_address(address).value


def borrowed(table):
    """Instances of the table left with a borrow after their calls."""
    from tarvella import MayBe, Result

    return {case.name for case in table for obj in case.watched
            if type(obj) in (Result, MayBe) and borrow_flag(obj) != 0}


class Case:
    __slots__ = ("name", "call", "raises", "watched")

    def __init__(self, name, call, raises, watched):
        self.name, self.call, self.raises, self.watched = name, call, raises, watched

    def run(self):
        """One call; anything other than the expected outcome is an error."""
        if self.raises is None:
            self.call()
            return
        try:
            self.call()
        except self.raises:
            return
        raise AssertionError(f"{self.name}: {self.raises.__name__} was not raised")


def cases():
    import copy
    import copyreg
    import pickle

    import tarvella
    from tarvella import MayBe, Result

    table = []

    def add(name, call, raises=None, *watched):
        table.append(Case(name, call, raises, (Result, MayBe) + watched))

    v, d, dflt, p = Payload("v"), Payload("d"), Payload("default"), Payload("p")
    ok, err, err_code = Result.ok(v), Result.err("m"), Result.err("m", code="c", details=d)
    just, nothing = MayBe.just(v), MayBe.nothing()
    ok_r, err_r = Result.ok(p), Result.err("other", details=p)
    just_r = MayBe.just(p)
    np_true = numpy_like("bool_", __bool__=lambda s: True)
    np_other = numpy_like("bool_", __bool__=lambda s: p)
    np_raising = numpy_like("bool_", __bool__=raiser)
    np_bare = numpy_like("bool")
    identity = lambda x: x  # noqa: E731
    to_ok = lambda x: ok_r  # noqa: E731
    to_err = lambda x: err_r  # noqa: E731
    to_just = lambda x: just_r  # noqa: E731
    triple = lambda m, c, det: (m + "!", c, det)  # noqa: E731
    on_err = lambda m, c, det: det  # noqa: E731
    on_nothing = lambda: dflt  # noqa: E731

    # Constructors
    add("Result.ok", lambda: Result.ok(v), None, v)
    add("Result.ok keyword", lambda: Result.ok(value=v), None, v)
    add("Result.err", lambda: Result.err("m", "c", d), None, d)
    add("Result.err keywords", lambda: Result.err(message=Text("m"), code=None, details=d), None, d)
    add("Result.err empty texts", lambda: Result.err("", code="", details=d), None, d)
    add("Result.err non-ASCII", lambda: Result.err("é ✓ \n'", code="ü"))
    add("Result.err message type", lambda: Result.err(p), TypeError, p)
    add("Result.err code type", lambda: Result.err("m", code=p, details=d), TypeError, p, d)
    add("Result.err surrogate", lambda: Result.err("\ud800", details=d), UnicodeEncodeError, d)
    add("Result.err surrogate code", lambda: Result.err("m", "\udfff", d), UnicodeEncodeError, d)
    add("Result.ok missing", lambda: Result.ok(), TypeError)
    add("Result.ok too many", lambda: Result.ok(v, p), TypeError, v, p)
    add("Result.ok unexpected keyword", lambda: Result.ok(valeur=v), TypeError, v)
    add("Result.ok twice", lambda: Result.ok(v, value=p), TypeError, v, p)
    add("Result.ok undecodable keyword", lambda: Result.ok(**{"\ud800": v}), TypeError, v)
    add("Result.err keyword then missing", lambda: Result.err(code="c", details=d), TypeError, d)
    add("Result()", lambda: Result(v), TypeError, v)
    add("MayBe()", lambda: MayBe(v), None, v)
    add("MayBe(None)", lambda: MayBe(None))
    add("MayBe(obj=)", lambda: MayBe(obj=v), None, v)
    add("MayBe() missing", lambda: MayBe(), TypeError)
    add("MayBe() too many", lambda: MayBe(v, p), TypeError, v, p)
    add("MayBe() unexpected keyword", lambda: MayBe(obj=v, foo=p), TypeError, v, p)
    add("MayBe() unprintable keyword", lambda: quietly(lambda: MayBe(**{Mute("nope"): v})),
        TypeError, v)
    add("MayBe.just", lambda: MayBe.just(v), None, v)
    add("MayBe.just(None)", lambda: MayBe.just(None))
    add("MayBe.just missing", lambda: MayBe.just(), TypeError)
    add("MayBe.nothing", lambda: MayBe.nothing())
    add("MayBe.nothing with argument", lambda: MayBe.nothing(v), TypeError, v)
    add("static on instance", lambda: just.just(v) and ok.ok(v), None, v, just, ok)

    # Dictionary form
    add("to_dict Ok", ok.to_dict, None, ok, v)
    add("to_dict Err", err_code.to_dict, None, err_code, d)
    add("from_dict Ok", lambda: Result.from_dict({"ok": True, "value": v}), None, v)
    add("from_dict Err", lambda: Result.from_dict(
        {"ok": False, "error": "m", "code": "c", "details": d}), None, d)
    add("from_dict None details", lambda: Result.from_dict(
        {"ok": False, "error": Text("m"), "details": None}))
    add("from_dict round trip", lambda: Result.from_dict(err_code.to_dict()), None, err_code, d)
    add("from_dict keyword", lambda: Result.from_dict(dict={"ok": True, "value": v}), None, v)
    add("from_dict bad code", lambda: Result.from_dict(
        {"ok": False, "error": "m", "code": p}), None, p)
    add("from_dict surrogate code", lambda: Result.from_dict(
        {"ok": False, "error": "m", "code": "\ud800", "details": d}), None, d)
    add("from_dict numeric bool", lambda: Result.from_dict({"ok": np_true, "value": v}), None, v)
    add("from_dict not a dict", lambda: Result.from_dict([("ok", True)]), TypeError)
    add("from_dict missing ok", lambda: Result.from_dict(Forgiving(value=v)), ValueError, v)
    add("from_dict missing value", lambda: Result.from_dict({"ok": True, "error": p}),
        ValueError, p)
    add("from_dict missing error", lambda: Result.from_dict({"ok": False, "value": v}),
        ValueError, v)
    add("from_dict ok not bool", lambda: Result.from_dict({"ok": 1, "value": v}), TypeError, v)
    add("from_dict ok is None", lambda: Result.from_dict({"ok": None}), TypeError)
    add("from_dict error type", lambda: Result.from_dict({"ok": False, "error": p}),
        TypeError, p)
    add("from_dict error surrogate", lambda: Result.from_dict(
        {"ok": False, "error": "\udc80", "details": d}), UnicodeEncodeError, d)
    add("from_dict failing lookup", lambda: Result.from_dict({EvilKey(): True}), Boom)
    add("from_dict numeric bool non-bool", lambda: Result.from_dict({"ok": np_other, "value": v}),
        TypeError, v, p)
    add("from_dict numeric bool raising", lambda: Result.from_dict({"ok": np_raising, "value": v}),
        Boom, v)
    add("from_dict numeric bool without __bool__", lambda: Result.from_dict(
        {"ok": np_bare, "value": v}), TypeError, v, np_bare)

    # Inspection and extraction
    for label, r in (("Ok", ok), ("Err", err_code)):
        add(f"is_ok {label}", r.is_ok, None, r)
        add(f"is_err {label}", r.is_err, None, r)
        add(f"to_option {label}", r.to_option, None, r, v)
        add(f"unwrap_or {label}", lambda r=r: r.unwrap_or(dflt), None, r, dflt)
        add(f"unwrap_or keyword {label}", lambda r=r: r.unwrap_or(default=dflt), None, r, dflt)
        add(f"expect type {label}", lambda r=r: r.expect(p), TypeError, r, p)
        add(f"expect surrogate {label}", lambda r=r: r.expect("\ud800"), UnicodeEncodeError, r)
        add(f"unwrap_or missing {label}", lambda r=r: r.unwrap_or(), TypeError, r)
        add(f"no-argument member with one {label}", lambda r=r: r.is_ok(p), TypeError, r, p)
    add("unwrap Ok", ok.unwrap, None, ok, v)
    add("unwrap Err", err_code.unwrap, ValueError, err_code)
    add("expect Ok", lambda: ok.expect("x"), None, ok, v)
    add("expect Err", lambda: err_code.expect(Text("custom")), ValueError, err_code)
    add("unwrap_err Ok", ok.unwrap_err, ValueError, ok)
    add("unwrap_err Err", err_code.unwrap_err, None, err_code, d)
    add("unwrap_err plain Err", err.unwrap_err, None, err)
    add("method of another class", lambda: Result.unwrap(just), TypeError, just)
    for label, m in (("Just", just), ("Nothing", nothing)):
        add(f"is_just {label}", m.is_just, None, m)
        add(f"is_nothing {label}", m.is_nothing, None, m)
        add(f"to_option {label}", m.to_option, None, m, v)
        add(f"or_else {label}", lambda m=m: m.or_else(dflt), None, m, dflt)
        add(f"expect type {label}", lambda m=m: m.expect(None), TypeError, m)
        add(f"or_else too many {label}", lambda m=m: m.or_else(dflt, p), TypeError, m, dflt, p)
    add("unwrap Just", just.unwrap, None, just, v)
    add("unwrap Nothing", nothing.unwrap, ValueError, nothing)
    add("expect Just", lambda: just.expect("x"), None, just, v)
    add("expect Nothing", lambda: nothing.expect("custom é"), ValueError, nothing)

    # Combinators and match
    add("map Ok", lambda: ok.map(identity), None, ok, v, identity)
    add("map Ok to None", lambda: ok.map(lambda x: None), None, ok, v)
    add("map Err", lambda: err_code.map(raiser), None, err_code, d, raiser)
    add("map Ok raising", lambda: ok.map(raiser), Boom, ok, v, raiser)
    add("map Ok not callable", lambda: ok.map(p), TypeError, ok, v, p)
    add("map Ok wrong arity", lambda: ok.map(on_err), TypeError, ok, v, on_err)
    add("map missing", lambda: ok.map(), TypeError, ok)
    add("map unexpected keyword", lambda: ok.map(fn=identity), TypeError, ok, identity)
    add("map_err Ok", lambda: ok.map_err(raiser), None, ok, v, raiser)
    add("map_err Err", lambda: err_code.map_err(triple), None, err_code, d, triple)
    add("map_err Err raising", lambda: err_code.map_err(raiser), Boom, err_code, d, raiser)
    add("map_err not a tuple", lambda: err_code.map_err(lambda *t: [p, None, None]),
        TypeError, err_code, d, p)
    add("map_err short tuple", lambda: err_code.map_err(lambda *t: (p, None)),
        ValueError, err_code, d, p)
    add("map_err message type", lambda: err_code.map_err(lambda *t: (p, None, d)),
        TypeError, err_code, d, p)
    add("map_err code type", lambda: err_code.map_err(lambda *t: ("m", p, d)),
        TypeError, err_code, d, p)
    add("map_err surrogate", lambda: err_code.map_err(lambda *t: ("\ud800", None, p)),
        UnicodeEncodeError, err_code, d, p)
    add("map_err wrong arity", lambda: err_code.map_err(identity), TypeError, err_code, identity)
    for name in ("flat_map", "and_then"):
        add(f"{name} Ok to Ok", lambda n=name: getattr(ok, n)(to_ok), None, ok, v, ok_r, p)
        add(f"{name} Ok to Err", lambda n=name: getattr(ok, n)(to_err), None, ok, v, err_r, p)
        add(f"{name} Err", lambda n=name: getattr(err_code, n)(raiser), None, err_code, d)
        add(f"{name} raising", lambda n=name: getattr(ok, n)(raiser), Boom, ok, v)
        add(f"{name} wrong type", lambda n=name: getattr(ok, n)(to_just), TypeError,
            ok, v, just_r, p)
        add(f"{name} returns payload", lambda n=name: getattr(ok, n)(identity), TypeError, ok, v)
    add("match Ok", lambda: ok.match(identity, raiser), None, ok, v, identity, raiser)
    add("match Ok keywords", lambda: ok.match(err=raiser, ok=identity), None, ok, v, identity)
    add("match Ok without callable", lambda: ok.match(err=raiser), None, ok, raiser)
    add("match Err", lambda: err_code.match(raiser, on_err), None, err_code, d, on_err)
    add("match Err without callable", lambda: err_code.match(ok=raiser), None, err_code)
    add("match Ok raising", lambda: ok.match(raiser), Boom, ok, v, raiser)
    add("match Err raising", lambda: err_code.match(None, raiser), Boom, err_code, d, raiser)
    add("match Err not callable", lambda: err_code.match(err=p), TypeError, err_code, p)
    add("match too many", lambda: ok.match(identity, raiser, p), TypeError, ok, p)
    add("map Just", lambda: just.map(identity), None, just, v, identity)
    add("map Nothing", lambda: nothing.map(raiser), None, nothing, raiser)
    add("map Just raising", lambda: just.map(raiser), Boom, just, v, raiser)
    add("map Just not callable", lambda: just.map(None), TypeError, just, v)
    add("flat_map Just", lambda: just.flat_map(to_just), None, just, v, just_r, p)
    add("flat_map Just to Nothing", lambda: just.flat_map(lambda x: nothing), None,
        just, v, nothing)
    add("flat_map Nothing", lambda: nothing.flat_map(raiser), None, nothing, raiser)
    add("flat_map Just raising", lambda: just.flat_map(raiser), Boom, just, v)
    add("flat_map Just wrong type", lambda: just.flat_map(to_ok), TypeError, just, v, ok_r, p)
    add("match Just", lambda: just.match(identity, on_nothing), None, just, v, identity)
    add("match Nothing", lambda: nothing.match(raiser, on_nothing), None, nothing, dflt)
    add("match Nothing keywords", lambda: nothing.match(nothing=on_nothing), None, nothing)
    add("match Nothing raising", lambda: nothing.match(nothing=raiser), Boom, nothing, raiser)
    add("match Nothing without callable", lambda: nothing.match(just=raiser), None, nothing)
    add("match Just raising", lambda: just.match(raiser), Boom, just, v, raiser)

    # Callables that re-enter the receiver while it is borrowed
    add("re-entrant Result.map", lambda: ok.map(lambda x: ok.map(identity).to_dict()),
        None, ok, v)
    add("re-entrant Result.match", lambda: err_code.match(
        err=lambda *t: err_code.map_err(lambda *u: u).unwrap_err()), None, err_code, d)
    add("re-entrant MayBe >>", lambda: just >> (lambda x: just.map(repr)), None, just, v)

    # Text form
    add("repr Ok", lambda: repr(ok), None, ok, v)
    add("repr Err", lambda: repr(err_code), None, err_code)
    add("repr Err without code", lambda: repr(err), None, err)
    add("repr nested", lambda: repr(Result.ok(MayBe.just(ok))), None, ok)
    add("repr Ok raising", lambda: repr(Result.ok(Unprintable())), Boom)
    lone = "caf\udce9.txt"  # joined as str objects: it has no UTF-8 form
    add("repr Ok surrogate", lambda: repr(Result.ok(lone)), None, lone)
    add("repr Just", lambda: repr(just), None, just, v)
    add("repr Nothing", lambda: repr(nothing), None, nothing)
    add("repr Just raising", lambda: repr(MayBe.just(Unprintable())), Boom)
    add("repr Just surrogate", lambda: repr(MayBe.just(Surrogate())), None)
    add("str Ok", lambda: str(ok), None, ok, v)

    # Protocols and operators
    for label, x in (("Ok", ok), ("Err", err_code), ("Just", just), ("Nothing", nothing)):
        add(f"bool {label}", lambda x=x: bool(x), None, x)
        add(f"len {label}", lambda x=x: len(x), None, x)
        add(f"list {label}", lambda x=x: list(x), None, x, v)
        add(f"in {label}", lambda x=x: v in x, None, x, v)
        add(f"| {label}", lambda x=x: x | dflt, None, x, v, dflt)
        add(f"foreign left | {label}", lambda x=x: p | x, TypeError, x, p)
        add(f"foreign left >> {label}", lambda x=x: 5 >> x, TypeError, x)
        add(f"reflected {label}", lambda x=x: x.__ror__(p), None, x, p)
        add(f"subscript {label}", lambda x=x: x[0], TypeError, x)
    add("Ok >> Ok", lambda: ok >> to_ok, None, ok, v, ok_r, p)
    add("Ok >> Err", lambda: ok >> to_err, None, ok, v, err_r, p)
    add("Err >> any", lambda: err_code >> p, None, err_code, d, p)
    add("Ok >> raising", lambda: ok >> raiser, Boom, ok, v, raiser)
    add("Ok >> wrong type", lambda: ok >> identity, TypeError, ok, v)
    add("Ok >> not callable", lambda: ok >> p, TypeError, ok, v, p)
    add("Just >> Just", lambda: just >> to_just, None, just, v, just_r, p)
    add("Nothing >> any", lambda: nothing >> p, None, nothing, p)
    add("Just >> raising", lambda: just >> raiser, Boom, just, v, raiser)
    add("Just >> wrong type", lambda: just >> to_ok, TypeError, just, v, ok_r)
    add("Result | Result", lambda: err | ok_r, None, err, ok_r)
    add("Result[...]", lambda: Result[int, str], None)
    add("MayBe[...]", lambda: MayBe[p], None, p)
    add("__class_getitem__ keyword", lambda: MayBe.__class_getitem__(_item=p), None, p)
    add("__class_getitem__ missing", lambda: Result.__class_getitem__(), TypeError)

    # Pickling and copying, through the reducers and the reconstructor
    for label, x in (("Ok", ok), ("Err", err_code), ("Just", just), ("Nothing", nothing)):
        add(f"copy {label}", lambda x=x: copy.copy(x), None, x, v, d)
        add(f"pickle {label}", lambda x=x: pickle.loads(pickle.dumps(x)), None, x, v, d)
    reduce_result, reduce_maybe = copyreg.dispatch_table[Result], copyreg.dispatch_table[MayBe]
    add("reduce wrong class", lambda: reduce_result(just), TypeError, just)
    add("reduce not an instance", lambda: reduce_maybe(p), TypeError, p)
    add("reconstruct unknown kind", lambda: tarvella._reconstruct("Thing", p), ValueError, p)
    add("reconstruct kind type", lambda: tarvella._reconstruct(p, ()), TypeError, p)
    add("reconstruct missing", lambda: tarvella._reconstruct("MayBe"), TypeError)
    add("reconstruct Result state type", lambda: tarvella._reconstruct("Result", [v]),
        TypeError, v)
    add("reconstruct Result bad state", lambda: tarvella._reconstruct(
        "Result", {"ok": False, "error": p, "details": d}), TypeError, p, d)
    add("reconstruct MayBe state type", lambda: tarvella._reconstruct("MayBe", [v]),
        TypeError, v)
    add("reconstruct MayBe long state", lambda: tarvella._reconstruct("MayBe", (v, p)),
        ValueError, v, p)

    def cycle():
        box = [d]
        box.append(Result.err("m", details=MayBe.just(box)).map(str))

    # The youngest generation holds the whole cycle.
    add("cycle collected", lambda: (cycle(), gc.collect(0)), None, d)
    return table


def run(table, rounds):
    for _ in range(rounds):
        for case in table:
            case.run()


def threaded_round(table):
    """One pass of the table on a second thread: the lock depth and the
    deferred releases are per thread."""
    failure = []

    def work():
        try:
            run(table, 1)
        except BaseException as error:  # reported by the caller
            failure.append(error)

    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
    if failure:
        raise failure[0]


# The classes, for finalisers that run when imports no longer work.
LATE = []


class CallsBack:
    """A payload whose finaliser uses the module, late in finalisation."""

    def __del__(self, late=LATE):
        if not late:
            return
        Result, MayBe = late
        Result.from_dict(Result.err("late", "c", details=[self]).to_dict()).map_err(
            lambda *t: t).unwrap_err()
        repr(MayBe.just(1) >> (lambda x: MayBe.just(Result.ok(x))))


def leave_for_exit():
    """Instances left alive at exit, some in a module that is torn down late
    in finalisation, with payloads whose finalisers call the module."""
    import types
    from tarvella import MayBe, Result

    LATE[:] = [Result, MayBe]
    holder = types.ModuleType("stress_holder")
    holder.kept = [Result.ok(CallsBack()), MayBe.just(CallsBack()),
                   Result.err("m", details=MayBe.just(CallsBack())), MayBe.nothing()]
    sys.modules[holder.__name__] = holder


def main(argv):
    rounds = int(argv[0]) if argv and argv[0].isdigit() else 3
    leak_check = "--leak-check" in argv
    table = cases()
    run(table, 1)
    threaded_round(table)
    check = None
    if leak_check:
        check = ctypes.CDLL(None).__lsan_do_recoverable_leak_check
        gc.collect()
        print("leak check: baseline", file=sys.stderr, flush=True)
        check()
    run(table, rounds)
    threaded_round(table)
    left = borrowed(table)
    if left:
        raise AssertionError(f"borrows left after: {sorted(left)}")
    del table
    if check is not None:
        gc.collect()
        print("leak check: after the rounds", file=sys.stderr, flush=True)
        check()
    leave_for_exit()
    print(f"stress: {rounds} rounds done", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
