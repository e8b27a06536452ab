"""Rationer().ratio_many against the free ratio_many on batches whose second texts repeat.

The texts are the Python standard library's own source: lines (20-80 characters) and whole
functions (200-4000 characters). Four shapes per kind: one b against every a, b's repeated 100
and 10 times, and all-distinct pairs. Both sides run on the shared pool (threads=0) in the same
process, results are checked equal, and the table shows the best of several interleaved runs,
in wall time and in CPU time of all threads.
Last, what a Rationer(threads=4) costs when built once against once per call.

    python bench/bench_rationer.py [--quick]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_ratio import stdlib_sources  # noqa: E402

from ratiokit import _ratiokit  # noqa: E402


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def wall_and_cpu(fn):
    """Wall seconds and CPU seconds of all threads: on a loaded machine the second is steadier."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def stdlib_lines(sources):
    return sorted(
        {line.strip() for _, text in sources for line in text.splitlines() if 20 <= len(line.strip()) <= 80}
    )


def stdlib_functions(sources):
    """Source lines of every function of 200-4000 characters (ast.get_source_segment is far slower)."""
    import ast

    funcs = set()
    for _, text in sources:
        try:
            tree = ast.parse(text)
        except SyntaxError:
            continue
        lines = text.splitlines(keepends=True)
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                seg = "".join(lines[node.lineno - 1 : node.end_lineno])
                if 200 <= len(seg) <= 4000:
                    funcs.add(seg)
    return sorted(funcs)


def shapes(texts, rng, total):
    """(name, pairs) for batches of about `total` pairs where each b repeats total, 100, 10, 1 times."""
    out = []
    for repeats in (total, 100, 10, 1):
        pool = rng.sample(texts, min(len(texts), total + total // repeats))
        bs, a_pool = pool[: total // repeats], pool[total // repeats :]
        pairs = [(rng.choice(a_pool), b) for b in bs for _ in range(repeats)]
        rng.shuffle(pairs)
        label = {total: f"1 b x {total:,} a's", 1: "all-distinct pairs"}.get(
            repeats, f"{total // repeats:,} b's x {repeats} a's each"
        )
        out.append((label, repeats, pairs))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches, fewer runs")
    args = parser.parse_args()
    rng = random.Random(11)
    sources = stdlib_sources()
    repeat = 3 if args.quick else 9
    kinds = [
        ("lines", stdlib_lines(sources), 2_000 if args.quick else 10_000),
        ("functions", stdlib_functions(sources), 500 if args.quick else 2_000),
    ]
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} CPUs, best of {repeat}")
    print("\n| texts | batch | pairs | free ratio_many s | Rationer().ratio_many s | speed-up | CPU-time speed-up |")
    print("|---|---|---|---|---|---|---|")
    handle = _ratiokit.Rationer()
    for kind, texts, total in kinds:
        for label, _, pairs in shapes(texts, rng, total):
            assert handle.ratio_many(pairs) == _ratiokit.ratio_many(pairs)
            # Interleaved, so that a burst of load elsewhere hits both sides alike.
            free, mine = [], []
            for _ in range(repeat):
                free.append(wall_and_cpu(lambda: _ratiokit.ratio_many(pairs)))
                mine.append(wall_and_cpu(lambda: handle.ratio_many(pairs)))
            (t_free, c_free), (t_mine, c_mine) = map(min, zip(*free)), map(min, zip(*mine))
            print(
                f"| {kind} | {label} | {len(pairs):,} | {t_free:.4f} | {t_mine:.4f} | "
                f"{t_free / t_mine:.2f}x | {c_free / c_mine:.2f}x |"
            )

    lines = kinds[0][1]
    small = [(rng.choice(lines), rng.choice(lines)) for _ in range(8)]
    built = _ratiokit.Rationer(threads=4)
    once = best_of(lambda: built.ratio_many(small), 200)
    per_call = []
    for _ in range(200):
        start = time.perf_counter()
        _ratiokit.Rationer(threads=4).ratio_many(small)
        per_call.append(time.perf_counter() - start)
    construct = []
    for _ in range(200):
        start = time.perf_counter()
        _ratiokit.Rationer(threads=4)
        construct.append(time.perf_counter() - start)
    print(
        f"\n8-pair batch on Rationer(threads=4): built once {once * 1e6:.0f} us per call; "
        f"built per call {statistics.median(per_call) * 1e6:.0f} us per call (median); "
        f"construction alone {statistics.median(construct) * 1e6:.0f} us (median)"
    )


if __name__ == "__main__":
    main()
