"""Runs and periodic texts: difflib's value, in bounded time and memory, with memory given back.

Repetitive inputs are where every end position of the automaton repeats (n^2 / 2 of them on a
run) and where a state's link chain is as long as the text. difflib itself is too slow past a
few thousand code points of such text, so long runs are checked against their closed form and
periodic texts against difflib at sizes it can still do.
"""

from __future__ import annotations

import difflib
import math
import os
import random
import subprocess
import sys

import pytest
from conftest import difflib_ratio, run_python

import ratiokit
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
    # From about 66,000 on, n^2 / 2 end positions no longer fit a 32-bit offset into sorted
    # copies of them; the copies must stay within their budget.
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
    # Any structure quadratic in the text would take gigabytes here; the peak must stay linear
    # in the text and the per-thread scratch above a few megabytes must go back after the call.
    before, after, peak = map(int, run_python(MEMORY_CHECK, timeout=120).split())
    mib = 1 << 20
    assert peak - before < 600 * mib, (before, peak)
    assert after - before < 40 * mib, (before, after)


def periodic(pattern: str, n: int) -> str:
    return (pattern * (n // len(pattern) + 1))[:n]


# Runs and periodic texts of different periods: difflib's recursion cuts these into a window
# per block, each of which finds its one short block and must rule out the rest of its side.
PERIODIC_PAIRS = [("ab", "a"), ("abcd", "ac"), ("ab", "aab"), ("a", "a"), ("abc", "ab"), ("aabb", "ba")]


@pytest.mark.parametrize("pa,pb", PERIODIC_PAIRS)
def test_periodic_against_runs_and_other_periods_match_difflib(pa, pb):
    rng = random.Random(len(pa) * 7 + len(pb))
    for n in (9, 70, 200, 360):
        a, b = periodic(pa, n), periodic(pb, n + rng.randrange(-n // 3, n // 3 + 1))
        for x, y in ((a, b), (b, a), (a, b[1:] + "x"), (a[:n // 2] + "y" + a[n // 2:], b)):
            want = difflib_ratio(x, y)
            assert _ratiokit.ratio(x, y) == want, (pa, pb, n)
            assert _ratiokit._ratio_by(x, y, "automaton") == want, (pa, pb, n)
            if min(len(x), len(y)) <= 256:
                assert _ratiokit._ratio_by(x, y, "bits") == want, (pa, pb, n)
            # The threshold tests stop on the count the threshold needs: at the ratio exactly
            # the pair qualifies with its exact value, just above it it does not.
            assert ratiokit.extract(y, [x], score_cutoff=want) == [(x, want, 0)]
            assert ratiokit.extract(y, [x], score_cutoff=math.nextafter(want, 2)) == []
            # get_close_matches scores with difflib's autojunk rule (popular characters).
            for cutoff in (0.3, 0.6, 0.75):
                got = ratiokit.get_close_matches(y, [x, a, b], cutoff=cutoff)
                assert got == difflib.get_close_matches(y, [x, a, b], cutoff=cutoff), cutoff


@pytest.mark.parametrize("n", [20_000, 300_000])
def test_short_periodic_against_long_run(n):
    # Every "a" of the short text is matched, one block each, in order: M = 100.
    short, run = "ab" * 100, "a" * n
    assert difflib_ratio(short, "a" * 500) == 200 / 700
    assert _ratiokit.ratio(short, run) == 200 / (200 + n)
    assert _ratiokit.ratio(run, short) == 200 / (200 + n)
    assert ratiokit.get_close_matches(short, [run, short], cutoff=0.5) == [short]


SHORT_AGAINST_LONG = """
import random, sys
from ratiokit import _ratiokit as rk

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

n, short_len, long_first = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
rng = random.Random(5)
words = ["lorem", "ipsum", "dolor", "sit", "amet", "short", "line", "one", "value", "log"]
text = " ".join(rng.choice(words) for _ in range(n // 4))[:n]
short = "short line one" if short_len == 0 else text[5000:5000 + short_len]
a, b = (text, short) if long_first else (short, text)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak so far is the texts' own; count the call's from here
before = status("VmRSS")
value = rk.ratio(a, b)
print(status("VmHWM") - before, value)
"""


@pytest.mark.parametrize("short_len", [0, 200])
@pytest.mark.parametrize("long_first", [False, True])
def test_short_against_long_costs_a_few_bytes_per_code_point(short_len, long_first):
    # Neither text gets an automaton of the long one: the long text costs its code points and at
    # most a few words of matching statistics each (the masks of a short text, a few megabytes).
    n = 3_000_000
    done = subprocess.run([sys.executable, "-c", SHORT_AGAINST_LONG, str(n), str(short_len),
                           "1" if long_first else "0"], capture_output=True, text=True,
                          timeout=300, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stderr
    grew, value = done.stdout.split()
    assert 0 < float(value) < 0.01
    assert int(grew) < 20 * n, int(grew) / n
