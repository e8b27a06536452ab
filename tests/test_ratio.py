"""ratio() against difflib, the oracle: exact equality, never approximate."""

import random
import threading

import pytest
from conftest import difflib_ratio, run_python
from hypothesis import given, settings
from hypothesis import strategies as st

import ratiokit
from ratiokit import _ratiokit

SMALL_ALPHABETS = ["ab", "abc", "abcd", "éaß", "日本語", "\U0001F600\U0001F601a"]


def texts(alphabet, max_size=60):
    return st.text(alphabet=alphabet, max_size=max_size)


pair_strategy = st.sampled_from(SMALL_ALPHABETS).flatmap(
    lambda alpha: st.tuples(texts(alpha), texts(alpha))
)


@given(pair_strategy)
@settings(max_examples=3000, deadline=None)
def test_small_alphabets_match_difflib(pair):
    a, b = pair
    assert _ratiokit.ratio(a, b) == difflib_ratio(a, b)


@given(st.text(max_size=300), st.text(max_size=300))
@settings(max_examples=500, deadline=None)
def test_arbitrary_unicode_matches_difflib(a, b):
    assert _ratiokit.ratio(a, b) == difflib_ratio(a, b)


def mutate(rng, s, alphabet, edits):
    s = list(s)
    for _ in range(edits):
        op = rng.randrange(3)
        pos = rng.randrange(len(s) + 1)
        if op == 0 or not s:
            s.insert(pos, rng.choice(alphabet))
        elif op == 1:
            del s[min(pos, len(s) - 1)]
        else:
            s[min(pos, len(s) - 1)] = rng.choice(alphabet)
    return "".join(s)


def random_pairs(seed, count, max_len, alphabets=SMALL_ALPHABETS):
    rng = random.Random(seed)
    for _ in range(count):
        alphabet = rng.choice(alphabets)
        a = "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))
        if rng.random() < 0.5:
            b = mutate(rng, a, alphabet, rng.randrange(1, 6))
        else:
            b = "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))
        yield a, b


def test_hundred_thousand_random_pairs_match_difflib():
    pairs = list(random_pairs(1, 100_000, 24))
    got = [_ratiokit.ratio(a, b) for a, b in pairs]
    assert got == [difflib_ratio(a, b) for a, b in pairs]


def test_long_texts_match_difflib():
    rng = random.Random(2)
    for alphabet, length in [("ab", 3000), ("abcdefgh", 2500), ("é日x", 1500), ("a", 600)]:
        a = "".join(rng.choice(alphabet) for _ in range(length))
        b = mutate(rng, a, alphabet, 40)
        assert _ratiokit.ratio(a, b) == difflib_ratio(a, b)
        assert _ratiokit.ratio(b, a) == difflib_ratio(b, a)


def test_order_dependent_pairs_keep_their_order():
    # The longest block "ab" occurs twice in b; where the split lands depends on the order.
    found = 0
    for a, b in random_pairs(3, 20_000, 10, ["ab", "abc"]):
        forward, backward = difflib_ratio(a, b), difflib_ratio(b, a)
        if forward != backward:
            found += 1
            assert _ratiokit.ratio(a, b) == forward
            assert _ratiokit.ratio(b, a) == backward
    assert found > 10


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("", "", 1.0),
        ("abc", "", 0.0),
        ("", "abc", 0.0),
        ("", "日本", 0.0),
        ("abcd", "bcde", 0.75),
        ("abc", "abc", 1.0),
        ("abc", "xyz", 0.0),
        ("a" * 50, "a" * 50, 1.0),
        ("a" * 100, "a" * 100, 1.0),
    ],
)
def test_fixed_values(a, b, expected):
    assert _ratiokit.ratio(a, b) == expected
    assert ratiokit.ratio(a, b) == expected


def test_long_runs_of_one_character():
    for n in (255, 256, 257, 300, 700):
        a = "a" * n
        b = a[: n // 3] + "b" + a[n // 3 :]
        c = a[:7] + "c" + a[8:]
        for x, y in [(a, b), (b, a), (b, c), (c, b), (a, c)]:
            assert _ratiokit.ratio(x, y) == difflib_ratio(x, y)


def test_code_points_not_bytes():
    assert _ratiokit.ratio("é", "e") == 0.0
    assert _ratiokit.ratio("café", "cafe") == difflib_ratio("café", "cafe") == 0.75
    astral = "\U0001F600" * 3 + "x"
    assert _ratiokit.ratio(astral, "\U0001F600x") == difflib_ratio(astral, "\U0001F600x")


ENGINE_CHECK = """
import random, difflib
from ratiokit import _ratiokit
rng = random.Random(5)
bad = 0
for trial in range(150):
    alphabet = rng.choice(["ab", "abc", "abcdefghij", "a"])
    # Past 256 code points on both sides, so that the work factor is what picks the search.
    a = "".join(rng.choice(alphabet) for _ in range(rng.randrange(257, 500)))
    b = "".join(rng.choice(alphabet) for _ in range(rng.randrange(257, 500)))
    if _ratiokit.ratio(a, b) != difflib.SequenceMatcher(None, a, b, autojunk=False).ratio():
        bad += 1
print(bad)
"""


@pytest.mark.parametrize("factor", ["0", "18446744073709551615", "34", "+5", "junk"])
def test_both_engines_match_difflib(factor):
    # 0 sends every pair that shares a character to the automaton; the largest value sends
    # every ASCII pair to the b2j engine.
    assert run_python(ENGINE_CHECK, env={"RK_WORK_FACTOR": factor}).strip() == "0"


# Lengths where the bit-parallel search changes shape: one machine word and the next, several
# words, its largest size, and rows far longer than the columns.
BOUNDARY_LENGTHS = [1, 2, 63, 64, 65, 127, 128, 129, 191, 192, 193, 255, 256]


def shaped_pairs(seed, count):
    """Pairs built to make the longest-block tie-break decide: small alphabets, periodic texts
    with many equal-length blocks, copies with a few edits, and mixed string widths."""
    rng = random.Random(seed)
    alphabets = ["ab", "abc", "a", "é\u0101", "\U0001F600\U0001F601a", "xyz日"]
    for k in range(count):
        alphabet = alphabets[k % len(alphabets)]
        la = rng.choice(BOUNDARY_LENGTHS) if k % 2 else rng.randrange(300)
        lb = rng.choice(BOUNDARY_LENGTHS + [600, 1500]) if k % 3 else rng.randrange(300)
        if k % 5 == 0:  # periodic: every block has equal-length rivals
            unit = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 5)))
            a = (unit * (la // len(unit) + 1))[:la]
            b = (unit[::-1] * (lb // len(unit) + 1))[:lb]
        else:
            a = "".join(rng.choice(alphabet) for _ in range(la))
            b = mutate(rng, a, alphabet, rng.randrange(1, 8))[:lb] if k % 4 == 1 else "".join(
                rng.choice(alphabet) for _ in range(lb)
            )
        if k % 7 == 0:  # a and b of different widths
            b = b + "\u00e9" if k % 2 else b + "\U0001F602"
        yield a, b


@pytest.mark.parametrize("search", ["bits", "b2j", "automaton", "diag"])
def test_every_search_matches_difflib(search):
    checked = 0
    for a, b in shaped_pairs({"bits": 1, "b2j": 2, "automaton": 3, "diag": 4}[search], 900):
        if search == "b2j":
            a, b = a.encode("ascii", "replace").decode(), b.encode("ascii", "replace").decode()
        elif search == "bits" and min(len(a), len(b)) > 256:
            continue
        assert _ratiokit._ratio_by(a, b, search) == difflib_ratio(a, b), (search, a, b)
        checked += 1
    assert checked > 600


def test_forced_search_refuses_pairs_it_cannot_serve():
    with pytest.raises(ValueError, match="bits"):
        _ratiokit._ratio_by("a" * 257, "b" * 257, "bits")
    with pytest.raises(ValueError, match="b2j"):
        _ratiokit._ratio_by("é", "e", "b2j")
    with pytest.raises(ValueError, match="diag"):
        _ratiokit._ratio_by("a" * 65_534, "b", "diag")
    with pytest.raises(ValueError, match="unknown search"):
        _ratiokit._ratio_by("a", "b", "fast")
    assert _ratiokit._ratio_by("", "", "bits") == 1.0


def test_many_threads_agree_with_sequential_calls():
    pairs = list(random_pairs(9, 3000, 200))
    expected = [_ratiokit.ratio(a, b) for a, b in pairs]
    results = {}

    def work(k):
        results[k] = [_ratiokit.ratio(a, b) for a, b in pairs]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == expected for r in results.values())
