import itertools
import os
import random
import re
import subprocess
import sys

import pytest

import ratiokit
from conftest import difflib_ratio

M64 = (1 << 64) - 1
FNV_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3


# An independent derivation of the whole pipeline, with difflib as the ratio.
def fnv1a(values):
    h = FNV_BASIS
    for v in values:
        h = ((h ^ v) * FNV_PRIME) & M64
    return h


def hash_functions(num_perm):
    s = 0x9E3779B97F4A7C15
    out = []

    def step():
        nonlocal s
        s ^= (s << 13) & M64
        s ^= s >> 7
        s ^= (s << 17) & M64
        return s

    for _ in range(num_perm):
        a = step() | 1
        out.append((a, step()))
    return out


def shingles(text):
    data = text.encode("utf-8", "surrogatepass")
    if len(data) < 10:
        return {fnv1a(data)}
    return {fnv1a(data[i : i + 9]) for i in range(len(data) - 8)}


def reference_lsh(strings, threshold, num_perm, band_rows):
    funcs = hash_functions(num_perm)
    sigs = [[min((a * h + b) & M64 for h in shingles(s)) for a, b in funcs] for s in strings]
    bands = num_perm // band_rows if band_rows and strings else 0
    candidates = set()
    for k in range(bands):
        buckets = {}
        for j, sig in enumerate(sigs):
            key = fnv1a(sig[k * band_rows : (k + 1) * band_rows])
            buckets.setdefault(key, []).append(j)
        for members in buckets.values():
            candidates.update(itertools.combinations(members, 2))
    parent = list(range(len(strings)))

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for lo, hi in candidates:
        if difflib_ratio(strings[lo], strings[hi]) >= threshold:
            parent[find(lo)] = find(hi)
    groups = {}
    for i in range(len(strings)):
        groups.setdefault(find(i), []).append(i)
    clusters = [
        (m, min(difflib_ratio(strings[a], strings[b]) for a, b in itertools.combinations(m, 2)))
        for m in groups.values()
        if len(m) > 1
    ]
    return sorted(clusters), candidates


def families(seed, count=8, size=5, alphabet="abcdefgh (),:=", length=(8, 40)):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        base = "".join(rng.choice(alphabet) for _ in range(rng.randint(*length)))
        for _ in range(size):
            s = list(base)
            for _ in range(rng.randint(0, 2)):
                s[rng.randrange(len(s))] = rng.choice(alphabet)
            out.append("".join(s))
    rng.shuffle(out)
    return out


@pytest.mark.parametrize(
    "seed, threshold, num_perm, band_rows",
    [(1, 0.8, 32, 4), (2, 0.6, 24, 2), (3, 0.9, 10, 3), (4, 0.5, 16, 8), (5, 0.7, 7, 7)],
)
def test_matches_reference_on_near_duplicate_families(seed, threshold, num_perm, band_rows):
    strings = families(seed) + ["", "", "short", "shorx", "x" * 9, "x" * 10]
    expected, candidates = reference_lsh(strings, threshold, num_perm, band_rows)
    assert candidates  # the comparison would be vacuous otherwise
    got = ratiokit.cluster_canonicals_lsh(strings, threshold, num_perm, band_rows)
    assert sorted(got) == expected


def test_short_strings_meet_only_when_equal():
    strings = ["abc", "abd", "abc", "", "", "abcdefghi", "abcdefghj"]
    got = ratiokit.cluster_canonicals_lsh(strings, 0.1, 16, 4)
    assert got == [([0, 2], 1.0), ([3, 4], 1.0)]
    # The exact variant links the near misses the whole-string hash keeps apart.
    exact_members = {tuple(m) for m, _ in ratiokit.cluster_canonicals(strings, 0.1)}
    assert (0, 1, 2, 5, 6) in exact_members


def test_no_bands_no_clusters():
    strings = ["the same long string"] * 3
    assert ratiokit.cluster_canonicals_lsh(strings, 0.5, 0, 4) == []
    assert ratiokit.cluster_canonicals_lsh(strings, 0.5, 16, 0) == []
    assert ratiokit.cluster_canonicals_lsh(strings, 0.5, 3, 4) == []
    assert ratiokit.cluster_canonicals_lsh(strings, 0.5, 4, 4) == [([0, 1, 2], 1.0)]
    assert ratiokit.cluster_canonicals_lsh([], 0.5, 16, 4) == []


def test_oversized_parameters():
    # Nothing can pair up, so no signature (or hash function) is ever made.
    assert ratiokit.cluster_canonicals_lsh(["only one string"], 0.5, 2**64 - 1, 1) == []
    # n * bands must not wrap into a short key array.
    for num_perm, band_rows in ((2**64 - 1, 1), (2**63, 2**62)):
        with pytest.raises(MemoryError):
            ratiokit.cluster_canonicals_lsh(["some string", "other"], 0.5, num_perm, band_rows)


def test_trailing_signature_values_fill_no_band():
    # 10 values in bands of 3 make 3 bands, like 9 and 11: the values past the last whole band
    # never reach a bucket.
    strings = families(11, count=10, size=4)
    for num_perm in (9, 10, 11):
        expected, _ = reference_lsh(strings, 0.6, num_perm, 3)
        assert sorted(ratiokit.cluster_canonicals_lsh(strings, 0.6, num_perm, 3)) == expected
    assert sorted(ratiokit.cluster_canonicals_lsh(strings, 0.6, 10, 3)) == sorted(
        ratiokit.cluster_canonicals_lsh(strings, 0.6, 9, 3)
    )


def test_non_ascii_shingles_over_utf8_bytes():
    # "é€" is 5 bytes in UTF-8 but 2 code points: "abcdé€" has 10 bytes, so it is shingled,
    # while the ratio counts code points.
    base = "Grüße, 世界! ünïcödé " * 2
    strings = [base, base.replace("世", "丗"), "abcdé€", "abcdé€", base[::-1]]
    strings += ["abcde€", "abcde€"]
    expected, _ = reference_lsh(strings, 0.7, 32, 2)
    got = sorted(ratiokit.cluster_canonicals_lsh(strings, 0.7, 32, 2))
    assert got == expected
    assert ([2, 3], 1.0) in got and ([5, 6], 1.0) in got
    assert any(members[:2] == [0, 1] for members, _ in got)


def test_same_result_for_any_thread_count_and_run():
    strings = families(21, count=20, size=6)
    runs = [ratiokit.cluster_canonicals_lsh(strings, 0.7, 32, 4, threads=t) for t in (0, 1, 4, 0)]
    assert runs[0]
    assert all(r == runs[0] for r in runs)
    assert ratiokit.cluster_canonicals_lsh(strings, 0.7, 32, 4, 4) == runs[0]


def test_result_types():
    [(members, score)] = ratiokit.cluster_canonicals_lsh(["same text here"] * 2, 0.5, 8, 2)
    assert type(members) is list and all(type(i) is int for i in members)
    assert type(score) is float


PROGRESS_CODE = (
    "import ratiokit\n"
    "texts = ['def first(x): return x', 'class Second: pass', 'while True: sleep(9)']\n"
    "strings = [texts[i % 3] for i in range(40)]\n"
    "print(len(ratiokit.cluster_canonicals_lsh(strings, 0.9, 16, 4)))\n"
)


def stderr_of(env_update, drop=()):
    env = {k: v for k, v in os.environ.items() if k not in drop}
    env.update(env_update)
    done = subprocess.run(
        [sys.executable, "-c", PROGRESS_CODE],
        env=env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "3\n"
    return done.stderr


@pytest.mark.parametrize("value", ["", "1"])
def test_progress_lines(value):
    lines = [line for line in stderr_of({"RATIOKIT_PROGRESS": value}).splitlines()
             if line.startswith("    [ratiokit] lsh:")]
    # 40 strings in 3 groups of equal strings (14, 13, 13): every pair inside a group.
    pairs = 91 + 78 + 78
    expected = [("signatures", 40), ("candidate pairs", pairs), ("verified pairs", pairs)]
    assert len(lines) == 3
    for line, (what, count) in zip(lines, expected):
        match = re.fullmatch(r"    \[ratiokit\] lsh: (\d+) " + what + r" in \d+\.\d\ds", line)
        assert match, line
        assert int(match.group(1)) == count


def test_no_progress_without_the_variable():
    assert stderr_of({}, drop=("RATIOKIT_PROGRESS",)) == ""


def test_signature():
    import inspect

    assert str(inspect.signature(ratiokit._ratiokit.cluster_canonicals_lsh)) == (
        "(canonicals, threshold, num_perm, band_rows, threads=0)"
    )
    # The package's function adds only a keyword-only progress callable.
    params = inspect.signature(ratiokit.cluster_canonicals_lsh).parameters
    assert list(params) == ["canonicals", "threshold", "num_perm", "band_rows", "threads", "progress"]
    assert params["progress"].kind is inspect.Parameter.KEYWORD_ONLY


def test_large_buckets_match_reference():
    # Families of over 16 near-identical strings share buckets too large to list pair by pair;
    # their walk with bounds and a forest must find the same clusters and minima.
    strings = families(11, count=3, size=45, length=(30, 40)) + families(12, count=4, size=6)
    strings += strings[:40:3]  # copies, both orientations
    for threshold, num_perm, band_rows in [(0.9, 32, 4), (0.75, 16, 2), (0.95, 8, 1)]:
        expected, _ = reference_lsh(strings, threshold, num_perm, band_rows)
        assert expected
        got = ratiokit.cluster_canonicals_lsh(strings, threshold, num_perm, band_rows)
        assert sorted(got) == expected


LSH_PEAK_CODE = r"""
import ratiokit
from test_join import PEAK_MIB
exec(PEAK_MIB)
lines = [f"line {i % 977} of the log: value={i % 313}" for i in range(8000)]

class Stop(Exception):
    pass

def stop(phase, done, total):
    if phase == "minimum":  # the clusters' minima cost the same for both methods
        raise Stop

try:
    if METHOD == "lsh":
        ratiokit.cluster_canonicals_lsh(lines, 0.9, 128, 4, progress=stop)
    else:
        ratiokit.cluster_canonicals(lines, 0.9, progress=stop)
except Stop:
    pass
print(peak_mib())
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc/self/status")
def test_memory_on_many_similar_lines_stays_near_the_exact_method():
    from test_join import run_for_peak

    (exact,) = run_for_peak('METHOD = "exact"' + LSH_PEAK_CODE)
    (lsh,) = run_for_peak('METHOD = "lsh"' + LSH_PEAK_CODE)
    # Listing every pair of the shared buckets took over half a gigabyte here.
    assert lsh < 2 * exact, (exact, lsh)
