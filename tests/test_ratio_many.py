"""ratio_many: one exact ratio per pair, in order, whatever the threads."""

import collections
import collections.abc
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
    # Read at the first computation, so a value set after import still counts; the pool's
    # workers all start on a long clustering call.
    out = run_python(
        f"""
        import os, random
        from ratiokit import _ratiokit
        def count():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
        os.environ[{mode!r}] = {threads!r}
        rng = random.Random(1)
        strings = ["".join(rng.choice("ab") for _ in range(60)) for _ in range(600)]
        before = count()
        print(_ratiokit.ratio_many([("abc", "abd")] * 1000) == [2 / 3] * 1000)
        _ratiokit.cluster_canonicals(strings, 0.0)
        print(count() - before, len(os.sched_getaffinity(0)))
        """
    )
    ok, sizes = out.splitlines()
    started, cpus = map(int, sizes.split())
    assert ok == "True"
    assert started == (int(threads) if threads.isdigit() else min(cpus, 4 * cpus))


# ---------------------------------------------------------------------------------------------
# Batches longer than one step: the texts are copied a part at a time while earlier parts are
# computed, by count of pairs (short ones) or by their size (long ones).

class Pairs(collections.abc.Sequence):
    """A Sequence that is neither list nor tuple, so that reading it runs Python code."""

    def __init__(self, items, fail_at=None):
        self.items = items
        self.fail_at = fail_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, k):
        if k == self.fail_at:
            raise LookupError(f"pair {k}")
        return self.items[k]


MANY = [PAIRS[k % len(PAIRS)] for k in range(10_001)]
LONG = [("ab" * 8000 + str(k), "ba" * 8000) for k in range(17)]


def test_batches_of_many_steps_equal_per_pair_ratios_for_every_container():
    expected = [_ratiokit.ratio(a, b) for a, b in MANY]
    for threads in (0, 1, 2):
        assert _ratiokit.ratio_many(MANY, threads) == expected
        assert _ratiokit.ratio_many(tuple(MANY), threads) == expected
        assert _ratiokit.ratio_many(Pairs(MANY), threads) == expected
    # Texts short enough that steps end by count, 4,096 pairs: around and at their ends.
    short = [(a[:8], b[:8]) for a, b in MANY]
    short_expected = [_ratiokit.ratio(a, b) for a, b in short]
    for n in (4095, 4096, 4097, 8192, 10_001):
        assert _ratiokit.ratio_many(short[:n]) == short_expected[:n]
    mixed = LONG[:3] * 5 + LONG[15:]
    long_expected = [_ratiokit.ratio(a, b) for a, b in mixed]
    assert _ratiokit.ratio_many(mixed, 2) == long_expected
    # A Rationer streams a batch of short distinct pairs the same way, and reads whole one that
    # starts with long pairs (its engine shares automata across the batch).
    handle = _ratiokit.Rationer(threads=2)
    assert handle.ratio_many(MANY) == expected
    assert handle.ratio_many(mixed) == long_expected
    assert handle.ratio_many(MANY[:5] + LONG[:2] + MANY) == (
        expected[:5] + long_expected[:2] + expected
    )


@pytest.mark.parametrize(
    "bad, error",
    [
        ("ab", TypeError),
        (("a", "b", "c"), ValueError),
        (("a", 3), TypeError),
        (("\ud800", "a"), UnicodeEncodeError),
    ],
)
def test_a_bad_pair_in_a_later_step_raises_what_a_short_batch_raises(bad, error):
    with pytest.raises(error) as short:
        _ratiokit.ratio_many([("a", "b"), bad])
    for threads in (0, 2):
        for at in (4096, 9000):
            pairs = list(MANY)
            pairs.insert(at, bad)
            with pytest.raises(error) as long:
                _ratiokit.ratio_many(pairs, threads)
            assert str(long.value) == str(short.value)
    with pytest.raises(error):
        _ratiokit.Rationer().ratio_many(MANY + [bad])
    assert _ratiokit.ratio_many(MANY, 2)[:3] == [_ratiokit.ratio(a, b) for a, b in MANY[:3]]


def test_an_exception_from_the_sequence_mid_batch_comes_out_unchanged():
    for at in (10, 5000, 10_000):
        with pytest.raises(LookupError, match=f"pair {at}"):
            _ratiokit.ratio_many(Pairs(MANY, fail_at=at), threads=2)
    with pytest.raises(LookupError, match="pair 7000"):
        _ratiokit.Rationer(threads=2).ratio_many(Pairs(MANY, fail_at=7000))


def test_memory_stays_bounded_by_the_step_not_the_batch():
    # 100,000 pairs of 2,000-character texts made as they are read: copying them all first
    # would take 800 MB; reading a step at a time keeps a few MB of copies.
    out = run_python(
        """
        import collections.abc, resource
        from ratiokit import _ratiokit

        class Lazy(collections.abc.Sequence):
            def __len__(self):
                return 100_000
            def __getitem__(self, k):
                if k >= 100_000:
                    raise IndexError(k)
                return ("x" * 2000 + str(k), "")

        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for threads in (0, 2):
            assert _ratiokit.ratio_many(Lazy(), threads) == [0.0] * 100_000
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
        """
    )
    assert int(out) < 100, f"peak memory grew by {out.strip()} MiB"


def test_package_batch_reports_progress_and_stops_when_the_callable_raises():
    import ratiokit

    pairs = [("parse_header(line)", "parse_headers(lines)")] * 3_000_000
    seen = []
    values = ratiokit.ratio_many(pairs, progress=lambda *report: seen.append(report))
    assert values == [_ratiokit.ratio(*pairs[0])] * len(pairs)
    assert all(phase == "pairs" and 0 <= done <= total == len(pairs)
               for phase, done, total in seen)
    assert [done for _, done, _ in seen] == sorted(done for _, done, _ in seen)

    class Stop(Exception):
        pass

    def stop(phase, done, total):
        raise Stop(phase)

    with pytest.raises(Stop, match="pairs"):
        ratiokit.ratio_many(pairs, 2, progress=stop)
    with pytest.raises(TypeError, match="argument 'progress'"):
        ratiokit.ratio_many(pairs[:3], progress=3)
    assert ratiokit.ratio_many([("abcd", "bcde")], progress=None) == [0.75]
