"""Values nested deeply in one another: the paths that go through what an
instance holds (text forms, pickling, releasing) end in RecursionError, or
succeed, wherever a nested list of the same depth does; they never overflow
the C stack. Each sweep runs in a child, so that a crash shows as a signal."""

import functools
import json
import os
import subprocess
import sys

import pytest

# pytest-run-parallel: each test sweeps in child processes of its own; on
# several threads at once they would only multiply the time.
pytestmark = pytest.mark.thread_unsafe(reason="sweeps depths in child processes")

# Around the counted limits of 3.12 (1,500) and 3.13 (10,000) and where 1 MiB
# threads used to overflow (from about 1,100 levels on), then a depth where
# every interpreter stops in the main thread too. A text form that succeeds
# costs time quadratic in the depth, and so does a list's that fails (each
# level looks for itself among those being shown), so the sweep jumps there,
# and lists, which only set the bar, are not taken that far. `str()`,
# f-strings and logging reach the text form the way `repr()` does, one call
# further out: past the first depths, `repr()` stands for them.
DEPTHS = [500, 1000, 1500, 2000, 3000, 5000, 7500, 10000, 12500]
EVERY_FORM_UNTIL = 3000
BEYOND = 100000

SWEEP = """
import logging, pickle, sys, threading

if {form!r} == "list":
    wrap = lambda v: [v]
else:
    from tarvella import MayBe, Result
    wrap = {{"Ok": Result.ok, "Just": MayBe.just}}[{form!r}]
OPS = {{
    "repr": repr,
    "str": str,
    "f-string": lambda x: f"{{x}}",
    "logging": lambda x: logging.LogRecord(
        "deep", logging.INFO, "deep.py", 1, "%s", (x,), None).getMessage(),
    "pickle": lambda x: pickle.loads(pickle.dumps(x)),
}}

def sweep():
    x, level = 0, 0
    for depth in {depths!r}:
        while level < depth:
            x = wrap(x)
            level += 1
        for name, op in OPS.items():
            if depth > {every_form_until} and depth < {beyond} and name not in ("repr", "pickle"):
                continue
            # Written before the attempt: a crash leaves it as the last line.
            print(depth, name, end=" ", flush=True)
            try:
                got = op(x)
                outcome = "ok"
                if name != "pickle" and got != ({expected})(depth):
                    outcome = "wrong text"
            except RecursionError as error:
                outcome = "RecursionError"
                if "maximum recursion depth exceeded" not in str(error) and \\
                        "Stack overflow" not in str(error):
                    outcome = "RecursionError: " + str(error)
            except BaseException as error:
                outcome = type(error).__name__
            print(outcome, flush=True)

if {threaded!r}:
    threading.stack_size(1 << 20)
    worker = threading.Thread(target=sweep)
    worker.start()
    worker.join()
else:
    sweep()
"""

EXPECTED = {
    "list": "lambda n: '[' * n + '0' + ']' * n",
    "Ok": "lambda n: 'Ok(' * n + '0' + ')' * n",
    "Just": "lambda n: 'Just(' * n + '0' + ')' * n",
}


@functools.cache
def sweep(run_python, form, threaded):
    """{(depth, op): outcome}, the step at which the child died if it did, and
    the child's process; lists are swept once for both classes."""
    depths = DEPTHS if form == "list" else DEPTHS + [BEYOND]
    code = SWEEP.format(form=form, depths=depths, threaded=threaded, expected=EXPECTED[form],
                        every_form_until=EVERY_FORM_UNTIL, beyond=BEYOND)
    if form == "list":
        # Lists need nothing of ours: a plain interpreter sweeps them, without
        # any library preloaded into the suite's (a sanitizer's runtime would
        # report the interpreter's own overflow, 3.13's in a 1 MiB thread).
        env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              env=env, timeout=600)
    else:
        proc = run_python(code, timeout=600)
    outcomes, died_at = {}, None
    for line in proc.stdout.splitlines():
        depth, op, outcome = line.split(" ", 2)
        if outcome:
            outcomes[int(depth), op] = outcome
        else:
            died_at = (int(depth), op)
    if proc.returncode != 0 and died_at is None:
        died_at = ("after the sweep", proc.returncode)
    return outcomes, died_at, proc


@pytest.mark.parametrize("threaded", [False, True], ids=["main thread", "1 MiB thread"])
@pytest.mark.parametrize("form", ["Ok", "Just"])
def test_deep_values_fail_like_lists(run_python, form, threaded):
    lists, _, _ = sweep(run_python, "list", threaded)
    ours, died_at, proc = sweep(run_python, form, threaded)
    # Where the lists got, ours must have got without a crash.
    for step, list_outcome in lists.items():
        assert list_outcome in ("ok", "RecursionError"), (step, list_outcome)
        assert ours.get(step) in ("ok", "RecursionError"), (
            f"{form} at depth {step[0]}, {step[1]}: {ours.get(step)!r} where a list gave "
            f"{list_outcome!r}; the child died at {died_at} with {proc.returncode}: "
            f"{proc.stderr[-2000:]}")
    # Beyond a list's crash (3.13 in a 1 MiB thread), ours still stops cleanly.
    assert died_at is None, (died_at, proc.returncode, proc.stderr[-2000:])
    assert all(outcome in ("ok", "RecursionError") for outcome in ours.values()), ours
    assert ours[BEYOND, "repr"] == "RecursionError"


LINKS = {
    "Ok of dict": "Result.ok({'k': x})",
    "Just of list": "MayBe.just([x])",
    "Err details of tuple": "Result.err('m', details=(x,))",
    "Ok of object": "Result.ok(Node(x))",
    "Just of Ok": "MayBe.just(Result.ok(x))",
}


# Deep chains through other containers and objects, released in a 1 MiB
# thread: the interpreter's trashcan limits its own containers' nesting, and
# our releases must not add a C frame per level to it.
@pytest.mark.parametrize("link", LINKS.values(), ids=LINKS.keys())
def test_long_indirect_chains_are_released_in_small_threads(run_python, link):
    proc = run_python(f"""
        import threading, weakref
        from tarvella import MayBe, Result
        class Node:
            def __init__(self, value):
                self.value = value
        class Marker:
            pass
        def work():
            marker = Marker()
            probe = weakref.ref(marker)
            x = marker
            for _ in range(200_000):
                x = {link}
            del x, marker
            print("released" if probe() is None else "kept")
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
    """, timeout=600)
    assert proc.returncode == 0 and proc.stdout == "released\n", (proc.returncode, proc.stderr)


def test_text_form_stops_with_the_interpreters_error_and_recovers(run_python):
    proc = run_python("""
        import json, threading
        from tarvella import Result
        out = {}
        def work():
            x = 0
            for _ in range(100_000):
                x = Result.ok(x)
            try:
                repr(x)
            except RecursionError as error:
                out["error"] = str(error)
            out["after"] = repr(Result.ok(Result.ok("a")))
        threading.stack_size(1 << 20)
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
        print(json.dumps(out))
    """)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["after"] == "Ok(Ok(a))"
    assert ("maximum recursion depth exceeded" in out["error"]
            or "Stack overflow" in out["error"]), out
