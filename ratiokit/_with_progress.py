"""The compiled long-running calls with a keyword-only ``progress`` added.

The same keyword for ``Rationer.cluster_canonicals``: the package's ``Rationer`` is the compiled
class with that one method extended. Without ``progress`` these are exactly the compiled
functions. Each wrapper's docstring is the compiled one, the single source of that prose,
followed by PROGRESS_NOTE.
"""

from __future__ import annotations

from typing import Callable, Optional, Sequence, TypeVar, cast, final

from . import _ratiokit
from ._columns import reject_table

ProgressCallback = Callable[[str, int, int], object]

PROGRESS_NOTE = """\
progress, when given, is called as progress(phase, done, total) on the calling thread with the
GIL held, at most about ten times a second while the call works: phase names the step (for
clustering "candidates", "edges", "minimum"; for LSH "signatures", "buckets", "verify",
"minimum"; for the join "corpus", "join"), done and total count its items. An exception it
raises cancels the call, which then raises that exception (as Ctrl-C does)."""

_Documented = TypeVar("_Documented")


def documented_as(compiled: object) -> Callable[[_Documented], _Documented]:
    """Gives the decorated wrapper the docstring of the compiled callable it extends."""

    def apply(wrapper: _Documented) -> _Documented:
        wrapper.__doc__ = f"{compiled.__doc__ or ''}\n\n{PROGRESS_NOTE}"
        return wrapper

    return apply


@documented_as(_ratiokit.cluster_canonicals)
def cluster_canonicals(
    canonicals: Sequence[str],
    threshold: float,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    reject_table(canonicals, "canonicals")
    if progress is None:
        return _ratiokit.cluster_canonicals(canonicals, threshold, threads)
    return _ratiokit._cluster_canonicals(canonicals, threshold, threads, progress)


@documented_as(_ratiokit.cluster_canonicals_lsh)
def cluster_canonicals_lsh(
    canonicals: Sequence[str],
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    reject_table(canonicals, "canonicals")
    if progress is None:
        return _ratiokit.cluster_canonicals_lsh(canonicals, threshold, num_perm, band_rows, threads)
    return _ratiokit._cluster_canonicals_lsh(
        canonicals, threshold, num_perm, band_rows, threads, progress
    )


@documented_as(_ratiokit.cosine_join)
def cosine_join(
    docs: Sequence[Sequence[str]],
    threshold: float,
    concurrency: str = "cpu",
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[int, int, float]]:
    if progress is None:
        return _ratiokit.cosine_join(docs, threshold, concurrency, threads)
    return _ratiokit._cosine_join(docs, threshold, concurrency, threads, progress)


@final
@documented_as(_ratiokit.Rationer)
class Rationer(_ratiokit.Rationer):

    __slots__ = ()
    __module__ = "ratiokit"

    def __new__(
        cls, concurrency: str = "gpu+cpu", threads: int = 0, delta: float = 0.0
    ) -> Rationer:
        return cast(Rationer, super().__new__(cls, concurrency, threads, delta))

    @documented_as(_ratiokit.Rationer.cluster_canonicals)
    def cluster_canonicals(
        self,
        canonicals: Sequence[str],
        threshold: float,
        *,
        progress: Optional[ProgressCallback] = None,
    ) -> list[tuple[list[int], float]]:
        reject_table(canonicals, "canonicals")
        if progress is None:
            return super().cluster_canonicals(canonicals, threshold)
        return self._cluster_canonicals_progress(canonicals, threshold, progress)
