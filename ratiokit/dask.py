"""Clustering and joins on Dask, with the single-machine functions' exact answers.

Install with ``pip install "ratiokit[dask]"`` (Python 3.10+). Every function takes Dask Series
(positions are global row numbers: 0-based, partitions in order) and runs on the current Dask
scheduler: a ``distributed.Client`` when one is active, for instance
``distributed.Client("tcp://scheduler:8786")`` for a real cluster.

- ``ratio_column(df, a, b)``: lazy Series of exact ratios of two string columns.
- ``ratio_join(left, right=None, threshold=t)``: ``ratiokit.ratio_join``'s pairs.
- ``cluster(strings, threshold=t, method="exact" | "lsh")``: ``cluster_canonicals`` /
  ``cluster_canonicals_lsh``, one row per member.
- ``cosine_join(docs, threshold=t)``: ``ratiokit.cosine_join``'s rows.

The joins and the clustering plan their blocks from statistics of the input, so they compute
on call and return their (sorted) result as a Dask DataFrame. Each reads the input several
times: ``persist()`` an input that is expensive to produce. The native stages they schedule
are ``ratiokit.stages``, which another engine can call the same way.
"""

from __future__ import annotations

import contextlib
import importlib
import math
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from . import _search, _stages, stages

__all__ = ["cluster", "cosine_join", "ratio_column", "ratio_join", "token_series"]

INSTALL_HINT = 'ratiokit.dask needs Dask: pip install "ratiokit[dask]" (Python 3.10 or newer)'

# Strings per length band of the exact clustering and the ratio join: a block joins two bands
# natively on one worker, about (2 * BLOCK_SIZE)^2 / 2 bounded pairs at worst.
BLOCK_SIZE = 4096
# Summed squared cluster sizes, and strings, per minimum or LSH verification job.
JOB_COST = 1 << 24
JOB_MEMBERS = 20_000
# The exact clustering sends every worker all strings when they take at most this many bytes
# (4 per code point, as the native code holds them, plus per-string overhead); beyond it each
# block of length bands goes to one worker.
BROADCAST_BYTES = 1 << 29
# Shards of the broadcast clustering's candidate walk per worker, for balance.
SHARDS_PER_WORKER = 4


def _dask() -> Tuple[Any, Any, Any]:
    try:
        import dask
        import dask.dataframe as dd

        pd = importlib.import_module("pandas")
    except ImportError as exc:
        raise ImportError(INSTALL_HINT) from exc
    return dask, dd, pd


def _as_strings(part: Any, what: str, number: int) -> List[str]:
    return _stages.Batch(_stages.check_strings(part.tolist(), what, number))


def _partitions(series: Any, what: str) -> List[Any]:
    """The partitions of series as lazy lists (``_stages.Batch``), checked, in order; a bad
    value raises ``_stages.BadValue`` naming `what`, the partition and the row in it."""
    dask, _, _ = _dask()
    return [dask.delayed(_as_strings)(p, what, k) for k, p in enumerate(series.to_delayed())]


@contextlib.contextmanager
def _global_rows(**inputs: Any) -> Iterator[None]:
    """Names the global row of a bad value in one of `inputs` (by name). The rows before its
    partition are counted only then, so a good input costs no extra pass."""
    try:
        yield
    except _stages.BadValue as e:
        series = inputs.get(e.source)
        if series is None or e.partition is None:
            raise
        dask, _, _ = _dask()
        before = dask.compute(*[dask.delayed(len)(p)
                                for p in series.to_delayed()[:e.partition]])
        raise TypeError(e.at(sum(before))) from None


def _frame(pdf: Any, npartitions: int = 1) -> Any:
    _, dd, _ = _dask()
    return dd.from_pandas(pdf, npartitions=max(1, npartitions), sort=False)


COSINE_COLUMNS = (("j", "int64"), ("i", "int64"), ("cosine", "float64"))


def _frame_on_workers(parts: List[Any], columns: Sequence[Tuple[str, str]]) -> Any:
    """A DataFrame whose partitions are the row arrays of `parts` (lazy tuples of arrays, one
    per column, the rows in order), computed now but left on the workers, so the rows travel
    once, when the caller computes the frame. The index counts rows from 0, as ``_frame``'s."""
    dask, dd, pd = _dask()
    import numpy as np

    parts = list(dask.persist(*parts))
    # Also where a failed part raises, inside the caller's error handling.
    sizes = dask.compute(*[dask.delayed(_stages.row_count)(p) for p in parts])
    starts = [0]
    for n in sizes:
        starts.append(starts[-1] + n)
    names = [name for name, _ in columns]
    frames = [dask.delayed(_stages.rows_frame)(p, names, start)
              for p, start in zip(parts, starts)]
    meta = pd.DataFrame({name: np.empty(0, dtype) for name, dtype in columns})
    return dd.from_delayed(frames, meta=meta, verify_meta=False)


def token_series(docs: Sequence[Sequence[str]], npartitions: int = 1) -> Any:
    """A Dask Series of token lists that survives ``dataframe.convert-string`` (Arrow lists)."""
    _, dd, pd = _dask()
    pa = importlib.import_module("pyarrow")
    series = pd.Series([list(d) for d in docs], dtype=pd.ArrowDtype(pa.list_(pa.string())))
    return dd.from_pandas(series, npartitions=max(1, npartitions), sort=False)


def ratio_column(df: Any, a: str, b: str, *, autojunk: bool = False, threads: int = 0) -> Any:
    """Lazy float64 Series: exact ratio of columns a and b, row by row, one batch a partition.

    With autojunk=True the ratio is difflib's default (autojunk) one, as
    ``ratiokit.ratio(a, b, autojunk=True)`` gives it."""
    _, _, pd = _dask()

    def batch(part: Any, partition_info: Optional[Dict[str, Any]] = None) -> Any:
        # Each partition is computed on its own, where the rows before it are unknown: a bad
        # value is named by its partition, its row there and its index label.
        number = None if partition_info is None else partition_info["number"]
        try:
            values = _stages.ratio_pairs(part[a].tolist(), part[b].tolist(), autojunk, threads,
                                         number, (f"column {a!r}", f"column {b!r}"))
        except _stages.BadValue as e:
            raise TypeError(f"{e} (index label {part.index[e.row]!r})") from None
        return pd.Series(values, index=part.index, dtype="float64", name="ratio")

    return df.map_partitions(batch, meta=pd.Series([], dtype="float64", name="ratio"))


def _bands(series: Any, block_size: int, what: str) -> Tuple[_stages.BandPlan, List[Any]]:
    """Plans the length bands of series and returns the lazy band values (positions, strings)."""
    dask, _, _ = _dask()
    parts = list(dask.persist(*_partitions(series, what)))
    hists = list(dask.compute(*[dask.delayed(_stages.length_histogram)(p) for p in parts]))
    plan = _stages.BandPlan(hists, block_size)
    pieces: Dict[int, List[Any]] = {b: [] for b in range(plan.n_bands)}
    for k, part in enumerate(parts):
        split = dask.delayed(_stages.split_by_band, nout=None)(
            part, plan.offsets[k], plan.starts[k], plan.block_size)
        for band in plan.bands_of_partition(k, hists[k]):
            pieces[band].append(split[band])
    bands = [dask.delayed(_stages.concat_pieces)(*pieces[b]) for b in range(plan.n_bands)]
    return plan, bands


def ratio_join(left: Any, right: Any = None, *, threshold: float, block_size: int = BLOCK_SIZE,
               threads: int = 0) -> Any:
    """Every pair whose ratio reaches threshold: columns left, right (int64), ratio (float64),
    sorted by (left, right); ``ratiokit.ratio_join(list(left), list(right), threshold=...)``.

    With right=None it is the self-join of left, pairs left < right. When both sides fit a
    worker (``BROADCAST_BYTES``) every worker gets them once and walks its shard of the native
    join's candidate walk, so the pairs tested are one machine's; otherwise strings are cut
    into length bands of block_size and only bands whose closest lengths can reach the
    threshold are joined, each such pair of bands on one worker. The threshold must be a
    number in [0, 1], as for ``ratiokit.ratio_join``."""
    dask, _, pd = _dask()
    import numpy as np

    t = _search._unit(threshold, "threshold")
    with _global_rows(left=left, right=right):
        lparts = list(dask.persist(*_partitions(left, "left")))
        rparts = [] if right is None else list(dask.persist(*_partitions(right, "right")))
        hists = list(dask.compute(*[dask.delayed(_stages.length_histogram)(p)
                                    for p in lparts + rparts]))
        if _text_bytes(hists) <= BROADCAST_BYTES:
            found = _join_broadcast(lparts, None if right is None else rparts, hists, t, threads)
        else:
            found = _join_bands(left, right, block_size, t, threads)
    li = np.concatenate([f[0] for f in found] + [np.empty(0, np.int64)])
    rj = np.concatenate([f[1] for f in found] + [np.empty(0, np.int64)])
    ratio = np.concatenate([f[2] for f in found] + [np.empty(0, np.float64)])
    order = np.lexsort((rj, li))
    pdf = pd.DataFrame({"left": li[order], "right": rj[order], "ratio": ratio[order]})
    return _frame(pdf, len(lparts))


def _text_bytes(hists: Sequence[Dict[int, int]]) -> int:
    """What the strings of these length histograms take in native code: 4 bytes a code point
    plus the per-string overhead."""
    return sum(4 * length * count + 64 * count for h in hists for length, count in h.items())


def _join_broadcast(lparts: List[Any], rparts: Optional[List[Any]],
                    hists: Sequence[Dict[int, int]], t: float, threads: int) -> Sequence[Any]:
    """Every worker holds both sides and walks a shard of the native join's candidate walk."""
    dask, _, _ = _dask()
    n = sum(sum(h.values()) for h in hists)
    shards = max(1, min(SHARDS_PER_WORKER * _workers(), n // 64))
    parts = lparts + ([] if rparts is None else rparts)
    return dask.compute(*[dask.delayed(_stages.join_shard)(len(lparts), t, s, shards, threads,
                                                           rparts is None, *parts)
                          for s in range(shards)])


def _join_bands(left: Any, right: Any, block_size: int, t: float, threads: int
                ) -> Sequence[Any]:
    """Each pair of length bands that can meet, joined on one worker."""
    dask, _, _ = _dask()
    lplan, lbands = _bands(left, block_size, "left")
    if right is None:
        blocks = [dask.delayed(_stages.join_block)(
            lbands[a], None if a == b else lbands[b], t, True, threads)
            for a, b in lplan.meeting_pairs(None, t)]
    else:
        rplan, rbands = _bands(right, block_size, "right")
        blocks = [dask.delayed(_stages.join_block)(lbands[a], rbands[b], t, False, threads)
                  for a, b in lplan.meeting_pairs(rplan, t)]
    return dask.compute(*blocks)


def _with_minima(parts: List[Any], offsets: List[int],
                 clusters: List[Tuple[_stages.Members, Optional[float]]],
                 threads: int) -> List[Tuple[_stages.Members, float]]:
    """Fills in the exact minimum of every cluster that has none yet, where its members are."""
    dask, _, _ = _dask()
    out = [(m, math.nan if s is None else s) for m, s in clusters]
    todo = [k for k, (_, score) in enumerate(clusters) if score is None]
    if not todo:
        return out
    jobs = _stages.pack_jobs([len(clusters[k][0]) for k in todo], JOB_COST, JOB_MEMBERS)
    rows = _rows_for_jobs(parts, offsets, [[m for k in job for m in clusters[todo[k]][0]]
                                           for job in jobs])
    minima = dask.compute(*[dask.delayed(_stages.cluster_minima)(
        [clusters[todo[k]][0] for k in job], rows[j], threads) for j, job in enumerate(jobs)])
    for job, values in zip(jobs, minima):
        for k, value in zip(job, values):
            out[todo[k]] = (clusters[todo[k]][0], value)
    return out


def _rows_for_jobs(parts: List[Any], offsets: List[int], wanted: List[List[int]]) -> List[Any]:
    """Lazy {position: string} per job, picked from the partitions that hold its positions."""
    import bisect

    dask, _, _ = _dask()
    per_part: List[Dict[int, List[int]]] = [{} for _ in parts]
    for job, positions in enumerate(wanted):
        for p in positions:
            per_part[bisect.bisect_right(offsets, p) - 1].setdefault(job, []).append(p)
    picked: List[Any] = [dask.delayed(_stages.pick_rows, nout=None)(part, offsets[k], per_part[k])
              if per_part[k] else None for k, part in enumerate(parts)]
    return [dask.delayed(_stages.collect)(*[picked[k][job] for k in range(len(parts))
                                            if job in per_part[k]])
            for job in range(len(wanted))]


def cluster(strings: Any, *, threshold: float, method: str = "exact", num_perm: int = 128,
            band_rows: int = 4, block_size: int = BLOCK_SIZE, threads: int = 0) -> Any:
    """Single-linkage clusters: one row per member of every cluster of two or more, with
    columns member (int64 position), cluster (int64, its first member) and min_ratio (float64,
    the exact minimum pairwise ratio of the cluster); sorted by cluster, then member. Equals
    ``ratiokit.cluster_canonicals(list(strings), threshold)`` for method="exact" and
    ``ratiokit.cluster_canonicals_lsh(list(strings), threshold, num_perm, band_rows)`` for
    method="lsh", NaN and negative thresholds included (every pair links under them)."""
    dask, _, _ = _dask()
    t = float(threshold)
    if method not in ("exact", "lsh"):
        raise ValueError(f"method must be 'exact' or 'lsh', not {method!r}")
    if method == "lsh" and (num_perm < 0 or band_rows < 0):
        raise ValueError("num_perm and band_rows must not be negative")
    with _global_rows(strings=strings):
        if method == "exact":
            found = _cluster_exact(strings, t, block_size, threads)
        else:
            found = _cluster_lsh(strings, t, int(num_perm), int(band_rows), threads)
    pdf = _stages.clusters_frame(found)
    return _frame(pdf, max(1, len(pdf) // 1_000_000))


def _workers() -> int:
    """Workers of the active distributed client, else the local scheduler's threads."""
    try:
        from distributed import get_client

        return max(1, len(get_client().scheduler_info()["workers"]))
    except (ImportError, ValueError):
        import os

        return max(1, os.cpu_count() or 1)


def _cluster_exact(strings: Any, t: float, block_size: int, threads: int
                   ) -> List[Tuple[_stages.Members, float]]:
    dask, _, _ = _dask()
    parts = list(dask.persist(*_partitions(strings, "strings")))
    hists = list(dask.compute(*[dask.delayed(_stages.length_histogram)(p) for p in parts]))
    n = sum(sum(h.values()) for h in hists)
    if not (t > 0.0):
        # NaN, zero and negative thresholds link every pair: one cluster of everything.
        if n < 2:
            return []
        plan = _stages.BandPlan(hists, 1)
        return _with_minima(parts, plan.offsets, [(tuple(range(n)), None)], threads)
    if _text_bytes(hists) <= BROADCAST_BYTES:
        return _cluster_broadcast(parts, n, t, threads)
    plan, bands = _bands(strings, block_size, "strings")
    blocks = [dask.delayed(_stages.cluster_block)(bands[a], None if a == b else bands[b], t,
                                                  threads)
              for a, b in plan.meeting_pairs(None, t)]
    merged = _stages.merge_clusters(dask.compute(*blocks))
    return _with_minima(parts, plan.offsets, merged, threads)


def _cluster_broadcast(parts: List[Any], n: int, t: float, threads: int
                       ) -> List[Tuple[_stages.Members, float]]:
    """Every worker holds all strings and walks a shard of the candidate pairs, so the pairs
    tested stay close to one machine's; minima are computed where the strings already are."""
    dask, _, _ = _dask()
    if n < 2:
        return []
    # Each task reads every partition: a worker fetches those it lacks once and keeps them
    # while its tasks need them, with no gathering step before the walk.
    shards = max(1, min(SHARDS_PER_WORKER * _workers(), n // 64))
    edges = dask.compute(*[dask.delayed(_stages.shard_edges)(t, s, shards, threads, *parts)
                           for s in range(shards)])
    clusters = _stages.edge_components(n, edges)
    if not clusters:
        return []
    jobs = _stages.pack_jobs([len(c) for c in clusters], JOB_COST, JOB_MEMBERS)
    minima = dask.compute(*[dask.delayed(_stages.cluster_minima_of)(
        [clusters[k] for k in job], threads, *parts) for job in jobs])
    out = []
    for job, values in zip(jobs, minima):
        for k, value in zip(job, values):
            out.append((clusters[k], value))
    return out


def _cluster_lsh(strings: Any, t: float, num_perm: int, band_rows: int, threads: int
                 ) -> List[Tuple[_stages.Members, float]]:
    dask, _, _ = _dask()
    parts = list(dask.persist(*_partitions(strings, "strings")))
    sizes = dask.compute(*[dask.delayed(len)(p) for p in parts])
    offsets = [0]
    for s in sizes[:-1]:
        offsets.append(offsets[-1] + s)
    if sum(sizes) < 2 or band_rows == 0 or num_perm // band_rows == 0:
        return []
    bands = num_perm // band_rows
    # One graph from band keys to verified clusters: keys stay on their partition's worker,
    # whole band columns meet in one task per group, and the components are packed into jobs
    # on a worker, so only the clusters come back to the client.
    workers = _workers()
    groups = max(1, min(bands, SHARDS_PER_WORKER * workers))
    n_jobs = SHARDS_PER_WORKER * workers
    columns = [dask.delayed(_stages.band_columns, nout=groups)(
        dask.delayed(_stages.band_keys)(part, num_perm, band_rows, threads), groups)
        for part in parts]
    found = [dask.delayed(_stages.band_group_buckets)(threads, *[c[g] for c in columns])
             for g in range(groups)]
    plan = dask.delayed(_stages.lsh_plan, nout=n_jobs)(n_jobs, *found)
    jobs = [plan[j] for j in range(n_jobs)]
    picked = [dask.delayed(_stages.pick_for_jobs, nout=n_jobs)(part, offsets[k], *jobs)
              for k, part in enumerate(parts)]
    results = dask.compute(*[dask.delayed(_stages.lsh_job)(jobs[j], t, threads,
                                                           *[p[j] for p in picked])
                             for j in range(n_jobs)])
    out = [c for r in results for c in r]
    out.sort(key=lambda c: c[0][0])
    return out


def cosine_join(docs: Any, *, threshold: float) -> Any:
    """``ratiokit.cosine_join(list(docs), threshold)`` as a DataFrame j, i (int64), cosine
    (float64): the same pairs, the same cosines to the bit, in the same order.

    docs is a Dask Series of token lists. Under Dask's default ``dataframe.convert-string``
    an object column of lists arrives as strings: build it with ``token_series`` (an Arrow
    list<string> column) or switch the option off; a document that arrives as a str raises
    TypeError saying so. Document frequencies are reduced first, the vocabulary with its idf
    is broadcast, then the largest weights for the term numbers. When every worker can hold
    all term vectors (``BROADCAST_BYTES``), each runs shards of the native join's queries
    against all of them; otherwise every pair of partitions is joined natively on a worker
    (``ratiokit.stages``), the pairs grouped into a few tasks per worker of about equal
    work."""
    dask, _, pd = _dask()
    import numpy as np

    t = float(threshold)
    with _global_rows(docs=docs):
        # Each partition's tokens are read once: its documents become token ids there, and
        # only the counts travel to the vocabulary.
        freqs = [dask.delayed(_stages.piece_frequencies)(p, "docs", k)
                 for k, p in enumerate(docs.to_delayed())]
        vocab = dask.delayed(stages.vocabulary)([dask.delayed(_stages.without_rows)(f)
                                                 for f in freqs])
        vocab, *units = dask.persist(vocab, *[dask.delayed(stages.unit_vectors)(f, vocab)
                                              for f in freqs])
        nparts = len(freqs)
        sizes = dask.compute(*[dask.delayed(_stages.vector_sizes)(u) for u in units])
        terms = dask.delayed(_stages.term_numbers_of)(
            vocab, *[dask.delayed(_stages.vector_maxima)(u) for u in units])
        vectors = [dask.delayed(stages.term_vectors)(u, terms) for u in units]
        if sum(12 * nnz + 8 * n for n, nnz in sizes) <= BROADCAST_BYTES:
            # Every worker holds all vectors and runs a shard of the queries: the rows of the
            # shards in order are the native join's, with the work of one machine. One shard
            # a worker, as each rebuilds the index and copies the vectors.
            shards = _workers()
            return _frame_on_workers([dask.delayed(_stages.cosine_shard)(terms, t, s, shards,
                                                                         *vectors)
                                      for s in range(shards)], COSINE_COLUMNS)
        found = dask.compute(*_cosine_block_tasks(vectors, [n for n, _ in sizes], terms, t,
                                                  SHARDS_PER_WORKER * _workers()))
    j = np.concatenate([f[0] for f in found] + [np.empty(0, np.int64)])
    i = np.concatenate([f[1] for f in found] + [np.empty(0, np.int64)])
    cos = np.concatenate([f[2] for f in found] + [np.empty(0, np.float64)])
    touch = np.concatenate([f[3] for f in found] + [np.empty(0, np.int64)])
    order = stages.join_order(j, i, touch)
    pdf = pd.DataFrame({"j": j[order], "i": i[order], "cosine": cos[order]})
    return _frame(pdf, max(1, nparts))


def _cosine_block_tasks(vectors: List[Any], n_docs: List[int], terms_d: Any, t: float,
                        tasks: int) -> List[Any]:
    """Every pair of partitions, the earlier one indexed, grouped into at most `tasks` tasks of
    about equal work; a task reads only the partitions of its blocks."""
    dask, _, _ = _dask()
    offsets = [0]
    for n in n_docs:
        offsets.append(offsets[-1] + n)
    out = []
    for blocks in _stages.balanced_blocks(n_docs, tasks):
        used = sorted({k for a, b in blocks for k in (a, b) if k is not None})
        local = {k: x for x, k in enumerate(used)}
        out.append(dask.delayed(_stages.cosine_blocks)(
            terms_d, t, [(local[a], None if b is None else local[b]) for a, b in blocks],
            [offsets[k] for k in used], *[vectors[k] for k in used]))
    return out
