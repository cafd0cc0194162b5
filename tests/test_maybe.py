"""MayBe: constructors, text form, extraction, combinators, operators and
protocols."""

import pytest

from tarvella import MayBe, Result


class Thing:
    """An object compared by identity only."""


class Boom(Exception):
    pass


def explode(*args):
    raise Boom(args)


def state(m):
    return ("just", m.unwrap()) if m.is_just() else ("nothing",)


# --- constructors and text form -------------------------------------------

@pytest.mark.parametrize("make, text, just", [
    (lambda: MayBe(None), "Nothing", False),
    (lambda: MayBe.nothing(), "Nothing", False),
    (lambda: MayBe.just(None), "Just(None)", True),
    (lambda: MayBe(0), "Just(0)", True),
    (lambda: MayBe(""), "Just()", True),
    (lambda: MayBe(False), "Just(False)", True),
    (lambda: MayBe("a"), "Just(a)", True),
    (lambda: MayBe.just("ü ✓\n"), "Just(ü ✓\n)", True),
    (lambda: MayBe.just("\udfff"), "Just(\udfff)", True),
    (lambda: MayBe(MayBe.just(1)), "Just(Just(1))", True),
    (lambda: MayBe.just(MayBe.nothing()), "Just(Nothing)", True),
    (lambda: MayBe.just(Result.err("x", code="c")), "Just(Err('x', code='c'))", True),
])
def test_construction_and_text_form(make, text, just):
    m = make()
    assert type(m) is MayBe
    assert repr(m) == text and str(m) == text
    assert m.is_just() is just and m.is_nothing() is (not just)
    assert bool(m) is just and len(m) == int(just)


@pytest.mark.parametrize("value, error", [
    (type("Loud", (), {"__str__": explode})(), Boom),
    (type("Wrong", (), {"__str__": lambda self: 5})(), TypeError),
])
def test_text_form_failures_propagate(value, error):
    m = MayBe.just(value)
    with pytest.raises(error):
        repr(m)
    assert m.unwrap() is value


def test_instances_are_distinct_objects():
    assert MayBe.nothing() is not MayBe.nothing()
    assert MayBe(None) is not MayBe(None)
    assert MayBe.just(1) != MayBe.just(1)
    m = MayBe.just(1)
    assert m == m and {m: 1}[m] == 1
    assert m.nothing().is_nothing() and MayBe.nothing().just(2).unwrap() == 2
    with pytest.raises(TypeError):
        m[0]


# --- extraction -------------------------------------------------------------

def test_extraction_returns_the_stored_object():
    x, d = Thing(), Thing()
    m = MayBe.just(x)
    assert m.unwrap() is x and m.expect("m") is x and m.to_option() is x
    assert m.or_else(d) is x and (m | d) is x and next(iter(m)) is x
    assert m.match(lambda v: v) is x and m.map(lambda v: v).unwrap() is x
    assert MayBe(x).unwrap() is x


def test_just_none_is_not_nothing():
    m = MayBe.just(None)
    assert m.is_just() is True and m.unwrap() is None and m.to_option() is None
    assert list(m) == [None] and None in m and (m | 5) is None
    assert MayBe.nothing().to_option() is None and None not in MayBe.nothing()


@pytest.mark.parametrize("call, text", [
    (lambda: MayBe.nothing().unwrap(), "Tried to unwrap a Nothing"),
    (lambda: MayBe(None).unwrap(), "Tried to unwrap a Nothing"),
    (lambda: MayBe.nothing().expect("custom"), "custom"),
    (lambda: MayBe.nothing().expect(""), ""),
    (lambda: MayBe.nothing().expect("é ✓\nx"), "é ✓\nx"),
])
def test_nothing_raises_value_error(call, text):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError and info.value.args == (text,)


def test_or_else_never_calls_its_default():
    right = MayBe.just(3)
    assert MayBe.nothing().or_else(len) is len
    assert MayBe.nothing().or_else(None) is None
    assert MayBe.just(1).or_else(explode) == 1
    assert (MayBe.nothing() | right) is right
    assert (MayBe.nothing() | explode) is explode
    assert (MayBe.just(1) | 2) == 1 and (MayBe.nothing() | 2) == 2


# --- combinators ------------------------------------------------------------

def test_map():
    assert MayBe.just(2).map(lambda x: x * 10).unwrap() == 20
    assert state(MayBe.just(2).map(lambda x: None)) == ("just", None)
    assert repr(MayBe.just(1).map(MayBe.just)) == "Just(Just(1))"
    n = MayBe.nothing()
    out = n.map(explode)
    assert out is not n and out.is_nothing() and type(out) is MayBe
    assert n.map(None).is_nothing()
    with pytest.raises(TypeError):
        MayBe.just(1).map(None)
    with pytest.raises(Boom):
        MayBe.just(1).map(explode)


CHAINS = {
    "flat_map": lambda m, f: m.flat_map(f),
    ">>": lambda m, f: m >> f,
}


@pytest.fixture(params=list(CHAINS))
def chain(request):
    return CHAINS[request.param]


def test_chain_copies_the_returned_instance(chain):
    x = Thing()
    for inner in (MayBe.just(x), MayBe.nothing(), MayBe.just(None)):
        out = chain(MayBe.just(4), lambda v: inner)
        assert out is not inner and type(out) is MayBe
        assert repr(out) == repr(inner)
    assert chain(MayBe.just(1), lambda v: MayBe.just(x)).unwrap() is x
    assert chain(MayBe.just(4), lambda v: MayBe.just(v + 1)).unwrap() == 5


def test_chain_on_nothing_calls_nothing(chain):
    n = MayBe.nothing()
    for f in (None, 42, explode):
        out = chain(n, f)
        assert out is not n and out.is_nothing()


@pytest.mark.parametrize("returned, text", [
    (2, "'int' object is not an instance of 'MayBe'"),
    (None, "'None' is not an instance of 'MayBe'"),
    (Result.ok(1), "'Result' object is not an instance of 'MayBe'"),
])
def test_chain_rejects_non_maybe(chain, returned, text):
    with pytest.raises(TypeError) as info:
        chain(MayBe.just(2), lambda v: returned)
    assert type(info.value) is TypeError and info.value.args == (text,)


def test_chain_call_failures_propagate(chain):
    with pytest.raises(TypeError):
        chain(MayBe.just(4), 42)
    with pytest.raises(TypeError):
        chain(MayBe.just(4), Result.ok)
    with pytest.raises(Boom):
        chain(MayBe.just(4), explode)


@pytest.mark.parametrize("m, args, kwargs, expected", [
    (MayBe.just(3), (lambda v: v + 1,), {}, 4),
    (MayBe.just(3), (), {"nothing": lambda: 0}, None),
    (MayBe.just(3), (None, lambda: 0), {}, None),
    (MayBe.nothing(), (), {"just": explode}, None),
    (MayBe.nothing(), (lambda x: x, lambda: 0), {}, 0),
    (MayBe.nothing(), (5, lambda *a: a), {}, ()),
    (MayBe.just(3), (lambda *a: a, 5), {}, (3,)),
    (MayBe.just(None), (lambda v: ("j", v), lambda: "n"), {}, ("j", None)),
    (MayBe(None), (lambda v: ("j", v), lambda: "n"), {}, "n"),
    (MayBe.nothing(), (), {}, None),
])
def test_match(m, args, kwargs, expected):
    assert m.match(*args, **kwargs) == expected


def test_match_returns_callable_result_unchanged():
    inner = MayBe.just(1)
    assert MayBe.just(0).match(just=lambda v: inner) is inner
    assert MayBe.nothing().match(nothing=lambda: inner) is inner
    with pytest.raises(TypeError):
        MayBe.nothing().match(nothing=5)
    with pytest.raises(Boom):
        MayBe.just(1).match(just=explode)


def test_callables_may_reenter_the_same_instance():
    m = MayBe.just(2)
    seen = []

    def inner(v):
        with pytest.raises(TypeError):
            m.expect(5)
        seen.append((m.is_just(), m.unwrap(), repr(m), len(m), bool(m), m | 0,
                     m.map(lambda w: w * 3).unwrap(), list(m), 2 in m))
        return MayBe.just(v + 1)

    assert m.map(inner).unwrap().unwrap() == 3
    assert (m >> inner).unwrap() == 3 and m.flat_map(inner).unwrap() == 3
    assert m.match(inner).unwrap() == 3
    assert seen == [(True, 2, "Just(2)", 1, True, 2, 6, [2], True)] * 4
    n = MayBe.nothing()
    assert n.match(nothing=lambda: repr(n) + repr(n.map(str))) == "NothingNothing"


# --- protocols --------------------------------------------------------------

def test_iteration_is_detached_from_the_instance():
    x = Thing()
    it = iter(MayBe.just(x))
    assert type(it) is type(iter(()))
    assert next(it) is x
    with pytest.raises(StopIteration):
        next(it)
    assert list(MayBe.nothing()) == [] and list(MayBe.just(5)) == [5]


@pytest.mark.parametrize("item, m, found", [
    (5, MayBe.just(5), True), (6, MayBe.just(5), False), (None, MayBe.nothing(), False),
    (None, MayBe.just(None), True), (1, MayBe.just(True), True),
])
def test_membership(item, m, found):
    assert (item in m) is found


@pytest.mark.parametrize("call", [
    lambda: 5 >> MayBe.just(1), lambda: 0 | MayBe.nothing(), lambda: None | MayBe.just(1),
])
def test_foreign_left_operand_is_unsupported(call):
    with pytest.raises(TypeError, match="unsupported operand"):
        call()


def test_reflected_operators_answer_not_implemented():
    m = MayBe.just(1)
    assert m.__rrshift__(5) is NotImplemented
    assert m.__ror__(5) is NotImplemented
    assert m.__ror__(Result.err("m")) is NotImplemented
    assert m.__ror__(MayBe.nothing()) is m


def test_operators_across_classes():
    r = Result.ok(1)
    assert (MayBe.nothing() | r) is r
    assert (Result.err("m") | MayBe.nothing()).is_nothing()


@pytest.mark.parametrize("call", [
    lambda: MayBe[int], lambda: MayBe[int, str],
    lambda: MayBe.__class_getitem__(_item=int), lambda: MayBe.nothing().__class_getitem__(1),
])
def test_class_getitem_returns_the_class(call):
    assert call() is MayBe
