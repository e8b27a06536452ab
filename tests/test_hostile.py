"""Hostile arguments against every entry point: only the documented exceptions come out.

Each entry point is one row of ENTRY_POINTS: its parameters and the kind of each. Hypothesis
draws, per parameter, either a well-formed value or a hostile one (wrong types, nested and
ragged containers, generators, subclasses, sequences whose __len__/__iter__/__getitem__ raise,
lie or change the sequence while it is read, numbers whose __index__/__float__ misbehave, huge
counts). A call with only well-formed values must succeed and return the documented shape; any
other call may succeed or raise one of ALLOWED (or the hostile object's own exception), and
must leave the interpreter working.
"""

from __future__ import annotations

import collections.abc
import math
from dataclasses import dataclass
from typing import Any, Callable

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ratiokit import _ratiokit


class Boom(Exception):
    """What the hostile objects raise themselves; it must come out unchanged."""


# The interpreter's warning for __index__/__float__ returning a strict subclass, raised as an
# error under this suite's warning filter.
ALLOWED = (TypeError, ValueError, OverflowError, Boom, DeprecationWarning)


class Str(str):
    def __eq__(self, other):
        raise Boom("compared")

    __hash__ = str.__hash__

    def __len__(self):
        raise Boom("len of a str subclass")


class Pair(tuple):
    def __iter__(self):
        raise Boom("iterated a tuple subclass")

    def __len__(self):
        raise Boom("len of a tuple subclass")


class Seq(collections.abc.Sequence):
    """A registered Sequence over `items`; `fail` names the method that raises."""

    def __init__(self, items, fail=None, length=None):
        self.items = list(items)
        self.fail = fail
        self.length = length

    def __len__(self):
        if self.fail == "len":
            raise Boom("len")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, k):
        if self.fail == "getitem":
            raise Boom("getitem")
        return self.items[k]

    def __iter__(self):
        if self.fail == "iter":
            raise Boom("iter")
        if self.fail == "next":
            yield from self.items[:1]
            raise Boom("next")
        yield from self.items


class Growing(Seq):
    """Appends to itself while it is read, a bounded number of times."""

    def __getitem__(self, k):
        if len(self.items) < 64:
            self.items.append(self.items[k % len(self.items)])
        return self.items[k]

    __iter__ = collections.abc.Sequence.__iter__


class Shrinking(list):
    """A list subclass that drops items from its end while it is iterated."""

    def __iter__(self):
        k = 0
        while k < len(self):
            yield self[k]
            if len(self) > k + 1:
                self.pop()
            k += 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class IntSub(int):
    pass


class FloatSub(float):
    pass


# ---------------------------------------------------------------------------------------------
# Values by kind: well-formed ones, and hostile ones that may or may not be accepted.

text = st.text(alphabet=st.sampled_from("ab\u00e9\u4e00\U0001f600"), max_size=8)
junk = st.sampled_from(
    [None, b"ab", bytearray(b"ab"), 0, -1, 2**70, 1.5, math.nan, True, object(), {"a": "b"},
     {"a", "b"}, "\ud800", Boom("value")]
)


def gen(items):
    return (x for x in items)


def containers(item: st.SearchStrategy) -> st.SearchStrategy:
    """Lists of `item` in every hostile wrapping."""
    items = st.lists(item, max_size=5)
    return st.one_of(
        items,
        items.map(tuple),
        items.map(gen),
        items.map(iter),
        st.builds(Seq, items, st.sampled_from([None, "len", "getitem", "iter", "next"])),
        st.builds(Seq, items, st.just(None), st.sampled_from([0, -1, 2**40, 2**60, 2**62])),
        items.filter(bool).map(Growing),
        items.map(Shrinking),
    )


valid = {
    "text": text,
    "texts": st.lists(text, max_size=6),
    "pairs": st.lists(st.tuples(text, text), max_size=6),
    "docs": st.lists(st.lists(st.sampled_from(["x", "y", "z", "w"]), max_size=4), max_size=6),
    "count": st.integers(0, 3),
    "width": st.integers(0, 8),
    "real": st.floats(0.0, 1.0),
    "mode": st.sampled_from(["cpu", "GPU", "gpu+cpu"]),
}

hostile_pair = st.one_of(
    st.tuples(text, text),
    st.tuples(text, text).map(Pair),
    st.lists(text, min_size=2, max_size=2),
    st.tuples(text),
    st.tuples(text, text, text),
    st.tuples(text, junk),
    st.tuples(junk, text),
    st.tuples(text, st.lists(text, max_size=2)),
    junk,
)
hostile_text = st.one_of(text, text.map(Str), junk, st.lists(text, max_size=2))

hostile = {
    "text": hostile_text,
    "texts": st.one_of(text, junk, containers(hostile_text), containers(containers(text))),
    "pairs": st.one_of(text, junk, containers(hostile_pair)),
    "docs": st.one_of(text, junk, containers(st.one_of(containers(hostile_text), text, junk))),
    "count": st.one_of(
        st.integers(-(2**65), 2**65),
        st.sampled_from([2**16, 2**32, 2**64 - 1, 2**64, True, IntSub(2)]),
        st.builds(Index, st.sampled_from([1, 2**64 - 1, 2**64, -1, 1.0, "1", IntSub(1),
                                          Boom("index"), TypeError("index")])),
        junk,
    ),
    # Sizes of work rather than of a pool: huge ones are a user's request for huge work.
    "width": st.one_of(
        st.integers(-(2**65), 64),
        st.sampled_from([2**64, True, IntSub(2)]),
        st.builds(Index, st.sampled_from([1, 2**64, -1, 1.0, Boom("index")])),
        junk,
    ),
    "real": st.one_of(
        st.floats(allow_nan=True, allow_infinity=True),
        st.sampled_from([2**2000, -(2**2000), "0.5", Index(1), FloatSub(0.5)]),
        st.builds(Float, st.sampled_from([0.5, "0.5", 1, FloatSub(0.5), Boom("float"),
                                          ValueError("float")])),
        junk,
    ),
    "mode": st.one_of(
        st.sampled_from(["cpu", "tpu", "", " cpu", "gpu\x00", "\ud800", Str("cpu")]),
        junk,
    ),
}


# ---------------------------------------------------------------------------------------------
# The entry points.


def floats_in_unit(result, _args):
    assert isinstance(result, list)
    assert all(type(x) is float and 0.0 <= x <= 1.0 for x in result)


def one_float(result, _args):
    assert type(result) is float and 0.0 <= result <= 1.0


def clusters(result, _args):
    assert isinstance(result, list)
    for members, score in result:
        assert len(members) >= 2 and members == sorted(set(members))
        assert type(score) is float


def joined(result, _args):
    assert isinstance(result, list)
    for j, i, cos in result:
        assert type(j) is int and type(i) is int and j < i and type(cos) is float


def instance(result, _args):
    assert result is not None


@dataclass
class Entry:
    name: str
    call: Callable[..., Any] | None  # None: not in this build
    params: list[tuple[str, str, bool]]  # (name, kind, required)
    check: Callable[[Any, dict], None]


def method(cls_name: str, make: Callable[[Any], Any], name: str):
    cls = getattr(_ratiokit, cls_name, None)
    if cls is None:
        return None
    instance_ = make(cls)
    return getattr(instance_, name)


def rationer(*args, **kwargs):
    return _ratiokit.Rationer(*args, **kwargs)


ENTRY_POINTS = [
    Entry("ratio", _ratiokit.ratio, [("a", "text", True), ("b", "text", True)], one_float),
    Entry("ratio_many", _ratiokit.ratio_many,
          [("pairs", "pairs", True), ("threads", "count", False)], floats_in_unit),
    Entry("cluster_canonicals", getattr(_ratiokit, "cluster_canonicals", None),
          [("canonicals", "texts", True), ("threshold", "real", True), ("threads", "count", False)],
          clusters),
    Entry("cluster_canonicals_lsh", getattr(_ratiokit, "cluster_canonicals_lsh", None),
          [("canonicals", "texts", True), ("threshold", "real", True), ("num_perm", "width", True),
           ("band_rows", "width", True), ("threads", "count", False)], clusters),
    Entry("cosine_join", getattr(_ratiokit, "cosine_join", None),
          [("docs", "docs", True), ("threshold", "real", True), ("concurrency", "mode", False),
           ("threads", "count", False)], joined),
    Entry("Rationer", getattr(_ratiokit, "Rationer", None),
          [("concurrency", "mode", False), ("threads", "count", False), ("delta", "real", False)],
          instance),
    Entry("Rationer.ratio", method("Rationer", lambda c: c(threads=2), "ratio"),
          [("a", "text", True), ("b", "text", True)], one_float),
    Entry("Rationer.ratio_many", method("Rationer", lambda c: c(), "ratio_many"),
          [("pairs", "pairs", True)], floats_in_unit),
    Entry("Rationer.cluster_canonicals", method("Rationer", lambda c: c(threads=1),
                                                "cluster_canonicals"),
          [("canonicals", "texts", True), ("threshold", "real", True)], clusters),
    Entry("CosineJoiner", getattr(_ratiokit, "CosineJoiner", None), [("docs", "docs", True)],
          instance),
    Entry("CosineJoiner.join", method("CosineJoiner", lambda c: c([["x", "y"], ["y"], ["x"]]),
                                      "join"),
          [("threshold", "real", True), ("concurrency", "mode", False), ("threads", "count", False)],
          joined),
]


@st.composite
def arguments(draw, entry: Entry):
    """(positional args, keyword args, whether every value drawn is well formed)."""
    args, kwargs, well_formed = [], {}, True
    by_keyword = draw(st.booleans())
    for name, kind, required in entry.params:
        if not required and draw(st.integers(0, 3)) == 0:
            by_keyword = True  # a gap: the rest go by keyword
            continue
        good = draw(st.integers(0, 2)) == 0
        value = draw(valid[kind] if good else hostile[kind])
        well_formed &= good
        if by_keyword:
            kwargs[name] = value
        else:
            args.append(value)
    return args, kwargs, well_formed


@pytest.mark.parametrize("entry", ENTRY_POINTS, ids=lambda e: e.name)
def test_hostile_arguments_raise_only_documented_exceptions(entry):
    # A registration dropped from the module must fail here, not pass as a skip.
    assert entry.call is not None, f"{entry.name} is not in this build"

    @settings(max_examples=100, deadline=None, suppress_health_check=list(HealthCheck))
    @given(arguments(entry))
    def check(drawn):
        args, kwargs, well_formed = drawn
        try:
            result = entry.call(*args, **kwargs)
        except ALLOWED as error:
            assert not well_formed, f"well-formed arguments raised {error!r}"
            return
        entry.check(result, kwargs)

    check()
    # Whatever happened, the module still works.
    assert _ratiokit.ratio("abcd", "bcde") == 0.75
    assert _ratiokit.ratio_many([("abcd", "bcde")] * 40, threads=2) == [0.75] * 40


def test_lying_lengths_size_nothing():
    # A Sequence's length is only a hint: a huge claim must neither fail the call nor reserve
    # memory for it, and a claim of zero must not lose items.
    pairs = [("ab", "b"), ("abcd", "bcde")]
    for length in (0, 1, 2**36, 2**60, 2**62):
        assert _ratiokit.ratio_many(Seq(pairs, length=length)) == [2 / 3, 0.75], length
    if hasattr(_ratiokit, "cosine_join"):
        docs = Seq([["x", "y"], ["x", "y"], ["z"]], length=2**60)
        assert [(j, i) for j, i, _ in _ratiokit.cosine_join(docs, 0.5)] == [(0, 1)]


def test_sequences_changing_size_while_read():
    grown = Growing([("ab", "ab")])
    assert _ratiokit.ratio_many(grown) == [1.0] * 64
    shrunk = Shrinking([("a", "a"), ("a", "b"), ("b", "b"), ("ab", "b")])
    assert _ratiokit.ratio_many(shrunk) == [1.0, 0.0]


def test_user_exceptions_come_out_unchanged():
    for fail in ("len", "getitem", "iter", "next"):
        seq = Seq([("a", "b"), ("c", "d")], fail=fail)
        if fail == "len":
            assert _ratiokit.ratio_many(seq) == [0.0, 0.0]  # a failing length is ignored
            continue
        if fail == "getitem":  # iteration does not go through __getitem__ here
            assert _ratiokit.ratio_many(seq) == [0.0, 0.0]
            continue
        with pytest.raises(Boom):
            _ratiokit.ratio_many(seq)
    with pytest.raises(Boom):
        _ratiokit.ratio_many([], Index(Boom("index")))
    if hasattr(_ratiokit, "cluster_canonicals"):
        with pytest.raises(Boom):
            _ratiokit.cluster_canonicals(["a", "b"], Float(Boom("float")))


def test_huge_thread_counts_are_capped_not_refused():
    pairs = [("abcd", "bcde")] * 100
    for threads in (2**16, 2**32, 2**64 - 1, Index(2**64 - 1)):
        assert _ratiokit.ratio_many(pairs, threads) == [0.75] * 100
    with pytest.raises(OverflowError):
        _ratiokit.ratio_many(pairs, 2**64)
