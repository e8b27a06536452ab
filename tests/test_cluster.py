"""cluster_canonicals() against a brute-force oracle built on difflib: exact members and minima."""

import collections.abc
import inspect
import math
import os
import random
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import difflib_ratio
from test_ratio import mutate
from hypothesis import given, settings
from hypothesis import strategies as st

import ratiokit
from ratiokit import _ratiokit

THRESHOLDS = [0.0, 0.5, 0.8, 0.95, 1.0]


class Oracle:
    """Every pair through difflib, oriented as the engine orients it: ratio(strings[lo], strings[hi])."""

    def __init__(self, strings):
        self.n = len(strings)
        self.r = {
            (i, j): difflib_ratio(strings[i], strings[j])
            for i in range(self.n)
            for j in range(i + 1, self.n)
        }

    def clusters(self, threshold):
        parent = list(range(self.n))

        def find(x):
            while parent[x] != x:
                parent[x] = parent[parent[x]]
                x = parent[x]
            return x

        for (i, j), r in self.r.items():
            if r >= threshold:
                parent[find(i)] = find(j)
        groups = {}
        for i in range(self.n):
            groups.setdefault(find(i), []).append(i)
        out = []
        for members in groups.values():
            if len(members) < 2:
                continue
            low = min(self.r[(a, b)] for k, a in enumerate(members) for b in members[k + 1 :])
            out.append((members, min(1.0, low)))
        return sorted(out)


def near_duplicate_families(seed, count=110, max_len=40):
    """Bases mutated by a few edits, chains of successive edits, exact duplicates, empties."""
    rng = random.Random(seed)
    alphabets = ["abc", "abcdefgh", "éaßx", "日本語ab", "the quick brown fox"]
    out = []
    while len(out) < count:
        alphabet = rng.choice(alphabets)
        base = "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))
        kind = rng.randrange(4)
        if kind == 0:  # a chain whose ends drift apart
            s = base
            for _ in range(rng.randrange(2, 5)):
                out.append(s)
                s = mutate(rng, s, alphabet, rng.randrange(1, 4))
        elif kind == 1:
            out.extend([base] * rng.randrange(1, 4))
        else:
            out.extend(mutate(rng, base, alphabet, rng.randrange(4)) for _ in range(rng.randrange(1, 6)))
        if rng.random() < 0.15:
            out.append("")
    out = out[:count]
    rng.shuffle(out)
    return out


@pytest.mark.parametrize("seed", range(6))
def test_matches_brute_force_oracle(seed):
    strings = near_duplicate_families(seed)
    oracle = Oracle(strings)
    for threshold in THRESHOLDS:
        got = _ratiokit.cluster_canonicals(strings, threshold)
        assert got == [tuple(c) for c in oracle.clusters(threshold)], threshold


def test_identical_for_any_thread_count():
    strings = near_duplicate_families(99, count=300, max_len=60)
    for threshold in (0.5, 0.8):
        results = [_ratiokit.cluster_canonicals(strings, threshold, threads) for threads in (0, 1, 4)]
        assert results[0] == results[1] == results[2]
        assert results[0]


@given(
    st.lists(st.text(alphabet="ab", max_size=6), max_size=12),
    st.sampled_from([0.0, 0.3, 0.5, 0.6, 2 / 3, 0.75, 0.8, 0.9, 1.0]),
)
@settings(max_examples=400, deadline=None)
def test_all_small_lists_over_two_letters(strings, threshold):
    got = _ratiokit.cluster_canonicals(strings, threshold)
    assert got == [tuple(c) for c in Oracle(strings).clusters(threshold)]


def test_documented_cases():
    assert _ratiokit.cluster_canonicals([], 0.5) == []
    assert _ratiokit.cluster_canonicals(["only"], 0.0) == []
    assert _ratiokit.cluster_canonicals(["same", "same"], 1.0) == [([0, 1], 1.0)]
    assert _ratiokit.cluster_canonicals(["", ""], 1.0) == [([0, 1], 1.0)]
    assert _ratiokit.cluster_canonicals(["abcdefgh", "zzzzzzzz", "abcdefgx"], 0.8) == [([0, 2], 0.875)]
    # A chain: the ends fall below the threshold, and the minimum reports them.
    a, b, c = "abcdefghij", "abcdefghXY", "abcdefUVXY"
    ac = difflib_ratio(c, a)  # c comes first, so the automaton is a's
    assert ac < 0.8 <= min(difflib_ratio(c, b), difflib_ratio(a, b))
    assert _ratiokit.cluster_canonicals([c, "zzzz", a, b], 0.8) == [([0, 2, 3], ac)]
    # Clusters in order of their smallest member.
    got = _ratiokit.cluster_canonicals(["x1", "qrst", "y1", "qrsu", "x1", "y1"], 0.6)
    assert [members for members, _ in got] == [[0, 4], [1, 3], [2, 5]]


def test_a_ratio_equal_to_the_threshold_links_and_one_just_below_does_not():
    # 14/25 is the double 0.56, though 0.56 * 25 / 2 rounds above 7.
    x, y = "abcdefgpqrst", "abcdefgxyzuvw"
    assert difflib_ratio(x, y) == 0.56
    assert _ratiokit.cluster_canonicals([x, y], 0.56) == [([0, 1], 0.56)]
    assert _ratiokit.cluster_canonicals([x, y], math.nextafter(0.56, 1.0)) == []
    # 1/3 * 2 is 0.6666666666666666, just below the threshold, though ceil(t * 3 / 2) is 1.
    assert _ratiokit.cluster_canonicals(["a", "ab"], 0.6666666666666667) == []
    assert _ratiokit.cluster_canonicals(["a", "ab"], 2 / 3) == [([0, 1], 2 / 3)]


def test_nan_and_negative_thresholds_link_everything():
    strings = near_duplicate_families(5, count=40)
    everything = _ratiokit.cluster_canonicals(strings, 0.0)
    assert everything == [tuple(c) for c in Oracle(strings).clusters(0.0)]
    assert [members for members, _ in everything] == [list(range(len(strings)))]
    assert _ratiokit.cluster_canonicals(strings, -3.0) == everything
    assert _ratiokit.cluster_canonicals(strings, float("nan")) == everything
    assert _ratiokit.cluster_canonicals(strings, 1.5) == []


def test_result_types_and_signature():
    got = ratiokit.cluster_canonicals(canonicals=("abc", "abd", "abc"), threshold=0.6, threads=2)
    assert isinstance(got, list) and len(got) == 1
    members, score = got[0]
    assert type(got[0]) is tuple
    assert type(members) is list and all(type(m) is int for m in members)
    assert type(score) is float
    assert str(inspect.signature(_ratiokit.cluster_canonicals)) == "(canonicals, threshold, threads=0)"
    doc = _ratiokit.cluster_canonicals.__doc__
    assert "minimum pairwise ratio" in doc and "GIL" in doc and "threads=N" in doc


def run_with_stderr(code, env):
    full_env = dict(os.environ)
    full_env.pop("RATIOKIT_PROGRESS", None)
    full_env.update(env)
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout, done.stderr


def anagrams(seed, count):
    """Distinct shuffles of one word: both bounds are 1.0, so every pair is a candidate."""
    rng = random.Random(seed)
    out = set()
    while len(out) < count:
        letters = list("abcdefghijkl")
        rng.shuffle(letters)
        out.add("".join(letters))
    return sorted(out)


PROGRESS_CODE = """
    import sys
    from ratiokit import _ratiokit
    strings = {strings!r}
    print(_ratiokit.cluster_canonicals(strings, {threshold!r}))
"""


def test_progress_lines():
    strings = anagrams(3, 50)
    assert all(r < 0.9 for r in Oracle(strings).r.values())  # no pair links: every batch prints
    code = PROGRESS_CODE.format(strings=strings, threshold=0.9)
    out, err = run_with_stderr(code, {"RATIOKIT_PROGRESS": ""})
    assert out == "[]\n"
    edges = [line for line in err.splitlines() if " candidates (" in line]
    phases = [line for line in err.splitlines() if line not in edges]
    # Each phase starts and ends with a line that gives its size.
    assert [re.sub(r"in \d+\.\d\ds$", "in Ts", line) for line in phases] == [
        "    [ratiokit] candidates: start, 50 strings",
        "    [ratiokit] candidates: done, 1225 pairs in Ts",
        "    [ratiokit] edges: start, 1225 candidates",
        "    [ratiokit] edges: done, 0 edges in Ts",
        "    [ratiokit] minimum: start, 0 clusters, 0 pairs",
        "    [ratiokit] minimum: done, 0 clusters in Ts",
    ]
    # 1225 candidates: batches of 76 (1225 / 16), doubling, the last one short. A batch's line
    # is written only where a tenth of a second has passed since the last line, so which of
    # them appear depends on the machine's speed; those that do are these, in this order.
    batches = [
        "    [ratiokit] edges: 76/1225 candidates (6%), 76 tested, 0 edges",
        "    [ratiokit] edges: 228/1225 candidates (19%), 152 tested, 0 edges",
        "    [ratiokit] edges: 532/1225 candidates (43%), 304 tested, 0 edges",
        "    [ratiokit] edges: 1140/1225 candidates (93%), 608 tested, 0 edges",
        "    [ratiokit] edges: 1225/1225 candidates (100%), 85 tested, 0 edges",
    ]
    assert edges == [line for line in batches if line in edges]
    assert run_with_stderr(code, {}) == (out, "")


def test_progress_does_not_change_results():
    strings = near_duplicate_families(11, count=200)
    code = PROGRESS_CODE.format(strings=strings, threshold=0.5)
    quiet_out, quiet_err = run_with_stderr(code, {})
    loud_out, loud_err = run_with_stderr(code, {"RATIOKIT_PROGRESS": "1"})
    assert quiet_err == ""
    assert loud_out == quiet_out != "[]\n"
    line = re.compile(r"    \[ratiokit\] edges: (\d+)/(\d+) candidates \((\d+)%\), (\d+) tested, (\d+) edges")
    edges = 0
    for text in loud_err.splitlines():
        if not text.startswith("    [ratiokit] edges: ") or ": start, " in text or ": done, " in text:
            continue
        m = line.fullmatch(text)
        assert m, text
        done, total, pct, tested, now = map(int, m.groups())
        # Periodic lines come at most ten a second: a short call may write none.
        assert pct == round(done / total * 100) and tested > 0 and now >= edges and done <= total
        edges = now
