"""Rationer: the same answers as the free functions, whatever its pool, delta or mode."""

import inspect
import math
import random
import sys
import threading

import pytest
from conftest import difflib_ratio, run_python
from test_ratio import random_pairs

import ratiokit
from ratiokit import _ratiokit
from ratiokit._ratiokit import Rationer


def repeated_b_batch(seed, count=3000):
    """Random small-alphabet pairs, non-ASCII ones, empty texts, and b's that repeat often."""
    rng = random.Random(seed)
    pairs = list(random_pairs(seed, count // 2, 50))
    bs = [b for _, b in pairs[:40]] + ["", "é日本x"]
    pairs += [(rng.choice(pairs)[0], rng.choice(bs)) for _ in range(count // 2)]
    pairs += [("", ""), ("abc", ""), ("", "abc")] * 3
    rng.shuffle(pairs)
    return pairs


PAIRS = repeated_b_batch(3)
CANONICALS = [a for a, _ in PAIRS[:300]] + ["abcdefgh", "abcdefgx", "abcdefxx"]


@pytest.mark.parametrize("threads", [0, 4])
def test_same_results_as_the_free_functions(threads):
    free = _ratiokit.ratio_many(PAIRS)
    assert free[:300] == [difflib_ratio(a, b) for a, b in PAIRS[:300]]
    for delta in (0.0, 0.3, 1.0, math.nan):
        r = Rationer("cpu", threads, delta)
        assert r.ratio_many(PAIRS) == free
        assert r.ratio_many(PAIRS[::-1]) == free[::-1]
        assert r.ratio_many([]) == []
        assert [r.ratio(a, b) for a, b in PAIRS] == free


@pytest.mark.parametrize("threads", [0, 4])
def test_clusters_as_the_free_function(threads):
    r = Rationer(threads=threads, delta=0.5)
    for threshold in (0.5, 0.8):
        want = _ratiokit.cluster_canonicals(CANONICALS, threshold)
        assert want and r.cluster_canonicals(CANONICALS, threshold) == want
    assert r.cluster_canonicals([], 0.5) == []


def test_mode_and_delta_as_stored():
    for mode in ("gpu+cpu", "GPU+CPU", "gpu", "Gpu_Cpu", "cpu"):
        assert Rationer(mode).concurrency == "cpu"
    assert Rationer().concurrency == "cpu" and Rationer().delta == 0.0
    for given, stored in [(-1, 0.0), (5, 1.0), (0.3, 0.3), (-math.inf, 0.0)]:
        assert Rationer(delta=given).delta == stored
    assert math.isnan(Rationer(delta=math.nan).delta)


def test_errors_that_pass_through_unchanged():
    for call in (lambda: Rationer(threads=-1), lambda: Rationer(threads=2**64)):
        with pytest.raises(OverflowError) as info:
            call()
        assert "argument" not in str(info.value)


def test_signatures_docs_and_registration():
    assert str(inspect.signature(Rationer)) == "(concurrency='gpu+cpu', threads=0, delta=0.0)"
    r = Rationer()
    assert str(inspect.signature(r.ratio)) == "(a, b)"
    assert str(inspect.signature(r.ratio_many)) == "(pairs)"
    assert str(inspect.signature(r.cluster_canonicals)) == "(canonicals, threshold)"
    assert "owns long-lived backend resources" in Rationer.__doc__
    assert Rationer.delta.__doc__ == "Active approximate-RO `delta` (0.0 = exact)."
    assert 'reports "cpu"' in Rationer.concurrency.__doc__
    names = [n for n in vars(_ratiokit) if not n.startswith("__")]
    is_class = [isinstance(getattr(_ratiokit, n), type) for n in names]
    first_class = is_class.index(True)
    assert names[first_class] == "Rationer" and all(is_class[first_class:])
    # The package's Rationer extends the compiled class (a progress keyword on one method).
    assert issubclass(ratiokit.Rationer, Rationer) and ratiokit.Rationer.__name__ == "Rationer"


def test_instances_release_their_type():
    before = sys.getrefcount(Rationer)
    handles = [Rationer(threads=k % 2) for k in range(200)]
    assert sys.getrefcount(Rationer) == before + 200
    del handles
    assert sys.getrefcount(Rationer) == before


@pytest.mark.parametrize("threads", [0, 2])
def test_python_threads_share_one_handle(threads):
    r = Rationer(threads=threads)
    want = _ratiokit.ratio_many(PAIRS)
    results = []

    def work(k):
        results.append(r.ratio_many(PAIRS[k:] + PAIRS[:k]) == want[k:] + want[:k])
        results.append([r.ratio(a, b) for a, b in PAIRS[:200]] == want[:200])

    workers = [threading.Thread(target=work, args=(k,)) for k in range(6)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    assert results == [True] * 12


def test_handle_dropped_while_in_use_then_its_pool_goes():
    out = run_python(
        """
        import threading, time
        from ratiokit import Rationer, ratio_many
        def count():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("Threads:"))
        pairs = [("abcab" * 20, "cabba" * 20 + str(k % 7)) for k in range(4000)]
        want = ratio_many(pairs)
        before = count()
        r = Rationer(threads=4)
        calls = [r.ratio_many] * 3
        del r  # the calls below hold the only references
        ok = []
        workers = [threading.Thread(target=lambda m=m: ok.append(m(pairs) == want)) for m in calls]
        for t in workers:
            t.start()
        del calls
        for t in workers:
            t.join()
        workers = None
        for _ in range(200):
            if count() <= before:
                break
            time.sleep(0.02)
        print(ok == [True] * 3, count() <= before)
        """
    )
    assert out.split() == ["True", "True"]
