"""Loop timers built from the statements in cases.py.

A timer runs one statement `n` times in a plain for-loop and returns the
elapsed nanoseconds. Nothing is subtracted: the loop costs the same for
every implementation (the "(empty loop)" row shows how much), so it cancels
in differences and only makes ratios look smaller than they are.
"""

import textwrap
import time
from itertools import repeat

from cases import namespace

_TEMPLATE = """
def __timer(__n, __clock=__clock, __repeat=__repeat):
    __t0 = __clock()
    for _ in __repeat(None, __n):
{body}
    return __clock() - __t0
"""


def make_timer(ns, stmt):
    """A function timer(n) -> elapsed ns, running `stmt` with `ns` as globals."""
    body = textwrap.indent(textwrap.dedent(stmt).strip("\n"), " " * 8)
    ns["__clock"] = time.perf_counter_ns
    ns["__repeat"] = repeat
    code = _TEMPLATE.format(body=body)
    local = {}
    exec(compile(code, f"<{ns['__name__']}>", "exec"), ns, local)
    return local["__timer"]


_namespaces = {}


def timer_for(impl, stmt):
    """One namespace per implementation, shared by all its timers."""
    if impl not in _namespaces:
        _namespaces[impl] = namespace(impl) if impl != "-" else {"__name__": "bench_loop"}
    return make_timer(_namespaces[impl], stmt)


def namespace_of(impl):
    return _namespaces[impl]
