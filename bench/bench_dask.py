"""ratiokit.dask on a LocalCluster: speed-up from 1 to 2 workers, and a job larger than a worker.

1. Speed-up: exact clustering (threshold 0.8) of --speedup-lines synthetic log lines on a
   LocalCluster of 1 and then 2 worker processes (one thread each, native calls with
   threads=1), best of --repeat; the one-machine cluster_canonicals (threads=1) is timed and its
   result compared with each run's.
2. Memory: cluster(method="lsh", num_perm=128, band_rows=4, threshold 0.9) of --lines lines
   generated inside the workers (the client never holds them), on 2 workers with a
   --memory-limit each. Reports the wall time, every worker's peak resident memory (VmHWM of
   the worker process; a worker restarted by its nanny would show up as a new pid), and, up to
   --check-up-to lines, the one-machine cluster_canonicals_lsh run in a subprocess: its time,
   its peak memory and whether its result equals the distributed one.

Lines: 4 to 8 words from a fixed vocabulary of 5,000 syllable words plus a number (about 35
characters); one line in ten is an earlier line of its partition (among the last 1,000) with one
character changed.

    python bench/bench_dask.py [--speedup-lines N] [--lines N] [--memory-limit 1GB] [--quick]
                                [--only speedup|memory] [--check-up-to N] [--repeat N]
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


def speedup(n: int, repeat: int) -> None:
    import distributed

    import ratiokit.dask as rkd

    lines = all_lines(n)
    best_local = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        want = ratiokit.cluster_canonicals(lines, 0.8, threads=1)
        best_local = min(best_local, time.perf_counter() - t0)
    print(f"speed-up: {n:,} lines, exact, threshold 0.8, {len(want):,} clusters")
    print(f"  one machine, cluster_canonicals threads=1: {best_local:.2f} s")
    times = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                      dashboard_address=":0", silence_logs=50) as cluster, \
                distributed.Client(cluster) as client:
            import dask.dataframe as dd
            import pandas as pd

            s = dd.from_pandas(pd.Series(lines, dtype=object), npartitions=8).persist()
            distributed.wait(s)
            best = float("inf")
            for _ in range(repeat):
                t0 = time.perf_counter()
                got = as_clusters(rkd.cluster(s, threshold=0.8, threads=1,
                                              block_size=max(512, n // 16)).compute())
                best = min(best, time.perf_counter() - t0)
            ok = got == [(m, r) for m, r in want]
            times[workers] = best
            print(f"  ratiokit.dask, {workers} worker(s): {best:.2f} s, equal: {ok}")
            client.close()
    print(f"  speed-up 1 -> 2 workers: {times[1] / times[2]:.2f}x")


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
        took = time.perf_counter() - t0
        peaks = client.run(peak_rss)
        pids_after = client.run(os.getpid)
        got = as_clusters(pdf)
        print(f"  ratiokit.dask: {took:.1f} s (input persisted first), {len(got):,} clusters, "
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
            "r = ratiokit.cluster_canonicals_lsh(lines, 0.9, 128, 4)\n"
            "took = time.perf_counter() - t0\n"
            "open(%r, 'w').write('%%s %%f %%d' %% (bench_dask.digest(r), took, "
            "bench_dask.peak_rss()))\n" % (os.path.dirname(os.path.abspath(__file__)), n, out))
        subprocess.run([sys.executable, "-c", code], check=True, cwd=tmp)
        want, took, peak = open(out).read().split()
    print(f"  one machine, cluster_canonicals_lsh (all cores): {float(took):.1f} s, "
          f"process peak RSS {int(peak) / 2**20:,.0f} MiB, equal: {want == digest(got)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--speedup-lines", type=int, default=40_000)
    ap.add_argument("--lines", type=int, default=2_000_000)
    ap.add_argument("--memory-limit", default="1GB")
    ap.add_argument("--check-up-to", type=int, default=2_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="10,000 and 100,000 lines, once")
    ap.add_argument("--only", choices=["speedup", "memory"], help="run one of the two parts")
    args = ap.parse_args()
    if args.quick:
        args.speedup_lines, args.lines, args.repeat = 10_000, 100_000, 1
    if args.only != "memory":
        speedup(args.speedup_lines, args.repeat)
    if args.only != "speedup":
        memory_run(args.lines, args.memory_limit, args.check_up_to)


if __name__ == "__main__":
    main()
