"""Pools across fork(): a child process gets fresh pools of its own, whatever the parent did.

Each case uses an entry point in this process first, so that its pool (the process-wide one, a
Rationer's, or a per-call one) has started workers, then runs the same call in workers of a
multiprocessing pool made with the fork start method. A child that waited on its parent's
workers would hang, so every result is awaited with a timeout.
"""

from __future__ import annotations

import contextlib
import difflib
import multiprocessing
import os
import random
import select
import signal
import warnings

import pytest

import ratiokit
from ratiokit import _ratiokit

TIMEOUT_S = 30

rng = random.Random(12)
PAIRS = [
    ("".join(rng.choice("abcde") for _ in range(rng.randint(0, 40))),
     "".join(rng.choice("abcde") for _ in range(rng.randint(0, 40))))
    for _ in range(2000)
]
EXPECTED_RATIOS = [difflib.SequenceMatcher(None, a, b, autojunk=False).ratio() for a, b in PAIRS]
# Families of near-duplicates, enough of them for the clustering to go parallel.
STRINGS = [f"{stem} item {k % 7}" for stem in ("alpha beta", "gamma delta", "epsilon zeta") for k in range(60)]

# Handles made before the fork, reached by the children through their copy of this module.
HANDLE: _ratiokit.Rationer | None = None


def ratio_many_shared():
    return _ratiokit.ratio_many(PAIRS, threads=0)


def ratio_many_private():
    return _ratiokit.ratio_many(PAIRS, threads=2)


def rationer_ratio_many():
    assert HANDLE is not None
    return HANDLE.ratio_many(PAIRS)


def rationer_cluster():
    assert HANDLE is not None
    return HANDLE.cluster_canonicals(STRINGS, 0.8)


def cluster_private():
    return _ratiokit.cluster_canonicals(STRINGS, 0.8, threads=2)


def cosine_join_shared():
    docs = [s.split() for s in STRINGS]
    return _ratiokit.cosine_join(docs, 0.5)


@contextlib.contextmanager
def forked_workers(processes: int = 2):
    # Forking a process that runs threads (the pools' workers) is exactly what is tested here;
    # Python 3.12+ warns about it, and the suite turns warnings into errors.
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
        pool = multiprocessing.get_context("fork").Pool(processes)
    try:
        yield pool
    finally:
        pool.terminate()
        pool.join()


CASES = {
    "ratio_many(threads=0)": (ratio_many_shared, lambda: EXPECTED_RATIOS),
    "ratio_many(threads=2)": (ratio_many_private, lambda: EXPECTED_RATIOS),
    "Rationer(threads=2).ratio_many": (rationer_ratio_many, lambda: EXPECTED_RATIOS),
    "Rationer(threads=2).cluster_canonicals": (
        rationer_cluster,
        lambda: _ratiokit.cluster_canonicals(STRINGS, 0.8),
    ),
    "cluster_canonicals(threads=2)": (cluster_private, lambda: _ratiokit.cluster_canonicals(STRINGS, 0.8)),
    "cosine_join(threads=0)": (cosine_join_shared, cosine_join_shared),
}


@pytest.mark.parametrize("name", list(CASES))
def test_forked_children_compute_with_fresh_pools(name):
    global HANDLE
    call, expected = CASES[name]
    HANDLE = _ratiokit.Rationer(threads=2)
    # In the parent first, so that the pools have live workers when the fork happens.
    want = expected()
    assert call() == want
    with forked_workers() as pool:
        pending = [pool.apply_async(call) for _ in range(4)]
        for job in pending:
            assert job.get(timeout=TIMEOUT_S) == want
    # The parent's pools are unaffected by its children.
    assert call() == want


def grandchild_results():
    # One generation further down: this child forks again after using its own fresh pools (with
    # os.fork, since a multiprocessing worker may not start processes of its own).
    first = ratio_many_shared() == EXPECTED_RATIOS and rationer_ratio_many() == EXPECTED_RATIOS
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        ok = rationer_ratio_many() == EXPECTED_RATIOS and cluster_private() == rationer_cluster()
        os.write(write_end, b"1" if ok else b"0")
        os._exit(0)
    os.close(write_end)
    try:
        ready = select.select([read_end], [], [], TIMEOUT_S)[0]
        second = os.read(read_end, 1) == b"1" if ready else False
    finally:
        os.close(read_end)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    return first and second


def test_children_of_children_also_get_fresh_pools():
    global HANDLE
    HANDLE = _ratiokit.Rationer(threads=2)
    assert rationer_ratio_many() == EXPECTED_RATIOS
    assert ratiokit.ratio(PAIRS) == EXPECTED_RATIOS
    with forked_workers(1) as pool:
        assert pool.apply_async(grandchild_results).get(timeout=2 * TIMEOUT_S) is True
