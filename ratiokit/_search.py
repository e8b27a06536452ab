"""Search and join over exact ratios: ``Choices``, ``extract``, ``extract_one``,
``extract_many``, ``get_close_matches``, ``ratio_join``, ``cluster_labels`` and ``dedupe``.

Inputs may be any iterable of ``str`` (lists, tuples, generators, NumPy arrays, pandas Series,
pyarrow string arrays), under the compiled module's one rule for a column of strings; it checks
every item, so the common case (a list of str) costs no pass in Python, and reports a non-``str``
item with the argument's name and its position.
"""

from __future__ import annotations

import heapq
import math
import operator
from numbers import Real
from typing import (
    TYPE_CHECKING, Any, Callable, Iterable, List, Literal, Mapping, Optional, Sequence, Tuple,
    TypeVar, Union, overload,
)

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]

from . import _ratiokit
from ._columns import labels_like, series_type
from ._with_progress import ProgressCallback

T = TypeVar("T")


def _as_str_list(values: Any, name: str) -> List[Any]:
    """One list holding the items of `values`, in order, without checking their types: the
    module's rule for a column of strings (a str, a DataFrame, a mapping or a non-iterable is
    refused with a TypeError naming `name`)."""
    return values if type(values) is list else _ratiokit._column(values, name)


_unit = _ratiokit._unit  # a threshold or cutoff: a real number in [0, 1]
_count = _ratiokit._count  # a count: a non-negative int below 2**64


class Choices:
    """Choices prepared once for many queries of ``extract``, ``extract_one``,
    ``extract_many`` and ``get_close_matches``.

    `strings` is any iterable of ``str``; for a ``Mapping`` the choices are its values and the
    keys of results its keys, for a pandas Series the index labels, otherwise the positions.
    `processor`, when given, is applied once to every choice here and to every query later (for
    example ``str.lower``); results return the original, unprocessed choices. The items are read
    once, here: changing `strings` afterwards does not change the prepared choices.
    """

    __slots__ = ("_items", "_keys", "_processor", "_native")

    def __init__(
        self, strings: Iterable[Any], processor: Optional[Callable[[Any], str]] = None
    ) -> None:
        self._items, self._keys = _items_and_keys(strings, "strings")
        self._processor = processor
        self._native = _prepare(self._items, processor, "strings", True)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"<ratiokit.Choices of {len(self._items)} strings>"

    @property
    def processor(self) -> Optional[Callable[[Any], str]]:
        return self._processor

    def _key(self, index: int) -> Any:
        return index if self._keys is None else self._keys[index]


def _items_and_keys(values: Any, name: str) -> Tuple[Tuple[Any, ...], Optional[Any]]:
    """The items of `values` as a tuple taken now, and their keys (None: the positions)."""
    if isinstance(values, Mapping):
        pairs = tuple(values.items())
        return tuple(v for _, v in pairs), tuple(k for k, _ in pairs)
    series = series_type()
    if series is not None and isinstance(values, series):
        return tuple(values.tolist()), values.index  # an Index never changes in place
    items = values if type(values) is tuple else _as_str_list(values, name)
    return tuple(items), None


def _prepare(
    items: Tuple[Any, ...], processor: Optional[Callable[[Any], str]], name: str, counted: bool
) -> Any:
    processed = items if processor is None else tuple(processor(x) for x in items)
    try:
        return _ratiokit._Choices(processed, counted)
    except TypeError as error:  # an item that is not a str, reported with its position
        raise TypeError(f"argument '{name}': {error}") from None


def _as_choices(
    choices: Any, processor: Optional[Callable[[Any], str]], name: str
) -> Choices:
    """Prepared choices as given, or a snapshot of an iterable prepared for this call only."""
    if isinstance(choices, Choices):
        if processor is not None:
            raise ValueError(
                "processor is given to Choices when the choices are prepared, not to the query"
            )
        return choices
    prepared = Choices.__new__(Choices)
    prepared._items, prepared._keys = _items_and_keys(choices, name)
    prepared._processor = processor
    # One query meets each choice once: counting their characters first would cost more.
    prepared._native = _prepare(prepared._items, processor, name, False)
    return prepared


def _query(query: Any, prepared: Choices, name: str) -> str:
    if prepared._processor is not None:
        query = prepared._processor(query)
    if not isinstance(query, str):
        raise TypeError(f"argument '{name}': expected str, got {type(query).__name__}")
    return query


def _rows(prepared: Choices, found: List[Tuple[int, float]]) -> List[Tuple[Any, float, Any]]:
    items, keys = prepared._items, prepared._keys
    if keys is None:
        return [(items[index], score, index) for index, score in found]
    return [(items[index], score, keys[index]) for index, score in found]


def extract(
    query: str,
    choices: Union[Iterable[str], Choices],
    *,
    limit: Optional[int] = 5,
    score_cutoff: float = 0.0,
    processor: Optional[Callable[[Any], str]] = None,
    autojunk: bool = False,
    threads: int = 0,
) -> List[Tuple[Any, float, Any]]:
    """The best matches for `query` among `choices` as ``(choice, score, key)`` tuples.

    ``score`` is the exact ``ratio(choice, query)`` (the orientation of
    ``difflib.get_close_matches``: the query is the second sequence); only scores of at least
    `score_cutoff` are returned, best first, ties by lower position, at most `limit` of them
    (``limit=None``: all). ``key`` is the dict key for a ``Mapping``, the index label for a
    pandas Series, the position otherwise. `choices` may be a prepared ``Choices``; any other
    iterable is read once at the start of the call. `processor` is applied to the query and to
    every choice (a ``Choices`` carries its own); the original choices are returned.
    ``autojunk=True`` scores with difflib's default junk rule.
    """
    prepared = _as_choices(choices, processor, "choices")
    text = _query(query, prepared, "query")
    cutoff = _unit(score_cutoff, "score_cutoff")
    n = len(prepared._items)
    size = n if limit is None else min(_count(limit, "limit"), n)
    found = _ratiokit._extract(
        text, prepared._native, size, cutoff, bool(autojunk), False, _count(threads, "threads")
    )
    return _rows(prepared, found)


def extract_one(
    query: str,
    choices: Union[Iterable[str], Choices],
    *,
    score_cutoff: float = 0.0,
    processor: Optional[Callable[[Any], str]] = None,
    autojunk: bool = False,
    threads: int = 0,
) -> Optional[Tuple[Any, float, Any]]:
    """The best match for `query` as ``(choice, score, key)``, or None when no choice reaches
    `score_cutoff`; ``extract(..., limit=1)`` otherwise (ties go to the lower position)."""
    rows = extract(
        query, choices, limit=1, score_cutoff=score_cutoff, processor=processor,
        autojunk=autojunk, threads=threads,
    )
    return rows[0] if rows else None


def extract_many(
    queries: Iterable[str],
    choices: Union[Iterable[str], Choices],
    *,
    limit: Optional[int] = 5,
    score_cutoff: float = 0.0,
    processor: Optional[Callable[[Any], str]] = None,
    autojunk: bool = False,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
) -> List[List[Tuple[Any, float, Any]]]:
    """``extract`` of every query, one list per query in order, the queries spread over all
    cores (`threads` caps them). `progress`, if given, is called as ``progress("extract", done,
    total)`` with queries as the unit; raising from it cancels the call. Choices are prepared
    once for all the queries."""
    if isinstance(choices, Choices):
        prepared = _as_choices(choices, processor, "choices")
    else:
        prepared = Choices.__new__(Choices)
        prepared._items, prepared._keys = _items_and_keys(choices, "choices")
        prepared._processor = processor
        prepared._native = _prepare(prepared._items, processor, "choices", True)
    texts = [_query(q, prepared, "queries") for q in _as_str_list(queries, "queries")]
    cutoff = _unit(score_cutoff, "score_cutoff")
    n = len(prepared._items)
    size = n if limit is None else min(_count(limit, "limit"), n)
    found = _ratiokit._extract_many(
        texts, prepared._native, size, cutoff, bool(autojunk), False,
        _count(threads, "threads"), progress,
    )
    return [_rows(prepared, rows) for rows in found]


def get_close_matches(
    word: str, possibilities: Union[Iterable[str], Choices], n: int = 3, cutoff: float = 0.6
) -> List[Any]:
    """Exactly ``difflib.get_close_matches(word, possibilities, n, cutoff)``, computed natively.

    The scores are difflib's ``SequenceMatcher(None, x, word).ratio()`` with its automatic junk
    rule; the best `n` are ordered by score and then by the string itself, both descending, as
    difflib's ``heapq.nlargest`` on ``(score, x)`` orders them. `possibilities` may be a
    prepared ``Choices`` (its processor then applies to `word` and to the scored strings).
    """
    if not n > 0:
        raise ValueError("n must be > 0: %r" % (n,))
    if not 0.0 <= cutoff <= 1.0:
        raise ValueError("cutoff must be in [0.0, 1.0]: %r" % (cutoff,))
    if not isinstance(word, str) and not isinstance(possibilities, Choices):
        raise TypeError(f"argument 'word': expected str, got {type(word).__name__}")
    prepared = _as_choices(possibilities, None, "possibilities")
    text = _query(word, prepared, "word")
    items = prepared._items
    try:
        # Everything tied with the n-th best comes back, so that ties are broken below by the
        # strings, as difflib does.
        limit = min(operator.index(n), len(items))
    except TypeError:
        limit = len(items)  # an n heapq takes but we cannot (a float): keep all, let it decide
    rows = _ratiokit._extract(text, prepared._native, limit, float(cutoff), True, True, 0)
    best = heapq.nlargest(n, [(score, items[index]) for index, score in rows])
    return [x for score, x in best]


@overload
def ratio_join(
    left: Iterable[str],
    right: Optional[Iterable[str]] = None,
    *,
    threshold: float,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
    as_frame: Literal[False] = False,
) -> List[Tuple[int, int, float]]: ...
@overload
def ratio_join(
    left: Iterable[str],
    right: Optional[Iterable[str]] = None,
    *,
    threshold: float,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
    as_frame: Literal[True],
) -> pandas.DataFrame: ...
def ratio_join(
    left: Iterable[str],
    right: Optional[Iterable[str]] = None,
    *,
    threshold: float,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
    as_frame: bool = False,
) -> Union[List[Tuple[int, int, float]], pandas.DataFrame]:
    """Every pair reaching `threshold`, as ``(i, j, ratio)`` sorted by ``(i, j)``.

    ``ratio`` is the exact ``ratio(left[i], right[j])``. With ``right=None``, every pair
    ``i < j`` of `left` with ``ratio(left[i], left[j]) >= threshold`` (the orientation of
    clustering). `progress`, if given, is called as ``progress(phase, done, total)`` as for
    ``cluster_canonicals``; raising from it cancels the call.

    With ``as_frame=True`` the pairs come as a pandas DataFrame with columns ``left``, ``right``
    (int64) and ``ratio`` (float64), in the same order, built from three native columns without a
    Python object per pair; pandas is imported only then.
    """
    level = _unit(threshold, "threshold")
    if not as_frame:
        return _ratiokit._ratio_join(left, right, level, threads, progress)
    import numpy
    import pandas

    i, j, ratio = _ratiokit._ratio_join_columns(left, right, level, threads, progress)
    return pandas.DataFrame({
        "left": numpy.frombuffer(i, dtype=numpy.int64),
        "right": numpy.frombuffer(j, dtype=numpy.int64),
        "ratio": numpy.frombuffer(ratio, dtype=numpy.float64),
    })


@overload
def cluster_labels(
    strings: Union[List[str], Tuple[str, ...]],
    *,
    threshold: float,
    method: str = ...,
    num_perm: int = ...,
    band_rows: int = ...,
    threads: int = ...,
    progress: Optional[ProgressCallback] = ...,
) -> List[int]: ...
@overload
def cluster_labels(
    strings: Iterable[str],
    *,
    threshold: float,
    method: str = ...,
    num_perm: int = ...,
    band_rows: int = ...,
    threads: int = ...,
    progress: Optional[ProgressCallback] = ...,
) -> Any: ...


def cluster_labels(
    strings: Iterable[str],
    *,
    threshold: float,
    method: str = "exact",
    num_perm: int = 128,
    band_rows: int = 4,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    """One label per input: the index of the first member of its single-linkage cluster, its
    own index when it is in none.

    ``method="exact"`` clusters with ``cluster_canonicals``, ``"lsh"`` with
    ``cluster_canonicals_lsh`` (`num_perm`, `band_rows`). Single linkage chains: two rows of
    one cluster may be far apart, as its minimum ratio shows; to drop near-duplicates with a
    guarantee, use ``dedupe``. Returns a Series on the same index for a pandas Series, an array
    of intp for a NumPy array, a list otherwise.
    """
    import ratiokit  # the package-level clustering functions, whatever wraps them there

    shape = labels_like(strings)
    # A copy of the caller's list: the call reads and counts this one, whatever `progress` or
    # another thread does to theirs meanwhile.
    items = _as_str_list(strings, "strings")
    if items is strings:
        items = list(items)
    level = _unit(threshold, "threshold")
    workers = _count(threads, "threads")
    extra = {} if progress is None else {"progress": progress}
    try:
        if method == "exact":
            clusters = ratiokit.cluster_canonicals(items, level, threads=workers, **extra)
        elif method == "lsh":
            perms = _count(num_perm, "num_perm")
            rows = _count(band_rows, "band_rows")
            if not 1 <= rows <= perms:
                raise ValueError(f"band_rows must be between 1 and num_perm, got {rows}")
            clusters = ratiokit.cluster_canonicals_lsh(
                items, level, perms, rows, threads=workers, **extra
            )
        else:
            raise ValueError(f"method must be 'exact' or 'lsh', got {method!r}")
    except TypeError as error:  # a bad item, reported under this function's argument name
        text = str(error)
        prefix = "argument 'canonicals': "
        if not text.startswith(prefix):
            raise
        raise TypeError("argument 'strings': " + text[len(prefix):]) from None
    labels = list(range(len(items)))
    for members, _ in clusters:
        first = members[0]
        for member in members:
            labels[member] = first
    return shape(labels)


@overload
def dedupe(
    strings: Union[List[str], Tuple[str, ...]],
    *,
    threshold: float,
    threads: int = ...,
    progress: Optional[ProgressCallback] = ...,
) -> List[int]: ...
@overload
def dedupe(
    strings: Iterable[str],
    *,
    threshold: float,
    threads: int = ...,
    progress: Optional[ProgressCallback] = ...,
) -> Any: ...


def dedupe(
    strings: Iterable[str],
    *,
    threshold: float,
    threads: int = 0,
    progress: Optional[ProgressCallback] = None,
) -> Any:
    """One representative index per row, rows taken in order: a row is kept (``labels[i] ==
    i``) when no kept row before it reaches `threshold` with it, else it points at the first
    kept row that does, ``ratio(strings[kept], strings[row]) >= threshold``.

    So every dropped row reaches the threshold with its representative, and no two kept rows
    reach it with each other (in index order); unlike ``cluster_labels``, no chain joins rows
    far apart. Exact and independent of `threads`. `progress` is called as ``progress("dedupe",
    done, total)`` (distinct rows), as for the other long calls. Returns a Series on the same
    index for a pandas Series, an array of intp for a NumPy array, a list otherwise.
    """
    shape = labels_like(strings)
    items = _as_str_list(strings, "strings")
    if items is strings:
        items = list(items)  # as in cluster_labels
    return shape(_ratiokit._dedupe(items, _unit(threshold, "threshold"), threads, progress))
