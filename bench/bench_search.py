"""extract, extract_many, get_close_matches and ratio_join, with the peers in one run.

Data (--data): "stdlib", the non-blank lines (stripped) of the standard library's own .py files
(the stdlib directory and its subpackages, site-packages excluded), in sorted path order; or
"changelog", the bullet lines of the Debian changelogs under /usr/share/doc (the text after
"*" or "-"), in sorted path order. The first --lines of them (100,000 by default). Queries are
a seeded sample of those lines.

  - get_close_matches (n=3, cutoff=0.6): ratiokit against difflib.get_close_matches, which is
    slow (about a second a query), so it runs on the first --difflib-queries queries only; both
    must return the same lists there. cdifflib's CSequenceMatcher plugged into difflib's own
    get_close_matches is shown too where cdifflib is installed.
  - extract (limit 5, cutoff 0): ratiokit on the plain list and on prepared Choices, on one
    thread and on all (threads=0), against RapidFuzz's process.extract with fuzz.ratio (one
    thread) and with its default scorer (WRatio, a different metric: skip with --no-wratio).
  - extract_many (limit 5) over --many-queries queries on prepared choices, all cores, against a
    loop of single extract calls (prepared, threads=1) and RapidFuzz's process.cdist
    (scorer=fuzz.ratio, score_cutoff=--cdist-cutoff, workers=-1, dtype uint8) followed by
    the top 5 of each row (numpy argpartition, row by row).
  - ratio_join: the self-join of the first --join-lines lines at 0.8, time and pair count.

Per query the table gives the mean (total / queries, the headline), the median, and the process
CPU time per query (all threads together; on a loaded machine the CPU time of single-threaded
rows is the steadier comparison). Peak memory
is the process's peak resident set size (ru_maxrss) after each phase, which covers native
allocations that tracemalloc cannot see.

    python bench/bench_search.py [--quick] [--data stdlib|changelog] [--lines N] [--queries N]
        [--many-queries N] [--threads N]

difflib is the standard library's; rapidfuzz and cdifflib are optional (pip install rapidfuzz
cdifflib) and only measured, never used by ratiokit.
"""

from __future__ import annotations

import argparse
import difflib
import glob
import gzip
import os
import random
import resource
import statistics
import sys
import sysconfig
import time
from typing import Callable, List, Optional, Sequence

import ratiokit


def stdlib_lines(limit: int) -> List[str]:
    root = sysconfig.get_paths()["stdlib"]
    lines: List[str] = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in ("site-packages", "__pycache__"))
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), encoding="utf-8") as f:
                    text = f.read()
            except (UnicodeDecodeError, OSError):
                continue
            for line in text.split("\n"):
                line = line.strip()
                if line:
                    lines.append(line)
                    if len(lines) == limit:
                        return lines
    return lines


def changelog_lines(limit: int) -> List[str]:
    lines: List[str] = []
    for path in sorted(glob.glob("/usr/share/doc/*/changelog.Debian.gz")):
        try:
            with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            continue
        for line in text.split("\n"):
            line = line.strip()
            if line.startswith(("*", "-")) and len(line) > 2:
                lines.append(line[1:].strip())
                if len(lines) == limit:
                    return lines
    return lines


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


CPU: List[float] = []  # process CPU seconds per query of the last per_query call


def per_query(fn: Callable[[str], object], queries: Sequence[str]) -> tuple:
    times = []
    results = []
    cpu = time.process_time()
    for q in queries:
        start = time.perf_counter()
        results.append(fn(q))
        times.append(time.perf_counter() - start)
    CPU[:] = [(time.process_time() - cpu) / len(queries)]
    return sum(times) / len(times), statistics.median(times), results


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lines", type=int, default=100_000)
    ap.add_argument("--data", choices=["stdlib", "changelog"], default="stdlib")
    ap.add_argument("--queries", type=int, default=100)
    ap.add_argument("--many-queries", type=int, default=1000)
    ap.add_argument("--cdist-cutoff", type=float, default=60.0)
    ap.add_argument("--no-wratio", action="store_true")
    ap.add_argument("--difflib-queries", type=int, default=5)
    ap.add_argument("--join-lines", type=int, default=20_000)
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--quick", action="store_true", help="20,000 lines, 20 queries, 2 for difflib")
    args = ap.parse_args()
    if args.quick:
        args.lines, args.queries, args.difflib_queries, args.join_lines = 20_000, 20, 2, 5_000
        args.many_queries = 100

    lines = stdlib_lines(args.lines) if args.data == "stdlib" else changelog_lines(args.lines)
    rng = random.Random(42)
    queries = rng.sample(lines, min(args.queries, len(lines)))
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {len(lines)} {args.data} "
          f"lines, {len(queries)} queries, threads={args.threads}, "
          f"load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    print(f"peak RSS after loading: {peak_mib():.0f} MiB")
    rows = []

    def row(name: str, mean: float, median: float, n: int, note: str = "",
            cpu: Optional[float] = None) -> None:
        if cpu is None:
            cpu = CPU[0] if CPU else float("nan")
        rows.append((name, mean, median, n, peak_mib(), cpu, note))

    # get_close_matches
    dq = queries[: args.difflib_queries]
    d_mean, d_med, d_res = per_query(lambda q: difflib.get_close_matches(q, lines), dq)
    d_cpu = CPU[0]
    r_mean, r_med, r_res = per_query(lambda q: ratiokit.get_close_matches(q, lines), queries)
    same = all(a == b for a, b in zip(r_res, d_res))
    row("ratiokit.get_close_matches", r_mean, r_med, len(queries),
        f"same lists as difflib on its {len(dq)} queries: {same}")
    row("difflib.get_close_matches", d_mean, d_med, len(dq),
        f"{d_mean / r_mean:.0f}x ratiokit's mean", cpu=d_cpu)
    try:
        from cdifflib import CSequenceMatcher
    except ImportError:
        CSequenceMatcher = None
    if CSequenceMatcher is not None:
        saved = difflib.SequenceMatcher
        difflib.SequenceMatcher = CSequenceMatcher  # type: ignore[misc]
        try:
            c_mean, c_med, _ = per_query(lambda q: difflib.get_close_matches(q, lines), dq)
        finally:
            difflib.SequenceMatcher = saved  # type: ignore[misc]
        row("difflib.get_close_matches + cdifflib", c_mean, c_med, len(dq),
            f"{c_mean / r_mean:.0f}x ratiokit's mean")

    # extract
    try:
        from rapidfuzz import fuzz, process
    except ImportError:
        process = None
    e_mean, e_med, e_res = per_query(
        lambda q: ratiokit.extract(q, lines, limit=5, threads=1), queries)
    row("ratiokit.extract, list, threads=1", e_mean, e_med, len(queries))
    a_mean, a_med, _ = per_query(
        lambda q: ratiokit.extract(q, lines, limit=5, threads=args.threads), queries)
    row(f"ratiokit.extract, list, threads={args.threads}", a_mean, a_med, len(queries))
    start = time.perf_counter()
    prepared = ratiokit.Choices(lines)
    prep_s = time.perf_counter() - start
    p_mean, p_med, p_res = per_query(
        lambda q: ratiokit.extract(q, prepared, limit=5, threads=1), queries)
    row("ratiokit.extract, Choices, threads=1", p_mean, p_med, len(queries),
        f"Choices built once in {prep_s * 1e3:.0f} ms; same results as the list: "
        f"{p_res == e_res}")
    q_mean, q_med, _ = per_query(
        lambda q: ratiokit.extract(q, prepared, limit=5, threads=args.threads), queries)
    row(f"ratiokit.extract, Choices, threads={args.threads}", q_mean, q_med, len(queries))
    if process is not None:
        f_mean, f_med, f_res = per_query(
            lambda q: process.extract(q, lines, scorer=fuzz.ratio, limit=5), queries)
        row("rapidfuzz process.extract (fuzz.ratio)", f_mean, f_med, len(queries),
            f"{f_mean / e_mean:.2f}x the list's mean, {f_mean / p_mean:.2f}x Choices'")
        if not args.no_wratio:
            w_mean, w_med, _ = per_query(lambda q: process.extract(q, lines, limit=5), queries)
            row("rapidfuzz process.extract (WRatio)", w_mean, w_med, len(queries),
                f"{w_mean / e_mean:.1f}x the list's mean")

    # extract_many
    many = random.Random(7).sample(lines, min(args.many_queries, len(lines)))
    start, cpu = time.perf_counter(), time.process_time()
    batch = ratiokit.extract_many(many, prepared, limit=5, threads=args.threads)
    m_total = time.perf_counter() - start
    m_cpu = (time.process_time() - cpu) / len(many)
    l_mean, l_med, loop = per_query(
        lambda q: ratiokit.extract(q, prepared, limit=5, threads=1), many)
    row(f"ratiokit.extract_many, Choices, {len(many)} queries", m_total / len(many), float("nan"),
        len(many), f"{l_mean * len(many) / m_total:.2f}x the loop below; same results: "
        f"{batch == loop}", cpu=m_cpu)
    row("loop of ratiokit.extract, Choices, threads=1", l_mean, l_med, len(many))
    if process is not None:
        import numpy as np

        start, cpu = time.perf_counter(), time.process_time()
        scores = process.cdist(many, lines, scorer=fuzz.ratio, score_cutoff=args.cdist_cutoff,
                               dtype=np.uint8, workers=-1)
        # Row by row: the indices of a whole-matrix argpartition would outweigh the matrix.
        top = [np.argpartition(-row, 4)[:5] for row in scores]
        c_total = time.perf_counter() - start
        c_cpu = (time.process_time() - cpu) / len(many)
        del scores, top
        row(f"rapidfuzz process.cdist (fuzz.ratio, score_cutoff={args.cdist_cutoff:g}, "
            "workers=-1) + top 5", c_total / len(many), float("nan"), len(many),
            f"{c_total / m_total:.2f}x extract_many's mean", cpu=c_cpu)

    print()
    print("| function | mean per query | median | CPU per query | queries | peak RSS | note |")
    print("|---|---|---|---|---|---|---|")
    for name, mean, median, n, mem, cpu, note in rows:
        med = "-" if median != median else f"{median * 1e3:.2f} ms"
        print(f"| {name} | {mean * 1e3:.2f} ms | {med} | {cpu * 1e3:.2f} ms | {n} | {mem:.0f} MiB "
              f"| {note} |")

    # ratio_join
    subset = lines[: args.join_lines]
    start = time.perf_counter()
    pairs = ratiokit.ratio_join(subset, threshold=0.8, threads=args.threads)
    elapsed = time.perf_counter() - start
    print()
    print(f"ratio_join self-join of {len(subset)} lines at 0.8: {elapsed:.2f} s, "
          f"{len(pairs)} pairs, peak RSS {peak_mib():.0f} MiB")


if __name__ == "__main__":
    main()
