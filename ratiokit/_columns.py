"""Labels shaped like the column of strings they came from.

pandas and NumPy are never imported here: a pandas object can only have been passed in once
pandas is imported, so ``sys.modules`` is asked, and an input from neither costs one lookup.
"""

from __future__ import annotations

import sys
from typing import Any, Callable, List


def series_type() -> Any:
    """pandas.Series when pandas is already imported (a Series cannot exist otherwise)."""
    pandas = sys.modules.get("pandas")
    return None if pandas is None else getattr(pandas, "Series", None)


def labels_like(values: Any) -> Callable[[List[int]], Any]:
    """How to return one label per row of `values`: a Series on the same index for a pandas
    Series, an array of intp for a NumPy array, the list itself otherwise. Decided (and the
    index taken) before the call, so that a change to `values` during it cannot misalign the
    result."""
    if type(values) is list:
        return _same
    series = series_type()
    if series is not None and isinstance(values, series):
        index = values.index
        return lambda labels: series(labels, index=index, dtype="intp")
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(values, numpy.ndarray):
        return lambda labels: numpy.asarray(labels, dtype=numpy.intp)
    return _same


def _same(labels: List[int]) -> List[int]:
    return labels
