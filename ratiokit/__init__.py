"""Exact difflib ratios at native speed: single pairs, batches, clustering and cosine joins.

``ratio(a, b)`` returns exactly ``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()``;
``ratio(pairs)`` does the same for a list of ``(a, b)`` pairs across all cores.
"""

from __future__ import annotations

from typing import Optional, Sequence, Tuple, Union, cast, overload

from . import _ratiokit

__version__ = "0.1.0"
from ._long_calls import ProgressCallback, cluster_canonicals, cluster_canonicals_lsh, cosine_join
from ._ratiokit import CosineJoiner, PanicException, Rationer, ratio_many

__all__ = [
    "CosineJoiner",
    "PanicException",
    "ProgressCallback",
    "Rationer",
    "cluster_canonicals",
    "cluster_canonicals_lsh",
    "cosine_join",
    "ratio",
    "ratio_many",
]

_ratio = _ratiokit.ratio


@overload
def ratio(a: str, b: str) -> float: ...
@overload
def ratio(a: Sequence[Tuple[str, str]], b: None = None) -> list[float]: ...


def ratio(
    a: Union[str, Sequence[Tuple[str, str]]], b: Optional[str] = None
) -> Union[float, list[float]]:
    """Exact ``difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()``.

    With two strings, returns their ratio. With one list of ``(a, b)`` pairs, returns one
    ratio per pair, computed across all cores (see ``ratio_many``).
    """
    if b is not None:
        return _ratio(cast(str, a), b)  # a non-str a is the module's TypeError to report
    if isinstance(a, str):
        raise TypeError("ratio() missing 1 required positional argument: 'b'")
    return ratio_many(a)
