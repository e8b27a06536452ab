"""Type stubs of the compiled core. Every parameter is positional-or-keyword."""

from typing import Callable, Hashable, Iterable, Optional, Sequence, Tuple, Union, final, overload

from typing_extensions import Buffer, disjoint_base

class PanicException(BaseException):
    """An internal fault the module could not recover from (not an ``Exception``)."""

def ratio(a: str, b: str) -> float: ...
def ratio_many(pairs: Sequence[Tuple[str, str]], threads: int = 0) -> list[float]: ...
def cluster_canonicals(
    canonicals: Sequence[str], threshold: float, threads: int = 0
) -> list[tuple[list[int], float]]: ...
def cluster_canonicals_lsh(
    canonicals: Sequence[str],
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int = 0,
) -> list[tuple[list[int], float]]: ...
def cosine_join(
    docs: Sequence[Sequence[str]], threshold: float, concurrency: str = "cpu", threads: int = 0
) -> list[tuple[int, int, float]]: ...
# One side of a pair for the package's ratio and ratio_many: a str, or a list, tuple or bytes of
# hashable items (both sides of a pair the same kind; a str beside a sequence is a TypeError).
_Side = Union[str, Sequence[Hashable]]
# A pair: any two-item iterable of sides (tuple, list, array row).
_PairLike = Iterable[_Side]

@overload
def _ratio_public(a: str, b: str, /, *, autojunk: bool = False) -> float: ...
@overload
def _ratio_public(
    a: Sequence[Hashable], b: Sequence[Hashable], /, *, autojunk: bool = False
) -> float: ...
@overload
def _ratio_public(
    a: Iterable[_PairLike], b: None = None, /, *, autojunk: bool = False
) -> list[float]: ...
def _ratio_autojunk(a: str, b: str) -> float: ...
def _ratio_by(a: str, b: str, search: str) -> float: ...
def _extract(
    query: str,
    choices: _Choices | list[str] | tuple[str, ...],
    limit: int,
    cutoff: float,
    autojunk: bool,
    keep_ties: bool,
    threads: int,
) -> list[tuple[int, float]]: ...
def _extract_many(
    queries: Sequence[str],
    choices: _Choices | list[str] | tuple[str, ...],
    limit: int,
    cutoff: float,
    autojunk: bool,
    keep_ties: bool,
    threads: int,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[list[tuple[int, float]]]: ...

@final
class _Choices:
    def __new__(
        cls, strings: list[str] | tuple[str, ...], counted: bool = True
    ) -> _Choices: ...
    def __len__(self) -> int: ...
    @property
    def strings(self) -> tuple[str, ...]: ...

def _ratio_join(
    left: Iterable[str],
    right: Iterable[str] | None,
    threshold: float,
    threads: int,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[tuple[int, int, float]]: ...
def _ratio_many(
    pairs: Iterable[_PairLike],
    threads: int = 0,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[float]: ...
def _ratio_join_columns(
    left: Iterable[str],
    right: Iterable[str] | None,
    threshold: float,
    threads: int,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> tuple[bytearray, bytearray, bytearray]: ...
def _dedupe(
    strings: Sequence[str],
    threshold: float,
    threads: int = 0,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[int]: ...
def _cluster_canonicals(
    canonicals: Iterable[str],
    threshold: float,
    threads: int = 0,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[tuple[list[int], float]]: ...
def _cluster_canonicals_lsh(
    canonicals: Iterable[str],
    threshold: float,
    num_perm: int,
    band_rows: int,
    threads: int = 0,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[tuple[list[int], float]]: ...
def _cosine_join(
    docs: Iterable[Iterable[str]],
    threshold: float,
    concurrency: str = "cpu",
    threads: int = 0,
    progress: Optional[Callable[[str, int, int], object]] = None,
) -> list[tuple[int, int, float]]: ...
def _progress_lines(mode: Optional[bool]) -> Optional[bool]: ...
def _column(value: object, name: str) -> list[object]: ...
def _documents(value: object, name: str) -> list[list[str]]: ...
def _count(value: object, name: str) -> int: ...
def _unit(value: object, name: str) -> float: ...
@disjoint_base
class Rationer:
    def __new__(cls, concurrency: str = "gpu+cpu", threads: int = 0, delta: float = 0.0) -> Rationer: ...
    def ratio(self, a: str, b: str) -> float: ...
    def ratio_many(self, pairs: Sequence[Tuple[str, str]]) -> list[float]: ...
    def _ratio_many_pairs(self, pairs: Iterable[_PairLike]) -> list[float]: ...
    def cluster_canonicals(
        self, canonicals: Sequence[str], threshold: float
    ) -> list[tuple[list[int], float]]: ...
    def _cluster_canonicals_progress(
        self,
        canonicals: Iterable[str],
        threshold: float,
        progress: Optional[Callable[[str, int, int], object]] = None,
    ) -> list[tuple[list[int], float]]: ...
    @property
    def delta(self) -> float: ...
    @property
    def concurrency(self) -> str: ...

@disjoint_base
class CosineJoiner:
    def __new__(cls, docs: Sequence[Sequence[str]]) -> CosineJoiner: ...
    def join(
        self, threshold: float, concurrency: str = "cpu", threads: int = 0
    ) -> list[tuple[int, int, float]]: ...
    @property
    def has_gpu(self) -> bool: ...
    def __len__(self) -> int: ...

# Native stages of distributed runs (ratiokit.stages); arrays as native-endian bytes.
def _stage_band_keys(
    strings: Sequence[str], num_perm: int, band_rows: int, threads: int = 0
) -> bytes: ...
def _stage_lsh_buckets(
    strings: Sequence[str],
    threshold: float,
    members: Buffer,
    offsets: Buffer,
    threads: int = 0,
) -> list[tuple[list[int], float]]: ...
def _stage_band_buckets(keys: Buffer, bands: int, threads: int = 0) -> tuple[bytes, bytes]: ...
def _stage_bucket_components(members: Buffer, offsets: Buffer) -> bytes: ...
def _stage_cluster_edges(
    strings: Sequence[str], threshold: float, shard: int, shards: int, threads: int = 0
) -> bytes: ...
def _stage_join_shard(
    left: Iterable[str], right: Optional[Iterable[str]], threshold: float, shard: int,
    shards: int, threads: int = 0
) -> tuple[bytes, bytes, bytes]: ...
def _stage_cluster_minima(groups: Sequence[Sequence[str]], threads: int = 0) -> list[float]: ...
def _stage_doc_frequencies(
    docs: Sequence[Sequence[str]],
) -> tuple[list[str], bytes, int, bytes, bytes]: ...
def _stage_doc_frequencies_flat(
    doc_offsets: Buffer, token_offsets: Buffer, data: Buffer
) -> tuple[list[str], bytes, int, bytes, bytes]: ...
def _stage_idf(counts: Buffer, n_docs: int) -> bytes: ...
def _stage_unit_vectors(
    docs: Sequence[Sequence[str]], vocabulary: Sequence[str], idf: Buffer
) -> tuple[bytes, bytes, bytes, bytes, bytes]: ...
def _stage_unit_vectors_of_ids(
    offsets: Buffer, ids: Buffer, tokens: Sequence[str], vocabulary: Sequence[str], idf: Buffer
) -> tuple[bytes, bytes, bytes, bytes, bytes]: ...
def _stage_term_order(n_ids: int, parts: Sequence[tuple[Buffer, Buffer]]) -> tuple[bytes, bytes]: ...
def _stage_term_vectors(
    offsets: Buffer, ids: Buffer, weights: Buffer, term_of: Buffer
) -> tuple[bytes, bytes, bytes]: ...
def _stage_cosine_block(
    indexed: tuple[Buffer, Buffer, Buffer],
    queries: Optional[tuple[Buffer, Buffer, Buffer]],
    max_weight: Buffer,
    threshold: float,
    threads: int = 0,
) -> tuple[bytes, bytes, bytes, bytes]: ...
def _stage_cosine_shard(
    pieces: Sequence[tuple[Buffer, Buffer, Buffer]],
    max_weight: Buffer,
    threshold: float,
    shard: int,
    shards: int,
    threads: int = 0,
) -> tuple[bytes, bytes, bytes, bytes]: ...
