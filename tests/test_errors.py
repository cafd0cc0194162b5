"""How failures reach Python: a PanicException handed back by user code, and
memory exhaustion. Each runs in a child interpreter, whose standard error and
exit status are part of the outcome."""

import os

import pytest

# Every place where the module runs user code; `fail` raises the given
# exception from inside that user code.
USER_CODE_PATHS = [
    "Result.ok(1).map(fail)",
    "Result.err('m').map_err(fail)",
    "Result.ok(1).flat_map(fail)",
    "Result.ok(1).and_then(fail)",
    "Result.ok(1) >> fail",
    "Result.ok(1).match(ok=fail)",
    "Result.err('m').match(err=fail)",
    "repr(Result.ok(Shown(fail)))",
    "Result.from_dict({Key(fail): True, 'value': 1})",
    "MayBe.just(1).map(fail)",
    "MayBe.just(1).flat_map(fail)",
    "MayBe.just(1) >> fail",
    "MayBe.just(1).match(just=fail)",
    "MayBe.nothing().match(nothing=fail)",
    "repr(MayBe.just(Shown(fail)))",
]

RESUME_SCRIPT = """
from tarvella import MayBe, Result

class Shown:
    def __init__(self, fail):
        self.fail = fail
    def __str__(self):
        return self.fail()

class Key:
    def __init__(self, fail):
        self.fail = fail
    def __hash__(self):
        return hash("ok")
    def __eq__(self, other):
        return self.fail()

def raise_value_error(*args):
    raise ValueError("plain")

# An ordinary exception fetched from user code is the first fetch; from then
# on the class of internal faults exists.
try:
    Result.ok(1).map(raise_value_error)
except ValueError:
    pass
panic, = [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"]

for index, call in enumerate(PATHS):
    original = panic(f"handed back {index}")
    def fail(*args):
        raise original
    try:
        eval(call)
    except BaseException as error:
        print(index, type(error) is panic, error is not original, error.args)
    else:
        print(index, "nothing raised")
"""


def test_panic_handed_back_by_user_code_is_resumed(run_python):
    proc = run_python(f"PATHS = {USER_CODE_PATHS!r}\n" + RESUME_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        f"{i} True True ('handed back {i}',)" for i in range(len(USER_CODE_PATHS))]
    # Each resumption prints the banner, then the old exception's traceback.
    blocks = proc.stderr.split("Python stack trace below:\n")[1:]
    assert len(blocks) == len(USER_CODE_PATHS)
    for index, block in enumerate(blocks):
        assert block.startswith("Traceback (most recent call last):")
        assert f"PanicException: handed back {index}\n" in block
        assert "in fail" in block


# Calls that need far more memory than the address-space limit leaves: the
# module's own texts (C++ allocations) and the interpreter's constructors.
EXHAUSTING_CALLS = [
    "err.unwrap()",
    "err.expect(big)",
    "repr(just)",
    "repr(ok)",
    "err.unwrap_err()",
    "err.to_dict()",
    "err.map_err(lambda *t: t)",
    "err.match(err=lambda *t: None)",
    "Result.err(big, big)",
]

MEMORY_SCRIPT = """
import resource
from tarvella import MayBe, Result

big = "x" * (64 << 20)
ok, err, just = Result.ok(big), Result.err(big), MayBe.just(big)
with open("/proc/self/status") as status:
    size = next(int(l.split()[1]) << 10 for l in status if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (24 << 20), resource.RLIM_INFINITY))
for call in CALLS:
    try:
        eval(call)
    except MemoryError:
        print("MemoryError", repr(Result.ok(1).map(str)))
    else:
        print("no error")
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.native_only("qemu's user-mode emulation ignores RLIMIT_AS")
def test_memory_exhaustion_raises_memory_error(run_python, monkeypatch):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer needs more address space than the limit leaves")
    # The free-threaded interpreter's allocator reserves address space ahead
    # and serves large blocks from it, past the limit; this makes it ask the
    # system for each. Other interpreters do not read it.
    monkeypatch.setenv("MIMALLOC_ARENA_RESERVE", "0")
    proc = run_python(f"CALLS = {EXHAUSTING_CALLS!r}\n" + MEMORY_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError Ok(1)"] * len(EXHAUSTING_CALLS)
    assert "uncaught panic" not in proc.stderr and "internal fault" not in proc.stderr
