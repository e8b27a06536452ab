"""ratio_join: the streamed walk against pairwise enumeration over several verified blocks,
as_frame columns, and peak memory at low thresholds (in a child process, measured by VmHWM:
bounds on memory, never on time)."""

import itertools
import os
import random
import subprocess
import sys

import pytest

import ratiokit


def enumerate_join(left, right, threshold):
    """Every pair's exact ratio through ratio_many, filtered: no bound, no candidate walk."""
    if right is None:
        keys = list(itertools.combinations(range(len(left)), 2))
        pairs = [(left[i], left[j]) for i, j in keys]
    else:
        keys = list(itertools.product(range(len(left)), range(len(right))))
        pairs = [(left[i], right[j]) for i, j in keys]
    ratios = ratiokit.ratio_many(pairs)
    return [(i, j, r) for (i, j), r in zip(keys, ratios) if r >= threshold]


def short_strings(seed, count, alphabet="abc", length=(0, 9)):
    rng = random.Random(seed)
    out = ["".join(rng.choices(alphabet, k=rng.randint(*length))) for _ in range(count)]
    return out + out[: count // 10]  # copies


class TestStreamedJoin:
    # Around 1,200 strings of similar lengths put over half a million pairs within the length
    # bound: several blocks are walked and verified one after another.
    @pytest.mark.parametrize("threshold", [0.0, 0.5, 0.75, 1.0])
    def test_self_join_over_several_blocks(self, threshold):
        strings = short_strings(1, 1100)
        assert ratiokit.ratio_join(strings, threshold=threshold) == \
            enumerate_join(strings, None, threshold)

    @pytest.mark.parametrize("threshold", [0.0, 0.6, 1.0])
    def test_two_sided_join_over_several_blocks(self, threshold):
        left, right = short_strings(2, 700), short_strings(3, 800)
        assert ratiokit.ratio_join(left, right, threshold=threshold) == \
            enumerate_join(left, right, threshold)

    def test_one_side_repeats_the_other(self):
        # Pairs of the same text on both sides are pairs like any other; none within a side.
        strings = ["parse(line)", "parse(lines)", "", "x"]
        assert ratiokit.ratio_join(strings, strings, threshold=0.0) == \
            enumerate_join(strings, strings, 0.0)
        assert ratiokit.ratio_join(strings, list(strings), threshold=0.97) == \
            [(0, 0, 1.0), (1, 1, 1.0), (2, 2, 1.0), (3, 3, 1.0)]

    def test_nothing_to_find(self):
        rng = random.Random(4)
        strings = ["".join(rng.choices("abcdefghijklmnopqrstuvwxyz", k=40)) for _ in range(2000)]
        assert ratiokit.ratio_join(strings, threshold=0.75) == []
        assert ratiokit.ratio_join(strings[:900], strings[900:], threshold=0.75) == []
        assert ratiokit.ratio_join(strings, threshold=0.75, as_frame=True).empty


class TestAsFrame:
    def test_columns_dtypes_and_rows(self):
        pandas = pytest.importorskip("pandas")
        strings = short_strings(5, 300)
        for right in (None, short_strings(6, 200)):
            rows = ratiokit.ratio_join(strings, right, threshold=0.6)
            frame = ratiokit.ratio_join(strings, right, threshold=0.6, as_frame=True)
            assert isinstance(frame, pandas.DataFrame)
            assert list(frame.columns) == ["left", "right", "ratio"]
            assert [str(t) for t in frame.dtypes] == ["int64", "int64", "float64"]
            assert list(frame.itertuples(index=False, name=None)) == rows
            assert list(frame.index) == list(range(len(rows)))
            # The columns are the frame's own: writing to them is allowed.
            frame.loc[0, "ratio"] = 2.0

    def test_empty_and_pandas_input(self):
        pandas = pytest.importorskip("pandas")
        for frame in (ratiokit.ratio_join([], threshold=0.5, as_frame=True),
                      ratiokit.ratio_join(["a"], ["b"], threshold=0.5, as_frame=True)):
            assert len(frame) == 0
            assert list(frame.columns) == ["left", "right", "ratio"]
            assert [str(t) for t in frame.dtypes] == ["int64", "int64", "float64"]
        series = pandas.Series(["apple pie", "apple pies", "banana"], index=[10, 20, 30])
        frame = ratiokit.ratio_join(series, threshold=0.8, as_frame=True)
        assert list(frame.itertuples(index=False, name=None)) == \
            ratiokit.ratio_join(list(series), threshold=0.8)

    def test_errors_and_progress_as_for_the_list(self):
        with pytest.raises(TypeError, match="item 1"):
            ratiokit.ratio_join(["a", 3], threshold=0.5, as_frame=True)
        seen = []
        ratiokit.ratio_join(short_strings(7, 400), threshold=0.5, as_frame=True,
                            progress=lambda *a: seen.append(a))
        assert {phase for phase, _, _ in seen} <= {"candidates", "join"}


# The child's peak resident set in MiB. VmHWM rather than getrusage: ru_maxrss starts from the
# parent's peak at fork.
PEAK_MIB = r"""
def peak_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) // 1024
"""

PEAK_CODE = PEAK_MIB + r"""
import random
import ratiokit
rng = random.Random(8)
# Nothing to find: every pair lies within the length bound, and most pairs over eight letters
# pass the count bound at 0.75.
noise = ["".join(rng.choices("abcdefgh", k=40)) for _ in range(6000)]
assert ratiokit.ratio_join(noise, threshold=0.75) == []
# A low threshold over a small alphabet: millions of candidates, few results.
low = ["".join(rng.choices("abcdefgh", k=rng.randint(20, 30))) for _ in range(6000)]
found = ratiokit.ratio_join(low, threshold=0.6)
print(len(found), peak_mib())
"""


def run_for_peak(code):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=600, cwd=os.path.dirname(os.path.abspath(__file__)))
    assert done.returncode == 0, done.stderr
    return map(int, done.stdout.split())


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc/self/status")
def test_join_memory_stays_with_the_strings_and_results():
    found, peak_mib = run_for_peak(PEAK_CODE)
    # Listing the candidates would take gigabytes; the strings, bounds, automata, one block and
    # the found pairs take tens of megabytes over the interpreter's own.
    assert peak_mib < 150 + found * 100 // 2**20, (found, peak_mib)
