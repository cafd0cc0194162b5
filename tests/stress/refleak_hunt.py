"""Reference-leak hunt on a debug build of CPython, in the manner of its own
`-R` option: each workload of the stress table (every member and slot, both
variants, success and failure paths, user callables included) runs a few
warm-up rounds, then several measured rounds; a workload whose measured
rounds all grow the interpreter's total reference count, or all grow its
count of allocated memory blocks, leaks.

    python refleak_hunt.py [--label TEXT] [--warmups N] [--rounds N] [--calls N]

Exits 0 when nothing leaks, 1 when something does (each leaking workload is
named on a line of its own), 2 when the interpreter is not a debug build.
The last line of output is the summary, which starts "reference leak hunt".

The module is built against the limited API, where Py_INCREF and Py_DECREF
are calls into the interpreter rather than inline code, so on a debug build
every reference the module takes or drops is counted too, not only those
taken inside the interpreter's own functions.
"""

import argparse
import gc
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stress  # noqa: E402

# The interpreter's caches (of attribute lookups on types, among others) may
# fill on a call's first passes through a code path; they are emptied before
# every reading so that their growth is not taken for a leak (the warm-up
# rounds fill what cannot be emptied).
_clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def measure(call, warmups, rounds, calls):
    """Growth of the total reference count and of the allocated blocks over
    each measured round of `calls` calls of `call`, as two lists."""
    # The measurement must not grow anything itself: the lists are made
    # beforehand, each reading replaces the one before it, and equal growths
    # share one int object (small ones are shared by the interpreter anyway).
    refs, blocks, pool = [0] * rounds, [0] * rounds, {}
    refs_before = blocks_before = 0
    for i in range(-warmups, rounds):
        for _ in range(calls):
            call()
        _clear_caches()
        gc.collect()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        if i >= 0:
            refs[i] = pool.setdefault(refs_after - refs_before, refs_after - refs_before)
            blocks[i] = pool.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
        refs_before = refs_after
        blocks_before = blocks_after
    return refs, blocks


def steady(deltas):
    """Growth in every round: a one-off cache fill or a collection that
    happened to fall in one round does not look like this."""
    return all(delta >= 1 for delta in deltas)


def hunt(workloads, warmups=3, rounds=5, calls=10):
    """Measures each (name, call) and returns [(name, what, deltas)] for
    those that leak."""
    leaks = []
    for name, call in workloads:
        refs, blocks = measure(call, warmups, rounds, calls)
        for what, deltas in (("references", refs), ("memory blocks", blocks)):
            if steady(deltas):
                leaks.append((name, what, deltas))
    return leaks


def workloads():
    table = stress.cases()
    found = [(case.name, case.run) for case in table]
    # The lock depth and the deferred releases are per thread: the whole
    # table once on a thread of its own.
    found.append(("whole table on a second thread", lambda: stress.threaded_round(table)))
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--label", default="%d.%d%s" % (*sys.version_info[:2], sys.abiflags))
    parser.add_argument("--warmups", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--calls", type=int, default=10)
    args = parser.parse_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        print(f"reference leak hunt: {args.label}: not a debug build (no sys.gettotalrefcount)")
        return 2

    found = workloads()
    leaks = hunt(found, args.warmups, args.rounds, args.calls)
    for name, what, deltas in leaks:
        print(f"leak: {name!r}: {what} grew by {deltas} over rounds of {args.calls} calls")
    leaking = len({name for name, _, _ in leaks})
    by_refs = sum(what == "references" for _, what, _ in leaks)
    by_blocks = sum(what == "memory blocks" for _, what, _ in leaks)
    print(f"reference leak hunt: {args.label}: {len(found)} workloads, {args.warmups} warm-up "
          f"and {args.rounds} measured rounds of {args.calls} calls each: {by_refs} leak "
          f"references, {by_blocks} leak memory blocks: "
          + (f"FAILED ({leaking} leaking)" if leaking else "passed"), flush=True)
    return 1 if leaking else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
