"""Orchestration of the distributed clustering and joins: planning, checks of the input,
shuffles, union-find over shard results and frames, around the native stages of
``ratiokit.stages`` (which hold every hash, weight and pair loop).

Every function here takes and returns plain Python values, numpy arrays or pandas objects and
knows nothing about the engine that schedules it, so ``ratiokit.dask`` (or any other engine)
only has to move their inputs and outputs around. Positions are global row numbers (0-based,
partitions in order); every native call sees its strings in ascending position order, so a
pair it reports is always ratio(strings[i], strings[j]) with i < j, as on one machine.

Exactness rests on three facts about the native functions:

- Two strings can link (or reach a join threshold) only when their length bound
  2*min(la, lb)/(la + lb) reaches the threshold, and that bound, computed in doubles, grows
  monotonically as the lengths approach each other; so length bands whose closest lengths
  cannot meet hold no linked pair.
- Single-linkage clusters of a subset are the components of the similarity graph restricted to
  it; uniting the members of every subset's clusters therefore gives the components of the
  whole graph, once every linked pair lies inside some subset.
- A cluster's exact minimum pairwise ratio needs only its members, in position order
  (``stages.cluster_minima``).
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Sequence, Set, Tuple

import ratiokit

from . import stages

# Bands are paired when their closest lengths come within this much of the threshold; a pair
# that the native code might link on a rounding tie is then still inside some block.
MEET_SLACK = 1e-12

Cluster = Tuple[List[int], float]
Members = Tuple[int, ...]


def real_quick_ratio(la: int, lb: int) -> float:
    total = la + lb
    return 1.0 if total == 0 else 2.0 * min(la, lb) / total


def lengths_can_meet(short_max: int, long_min: int, threshold: float) -> bool:
    """Whether a string of length <= short_max and one of length >= long_min can link."""
    if short_max >= long_min:
        return True
    # NaN compares false, so it meets everything, as every pair links under it.
    return not (threshold - MEET_SLACK > real_quick_ratio(short_max, long_min))


class BadValue(TypeError):
    """A value of the wrong type at `row` of a partition of the input `source`. Only the engine
    knows how many rows come before the partition: it names the global row with
    `at(offset)`; the plain message names the partition and the row within it."""

    def __init__(self, source: str, noun: str, partition: Optional[int], row: int,
                 problem: str) -> None:
        super().__init__(source, noun, partition, row, problem)  # rebuilt from these unpickled
        self.source, self.noun, self.partition = source, noun, partition
        self.row, self.problem = row, problem

    def _where(self) -> str:
        part = "a partition" if self.partition is None else f"partition {self.partition}"
        return f"{self.noun} {self.row} of {part}"

    def __str__(self) -> str:
        return f"{self.source}: {self._where()} {self.problem}"

    def at(self, offset: int) -> str:
        """The message naming the global row, `offset` being the partition's first."""
        return (f"{self.source}: {self.noun} {offset + self.row} ({self._where()}) "
                f"{self.problem}")


class Batch(list):
    """A list that crosses between workers as one pickle. Dask's transfer sends a plain list
    item by item, a frame per string or tuple (tens of microseconds each, which made moving a
    partition of strings cost more than computing on it); a subclass is pickled whole. Every
    list a stage returns, and every partition of strings or documents, is a Batch."""

    __slots__ = ()


def check_strings(values: Iterable[Any], what: str, partition: Optional[int] = None
                  ) -> List[str]:
    out = list(values)
    for k, v in enumerate(out):
        if not isinstance(v, str):
            raise BadValue(what, "row", partition, k, f"is {type(v).__name__}, not str")
    return out


# ---------------------------------------------------------------------------------------------
# Exact ratios of two columns.


def ratio_pairs(a: Sequence[str], b: Sequence[str], autojunk: bool = False,
                threads: int = 0, partition: Optional[int] = None,
                names: Tuple[str, str] = ("first column", "second column")) -> List[float]:
    pairs = list(zip(check_strings(a, names[0], partition), check_strings(b, names[1], partition)))
    if autojunk:
        return ratiokit.ratio(pairs, autojunk=True)
    return ratiokit.ratio_many(pairs, threads=threads)


# ---------------------------------------------------------------------------------------------
# Length bands: strings ordered by (length, position) and cut into bands of block_size.


def length_histogram(strings: Sequence[str]) -> Dict[int, int]:
    hist: Dict[int, int] = {}
    for s in check_strings(strings, "strings"):
        n = len(s)
        hist[n] = hist.get(n, 0) + 1
    return hist


class BandPlan:
    """Where every string goes: band = (rank in (length, position) order) // block_size."""

    def __init__(self, histograms: Sequence[Dict[int, int]], block_size: int) -> None:
        self.block_size = max(1, int(block_size))
        totals: Dict[int, int] = {}
        for hist in histograms:
            for length, count in hist.items():
                totals[length] = totals.get(length, 0) + count
        before: Dict[int, int] = {}  # global rank of the first string of each length
        rank = 0
        for length in sorted(totals):
            before[length] = rank
            rank += totals[length]
        self.n = rank
        self.offsets: List[int] = []  # position of each partition's first row
        self.starts: List[Dict[int, int]] = []  # per partition: rank of its first row per length
        seen = dict(before)
        position = 0
        for hist in histograms:
            self.offsets.append(position)
            position += sum(hist.values())
            self.starts.append({length: seen[length] for length in hist})
            for length, count in hist.items():
                seen[length] += count
        n_bands = (self.n + self.block_size - 1) // self.block_size
        # Length range of each band, from the rank ranges of the lengths.
        self.band_min = [0] * n_bands
        self.band_max = [0] * n_bands
        for length in sorted(totals, reverse=True):
            for band in range(before[length] // self.block_size,
                              (before[length] + totals[length] - 1) // self.block_size + 1):
                self.band_min[band] = length
        for length in sorted(totals):
            for band in range(before[length] // self.block_size,
                              (before[length] + totals[length] - 1) // self.block_size + 1):
                self.band_max[band] = length

    @property
    def n_bands(self) -> int:
        return len(self.band_min)

    def bands_of_partition(self, part: int, hist: Dict[int, int]) -> List[int]:
        bands: Set[int] = set()
        for length, count in hist.items():
            first = self.starts[part][length]
            bands.update(range(first // self.block_size,
                               (first + count - 1) // self.block_size + 1))
        return sorted(bands)

    def meeting_pairs(self, other: Optional["BandPlan"], threshold: float
                      ) -> List[Tuple[int, int]]:
        """Band pairs (a, b) that can hold a linked pair; a <= b for a self-join."""
        out = []
        right = self if other is None else other
        for a in range(self.n_bands):
            for b in range(a if other is None else 0, right.n_bands):
                if self.band_max[a] <= right.band_min[b]:
                    short_max, long_min = self.band_max[a], right.band_min[b]
                elif right.band_max[b] <= self.band_min[a]:
                    short_max, long_min = right.band_max[b], self.band_min[a]
                else:
                    short_max, long_min = 1, 0  # overlapping length ranges
                if lengths_can_meet(short_max, long_min, threshold):
                    out.append((a, b))
        return out


def split_by_band(strings: Sequence[str], offset: int, starts: Dict[int, int],
                  block_size: int) -> Dict[int, Tuple[List[int], List[str]]]:
    """One partition's rows by band, each band's rows in ascending position."""
    next_rank = dict(starts)
    out: Dict[int, Tuple[List[int], List[str]]] = {}
    for k, s in enumerate(strings):
        rank = next_rank[len(s)]
        next_rank[len(s)] = rank + 1
        piece = out.get(rank // block_size)
        if piece is None:
            piece = out[rank // block_size] = ([], [])
        piece[0].append(offset + k)
        piece[1].append(s)
    return out


def concat_pieces(*pieces: Tuple[List[int], List[str]]) -> Tuple[List[int], List[str]]:
    """A band from its partitions' pieces, given in partition order (so positions ascend)."""
    positions: List[int] = []
    strings: List[str] = []
    for p, s in pieces:
        positions.extend(p)
        strings.extend(s)
    return positions, strings


def merge_sorted(a: Tuple[List[int], List[str]], b: Tuple[List[int], List[str]]
                 ) -> Tuple[List[int], List[str], List[bool]]:
    """Two position-sorted bands as one, with a flag per row telling whether it came from b."""
    rows = sorted([(p, s, False) for p, s in zip(*a)] + [(p, s, True) for p, s in zip(*b)],
                  key=lambda row: row[0])
    return [r[0] for r in rows], [r[1] for r in rows], [r[2] for r in rows]


# ---------------------------------------------------------------------------------------------
# Exact clustering.


def cluster_block(a: Tuple[List[int], List[str]], b: Optional[Tuple[List[int], List[str]]],
                  threshold: float, threads: int = 0) -> List[Tuple[Members, float]]:
    """Clusters of one band or of two bands together, as global positions."""
    if b is None:
        positions, strings = a
    else:
        positions, strings, _ = merge_sorted(a, b)
    found = ratiokit.cluster_canonicals(strings, threshold, threads=threads)
    return Batch((tuple(positions[m] for m in members), score) for members, score in found)


class _UnionFind:
    """Disjoint sets of ints, each set named by its root; members join on first mention."""

    def __init__(self) -> None:
        self.parent: Dict[int, int] = {}

    def find(self, x: int) -> int:
        parent = self.parent
        root = x
        while parent[root] != root:
            root = parent[root]
        while parent[x] != root:
            parent[x], x = root, parent[x]
        return root

    def union_all(self, members: Sequence[int]) -> int:
        """Puts every member in one set with the first; returns that set's root."""
        for m in members:
            self.parent.setdefault(m, m)
        root = self.find(members[0])
        for m in members[1:]:
            other = self.find(m)
            if other != root:
                self.parent[other] = root
        return root


def merge_clusters(found: Iterable[Sequence[Tuple[Members, float]]]
                   ) -> List[Tuple[Members, Optional[float]]]:
    """Union of cluster memberships: final clusters by first member, with the score of any
    found cluster that has exactly the final members (None where it must be computed)."""
    sets = _UnionFind()
    known: Dict[Members, float] = {}
    for block in found:
        for members, score in block:
            known.setdefault(members, score)
            sets.union_all(members)
    groups: Dict[int, List[int]] = {}
    for m in sets.parent:
        groups.setdefault(sets.find(m), []).append(m)
    out = []
    for group in groups.values():
        members = tuple(sorted(group))
        out.append((members, known.get(members)))
    out.sort(key=lambda c: c[0][0])
    return out


def pick_rows(strings: Sequence[str], offset: int, wanted: Dict[int, List[int]]
              ) -> Dict[int, Dict[int, str]]:
    """For each job, the strings of its positions that fall in this partition."""
    return {job: {p: strings[p - offset] for p in positions} for job, positions in wanted.items()}


def collect(*picked: Dict[int, str]) -> Dict[int, str]:
    out: Dict[int, str] = {}
    for part in picked:
        out.update(part)
    return out


def cluster_minima(clusters: Sequence[Members], rows: Any, threads: int = 0) -> List[float]:
    """Exact minima of clusters, `rows` mapping (or indexing) positions to strings."""
    return Batch(stages.cluster_minima([[rows[m] for m in members] for members in clusters],
                                       threads=threads))


def concat_lists(*parts: List[str]) -> List[str]:
    out: List[str] = []
    for part in parts:
        out.extend(part)
    return out


def shard_edges(threshold: float, shard: int, shards: int, threads: int, *parts: List[str]
                ) -> Any:
    """One shard of the clustering's edges, from every partition in order."""
    return stages.cluster_edges(concat_lists(*parts), threshold, shard, shards, threads=threads)


def cluster_minima_of(clusters: Sequence[Members], threads: int, *parts: List[str]
                      ) -> List[float]:
    """Exact minima of clusters, from every partition in order."""
    return cluster_minima(clusters, concat_lists(*parts), threads)


def edge_components(n: int, edges: Sequence[Any]) -> List[Members]:
    """Components of two or more positions of the union of edge arrays, by first member."""
    parent = list(range(n))
    for block in edges:
        for a, b in block.tolist():
            while parent[a] != a:
                parent[a] = parent[parent[a]]
                a = parent[a]
            while parent[b] != b:
                parent[b] = parent[parent[b]]
                b = parent[b]
            if a < b:
                parent[b] = a
            elif b < a:
                parent[a] = b
    groups: Dict[int, List[int]] = {}
    for x in range(n):
        root = parent[x]
        while parent[root] != root:
            root = parent[root]
        parent[x] = root
        if root != x:
            groups.setdefault(root, [root]).append(x)
    return [tuple(g) for g in sorted(groups.values(), key=lambda g: g[0])]


def clusters_frame(clusters: Sequence[Tuple[Members, float]]) -> Any:
    """One row per member: member, cluster (its first member), min_ratio; by cluster, member."""
    import importlib

    import numpy as np

    pd = importlib.import_module("pandas")
    member = np.fromiter((m for c, _ in clusters for m in c), dtype=np.int64)
    cluster = np.fromiter((c[0] for c, _ in clusters for _m in c), dtype=np.int64)
    score = np.fromiter((s for c, s in clusters for _m in c), dtype=np.float64)
    return pd.DataFrame({"member": member, "cluster": cluster, "min_ratio": score})


def pack_jobs(sizes: Sequence[int], cost_cap: int, member_cap: int) -> List[List[int]]:
    """Consecutive items grouped so that each group's summed squared size (its pairs) stays
    near cost_cap and its summed size near member_cap: many small clusters must still spread
    over many workers."""
    jobs: List[List[int]] = []
    cost = members = 0
    for k, size in enumerate(sizes):
        if not jobs or cost + size * size > cost_cap or members + size > member_cap:
            jobs.append([])
            cost = members = 0
        jobs[-1].append(k)
        cost += size * size
        members += size
    return jobs


# ---------------------------------------------------------------------------------------------
# Ratio join.


def local_ratio_join(left: Sequence[str], right: Optional[Sequence[str]], threshold: float,
                     threads: int = 0) -> List[Tuple[int, int, float]]:
    return ratiokit.ratio_join(list(left), None if right is None else list(right),
                               threshold=threshold, threads=threads)


def join_shard(n_left_parts: int, threshold: float, shard: int, shards: int, threads: int,
               self_join: bool, *parts: List[str]) -> Any:
    """One shard of the whole join, from every partition of both sides (left's first): each
    worker that runs a shard fetches the partitions it lacks once."""
    left = concat_lists(*parts[:n_left_parts])
    right = None if self_join else concat_lists(*parts[n_left_parts:])
    return stages.join_shard(left, right, threshold, shard, shards, threads=threads)


def join_block(a: Tuple[List[int], List[str]], b: Optional[Tuple[List[int], List[str]]],
               threshold: float, self_join: bool, threads: int = 0) -> Any:
    """Pairs of one block as three arrays (left, right, ratio) of global positions."""
    import numpy as np

    if self_join:
        if b is None:
            positions, strings = a
            pairs = local_ratio_join(strings, None, threshold, threads)
        else:
            # Both bands in position order, so each pair keeps its global orientation; pairs
            # inside one band belong to that band's own block.
            positions, strings, from_b = merge_sorted(a, b)
            pairs = [p for p in local_ratio_join(strings, None, threshold, threads)
                     if from_b[p[0]] != from_b[p[1]]]
        li = [positions[i] for i, _, _ in pairs]
        rj = [positions[j] for _, j, _ in pairs]
    else:
        assert b is not None
        pairs = local_ratio_join(a[1], b[1], threshold, threads)
        li = [a[0][i] for i, _, _ in pairs]
        rj = [b[0][j] for _, j, _ in pairs]
    return (np.asarray(li, dtype=np.int64), np.asarray(rj, dtype=np.int64),
            np.asarray([r for _, _, r in pairs], dtype=np.float64))


# ---------------------------------------------------------------------------------------------
# MinHash/LSH: native band keys, shuffled by bucket.


def band_keys(strings: Sequence[str], num_perm: int, band_rows: int, threads: int = 0) -> Any:
    return stages.band_keys(strings, num_perm, band_rows, threads=threads)


def band_columns(keys: Any, groups: int) -> List[Any]:
    """A partition's band keys cut into `groups` runs of whole bands (columns), each its own
    contiguous array: a group's columns are freed as soon as that group is bucketed, where
    views would keep all the keys until the last group is done."""
    import numpy as np

    return [np.ascontiguousarray(c) for c in np.array_split(keys, groups, axis=1)]


def band_group_buckets(threads: int, *pieces: Any) -> Tuple[Any, Any]:
    """The buckets of one group of bands over all partitions (their key columns in partition
    order), as global positions."""
    import numpy as np

    return stages.band_buckets(np.concatenate(pieces, axis=0), threads=threads)


class LshJob:
    """Whole components of the candidate graph: their positions ascending, and their buckets
    as indices into those positions (flat members and offsets)."""

    def __init__(self, positions: Any, members: Any, offsets: Any) -> None:
        self.positions, self.members, self.offsets = positions, members, offsets


def lsh_jobs(found: Sequence[Tuple[Any, Any]], cost_cap: int, member_cap: int,
             n_jobs: Optional[int] = None) -> List[LshJob]:
    """Buckets of all groups packed into jobs of whole components, by smallest position: at
    most cost_cap and member_cap each, or with n_jobs exactly that many runs of components of
    about equal bucket members (some may be empty)."""
    import numpy as np

    members = np.concatenate([m for m, _ in found] + [np.empty(0, np.int64)])
    sizes = np.concatenate([np.diff(o) for _, o in found] + [np.empty(0, np.int64)])
    empty = LshJob(np.empty(0, np.int64), np.empty(0, np.int64), np.zeros(1, np.int64))
    if len(sizes) == 0:
        return [] if n_jobs is None else [empty] * n_jobs
    offsets = np.zeros(len(sizes) + 1, dtype=np.int64)
    np.cumsum(sizes, out=offsets[1:])
    label = stages.bucket_components(members, offsets)
    order = np.argsort(label, kind="stable")
    label_sorted = label[order]
    firsts = np.nonzero(np.r_[True, label_sorted[1:] != label_sorted[:-1]])[0]
    ends = np.append(firsts[1:], len(order))
    # A component's bucket members bound its size from above.
    comp_size = np.add.reduceat(sizes[order], firsts) if len(firsts) else np.empty(0, np.int64)
    if n_jobs is None:
        jobs = pack_jobs(comp_size.tolist(), cost_cap, member_cap)
    else:
        before = np.cumsum(comp_size) - comp_size
        run = np.minimum(before * n_jobs // max(1, int(comp_size.sum())), n_jobs - 1)
        cuts = np.searchsorted(run, np.arange(n_jobs + 1))
        jobs = [list(range(a, b)) for a, b in zip(cuts[:-1], cuts[1:])]
    out = []
    for job in jobs:
        if not job:
            out.append(empty)
            continue
        chosen = order[firsts[job[0]]:ends[job[-1]]]
        lo, hi = offsets[chosen], offsets[chosen + 1]
        lengths = hi - lo
        index = np.repeat(lo - np.cumsum(np.r_[0, lengths[:-1]]), lengths) + np.arange(lengths.sum())
        flat = members[index]
        positions = np.unique(flat)
        local_offsets = np.zeros(len(chosen) + 1, dtype=np.int64)
        np.cumsum(lengths, out=local_offsets[1:])
        out.append(LshJob(positions, np.searchsorted(positions, flat), local_offsets))
    return out


def lsh_plan(n_jobs: int, *found: Tuple[Any, Any]) -> Tuple[LshJob, ...]:
    """The buckets of all band groups as exactly n_jobs jobs of whole components, run where the
    buckets are, so that the client never holds them."""
    return tuple(lsh_jobs(found, 0, 0, n_jobs))


def pick_for_jobs(strings: Sequence[str], offset: int, *jobs: LshJob) -> List[List[str]]:
    """For each job, the strings of its positions (ascending) that fall in this partition."""
    end = offset + len(strings)
    out = []
    for job in jobs:
        lo, hi = job.positions.searchsorted([offset, end])
        out.append(Batch(strings[p - offset] for p in job.positions[lo:hi].tolist()))
    return Batch(out)


def lsh_job(job: LshJob, threshold: float, threads: int, *pieces: List[str]
            ) -> List[Tuple[Members, float]]:
    """Verified clusters of one job with exact minima; pieces hold its strings in position
    order, partition by partition."""
    strings = concat_lists(*pieces)
    found = stages.lsh_clusters(strings, job.members, threshold, offsets=job.offsets,
                                threads=threads)
    positions = job.positions.tolist()
    return Batch((tuple(positions[m] for m in members), score) for members, score in found)


# ---------------------------------------------------------------------------------------------
# TF-IDF cosine join: blocks of pieces grouped into tasks, and the input checks (the stages are
# in ratiokit.stages).


def cosine_blocks(terms: Any, threshold: float, blocks: Sequence[Tuple[int, Optional[int]]],
                  offsets: Sequence[int], *pieces: Any) -> Tuple[Any, Any, Any, Any]:
    """Rows (j, i, cosine, touch) of several blocks of one task: (a, b) joins pieces[a]
    (indexed) against pieces[b], (a, None) pieces[a] with itself; offsets[k] is the position of
    the first document of pieces[k]."""
    import numpy as np

    found = [stages.cosine_block(pieces[a], None if b is None else pieces[b], terms, threshold,
                                 indexed_offset=offsets[a],
                                 query_offset=offsets[a if b is None else b], threads=1)
             for a, b in blocks]
    empty = (np.empty(0, np.int64), np.empty(0, np.int64), np.empty(0, np.float64),
             np.empty(0, np.int64))
    return tuple(np.concatenate([f[k] for f in found] + [empty[k]])  # type: ignore[return-value]
                 for k in range(4))


def balanced_blocks(n_docs: Sequence[int], tasks: int) -> List[List[Tuple[int, Optional[int]]]]:
    """Every pair of pieces (the earlier indexed; a piece with itself as (a, None)) spread over
    at most `tasks` lists of about equal work, largest blocks first: a block's work grows with
    the product of its documents (half of it for a piece with itself)."""
    blocks: List[Tuple[float, int, Optional[int]]] = []
    for b, nb in enumerate(n_docs):
        for a in range(b + 1):
            work = nb * nb / 2.0 if a == b else float(n_docs[a] * nb)
            blocks.append((work, a, None if a == b else b))
    blocks.sort(key=lambda x: -x[0])
    loads = [0.0] * max(1, min(tasks, len(blocks)))
    out: List[List[Tuple[int, Optional[int]]]] = [[] for _ in loads]
    for work, first, second in blocks:
        k = loads.index(min(loads))
        loads[k] += work
        out[k].append((first, second))
    return [o for o in out if o]


def piece_frequencies(part: Any, what: str, number: int) -> Any:
    """A partition's document frequencies with its documents as token ids; a bad document
    raises BadValue naming the partition and its row."""
    try:
        return stages.doc_frequencies(part, rows=True)
    except TypeError:
        # The native check says what is wrong, this one also where (and why a str arrives).
        check_docs(part.tolist(), number, what)
        raise


def without_rows(freqs: Any) -> Any:
    return freqs.without_rows()


def row_count(rows: Tuple[Any, ...]) -> int:
    return len(rows[0])


def rows_frame(rows: Tuple[Any, ...], names: Sequence[str], start: int) -> Any:
    """Row arrays as a DataFrame with the given column names, its index counting from start."""
    import importlib

    pd = importlib.import_module("pandas")
    index = pd.RangeIndex(start, start + len(rows[0]))
    return pd.DataFrame(dict(zip(names, rows)), index=index)


def vector_sizes(unit: Any) -> Tuple[int, int]:
    """A piece's documents and vector entries."""
    return unit.n_docs, len(unit.ids)


def vector_maxima(unit: Any) -> Tuple[Any, Any]:
    """A piece's largest weights, for the term numbers."""
    return unit.max_ids, unit.max_weights


def term_numbers_of(vocab: Any, *maxima: Tuple[Any, Any]) -> Any:
    return stages.term_numbers(maxima, vocab)


def cosine_shard(terms: Any, threshold: float, shard: int, shards: int, *vectors: Any
                 ) -> Tuple[Any, Any, Any]:
    return stages.cosine_shard(vectors, terms, threshold, shard, shards, threads=1)


def check_docs(docs: Iterable[Any], partition: Optional[int] = None, what: str = "docs"
               ) -> List[List[str]]:
    out = []
    for k, doc in enumerate(docs):
        if isinstance(doc, str):
            raise BadValue(
                what, "document", partition, k,
                f"arrived as one str ({doc[:40]!r}), not a list of "
                "tokens: Dask's 'dataframe.convert-string' option turns object columns of lists "
                "into their string forms. Build the Series with ratiokit.dask.token_series(...) "
                "(an Arrow list<string> column) or set dask.config.set("
                "{'dataframe.convert-string': False}) before creating it")
        try:
            tokens = list(doc)
        except TypeError:
            raise BadValue(what, "document", partition, k,
                           f"is {type(doc).__name__}, not a list of str tokens") from None
        for t in tokens:
            if not isinstance(t, str):
                raise BadValue(what, "document", partition, k,
                               f"holds a {type(t).__name__} token; tokens must be str")
        out.append(tokens)
    return out
