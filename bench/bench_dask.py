"""ratiokit.dask on a LocalCluster against one process, and a job larger than a worker.

1. Speed-up: four jobs, each on one process (the single-machine function, threads=1) and on a
   LocalCluster of 2 worker processes x 1 thread started once (start not timed), input
   persisted first, best of --repeat, results checked equal:
   - exact cluster of 100,000 synthetic log lines at 0.8;
   - cluster(method="lsh") of 1,000,000 lines at 0.9, num_perm=128, band_rows=4;
   - ratio_join self-join of 50,000 lines at 0.8;
   - cosine_join at 0.5 of every function of the standard library as a list of tokens.
   Each job prints its per-stage wall times on the cluster (the driver's share included).
2. Memory: cluster(method="lsh", num_perm=128, band_rows=4, threshold 0.9) of --lines lines
   generated inside the workers (the client never holds them), on 2 workers with a
   --memory-limit each. Reports the wall time, every worker's peak resident memory (VmHWM of
   the worker process; a worker restarted by its nanny would show up as a new pid), and, up to
   --check-up-to lines, the one-process cluster_canonicals_lsh with threads=2 run in a
   subprocess: its time, its peak memory and whether its result equals the distributed one.

3. Projection (--only project, or after the others): the per-stage rates of the LSH and
   cosine pipelines measured in this process on one thread (ratiokit.stages on --project-lines
   lines and the standard library's functions), the bytes each stage moves between workers,
   and from them the time of a billion short lines (LSH) and a hundred million documents
   (cosine_join) on 10 and 100 workers, with what each worker must hold. The model: every
   stage splits evenly over the workers, each worker moves its share of the shuffled bytes at
   --bandwidth bytes a second, the plan step (components and job packing, one task) does not
   split; the cosine join's query cost grows with the number of earlier documents, so its
   pairs stage scales with N^2 / workers. Only the rates are measured; every projected figure says so.

--scale multiplies every size (0.01 runs all of it in seconds). Lines: 4 to 8 words from a fixed
vocabulary of 5,000 syllable words plus a number (about 35 characters); one line in ten is an
earlier line of its partition (among the last 1,000) with one character changed.

    python bench/bench_dask.py [--scale F] [--lines N] [--memory-limit 1GB] [--repeat N]
                               [--only speedup|memory|project] [--jobs exact,lsh,join,cosine]
                               [--check-up-to N] [--project-lines N] [--bandwidth B]
"""

from __future__ import annotations

import argparse
import hashlib
import os
import random
import re
import subprocess
import sys
import tempfile
import time

import ratiokit

PARTITION = 50_000


def gen_lines(part: int, n: int, seed: int = 0) -> list:
    vocab_rng = random.Random(5)
    syll = ["ka", "lo", "mi", "ne", "ru", "ta", "so", "vi", "de", "po", "xu", "ab", "el"]
    words = ["".join(vocab_rng.choice(syll) for _ in range(vocab_rng.randrange(1, 4)))
             for _ in range(5000)]
    rng = random.Random(seed * 1_000_003 + part)
    out: list = []
    for k in range(n):
        if k and rng.random() < 0.1:
            s = list(out[rng.randrange(max(0, k - 1000), k)])
            s[rng.randrange(len(s))] = rng.choice("abcdefghij0123456789")
            out.append("".join(s))
        else:
            out.append(" ".join(rng.choices(words, k=rng.randrange(4, 9)))
                       + " %d" % rng.randrange(100000))
    return out


def part_sizes(total: int) -> list:
    return [min(PARTITION, total - start) for start in range(0, total, PARTITION)]


def all_lines(total: int) -> list:
    out = []
    for k, n in enumerate(part_sizes(total)):
        out.extend(gen_lines(k, n))
    return out


def generated_series(total: int):
    import dask
    import dask.dataframe as dd
    import pandas as pd

    def part(k: int, n: int, start: int):
        return pd.Series(gen_lines(k, n), index=range(start, start + n), dtype=object)

    parts, start = [], 0
    for k, n in enumerate(part_sizes(total)):
        parts.append(dask.delayed(part)(k, n, start))
        start += n
    return dd.from_delayed(parts, meta=pd.Series([], dtype=object), verify_meta=False)


def as_clusters(pdf) -> list:
    return [(rows["member"].tolist(), float(rows["min_ratio"].iloc[0]))
            for _, rows in pdf.groupby("cluster", sort=False)]


def digest(clusters) -> str:
    h = hashlib.sha256()
    for members, score in clusters:
        h.update(repr((list(members), float(score).hex())).encode())
    return h.hexdigest()


def peak_rss() -> int:
    with open("/proc/self/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1)) * 1024


def stdlib_functions(limit: int) -> list:
    """Token lists of the standard library's functions (names, numbers and punctuation), in a
    fixed order, at most `limit`."""
    import ast
    import sysconfig

    root = sysconfig.get_paths()["stdlib"]
    token = re.compile(r"\w+|[^\w\s]")
    docs: list = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "test", "tests"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    text = f.read()
                tree = ast.parse(text)
            except (SyntaxError, UnicodeDecodeError, ValueError):
                continue
            lines = text.splitlines()
            for node in ast.walk(tree):
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    body = "\n".join(lines[node.lineno - 1:node.end_lineno])
                    docs.append(token.findall(body))
                    if len(docs) >= limit:
                        return docs
    return docs


def best_of(repeat: int, run):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - t0)
    return best, result


def speedup(scale: float, repeat: int, jobs: list) -> None:
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import ratiokit.dask as rkd

    def persisted(values, parts):
        s = dd.from_pandas(pd.Series(values, dtype=object), npartitions=parts).persist()
        distributed.wait(s)
        return s

    rows = []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0",
                                  silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        if "exact" in jobs:
            n = max(100, int(100_000 * scale))
            lines = all_lines(n)
            s = persisted(lines, 8)
            one, want = best_of(repeat, lambda: ratiokit.cluster_canonicals(lines, 0.8,
                                                                             threads=1))
            two, got = best_of(repeat, lambda: rkd.cluster(s, threshold=0.8, threads=1).compute())
            rows.append((f"exact cluster, {n:,} lines at 0.8", one, two,
                         as_clusters(got) == [(m, r) for m, r in want]))
        if "lsh" in jobs:
            n = max(100, int(1_000_000 * scale))
            lines = all_lines(n)
            s = persisted(lines, 8)
            one, want = best_of(repeat, lambda: ratiokit.cluster_canonicals_lsh(
                lines, 0.9, 128, 4, threads=1))
            two, got = best_of(repeat, lambda: rkd.cluster(
                s, threshold=0.9, method="lsh", num_perm=128, band_rows=4, threads=1).compute())
            rows.append((f"lsh cluster, {n:,} lines at 0.9 (128, 4)", one, two,
                         as_clusters(got) == [(m, r) for m, r in want]))
        if "join" in jobs:
            n = max(100, int(50_000 * scale))
            lines = all_lines(n)
            s = persisted(lines, 8)
            one, want = best_of(repeat, lambda: ratiokit.ratio_join(lines, threshold=0.8,
                                                                     threads=1))
            two, got = best_of(repeat, lambda: rkd.ratio_join(
                s, threshold=0.8, threads=1, block_size=max(256, n // 8)).compute())
            rows.append((f"ratio_join self-join, {n:,} lines at 0.8", one, two,
                         list(got.itertuples(index=False, name=None)) == list(want)))
        if "cosine" in jobs:
            docs = stdlib_functions(10**9)
            docs = docs[:max(100, int(len(docs) * scale))]
            s = rkd.token_series(docs, npartitions=8).persist()
            distributed.wait(s)
            one, want = best_of(repeat, lambda: ratiokit.cosine_join(docs, 0.5, threads=1))
            two, got = best_of(repeat, lambda: rkd.cosine_join(s, threshold=0.5).compute())
            rows.append((f"cosine_join, {len(docs):,} stdlib functions at 0.5", one, two,
                         [(j, i, c.hex()) for j, i, c in got.itertuples(index=False, name=None)]
                         == [(j, i, c.hex()) for j, i, c in want]))
        client.close()
    print(f"{'job':48} {'1 process':>10} {'2 workers':>10} {'speed-up':>9}  equal")
    for name, one, two, ok in rows:
        print(f"{name:48} {one:9.2f}s {two:9.2f}s {one / two:8.2f}x  {ok}")


def memory_run(n: int, limit: str, check_up_to: int) -> None:
    import distributed

    import ratiokit.dask as rkd

    print(f"memory: {n:,} lines generated on the workers, lsh num_perm=128 band_rows=4, "
          f"threshold 0.9, 2 workers x {limit}")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=limit,
                                  dashboard_address=":0", silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        pids_before = client.run(os.getpid)
        s = generated_series(n).persist()
        distributed.wait(s)
        t0 = time.perf_counter()
        pdf = rkd.cluster(s, threshold=0.9, method="lsh", num_perm=128, band_rows=4,
                          threads=1).compute()
        took_dask = time.perf_counter() - t0
        peaks = client.run(peak_rss)
        pids_after = client.run(os.getpid)
        got = as_clusters(pdf)
        print(f"  ratiokit.dask: {took_dask:.1f} s (input persisted first), {len(got):,} clusters, "
              f"{len(pdf):,} members")
        for addr in sorted(peaks):
            print(f"  worker {addr}: peak RSS {peaks[addr] / 2**20:,.0f} MiB")
        restarted = set(pids_before.values()) != set(pids_after.values())
        print(f"  worker restarts: {'yes' if restarted else 'none'}")
        client.close()
    if n > check_up_to:
        print(f"  one-machine check skipped (more than --check-up-to {check_up_to:,} lines)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "digest")
        code = (
            "import sys, time; sys.path.insert(0, %r)\n"
            "import bench_dask, ratiokit\n"
            "lines = bench_dask.all_lines(%d)\n"
            "t0 = time.perf_counter()\n"
            "r = ratiokit.cluster_canonicals_lsh(lines, 0.9, 128, 4, threads=2)\n"
            "took = time.perf_counter() - t0\n"
            "open(%r, 'w').write('%%s %%f %%d' %% (bench_dask.digest(r), took, "
            "bench_dask.peak_rss()))\n" % (os.path.dirname(os.path.abspath(__file__)), n, out))
        subprocess.run([sys.executable, "-c", code], check=True, cwd=tmp)
        want, took, peak = open(out).read().split()
    print(f"  one process, cluster_canonicals_lsh threads=2: {float(took):.1f} s, "
          f"process peak RSS {int(peak) / 2**20:,.0f} MiB, equal: {want == digest(got)}")
    print(f"  distributed / one process: {took_dask / float(took):.2f}x")


def project(lines_n: int, bandwidth: float) -> None:
    from ratiokit import _stages, stages

    T = time.perf_counter
    lines = all_lines(lines_n)
    pieces = [lines[k:k + PARTITION] for k in range(0, len(lines), PARTITION)]
    t = T()
    keys = [stages.band_keys(p, 128, 4, threads=1) for p in pieces]
    t_keys = T() - t
    t = T()
    groups = 8
    cols = [_stages.band_columns(k, groups) for k in keys]
    found = [_stages.band_group_buckets(1, *[c[g] for c in cols]) for g in range(groups)]
    t_buckets = T() - t
    t = T()
    jobs = _stages.lsh_jobs(found, 1 << 24, 20_000)
    t_plan = T() - t
    t = T()
    for job in jobs:
        _stages.lsh_job(job, 0.9, 1, [lines[p] for p in job.positions.tolist()])
    t_verify = T() - t
    key_bytes = lines_n * 32 * 8
    candidates = sum(len(j.positions) for j in jobs)
    avg_chars = sum(map(len, lines)) / lines_n
    print(f"projection, LSH (128, 4) at 0.9: rates from {lines_n:,} lines, one thread")
    per_line = {"band keys": t_keys / lines_n, "band buckets": t_buckets / lines_n,
                "verify": t_verify / lines_n}
    for name, sec in per_line.items():
        print(f"  {name:14} {1 / sec:12,.0f} lines/s")
    print(f"  plan          {1 / (t_plan / lines_n):12,.0f} lines/s (one task, does not split)")
    print(f"  shuffled: {key_bytes / lines_n:.0f} bytes of keys a line, "
          f"{candidates / lines_n:.3f} candidate strings a line ({avg_chars:.0f} chars)")
    for workers in (10, 100):
        n = 10**9
        compute = sum(per_line.values()) * n / workers + t_plan / lines_n * n
        shuffle = (key_bytes / lines_n + candidates / lines_n * (avg_chars + 50)) * n
        moved = shuffle / workers / bandwidth
        hold = (key_bytes / lines_n) * n / workers + avg_chars * 1.5 * n / workers
        print(f"  projected, 1e9 lines on {workers} workers: {(compute + moved) / 3600:.1f} h "
              f"({moved / 60:.1f} min of it moving {shuffle / 1e12:.1f} TB), "
              f"each worker holds about {hold / 2**30:.0f} GiB")

    docs = stdlib_functions(10**9)
    m = len(docs)
    cut = [m * k // 8 for k in range(9)]
    parts = [docs[cut[k]:cut[k + 1]] for k in range(8)]
    t = T()
    vocab = stages.vocabulary([stages.doc_frequencies(p) for p in parts])
    units = [stages.unit_vectors(p, vocab) for p in parts]
    terms = stages.term_numbers([(u.max_ids, u.max_weights) for u in units], vocab)
    vecs = [stages.term_vectors(u, terms) for u in units]
    t_vectors = T() - t
    t = T()
    for b in range(8):
        for a in range(b + 1):
            stages.cosine_block(vecs[a], None if a == b else vecs[b], terms, 0.5, threads=1)
    t_pairs = T() - t
    entries = sum(len(v.terms) for v in vecs)
    vec_bytes = entries * 12 + m * 8
    print(f"projection, cosine_join at 0.5: rates from {m:,} stdlib functions, one thread")
    print(f"  vectors       {m / t_vectors:12,.0f} docs/s; {vec_bytes / m:.0f} bytes a vector")
    print(f"  pairs         {t_pairs / m / m * 1e9:12.2f} ns per document pair")
    for workers in (10, 100):
        n = 10**8
        compute = t_vectors / m * n / workers + t_pairs / m / m * n * n / workers
        # Every block reads two partitions' vectors: each is sent to about 2 * blocks/partitions.
        moved = vec_bytes / m * n * 2 * workers ** 0.5 / workers / bandwidth
        hold = vec_bytes / m * n / workers * 2
        print(f"  projected, 1e8 documents on {workers} workers: {(compute + moved) / 3600:,.0f} h, "
              f"each worker holds about {hold / 2**30:.0f} GiB of vectors at a time")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--lines", type=int, default=None, help="memory run (2,000,000 x scale)")
    ap.add_argument("--memory-limit", default="1GB")
    ap.add_argument("--check-up-to", type=int, default=2_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--jobs", default="exact,lsh,join,cosine")
    ap.add_argument("--only", choices=["speedup", "memory", "project"],
                    help="run one of the three parts")
    ap.add_argument("--project-lines", type=int, default=200_000)
    ap.add_argument("--bandwidth", type=float, default=1e9, help="bytes/s per worker")
    args = ap.parse_args()
    if args.only in (None, "speedup"):
        speedup(args.scale, args.repeat, args.jobs.split(","))
    if args.only in (None, "memory"):
        lines = args.lines if args.lines is not None else max(1000, int(2_000_000 * args.scale))
        memory_run(lines, args.memory_limit, args.check_up_to)
    if args.only in (None, "project"):
        project(max(1000, int(args.project_lines * args.scale)), args.bandwidth)


if __name__ == "__main__":
    main()
