"""Exact difflib ratios at native speed: single pairs, batches, clustering and cosine joins.

``ratio(a, b)`` returns exactly ``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()``
for two strings or two sequences of hashable items (lists of lines, lists of tokens, bytes);
``ratio(pairs)`` does the same for a list of ``(a, b)`` pairs across all cores.
``extract``, ``get_close_matches``, ``ratio_join``, ``cluster_labels`` and ``dedupe`` answer the
questions that come next: the best matches for a query, the pairs above a threshold, a label per
row, the rows to keep.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, Optional

from . import _ratiokit

if TYPE_CHECKING:
    from ._ratiokit import _PairLike

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

ratio = _ratiokit._ratio_public


def ratio_many(
    pairs: Iterable[_PairLike],
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[float]:
    """One exact ratio per ``(a, b)`` pair, in order, computed across cores with the GIL
    released (``threads=0``: all of them; ``threads=N``: N workers for this call).

    ``pairs`` is any iterable of two-item pairs (tuples, lists, array rows; a generator or
    ``zip`` too; a pyarrow list array of two-item lists), each two ``str`` or two sequences of
    hashable items (lists, tuples, bytes), as ``ratio(a, b)`` takes them. A long batch is read a part at a time while the parts before it
    compute. `progress`, if given, is called as ``progress("pairs", done, total)`` about ten
    times a second while the batch runs, as for the other long calls.
    """
    return _ratiokit._ratio_many(pairs, threads, progress)


# The namespace holds the API and __version__ only: the typing names the annotations above use
# are dropped once the functions are defined.
del TYPE_CHECKING, Iterable, Optional, annotations
