"""Clustering with exact duplicates and at scale: results identical to brute-force difflib
whatever the copies and their order, both orientations of a pair, streamed candidates, and the
progress a caller can follow (lines, the progress callable, cancelling through it)."""

from __future__ import annotations

import inspect
import math
import os
import pickle
import random
import re
import time

import pytest

import ratiokit
from conftest import difflib_ratio
from ratiokit import _ratiokit
from test_cluster import Oracle, mutate, run_with_stderr
from test_lsh import reference_lsh

THRESHOLDS = [0.0, 0.5, 0.8, 1.0]


def asymmetric_pair(seed=0, lengths=(4, 9)):
    """Two strings whose ratio depends on which one comes first (difflib's tie-break)."""
    rng = random.Random(seed)
    while True:
        u = "".join(rng.choice("abc") for _ in range(rng.randrange(*lengths)))
        v = "".join(rng.choice("abc") for _ in range(rng.randrange(*lengths)))
        if difflib_ratio(u, v) != difflib_ratio(v, u):
            return u, v


def with_copies(seed, count=48):
    """Near-duplicate families whose members also come as exact copies, placed before, after
    and between the near-duplicates, plus an asymmetric pair in both orders and empties."""
    rng = random.Random(seed)
    bases = ["".join(rng.choice("abcde") for _ in range(rng.randrange(3, 14))) for _ in range(4)]
    family = [mutate(rng, b, "abcde", rng.randrange(3)) for b in bases for _ in range(3)]
    u, v = asymmetric_pair(seed)
    out = family + [u, v]
    while len(out) < count:
        out.insert(rng.randrange(len(out) + 1), rng.choice(family + [u, v, ""]))
    return out


def exact_oracle(strings, threshold):
    """Brute force over every pair i < j, difflib oriented as (strings[i], strings[j])."""
    if math.isnan(threshold) or threshold < 0:
        threshold = -1.0  # every ratio reaches it
    return Oracle(strings).clusters(threshold)


@pytest.mark.parametrize("seed", range(5))
def test_copies_match_the_oracle_at_every_threshold(seed):
    strings = with_copies(seed)
    handle = ratiokit.Rationer(threads=2)
    for threshold in THRESHOLDS + [float("nan"), -0.5]:
        want = exact_oracle(strings, threshold)
        assert sorted(ratiokit.cluster_canonicals(strings, threshold)) == want, threshold
        assert sorted(handle.cluster_canonicals(strings, threshold)) == want, threshold
    assert ratiokit.cluster_canonicals(strings, 1.5) == []


@pytest.mark.parametrize("seed", range(3))
def test_lsh_with_copies_matches_the_reference(seed):
    strings = with_copies(seed, count=40)
    for threshold in THRESHOLDS:
        want, _ = reference_lsh(strings, threshold, 16, 2)
        got = ratiokit.cluster_canonicals_lsh(strings, threshold, 16, 2)
        assert sorted(got) == want, threshold


def test_orientation_of_copies():
    u, v = asymmetric_pair()
    low, high = sorted([difflib_ratio(u, v), difflib_ratio(v, u)])
    forward = difflib_ratio(u, v)
    # Only u's copies stand first: only ratio(u, v) occurs.
    assert ratiokit.cluster_canonicals([u, u, v, v], 0.0) == [([0, 1, 2, 3], forward)]
    # A copy of v before a copy of u adds ratio(v, u): the minimum is the lower of the two.
    for order in ([u, v, u], [v, u, v], [u, v, v, u]):
        members = list(range(len(order)))
        assert ratiokit.cluster_canonicals(order, 0.0) == [(members, low)]
    # LSH verifies both orientations too (strings of 10 bytes or more, so they can share a bucket).
    rng = random.Random(2)
    while True:
        u = "".join(rng.choice("abc") for _ in range(24))
        v = mutate(rng, u, "abc", 2)
        if difflib_ratio(u, v) != difflib_ratio(v, u) and reference_lsh([u, v], 0.0, 32, 1)[1]:
            break
    low = min(difflib_ratio(u, v), difflib_ratio(v, u))
    for order in ([u, v, u], [v, u, v], [u, u, v], [v, v, u, v]):
        want, candidates = reference_lsh(order, 0.0, 32, 1)
        assert len(candidates) == len(order) * (len(order) - 1) // 2
        assert ratiokit.cluster_canonicals_lsh(order, 0.0, 32, 1) == want
    assert want == [([0, 1, 2, 3], low)]
    u, v = asymmetric_pair()
    low, high = sorted([difflib_ratio(u, v), difflib_ratio(v, u)])
    forward = difflib_ratio(u, v)
    # Between the two ratios the pair links only through the orientation that reaches it.
    middle = (low + high) / 2
    assert ratiokit.cluster_canonicals([u, v], middle) == (
        [([0, 1], forward)] if forward >= middle else []
    )
    assert ratiokit.cluster_canonicals([u, v, u], high) == [([0, 1, 2], low)]


def test_many_copies_of_few_values():
    rng = random.Random(4)
    values = ["GET /index.html 200", "GET /index.html 404", "POST /login 302", "x"]
    strings = [rng.choice(values) for _ in range(20000)]
    got = ratiokit.cluster_canonicals(strings, 0.8)
    positions = {v: [i for i, s in enumerate(strings) if s == v] for v in values}
    first = sorted(positions[values[0]] + positions[values[1]])
    assert got == [
        (first, difflib_ratio(values[0], values[1])),
        (positions[values[2]], 1.0),
        (positions[values[3]], 1.0),
    ] or sorted(got) == sorted([
        (first, min(difflib_ratio(values[0], values[1]), difflib_ratio(values[1], values[0]))),
        (positions[values[2]], 1.0),
        (positions[values[3]], 1.0),
    ])
    assert ratiokit.cluster_canonicals_lsh(strings, 1.0, 8, 2) == sorted(
        [(p, 1.0) for p in positions.values()]
    )
    # Empty copies link even above 1.0 in LSH verification, others do not.
    assert ratiokit.cluster_canonicals_lsh(["", "a", "", "a"], 1.5, 8, 2) == [([0, 2], 1.0)]
    assert ratiokit.cluster_canonicals_lsh(["", "", "a", "a"], 0.5, 8, 0) == []


def test_streamed_candidates_give_the_same_clusters():
    # More than two million pairs within the length bound: candidates are streamed in blocks
    # and the forest leaves out pairs it already connects. Two families far apart, so that
    # the first blocks connect one and the rest must still find the other.
    rng = random.Random(9)
    left = ["".join(rng.choice("ab") for _ in range(30)) for _ in range(1200)]
    right = ["".join(rng.choice("xy") for _ in range(30)) for _ in range(1000)]
    strings = left + right
    rng.shuffle(strings)
    got = ratiokit.cluster_canonicals(strings, 0.3)
    assert [sorted(m) for m, _ in got] == [
        sorted(i for i, s in enumerate(strings) if (s[0] in "ab") == (strings[0][0] in "ab")),
        sorted(i for i, s in enumerate(strings) if (s[0] in "ab") != (strings[0][0] in "ab")),
    ]
    # Each minimum is exact: spot-check the pair that attains it exists and nothing is lower
    # in a sample.
    for members, low in got:
        sample = random.Random(1).sample(members, 60)
        assert all(difflib_ratio(strings[a], strings[b]) >= low
                   for k, a in enumerate(sorted(sample)) for b in sorted(sample)[k + 1:])


class TestProgressCallable:
    def test_phases_in_order_with_counts(self):
        rng = random.Random(3)
        strings = ["".join(rng.choice("ab") for _ in range(200)) for _ in range(700)]
        seen = []
        got = ratiokit.cluster_canonicals(strings, 0.0, progress=lambda *a: seen.append(a))
        assert got == ratiokit.cluster_canonicals(strings, 0.0)
        assert seen, "a call of several seconds reports"
        phases = [p for p, _, _ in seen]
        order = ["candidates", "edges", "minimum"]
        assert [p for p in order if p in phases] == sorted(set(phases), key=order.index)
        for phase, done, total in seen:
            assert phase in order and 0 <= done <= total
        # Counts never go back within a phase.
        for a, b in zip(seen, seen[1:]):
            if a[0] == b[0]:
                assert a[1] <= b[1]

    def test_raising_cancels_with_that_exception(self):
        class Stop(Exception):
            pass

        def stop(phase, done, total):
            raise Stop(phase)

        rng = random.Random(3)
        strings = ["".join(rng.choice("ab") for _ in range(200)) for _ in range(1500)]
        with pytest.raises(Stop):
            ratiokit.cluster_canonicals(strings, 0.0, progress=stop)
        docs = [[rng.choice("abcdefghij") + rng.choice("abcdefghij") for _ in range(20)]
                for _ in range(30000)]
        with pytest.raises(Stop):
            ratiokit.cosine_join(docs, 0.3, progress=stop)
        # The pools are fine afterwards.
        assert ratiokit.cluster_canonicals(["abcd", "abce"], 0.5) == [([0, 1], 0.75)]

    def test_rationer_reports_cancels_and_keeps_its_signature(self):
        # The package's Rationer is the compiled class with a keyword-only progress added to
        # cluster_canonicals; the compiled method keeps its own signature.
        rng = random.Random(3)
        strings = ["".join(rng.choice("ab") for _ in range(200)) for _ in range(700)]
        r = ratiokit.Rationer(threads=2)
        assert isinstance(r, _ratiokit.Rationer)
        params = inspect.signature(r.cluster_canonicals).parameters
        assert list(params) == ["canonicals", "threshold", "progress"]
        assert params["progress"].kind is inspect.Parameter.KEYWORD_ONLY
        assert str(inspect.signature(_ratiokit.Rationer().cluster_canonicals)) == (
            "(canonicals, threshold)")
        seen = []
        got = r.cluster_canonicals(strings, 0.0, progress=lambda *a: seen.append(a))
        assert got == ratiokit.cluster_canonicals(strings, 0.0)
        assert got == r.cluster_canonicals(strings, 0.0, progress=None)
        # Which phases a call lasts long enough to see depends on the machine; that every
        # report names a phase of clustering does not.
        assert {phase for phase, _, _ in seen} <= {"candidates", "edges", "minimum"}
        assert all(0 <= done <= total for _, done, total in seen)

        class Stop(Exception):
            pass

        calls = []

        def stop(phase, done, total):
            calls.append(phase)
            raise Stop(phase)

        # A callable that raises cancels the call with its exception. Whether a call lasts until
        # its first report depends on the machine (this one takes seconds on most); what does
        # not is that a call whose callable raised returns nothing.
        try:
            again = r.cluster_canonicals(strings * 2, 0.0, progress=stop)
        except Stop:
            assert calls
        else:
            assert calls == [] and again == ratiokit.cluster_canonicals(strings * 2, 0.0)
        with pytest.raises(TypeError, match="argument 'progress': 'int' object is not callable"):
            r.cluster_canonicals(["a", "b"], 0.5, progress=3)
        with pytest.raises(TypeError):
            r.cluster_canonicals(["a", "b"], 0.5, print)  # keyword-only
        assert r.cluster_canonicals(["abcd", "abce"], 0.5) == [([0, 1], 0.75)]
        with pytest.raises(TypeError):
            pickle.dumps(r)  # like the compiled handle, whose pool cannot travel

    def test_slow_callable_changes_nothing_but_its_own_calls(self):
        # The computation runs beside the callable: a callable slower than the whole call gets
        # called once or twice, and the answer is the same.
        rng = random.Random(8)
        strings = ["".join(rng.choice("ab") for _ in range(200)) for _ in range(500)]
        seen = []

        def slow(phase, done, total):
            seen.append(phase)
            time.sleep(0.3)

        assert ratiokit.cluster_canonicals(strings, 0.0, progress=slow) == (
            ratiokit.cluster_canonicals(strings, 0.0))
        assert all(phase in ("candidates", "edges", "minimum") for phase in seen)

        def stop_when_slow(phase, done, total):
            time.sleep(0.2)
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            ratiokit.cluster_canonicals(strings * 4, 0.0, progress=stop_when_slow)
        assert ratiokit.cluster_canonicals(["abcd", "abce"], 0.5) == [([0, 1], 0.75)]

    def test_bad_progress_argument(self):
        with pytest.raises(TypeError, match="argument 'progress': 'int' object is not callable"):
            ratiokit.cluster_canonicals(["a", "b"], 0.5, progress=3)
        with pytest.raises(TypeError):
            ratiokit.cluster_canonicals(["a", "b"], 0.5, 0, print)  # keyword-only
        assert ratiokit.cluster_canonicals_lsh(["ab", "ab"], 0.5, 8, 2, progress=None) == [
            ([0, 1], 1.0)
        ]
        docs = [["a", "b"], ["a", "b"], ["c"]]
        assert _ratiokit._cosine_join(docs, 0.5, "cpu", 0, None) == _ratiokit.cosine_join(docs, 0.5)
        assert len(_ratiokit.cosine_join(docs, 0.5)) == 1


PHASE_CODE = """
    import random, ratiokit
    rng = random.Random(5)
    strings = ["".join(rng.choice("ab") for _ in range(120)) for _ in range(400)]
    strings = strings + strings[:50] + ["", ""]
    print(ratiokit.cluster_canonicals(strings, 0.0)[0][1])
    print(len(ratiokit.cluster_canonicals_lsh(strings, 0.5, 8, 2)))
"""


def test_progress_lines_name_every_phase_with_its_size():
    out, err = run_with_stderr(PHASE_CODE, {"RATIOKIT_PROGRESS": "1"})
    quiet_out, quiet_err = run_with_stderr(PHASE_CODE, {})
    assert out == quiet_out and quiet_err == ""
    lines = err.splitlines()
    assert "    [ratiokit] cluster: 452 strings, 401 distinct" in lines
    starts = [re.match(r"    \[ratiokit\] (\w+): start, ", line) for line in lines]
    assert [m.group(1) for m in starts if m] == [
        "candidates", "edges", "minimum", "signatures", "buckets", "verify", "minimum",
    ]
    ends = [line for line in lines if re.match(r"    \[ratiokit\] \w+: done, .* in \d+\.\d\ds$", line)]
    assert len(ends) == 7
    # The LSH lines count the caller's strings, copies included.
    assert re.search(r"lsh: 452 signatures in", err)
