"""Runs and periodic texts: difflib's value, in bounded time and memory, with memory given back.

Repetitive inputs are where every end position of the automaton repeats (n^2 / 2 of them on a
run) and where a state's link chain is as long as the text. difflib itself is too slow past a
few thousand code points of such text, so long runs are checked against their closed form and
periodic texts against difflib at sizes it can still do.
"""

from __future__ import annotations

import random

import pytest
from conftest import difflib_ratio, run_python

from ratiokit import _ratiokit


def run_with_edit(n: int, p: int) -> float:
    # x^n against x^n with position p replaced: the longer side of p is the longest block and
    # is matched from a's start, so M = n - 1 when the left side is at least as long, and the
    # right side's length otherwise.
    m = n - 1 if p >= n - p - 1 else n - p - 1
    return 2 * m / (2 * n)


def test_closed_forms_agree_with_difflib_on_small_runs():
    for n in (1, 2, 9, 40):
        assert 2 * n / (2 * n + 1) == difflib_ratio("a" * n, "a" * n + "b")
        for p in range(n):
            assert run_with_edit(n, p) == difflib_ratio("a" * n, "a" * p + "c" + "a" * (n - p - 1))


@pytest.mark.parametrize("n", [300, 70_000, 400_000])
def test_long_runs_give_difflibs_value(n):
    # 70,000 used to overflow a 32-bit offset into sorted copies of the end positions.
    run = "a" * n
    assert _ratiokit.ratio(run, run + "b") == 2 * n / (2 * n + 1)
    assert _ratiokit.ratio(run + "b", run) == 2 * n / (2 * n + 1)
    for p in (0, n // 3, n // 2, n - 1):
        edited = run[:p] + "c" + run[p + 1:]
        assert _ratiokit.ratio(run, edited) == run_with_edit(n, p), p


def test_periodic_texts_with_edits_match_difflib():
    rng = random.Random(8)
    for trial in range(12):
        period = "".join(rng.choice("abc") for _ in range(1 + trial % 5))
        n = rng.randrange(520, 1000)
        a = (period * (n // len(period) + 1))[:n]
        b = list(a[rng.randrange(len(period)):])
        for _ in range(rng.randrange(1, 6)):
            op, pos = rng.randrange(3), rng.randrange(len(b))
            if op == 0:
                b[pos] = "x"
            elif op == 1:
                del b[pos]
            else:
                b.insert(pos, rng.choice("abcx"))
        b = "".join(b)
        assert _ratiokit.ratio(a, b) == difflib_ratio(a, b), trial
        assert _ratiokit.ratio(b, a) == difflib_ratio(b, a), trial
        assert _ratiokit.ratio_many([(a, b), (b, a)]) == [_ratiokit.ratio(a, b), _ratiokit.ratio(b, a)]


MEMORY_CHECK = """
from ratiokit import _ratiokit as rk

def status(field):
    # VmHWM rather than getrusage: ru_maxrss starts from the parent's peak at fork.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

n = 1_000_000
a = "ab" * (n // 2)
b = a[:n // 3] + "x" + a[n // 3 + 1:]
before = status("VmRSS")
assert rk.ratio("a" * n, "a" * n + "b") == 2 * n / (2 * n + 1)
rk.ratio(a, b)
rk.ratio_many([(a, b)], threads=2)
after = status("VmRSS")
peak = status("VmHWM")
print(before, after, peak)
"""


def test_long_repetitive_pairs_are_fast_and_give_their_memory_back():
    # Quadratic structures took gigabytes here (and kept them); now the peak stays linear in
    # the text and the per-thread scratch above a few megabytes goes back after each call.
    before, after, peak = map(int, run_python(MEMORY_CHECK, timeout=120).split())
    mib = 1 << 20
    assert peak - before < 600 * mib, (before, peak)
    assert after - before < 40 * mib, (before, after)
