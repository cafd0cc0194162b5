"""Faults and failed allocations inside member bodies leave every borrow
released and every reference where it was. The borrow flag is read straight
from the instance record, where it is the last word."""

import ctypes
import sys

import pytest

tarvella = pytest.importorskip("tarvella")
if not hasattr(tarvella, "_fault"):
    pytest.skip("the fault hooks exist only in the test build", allow_module_level=True)

from tarvella import MayBe, Result  # noqa: E402


def borrow_flag(instance):
    address = id(instance) + type(instance).__basicsize__ - ctypes.sizeof(ctypes.c_ssize_t)
    return ctypes.c_ssize_t.from_address(address).value


def raised(call):
    try:
        call()
    except BaseException as error:
        return error
    pytest.fail("nothing was raised")


class Thing:
    pass


@pytest.fixture(autouse=True)
def disarm_hooks():
    yield
    tarvella._fail_alloc(0)
    tarvella._fail_constructor(0, True)
    for _ in range(2):
        try:
            MayBe.nothing()
        except BaseException:
            pass


# Members whose body runs under the receiver's borrow, on each variant, with
# arguments that pass their conversions.
BORROWING = [
    ("Result.expect", lambda r, e, j, n: r.expect("x")),
    ("Result.unwrap_or", lambda r, e, j, n: e.unwrap_or(1)),
    ("Result.unwrap_err", lambda r, e, j, n: e.unwrap_err()),
    ("Result.to_option", lambda r, e, j, n: r.to_option()),
    ("Result.match", lambda r, e, j, n: e.match(err=print)),
    ("Result.map_err", lambda r, e, j, n: e.map_err(lambda *t: t)),
    ("Result.flat_map", lambda r, e, j, n: e.flat_map(print)),
    ("Result.and_then", lambda r, e, j, n: r.and_then(Result.ok)),
    ("Result.to_dict", lambda r, e, j, n: e.to_dict()),
    ("Result.is_ok", lambda r, e, j, n: e.is_ok()),
    ("Result repr Err", lambda r, e, j, n: repr(e)),
    ("Result | Err", lambda r, e, j, n: e | 0),
    ("MayBe.expect", lambda r, e, j, n: j.expect("x")),
    ("MayBe.unwrap", lambda r, e, j, n: j.unwrap()),
    ("MayBe.match", lambda r, e, j, n: n.match(nothing=print)),
    ("MayBe.map", lambda r, e, j, n: j.map(str)),
    ("MayBe.flat_map", lambda r, e, j, n: n.flat_map(print)),
    ("MayBe.is_just", lambda r, e, j, n: j.is_just()),
    ("MayBe iter", lambda r, e, j, n: iter(j)),
    ("MayBe repr", lambda r, e, j, n: repr(n)),
    ("MayBe |", lambda r, e, j, n: n | 0),
]


@pytest.mark.parametrize("name, call", BORROWING, ids=[row[0] for row in BORROWING])
def test_fault_in_a_body_releases_the_borrow(capfd, name, call):
    instances = Result.ok(1), Result.err("m", code="c", details=[1]), MayBe.just(1), MayBe.nothing()
    tarvella._fault_next_body(f"in {name}")
    error = raised(lambda: call(*instances))
    assert type(error).__name__ == "PanicException" and error.args == (f"in {name}",)
    assert [borrow_flag(x) for x in instances] == [0, 0, 0, 0]
    call(*instances)
    assert [borrow_flag(x) for x in instances] == [0, 0, 0, 0]
    assert f"in {name}" in capfd.readouterr().err


def test_fault_under_nested_borrows_releases_all(capfd):
    r, m = Result.ok(1), MayBe.just(2)
    seen = []

    def inner(v):
        seen.append((borrow_flag(r), borrow_flag(m)))
        tarvella._fault_next_body("deepest")
        return r.is_ok()

    error = raised(lambda: r.map(lambda v: m >> (lambda w: MayBe.just(r.map(inner)))))
    assert error.args == ("deepest",)
    assert seen == [(2, 1)]
    assert (borrow_flag(r), borrow_flag(m)) == (0, 0)
    assert r.map(lambda v: v + 1).unwrap() == 2 and (m | 0) == 2
    capfd.readouterr()


# Allocations that the shared allocation test leaves out: texts and objects
# taken from the receiver, and allocations made by a nested call. Each row
# gives the function and its arguments.
ALLOCATIONS = {
    "Result.err": lambda x: (Result.err, "m", "c", x),
    "Result.map on Err": lambda x: (Result.map, Result.err("m", details=x), print),
    "Result.map_err on Ok": lambda x: (Result.map_err, Result.ok(x), print),
    "Result.and_then on Err": lambda x: (Result.and_then, Result.err("m", details=x), print),
    "Result >> on Err": lambda x: (Result.__rshift__, Result.err("m", details=x), print),
    "Result.from_dict Err": lambda x: (Result.from_dict, {"ok": False, "error": "m", "details": x}),
    "MayBe.just": lambda x: (MayBe.just, x),
    "MayBe.map": lambda x: (MayBe.map, MayBe.just(1), lambda _: x),
    "MayBe.flat_map": lambda x: (MayBe.flat_map, MayBe.just(1), lambda _, s=MayBe.just(x): s),
    "nested in a callable": lambda x: (Result.map, Result.ok(x), MayBe.just),
}


@pytest.mark.parametrize("name", list(ALLOCATIONS))
def test_failed_allocation_releases_everything(name):
    x = Thing()
    function, *args = ALLOCATIONS[name](x)
    receivers = [a for a in args if type(a) in (Result, MayBe)]
    base = sys.getrefcount(x)
    tarvella._fail_alloc(1)
    assert type(raised(lambda: function(*args))) is MemoryError
    assert sys.getrefcount(x) == base
    assert [borrow_flag(r) for r in receivers] == [0] * len(receivers)
    made = function(*args)
    assert sys.getrefcount(x) > base
    del made
    assert sys.getrefcount(x) == base


def test_failed_allocation_in_a_fresh_thread():
    # The lock depth is per thread: a thread that never entered the module
    # before meets the failure on its first entry.
    import threading

    x, outcome = Thing(), []
    base = sys.getrefcount(x)
    tarvella._fail_alloc(1)

    def work():
        outcome.append(type(raised(lambda: MayBe.just(1).map(lambda _: x))))

    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
    assert outcome == [MemoryError] and sys.getrefcount(x) == base


# Interpreter constructors inside bodies: a null with MemoryError set is an
# ordinary MemoryError, a null with nothing set stays an internal fault.
CONSTRUCTORS = {
    "Result repr": lambda r, e, j: repr(e),
    "Result.unwrap_err": lambda r, e, j: e.unwrap_err(),
    "Result.to_dict": lambda r, e, j: r.to_dict(),
    "Result.map_err": lambda r, e, j: e.map_err(lambda *t: t),
    "Result.match": lambda r, e, j: e.match(err=print),
    "MayBe iter": lambda r, e, j: iter(j),
    "MayBe repr": lambda r, e, j: repr(MayBe.nothing()),
}


@pytest.mark.parametrize("memory_error", [True, False])
@pytest.mark.parametrize("name", list(CONSTRUCTORS))
def test_failed_interpreter_constructor(capfd, name, memory_error):
    instances = Result.ok(1), Result.err("m", code="c", details=[1]), MayBe.just(1)
    tarvella._fail_constructor(1, memory_error)
    error = raised(lambda: CONSTRUCTORS[name](*instances))
    if memory_error:
        assert type(error) is MemoryError
        assert "internal fault" not in capfd.readouterr().err
    else:
        assert type(error).__name__ == "PanicException"
        assert error.args == ("PyObject pointer is null",)
    assert [borrow_flag(x) for x in instances] == [0, 0, 0]
    CONSTRUCTORS[name](*instances)
