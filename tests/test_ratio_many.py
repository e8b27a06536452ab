"""ratio_many: one exact ratio per pair, in order, whatever the threads."""

import collections
import os
import threading

import pytest
from conftest import difflib_ratio, run_python
from test_ratio import random_pairs

from ratiokit import _ratiokit

PAIRS = list(random_pairs(41, 3000, 60))


def test_equal_to_ratio_per_pair_for_every_threads_value():
    expected = [_ratiokit.ratio(a, b) for a, b in PAIRS]
    assert expected[:500] == [difflib_ratio(a, b) for a, b in PAIRS[:500]]
    for threads in (0, 1, 2, 4, True, 100_000):
        assert _ratiokit.ratio_many(PAIRS, threads) == expected, threads


def test_order_preserved_and_small_batches():
    assert _ratiokit.ratio_many([]) == []
    assert _ratiokit.ratio_many([("", "")]) == [1.0]
    reversed_pairs = PAIRS[::-1]
    assert _ratiokit.ratio_many(reversed_pairs) == _ratiokit.ratio_many(PAIRS)[::-1]
    Named = collections.namedtuple("Named", "a b")
    assert _ratiokit.ratio_many([Named("abcd", "bcde"), ("x", "x")], threads=3) == [0.75, 1.0]


def test_python_threads_calling_at_once():
    expected = _ratiokit.ratio_many(PAIRS)
    results = {}

    def work(k):
        results[k] = _ratiokit.ratio_many(PAIRS, threads=k % 3)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 6 and all(r == expected for r in results.values())


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_private_pools_leave_no_threads_behind():
    out = run_python(
        """
        import time
        from ratiokit import _ratiokit
        def count():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))
        _ratiokit.ratio_many([("a", "b")] * 100)  # the shared pool starts once
        before = count()
        for _ in range(300):
            _ratiokit.ratio_many([("ab", "b")] * 64, threads=4)
        for _ in range(100):
            if count() <= before:
                break
            time.sleep(0.05)
        print(before, count())
        """
    )
    before, after = map(int, out.split())
    assert after <= before


@pytest.mark.parametrize(
    "mode, threads", [("RAYON_NUM_THREADS", "3"), ("RAYON_RS_NUM_CPUS", "2"), ("RAYON_NUM_THREADS", "x")]
)
def test_shared_pool_size_from_the_environment(mode, threads):
    out = run_python(
        """
        from ratiokit import _ratiokit
        print(_ratiokit.ratio_many([("abc", "abd")] * 1000) == [2 / 3] * 1000)
        """,
        env={mode: threads},
    )
    assert out.strip() == "True"
