"""ratiokit.dask on a two-process LocalCluster: every function equals its one-machine
counterpart, across partitionings, thresholds at the edges, and a worker lost mid-run."""

from __future__ import annotations

import math
import os
import random
import signal
import sys
import threading
import time

import pytest

import ratiokit
import ratiokit.dask as rkd
from ratiokit import _stages

CUTS = {  # partition boundaries as fractions: 1, 3 (uneven) and 7 (uneven, one empty)
    1: [],
    3: [0.05, 0.06],
    7: [0.1, 0.1, 0.3, 0.31, 0.5, 0.9],
}


def make_strings(n: int, seed: int) -> list:
    """Near-duplicates around a few seeds, exact duplicates, empty and non-ASCII strings, and a
    spread of lengths so that many length bands exist and only some meet."""
    rng = random.Random(seed)
    seeds = ["parse_header(line)", "ünïcode straße 東京 ✓", "", "x" * 40,
             "GET /api/v1/users/{id} HTTP/1.1 200 {ms}ms", "a", "ab",
             "def f(x):\n    return x + {id}\n" * 3]
    out = []
    for _ in range(n):
        s = rng.choice(seeds).replace("{id}", str(rng.randrange(30)))
        s = s.replace("{ms}", str(rng.randrange(5)))
        chars = list(s)
        for _ in range(rng.choice([0, 0, 1, 2, 4])):
            if chars:
                chars[rng.randrange(len(chars))] = rng.choice("abzé東 ")
        if rng.random() < 0.1:
            chars = chars[: rng.randrange(len(chars) + 1)]
        out.append("".join(chars))
    return out


def pieces(values: list, nparts: int) -> list:
    bounds = [0] + [int(f * len(values)) for f in CUTS[nparts]] + [len(values)]
    return [values[a:b] for a, b in zip(bounds[:-1], bounds[1:])]


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", silence_logs=50) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def series(values: list, nparts: int, tokens: bool = False):
    import dask
    import dask.dataframe as dd
    import pandas as pd

    if tokens:
        import pyarrow as pa
        dtype = pd.ArrowDtype(pa.list_(pa.string()))
    else:
        dtype = object
    parts, start = [], 0
    for chunk in pieces(values, nparts):
        parts.append(pd.Series(chunk, index=range(start, start + len(chunk)), dtype=dtype))
        start += len(chunk)
    return dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0],
                           verify_meta=False)


def as_clusters(frame) -> list:
    pdf = frame.compute()
    assert list(pdf.columns) == ["member", "cluster", "min_ratio"]
    assert [str(t) for t in pdf.dtypes] == ["int64", "int64", "float64"]
    out = []
    for cluster_id, rows in pdf.groupby("cluster", sort=False):
        assert rows["member"].iloc[0] == cluster_id and rows["min_ratio"].nunique() == 1
        out.append((rows["member"].tolist(), rows["min_ratio"].iloc[0]))
    return out


def same(got: list, want: list) -> bool:
    # NaN never arises; compare floats bit for bit.
    return [(m, r.hex()) for m, r in got] == [(list(m), float(r).hex()) for m, r in want]


STRINGS = make_strings(500, seed=7)


class TestCluster:
    @pytest.mark.parametrize("nparts, thresholds", [(1, [0.85]), (3, [0.6]),
                                                    (7, [0.6, 0.85, 1.0])])
    @pytest.mark.parametrize("path", ["broadcast", "bands"])
    def test_exact_equals_single_machine(self, client, monkeypatch, nparts, thresholds, path):
        if path == "bands":
            monkeypatch.setattr(rkd, "BROADCAST_BYTES", 0)
        s = series(STRINGS, nparts)
        for t in thresholds:
            want = ratiokit.cluster_canonicals(STRINGS, t)
            assert len(want) > 3 and max(len(m) for m, _ in want) > 20
            # Small bands so that many blocks, some far apart in length, are planned.
            got = as_clusters(rkd.cluster(s, threshold=t, block_size=40))
            assert same(got, want), t

    def test_exact_threshold_edges(self, client):
        small = STRINGS[:60] + ["", ""]
        s = series(small, 3)
        # At or below zero and NaN every pair links; above 1 only pairs the native bounds let
        # through (none, not even two empty strings).
        for t in (0.0, -0.5, float("nan"), 1.5, 1e-300):
            want = ratiokit.cluster_canonicals(small, t)
            assert same(as_clusters(rkd.cluster(s, threshold=t, block_size=8)), want), t
        for values in ([], ["only"], ["same", "same"]):
            want = ratiokit.cluster_canonicals(values, 0.5)
            got = as_clusters(rkd.cluster(series(values or [], 1), threshold=0.5))
            assert same(got, want)

    @pytest.mark.parametrize("nparts", [1, 7])
    def test_lsh_equals_single_machine(self, client, nparts):
        s = series(STRINGS, nparts)
        for t, num_perm, band_rows in ((0.7, 64, 4), (0.5, 10, 3), (0.9, 128, 8)):
            want = ratiokit.cluster_canonicals_lsh(STRINGS, t, num_perm, band_rows)
            got = as_clusters(rkd.cluster(s, threshold=t, method="lsh", num_perm=num_perm,
                                          band_rows=band_rows))
            assert same(got, want), (t, num_perm, band_rows)
        assert as_clusters(rkd.cluster(s, threshold=0.5, method="lsh", band_rows=0)) == []
        with pytest.raises(ValueError, match="method"):
            rkd.cluster(s, threshold=0.5, method="fuzzy")

    def test_lsh_band_keys_on_long_and_non_ascii_text(self, client):
        # Clusters at threshold 0 are exactly the components of the candidate graph, so any
        # difference in shingles, hashes or band keys shows up as a different partition.
        rng = random.Random(3)
        words = ["straße", "東京", "x", "naïve", "✓✓", "return", "a b"]
        values = [" ".join(rng.choice(words) for _ in range(rng.randrange(0, 12)))
                  for _ in range(300)]
        values += [v[:9] for v in values[:40]]  # exactly at and under the shingle size
        want = ratiokit.cluster_canonicals_lsh(values, 0.0, 16, 2)
        assert len(want) > 5
        got = as_clusters(rkd.cluster(series(values, 3), threshold=0.0, method="lsh",
                                      num_perm=16, band_rows=2))
        assert same(got, want)

    @pytest.mark.parametrize("path, task", [("bands", "cluster_block"),
                                            ("broadcast", "shard_edges")])
    def test_worker_killed_mid_run_gives_exact_result(self, client, monkeypatch, path, task):
        if path == "bands":
            monkeypatch.setattr(rkd, "BROADCAST_BYTES", 0)
        else:
            monkeypatch.setattr(rkd, "SHARDS_PER_WORKER", 24)
        values = make_strings(3000, seed=11)
        want = ratiokit.cluster_canonicals(values, 0.8)
        s = series(values, 7)
        box = {}
        run = threading.Thread(
            target=lambda: box.setdefault("got", rkd.cluster(s, threshold=0.8, block_size=60)))
        pids = client.run(os.getpid)

        def blocks_done(dask_scheduler=None):
            return sum(1 for ts in dask_scheduler.tasks.values()
                       if ts.state == "memory" and task in str(ts.key))

        run.start()
        deadline = time.monotonic() + 60
        while client.run_on_scheduler(blocks_done) < 3 and time.monotonic() < deadline:
            time.sleep(0.005)
        assert run.is_alive(), "the clustering ended before a worker could be lost"
        os.kill(pids[sorted(pids)[0]], signal.SIGKILL)
        run.join(120)
        assert same(as_clusters(box["got"]), want)
        client.wait_for_workers(2, timeout=60)


def brute_join(left, right, t):
    if right is None:
        return [(i, j, ratiokit.ratio(left[i], left[j])) for i in range(len(left))
                for j in range(i + 1, len(left)) if ratiokit.ratio(left[i], left[j]) >= t]
    return [(i, j, ratiokit.ratio(a, b)) for i, a in enumerate(left) for j, b in enumerate(right)
            if ratiokit.ratio(a, b) >= t]


class TestJoins:
    SMALL = make_strings(160, seed=5)

    @pytest.mark.parametrize("nparts, t", [(1, 0.75), (3, 1.0), (7, 0.75), (7, 0.0)])
    @pytest.mark.parametrize("path", ["broadcast", "bands"])
    def test_ratio_join_equals_brute_force(self, client, monkeypatch, nparts, t, path):
        if path == "bands":
            monkeypatch.setattr(rkd, "BROADCAST_BYTES", 0)
        left = self.SMALL
        right = make_strings(90, seed=6)
        want_self = brute_join(left, None, t)
        got = rkd.ratio_join(series(left, nparts), threshold=t, block_size=16).compute()
        assert [str(d) for d in got.dtypes] == ["int64", "int64", "float64"]
        assert list(got.itertuples(index=False, name=None)) == want_self
        want = brute_join(left, right, t)
        got = rkd.ratio_join(series(left, nparts), series(right, 3), threshold=t,
                             block_size=16).compute()
        assert list(got.itertuples(index=False, name=None)) == want
        for bad in (math.nan, -0.5, 1.5):
            with pytest.raises(ValueError, match=r"\[0, 1\]"):
                rkd.ratio_join(series(left, 1), threshold=bad)
        # An empty side joins nothing, on either side.
        for a, b in (([], right), (left, [])):
            got = rkd.ratio_join(series(a, 1), series(b, 1), threshold=t).compute()
            assert len(got) == 0

    def test_local_join_and_length_bands(self):
        # One block's join must agree with the pairwise definition on its own, including empty
        # strings and the ratio-1 edge.
        values = self.SMALL[:70] + ["", "", "é"]
        for t in (0.6, 1.0, 0.0):
            assert _stages.local_ratio_join(values, None, t) == brute_join(values, None, t)
            assert (_stages.local_ratio_join(values[:30], values[30:], t)
                    == brute_join(values[:30], values[30:], t))
        assert _stages.lengths_can_meet(0, 0, 1.0)
        assert not _stages.lengths_can_meet(0, 1, 0.01)
        assert _stages.lengths_can_meet(0, 1, 0.0) and _stages.lengths_can_meet(0, 1, math.nan)
        assert _stages.lengths_can_meet(2, 3, 0.8) and not _stages.lengths_can_meet(2, 8, 0.8)

    def test_ratio_column(self, client):
        import dask.dataframe as dd
        import pandas as pd

        a = self.SMALL
        b = list(reversed(a))
        long_a, long_b = "ab" * 300 + "x", "ba" * 300  # difflib's autojunk applies to these
        pdf = pd.DataFrame({"a": a + [long_a], "b": b + [long_b]})
        df = dd.from_pandas(pdf, npartitions=3)
        got = rkd.ratio_column(df, "a", "b").compute().tolist()
        assert got == [ratiokit.ratio(x, y) for x, y in zip(pdf["a"], pdf["b"])]
        import difflib
        junk = rkd.ratio_column(df, "a", "b", autojunk=True).compute().tolist()
        assert junk == [difflib.SequenceMatcher(None, x, y).ratio()
                        for x, y in zip(pdf["a"], pdf["b"])]
        assert junk[-1] != got[-1]


def make_docs(n: int, seed: int) -> list:
    rng = random.Random(seed)
    common = ["def", "(", ")", ":", "return", "self"]
    rare = [f"name{k}" for k in range(40)] + ["straße", "東京", ""]
    docs = []
    for k in range(n):
        if k % 40 == 0:
            docs.append([])
        elif k % 9 == 0:
            docs.append(list(docs[-1]))  # exact duplicate
        else:
            docs.append([rng.choice(common if rng.random() < 0.5 else rare)
                         for _ in range(rng.randrange(1, 40))])
    return docs


class TestCosineJoin:
    DOCS = make_docs(400, seed=9)

    @pytest.mark.parametrize("nparts, thresholds, plan", [
        (1, [0.3], "shards"), (3, [0.8, math.nan], "shards"), (7, [0.3, 0.0, 1.0], "shards"),
        (7, [0.3, 1.0], "blocks")])
    def test_equals_single_machine_bit_for_bit_and_in_order(self, client, monkeypatch, nparts,
                                                             thresholds, plan):
        if plan == "blocks":  # vectors too large to hold on every worker
            monkeypatch.setattr(rkd, "BROADCAST_BYTES", 0)
        s = series(self.DOCS, nparts, tokens=True)
        for t in thresholds:
            want = ratiokit.cosine_join(self.DOCS, t)
            got = rkd.cosine_join(s, threshold=t).compute()
            assert list(got.columns) == ["j", "i", "cosine"]
            assert got.index.tolist() == list(range(len(want)))
            rows = list(got.itertuples(index=False, name=None))
            assert [(j, i, c.hex()) for j, i, c in rows] == \
                [(j, i, c.hex()) for j, i, c in want], t

    def test_token_lists_turned_into_strings_fail_clearly(self, client):
        import dask.dataframe as dd
        import pandas as pd

        s = dd.from_pandas(pd.Series(self.DOCS[:10], dtype=object), npartitions=2)
        with pytest.raises(TypeError, match="convert-string"):
            rkd.cosine_join(s, threshold=0.5)
        ok = rkd.token_series(self.DOCS[:50], npartitions=2)
        assert (list(rkd.cosine_join(ok, threshold=0.5).compute().itertuples(index=False,
                                                                               name=None))
                == ratiokit.cosine_join(self.DOCS[:50], 0.5))


def test_bad_values_are_named_by_global_row_and_partition(client):
    import dask.dataframe as dd
    import pandas as pd

    # Seven uneven partitions (one empty) of 100 rows: row 57 is row 7 of partition 5.
    strings = STRINGS[:100]
    bad = strings[:57] + [None] + strings[58:]
    where = r"row 57 \(row 7 of partition 5\) is \w+, not str$"
    for call in (lambda: rkd.cluster(series(bad, 7), threshold=0.8),
                 lambda: rkd.cluster(series(bad, 7), threshold=0.0),
                 lambda: rkd.cluster(series(bad, 7), threshold=0.8, method="lsh")):
        with pytest.raises(TypeError, match="^strings: " + where):
            call()
    with pytest.raises(TypeError, match="^right: " + where):
        rkd.ratio_join(series(strings, 3), series(bad, 7), threshold=0.8)
    docs = [s.split() for s in strings]
    with pytest.raises(TypeError, match=r"^docs: document 57 \(document 7 of partition 5\) is "
                                        r"\w+, not a list"):
        rkd.cosine_join(series(docs[:57] + [None] + docs[58:], 7, tokens=True), threshold=0.5)
    # A lazy column is computed a partition at a time: its partition, row and index label.
    pdf = pd.DataFrame({"a": strings[:9], "b": strings[:5] + [None] + strings[6:9]},
                       index=range(100, 109))
    with pytest.raises(TypeError, match=r"^column 'b': row 2 of partition 1 is \w+, not str "
                                        r"\(index label 105\)$"):
        rkd.ratio_column(dd.from_pandas(pdf, npartitions=3), "a", "b").compute()


def test_lists_cross_between_workers_whole():
    """Dask sends a plain list item by item, a frame per string or tuple; partitions and the
    lists stages return go as one pickle, or moving them costs more than computing on them."""
    protocol = pytest.importorskip("distributed.protocol")
    pd = pytest.importorskip("pandas")
    part = rkd._as_strings(pd.Series(make_strings(500, seed=3), dtype=object), "strings", 0)
    clusters = _stages.cluster_block((list(range(500)), list(part)), None, 0.6)
    minima = _stages.cluster_minima([m for m, _ in clusters], part)
    assert clusters and minima == [s for _, s in clusters]
    for value in (part, clusters, minima):
        assert isinstance(value, _stages.Batch)
        header, frames = protocol.serialize(value)
        assert len(frames) <= 2
        assert protocol.deserialize(header, frames) == value


def test_missing_dask_names_the_extra(monkeypatch):
    for name in [m for m in sys.modules if m == "dask" or m.startswith("dask.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "dask", None)  # import dask now raises ImportError
    for call in (lambda: rkd.cluster([], threshold=0.5),
                 lambda: rkd.ratio_join([], threshold=0.5),
                 lambda: rkd.token_series([])):
        with pytest.raises(ImportError, match=r'pip install "ratiokit\[dask\]"'):
            call()
