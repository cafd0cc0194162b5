"""Results and MayBes cross process boundaries the way real clients move them:
a spawn process pool, a multiprocessing queue both ways, and a Dask cluster
of process workers. Kept small: a few items, two workers."""

import logging
import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import pytest

from tarvella import MayBe, Result

SPAWN = multiprocessing.get_context("spawn")


def validate(n):
    """Runs in the workers: every kind of instance, nested and with details."""
    if n % 3 == 0:
        return Result.err(f"{n} is a multiple of 3", code="MULT3", details={"n": n})
    if n % 5 == 0:
        return Result.from_dict({"ok": False, "error": "five", "details": None})
    return Result.ok(MayBe.just(n * 2) if n % 2 else MayBe.nothing())


def shown(r):
    """Variant, payload and whether details are there, nested values by text."""
    return repr(r), r.to_dict().get("details", "absent")


def relay(inbox, outbox):
    while (item := inbox.get()) is not None:
        outbox.put((item, item.map(repr)))


def count_errs(results):
    counts = {}
    for r in results:
        if r.is_err():
            code = r.unwrap_err()[1]
            counts[code] = counts.get(code, 0) + 1
    return counts


INPUTS = range(1, 11)


def test_spawn_process_pool():
    with ProcessPoolExecutor(max_workers=2, mp_context=SPAWN) as pool:
        results = list(pool.map(validate, INPUTS))
    assert [shown(r) for r in results] == [shown(validate(n)) for n in INPUTS]


def test_queue_both_ways():
    inbox, outbox = SPAWN.Queue(), SPAWN.Queue()
    worker = SPAWN.Process(target=relay, args=(inbox, outbox))
    worker.start()
    items = [Result.ok([1]), Result.err("m", "c"), validate(5), MayBe.just(None),
             MayBe.nothing()]
    try:
        for item in items:
            inbox.put(item)
        inbox.put(None)
        back = [outbox.get(timeout=60) for _ in items]
    finally:
        worker.join(60)
    assert worker.exitcode == 0
    assert [(shown(a) if type(a) is Result else repr(a), repr(b)) for a, b in back] == [
        (shown(i) if type(i) is Result else repr(i), repr(i.map(repr))) for i in items]


def test_dask_cluster():
    distributed = pytest.importorskip(
        "distributed", reason="dask[distributed] could not be installed for this interpreter")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        results = client.gather(client.map(validate, INPUTS))
        # And back into the cluster as task arguments.
        counts = client.submit(count_errs, results).result()
    assert [shown(r) for r in results] == [shown(validate(n)) for n in INPUTS]
    assert counts == {"MULT3": 3, None: 2}
