"""The package's long-running calls: the compiled functions under the package's input rule
(any iterable of ``str``; documents from any iterable of token iterables; a DataFrame, a
``Mapping`` or a bare ``str`` refused with a TypeError saying what to pass; counts such as
``threads`` named in their errors), plus a keyword-only ``progress``.

The same for ``Rationer.cluster_canonicals`` and for ``CosineJoiner(docs)``: the package's
classes are the compiled ones with those entries extended.

``progress``, when given, is called as ``progress(phase, done, total)`` on the calling thread
with the GIL held, at most about ten times a second while the call works: ``phase`` names the
step (for clustering "candidates", "edges", "minimum"; for LSH "signatures", "buckets",
"verify", "minimum"; for the join "corpus", "join"), ``done`` and ``total`` count its items.
An exception it raises cancels the call, which then raises that exception (as Ctrl-C does).
With a list of ``str`` and no ``progress`` they return exactly what the compiled functions do.
"""

from __future__ import annotations

from typing import Callable, Iterable, Optional, cast, final

from . import _ratiokit

ProgressCallback = Callable[[str, int, int], object]


def cluster_canonicals(
    canonicals: Iterable[str],
    threshold: float,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    """Exact single-linkage clustering of canonicals at a ratio threshold.

    Returns a list of (member indices, minimum pairwise ratio), one per cluster of two or more
    members. The all-pairs join fans out across cores inside the module, so no Python threads
    are needed, and the GIL is released during the compute. threads=0 uses all cores;
    threads=N caps the call to N threads. progress: see the module's documentation.
    """
    return _ratiokit._cluster_canonicals(canonicals, threshold, threads, progress)


def cluster_canonicals_lsh(
    canonicals: Iterable[str],
    threshold: float,
    num_perm: int = 128,
    band_rows: int = 4,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    """Scalable LSH variant of cluster_canonicals.

    MinHash signatures of num_perm values over 9-byte shingles, bands of band_rows values,
    candidate pairs from shared buckets, each verified exactly at threshold. Returns a list of
    (member indices, minimum pairwise ratio); pairs that never share a bucket are never linked.
    The GIL is released during the compute. threads=0 uses all cores; threads=N caps the call
    to N threads.
    """
    return _ratiokit._cluster_canonicals_lsh(
        canonicals, threshold, num_perm, band_rows, threads, progress
    )


def cosine_join(
    docs: Iterable[Iterable[str]],
    threshold: float,
    concurrency: str = "cpu",
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[int, int, float]]:
    """Exact all-pairs weighted-cosine similarity join over token documents.

    Each doc is a list of string tokens; the docs are turned into TF-IDF sparse vectors, and
    every pair whose cosine is at or above threshold is returned as (j, i, cos) with j < i.
    See the compiled ``_ratiokit.cosine_join`` for the concurrency modes. The GIL is released
    for the whole build and join. threads=0 uses all cores; threads=N caps the call to N
    threads.
    """
    return _ratiokit._cosine_join(docs, threshold, concurrency, threads, progress)


@final
class Rationer(_ratiokit.Rationer):
    """A handle that owns long-lived backend resources once and reuses them across calls.

    The free functions rebuild per-call state each time. threads=N gives it a private pool of
    N workers for its lifetime; threads=0 uses the shared pool. concurrency is one of "cpu",
    "gpu", "gpu+cpu"; without a GPU backend every call quietly runs on the CPU with identical
    output. This is the compiled ``_ratiokit.Rationer`` whose ``cluster_canonicals`` also takes
    a keyword-only ``progress``.
    """

    __slots__ = ()
    __module__ = "ratiokit"

    def __new__(
        cls, concurrency: str = "gpu+cpu", threads: int = 0, delta: float = 0.0
    ) -> Rationer:
        return cast(Rationer, super().__new__(cls, concurrency, threads, delta))

    def cluster_canonicals(
        self,
        canonicals: Iterable[str],
        threshold: float,
        *,
        progress: Optional[ProgressCallback] = None,
    ) -> list[tuple[list[int], float]]:
        """Exact single-linkage clustering at threshold, with the same output as the free
        cluster_canonicals, on this handle's pool. progress: see the module's documentation."""
        return self._cluster_canonicals_progress(canonicals, threshold, progress)


@final
class CosineJoiner(_ratiokit.CosineJoiner):
    """A similarity-join handle that builds the TF-IDF corpus of `docs` once, then answers
    repeated ``join(threshold, concurrency="cpu", threads=0)`` calls on it, where the free
    ``cosine_join`` rebuilds everything per call. This is the compiled
    ``_ratiokit.CosineJoiner`` taking documents from any iterable of token iterables."""

    __slots__ = ()
    __module__ = "ratiokit"

    def __new__(cls, docs: Iterable[Iterable[str]]) -> CosineJoiner:
        return cast(CosineJoiner, super().__new__(cls, _ratiokit._documents(docs, "docs")))
