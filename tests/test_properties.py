"""Properties over generated inputs: the monad laws, the dictionary round
trip, the text forms, and that no member, whatever it is given, raises an
exception other than those it may raise, or brings the process down."""

import operator
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from tarvella import MayBe, Result

# pytest-run-parallel: hypothesis's examples on several threads at once take
# minutes here; the members meet concurrently in the other tests.
pytestmark = pytest.mark.thread_unsafe(reason="hypothesis on several threads takes minutes")

# Modest budgets keep the suite fast; the database replays past failures.
LAWS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
FUZZ = settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class UserError(Exception):
    """What the generated callables raise: it must come through unchanged."""


class Thing:
    pass


class Unprintable:
    def __str__(self):
        raise UserError("no text")


def surrogate_free(s):
    return not any(0xD800 <= ord(c) <= 0xDFFF for c in s)


# Quotes, line feeds, non-ASCII and lone surrogates, more often than a draw
# over all of Unicode would give them.
characters = st.one_of(st.characters(), st.sampled_from("'\"\n\r\\é✓\x00"),
                       st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF))
any_text = st.text(characters, max_size=12)
clean_text = st.text(max_size=12)
objects = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), clean_text, st.binary(max_size=4),
    st.lists(st.integers(), max_size=3), st.builds(Thing),
)

# ---------------------------------------------------------------------------
# Monad laws, compared by variant and payload identity


@st.composite
def results(draw):
    kind = draw(st.sampled_from(["ok", "err", "none details"]))
    if kind == "ok":
        return Result.ok(draw(objects))
    message, code = draw(clean_text), draw(st.none() | clean_text)
    if kind == "err":
        return Result.err(message, code, draw(st.none() | objects))
    return Result.from_dict({"ok": False, "error": message, "code": code, "details": None})


maybes = st.one_of(objects.map(MayBe.just), st.just(None).map(lambda _: MayBe.nothing()))


@st.composite
def result_functions(draw):
    """Functions that return a Result whose payload objects are fixed or
    passed through, so that identity is well defined on both sides of a law."""
    kind = draw(st.sampled_from(["unit", "ok", "err", "branch"]))
    fixed, message = draw(objects), draw(clean_text)
    code, details = draw(st.none() | clean_text), draw(objects)
    if kind == "unit":
        return Result.ok
    if kind == "ok":
        return lambda x: Result.ok(fixed)
    if kind == "err":
        return lambda x: Result.err(message, code, details)
    return lambda x: Result.ok(x) if len(repr(x)) % 2 else Result.err(message, code, details)


@st.composite
def maybe_functions(draw):
    kind = draw(st.sampled_from(["unit", "just", "nothing", "branch"]))
    fixed = draw(objects)
    if kind == "unit":
        return MayBe.just
    if kind == "just":
        return lambda x: MayBe.just(fixed)
    if kind == "nothing":
        return lambda x: MayBe.nothing()
    return lambda x: MayBe.just(x) if len(repr(x)) % 2 else MayBe.nothing()


def assert_same(a, b):
    assert type(a) is type(b)
    if type(a) is Result:
        assert a.is_ok() is b.is_ok()
        if a.is_ok():
            assert a.unwrap() is b.unwrap()
        else:
            (ma, ca, da), (mb, cb, db) = a.unwrap_err(), b.unwrap_err()
            assert (ma, ca) == (mb, cb) and da is db
            # absent details and details that are None differ only here
            assert list(a.to_dict()) == list(b.to_dict())
    else:
        assert a.is_just() is b.is_just()
        if a.is_just():
            assert a.unwrap() is b.unwrap()


BINDS = {
    "flat_map": lambda m, f: m.flat_map(f),
    "and_then": lambda m, f: m.and_then(f),
    ">>": operator.rshift,
}
MONADS = [
    ("Result", Result.ok, results(), result_functions(), ["flat_map", "and_then", ">>"]),
    ("MayBe", MayBe.just, maybes, maybe_functions(), ["flat_map", ">>"]),
]
MONAD_CASES = [pytest.param(unit, values, functions, BINDS[bind], id=f"{name} {bind}")
               for name, unit, values, functions, binds in MONADS for bind in binds]


@pytest.mark.parametrize("unit, values, functions, bind", MONAD_CASES)
@LAWS
@given(data=st.data())
def test_left_identity(unit, values, functions, bind, data):
    a, f = data.draw(objects), data.draw(functions)
    assert_same(bind(unit(a), f), f(a))


@pytest.mark.parametrize("unit, values, functions, bind", MONAD_CASES)
@LAWS
@given(data=st.data())
def test_right_identity(unit, values, functions, bind, data):
    m = data.draw(values)
    bound = bind(m, unit)
    assert bound is not m
    assert_same(bound, m)


@pytest.mark.parametrize("unit, values, functions, bind", MONAD_CASES)
@LAWS
@given(data=st.data())
def test_associativity(unit, values, functions, bind, data):
    m, f, g = data.draw(values), data.draw(functions), data.draw(functions)
    assert_same(bind(bind(m, f), g), bind(m, lambda x: bind(f(x), g)))


# ---------------------------------------------------------------------------
# Dictionary form


@FUZZ
@given(r=results())
def test_dictionary_round_trip(r):
    assert_same(Result.from_dict(r.to_dict()), r)


KEYS = st.sampled_from(["ok", "value", "error", "code", "details"]) | any_text


class Flag:
    """A numeric library's boolean scalar, as far as the module can tell."""

    def __init__(self, answer):
        self.answer = answer

    def __bool__(self):
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


def numpy_flag(answer):
    return type("bool_", (Flag,), {"__module__": "numpy"})(answer)


flags = st.one_of(st.booleans(), objects,
                  st.sampled_from([True, False, 1, UserError()]).map(numpy_flag))
dictionaries = st.dictionaries(KEYS, st.one_of(flags, any_text, objects), max_size=5)


@FUZZ
@given(d=dictionaries, fixed=st.fixed_dictionaries({"ok": flags}, optional={
    "value": objects, "error": any_text, "code": any_text | objects, "details": objects}))
def test_from_dict_on_arbitrary_dictionaries(d, fixed):
    for source in (d, {**d, **fixed}):
        try:
            r = Result.from_dict(source)
        except (TypeError, ValueError, UserError) as error:
            event(type(error).__name__)
            continue
        event("Ok" if r else "Err")
        flag = source["ok"]
        assert r.is_ok() is (flag if type(flag) is bool else bool(flag.answer))
        if r.is_ok():
            assert r.unwrap() is source["value"]
        else:
            message, code, details = r.unwrap_err()
            assert message == source["error"]
            assert code == (source.get("code") if isinstance(source.get("code"), str)
                            and surrogate_free(source["code"]) else None)
            assert details is source.get("details")


# ---------------------------------------------------------------------------
# Text forms


@FUZZ
@given(s=any_text, code=any_text)
def test_text_forms(s, code):
    clean = surrogate_free(s)
    # A value's text is taken as it is, lone surrogates included.
    for make, template in ((Result.ok, "Ok({})"), (MayBe.just, "Just({})")):
        assert repr(make(s)) == template.format(s)
    if not clean:
        with pytest.raises(UnicodeEncodeError):
            Result.err(s)
    elif surrogate_free(code):
        assert repr(Result.err(s)) == f"Err('{s}')"
        assert repr(Result.err(s, code)) == f"Err('{s}', code='{code}')"
    else:
        with pytest.raises(UnicodeEncodeError):
            Result.err(s, code)


# ---------------------------------------------------------------------------
# Every member on arbitrary arguments


def raising(*args):
    raise UserError("from a callable")


CALLABLES = [
    lambda *a: a, lambda *a: None, lambda *a: Result.ok(a), lambda *a: Result.err("e"),
    lambda *a: MayBe.just(a), lambda *a: MayBe.nothing(), raising, lambda x: x, lambda: 0,
    lambda m, c, d: (m, c, d), lambda *a: ("\ud800", None, None), lambda *a: [1, 2, 3],
    lambda *a: (1, 2), lambda *a: ("m", 5, None), len, Result.ok, MayBe,
]
arguments = st.one_of(
    objects, any_text, st.sampled_from(CALLABLES), dictionaries, st.builds(Unprintable),
    st.sampled_from([Result.ok(1), Result.err("m", code="c"), MayBe.just(2), MayBe.nothing()]),
)
receivers = st.sampled_from([
    Result.ok(1), Result.ok(Unprintable()), Result.err("m"), Result.err("m", code="c", details=[1]),
    MayBe.just(1), MayBe.just(Unprintable()), MayBe.just("\ud800"), MayBe.nothing(),
])
PARAMETERS = ["value", "message", "code", "details", "dict", "func", "ok", "err", "just",
              "nothing", "default", "obj", "_item", "bogus"]
MEMBERS = sorted({name for cls in (Result, MayBe) for name in vars(cls)
                  if not name.startswith("__") or name == "__class_getitem__"})
OPERATIONS = {
    "repr": lambda x, *a, **k: repr(x), "bool": lambda x, *a, **k: bool(x),
    "len": lambda x, *a, **k: len(x), "iter": lambda x, *a, **k: list(x),
    "|": lambda x, *a, **k: x | (a[0] if a else None),
    ">>": lambda x, *a, **k: x >> (a[0] if a else None),
    "in": lambda x, *a, **k: (a[0] if a else None) in x,
    "MayBe()": lambda x, *a, **k: MayBe(*a, **k),
}


@FUZZ
@given(receiver=receivers, member=st.sampled_from(MEMBERS + list(OPERATIONS)),
       args=st.lists(arguments, max_size=2),
       kwargs=st.dictionaries(st.sampled_from(PARAMETERS), arguments, max_size=2))
def test_members_on_arbitrary_arguments(receiver, member, args, kwargs):
    if member in OPERATIONS:
        call = lambda: OPERATIONS[member](receiver, *args, **kwargs)  # noqa: E731
    elif hasattr(receiver, member):
        call = lambda: getattr(receiver, member)(*args, **kwargs)  # noqa: E731
    else:
        # A member of the other class, given this receiver as its self.
        other = MayBe if type(receiver) is Result else Result
        call = lambda: getattr(other, member)(receiver, *args, **kwargs)  # noqa: E731
    saved = sys.unraisablehook
    sys.unraisablehook = lambda report: None
    try:
        call()
        event("returned")
    except (TypeError, ValueError, UserError) as error:  # UnicodeEncodeError is a ValueError
        event(type(error).__name__)
    finally:
        sys.unraisablehook = saved
    # The receiver is as it was.
    assert bool(receiver) is (receiver.is_ok() if type(receiver) is Result else receiver.is_just())
