"""The compiled long-running calls with a keyword-only ``progress`` added.

The same keyword for ``Rationer.cluster_canonicals``: the package's ``Rationer`` is the compiled
class with that one method extended, and the package's ``CosineJoiner`` the compiled class
taking documents by the package's input rule. All of them read their input by that rule (any
iterable of ``str``; documents from any iterable of token iterables; a DataFrame, a
``Mapping`` or a bare ``str`` refused with a TypeError saying what to pass; counts such as
``threads`` named in their errors); with a list of ``str`` and no ``progress`` they return
exactly what the compiled functions do. Each wrapper's docstring is the compiled one, the single source of that prose,
followed by PROGRESS_NOTE.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Callable, Iterable, Optional, TypeVar, cast, final

from . import _ratiokit

if TYPE_CHECKING:
    from ._ratiokit import _PairLike

ProgressCallback = Callable[[str, int, int], object]

PROGRESS_NOTE = """\
progress, when given, is called as progress(phase, done, total) on the calling thread with the
GIL held, at most about ten times a second while the call works: phase names the step (for
clustering "candidates", "edges", "minimum"; for LSH "signatures", "buckets", "verify",
"minimum"; for the join "corpus", "join"), done and total count its items. An exception it
raises cancels the call, which then raises that exception (as Ctrl-C does)."""

_Documented = TypeVar("_Documented")


PAIRS_NOTE = """\
pairs may be any iterable of two-item pairs (tuples, lists, array rows, a generator or zip, a
pyarrow list array of two-item lists), each two str or two sequences of hashable items, as the
package's ratio_many takes them."""


def documented_as(
    compiled: object, note: str = PROGRESS_NOTE
) -> Callable[[_Documented], _Documented]:
    """Gives the decorated wrapper the docstring of the compiled callable it extends, followed
    by `note` on what the wrapper adds."""

    def apply(wrapper: _Documented) -> _Documented:
        wrapper.__doc__ = f"{compiled.__doc__ or ''}\n\n{note}"
        return wrapper

    return apply


@documented_as(_ratiokit.cluster_canonicals)
def cluster_canonicals(
    canonicals: Iterable[str],
    threshold: float,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    return _ratiokit._cluster_canonicals(canonicals, threshold, threads, progress)


@documented_as(_ratiokit.cluster_canonicals_lsh)
def cluster_canonicals_lsh(
    canonicals: Iterable[str],
    threshold: float,
    num_perm: int = 128,
    band_rows: int = 4,
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[list[int], float]]:
    return _ratiokit._cluster_canonicals_lsh(
        canonicals, threshold, num_perm, band_rows, threads, progress
    )


@documented_as(_ratiokit.cosine_join)
def cosine_join(
    docs: Iterable[Iterable[str]],
    threshold: float,
    concurrency: str = "cpu",
    threads: int = 0,
    *,
    progress: Optional[ProgressCallback] = None,
) -> list[tuple[int, int, float]]:
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
        canonicals: Iterable[str],
        threshold: float,
        *,
        progress: Optional[ProgressCallback] = None,
    ) -> list[tuple[list[int], float]]:
        return self._cluster_canonicals_progress(canonicals, threshold, progress)

    @documented_as(_ratiokit.Rationer.ratio_many, PAIRS_NOTE)
    def ratio_many(self, pairs: Iterable[_PairLike]) -> list[float]:
        return self._ratio_many_pairs(pairs)


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
