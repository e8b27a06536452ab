"""Sequences of hashable items (lists of lines, token lists, tuples, bytes) and the package's
ratio and ratio_many call surface, with difflib as the oracle."""

import difflib
import inspect
import json
import pickle
import random
import re
import string
import subprocess
import sys
import textwrap

import pytest

import ratiokit
from ratiokit import _ratiokit


def plain(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def junk(a, b):
    return difflib.SequenceMatcher(None, a, b).ratio()


def source_lines():
    files = []
    for module in (difflib, json.decoder, random, re, string, textwrap, inspect):
        with open(inspect.getsourcefile(module), encoding="utf-8") as f:
            files.append(f.readlines())
    return files


def edited(lines, rng):
    out = list(lines)
    for _ in range(rng.randrange(1, 12)):
        if not out:
            break
        k = rng.randrange(len(out))
        action = rng.randrange(3)
        if action == 0:
            del out[k]
        elif action == 1:
            out.insert(k, out[rng.randrange(len(out))])
        else:
            out[k] = out[k].replace("e", "E", 1)
    return out


FILES = source_lines()


def test_lists_of_lines_match_difflib_with_and_without_autojunk():
    rng = random.Random(3)
    pairs = []
    for lines in FILES:
        pairs.append((lines, edited(lines, rng)))
        pairs.append((lines[: len(lines) // 3], rng.choice(FILES)[:400]))
    # Whole files have hundreds of lines: blank lines and lone brackets are popular there.
    assert all(len(b) >= 200 for _, b in pairs[::2])
    for a, b in pairs:
        assert ratiokit.ratio(a, b) == plain(a, b)
        assert ratiokit.ratio(a, b, autojunk=True) == junk(a, b)
    assert ratiokit.ratio(pairs) == [plain(a, b) for a, b in pairs]
    assert ratiokit.ratio(pairs, autojunk=True) == [junk(a, b) for a, b in pairs]
    assert ratiokit.ratio_many(pairs, 2) == [plain(a, b) for a, b in pairs]


def test_token_lists_and_tuples_match_difflib():
    rng = random.Random(5)
    tokens = [re.findall(r"\w+|\S", "".join(lines)) for lines in FILES]
    for _ in range(300):
        doc = rng.choice(tokens)
        start = rng.randrange(len(doc) - 600)
        a = doc[start : start + rng.randrange(0, 500)]
        b = edited(a, rng) if a and rng.random() < 0.5 else rng.choice(tokens)[start : start + 300]
        assert ratiokit.ratio(a, b) == plain(a, b)
        assert ratiokit.ratio(tuple(a), b) == plain(a, b)
        assert ratiokit.ratio(tuple(a), tuple(b), autojunk=True) == junk(a, b)


def test_small_alphabets_of_items_match_difflib():
    # Few distinct items make long repeated blocks and many ties: the tie-breaks must be difflib's.
    rng = random.Random(9)
    for _ in range(500):
        items = [0, 1, "x", (2,), None][: rng.randrange(1, 6)]
        a = [rng.choice(items) for _ in range(rng.randrange(0, 260))]
        b = [rng.choice(items) for _ in range(rng.randrange(0, 260))]
        assert ratiokit.ratio(a, b) == plain(a, b), (a, b)
        assert ratiokit.ratio(a, b, autojunk=True) == junk(a, b), (a, b)


def test_bytes_are_sequences_of_small_ints():
    rng = random.Random(11)
    for _ in range(200):
        a = bytes(rng.choice(b"ab\x00\xff") for _ in range(rng.randrange(0, 260)))
        b = bytes(rng.choice(b"ab\x00\xff") for _ in range(rng.randrange(0, 260)))
        assert ratiokit.ratio(a, b) == plain(a, b)
        assert ratiokit.ratio(bytearray(a), b, autojunk=True) == junk(a, b)
        assert ratiokit.ratio(list(a), b) == plain(list(a), b)
    assert ratiokit.ratio(b"", b"") == 1.0
    assert ratiokit.ratio([], ()) == 1.0
    assert ratiokit.ratio([1], []) == 0.0


class Folded:
    """Equal when equal ignoring case, with a hash that collides for everything."""

    def __init__(self, text):
        self.text = text

    def __eq__(self, other):
        return isinstance(other, Folded) and self.text.lower() == other.text.lower()

    def __hash__(self):
        return 0


def test_items_compare_by_python_equality_not_identity_or_type():
    a = [1, 2.0, True, "x", (1, 2)]
    b = [1.0, 2, 1, "x", (1.0, 2)]
    assert ratiokit.ratio(a, b) == plain(a, b) == 1.0
    a = [Folded("Ab"), Folded("c"), Folded("AB")]
    b = [Folded("ab"), Folded("C"), Folded("d")]
    assert ratiokit.ratio(a, b) == plain(a, b)
    assert ratiokit.ratio(a, b) != ratiokit.ratio([f.text for f in a], [f.text for f in b])
    # A NaN is not equal to itself, but a dict (difflib's index included) finds it by identity.
    nan = float("nan")
    assert ratiokit.ratio([nan, 1], [nan, 1]) == plain([nan, 1], [nan, 1]) == 1.0
    assert ratiokit.ratio([float("nan")], [float("nan")]) == plain([nan], [float("nan")]) == 0.0


def test_unhashable_items_raise_typeerror_like_difflib():
    for a, b in (([[1]], [[1]]), (["a"], [{}]), ([{1}], ["a"])):
        with pytest.raises(TypeError, match="unhashable type"):
            plain(a, b)
        with pytest.raises(TypeError, match="unhashable type"):
            ratiokit.ratio(a, b)
        with pytest.raises(TypeError, match="unhashable type"):
            ratiokit.ratio_many([(a, b)])


class Shrinking:
    """Empties the list it sits in the first time it is hashed."""

    def __init__(self, home):
        self.home = home

    def __hash__(self):
        self.home.clear()
        return 1


def test_a_list_emptied_while_its_items_are_hashed_is_read_as_it_was():
    b = ["p", "q"] * 50
    b.append(Shrinking(b))
    b.extend(["r"] * 50)
    kept = list(b)
    value = ratiokit.ratio(["p", "r", "q"], b)
    assert b == []
    assert value == plain(["p", "r", "q"], [x if not isinstance(x, Shrinking) else 0 for x in kept])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ratiokit.ratio("a"), TypeError, "ratio() missing 1 required positional argument: 'b'"),
        (lambda: ratiokit.ratio(), TypeError, "ratio() missing 1 required positional argument: 'a'"),
        (lambda: ratiokit.ratio("a", None), TypeError, "ratio() got b=None beside a str or bytes a: b must be the other side of the pair (b=None is the list form, ratio(pairs))"),
        (lambda: ratiokit.ratio([], [], []), TypeError, "ratio() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: ratiokit.ratio(a="x", b="y"), TypeError, "ratio() got some positional-only arguments passed as keyword arguments: 'a'"),
        (lambda: ratiokit.ratio("x", "y", junk=True), TypeError, "ratio() got an unexpected keyword argument 'junk'"),
        (lambda: ratiokit.ratio(1, "a"), TypeError, "argument 'a': 'int' object is not a str, list, tuple or bytes"),
        (lambda: ratiokit.ratio("a", ["a"]), TypeError, "argument 'b': a str cannot be compared with a 'list': give two str, or two lists, tuples or bytes of hashable items"),
        (lambda: ratiokit.ratio(b"a", "a"), TypeError, "argument 'a': a str cannot be compared with a 'bytes': give two str, or two lists, tuples or bytes of hashable items"),
        (lambda: ratiokit.ratio(["ab"]), TypeError, "argument 'pairs': 'str' object is not a pair of two items"),
        (lambda: ratiokit.ratio([["a", "b", "c"]]), ValueError, "expected a pair of 2 items, but got 3 items"),
        (lambda: ratiokit.ratio([("a", "b", "c")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (lambda: ratiokit.ratio_many("ab"), TypeError, "argument 'pairs': a 'str' is not an iterable of pairs"),
        (lambda: ratiokit.ratio_many(5), TypeError, "argument 'pairs': 'int' object is not iterable"),
        (lambda: ratiokit.ratio_many([5]), TypeError, "argument 'pairs': 'int' object is not a pair of two items"),
        (lambda: ratiokit.ratio_many([("a", ["a"])]), TypeError, "argument 'pairs': a str cannot be compared with a 'list': give two str, or two lists, tuples or bytes of hashable items"),
        (lambda: ratiokit.ratio_many([], 1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
        (lambda: ratiokit.ratio_many([], -1), OverflowError, "can't convert negative int to unsigned"),
        # The compiled module's own functions keep to str.
        (lambda: _ratiokit.ratio(["a"], ["a"]), TypeError, "argument 'a': 'list' object is not an instance of 'str'"),
        (lambda: _ratiokit.ratio_many([(b"a", b"a")]), TypeError, "argument 'pairs': 'bytes' object is not an instance of 'str'"),
        (lambda: _ratiokit.ratio_many([["a", "b"]]), TypeError, "argument 'pairs': 'list' object is not an instance of 'tuple'"),
    ],
)
def test_bad_calls_raise_exact_messages(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def test_public_ratio_is_the_compiled_function_and_pickles_by_name():
    assert ratiokit.ratio is _ratiokit._ratio_public
    assert ratiokit.ratio.__name__ == "ratio"
    assert pickle.loads(pickle.dumps(ratiokit.ratio)) is ratiokit.ratio
    assert ratiokit.ratio("abcd", "bcde", autojunk=0) == 0.75


@pytest.mark.parametrize("batch", ["ratio_many", "Rationer.ratio_many"])
def test_ratio_many_takes_any_iterable_of_pairs(batch):
    ratio_many = ratiokit.ratio_many if batch == "ratio_many" else ratiokit.Rationer().ratio_many
    pairs = [("abcd", "bcde"), ("kitten", "sitting"), ("", "x"), ("héllo", "hello")]
    want = [plain(a, b) for a, b in pairs]
    assert ratio_many(iter(pairs)) == want
    assert ratio_many(x for x in pairs) == want
    assert ratio_many(zip([a for a, _ in pairs], [b for _, b in pairs])) == want
    assert ratio_many([list(p) for p in pairs]) == want
    assert ratio_many([(list(a), tuple(b)) for a, b in pairs]) == want
    assert ratio_many(iter([])) == []
    np = pytest.importorskip("numpy")
    assert ratio_many(np.array(pairs)) == want
    assert ratio_many(np.array(pairs, dtype=object)) == want
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(pairs, columns=["a", "b"])
    assert ratio_many(frame.itertuples(index=False)) == want
    assert ratio_many(zip(frame["a"], frame["b"])) == want
    # Iterating a frame gives its column names, never its rows.
    with pytest.raises(TypeError, match="not a DataFrame"):
        ratio_many(frame)


def test_list_form_and_threads_take_any_iterable_of_pairs():
    pairs = [("abcd", "bcde"), ("kitten", "sitting"), ("", "x"), ("héllo", "hello")]
    want = [plain(a, b) for a, b in pairs]
    assert ratiokit.ratio_many(zip([a for a, _ in pairs], [b for _, b in pairs]), 1) == want
    assert ratiokit.ratio([list(p) for p in pairs]) == want
    assert ratiokit.ratio(iter(pairs), autojunk=True) == want


def test_long_generator_batches_keep_their_order():
    # Longer than one step of the batch reader, so that reading overlaps computing.
    rng = random.Random(13)
    pairs = [
        ("".join(rng.choices("abc", k=rng.randrange(20))), "".join(rng.choices("abc", k=rng.randrange(20))))
        if k % 3
        else ([rng.randrange(4) for _ in range(rng.randrange(20))], b"\x00\x01\x02" * (k % 5))
        for k in range(10_000)
    ]
    want = [plain(a, b) for a, b in pairs]
    assert ratiokit.ratio_many((p for p in pairs), 2) == want
    assert ratiokit.Rationer(threads=2).ratio_many(p for p in pairs) == want
    assert ratiokit.ratio(pairs, autojunk=True) == [junk(a, b) for a, b in pairs]


def test_cli_ratio_of_lines(tmp_path):
    first = tmp_path / "a.txt"
    second = tmp_path / "b.txt"
    first.write_bytes(b"one\r\ntwo\nthree\n\xff\n")
    second.write_bytes(b"one\ntwo\r\nfour\n\xff")
    done = subprocess.run(
        [sys.executable, "-m", "ratiokit", "ratio", "--lines", str(first), str(second)],
        capture_output=True, cwd=tmp_path, timeout=60,
    )
    assert done.returncode == 0, done.stderr
    with open(first, encoding="utf-8", errors="surrogateescape") as f1, open(
        second, encoding="utf-8", errors="surrogateescape"
    ) as f2:
        want = plain(f1.readlines(), f2.readlines())
    assert float(done.stdout) == want == 0.5
    done = subprocess.run(
        [sys.executable, "-m", "ratiokit", "ratio", "--lines", str(first), str(tmp_path / "none")],
        capture_output=True, cwd=tmp_path, timeout=60,
    )
    assert done.returncode == 1 and b"none" in done.stderr

