"""The native stages of the distributed clustering and joins, for any engine.

Each function runs one piece of the single-machine computation in the compiled core and knows
nothing about the engine that schedules it: Dask (``ratiokit.dask`` is built on these), Ray's
``map_batches`` or Spark's ``mapInPandas`` call them the same way, on plain values they can
ship between processes. Inputs are columns as elsewhere in the package (any iterable of
``str``, a pandas Series, a NumPy or Arrow array; token documents as lists of ``str``);
numeric outputs are NumPy arrays, so NumPy must be installed to call the stages (the package
itself imports without it).

Every answer equals the single-machine function's, bit for bit, when the stages are combined
as follows (positions are global row numbers; a piece of rows is always in ascending position
order):

MinHash/LSH (``cluster_canonicals_lsh``)
    1. ``band_keys(rows, num_perm, band_rows)`` on each piece: an ``(n, bands)`` uint64 array.
    2. Shuffle by band (columns of the keys, rows of all pieces in position order):
       ``band_buckets`` on each group of bands lists its buckets.
    3. ``bucket_components`` names the connected component of each bucket (buckets sharing a
       position are connected); call ``lsh_clusters(strings, buckets, threshold)`` on whole
       components, with their strings in position order and buckets as indices into them.

Exact clustering (``cluster_canonicals``)
    1. ``cluster_edges(all_strings, threshold, shard, shards)`` for each shard: every worker
       holds all strings, each walks its share of the candidate pairs.
    2. Union-find over all edges: the clusters are the components of two or more positions.
    3. ``cluster_minima(groups)``: each cluster's strings in position order give its exact
       minimum pairwise ratio.

Ratio join (``ratio_join``)
    ``join_shard(left, right, threshold, shard, shards)`` for each shard, every worker holding
    both sides; the rows of all shards, sorted by (left, right), are the join.

TF-IDF cosine join (``cosine_join``)
    1. ``doc_frequencies(docs)`` on each piece, in order; ``vocabulary(parts)`` merges them
       (token ids in first-seen order and the idf of each).
    2. ``unit_vectors(docs, vocab)`` on each piece (kept where it is; given the piece's
       ``doc_frequencies(docs, rows=True)`` in place of docs, it does not read the tokens
       again); ``term_numbers`` merges their largest weights (``unit.max_ids``,
       ``unit.max_weights``).
    3. ``term_vectors(unit, terms)`` on each piece.
    4. When every worker can hold all term vectors: ``cosine_shard(all_vectors, terms,
       threshold, shard, shards)`` for each shard, the rows of all shards concatenated in
       shard order. Otherwise ``cosine_block(indexed, queries, terms, threshold)`` for every
       pair of pieces, the earlier one indexed (``queries=None`` for a piece with itself),
       and ``join_order`` over all rows.
"""

from __future__ import annotations

import array
import sys
from typing import Any, Iterable, List, NamedTuple, Optional, Sequence, Tuple

from . import _ratiokit

__all__ = [
    "DocFrequencies",
    "TermVectors",
    "Terms",
    "Vocabulary",
    "band_buckets",
    "band_keys",
    "bucket_components",
    "cluster_edges",
    "cluster_minima",
    "cosine_block",
    "cosine_shard",
    "doc_frequencies",
    "join_order",
    "join_shard",
    "lsh_clusters",
    "UnitVectors",
    "unit_vectors",
    "term_numbers",
    "term_vectors",
    "vocabulary",
]


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:  # pragma: no cover - NumPy is present wherever the tests run
        raise ImportError("ratiokit.stages needs NumPy: pip install numpy") from exc
    return numpy


def _strings(values: Any, name: str) -> List[Any]:
    return values if isinstance(values, list) else _ratiokit._column(values, name)


def _docs(values: Any, name: str) -> List[Any]:
    return _ratiokit._documents(values, name)


def _array(numpy: Any, raw: bytes, dtype: Any) -> Any:
    return numpy.frombuffer(raw, dtype=dtype)


# ---------------------------------------------------------------------------------------------
# MinHash/LSH.


def band_keys(strings: Any, num_perm: int = 128, band_rows: int = 4, *, threads: int = 0) -> Any:
    """The band keys ``cluster_canonicals_lsh`` buckets by: an ``(n, num_perm // band_rows)``
    read-only uint64 array, row k for ``strings[k]`` (no columns when band_rows is 0). Two
    strings share a bucket of band b exactly when their keys in column b are equal."""
    values = _strings(strings, "strings")
    raw = _ratiokit._stage_band_keys(values, num_perm, band_rows, threads)
    bands = 0 if band_rows == 0 else num_perm // band_rows
    np = _numpy()
    return _array(np, raw, np.uint64).reshape(len(values), bands)


def lsh_clusters(strings: Any, buckets: Any, threshold: float, *, offsets: Any = None,
                 threads: int = 0) -> List[Tuple[List[int], float]]:
    """The clusters of the given buckets, verified as ``cluster_canonicals_lsh`` verifies its
    own: every two members of a bucket (indices into strings) are a candidate pair, linked when
    its ratio reaches threshold. Equal strings are one member (copies of a string share all
    its buckets in real use): every copy joins its clusters, and copies link to each other
    when a bucket holds two of them. Each cluster of two or more with its exact minimum pairwise
    ratio, members ascending, by first member. Given whole components of the candidate graph
    with their strings in position order, it is ``cluster_canonicals_lsh``'s answer for them.

    buckets is an iterable of member lists, or with `offsets` one flat array of members, bucket
    k being ``buckets[offsets[k]:offsets[k + 1]]``."""
    values = _strings(strings, "strings")
    if offsets is None:
        members = array.array("I")
        bounds = array.array("Q", [0])
        for bucket in buckets:
            members.extend(int(m) for m in bucket)
            bounds.append(len(members))
        return _ratiokit._stage_lsh_buckets(values, float(threshold), members, bounds, threads)
    np = _numpy()
    return _ratiokit._stage_lsh_buckets(
        values, float(threshold), np.ascontiguousarray(buckets, dtype=np.uint32),
        np.ascontiguousarray(offsets, dtype=np.uint64), threads)


def band_buckets(keys: Any, *, threads: int = 0) -> Tuple[Any, Any]:
    """The buckets of an ``(n, b)`` array of band keys (rows: strings in position order, from
    ``band_keys``; columns: any b of the bands, whole columns), as ``cluster_canonicals_lsh``
    forms them: flat int64 (members, offsets) of row numbers, bucket k being
    ``members[offsets[k]:offsets[k + 1]]``. A bucket of at most 16 strings comes as its pairs
    (buckets of two), a larger one whole; each pair and each large bucket once per call."""
    np = _numpy()
    keys = np.ascontiguousarray(keys, dtype=np.uint64)
    if keys.ndim != 2:
        raise ValueError("keys must be a 2-D array")
    if keys.shape[0] < 2 or keys.shape[1] == 0:
        return np.empty(0, np.int64), np.zeros(1, np.int64)
    members, offsets = _ratiokit._stage_band_buckets(keys, keys.shape[1], threads)
    return (_array(np, members, np.uint64).astype(np.int64),
            _array(np, offsets, np.uint64).astype(np.int64))


def bucket_components(members: Any, offsets: Any) -> Any:
    """The connected components of buckets that share a member (bucket k is
    ``members[offsets[k]:offsets[k + 1]]``, members non-negative integers): per bucket, the
    smallest member of its component, as an int64 array (-1 for an empty bucket)."""
    np = _numpy()
    raw = _ratiokit._stage_bucket_components(np.ascontiguousarray(members, dtype=np.uint64),
                                             np.ascontiguousarray(offsets, dtype=np.uint64))
    return _array(np, raw, np.uint64).astype(np.int64)


# ---------------------------------------------------------------------------------------------
# Exact clustering.


def cluster_edges(strings: Any, threshold: float, shard: int = 0, shards: int = 1, *,
                  threads: int = 0) -> Any:
    """One shard of the edges of ``cluster_canonicals(strings, threshold)``: an ``(m, 2)``
    int64 array of index pairs a < b. The candidate pairs are cut into `shards` runs of about
    equal size (by the length bound); the components of the union of all shards' edges are
    exactly the clusters, copies of one string included."""
    values = _strings(strings, "strings")
    raw = _ratiokit._stage_cluster_edges(values, float(threshold), shard, shards, threads)
    np = _numpy()
    return _array(np, raw, np.uint64).astype(np.int64).reshape(-1, 2)


def cluster_minima(groups: Iterable[Any], *, threads: int = 0) -> List[float]:
    """The exact minimum pairwise ratio of each group of strings, pairs taken in the given
    order (i < j), as the clustering reports it for a cluster of those members; 1.0 for a
    group of fewer than two."""
    return _ratiokit._stage_cluster_minima([_strings(g, "groups") for g in groups], threads)


# ---------------------------------------------------------------------------------------------
# Ratio join.


def join_shard(left: Any, right: Any, threshold: float, shard: int = 0, shards: int = 1, *,
               threads: int = 0) -> Tuple[Any, Any, Any]:
    """One shard of ``ratio_join(left, right, threshold=threshold)`` (right None: the
    self-join of left) as int64 left, int64 right and float64 ratio arrays, ascending by
    (left, right). The candidate walk of the whole join is cut into `shards` runs of about
    equal pairs (by the length bound); each pair belongs to one shard, so the shards together
    test the pairs of one whole join and their rows, sorted, are its answer."""
    level = _ratiokit._unit(threshold, "threshold")
    i, j, ratio = _ratiokit._stage_join_shard(left, right, level, shard, shards, threads)
    np = _numpy()
    return (_array(np, i, np.uint64).astype(np.int64), _array(np, j, np.uint64).astype(np.int64),
            _array(np, ratio, np.float64))


# ---------------------------------------------------------------------------------------------
# TF-IDF cosine join.


class DocFrequencies(NamedTuple):
    """Distinct tokens of some documents in first-seen order, the number of documents holding
    each (uint64 array), and the number of documents; with `rows`, also the documents as
    token ids (positions in `tokens`): document d owns ``ids[offsets[d]:offsets[d + 1]]``,
    which ``unit_vectors`` reads instead of the tokens."""

    tokens: List[str]
    counts: Any
    n_docs: int
    offsets: Any = None
    ids: Any = None

    def without_rows(self) -> "DocFrequencies":
        """The counts alone, all ``vocabulary`` needs (much smaller to send)."""
        return DocFrequencies(self.tokens, self.counts, self.n_docs)


class Vocabulary(NamedTuple):
    """Token ids (positions in `tokens`, first-seen order over all documents) and their idf,
    ln(N / df), as a float64 array."""

    tokens: List[str]
    idf: Any


class Terms(NamedTuple):
    """The term number of each token id (uint32; ordered by largest weight, then id) and the
    largest weight of each term (float64, ascending)."""

    term_of: Any
    max_weight: Any


class TermVectors(NamedTuple):
    """Unit TF-IDF vectors: document d owns entries offsets[d] .. offsets[d + 1] of terms
    (ascending) and weights."""

    offsets: Any
    terms: Any
    weights: Any

    @property
    def n_docs(self) -> int:
        return len(self.offsets) - 1


def _flat_docs(np: Any, docs: Any) -> Optional[Tuple[Any, Any, Any]]:
    """(document offsets, token offsets, UTF-8 data) of documents held as an Arrow
    list<string> array without nulls (a pyarrow array or chunked array, or a pandas Series
    backed by one), read in place; None for anything else."""
    if hasattr(getattr(docs, "dtype", None), "pyarrow_dtype"):  # pandas ArrowDtype
        docs = docs.array.__arrow_array__()
    pa = sys.modules.get("pyarrow")
    if pa is None or not isinstance(docs, (pa.Array, pa.ChunkedArray)):
        return None
    if isinstance(docs, pa.ChunkedArray):
        docs = docs.combine_chunks()
    kind = docs.type
    if not (pa.types.is_list(kind) or pa.types.is_large_list(kind)):
        return None
    large = pa.types.is_large_string(kind.value_type)
    if not (large or pa.types.is_string(kind.value_type)):
        return None
    values = docs.values
    if docs.null_count or values.null_count:
        return None  # the general path says which document is at fault
    _, offsets_buffer, data = values.buffers()
    token_offsets = np.frombuffer(offsets_buffer, dtype=np.int64 if large else np.int32)
    token_offsets = token_offsets[values.offset:values.offset + len(values) + 1]
    return (np.asarray(docs.offsets).astype(np.uint64), token_offsets.astype(np.uint64),
            b"" if data is None else data)


def doc_frequencies(docs: Any, *, rows: bool = False) -> DocFrequencies:
    """Step 1 on one piece of token documents; with rows=True the result also holds the
    documents as token ids, for ``unit_vectors``. An Arrow list<string> column is read in
    place, without making a str of every token."""
    np = _numpy()
    flat = _flat_docs(np, docs)
    if flat is None:
        found = _ratiokit._stage_doc_frequencies(_docs(docs, "docs"))
    else:
        found = _ratiokit._stage_doc_frequencies_flat(*flat)
    tokens, counts, n_docs, offsets, ids = found
    if not rows:
        return DocFrequencies(tokens, _array(np, counts, np.uint64), n_docs)
    return DocFrequencies(tokens, _array(np, counts, np.uint64), n_docs,
                          _array(np, offsets, np.uint64), _array(np, ids, np.uint32))


def vocabulary(parts: Sequence[DocFrequencies]) -> Vocabulary:
    """The vocabulary of all pieces, given their doc_frequencies in row order."""
    np = _numpy()
    ids: dict = {}
    for part in parts:
        for token in part.tokens:
            if token not in ids:
                ids[token] = len(ids)
    counts = np.zeros(len(ids), dtype=np.uint64)
    for part in parts:
        where = np.fromiter((ids[t] for t in part.tokens), dtype=np.int64, count=len(part.tokens))
        counts[where] += np.asarray(part.counts, dtype=np.uint64)
    n_docs = sum(int(p.n_docs) for p in parts)
    idf = _array(np, _ratiokit._stage_idf(counts, n_docs), np.float64)
    return Vocabulary(list(ids), idf)


class UnitVectors(NamedTuple):
    """Unit TF-IDF vectors by token id: document d owns entries offsets[d] .. offsets[d + 1]
    of ids (ascending) and weights; max_ids and max_weights give the largest weight of every
    id the piece holds."""

    offsets: Any
    ids: Any
    weights: Any
    max_ids: Any
    max_weights: Any

    @property
    def n_docs(self) -> int:
        return len(self.offsets) - 1


def unit_vectors(docs: Any, vocab: Vocabulary) -> UnitVectors:
    """Step 2 on one piece of token documents, or on the piece's ``doc_frequencies(docs,
    rows=True)``, which spares reading the tokens again."""
    np = _numpy()
    if isinstance(docs, DocFrequencies) and docs.ids is not None:
        raw = _ratiokit._stage_unit_vectors_of_ids(
            np.ascontiguousarray(docs.offsets, dtype=np.uint64),
            np.ascontiguousarray(docs.ids, dtype=np.uint32), docs.tokens, vocab.tokens, vocab.idf)
    else:
        raw = _ratiokit._stage_unit_vectors(_docs(docs, "docs"), vocab.tokens, vocab.idf)
    return UnitVectors(_array(np, raw[0], np.uint64), _array(np, raw[1], np.uint32),
                       _array(np, raw[2], np.float64), _array(np, raw[3], np.uint32),
                       _array(np, raw[4], np.float64))


def term_numbers(parts: Sequence[Tuple[Any, Any]], vocab: Vocabulary) -> Terms:
    """The term numbers of all pieces, given each piece's (max_ids, max_weights) in any
    order."""
    np = _numpy()
    term_of, max_weight = _ratiokit._stage_term_order(
        len(vocab.tokens), [(np.ascontiguousarray(i, dtype=np.uint32),
                             np.ascontiguousarray(w, dtype=np.float64)) for i, w in parts])
    return Terms(_array(np, term_of, np.uint32), _array(np, max_weight, np.float64))


def term_vectors(unit: UnitVectors, terms: Terms) -> TermVectors:
    """Step 3 on one piece: its unit vectors over the global term numbers."""
    np = _numpy()
    offsets, t, w = _ratiokit._stage_term_vectors(
        np.ascontiguousarray(unit.offsets, dtype=np.uint64),
        np.ascontiguousarray(unit.ids, dtype=np.uint32),
        np.ascontiguousarray(unit.weights, dtype=np.float64),
        np.ascontiguousarray(terms.term_of, dtype=np.uint32))
    return TermVectors(_array(np, offsets, np.uint64), _array(np, t, np.uint32),
                       _array(np, w, np.float64))


def cosine_block(indexed: TermVectors, queries: Optional[TermVectors], terms: Terms,
                 threshold: float, *, indexed_offset: int = 0, query_offset: int = 0,
                 threads: int = 0) -> Tuple[Any, Any, Any, Any]:
    """Rows (j, i, cosine, touch) of ``cosine_join`` with j from `indexed` and i from `queries`
    (or both from `indexed` when queries is None), positions shifted by the offsets; `indexed`
    must stand before `queries`. touch is the entry of i's vector through which j was met
    first: ``join_order`` sorts rows of several blocks into the native join's order."""
    np = _numpy()
    j, i, cos, touch = _ratiokit._stage_cosine_block(
        _piece(np, indexed), None if queries is None else _piece(np, queries),
        np.ascontiguousarray(terms.max_weight, dtype=np.float64), float(threshold), threads)
    i_offset = indexed_offset if queries is None else query_offset
    return (_array(np, j, np.uint64).astype(np.int64) + indexed_offset,
            _array(np, i, np.uint64).astype(np.int64) + i_offset,
            _array(np, cos, np.float64), _array(np, touch, np.uint32).astype(np.int64))


def _piece(np: Any, v: TermVectors) -> Tuple[Any, Any, Any]:
    return (np.ascontiguousarray(v.offsets, dtype=np.uint64),
            np.ascontiguousarray(v.terms, dtype=np.uint32),
            np.ascontiguousarray(v.weights, dtype=np.float64))


def cosine_shard(vectors: Sequence[TermVectors], terms: Terms, threshold: float,
                 shard: int = 0, shards: int = 1, *, threads: int = 0
                 ) -> Tuple[Any, Any, Any]:
    """One shard of ``cosine_join`` over all documents (`vectors`: every piece's
    ``term_vectors``, in position order) as int64 j, int64 i and float64 cosine arrays. The
    queries are cut into `shards` runs of about equal work; the rows of shards 0, 1, ...
    concatenated are the whole join's rows in its order."""
    np = _numpy()
    j, i, cos, _ = _ratiokit._stage_cosine_shard(
        [_piece(np, v) for v in vectors], np.ascontiguousarray(terms.max_weight, dtype=np.float64),
        float(threshold), shard, shards, threads)
    return (_array(np, j, np.uint64).astype(np.int64), _array(np, i, np.uint64).astype(np.int64),
            _array(np, cos, np.float64))


def join_order(j: Any, i: Any, touch: Any) -> Any:
    """The permutation that puts rows of several blocks in ``cosine_join``'s order: by i, then
    by touch, then by j."""
    np = _numpy()
    return np.lexsort((np.asarray(j), np.asarray(touch), np.asarray(i)))
