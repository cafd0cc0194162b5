"""The cyclic collector sees through instances: cycles through a payload are
reclaimed, what is still reachable stays as it was, and a collection in the
middle of a member changes none of its answers."""

import gc
import sys
import weakref

import pytest

from tarvella import MayBe, Result


class Node:
    pass


def test_referents_are_the_payload_and_the_class():
    x, d = Node(), Node()
    assert gc.get_referents(Result.ok(x)) == [x, Result]
    assert gc.get_referents(Result.err("m", code="c", details=d)) == [d, Result]
    assert gc.get_referents(Result.err("m")) == [Result]
    assert gc.get_referents(MayBe.just(x)) == [x, MayBe]
    assert gc.get_referents(MayBe.nothing()) == [MayBe]


@pytest.mark.thread_unsafe(reason="counts the references every thread's instances hold to the classes")
def test_instances_made_after_many_died_start_fresh():
    # Blocks kept for reuse hold their class in the free-threaded build: as
    # many are kept when the counts are taken as at the end.
    dead = [Result.ok(1) for _ in range(300)] + [MayBe.nothing() for _ in range(300)]
    del dead
    # Earlier tests' cyclic garbage may hold instances; a collection falling
    # inside the loop would free them and move the counts for no fault of
    # ours. The loop itself makes no cycles.
    gc.collect()
    classes = sys.getrefcount(Result), sys.getrefcount(MayBe)
    for _ in range(3):
        dead = [Result.err("m", code="c", details=Node()) for _ in range(300)]
        dead += [MayBe.just(Node()) for _ in range(300)]
        del dead
        made = [Result.ok(1) for _ in range(200)] + [MayBe.nothing() for _ in range(200)]
        # What getrefcount reports for a list item differs between versions.
        (held,) = {sys.getrefcount(o) for o in [object(), object()]}
        assert {(repr(m), sys.getrefcount(m), gc.is_tracked(m)) for m in made} == {
            ("Ok(1)", held, True), ("Nothing", held, True)}
        assert not any(m.is_err() for m in made[:200])
        del made
    assert (sys.getrefcount(Result), sys.getrefcount(MayBe)) == classes


def test_cycle_reachable_from_outside_is_kept_unchanged():
    node = Node()
    node.result = Result.err("m", code="c", details=node)
    kept = node.result
    del node
    gc.collect()
    assert kept.unwrap_err()[:2] == ("m", "c")
    assert kept.unwrap_err()[2].result is kept


class Service:
    def __init__(self):
        self.on_done = MayBe.just(self.finish)
        self.last = Result.ok(self)

    def finish(self):
        return self.last


def closure_over_its_result():
    def again():
        return me

    me = Result.ok(again)
    return again


def frame_holding_its_error():
    marker = Node()  # noqa: F841 - kept alive by the frame only
    try:
        raise ValueError("bad input")
    except ValueError as e:
        result = Result.err(str(e), code="E_PARSE", details=e)
        return marker, result.is_err()


@pytest.mark.parametrize("make", [
    Service,
    closure_over_its_result,
    lambda: frame_holding_its_error()[0],
])
def test_objects_in_cycles_through_instances_are_reclaimed(make):
    probes = [weakref.ref(make()) for _ in range(100)]
    gc.collect()
    assert [probe() for probe in probes] == [None] * 100


def test_module_globals_are_finalised_at_exit(run_python, tmp_path):
    path = tmp_path / "out.txt"
    proc = run_python(f"""
        import tarvella
        class UserObject:
            pass
        log = open({str(path)!r}, "w")
        log.write("important data\\n")
        def handler(x):
            return x
        on_done = tarvella.MayBe.just(handler)
        kept = tarvella.Result.ok(UserObject())
        failed = tarvella.Result.err("m", details=UserObject())
    """)
    assert proc.returncode == 0, proc.stderr
    assert path.read_text() == "important data\n"


def collecting(value):
    gc.collect()
    return value


# Each call runs a collection from inside a member whose receiver is part of
# a cycle, reachable only through that cycle and the call itself.
@pytest.mark.parametrize("make, call", [
    (Result.ok, lambda r: r.map(collecting).unwrap()),
    (MayBe.just, lambda m: m.map(collecting).unwrap()),
    (lambda b: Result.err("m", details=b),
     lambda r: r.map_err(lambda m, c, d: collecting((m, c, d))).unwrap_err()[2]),
    (Result.ok, lambda r: r.flat_map(lambda v: Result.ok(collecting(v))).unwrap()),
    (Result.ok, lambda r: (r >> (lambda v: collecting(Result.ok(v)))).unwrap()),
    (MayBe.just, lambda m: (m >> (lambda v: collecting(MayBe.just(v)))).unwrap()),
    (Result.ok, lambda r: r.match(ok=collecting)),
    (lambda b: Result.err("m", details=b), lambda r: r.match(err=lambda m, c, d: collecting(d))),
    (MayBe.just, lambda m: m.match(just=collecting)),
])
def test_collection_inside_a_member_changes_no_answer(make, call):
    seen = []

    def on_collection(phase, info):
        seen.append(Result.ok(phase).map(str.upper).unwrap())

    def receiver():
        box = [Node()]
        box.append(make(box))
        return box[-1]

    gc.callbacks.append(on_collection)
    try:
        box = call(receiver())
    finally:
        gc.callbacks.remove(on_collection)
    assert type(box) is list and type(box[0]) is Node and len(box) == 2
    assert "START" in seen and "STOP" in seen
