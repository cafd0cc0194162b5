"""Internal faults, class creation failures, allocation failures and deferred
releases. These need the test build, which carries the fault hooks."""

import sys
import threading

import pytest

tarvella = pytest.importorskip("tarvella")
if not hasattr(tarvella, "_fault"):
    pytest.skip("the fault hooks exist only in the test build", allow_module_level=True)

from tarvella import MayBe, Result  # noqa: E402


class Thing:
    pass


def catch_panic(call):
    """Run call, which must raise something that is not an Exception."""
    try:
        call()
    except Exception as error:  # pragma: no cover - reported as a failure
        pytest.fail(f"expected a panic, got {error!r}")
    except BaseException as error:
        return error
    pytest.fail("expected a panic, nothing was raised")


@pytest.fixture(scope="module")
def panic_type():
    return type(catch_panic(lambda: tarvella._fault("probe")))


@pytest.fixture(autouse=True)
def disarm_hooks():
    """Consume any one-shot hook a failing test may have left armed."""
    yield
    for _ in range(4):
        try:
            MayBe.nothing()
        except BaseException:
            pass


def test_panic_exception_class(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert panic_type.__doc__
    assert type(catch_panic(lambda: tarvella._fault("again"))) is panic_type
    assert all(value is not panic_type for value in vars(tarvella).values())


@pytest.mark.parametrize("message", ["boom", "héllo ✓", "two\nlines", "x" * 5000])
def test_fault_reaches_caller_as_panic(panic_type, capfd, message):
    error = catch_panic(lambda: tarvella._fault(message))
    assert type(error) is panic_type
    assert error.args == (message,) and str(error) == message
    assert not isinstance(error, Exception)
    assert message in capfd.readouterr().err


def test_except_exception_does_not_catch_a_panic(panic_type):
    def guarded():
        try:
            tarvella._fault("through")
        except Exception:
            return "caught"
        return "not raised"

    with pytest.raises(panic_type):
        guarded()


BODIES = {
    "Result.ok": lambda r, m: Result.ok(1),
    "Result.unwrap": lambda r, m: r.unwrap(),
    "Result.map": lambda r, m: r.map(str),
    "Result.__class_getitem__": lambda r, m: Result[int],
    "Result repr": lambda r, m: repr(r),
    "Result bool": lambda r, m: bool(r),
    "Result len": lambda r, m: len(r),
    "Result iter": lambda r, m: iter(r),
    "Result |": lambda r, m: r | 0,
    "Result >>": lambda r, m: r >> Result.ok,
    "MayBe()": lambda r, m: MayBe(1),
    "MayBe.nothing": lambda r, m: MayBe.nothing(),
    "MayBe.or_else": lambda r, m: m.or_else(0),
    "MayBe bool": lambda r, m: bool(m),
    "MayBe len": lambda r, m: len(m),
    "MayBe >>": lambda r, m: m >> MayBe.just,
}


def still_works(r, m):
    assert repr(r) == "Ok(1)" and repr(m) == "Just(1)"
    assert r.map(lambda v: v + 1).unwrap() == 2
    assert (m >> (lambda v: MayBe.just(v + 1))).unwrap() == 2


@pytest.mark.parametrize("name", list(BODIES))
def test_armed_fault_hits_the_next_body_once(panic_type, capfd, name):
    r, m = Result.ok(1), MayBe.just(1)
    tarvella._fault_next_body(f"armed {name}")
    error = catch_panic(lambda: BODIES[name](r, m))
    assert type(error) is panic_type and error.args == (f"armed {name}",)
    BODIES[name](r, m)
    still_works(r, m)


@pytest.mark.parametrize("early", [
    lambda r: r.map(),
    lambda r: r.unwrap_or(1, 2),
    lambda r: 5 | r,
    lambda r: Result(1),
    lambda r: r.is_ok(1),
])
def test_armed_fault_waits_for_a_body(panic_type, early):
    r, m = Result.ok(1), MayBe.just(1)
    tarvella._fault_next_body("later")
    with pytest.raises(TypeError):
        early(r)
    error = catch_panic(r.is_err)
    assert error.args == ("later",)
    still_works(r, m)


def test_fault_inside_a_callable_is_resumed(panic_type, capfd):
    r, m = Result.ok(1), MayBe.just(1)

    def nested(v):
        tarvella._fault_next_body("nested")
        return r.is_ok()

    error = catch_panic(lambda: r.map(nested))
    assert type(error) is panic_type and error.args == ("nested",)
    error = catch_panic(lambda: m.flat_map(lambda v: tarvella._fault("deep")))
    assert error.args == ("deep",)
    assert capfd.readouterr().err.count("Python stack trace below:") == 2
    still_works(r, m)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("argument, message", [
    ("made here", "made here"),
    ("é ✓", "é ✓"),
    (42, "42"),
    (Unprintable(), "Unwrapped panic from Python code"),
])
def test_panic_raised_by_python_code_becomes_a_new_panic(panic_type, capfd, argument, message):
    original = panic_type(argument)

    def relay(v):
        raise original

    error = catch_panic(lambda: MayBe.just(1).map(relay))
    assert type(error) is panic_type and error is not original
    assert error.args == (message,)
    capfd.readouterr()


def test_reraised_panic_prints_old_traceback(run_python):
    proc = run_python("""
        import tarvella
        try:
            tarvella._fault("first")
        except BaseException as e:
            saved = e
        def relay(v):
            raise saved
        try:
            tarvella.Result.ok(1).map(relay)
        except BaseException as e:
            print(type(e) is type(saved), e is saved, e.args)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True False ('first',)"
    lines = proc.stderr.splitlines()
    at = lines.index("Python stack trace below:")
    banner = lines[at - 1].strip()
    assert banner.startswith("---") and banner.endswith("---") and len(banner) > 6
    after = "\n".join(lines[at + 1:])
    assert after.startswith("Traceback (most recent call last):")
    assert "in relay" in after and "PanicException: first" in after


def test_fault_outside_any_barrier_terminates(run_python):
    proc = run_python("""
        import tarvella
        try:
            tarvella._fault_unguarded("lost")
        except BaseException:
            print("caught")
        print("after")
    """)
    assert proc.returncode != 0
    assert proc.stdout == ""
    assert "uncaught panic at ffi boundary" in proc.stderr
    assert "lost" in proc.stderr


def test_traversal_names_the_payload_and_lets_no_entry_in(run_python):
    x = Thing()
    seen = []
    tarvella._traverse(Result.err("m", details=x), seen.append)
    assert seen == [x, Result]
    proc = run_python("""
        import tarvella
        tarvella._traverse(tarvella.MayBe.just(1), tarvella.MayBe.just)
        print("after")
    """)
    assert proc.returncode != 0 and proc.stdout == ""
    assert "uncaught panic at ffi boundary" in proc.stderr
    assert ("Attaching a thread to the interpreter is prohibited while a __traverse__ "
            "implementation is running.") in proc.stderr


@pytest.mark.parametrize("name, all_after", [("MayBe", None), ("Result", ["MayBe"])])
def test_class_creation_failure_fails_module_exec(run_python, name, all_after):
    proc = run_python(f"""
        import importlib.util, tarvella
        tarvella._fail_class_creation({name!r}, 1)
        spec = importlib.util.find_spec("tarvella")
        m = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(m)
        except RuntimeError as e:
            print(type(e).__name__, e.args, type(e.__cause__).__name__)
        print(getattr(m, "__all__", None), hasattr(m, "MayBe"), hasattr(m, "Result"))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"RuntimeError ('An error occurred while initializing class {name}',) MemoryError",
        f"{all_after} {name == 'Result'} False",
    ]


def test_reimport_after_class_creation_failures(run_python):
    proc = run_python("""
        import sys, tarvella
        old_maybe, old_result = tarvella.MayBe, tarvella.Result
        tarvella._fail_class_creation("MayBe", 2)
        del sys.modules["tarvella"]
        for attempt in range(2):
            try:
                import tarvella
            except RuntimeError as e:
                assert e.args == ("An error occurred while initializing class MayBe",), e.args
                assert type(e.__cause__) is MemoryError, repr(e.__cause__)
                assert "tarvella" not in sys.modules
            else:
                raise AssertionError("import succeeded")
        import tarvella
        assert tarvella.__all__ == ["MayBe", "Result"]
        assert tarvella.MayBe is not old_maybe and tarvella.MayBe.__name__ == "MayBe"
        assert tarvella.Result is old_result
        assert tarvella.MayBe(1).map(lambda v: v + 1).unwrap() == 2
        print("done")
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"


@pytest.mark.parametrize("name, call", [("MayBe", "MayBe.nothing()"), ("Result", "Result.ok(1)")])
def test_class_creation_failure_in_a_member_call(run_python, name, call):
    proc = run_python(f"""
        import sys, tarvella
        from tarvella import MayBe, Result
        reports = []
        sys.unraisablehook = lambda report: reports.append(type(report.exc_value).__name__)
        old = {name}
        tarvella._fail_class_creation({name!r}, 1)
        # the constructor allocates for the class it is called on: no lookup
        print(type(MayBe(1)) is MayBe)
        try:
            {call}
        except BaseException as e:
            print(type(e).__name__, e.args, reports)
        fresh = {call}
        print(type(fresh) is old, type(fresh).__name__, len(fresh))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "True",
        f"PanicException ('failed to create type object for `{name}`',) ['RuntimeError']",
        f"False {name} {1 if name == 'Result' else 0}",
    ]


def bind(f, *prebuilt):
    return lambda: f(*prebuilt)


ALLOCATIONS = {
    "Result.ok": lambda x: bind(Result.ok, x),
    "Result.from_dict": lambda x: bind(Result.from_dict, {"ok": True, "value": x}),
    "Result.map": lambda x: bind(lambda r: r.map(lambda _: x), Result.ok(1)),
    "Result.map_err": lambda x: bind(lambda r: r.map_err(lambda *t: ("n", None, x)), Result.err("m")),
    "Result.flat_map": lambda x: bind(lambda r, s: r.flat_map(lambda _: s), Result.ok(1), Result.ok(x)),
    "Result >>": lambda x: bind(lambda r, s: r >> (lambda _: s), Result.ok(1), Result.err("e", details=x)),
    "MayBe()": lambda x: bind(MayBe, x),
    "MayBe >>": lambda x: bind(lambda m, s: m >> (lambda _: s), MayBe.just(1), MayBe.just(x)),
}


@pytest.mark.parametrize("name", list(ALLOCATIONS))
@pytest.mark.parametrize("times", [1, 2])
def test_failed_allocation_releases_the_payload(name, times):
    x = Thing()
    call = ALLOCATIONS[name](x)
    base = sys.getrefcount(x)
    tarvella._fail_alloc(times)
    for _ in range(times):
        try:
            call()
        except MemoryError:
            pass
        else:
            pytest.fail("allocation did not fail")
        assert sys.getrefcount(x) == base
    made = call()
    assert sys.getrefcount(x) == base + 1
    del made
    assert sys.getrefcount(x) == base


def in_thread(action):
    worker = threading.Thread(target=action)
    worker.start()
    worker.join()


@pytest.mark.parametrize("next_call", [
    lambda: Result.ok(1),
    lambda: repr(MayBe.nothing()),
    lambda: MayBe(1),
    lambda: Result.err("m") | 2,
    lambda: in_thread(lambda: MayBe.just(1)),
])
def test_detached_release_waits_for_the_next_entry(next_call):
    x = Thing()
    base = sys.getrefcount(x)
    tarvella._release_detached(x)
    assert sys.getrefcount(x) == base + 1
    next_call()
    assert sys.getrefcount(x) == base


def test_detached_releases_are_drained_together():
    x, y, z = Thing(), Thing(), Thing()
    bx, by, bz = sys.getrefcount(x), sys.getrefcount(y), sys.getrefcount(z)
    tarvella._release_detached(x)
    tarvella._release_detached(y)
    assert (sys.getrefcount(x), sys.getrefcount(y)) == (bx, by + 1)
    tarvella._release_detached(z)
    assert sys.getrefcount(y) == by and sys.getrefcount(z) == bz + 1
    doomed = Result.ok(1)
    tarvella._release_detached(x)
    del doomed
    assert sys.getrefcount(x) == bx and sys.getrefcount(z) == bz
