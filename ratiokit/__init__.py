"""Exact difflib ratios at native speed: single pairs, batches, clustering and cosine joins.

``ratio(a, b)`` returns exactly ``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()``;
``ratio(pairs)`` does the same for a list of ``(a, b)`` pairs across all cores.
``extract``, ``get_close_matches``, ``ratio_join``, ``cluster_labels`` and ``dedupe`` answer the
questions that come next: the best matches for a query, the pairs above a threshold, a label per
row, the rows to keep.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple, Union, overload

from . import _ratiokit

__version__ = "0.1.0"
from ._with_progress import (
    CosineJoiner,
    ProgressCallback,
    Rationer,
    cluster_canonicals,
    cluster_canonicals_lsh,
    cosine_join,
)
from ._ratiokit import PanicException
from ._search import (
    Choices,
    cluster_labels,
    dedupe,
    extract,
    extract_many,
    extract_one,
    get_close_matches,
    ratio_join,
)

__all__ = [
    "Choices",
    "CosineJoiner",
    "PanicException",
    "ProgressCallback",
    "Rationer",
    "cluster_canonicals",
    "cluster_canonicals_lsh",
    "cluster_labels",
    "cosine_join",
    "dedupe",
    "extract",
    "extract_many",
    "extract_one",
    "get_close_matches",
    "ratio",
    "ratio_join",
    "ratio_many",
]

_ratio = _ratiokit.ratio


def ratio_many(
    pairs: Sequence[Tuple[str, str]],
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[float]:
    """One exact ratio per ``(a, b)`` pair, in order, computed across cores with the GIL
    released (``threads=0``: all of them; ``threads=N``: N workers for this call).

    A long batch is read a part at a time while the parts before it compute. `progress`, if
    given, is called as ``progress("pairs", done, total)`` about ten times a second while the
    batch runs, as for the other long calls.
    """
    return _ratiokit._ratio_many(pairs, threads, progress)
_ratio_autojunk = _ratiokit._ratio_autojunk


@overload
def ratio(a: str, b: str, *, autojunk: bool = False) -> float: ...
@overload
def ratio(
    a: Sequence[Tuple[str, str]], b: None = None, *, autojunk: bool = False
) -> list[float]: ...


def ratio(
    a: Union[str, Sequence[Tuple[str, str]]], b: Optional[str] = None, *, autojunk: bool = False
) -> Union[float, list[float]]:
    """Exact ``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()``.

    With two strings, returns their ratio. With one list of ``(a, b)`` pairs, returns one
    ratio per pair, computed across all cores (see ``ratio_many``). With ``autojunk=True``,
    exactly ``difflib.SequenceMatcher(None, a, b).ratio()`` (difflib's default constructor):
    once b has 200 or more code points, its characters occurring more than 1% (+1) of the time
    are left out of the longest-match search, as difflib does.
    """
    # The two-string form runs once per pair in users' loops: keep it to one test and one call.
    if b is not None:
        # A non-str a is the module's TypeError to report.
        return _ratio_autojunk(a, b) if autojunk else _ratio(a, b)  # type: ignore[arg-type]
    score = _ratio_autojunk if autojunk else _ratio
    if isinstance(a, str):
        raise TypeError("ratio() missing 1 required positional argument: 'b'")
    if autojunk:
        return [score(x, y) for x, y in a]
    return ratio_many(a)


# The namespace holds the API and __version__ only: the typing names the annotations above use
# are dropped once the functions are defined.
del Optional, Sequence, Tuple, Union, overload, annotations
