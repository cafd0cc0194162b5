"""Interpreter exit with the module in use: live instances, finalisers that
call back into the module, and daemon threads stopped inside a member call.
Each scenario runs in a child interpreter, which must exit normally."""

import pytest


def assert_clean_exit(proc):
    assert proc.returncode == 0, proc.stderr
    assert "uncaught panic" not in proc.stderr
    assert "Fatal Python error" not in proc.stderr
    assert "internal fault" not in proc.stderr


def test_live_instances_and_finalisers_calling_back(run_python):
    proc = run_python("""
        import atexit, builtins, os, sys, threading, time, types
        from tarvella import MayBe, Result

        class Payload:
            def __init__(self, tag):
                self.tag = tag

            # Late in finalisation the module's globals may be gone: keep what
            # is needed in default arguments.
            def __del__(self, write=os.write, Result=Result, MayBe=MayBe, repr=repr):
                tag = self.tag
                text = (repr(Result.ok(tag).map(lambda t: t + "!"))
                        + repr(MayBe.just(tag) >> MayBe.just)
                        + repr(Result.from_dict(Result.err(tag, "c", details=self).to_dict())))
                write(2, ("del " + text + "\\n").encode())

        r, e = Result.ok(Payload("main ok")), Result.err("m", details=Payload("main err"))
        j, n = MayBe.just(Payload("main just")), MayBe.nothing()
        cycle = [Payload("cycle")]
        cycle.append(Result.ok(cycle))
        holder = types.ModuleType("holder")   # torn down late, with its dict
        holder.x = MayBe.just(Payload("holder"))
        holder.y = Result.err("m", details=MayBe.just(Payload("nested")))
        sys.modules["holder"] = holder
        builtins.kept_for_the_end = Result.ok(Payload("builtins"))
        atexit.register(lambda: Result.ok(Payload("atexit")).map(repr))

        def asleep(x):
            time.sleep(60)   # never woken: the process ends under it
        threading.Thread(target=lambda: r.map(asleep), daemon=True).start()
        threading.Thread(target=lambda: j.flat_map(asleep), daemon=True).start()
        time.sleep(0.05)
        print("exiting")
    """)
    assert_clean_exit(proc)
    assert proc.stdout == "exiting\n"
    for tag in ("holder", "nested", "builtins", "atexit"):
        assert f"del Ok({tag}!)Just({tag})Err('{tag}', code='c')" in proc.stderr


# On 3.12 and 3.13 a daemon thread that tries to take the interpreter lock
# back after finalisation has begun is ended by a forced unwind, here from
# inside time.sleep under a member call: the threads wake while a finaliser
# run late in finalisation sleeps without the lock.
def test_daemon_threads_unwound_at_exit(run_python):
    proc = run_python("""
        import threading, time, sys, os, types, tarvella
        from tarvella import Result, MayBe
        def slow(x):
            time.sleep(0.3); return x
        r = Result.ok(1)
        for i in range(3):
            threading.Thread(target=lambda: r.map(slow), daemon=True).start()
            threading.Thread(target=lambda: MayBe.just(1) >> (lambda x: MayBe.just(slow(x))),
                             daemon=True).start()
        class Slow:
            def __del__(self, write=os.write, sleep=time.sleep):
                write(2, b"slow del\\n")
                sleep(1.0)
        holder = types.ModuleType("holder")
        holder.x = Slow()
        sys.modules["holder"] = holder
        del holder, Slow
        print("exiting")
    """)
    assert_clean_exit(proc)
    assert "slow del" in proc.stderr


# The same without timing: every daemon thread is known to be inside its
# member call, asleep on a lock of its own, before the interpreter exits; a
# finaliser that runs once finalisation has begun opens the locks and waits,
# so each thread wakes, tries to take the interpreter lock and is unwound.
UNWIND_SCRIPT = """
import _thread, os, sys, threading, time, types
from tarvella import MayBe, Result

THREADS = 3
gates = [_thread.allocate_lock() for _ in range(THREADS)]
ready = [_thread.allocate_lock() for _ in range(THREADS)]
for lock in gates + ready:
    lock.acquire()
local = threading.local()

def block(x=None, *rest):
    ready[local.index].release()
    gates[local.index].acquire()
    os.write(2, b"woke\\n")  # never reached: the thread is unwound first
    return x

class Blocking:
    def __str__(self):
        return block("text")

class BlockingKey:
    def __hash__(self):
        return hash("ok")

    def __eq__(self, other):
        return block(False)

class BlockingDel:
    def __del__(self):
        block()

class BlockingText(str):
    def __del__(self):
        block()

r, err, just = Result.ok(1), Result.err("m", code="c", details=[1]), MayBe.just(1)

def work(index):
    local.index = index
    {call}

for index in range(THREADS):
    threading.Thread(target=work, args=(index,), daemon=True).start()
for lock in ready:
    lock.acquire()

class Opener:
    def __del__(self, write=os.write, sleep=time.sleep, gates=gates, Result=Result):
        write(2, b"opening\\n")
        for gate in gates:
            gate.release()
        sleep(0.3)
        # An entry after the unwinding releases what the unwound frames left.
        write(2, ("after " + repr(Result.ok(2).map(str)) + "\\n").encode())

holder = types.ModuleType("holder")   # torn down late in finalisation
holder.x = Opener()
sys.modules["holder"] = holder
del holder, Opener
print("exiting")
"""


@pytest.mark.parametrize("call", [
    "r.map(block)",
    "r.match(ok=block)",
    "r.flat_map(lambda x: Result.ok(block(x)))",
    "r.and_then(lambda x: r.map(block))",
    "err.map_err(lambda m, c, d: (block(m), c, d))",
    "err.match(err=block)",
    "r >> (lambda x: Result.ok(block(x)))",
    "just.map(block)",
    "just >> (lambda x: MayBe.just(block(x)))",
    "MayBe.nothing().match(nothing=block)",
    "repr(Result.ok(Blocking()))",
    "repr(MayBe.just(Blocking()))",
    "Result.from_dict({BlockingKey(): True, 'value': 1})",
    # The last reference to an object whose finaliser blocks is dropped by
    # the module: on deallocation, after copying a text, on an error path.
    "[MayBe.just(Result.err('m', details=BlockingDel()))].clear()",
    "err.map_err(lambda m, c, d: (BlockingText(m), c, d))",
    "r.flat_map(lambda x: BlockingDel())",
    "r.map(lambda x: just.map(lambda y: r.map(block)))",
])
def test_daemon_thread_unwound_inside_member(run_python, call):
    proc = run_python(UNWIND_SCRIPT.replace("{call}", call))
    assert_clean_exit(proc)
    assert proc.stdout == "exiting\n"
    assert "opening" in proc.stderr and "after Ok(2)" in proc.stderr
    assert "woke" not in proc.stderr
