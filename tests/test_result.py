"""Result: constructors, text form, extraction, combinators, dictionary form,
operators and protocols."""

import json
import logging
import sys
from collections import namedtuple

import pytest

from tarvella import MayBe, Result


class Thing:
    """An object compared by identity only."""


def form(r):
    """The full observable state of a Result, details presence included."""
    return list(r.to_dict().items())


class Boom(Exception):
    pass


def explode(*args):
    raise Boom(args)


# --- constructors and text form -------------------------------------------

@pytest.mark.parametrize("make, text", [
    (lambda: Result.ok(5), "Ok(5)"),
    (lambda: Result.ok("a"), "Ok(a)"),
    (lambda: Result.ok(None), "Ok(None)"),
    (lambda: Result.ok(Result.ok(1)), "Ok(Ok(1))"),
    (lambda: Result.ok(Result.err("x", code="c")), "Ok(Err('x', code='c'))"),
    (lambda: Result.ok(MayBe.nothing()), "Ok(Nothing)"),
    (lambda: Result.err("boom"), "Err('boom')"),
    (lambda: Result.err("boom", code="E42", details={"k": 1}), "Err('boom', code='E42')"),
    (lambda: Result.err("it's"), "Err('it's')"),
    (lambda: Result.err("a\nb", code="c'd"), "Err('a\nb', code='c'd')"),
    (lambda: Result.err(""), "Err('')"),
    (lambda: Result.err("m", code=""), "Err('m', code='')"),
    (lambda: Result.err("a\x00b", code="\x00"), "Err('a\x00b', code='\x00')"),
    (lambda: Result.err("héllo ✓", code="ü"), "Err('héllo ✓', code='ü')"),
    (lambda: Result.ok("\ud800"), "Ok(\ud800)"),
])
def test_text_form(make, text):
    r = make()
    assert repr(r) == text
    assert str(r) == text
    assert type(r) is Result


@pytest.mark.parametrize("value, error", [
    (type("Loud", (), {"__str__": explode})(), Boom),
    (type("Wrong", (), {"__str__": lambda self: 5})(), TypeError),
])
def test_text_form_failures_propagate(value, error):
    r = Result.ok(value)
    with pytest.raises(error):
        repr(r)
    assert r.unwrap() is value


@pytest.mark.thread_unsafe(reason="caplog collects every thread's records")
def test_text_form_of_a_name_that_did_not_decode(caplog):
    # What os.fsdecode, os.listdir and sys.argv give on POSIX for bytes that
    # are not UTF-8: lone surrogates. A log line that shows one must not be lost.
    name = b"caf\xe9.txt".decode("utf-8", "surrogateescape")
    caplog.clear()  # run more than once by pytest-run-parallel's --iterations
    for value, text in ((Result.ok(name), "Ok(caf\udce9.txt)"),
                        (MayBe.just(name), "Just(caf\udce9.txt)"),
                        (Result.ok(MayBe.just(name)), "Ok(Just(caf\udce9.txt))")):
        with caplog.at_level(logging.WARNING):
            logging.getLogger("tarvella.test").warning("skipped %s", value)
        assert caplog.messages[-1] == f"skipped {text}" == f"skipped {value}"
    assert len(caplog.records) == 3


def test_constructors_are_static_and_build_new_objects():
    r = Result.err("x")
    assert r.ok(1).unwrap() == 1 and r.err("y").unwrap_err()[0] == "y"
    assert Result.ok(1) is not Result.ok(1)
    assert Result.ok(1) != Result.ok(1)
    assert r == r and hash(r) == hash(r) and {r: 1}[r] == 1
    with pytest.raises(TypeError):
        r[0]


# --- inspection and extraction --------------------------------------------

@pytest.mark.parametrize("make, ok", [
    (lambda: Result.ok(None), True), (lambda: Result.ok(0), True),
    (lambda: Result.ok(False), True), (lambda: Result.ok(""), True),
    (lambda: Result.ok([]), True), (lambda: Result.err(""), False),
    (lambda: Result.err("m", code="c", details=1), False),
])
def test_queries_and_protocols_depend_only_on_variant(make, ok):
    r = make()
    assert r.is_ok() is ok and r.is_err() is (not ok)
    assert bool(r) is ok
    assert len(r) == int(ok) and type(len(r)) is int
    assert list(r) == ([r.unwrap()] if ok else [])


@pytest.mark.parametrize("make, call, text", [
    (lambda: Result.err("boom"), Result.unwrap, "Tried to unwrap an Err: boom"),
    (lambda: Result.err("boom", code="E", details=[1]), Result.unwrap,
     "Tried to unwrap an Err: boom"),
    (lambda: Result.err(""), Result.unwrap, "Tried to unwrap an Err: "),
    (lambda: Result.err("boom"), lambda r: r.expect("custom"), "custom"),
    (lambda: Result.err("boom", code="c"), lambda r: r.expect(""), ""),
    (lambda: Result.err("x"), lambda r: r.expect("é ✓\n"), "é ✓\n"),
    (lambda: Result.ok(1), Result.unwrap_err, "Tried to unwrap_err on an Ok"),
])
def test_wrong_variant_raises_value_error(make, call, text):
    with pytest.raises(ValueError) as info:
        call(make())
    assert type(info.value) is ValueError
    assert info.value.args == (text,)


@pytest.mark.parametrize("make, triple", [
    (lambda d: Result.err("m"), ("m", None, None)),
    (lambda d: Result.err("m", code="E1", details=d), ("m", "E1", "same")),
    (lambda d: Result.err("m", details=None), ("m", None, None)),
    (lambda d: Result.err("m", details=0), ("m", None, 0)),
    (lambda d: Result.err("m", code=""), ("m", "", None)),
    (lambda d: Result.err("x" * 100_000), ("x" * 100_000, None, None)),
    (lambda d: Result.from_dict({"ok": False, "error": "m", "details": None}), ("m", None, None)),
])
def test_unwrap_err_triple(make, triple):
    details = Thing()
    got = make(details).unwrap_err()
    assert type(got) is tuple and len(got) == 3
    assert got[:2] == triple[:2]
    assert got[2] is details if triple[2] == "same" else got[2] == triple[2]


def test_extraction_returns_the_stored_objects():
    x, d = Thing(), Thing()
    ok, err = Result.ok(x), Result.err("m", details=d)
    assert ok.unwrap() is x and ok.expect("m") is x and ok.to_option() is x
    assert ok.unwrap_or(d) is x and (ok | d) is x and next(iter(ok)) is x
    assert ok.match(lambda v: v) is x and ok.to_dict()["value"] is x
    assert err.unwrap_or(d) is d and (err | d) is d and err.to_option() is None
    assert err.unwrap_err()[2] is d and err.to_dict()["details"] is d
    assert ok.is_ok() is True and err.is_ok() is False
    assert Result.ok(1).unwrap_or(explode) == 1
    assert Result.err("m").unwrap_or(explode) is explode
    assert (Result.err("m") | explode) is explode


# --- combinators ------------------------------------------------------------

def test_map():
    assert Result.ok(2).map(lambda x: x * 10).unwrap() == 20
    assert form(Result.ok(2).map(lambda x: None)) == [("ok", True), ("value", None)]
    nested = Result.ok(1).map(Result.ok)
    assert repr(nested) == "Ok(Ok(1))"
    d = Thing()
    passed = Result.err("m", code="c", details=d).map(explode)
    assert passed.unwrap_err()[:2] == ("m", "c") and passed.unwrap_err()[2] is d
    assert Result.err("m").map(None).is_err()
    with pytest.raises(TypeError):
        Result.ok(1).map(None)


def test_map_err():
    seen = []
    d = Thing()

    def record(*args):
        seen.append(args)
        return (args[0].upper(), "E1", None)

    out = Result.err("m", code="c", details=d).map_err(record)
    assert [a[:2] for a in seen] == [("m", "c")] and seen[0][2] is d
    assert form(out) == [("ok", False), ("error", "M"), ("code", "E1")]
    assert form(Result.err("m").map_err(lambda m, c, d: (m, c, d))) == form(Result.err("m"))
    assert Result.ok(1).map_err(None).unwrap() == 1
    triple = namedtuple("Triple", "m c d")
    assert Result.err("m").map_err(lambda *a: triple("n", "k", 3)).unwrap_err() == ("n", "k", 3)


@pytest.mark.parametrize("returned, error, text", [
    (("m", None), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (("m", None, None, None), ValueError, "expected tuple of length 3, but got tuple of length 4"),
    ((), ValueError, "expected tuple of length 3, but got tuple of length 0"),
    (["m", None, None], TypeError, "'list' object is not an instance of 'tuple'"),
    (None, TypeError, "'None' is not an instance of 'tuple'"),
    ((1, None, None), TypeError, "'int' object is not an instance of 'str'"),
    (("m", 5, None), TypeError, "'int' object is not an instance of 'str'"),
    ((None, None, None), TypeError, "'None' is not an instance of 'str'"),
])
def test_map_err_rejects_bad_triples(returned, error, text):
    r = Result.err("m")
    with pytest.raises(error) as info:
        r.map_err(lambda m, c, d: returned)
    assert type(info.value) is error and info.value.args == (text,)
    assert form(r) == [("ok", False), ("error", "m")]


def test_map_err_other_failures():
    with pytest.raises(UnicodeEncodeError):
        Result.err("m").map_err(lambda *a: ("\ud800", None, None))
    with pytest.raises(TypeError):
        Result.err("m").map_err(lambda m: m)
    with pytest.raises(Boom):
        Result.err("m").map_err(explode)


CHAINS = {
    "flat_map": lambda r, f: r.flat_map(f),
    "and_then": lambda r, f: r.and_then(f),
    ">>": lambda r, f: r >> f,
}


@pytest.fixture(params=list(CHAINS))
def chain(request):
    return CHAINS[request.param]


def test_chain_copies_the_returned_result(chain):
    x, d = Thing(), Thing()
    for inner in [Result.ok(x), Result.err("no", code="c", details=d),
                  Result.from_dict({"ok": False, "error": "n", "details": None})]:
        out = chain(Result.ok(4), lambda v: inner)
        assert out is not inner and type(out) is Result
        assert form(out) == form(inner)
    assert chain(Result.ok(1), lambda v: Result.ok(x)).unwrap() is x
    assert chain(Result.ok(4), lambda v: Result.ok(v + 1)).unwrap() == 5


def test_chain_passes_errors_through(chain):
    d = Thing()
    r = Result.err("m", code="c", details=d)
    for f in (None, 42, explode):
        out = chain(r, f)
        assert out is not r and form(out) == form(r)


@pytest.mark.parametrize("returned, text", [
    (1, "'int' object is not an instance of 'Result'"),
    (None, "'None' is not an instance of 'Result'"),
    (MayBe.just(1), "'MayBe' object is not an instance of 'Result'"),
    ({"ok": True, "value": 1}, "'dict' object is not an instance of 'Result'"),
])
def test_chain_rejects_non_results(chain, returned, text):
    with pytest.raises(TypeError) as info:
        chain(Result.ok(1), lambda v: returned)
    assert type(info.value) is TypeError and info.value.args == (text,)


def test_chain_call_failures_propagate(chain):
    with pytest.raises(TypeError):
        chain(Result.ok(4), 42)
    error = Boom("mine")

    def raiser(v):
        raise error

    with pytest.raises(Boom) as info:
        chain(Result.ok(1), raiser)
    assert info.value is error


@pytest.mark.parametrize("r, args, kwargs, expected", [
    (Result.ok(3), (lambda v: v + 1,), {}, 4),
    (Result.ok(3), (), {"err": lambda m, c, d: 0}, None),
    (Result.ok(3), (), {}, None),
    (Result.err("m"), (), {"ok": explode}, None),
    (Result.err("m", code="c"), (lambda v: v, lambda m, c, d: (m, c, d)), {}, ("m", "c", None)),
    (Result.err("m"), (5, lambda *a: a), {}, ("m", None, None)),
    (Result.ok(3), (lambda v: v, 5), {}, 3),
])
def test_match(r, args, kwargs, expected):
    assert r.match(*args, **kwargs) == expected


def test_match_returns_callable_result_unchanged():
    made = []
    out = Result.ok(3).match(ok=lambda v: made.append(Result.ok(v)) or made[0])
    assert out is made[0]
    with pytest.raises(TypeError):
        Result.ok(3).match(ok=5)
    with pytest.raises(Boom):
        Result.err("m").match(err=explode)


@pytest.mark.parametrize("make", [lambda: Result.ok(1), lambda: Result.err("m", code="c")])
def test_transforms_return_fresh_instances(make):
    r = make()
    for out in (r.map(lambda v: v), r.map_err(lambda *t: t), r.flat_map(lambda v: r),
                r.and_then(lambda v: r), r >> (lambda v: r)):
        assert out is not r and type(out) is Result and form(out) == form(r)


def test_callables_may_reenter_the_same_instance():
    r = Result.ok(2)
    seen = []

    def inner(v):
        with pytest.raises(TypeError):
            r.expect(5)
        seen.append((r.is_ok(), r.unwrap(), repr(r), len(r), bool(r), r | 0,
                     r.map(lambda w: w * 3).unwrap(), r.to_dict(), list(r)))
        return Result.ok(v + 1)

    assert r.map(inner).unwrap().unwrap() == 3
    assert (r >> inner).unwrap() == 3 and r.flat_map(inner).unwrap() == 3
    assert r.match(inner).unwrap() == 3
    assert seen == [(True, 2, "Ok(2)", 1, True, 2, 6, {"ok": True, "value": 2}, [2])] * 4

    def deep(n):
        return n if n == 0 else r.map(lambda _: deep(n - 1)).unwrap()

    assert deep(100) == 0
    e = Result.err("m", code="c")
    assert e.map_err(lambda *t: e.unwrap_err()).unwrap_err() == ("m", "c", None)
    assert e.match(err=lambda *t: repr(e)) == "Err('m', code='c')"


# --- dictionary form --------------------------------------------------------

@pytest.mark.parametrize("make, items", [
    (lambda: Result.ok(5), [("ok", True), ("value", 5)]),
    (lambda: Result.ok(None), [("ok", True), ("value", None)]),
    (lambda: Result.err("m"), [("ok", False), ("error", "m")]),
    (lambda: Result.err("m", code="E1", details=[1]),
     [("ok", False), ("error", "m"), ("code", "E1"), ("details", [1])]),
    (lambda: Result.err("m", details=[1]), [("ok", False), ("error", "m"), ("details", [1])]),
    (lambda: Result.err("m", details=None), [("ok", False), ("error", "m")]),
    (lambda: Result.err("m", details=0), [("ok", False), ("error", "m"), ("details", 0)]),
    (lambda: Result.err("m", code=""), [("ok", False), ("error", "m"), ("code", "")]),
])
def test_to_dict(make, items):
    r = make()
    d = r.to_dict()
    assert type(d) is dict and list(d.items()) == items
    assert d["ok"] is (items[0][1])
    d.clear()
    assert form(r) == items and r.to_dict() is not r.to_dict()


@pytest.mark.parametrize("source, items", [
    ({"ok": True, "value": 2, "error": "x"}, [("ok", True), ("value", 2)]),
    ({"value": None, "ok": True}, [("ok", True), ("value", None)]),
    ({"ok": False, "error": "x", "code": 404}, [("ok", False), ("error", "x")]),
    ({"ok": False, "error": "x", "code": None}, [("ok", False), ("error", "x")]),
    ({"ok": False, "error": "x", "code": "\ud800"}, [("ok", False), ("error", "x")]),
    ({"ok": False, "error": "x", "code": "E1"}, [("ok", False), ("error", "x"), ("code", "E1")]),
    ({"ok": False, "error": "x", "details": None},
     [("ok", False), ("error", "x"), ("details", None)]),
    ({"ok": False, "error": "", "value": 1, "extra": 2}, [("ok", False), ("error", "")]),
    ({"details": 7, "code": "c", "error": "x", "ok": False},
     [("ok", False), ("error", "x"), ("code", "c"), ("details", 7)]),
])
def test_from_dict(source, items):
    r = Result.from_dict(source)
    assert type(r) is Result and form(r) == items


def test_from_dict_keeps_objects_and_is_static():
    v = Thing()
    assert Result.from_dict({"ok": True, "value": v}).unwrap() is v
    assert Result.from_dict({"ok": False, "error": "e", "details": v}).unwrap_err()[2] is v
    assert Result.err("z").from_dict({"ok": True, "value": 1}).unwrap() == 1


class Forgiving(dict):
    def __missing__(self, key):
        return True

    def __getitem__(self, key):
        return True


class KeyBoom(Exception):
    pass


class EvilKey:
    def __hash__(self):
        return hash("ok")

    def __eq__(self, other):
        raise KeyBoom


@pytest.mark.parametrize("source, error, text", [
    ({}, ValueError, "Missing 'ok' key in dict"),
    (Forgiving(value=1), ValueError, "Missing 'ok' key in dict"),
    ({"ok": True}, ValueError, "Missing 'value' key for Ok result"),
    ({"ok": True, "error": "x"}, ValueError, "Missing 'value' key for Ok result"),
    ({"ok": False}, ValueError, "Missing 'error' key for Err result"),
    ({"ok": False, "value": 1}, ValueError, "Missing 'error' key for Err result"),
    ({"ok": 1, "value": 2}, TypeError, "'int' object is not an instance of 'bool'"),
    ({"ok": None}, TypeError, "'None' is not an instance of 'bool'"),
    ({"ok": "yes", "value": 1}, TypeError, "'str' object is not an instance of 'bool'"),
    ({"ok": False, "error": 5}, TypeError, "'int' object is not an instance of 'str'"),
    ({"ok": False, "error": None}, TypeError, "'None' is not an instance of 'str'"),
])
def test_from_dict_failures(source, error, text):
    with pytest.raises(error) as info:
        Result.from_dict(source)
    assert type(info.value) is error and info.value.args == (text,)


def test_from_dict_propagates_lookup_and_encoding_errors():
    with pytest.raises(KeyBoom):
        Result.from_dict({EvilKey(): True})
    with pytest.raises(UnicodeEncodeError):
        Result.from_dict({"ok": False, "error": "\ud800"})


@pytest.mark.parametrize("collides_with", ["code", "details"])
def test_from_dict_keeps_the_texts_it_read_while_a_later_lookup_runs_code(collides_with):
    # Looking up the next key compares it with a key of the same hash, whose
    # __eq__ drops the entries already read: their strings die unless held.
    class Meddler:
        armed = False

        def __hash__(self):
            return hash(collides_with)

        def __eq__(self, other):
            if self.armed:
                source.pop("error", None)
                source.pop("code", None) if collides_with == "details" else None
            return False

    meddler = Meddler()
    # Before "code", so that a lookup of "code" meets it first.
    source = {"ok": False, "error": "".join(["m"] * 40), meddler: None,
              "code": "".join(["c"] * 40)}
    meddler.armed = True
    assert Result.from_dict(source).unwrap_err()[:2] == ("m" * 40, "c" * 40)
    assert "error" not in source


def numpy_like(name, module="numpy", **methods):
    return type(name, (), {"__module__": module, **methods})()


@pytest.mark.parametrize("flag, ok", [
    (numpy_like("bool_", __bool__=lambda self: True), True),
    (numpy_like("bool_", __bool__=lambda self: False), False),
    (numpy_like("bool", __bool__=lambda self: True), True),
])
def test_from_dict_accepts_numeric_library_booleans(flag, ok):
    r = Result.from_dict({"ok": flag, "value": 1, "error": "e"})
    assert r.is_ok() is ok


@pytest.mark.parametrize("flag, error, text", [
    (numpy_like("bool_", __bool__=lambda self: 1), TypeError,
     "'int' object is not an instance of 'bool'"),
    (numpy_like("bool_"), TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (numpy_like("bool_", __bool__=explode), Boom, None),
    (numpy_like("int8", __bool__=lambda self: True), TypeError,
     "'int8' object is not an instance of 'bool'"),
    (numpy_like("bool_", module="numpyish", __bool__=lambda self: True), TypeError,
     "'bool_' object is not an instance of 'bool'"),
])
def test_from_dict_rejects_other_scalars(flag, error, text):
    with pytest.raises(error) as info:
        Result.from_dict({"ok": flag, "value": 1, "error": "e"})
    if text is not None:
        assert type(info.value) is error and info.value.args == (text,)


ROUND_TRIP = [
    Result.ok(5), Result.ok(None), Result.ok([1, {"a": 2}]), Result.err("m"),
    Result.err("m", code="E1"), Result.err("m", details={"k": [1]}),
    Result.err("é ✓", code="", details=0),
    Result.from_dict({"ok": False, "error": "n", "details": None}),
]


@pytest.mark.parametrize("r", ROUND_TRIP, ids=repr)
def test_round_trips(r):
    back = Result.from_dict(r.to_dict())
    assert back is not r and form(back) == form(r)
    if r.is_ok():
        assert back.unwrap() is r.unwrap()
    else:
        assert back.unwrap_err()[2] is r.unwrap_err()[2]
    via_json = Result.from_dict(json.loads(json.dumps(r.to_dict())))
    assert form(via_json) == form(r) and repr(via_json) == repr(r)


# --- operators and protocols ------------------------------------------------

def test_iteration_is_detached_from_the_instance():
    x = Thing()
    it = iter(Result.ok(x))
    assert type(it) is type(iter(()))
    assert next(it) is x
    with pytest.raises(StopIteration):
        next(it)
    assert list(Result.err("m", details=[1])) == []


@pytest.mark.parametrize("item, r, found", [
    (5, Result.ok(5), True), (1.0, Result.ok(1), True), (6, Result.ok(5), False),
    (None, Result.ok(None), True), ("m", Result.err("m"), False),
    (None, Result.err("m"), False), ([1], Result.err("m", details=[1]), False),
])
def test_membership(item, r, found):
    assert (item in r) is found


def test_or_operator():
    right = Result.ok(3)
    assert (Result.ok(1) | 2) == 1
    assert (Result.err("m") | 2) == 2
    assert (Result.err("m") | right) is right
    assert (Result.err("m") | None) is None
    assert (Result.ok(1) | MayBe.nothing()) == 1


@pytest.mark.parametrize("call", [
    lambda: 5 | Result.ok(1), lambda: 5 >> Result.ok(1),
    lambda: None | Result.err("m"), lambda: "s" >> Result.err("m"),
])
def test_foreign_left_operand_is_unsupported(call):
    with pytest.raises(TypeError, match="unsupported operand"):
        call()


def test_reflected_operators_answer_not_implemented():
    r = Result.ok(1)
    assert r.__ror__(5) is NotImplemented
    assert r.__rrshift__(5) is NotImplemented
    assert r.__ror__(MayBe.just(1)) is NotImplemented
    assert r.__ror__(Result.err("m")) is r


@pytest.mark.parametrize("call", [
    lambda: Result[int, str], lambda: Result[int], lambda: Result[None],
    lambda: Result.__class_getitem__(_item=int), lambda: Result.ok(1).__class_getitem__(int),
])
def test_class_getitem_returns_the_class(call):
    assert call() is Result


# A debug build of CPython asserts, and aborts, as soon as a class that
# disallows instantiation is given a __new__: the hollow instance cannot be
# made there at all.
@pytest.mark.skipif(hasattr(sys, "gettotalrefcount"),
                    reason="debug build: assigning __new__ aborts in the interpreter's own check")
def test_instance_without_payload_is_refused_not_read(run_python):
    # Replacing the class's __new__ lets object.__new__ make an instance that
    # no constructor filled in; every member must refuse it instead of
    # reading a payload that is not there.
    proc = run_python("""
        from tarvella import Result
        Result.__new__ = lambda cls: object.__new__(cls)
        hollow = Result()
        for use in (repr, bool, len, list, lambda r: r.unwrap(), lambda r: r.to_dict(),
                    lambda r: r.map_err(str), lambda r: Result.ok(1).flat_map(lambda _: r)):
            try:
                use(hollow)
            except TypeError as e:
                assert str(e).startswith("uninitialised Result instance"), e
            else:
                raise AssertionError("accepted")
        try:
            hollow | 1
        except TypeError as e:
            assert "unsupported operand" in str(e)
        print("refused")
    """)
    assert proc.returncode == 0 and proc.stdout == "refused\n", proc.stderr
