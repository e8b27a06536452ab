"""ratiokit.stages in one process, no Dask needed: the stages combined as the module describes
equal the single-machine functions, on uneven pieces (one empty) and at the threshold edges."""

from __future__ import annotations

import itertools
import math

import pytest

import ratiokit
from ratiokit import _stages, stages
from test_dask import make_docs, make_strings
from test_lsh import fnv1a, hash_functions, shingles

np = pytest.importorskip("numpy")

# Around the shingle size: 0, 9, 10 and 11 bytes, multi-byte characters whose windows start
# mid-character, a 4-byte character, and copies.
EDGE = ["", "a" * 9, "a" * 10, "a" * 11, "abcdefghi", "abcdefghij", "abcdefghijk",
        "é" * 5, "é" * 4 + "x", "東京" * 2, "東京" * 2 + "!", "\U0001f600abcdef", "straße",
        "straßen", "abcdefghij", "", "é" * 5]
CUTS = [0.2, 0.2, 0.7]  # four pieces, the second empty


def pieces(values):
    bounds = [0] + [int(f * len(values)) for f in CUTS] + [len(values)]
    return [(a, values[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]


def reference_keys(text, num_perm, band_rows):
    funcs = hash_functions(num_perm)
    sig = [min((a * h + b) & (2**64 - 1) for h in shingles(text)) for a, b in funcs]
    return [fnv1a(sig[k * band_rows:(k + 1) * band_rows]) for k in range(num_perm // band_rows)]


def key_components(keys):
    """Components of the candidate graph: strings sharing a key in some band."""
    parent = list(range(len(keys)))

    def find(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for band in range(keys.shape[1]):
        first = {}
        for j, key in enumerate(keys[:, band].tolist()):
            parent[find(j)] = find(first.setdefault(key, j))
    groups = {}
    for j in range(len(keys)):
        groups.setdefault(find(j), []).append(j)
    return sorted(g for g in groups.values() if len(g) > 1)


@pytest.mark.parametrize("num_perm, band_rows", [(16, 2), (10, 3), (64, 4)])
def test_band_keys_are_the_native_buckets(num_perm, band_rows):
    keys = stages.band_keys(EDGE, num_perm, band_rows)
    assert keys.shape == (len(EDGE), num_perm // band_rows) and keys.dtype == np.uint64
    for text, row in zip(EDGE, keys.tolist()):
        assert row == reference_keys(text, num_perm, band_rows), text
    # At threshold 0 every candidate links: the native clusters are the candidate components.
    native = ratiokit.cluster_canonicals_lsh(EDGE, 0.0, num_perm, band_rows)
    assert key_components(keys) == [m for m, _ in native]
    assert stages.band_keys(EDGE, 16, 0).shape == (len(EDGE), 0)
    assert stages.band_keys([], num_perm, band_rows).shape == (0, num_perm // band_rows)


def test_columns_of_any_kind():
    pd = pytest.importorskip("pandas")
    pa = pytest.importorskip("pyarrow")
    want = stages.band_keys(EDGE[:12], 16, 2)
    for column in (pd.Series(EDGE[:12], index=range(50, 62)), np.array(EDGE[:12], dtype=object),
                   pa.array(EDGE[:12]), iter(EDGE[:12])):
        assert (stages.band_keys(column, 16, 2) == want).all()
    with pytest.raises(TypeError, match="not a DataFrame"):
        stages.band_keys(pd.DataFrame({"a": EDGE}), 16, 2)


def lsh_pipeline(values, threshold, num_perm, band_rows, member_cap=None, n_jobs=None):
    columns = [_stages.band_columns(stages.band_keys(p, num_perm, band_rows), 3)
               for _, p in pieces(values)]
    found = [_stages.band_group_buckets(1, *[c[g] for c in columns]) for g in range(3)]
    if n_jobs is None:
        jobs = _stages.lsh_jobs(found, 1 << 20, member_cap)
    else:
        jobs = _stages.lsh_plan(n_jobs, *found)
        assert len(jobs) == n_jobs
    picked = [_stages.pick_for_jobs(p, o, *jobs) for o, p in pieces(values)]
    # What goes between workers is a Batch, which Dask pickles whole.
    assert all(isinstance(p, _stages.Batch) and all(isinstance(x, _stages.Batch) for x in p)
               for p in picked)
    out = []
    for k, job in enumerate(jobs):
        found = _stages.lsh_job(job, threshold, 0, *[p[k] for p in picked])
        assert isinstance(found, _stages.Batch)
        out += found
    return sorted(out)


@pytest.mark.parametrize("threshold, num_perm, band_rows",
                         [(0.7, 64, 4), (0.5, 10, 3), (0.0, 16, 2), (1.0, 32, 2), (1.5, 32, 2)])
def test_lsh_pipeline_equals_single_machine(threshold, num_perm, band_rows):
    values = make_strings(400, seed=4) + EDGE
    want = ratiokit.cluster_canonicals_lsh(values, threshold, num_perm, band_rows)
    assert len(want) > 2 or threshold > 1.0
    # One job, many jobs of whole components, or a fixed number of jobs (more than there are
    # components when 500: most of them empty).
    for member_cap, n_jobs in ((10**6, None), (30, None), (None, 1), (None, 5), (None, 500)):
        got = lsh_pipeline(values, threshold, num_perm, band_rows, member_cap, n_jobs)
        assert [(list(m), s.hex()) for m, s in got] == [(m, s.hex()) for m, s in want]


def test_lsh_clusters_verifies_large_buckets_and_refuses_bad_members():
    # One bucket of 40 near-duplicates and copies (walked, not listed pair by pair).
    values = [f"GET /api/v1/users/{k % 13} HTTP/1.1 200" for k in range(40)]
    want = ratiokit.cluster_canonicals(values, 0.95)
    assert stages.lsh_clusters(values, [range(40)], 0.95) == want
    assert stages.lsh_clusters(values, [], 0.95) == []
    with pytest.raises(ValueError, match="member"):
        stages.lsh_clusters(values, [[0, 40]], 0.5)


def test_bucket_components():
    members = [5, 9, 9, 2, 7, 8, 100, 7]
    offsets = [0, 2, 4, 4, 6, 8]  # {5, 9}, {9, 2}, {}, {7, 8}, {100, 7}
    assert stages.bucket_components(members, offsets).tolist() == [2, 2, -1, 7, 7]


def exact_pipeline(values, threshold, shards):
    edges = [stages.cluster_edges(values, threshold, s, shards) for s in range(shards)]
    clusters = _stages.edge_components(len(values), edges)
    minima = stages.cluster_minima([[values[m] for m in c] for c in clusters])
    return [(list(c), score) for c, score in zip(clusters, minima)]


@pytest.mark.parametrize("shards", [1, 2, 5, 64])
def test_exact_pipeline_equals_single_machine(shards):
    values = make_strings(300, seed=8) + EDGE
    for threshold in (0.6, 0.85, 1.0, 1.5):
        want = ratiokit.cluster_canonicals(values, threshold)
        got = exact_pipeline(values, threshold, shards)
        assert [(m, s.hex()) for m, s in got] == [(m, s.hex()) for m, s in want], threshold
    assert stages.cluster_edges(["x"], 0.5).shape == (0, 2)


def test_cluster_minima_takes_pairs_in_the_given_order():
    # ratio is not symmetric: copies on both sides of a value make both orientations count.
    groups = [["abcd", "bcda", "abcd"], ["bcda", "abcd"], ["", ""], ["x"], [], EDGE]
    want = [min((ratiokit.ratio(g[i], g[j]) for i, j in itertools.combinations(range(len(g)), 2)),
                default=1.0) for g in groups]
    assert stages.cluster_minima(groups) == want


def shard_rows(left, right, threshold, shards):
    rows = []
    for s in range(shards):
        i, j, ratio = stages.join_shard(left, right, threshold, s, shards)
        assert (i.dtype, j.dtype, ratio.dtype) == (np.int64, np.int64, np.float64)
        part = list(zip(i.tolist(), j.tolist(), ratio.tolist()))
        assert part == sorted(part)  # each shard comes ordered
        rows += part
    return sorted(rows)


@pytest.mark.parametrize("shards", [1, 3, 64])
def test_join_shards_together_equal_ratio_join(shards):
    values = make_strings(300, seed=11) + EDGE
    left, right = values[:120], values[120:]
    for threshold in (0.0, 0.6, 0.85, 1.0):
        want = ratiokit.ratio_join(values, threshold=threshold)
        assert shard_rows(values, None, threshold, shards) == want, threshold
        want = ratiokit.ratio_join(left, right, threshold=threshold)
        assert shard_rows(left, right, threshold, shards) == want, threshold


def test_join_shard_edges():
    # An empty side joins nothing (an empty left must not turn into right's self-join).
    assert shard_rows([], ["a", "a"], 0.5, 2) == []
    assert shard_rows(["a", "a"], [], 0.5, 2) == []
    assert shard_rows(["a"], None, 0.5, 3) == []
    # Columns as elsewhere; a shard past the last one finds nothing.
    assert shard_rows(np.array(["ab", "ab", "abc"]), None, 0.8, 1) == [(0, 1, 1.0), (0, 2, 0.8),
                                                                      (1, 2, 0.8)]
    assert stages.join_shard(["ab", "ab"], None, 0.8, 5, 2)[0].tolist() == []
    for bad in (1.5, -0.1, math.nan):
        with pytest.raises(ValueError):
            stages.join_shard(["a"], None, bad)
    with pytest.raises(TypeError):
        stages.join_shard(["a", None], None, 0.5)


def cosine_pipeline(docs, threshold):
    parts = pieces(docs)
    vocab = stages.vocabulary([stages.doc_frequencies(p) for _, p in parts])
    units = [(offset, stages.unit_vectors(p, vocab)) for offset, p in parts]
    terms = stages.term_numbers([(u.max_ids, u.max_weights) for _, u in units], vocab)
    vectors = [(offset, stages.term_vectors(u, terms)) for offset, u in units]
    rows = []
    for b, (qo, queries) in enumerate(vectors):
        for a, (io, indexed) in enumerate(vectors[:b + 1]):
            rows.append(stages.cosine_block(indexed, None if a == b else queries, terms,
                                            threshold, indexed_offset=io, query_offset=qo))
    j, i, cos, touch = (np.concatenate([r[k] for r in rows]) for k in range(4))
    order = stages.join_order(j, i, touch)
    return list(zip(j[order].tolist(), i[order].tolist(), cos[order].tolist()))


@pytest.mark.parametrize("threshold", [0.3, 0.0, 1.0, math.nan, 0.8])
def test_cosine_pipeline_equals_single_machine_bit_for_bit(threshold):
    docs = make_docs(300, seed=2)
    want = ratiokit.cosine_join(docs, threshold)
    got = cosine_pipeline(docs, threshold)
    assert [(j, i, c.hex()) for j, i, c in got] == [(j, i, c.hex()) for j, i, c in want]


def cosine_tasks(docs, threshold, tasks):
    """Every pair of pieces in tasks of about equal work, each task's blocks joined at once."""
    parts = pieces(docs)
    vocab = stages.vocabulary([stages.doc_frequencies(p) for _, p in parts])
    units = [stages.unit_vectors(p, vocab) for _, p in parts]
    sizes = [_stages.vector_sizes(u) for u in units]
    assert [n for n, _ in sizes] == [len(p) for _, p in parts]
    terms = _stages.term_numbers_of(vocab, *[_stages.vector_maxima(u) for u in units])
    vectors = [stages.term_vectors(u, terms) for u in units]
    offsets = [o for o, _ in parts]
    groups = _stages.balanced_blocks([len(p) for _, p in parts], tasks)
    assert 1 <= len(groups) <= tasks
    blocks = sorted((a, -1 if b is None else b) for g in groups for a, b in g)
    assert blocks == sorted([(a, -1) for a in range(len(parts))]
                            + [(a, b) for b in range(len(parts)) for a in range(b)])
    rows = [_stages.cosine_blocks(terms, threshold, g, offsets, *vectors) for g in groups]
    j, i, cos, touch = (np.concatenate([r[k] for r in rows]) for k in range(4))
    order = stages.join_order(j, i, touch)
    return list(zip(j[order].tolist(), i[order].tolist(), cos[order].tolist()))


@pytest.mark.parametrize("shards", [1, 2, 7, 1000])
def test_cosine_shards_concatenated_are_the_join_in_order(shards):
    docs = make_docs(300, seed=4)
    parts = pieces(docs)
    vocab = stages.vocabulary([stages.doc_frequencies(p) for _, p in parts])
    units = [stages.unit_vectors(p, vocab) for _, p in parts]
    terms = stages.term_numbers([(u.max_ids, u.max_weights) for u in units], vocab)
    vectors = [stages.term_vectors(u, terms) for u in units]
    for threshold in (0.3, 0.0, 1.0, math.nan):
        rows = [_stages.cosine_shard(terms, threshold, s, shards, *vectors)
                for s in range(shards)]
        got = [(j, i, c.hex()) for r in rows
               for j, i, c in zip(r[0].tolist(), r[1].tolist(), r[2].tolist())]
        want = [(j, i, c.hex()) for j, i, c in ratiokit.cosine_join(docs, threshold)]
        assert got == want
    assert stages.cosine_shard(vectors, terms, 0.3, shard=shards, shards=shards)[0].size == 0


@pytest.mark.parametrize("tasks", [1, 3, 100])
def test_cosine_tasks_equal_single_machine_in_order(tasks):
    docs = make_docs(300, seed=3)
    for threshold in (0.3, 0.0, 1.0):
        want = ratiokit.cosine_join(docs, threshold)
        got = cosine_tasks(docs, threshold, tasks)
        assert [(j, i, c.hex()) for j, i, c in got] == [(j, i, c.hex()) for j, i, c in want]


def test_balanced_blocks_spread_the_work():
    # Eight equal pieces: 36 blocks of 28 cross units and 8 self blocks of half a unit each.
    groups = _stages.balanced_blocks([100] * 8, 4)
    work = [sum(50 if b is None else 100 for _, b in g) for g in groups]
    assert len(groups) == 4 and max(work) - min(work) <= 100
    assert _stages.balanced_blocks([], 4) == [] and _stages.balanced_blocks([5], 4) == [[(0, None)]]


def test_vocabulary_stages():
    docs = [["b", "a", "b"], [], ["a", "c"]]
    parts = [stages.doc_frequencies(docs[:1]), stages.doc_frequencies(docs[1:])]
    assert parts[0].tokens == ["b", "a"] and parts[0].counts.tolist() == [1, 1]
    vocab = stages.vocabulary(parts)
    assert vocab.tokens == ["b", "a", "c"]
    assert vocab.idf.tolist() == [math.log(3 / 1), math.log(3 / 2), math.log(3 / 1)]
    unit = stages.unit_vectors(docs, vocab)
    assert unit.n_docs == 3 and unit.offsets.tolist() == [0, 2, 2, 4]
    assert unit.max_ids.tolist() == [0, 1, 2]
    with pytest.raises(ValueError, match="vocabulary"):
        stages.unit_vectors([["zzz"]], vocab)


def test_documents_as_token_ids_and_arrow_columns_give_the_same_stages():
    """doc_frequencies(rows=True) feeds unit_vectors without the tokens, and an Arrow
    list<string> column (sliced, chunked, large, inside pandas) is read in place: all give
    what the token lists give."""
    pa = pytest.importorskip("pyarrow")
    docs = make_docs(120, seed=5) + [[], ["", "é", "東京", "\U0001f600"], ["é", "é"]]
    want = stages.doc_frequencies(docs, rows=True)
    vocab = stages.vocabulary([want])
    by_tokens = stages.unit_vectors(docs, vocab)
    by_ids = stages.unit_vectors(want, vocab)
    assert all(np.array_equal(a, b) for a, b in zip(by_tokens, by_ids))
    assert by_ids.weights.tobytes() == by_tokens.weights.tobytes()

    arrow = pa.array(docs, type=pa.list_(pa.string()))
    padded = pa.array([["pad"]] + docs + [["pad", "x"]], type=pa.list_(pa.string()))
    forms = [arrow, padded[1:-1], pa.chunked_array([arrow[:50], arrow[50:]]),
             pa.array(docs, type=pa.large_list(pa.large_string()))]
    pd = pytest.importorskip("pandas")
    forms.append(pd.Series(docs, dtype=pd.ArrowDtype(pa.list_(pa.string()))))
    for form in forms:
        got = stages.doc_frequencies(form, rows=True)
        assert got.tokens == want.tokens and got.n_docs == want.n_docs
        for name in ("counts", "offsets", "ids"):
            assert np.array_equal(getattr(got, name), getattr(want, name)), name
    assert stages.doc_frequencies(arrow).ids is None
    # Nulls take the general path, which names the document at fault.
    with pytest.raises(TypeError, match="document 1"):
        stages.doc_frequencies(pa.array([["a"], None], type=pa.list_(pa.string())))
    with pytest.raises(TypeError, match="token 1"):
        stages.doc_frequencies(pa.array([["a", None]], type=pa.list_(pa.string())))


def test_malformed_arrays_are_refused():
    from ratiokit import _ratiokit

    with pytest.raises(ValueError, match="malformed"):  # offsets past the members
        _ratiokit._stage_lsh_buckets(["a", "b"], 0.5, np.array([0, 1], np.uint32),
                                     np.array([0, 3], np.uint64))
    with pytest.raises(TypeError, match="4-byte"):  # members of the wrong width
        _ratiokit._stage_lsh_buckets(["a", "b"], 0.5, np.array([0, 1], np.int64),
                                     np.array([0, 2], np.uint64))
    with pytest.raises(ValueError, match="whole rows"):
        _ratiokit._stage_band_buckets(np.zeros(5, np.uint64), 2)
    freqs = stages.doc_frequencies([["a", "b"], ["b"]], rows=True)
    vocab = stages.vocabulary([freqs])
    with pytest.raises(ValueError, match="differ"):
        _ratiokit._stage_unit_vectors([["a"]], vocab.tokens, vocab.idf[:1])
    with pytest.raises(ValueError, match="malformed token rows"):  # an id past the tokens
        _ratiokit._stage_unit_vectors_of_ids(freqs.offsets, np.array([0, 2, 1], np.uint32),
                                             freqs.tokens, vocab.tokens, vocab.idf)
    with pytest.raises(ValueError, match="missing"):
        _ratiokit._stage_unit_vectors_of_ids(freqs.offsets, freqs.ids, ["a", "zzz"],
                                             vocab.tokens, vocab.idf)
    u64 = np.uint64
    with pytest.raises(ValueError, match="malformed flat"):  # a token past the data
        _ratiokit._stage_doc_frequencies_flat(np.array([0, 1], u64), np.array([0, 5], u64), b"abc")
    with pytest.raises(ValueError, match="malformed flat"):  # offsets going back
        _ratiokit._stage_doc_frequencies_flat(np.array([0, 2], u64), np.array([0, 2, 1], u64),
                                              b"abc")
    unit = stages.unit_vectors([["a", "b"], ["b"]], vocab)
    terms = stages.term_numbers([(unit.max_ids, unit.max_weights)], vocab)
    vectors = stages.term_vectors(unit, terms)
    unsorted = stages.TermVectors(vectors.offsets[:2], vectors.terms[::-1].copy(),
                                  vectors.weights[:2])
    with pytest.raises(ValueError, match="malformed"):
        stages.cosine_block(unsorted, None, terms, 0.5)
    with pytest.raises(ValueError, match="malformed"):
        stages.cosine_block(vectors, None, stages.Terms(terms.term_of, terms.max_weight[:0]), 0.5)
