"""extract, get_close_matches and ratio_join on standard-library lines, with the peers in one run.

Data: the non-blank lines (stripped) of the standard library's own .py files (the stdlib
directory and its subpackages, site-packages excluded), in sorted path order, the first --lines
of them (100,000 by default). Queries are a seeded sample of those lines.

  - get_close_matches (n=3, cutoff=0.6): ratiokit against difflib.get_close_matches, which is
    slow (about a second a query), so it runs on the first --difflib-queries queries only; both
    must return the same lists there. cdifflib's CSequenceMatcher plugged into difflib's own
    get_close_matches is shown too where cdifflib is installed.
  - extract (limit 5, cutoff 0): ratiokit against RapidFuzz's process.extract with its default
    scorer (WRatio, a different metric: the speed reference users have) and with fuzz.ratio.
  - ratio_join: the self-join of the first --join-lines lines at 0.8, time and pair count.

Per query the table gives the mean (total / queries, the headline) and the median. Peak memory
is the process's peak resident set size (ru_maxrss) after each phase, which covers native
allocations that tracemalloc cannot see.

    python bench/bench_search.py [--quick] [--lines N] [--queries N] [--threads N]

difflib is the standard library's; rapidfuzz and cdifflib are optional (pip install rapidfuzz
cdifflib) and only measured, never used by ratiokit.
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import resource
import statistics
import sys
import sysconfig
import time
from typing import Callable, List, Sequence

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


def peak_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def per_query(fn: Callable[[str], object], queries: Sequence[str]) -> tuple:
    times = []
    results = []
    for q in queries:
        start = time.perf_counter()
        results.append(fn(q))
        times.append(time.perf_counter() - start)
    return sum(times) / len(times), statistics.median(times), results


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lines", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=100)
    ap.add_argument("--difflib-queries", type=int, default=5)
    ap.add_argument("--join-lines", type=int, default=20_000)
    ap.add_argument("--threads", type=int, default=0)
    ap.add_argument("--quick", action="store_true", help="20,000 lines, 20 queries, 2 for difflib")
    args = ap.parse_args()
    if args.quick:
        args.lines, args.queries, args.difflib_queries, args.join_lines = 20_000, 20, 2, 5_000

    lines = stdlib_lines(args.lines)
    rng = random.Random(42)
    queries = rng.sample(lines, min(args.queries, len(lines)))
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, {len(lines)} stdlib lines, "
          f"{len(queries)} queries, threads={args.threads}")
    print(f"peak RSS after loading: {peak_mib():.0f} MiB")
    rows = []

    def row(name: str, mean: float, median: float, n: int, note: str = "") -> None:
        rows.append((name, mean, median, n, peak_mib(), note))

    # get_close_matches
    dq = queries[: args.difflib_queries]
    d_mean, d_med, d_res = per_query(lambda q: difflib.get_close_matches(q, lines), dq)
    r_mean, r_med, r_res = per_query(lambda q: ratiokit.get_close_matches(q, lines), queries)
    same = all(a == b for a, b in zip(r_res, d_res))
    row("ratiokit.get_close_matches", r_mean, r_med, len(queries),
        f"same lists as difflib on its {len(dq)} queries: {same}")
    row("difflib.get_close_matches", d_mean, d_med, len(dq),
        f"{d_mean / r_mean:.0f}x ratiokit's mean")
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
    e_mean, e_med, _ = per_query(
        lambda q: ratiokit.extract(q, lines, limit=5, threads=args.threads), queries)
    row("ratiokit.extract (limit 5, cutoff 0)", e_mean, e_med, len(queries))
    try:
        from rapidfuzz import fuzz, process
    except ImportError:
        process = None
    if process is not None:
        w_mean, w_med, _ = per_query(lambda q: process.extract(q, lines, limit=5), queries)
        row("rapidfuzz process.extract (WRatio)", w_mean, w_med, len(queries),
            f"{w_mean / e_mean:.1f}x ratiokit's mean")
        f_mean, f_med, _ = per_query(
            lambda q: process.extract(q, lines, scorer=fuzz.ratio, limit=5), queries)
        row("rapidfuzz process.extract (fuzz.ratio)", f_mean, f_med, len(queries),
            f"{f_mean / e_mean:.1f}x ratiokit's mean")

    print()
    print("| function | mean per query | median | queries | peak RSS | note |")
    print("|---|---|---|---|---|---|")
    for name, mean, median, n, mem, note in rows:
        print(f"| {name} | {mean * 1e3:.2f} ms | {median * 1e3:.2f} ms | {n} | {mem:.0f} MiB "
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
