"""Argument extraction and conversion: messages, their precedence, keyword
forms, and the rewriting of conversion errors."""

import pytest

from tarvella import MayBe, Result

OK = Result.ok(1)
ERR = Result.err("m")
JUST = MayBe.just(1)
NOTHING = MayBe.nothing()


# (call label, callable, parameter names, number of required parameters):
# one row per argument descriptor of the module
DESCRIPTORS = [
    ("Result.ok", Result.ok, ["value"], 1),
    ("Result.err", Result.err, ["message", "code", "details"], 1),
    ("Result.from_dict", Result.from_dict, ["dict"], 1),
    ("Result.expect", OK.expect, ["message"], 1),
    ("Result.unwrap_or", ERR.unwrap_or, ["default"], 1),
    ("Result.match", OK.match, ["ok", "err"], 0),
    ("Result.map", OK.map, ["func"], 1),
    ("Result.map_err", ERR.map_err, ["func"], 1),
    ("Result.flat_map", OK.flat_map, ["func"], 1),
    ("Result.and_then", OK.and_then, ["func"], 1),
    ("Result.__class_getitem__", Result.__class_getitem__, ["_item"], 1),
    ("MayBe.__new__", MayBe, ["obj"], 1),
    ("MayBe.just", MayBe.just, ["obj"], 1),
    ("MayBe.expect", JUST.expect, ["message"], 1),
    ("MayBe.match", NOTHING.match, ["just", "nothing"], 0),
    ("MayBe.or_else", NOTHING.or_else, ["default"], 1),
    ("MayBe.map", JUST.map, ["func"], 1),
    ("MayBe.flat_map", JUST.flat_map, ["func"], 1),
    ("MayBe.__class_getitem__", MayBe.__class_getitem__, ["_item"], 1),
]


def type_error_text(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("label, fn, names, required", DESCRIPTORS,
                         ids=[row[0] for row in DESCRIPTORS])
def test_extraction_errors_of_each_member(label, fn, names, required):
    count = len(names)
    for given in (count + 1, count + 2):
        span = f"{count}" if required == count else f"from {required} to {count}"
        assert type_error_text(lambda: fn(*["x"] * given)) == (
            f"{label}() takes {span} positional arguments but {given} were given")
    if required:
        assert type_error_text(fn) == (
            f"{label}() missing 1 required positional argument: '{names[0]}'")
    assert type_error_text(lambda: fn(bogus=1)) == (
        f"{label}() got an unexpected keyword argument 'bogus'")
    for index, name in enumerate(names):
        args = ["x"] * (index + 1)
        assert type_error_text(lambda: fn(*args, **{name: "y"})) == (
            f"{label}() got multiple values for argument '{name}'")


@pytest.mark.parametrize("call, message", [
    (lambda: Result.ok(zz=1, aa=2), "Result.ok() got an unexpected keyword argument 'zz'"),
    (lambda: MayBe(zz=1, aa=2), "MayBe.__new__() got an unexpected keyword argument 'zz'"),
    (lambda: MayBe(obj=1, foo=2), "MayBe.__new__() got an unexpected keyword argument 'foo'"),
    (lambda: Result.ok(Value=1), "Result.ok() got an unexpected keyword argument 'Value'"),
    (lambda: Result.ok(**{"valé": 1}), "Result.ok() got an unexpected keyword argument 'valé'"),
    (lambda: OK.match(ok=None, just=None), "Result.match() got an unexpected keyword argument 'just'"),
    # the keyword is accepted first; the missing check comes after
    (lambda: Result.err(code="E1"), "Result.err() missing 1 required positional argument: 'message'"),
    (lambda: Result.err(details=1, code="c"),
     "Result.err() missing 1 required positional argument: 'message'"),
    (lambda: Result.err(code="c", bogus=1), "Result.err() got an unexpected keyword argument 'bogus'"),
    # the positional count is checked before any keyword
    (lambda: Result.ok(1, 2, valeur=3), "Result.ok() takes 1 positional arguments but 2 were given"),
    (lambda: MayBe(1, 2, foo=3), "MayBe.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: Result.err("m", 1, 2, 3, bogus=1),
     "Result.err() takes from 1 to 3 positional arguments but 4 were given"),
    # extraction is checked before any conversion
    (lambda: Result.err(5, bogus=1), "Result.err() got an unexpected keyword argument 'bogus'"),
    (lambda: OK.expect(5, 6), "Result.expect() takes 1 positional arguments but 2 were given"),
    (lambda: Result.from_dict([], dict={}), "Result.from_dict() got multiple values for argument 'dict'"),
])
def test_extraction_precedence(call, message):
    assert type_error_text(call) == message


def test_undecodable_keyword_is_unexpected():
    with pytest.raises(TypeError) as info:
        Result.ok(**{"\ud800": 1})
    assert str(info.value) == "Result.ok() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"


def test_keyword_name_text_comes_from_str():
    class Shown(str):
        def __str__(self):
            return "shown"

    with pytest.raises(TypeError) as info:
        Result.ok(**{Shown("nope"): 1})
    assert str(info.value) == "Result.ok() got an unexpected keyword argument 'shown'"
    # the name itself is matched by its characters, not by its str()
    assert Result.ok(**{Shown("value"): 5}).unwrap() == 5
    assert MayBe(**{Shown("obj"): 5}).unwrap() == 5


def test_unprintable_keyword_name(monkeypatch):
    class Mute(str):
        def __str__(self):
            raise RuntimeError("no text")

    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    with pytest.raises(TypeError) as info:
        MayBe(**{Mute("nope"): 1})
    assert str(info.value) == (
        "MayBe.__new__() got an unexpected keyword argument '<unprintable Mute object>'")
    assert [type(r.exc_value) for r in reports] == [RuntimeError]


@pytest.mark.parametrize("call", [
    lambda: Result.ok(1).is_ok(1),
    lambda: Result.ok(1).unwrap(None),
    lambda: MayBe.nothing(1),
    lambda: Result.unwrap(5),
    lambda: MayBe.is_just(Result.ok(1)),
    # the receiver of methods and slots is checked by the interpreter alone
    lambda: Result.map(MayBe.just(1), str),
    lambda: MayBe.or_else(Result.ok(1), 0),
    lambda: Result.__bool__(MayBe.just(1)),
    lambda: MayBe.__len__(Result.ok(1)),
    lambda: Result.__repr__(5),
    lambda: MayBe.__iter__(None),
])
def test_interpreter_refuses_bad_calls_and_foreign_receivers(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("call, expected", [
    (lambda: Result.ok(value=5).unwrap(), 5),
    (lambda: Result.err(details=2, code="c", message="m").unwrap_err(), ("m", "c", 2)),
    (lambda: Result.err("m", None, None).unwrap_err(), ("m", None, None)),
    # a name made at run time is not the interned one: matched by its text
    (lambda: Result.err("m", **{"".join(["co", "de"]): "c"}).unwrap_err(), ("m", "c", None)),
    (lambda: Result.err("m", code=None, details=None).to_dict(), {"ok": False, "error": "m"}),
    (lambda: ERR.match(err=lambda m, c, d: m), "m"),
    (lambda: OK.match(err=lambda m, c, d: m), None),
    (lambda: OK.match(), None),
    (lambda: ERR.match(None, None), None),
    (lambda: Result.from_dict(dict={"ok": True, "value": 4}).unwrap(), 4),
    (lambda: MayBe(obj=1).unwrap(), 1),
    (lambda: MayBe(obj=None).is_nothing(), True),
    (lambda: MayBe.just(obj=None).is_just(), True),
    (lambda: NOTHING.match(nothing=lambda: "n"), "n"),
    (lambda: JUST.match(nothing=lambda: "n"), None),
    (lambda: MayBe.__class_getitem__(_item=int), MayBe),
])
def test_keyword_forms(call, expected):
    assert call() == expected


class Holder:
    class Inner:
        pass


CONVERSION_ERRORS = [
    (lambda: Result.err(5), "message", "'int' object is not an instance of 'str'"),
    (lambda: Result.err(b"m"), "message", "'bytes' object is not an instance of 'str'"),
    (lambda: Result.err(None), "message", "'None' is not an instance of 'str'"),
    (lambda: Result.err(Holder.Inner()), "message",
     "'Holder.Inner' object is not an instance of 'str'"),
    (lambda: Result.err("m", code=404), "code", "'int' object is not an instance of 'str'"),
    (lambda: Result.err("m", 404), "code", "'int' object is not an instance of 'str'"),
    (lambda: Result.err(5, code=6), "message", "'int' object is not an instance of 'str'"),
    (lambda: Result.err("m", code=[], details=object()), "code",
     "'list' object is not an instance of 'str'"),
    (lambda: OK.expect(None), "message", "'None' is not an instance of 'str'"),
    (lambda: ERR.expect(5), "message", "'int' object is not an instance of 'str'"),
    (lambda: JUST.expect(5), "message", "'int' object is not an instance of 'str'"),
    (lambda: NOTHING.expect(5.0), "message", "'float' object is not an instance of 'str'"),
    (lambda: Result.from_dict([]), "dict", "'list' object is not an instance of 'dict'"),
    (lambda: Result.from_dict(None), "dict", "'None' is not an instance of 'dict'"),
    (lambda: Result.from_dict([("ok", True)]), "dict",
     "'list' object is not an instance of 'dict'"),
]


@pytest.mark.parametrize("call, name, mismatch", CONVERSION_ERRORS)
def test_conversion_errors_are_rewritten(call, name, mismatch):
    with pytest.raises(TypeError) as info:
        call()
    error = info.value
    assert type(error) is TypeError
    assert error.args == (f"argument '{name}': {mismatch}",)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True
    assert error.__context__ is None


@pytest.mark.parametrize("call", [
    lambda: Result.err("\ud800"),
    lambda: Result.err("m", code="x\udfff"),
    lambda: OK.expect("\ud800"),
    lambda: NOTHING.expect("\ud800"),
    lambda: JUST.expect("\ud800"),
])
def test_unencodable_text_raises_unicode_error_unwrapped(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert not str(info.value).startswith("argument")


class Text(str):
    def __str__(self):
        return "not this"


class Mapping(dict):
    def __getitem__(self, key):
        raise AssertionError("plain lookups only")


def test_subclasses_are_accepted_as_text_and_dictionary():
    triple = Result.err(Text("msg"), code=Text("c")).unwrap_err()
    assert triple == ("msg", "c", None)
    assert [type(s) for s in triple[:2]] == [str, str]
    with pytest.raises(ValueError) as info:
        NOTHING.expect(Text("told"))
    assert info.value.args == ("told",) and type(info.value.args[0]) is str
    assert Result.from_dict(Mapping(ok=True, value=3)).unwrap() == 3
    assert Result.err("").unwrap_err() == ("", None, None)


@pytest.mark.parametrize("receiver", [OK, ERR, JUST, NOTHING], ids=repr)
def test_receiver_survives_failed_calls(receiver):
    failures = [
        lambda: receiver.expect(5), lambda: receiver.expect(),
        lambda: receiver.expect("\ud800"), lambda: receiver.map(),
        lambda: receiver.match(1, 2, 3), lambda: receiver.flat_map(nope=1),
    ]
    text = repr(receiver)
    for fail in failures:
        with pytest.raises((TypeError, UnicodeEncodeError)):
            fail()
    assert repr(receiver) == text
    assert len(receiver) == (1 if receiver else 0)
    assert receiver.map(lambda v: v + 1).to_option() == (2 if receiver else None)
