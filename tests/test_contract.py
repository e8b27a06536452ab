"""One contract for every entry point: the input kinds each takes, one rule for counts and one for
thresholds, the exact messages the argument parser gives, and the package's namespace.

The registries below are the contract: INPUT_ENTRIES (each function over its column or documents
argument) and PAIR_ENTRIES (each function over its pairs) x INPUT_KINDS, COUNT_ENTRIES x bad
counts, UNIT_ENTRIES x bad thresholds, and BAD_CALLS, the exact messages, which must name every
public entry point at least once. tools/input_table.py prints the first two registries as the
table of what each entry point accepts.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
import textwrap
import types
from typing import Any, Callable, Dict, List, Optional, Tuple

import pytest

import ratiokit
from ratiokit import _ratiokit

try:
    import numpy
except ImportError:  # pragma: no cover - optional
    numpy = None
try:
    import pandas
except ImportError:  # pragma: no cover - optional
    pandas = None
try:
    import pyarrow
except ImportError:  # pragma: no cover - optional
    pyarrow = None

STRINGS = ["abcd", "abce", "xyz", "xyy", "abcd", "b"]
DOCS = [["a", "b"], ["a", "b", "c"], ["d"], ["a", "c"], ["d", "e"]]  # ragged on purpose

COLUMN = r"pass a column \(a Series, list or array of str\), not a "
NOT_ITERABLE = r"expected an iterable of str \(a list, tuple, Series or array\), got "
NOT_DOCUMENTS = r"expected an iterable of documents \(each an iterable of str tokens\), got "


def _needs(module: Any, make: Callable[[list], Any]) -> Optional[Callable[[list], Any]]:
    return None if module is None else make


# kind -> how to make it from a list (None where its library is missing).
INPUT_KINDS: Dict[str, Optional[Callable[[list], Any]]] = {
    "list": list,
    "tuple": tuple,
    "generator": lambda xs: (x for x in xs),
    "ndarray": _needs(numpy, lambda xs: numpy.array(xs, dtype=object if isinstance(xs[0], list) else None)),
    "Series": _needs(pandas, lambda xs: pandas.Series(xs)),
    "pyarrow array": _needs(pyarrow, lambda xs: pyarrow.array(xs)),
    "DataFrame": _needs(pandas, lambda xs: pandas.DataFrame({"column": xs})),
    "Mapping": lambda xs: dict(enumerate(xs)),
    "str": lambda xs: "abcd",
}


def _plain(labels: Any) -> List[int]:
    return [int(x) for x in labels]


def _joiner(docs: Any) -> Any:
    return ratiokit.CosineJoiner(docs).join(0.1)


# entry point -> (call over one column, argument name, sample input, kinds that are refused with
# their message; every other kind must give what the list gives).
REFUSED = {"DataFrame": COLUMN + "DataFrame", "Mapping": COLUMN + "dict", "str": NOT_ITERABLE + "str"}
KEYED = {"DataFrame": COLUMN + "DataFrame", "str": NOT_ITERABLE + "str"}  # a Mapping gives keys
DOC_REFUSED = {"DataFrame": COLUMN + "DataFrame", "Mapping": COLUMN + "dict", "str": NOT_DOCUMENTS + "str"}
INPUT_ENTRIES: Dict[str, Tuple[Callable[[Any], Any], str, list, Dict[str, str]]] = {
    "cluster_canonicals": (lambda c: ratiokit.cluster_canonicals(c, 0.5), "canonicals", STRINGS, REFUSED),
    "cluster_canonicals_lsh": (lambda c: ratiokit.cluster_canonicals_lsh(c, 0.5, 16, 1), "canonicals", STRINGS, REFUSED),
    "Rationer.cluster_canonicals": (lambda c: ratiokit.Rationer().cluster_canonicals(c, 0.5), "canonicals", STRINGS, REFUSED),
    "cluster_labels": (lambda c: _plain(ratiokit.cluster_labels(c, threshold=0.5)), "strings", STRINGS, REFUSED),
    "dedupe": (lambda c: _plain(ratiokit.dedupe(c, threshold=0.5)), "strings", STRINGS, REFUSED),
    "ratio_join(left)": (lambda c: ratiokit.ratio_join(c, threshold=0.5), "left", STRINGS, REFUSED),
    "ratio_join(right)": (lambda c: ratiokit.ratio_join(["abcd"], c, threshold=0.5), "right", STRINGS, REFUSED),
    "extract_many(queries)": (lambda c: ratiokit.extract_many(c, ["abcd", "xyz"]), "queries", STRINGS, REFUSED),
    "extract(choices)": (lambda c: ratiokit.extract("abcd", c), "choices", STRINGS, KEYED),
    "extract_one(choices)": (lambda c: ratiokit.extract_one("abcd", c), "choices", STRINGS, KEYED),
    "get_close_matches": (lambda c: ratiokit.get_close_matches("abcd", c), "possibilities", STRINGS, KEYED),
    "Choices": (lambda c: ratiokit.extract("abcd", ratiokit.Choices(c)), "strings", STRINGS, KEYED),
    "cosine_join": (lambda c: ratiokit.cosine_join(c, 0.1), "docs", DOCS, DOC_REFUSED),
    "CosineJoiner": (_joiner, "docs", DOCS, DOC_REFUSED),
}


PAIRS = [("abcd", "abce"), ("xyz", "xyy"), ("kitten", "sitting")]
NOT_PAIRS = r"pass an iterable of \(a, b\) pairs \(for two columns, zip\(df\[a\], df\[b\]\)\), not a "
PAIRS_REFUSED = {"DataFrame": NOT_PAIRS + "DataFrame", "Mapping": NOT_PAIRS + "dict",
                 "str": "a 'str' is not an iterable of pairs"}
# The same over pairs: the kinds are built from a list of 2-tuples (a pyarrow list array of
# 2-item lists, an ndarray of 2 columns, a Series of tuples).
PAIR_ENTRIES: Dict[str, Tuple[Callable[[Any], Any], str, list, Dict[str, str]]] = {
    "ratio(pairs)": (lambda c: ratiokit.ratio(c), "pairs", PAIRS, PAIRS_REFUSED),
    "ratio_many": (lambda c: ratiokit.ratio_many(c), "pairs", PAIRS, PAIRS_REFUSED),
    "Rationer.ratio_many": (lambda c: ratiokit.Rationer().ratio_many(c), "pairs", PAIRS, PAIRS_REFUSED),
}


@pytest.mark.parametrize("kind", list(INPUT_KINDS))
@pytest.mark.parametrize("entry", list(INPUT_ENTRIES) + list(PAIR_ENTRIES))
def test_every_entry_point_takes_every_kind_of_column_or_says_what_to_pass(entry, kind):
    call, name, sample, refused = {**INPUT_ENTRIES, **PAIR_ENTRIES}[entry]
    if entry == "ratio(pairs)" and kind == "str":
        pytest.skip("ratio('abcd') is the two-text form missing b (a BAD_CALLS row)")
    make = INPUT_KINDS[kind]
    if make is None:
        pytest.skip(f"no library for {kind}")
    if kind in refused:
        with pytest.raises(TypeError, match=f"^argument '{name}': {refused[kind]}$"):
            call(make(sample))
    else:
        assert call(make(sample)) == call(list(sample))


@pytest.mark.skipif(pyarrow is None, reason="needs pyarrow")
def test_pyarrow_pairs_are_read_through_their_list_and_tables_refused():
    want = ratiokit.ratio_many(PAIRS)
    lists = pyarrow.array([list(p) for p in PAIRS])
    chunked = pyarrow.chunked_array([lists.slice(0, 1), lists.slice(1)])
    for call in (ratiokit.ratio, ratiokit.ratio_many, ratiokit.Rationer().ratio_many):
        assert call(lists) == want
        assert call(chunked) == want
        assert call(pyarrow.array([["ab", "abc"], ["x", "y"]], pyarrow.list_(pyarrow.string(), 2))) == [0.8, 0.0]
        assert call(pyarrow.array([], pyarrow.list_(pyarrow.string()))) == []
        with pytest.raises(TypeError, match="^argument 'pairs': 'NoneType' object is not a pair of two items$"):
            call(pyarrow.array([["a", "b"], None]))
        with pytest.raises(ValueError, match="^expected a pair of 2 items, but got 3 items$"):
            call(pyarrow.array([["a", "b", "c"]]))
        # A table's to_pylist() gives its rows as dicts, whose keys would be compared.
        for table in (pyarrow.table({"a": ["x"], "b": ["y"]}), pyarrow.record_batch({"a": ["x"], "b": ["y"]})):
            with pytest.raises(TypeError, match=f"^argument 'pairs': {NOT_PAIRS}{type(table).__name__}$"):
                call(table)
    # The compiled batch keeps its own rule.
    with pytest.raises(TypeError, match="^argument 'pairs': 'ListArray' object is not an instance of 'Sequence'$"):
        _ratiokit.ratio_many(lists)
    # Where a column is expected, a table is refused as a DataFrame is.
    with pytest.raises(TypeError, match=f"^argument 'strings': {COLUMN}Table$"):
        ratiokit.cluster_labels(pyarrow.table({"a": ["x"]}), threshold=0.5)


def test_items_are_named_by_position_and_documents_by_index():
    for call, name in [
        (lambda c: ratiokit.cluster_canonicals(c, 0.5), "canonicals"),
        (lambda c: ratiokit.cluster_canonicals_lsh(c, 0.5), "canonicals"),
        (lambda c: ratiokit.Rationer().cluster_canonicals(c, 0.5), "canonicals"),
        (lambda c: ratiokit.dedupe(c, threshold=0.5), "strings"),
        (lambda c: ratiokit.cluster_labels(c, threshold=0.5), "strings"),
    ]:
        with pytest.raises(TypeError, match=f"^argument '{name}': item 2 is bytes, not str$"):
            call(x for x in ["a", "b", b"c"])
    for call in (lambda d: ratiokit.cosine_join(d, 0.5), ratiokit.CosineJoiner):
        with pytest.raises(TypeError, match="^argument 'docs': document 1 is a str; pass its tokens"):
            call(iter([["a"], "bc"]))
        with pytest.raises(TypeError, match="^argument 'docs': document 0 is a int; pass its tokens"):
            call([5])
        with pytest.raises(TypeError, match="^argument 'docs': document 1: token 0 is int, not str$"):
            call([["a"], (t for t in [3])])


def test_a_generator_is_read_once_and_a_list_in_place():
    seen = []

    def texts():
        for s in STRINGS:
            seen.append(s)
            yield s

    assert ratiokit.cluster_canonicals(texts(), 0.5) == ratiokit.cluster_canonicals(STRINGS, 0.5)
    assert seen == STRINGS
    assert _ratiokit._column(STRINGS, "x") is STRINGS
    assert _ratiokit._column(iter("ab"), "x") == ["a", "b"]


# entry point -> call with its threads (or other count) argument; every one follows one rule.
COUNT_ENTRIES: Dict[str, Callable[[Any], Any]] = {
    "ratio_many": lambda n: ratiokit.ratio_many([("a", "b")], threads=n),
    "_ratiokit.ratio_many": lambda n: _ratiokit.ratio_many([("a", "b")], n),
    "cluster_canonicals": lambda n: ratiokit.cluster_canonicals(["a"], 0.5, n),
    "_ratiokit.cluster_canonicals": lambda n: _ratiokit.cluster_canonicals(["a"], 0.5, n),
    "cluster_canonicals_lsh": lambda n: ratiokit.cluster_canonicals_lsh(["a"], 0.5, threads=n),
    "cluster_canonicals_lsh(num_perm)": lambda n: ratiokit.cluster_canonicals_lsh(["a"], 0.5, n, 1),
    "_ratiokit.cluster_canonicals_lsh(band_rows)": lambda n: _ratiokit.cluster_canonicals_lsh(["a"], 0.5, 4, n),
    "cosine_join": lambda n: ratiokit.cosine_join([["a"]], 0.5, threads=n),
    "_ratiokit.cosine_join": lambda n: _ratiokit.cosine_join([["a"]], 0.5, "cpu", n),
    "Rationer": lambda n: ratiokit.Rationer(threads=n),
    "CosineJoiner.join": lambda n: ratiokit.CosineJoiner([["a"]]).join(0.5, threads=n),
    "extract": lambda n: ratiokit.extract("a", ["a"], threads=n),
    "extract(limit)": lambda n: ratiokit.extract("a", ["a"], limit=n),
    "extract_one": lambda n: ratiokit.extract_one("a", ["a"], threads=n),
    "extract_many": lambda n: ratiokit.extract_many(["a"], ["a"], threads=n),
    "ratio_join": lambda n: ratiokit.ratio_join(["a"], threshold=0.5, threads=n),
    "cluster_labels": lambda n: ratiokit.cluster_labels(["a"], threshold=0.5, threads=n),
    "cluster_labels(num_perm)": lambda n: ratiokit.cluster_labels(["a"], threshold=0.5, method="lsh", num_perm=n, band_rows=1),
    "dedupe": lambda n: ratiokit.dedupe(["a"], threshold=0.5, threads=n),
}


@pytest.mark.parametrize("entry", list(COUNT_ENTRIES))
def test_one_rule_for_threads_and_counts(entry):
    call = COUNT_ENTRIES[entry]
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError):
            call(bad)
    for bad in (1.5, "2"):
        with pytest.raises(TypeError):
            call(bad)
    call(1)  # and a plain count is taken


# entry point -> call with its threshold or cutoff: a real number in [0, 1].
UNIT_ENTRIES: Dict[str, Callable[[Any], Any]] = {
    "extract": lambda t: ratiokit.extract("a", ["a"], score_cutoff=t),
    "extract_one": lambda t: ratiokit.extract_one("a", ["a"], score_cutoff=t),
    "extract_many": lambda t: ratiokit.extract_many(["a"], ["a"], score_cutoff=t),
    "ratio_join": lambda t: ratiokit.ratio_join(["a"], threshold=t),
    "cluster_labels": lambda t: ratiokit.cluster_labels(["a"], threshold=t),
    "dedupe": lambda t: ratiokit.dedupe(["a"], threshold=t),
}


@pytest.mark.parametrize("entry", list(UNIT_ENTRIES))
def test_one_rule_for_thresholds_and_cutoffs(entry):
    call = UNIT_ENTRIES[entry]
    for bad in (-0.01, 1.01, math.nan, math.inf):
        with pytest.raises(ValueError, match=r"must be in \[0, 1\], got "):
            call(bad)
    for bad in ("0.5", None, True):
        with pytest.raises(TypeError, match=r"must be a number in \[0, 1\], got "):
            call(bad)
    for good in (0, 1, 0.5):
        call(good)


def _huge_sequence() -> Any:
    import collections.abc

    class Huge(collections.abc.Sequence):
        def __len__(self) -> int:
            return 2**32

        def __getitem__(self, k: int) -> str:
            raise AssertionError("the length alone must refuse this input")

    return Huge()


def _gen(xs: list) -> Any:
    return (x for x in xs)


R = ratiokit.Rationer
CJ = _ratiokit.CosineJoiner
TPU = 'unknown concurrency "tpu"; expected "cpu", "gpu", or "gpu+cpu"'
NEGATIVE = "can't convert negative int to unsigned"
# (entry point, call, exception type, exact message). The compiled module's messages are the
# design's; the package's name the argument.
BAD_CALLS: List[Tuple[str, Callable[[], Any], type, str]] = [
    ("_ratiokit.ratio", lambda: _ratiokit.ratio(1, "a"), TypeError, "argument 'a': 'int' object is not an instance of 'str'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio("a", None), TypeError, "argument 'b': 'None' is not an instance of 'str'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio(b"a", 1), TypeError, "argument 'a': 'bytes' object is not an instance of 'str'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio("a"), TypeError, "ratio() missing 1 required positional argument: 'b'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio(), TypeError, "ratio() missing 2 required positional arguments: 'a' and 'b'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio("a", "b", "c"), TypeError, "ratio() takes 2 positional arguments but 3 were given"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio("a", b="b", c="c"), TypeError, "ratio() got an unexpected keyword argument 'c'"),
    ("_ratiokit.ratio", lambda: _ratiokit.ratio("a", a="b"), TypeError, "ratio() got multiple values for argument 'a'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many(), TypeError, "ratio_many() missing 1 required positional argument: 'pairs'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([], 1, 2), TypeError, "ratio_many() takes from 1 to 2 positional arguments but 3 were given"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many("ab"), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many(5), TypeError, "argument 'pairs': 'int' object is not an instance of 'Sequence'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many({("a", "b")}), TypeError, "argument 'pairs': 'set' object is not an instance of 'Sequence'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many(_gen([("a", "b")])), TypeError, "argument 'pairs': 'generator' object is not an instance of 'Sequence'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([("a", "b", "c")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([()]), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([["a", "b"]]), TypeError, "argument 'pairs': 'list' object is not an instance of 'tuple'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([("a", "b"), ("a", 3)]), TypeError, "argument 'pairs': 'int' object is not an instance of 'str'"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([], 1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    ("_ratiokit.ratio_many", lambda: _ratiokit.ratio_many([], -1), OverflowError, NEGATIVE),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals("abc", 0.5), TypeError, "argument 'canonicals': Can't extract `str` to `Vec`"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(["a", 1], 0.5), TypeError, "argument 'canonicals': 'int' object is not an instance of 'str'"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(None, 0.5), TypeError, "argument 'canonicals': 'None' is not an instance of 'Sequence'"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(_gen(["a"]), 0.5), TypeError, "argument 'canonicals': 'generator' object is not an instance of 'Sequence'"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(["a"], "0.5"), TypeError, "argument 'threshold': must be real number, not str"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(["a"], 0.5, 1.0), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(["a"]), TypeError, "cluster_canonicals() missing 1 required positional argument: 'threshold'"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals([], 0.5, 0, 1), TypeError, "cluster_canonicals() takes from 2 to 3 positional arguments but 4 were given"),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(["a"], 0.5, -1), OverflowError, NEGATIVE),
    ("_ratiokit.cluster_canonicals", lambda: _ratiokit.cluster_canonicals(_huge_sequence(), 0.5), ValueError, "argument 'canonicals': 4294967296 strings are more than the supported maximum of 4294967295"),
    ("_ratiokit.cluster_canonicals_lsh", lambda: _ratiokit.cluster_canonicals_lsh(["a"], 0.5, -1, 4), OverflowError, NEGATIVE),
    ("_ratiokit.cluster_canonicals_lsh", lambda: _ratiokit.cluster_canonicals_lsh(["a"], 0.5, 4, -1), OverflowError, NEGATIVE),
    ("_ratiokit.cluster_canonicals_lsh", lambda: _ratiokit.cluster_canonicals_lsh("abc", 0.5, 4, 2), TypeError, "argument 'canonicals': Can't extract `str` to `Vec`"),
    ("_ratiokit.cluster_canonicals_lsh", lambda: _ratiokit.cluster_canonicals_lsh(["a"], 0.5, 4.0, 2), TypeError, "argument 'num_perm': 'float' object cannot be interpreted as an integer"),
    ("_ratiokit.cluster_canonicals_lsh", lambda: _ratiokit.cluster_canonicals_lsh(["a"], 0.5, 4), TypeError, "cluster_canonicals_lsh() missing 1 required positional argument: 'band_rows'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join("ab", 0.5), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"], "ab"], 0.5), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join(5, 0.5), TypeError, "argument 'docs': 'int' object is not an instance of 'Sequence'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join(_gen([["a"]]), 0.5), TypeError, "argument 'docs': 'generator' object is not an instance of 'Sequence'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a", 1]], 0.5), TypeError, "argument 'docs': 'int' object is not an instance of 'str'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"]], "x"), TypeError, "argument 'threshold': must be real number, not str"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"]], 0.5, 1), TypeError, "argument 'concurrency': 'int' object is not an instance of 'str'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"]], 0.5, "cpu", 1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"]], 0.5, "tpu"), ValueError, TPU),
    # Everything is converted before the mode is checked, in parameter order.
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join(5, "x", "tpu"), TypeError, "argument 'docs': 'int' object is not an instance of 'Sequence'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([], "x", "tpu"), TypeError, "argument 'threshold': must be real number, not str"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([["a"]]), TypeError, "cosine_join() missing 1 required positional argument: 'threshold'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join(), TypeError, "cosine_join() missing 2 required positional arguments: 'docs' and 'threshold'"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([], 0.5, "cpu", 0, 1), TypeError, "cosine_join() takes from 2 to 4 positional arguments but 5 were given"),
    ("_ratiokit.cosine_join", lambda: _ratiokit.cosine_join([], 0.5, mode="cpu"), TypeError, "cosine_join() got an unexpected keyword argument 'mode'"),
    ("_ratiokit.CosineJoiner", lambda: CJ(), TypeError, "CosineJoiner() missing 1 required positional argument: 'docs'"),
    ("_ratiokit.CosineJoiner", lambda: CJ([], []), TypeError, "CosineJoiner() takes 1 positional arguments but 2 were given"),
    ("_ratiokit.CosineJoiner", lambda: CJ("ab"), TypeError, "argument 'docs': Can't extract `str` to `Vec`"),
    ("CosineJoiner.join", lambda: CJ([]).join(), TypeError, "CosineJoiner.join() missing 1 required positional argument: 'threshold'"),
    ("CosineJoiner.join", lambda: CJ([]).join(0.5, "cpu", 0, 1), TypeError, "CosineJoiner.join() takes from 1 to 3 positional arguments but 4 were given"),
    ("CosineJoiner.join", lambda: CJ([]).join(None), TypeError, "argument 'threshold': must be real number, not NoneType"),
    ("CosineJoiner.join", lambda: CJ([]).join(0.5, "tpu"), ValueError, TPU),
    ("Rationer", lambda: R("tpu"), ValueError, TPU),
    ("Rationer", lambda: R(" CPU"), ValueError, 'unknown concurrency " cpu"; expected "cpu", "gpu", or "gpu+cpu"'),
    ("Rationer", lambda: R(delta="x"), TypeError, "argument 'delta': must be real number, not str"),
    ("Rationer", lambda: R(1), TypeError, "argument 'concurrency': 'int' object is not an instance of 'str'"),
    ("Rationer", lambda: R(threads=1.5), TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
    ("Rationer", lambda: R(threads=-1), OverflowError, NEGATIVE),
    ("_ratiokit.Rationer", lambda: _ratiokit.Rationer("cpu", 0, 0.0, 1), TypeError, "Rationer() takes from 0 to 3 positional arguments but 4 were given"),
    ("Rationer.ratio", lambda: R().ratio("a"), TypeError, "Rationer.ratio() missing 1 required positional argument: 'b'"),
    ("Rationer.ratio", lambda: R().ratio("a", 2), TypeError, "argument 'b': 'int' object is not an instance of 'str'"),
    ("_ratiokit.Rationer.ratio_many", lambda: _ratiokit.Rationer().ratio_many([], 2), TypeError, "Rationer.ratio_many() takes 1 positional arguments but 2 were given"),
    ("_ratiokit.Rationer.ratio_many", lambda: _ratiokit.Rationer().ratio_many([("a", None)]), TypeError, "argument 'pairs': 'None' is not an instance of 'str'"),
    ("_ratiokit.Rationer.ratio_many", lambda: _ratiokit.Rationer().ratio_many(iter([("a", "b")])), TypeError, "argument 'pairs': 'list_iterator' object is not an instance of 'Sequence'"),
    ("Rationer.ratio_many", lambda: R().ratio_many([("a", None)]), TypeError, "argument 'pairs': 'NoneType' object is not a str, list, tuple or bytes"),
    ("Rationer.ratio_many", lambda: R().ratio_many("ab"), TypeError, "argument 'pairs': a 'str' is not an iterable of pairs"),
    ("_ratiokit.Rationer.cluster_canonicals", lambda: _ratiokit.Rationer().cluster_canonicals(["a"]), TypeError, "Rationer.cluster_canonicals() missing 1 required positional argument: 'threshold'"),
    ("_ratiokit.Rationer.cluster_canonicals", lambda: _ratiokit.Rationer().cluster_canonicals(["a", 1], 0.5), TypeError, "argument 'canonicals': 'int' object is not an instance of 'str'"),
    ("_ratiokit.Rationer.cluster_canonicals", lambda: _ratiokit.Rationer().cluster_canonicals(_gen(["a"]), 0.5), TypeError, "argument 'canonicals': 'generator' object is not an instance of 'Sequence'"),
    ("Rationer.cluster_canonicals", lambda: R().cluster_canonicals(["a"], None), TypeError, "argument 'threshold': must be real number, not NoneType"),
    ("Rationer.cluster_canonicals", lambda: R().cluster_canonicals(["a", 1], 0.5), TypeError, "argument 'canonicals': item 1 is int, not str"),
    ("Rationer.cluster_canonicals", lambda: R().cluster_canonicals(["a"], 0.5, progress=1), TypeError, "argument 'progress': 'int' object is not callable"),
    # The package's entries: the package's input rule, counts named in their errors.
    ("cluster_canonicals", lambda: ratiokit.cluster_canonicals(["a"], 0.5, -1), OverflowError, "argument 'threads': " + NEGATIVE),
    ("cluster_canonicals", lambda: ratiokit.cluster_canonicals(["a"], "0.5"), TypeError, "argument 'threshold': must be real number, not str"),
    ("cluster_canonicals", lambda: ratiokit.cluster_canonicals(["a"], 0.5, progress="x"), TypeError, "argument 'progress': 'str' object is not callable"),
    ("cluster_canonicals_lsh", lambda: ratiokit.cluster_canonicals_lsh(["a"], 0.5, -1), OverflowError, "argument 'num_perm': " + NEGATIVE),
    ("cluster_canonicals_lsh", lambda: ratiokit.cluster_canonicals_lsh(["a"], 0.5, 4.0), TypeError, "argument 'num_perm': 'float' object cannot be interpreted as an integer"),
    ("cosine_join", lambda: ratiokit.cosine_join([["a"]], 0.5, "tpu"), ValueError, TPU),
    ("CosineJoiner", lambda: ratiokit.CosineJoiner(5), TypeError, "argument 'docs': " + NOT_DOCUMENTS.replace("\\", "") + "int"),
    ("extract", lambda: ratiokit.extract("a", ["a"], threads=-1), OverflowError, "argument 'threads': " + NEGATIVE),
    ("extract", lambda: ratiokit.extract("a", ["a"], score_cutoff=2), ValueError, "argument 'score_cutoff': must be in [0, 1], got 2"),
    ("extract", lambda: ratiokit.extract(None, ["a"]), TypeError, "argument 'query': expected str, got NoneType"),
    ("extract_one", lambda: ratiokit.extract_one("a", ["a"], score_cutoff="x"), TypeError, "argument 'score_cutoff': must be a number in [0, 1], got str"),
    ("extract_many", lambda: ratiokit.extract_many(["a"], ["a"], progress=3), TypeError, "argument 'progress': 'int' object is not callable"),
    ("get_close_matches", lambda: ratiokit.get_close_matches("a", ["a"], n=0), ValueError, "n must be > 0: 0"),
    ("Choices", lambda: ratiokit.Choices(["a", 1]), TypeError, "argument 'strings': item 1 is int, not str"),
    ("ratio_join", lambda: ratiokit.ratio_join(["a"], threshold=math.nan), ValueError, "argument 'threshold': must be in [0, 1], got nan"),
    ("cluster_labels", lambda: ratiokit.cluster_labels(["a"], threshold=0.5, method="x"), ValueError, "method must be 'exact' or 'lsh', got 'x'"),
    ("dedupe", lambda: ratiokit.dedupe(["a", None], threshold=0.5), TypeError, "argument 'strings': item 1 is NoneType, not str"),
    ("ratio", lambda: ratiokit.ratio("a"), TypeError, "ratio() missing 1 required positional argument: 'b'"),
    ("ratio_many", lambda: ratiokit.ratio_many([], -1), OverflowError, NEGATIVE),
    ("ratio_many", lambda: ratiokit.ratio_many({"a": "b"}), TypeError, "argument 'pairs': pass an iterable of (a, b) pairs (for two columns, zip(df[a], df[b])), not a dict"),
    ("ratio", lambda: ratiokit.ratio({"a": "b"}), TypeError, "argument 'pairs': pass an iterable of (a, b) pairs (for two columns, zip(df[a], df[b])), not a dict"),
    # A mapping as one pair iterates as its keys: refused, not compared.
    ("ratio_many", lambda: ratiokit.ratio_many([{"a": "x", "b": "y"}]), TypeError, "argument 'pairs': 'dict' object is not a pair of two items"),
    ("Rationer.ratio_many", lambda: R().ratio_many([("a", "b"), {"a": "x", "b": "y"}]), TypeError, "argument 'pairs': 'dict' object is not a pair of two items"),
    ("ratio", lambda: ratiokit.ratio([types.MappingProxyType({"a": "x", "b": "y"})]), TypeError, "argument 'pairs': 'mappingproxy' object is not a pair of two items"),
]


@pytest.mark.parametrize("entry, call, error, message", BAD_CALLS,
                         ids=[f"{row[0]}-{k}" for k, row in enumerate(BAD_CALLS)])
def test_bad_calls_raise_exact_messages(entry, call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


def test_the_registries_cover_every_public_entry_point():
    public = {n for n in ratiokit.__all__ if callable(getattr(ratiokit, n))} - {"PanicException", "ProgressCallback"}
    public |= {f"_ratiokit.{n}" for n in dir(_ratiokit)
               if not n.startswith("_") and n != "PanicException"}
    for cls in ("Rationer", "CosineJoiner"):
        methods = {m for m in dir(getattr(_ratiokit, cls)) if not m.startswith("_")
                   and callable(getattr(getattr(_ratiokit, cls), m))}
        public |= {f"{cls}.{m}" for m in methods}
    named = {row[0] for row in BAD_CALLS}
    assert public - named == set()


def test_package_namespace_is_its_api():
    # In a fresh interpreter: no test has imported submodules such as ratiokit.dask there.
    code = """
        import ratiokit
        print(sorted(n for n in dir(ratiokit) if not n.startswith('_')))
        print(sorted(ratiokit.__all__))
        print(ratiokit.__version__)
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=os.path.dirname(os.path.abspath(__file__)), timeout=60)
    assert done.returncode == 0, done.stderr
    names, exported, version = done.stdout.splitlines()
    assert names == exported
    assert version
    for helper in ("Optional", "Sequence", "Tuple", "Union", "cast", "overload", "annotations"):
        assert not hasattr(ratiokit, helper)


def test_lsh_defaults_match_cluster_labels():
    import inspect

    params = inspect.signature(ratiokit.cluster_canonicals_lsh).parameters
    labels = inspect.signature(ratiokit.cluster_labels).parameters
    assert params["num_perm"].default == labels["num_perm"].default == 128
    assert params["band_rows"].default == labels["band_rows"].default == 4
    strings = ["abcdefghijkl", "abcdefghijkm", "zzz"]
    assert ratiokit.cluster_canonicals_lsh(strings, 0.8) == _ratiokit.cluster_canonicals_lsh(
        strings, 0.8, 128, 4
    )
