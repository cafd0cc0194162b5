"""Pickle, copy and deepcopy: round trips of every kind of instance, shared
values, and refusal of tampered pickles and hostile reconstructor states."""

import copy
import dataclasses
import pickle
import pickletools

import pytest

import tarvella
from tarvella import MayBe, Result

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

INSTANCES = {
    "Ok": lambda: Result.ok([1, "a"]),
    "Ok None": lambda: Result.ok(None),
    "Err": lambda: Result.err("boom"),
    "Err full": lambda: Result.err("boom é\n'", code="E42", details={"k": [1]}),
    "Err empty texts": lambda: Result.err("", code=""),
    "Err None details": lambda: Result.from_dict({"ok": False, "error": "m", "details": None}),
    "Just": lambda: MayBe.just({"k": 1}),
    "Just None": lambda: MayBe.just(None),
    "Nothing": MayBe.nothing,
    "nested": lambda: Result.ok(MayBe.just(Result.err("inner", "c", details=MayBe.nothing()))),
}


def form(x):
    """Everything observable about an instance, nested ones included, as
    plain data: variant, payload, and whether details are there at all."""
    if type(x) is Result:
        return ("Result", {k: form(v) for k, v in x.to_dict().items()})
    if type(x) is MayBe:
        return ("MayBe", tuple(form(v) for v in x))
    return x


def pickled(x, protocol):
    return pickle.loads(pickle.dumps(x, protocol))


@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES.keys())
@pytest.mark.parametrize("how", [*(f"pickle-{p}" for p in PROTOCOLS), "copy", "deepcopy"])
def test_round_trip(make, how):
    x = make()
    if how.startswith("pickle"):
        y = pickled(x, int(how.split("-")[1]))
    else:
        y = getattr(copy, how)(x)
    assert type(y) is type(x) and y is not x
    assert form(y) == form(x)
    assert repr(y) == repr(x)


def test_copy_shares_and_deepcopy_copies():
    value, details = [1], {"k": []}
    for x, inner in ((Result.ok(value), Result.unwrap), (MayBe.just(value), MayBe.unwrap),
                     (Result.err("m", details=details), lambda r: r.unwrap_err()[2])):
        assert inner(copy.copy(x)) is inner(x)
        deep = inner(copy.deepcopy(x))
        assert deep == inner(x) and deep is not inner(x)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_sharing_survives_within_one_pickle(protocol):
    shared = {"k": [1]}
    ok = Result.ok(shared)
    a, b, c, d = pickled([ok, Result.err("m", details=shared), MayBe.just(shared), ok],
                         protocol)
    assert a.unwrap() is b.unwrap_err()[2] is c.unwrap()
    assert a is d
    # deepcopy's memo does the same.
    a, c = copy.deepcopy([ok, MayBe.just(shared)])
    assert a.unwrap() is c.unwrap() is not shared


@dataclasses.dataclass
class Row:
    key: str
    check: Result
    hint: MayBe


def test_dataclasses():
    row = Row("a", Result.err("bad", "E1", details=[1]), MayBe.just([2]))
    plain = dataclasses.asdict(row)
    assert form(plain["check"]) == form(row.check) and form(plain["hint"]) == form(row.hint)
    twin = copy.deepcopy(row)
    assert form(twin.check) == form(row.check) and form(twin.hint) == form(row.hint)
    assert twin.check.unwrap_err()[2] is not row.check.unwrap_err()[2]


@pytest.mark.parametrize("args, error, text", [
    (("Thing", ()), ValueError, "unknown kind of instance: 'Thing'"),
    ((b"MayBe", ()), TypeError, "argument 'kind': 'bytes' object is not an instance of 'str'"),
    (("MayBe", [1]), TypeError, "argument 'state': 'list' object is not an instance of 'tuple'"),
    (("MayBe", (1, 2)), ValueError, "expected tuple of length 0 or 1, but got tuple of length 2"),
    (("Result", ()), TypeError, "argument 'state': 'tuple' object is not an instance of 'dict'"),
    (("Result", {}), ValueError, "Missing 'ok' key in dict"),
    (("Result", {"ok": 1, "value": 1}), TypeError, "'int' object is not an instance of 'bool'"),
    (("Result", {"ok": True}), ValueError, "Missing 'value' key for Ok result"),
    (("Result", {"ok": False, "error": b"m"}), TypeError,
     "'bytes' object is not an instance of 'str'"),
    (("Result",), TypeError, "_reconstruct() missing 1 required positional argument: 'state'"),
    (("Result", {}, 1), TypeError, "_reconstruct() takes 2 positional arguments but 3 were given"),
])
def test_reconstructor_refuses_hostile_states(args, error, text):
    with pytest.raises(error) as raised:
        tarvella._reconstruct(*args)
    assert str(raised.value) == text


def memo_stays_small(data):
    """Whether no memo index in `data` is huge: pickle grows its memo to any
    index a PUT names, which costs gigabytes (or a sanitizer's abort) and is
    pickle's own affair, not the module's."""
    try:
        for opcode, arg, _ in pickletools.genops(data):
            if opcode.name.endswith("PUT") and arg > 1000:
                return False
    except Exception:
        pass  # loading stops at the same place
    return True


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_tampered_pickles_fail_cleanly(protocol):
    data = pickle.dumps([Result.ok(7), Result.err("m", "c", details=None),
                         MayBe.just("v"), MayBe.nothing()], protocol)
    for at in range(len(data)):
        for flip in (0x01, 0x80):
            spoiled = bytearray(data)
            spoiled[at] ^= flip
            if not memo_stays_small(bytes(spoiled)):
                continue
            try:
                loaded = pickle.loads(bytes(spoiled))
            except Exception:
                continue
            # Whatever did load is whole: every instance in it is usable.
            for item in loaded if isinstance(loaded, list) else [loaded]:
                if type(item) in (Result, MayBe):
                    repr(item), form(item)


def test_pickles_after_reimport(run_python):
    # Every module object of the interpreter shares the one reconstructor, so
    # pickle finds it under its name whichever of them sys.modules holds.
    proc = run_python("""
        import importlib.util, pickle, sys
        import tarvella as first
        del sys.modules["tarvella"]
        import tarvella as again
        spec = importlib.util.find_spec("tarvella")
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
        assert again._reconstruct is first._reconstruct
        data = pickle.dumps([again.Result.err("m", "c"), again.MayBe.just(1)])
        print(pickle.loads(data))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[Err('m', code='c'), Just(1)]"
