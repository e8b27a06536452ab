"""The binding's conventions: parsing, conversion, messages, signatures, registration."""

import collections
import gc
import inspect

import pytest

import ratiokit
from ratiokit import _ratiokit


class Str(str):
    pass


class Pair(tuple):
    pass


Named = collections.namedtuple("Named", "a b")


def test_errors_that_pass_through_unchanged():
    with pytest.raises(UnicodeEncodeError) as info:
        _ratiokit.ratio("a", "\ud800")
    assert "argument" not in str(info.value)
    with pytest.raises(UnicodeEncodeError):
        _ratiokit.ratio_many([("ok", "x\udfff")])
    with pytest.raises(OverflowError) as info:
        _ratiokit.ratio_many([], -1)
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        _ratiokit.ratio_many([], 2**64)


def test_wrapped_type_error_keeps_the_cause():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as e:
                raise TypeError("bad index") from e

    with pytest.raises(TypeError) as info:
        _ratiokit.ratio_many([], BadIndex())
    assert str(info.value) == "argument 'threads': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_accepted_argument_forms():
    assert _ratiokit.ratio(a="abcd", b="bcde") == 0.75
    assert _ratiokit.ratio(Str("abcd"), Str("bcde")) == 0.75
    pairs = [("abcd", "bcde"), Pair(("a", "a")), Named("ab", "b")]
    assert _ratiokit.ratio_many(pairs) == [0.75, 1.0, 2 / 3]
    assert _ratiokit.ratio_many(tuple(pairs), threads=True) == [0.75, 1.0, 2 / 3]
    assert _ratiokit.ratio_many(pairs=[], threads=0) == []


def test_sequence_whose_length_fails_is_iterated():
    class Seq(collections.abc.Sequence):
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, k):
            if k < 2:
                return ("ab", "b")
            raise IndexError(k)

    assert _ratiokit.ratio_many(Seq()) == [2 / 3, 2 / 3]


def test_text_too_long_for_the_engine_is_refused():
    huge = "a" * (1 << 30)
    with pytest.raises(ValueError) as info:
        _ratiokit.ratio(huge, "a")
    assert str(info.value) == (
        "argument 'a': a text of 1073741824 code points is longer than the supported "
        "maximum of 1073741823"
    )
    with pytest.raises(ValueError):
        _ratiokit.ratio_many([("a", huge)])
    del huge
    gc.collect()


def test_text_signatures():
    assert str(inspect.signature(_ratiokit.ratio)) == "(a, b)"
    assert str(inspect.signature(_ratiokit.ratio_many)) == "(pairs, threads=0)"
    assert _ratiokit.ratio.__doc__.startswith("Fast exact difflib.SequenceMatcher")


def test_module_layout():
    names = [n for n in vars(_ratiokit) if not n.startswith("__")]
    assert names[:2] == ["ratio", "ratio_many"]
    assert issubclass(_ratiokit.PanicException, BaseException)
    assert not issubclass(_ratiokit.PanicException, Exception)
    assert ratiokit.PanicException is _ratiokit.PanicException
    assert "compiled core" in _ratiokit.__doc__


def test_public_ratio_takes_a_pair_or_a_list():
    assert ratiokit.ratio("abcd", "bcde") == 0.75
    assert ratiokit.ratio([("abcd", "bcde"), ("", "")]) == [0.75, 1.0]
    assert ratiokit.ratio([]) == []
