"""Worker pools: a forked child gets fresh pools of its own, whatever the parent did, and a
huge `threads` value starts only the workers that can work.

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
import subprocess
import sys
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


PEAK_THREADS_CHILD = """
import os, sys, threading, time
from ratiokit import _ratiokit

def threads_now():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])

pairs = [("abcd" + str(i), "abce" + str(i % 97)) for i in range(200_000)]
expected = _ratiokit.ratio_many(pairs, threads=1)
peak = 0
done = False

def watch():
    global peak
    while not done:
        peak = max(peak, threads_now())
        time.sleep(0.0005)

before = threads_now()
watcher = threading.Thread(target=watch)
watcher.start()
ok = all(_ratiokit.ratio_many(pairs, threads=65535) == expected for _ in range(3))
ok = ok and _ratiokit.Rationer(threads=65535).ratio_many(pairs) == expected
ok = ok and _ratiokit.cluster_canonicals(["abc" + str(i % 50) for i in range(5000)], 0.9, threads=65535) == \
    _ratiokit.cluster_canonicals(["abc" + str(i % 50) for i in range(5000)], 0.9, threads=1)
done = True
watcher.join()
print(ok, peak - before - 1, len(os.sched_getaffinity(0)))
"""


def test_a_huge_thread_count_starts_only_workers_that_can_work():
    out = subprocess.run([sys.executable, "-c", PEAK_THREADS_CHILD], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    ok, started, cpus = out.stdout.split()
    assert ok == "True"
    # A few workers per CPU at most (plus the one a fresh private pool starts at once).
    assert int(started) <= 4 * int(cpus) + 1, f"{started} workers on {cpus} CPUs"
