"""ratio_many throughput on short real pairs (lines of the standard library's source).

Compares, in one run: ratio_many at threads 1 and 2 (and 0 = the shared pool), the package's
ratio_many, a Python loop calling ratio, difflib on a sample, and, where installed,
rapidfuzz.process.cpdist with its fuzz.ratio scorer (a different, cheaper metric: a speed
reference, not equal output), each with the process CPU time per pair beside its wall time. Also
the per-call cost of a private pool of 4 threads, and a 1,000-pair batch against a loop.

    python bench/bench_ratio_many.py [--pairs N]
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_ratio import short_line_pairs, stdlib_sources  # noqa: E402

import ratiokit  # noqa: E402
from ratiokit import _ratiokit  # noqa: E402

try:
    from rapidfuzz import fuzz, process
except ImportError:  # optional peer
    process = None


CPU_SECONDS = {}  # the process CPU time of a row's fastest run, all threads together


def best_of(fn, repeat=5, name=None):
    times = []
    for _ in range(repeat):
        start, cpu = time.perf_counter(), time.process_time()
        fn()
        times.append((time.perf_counter() - start, time.process_time() - cpu))
    wall, cpu = min(times)
    if name is not None:
        CPU_SECONDS[name] = cpu
    return wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=100_000)
    args = parser.parse_args()
    rng = random.Random(7)
    base = short_line_pairs(stdlib_sources(), rng, 20_000)
    pairs = [base[k % len(base)] for k in range(args.pairs)]
    print(f"{len(pairs)} short pairs (20-80 chars), {os.cpu_count()} CPUs")

    expected = [_ratiokit.ratio(a, b) for a, b in pairs[:2000]]
    sample = pairs[:2000]
    assert expected == [difflib.SequenceMatcher(None, a, b, autojunk=False).ratio() for a, b in sample]

    rows = []
    name = "Python loop of ratio"
    rows.append((name, best_of(lambda: [_ratiokit.ratio(a, b) for a, b in pairs], 3, name)))
    for threads in (1, 2, 0):
        result = _ratiokit.ratio_many(pairs, threads)
        assert result[:2000] == expected
        name = f"ratio_many threads={threads}"
        rows.append((name, best_of(lambda: _ratiokit.ratio_many(pairs, threads), name=name)))
    # The package's batch, which reads any pairs (the list form of ratio takes the same path).
    assert ratiokit.ratio_many(pairs, 2)[:2000] == expected
    name = "ratiokit.ratio_many threads=2"
    rows.append((name, best_of(lambda: ratiokit.ratio_many(pairs, 2), name=name)))
    handle = _ratiokit.Rationer("cpu", 0)
    assert handle.ratio_many(pairs)[:2000] == expected
    name = "Rationer().ratio_many"
    rows.append((name, best_of(lambda: handle.ratio_many(pairs), name=name)))
    t_difflib = best_of(
        lambda: [difflib.SequenceMatcher(None, a, b, autojunk=False).ratio() for a, b in sample], 1
    ) * len(pairs) / len(sample)
    rows.append(("difflib (from a 2,000-pair sample)", t_difflib))
    if process is not None:
        left = [a for a, _ in pairs]
        right = [b for _, b in pairs]
        name = "rapidfuzz cpdist fuzz.ratio workers=-1 (other metric)"
        rows.append((name, best_of(lambda: process.cpdist(left, right, scorer=fuzz.ratio, workers=-1),
                                   name=name)))

    # CPU time per pair (every thread of the process) holds steadier than wall time on a
    # machine shared with other work, where the wall time mostly measures waiting for a core.
    print(f"\n| method | seconds | pairs/s | vs threads=1 | CPU us/pair |")
    print("|---|---|---|---|---|")
    t1 = rows[1][1]
    for name, t in rows:
        cpu = CPU_SECONDS.get(name)
        cpu_text = f"{cpu / len(pairs) * 1e6:.3f}" if cpu is not None else "-"
        print(f"| {name} | {t:.4f} | {len(pairs) / t:,.0f} | {t1 / t:.2f}x | {cpu_text} |")

    small = pairs[:1000]
    t_batch = best_of(lambda: _ratiokit.ratio_many(small), 20)
    t_small_loop = best_of(lambda: [ratiokit.ratio(a, b) for a, b in small], 20)
    print(f"\n1,000 pairs: ratio_many {t_batch * 1e3:.3f} ms, Python loop of ratio {t_small_loop * 1e3:.3f} ms")

    # One pair per call: the free function and the handle's method, on the same 20,000 pairs.
    loop_pairs = pairs[:20_000]
    for name, fn in (("ratiokit.ratio", ratiokit.ratio), ("_ratiokit.ratio", _ratiokit.ratio),
                     ("Rationer().ratio", handle.ratio)):
        t = best_of(lambda: [fn(a, b) for a, b in loop_pairs], 5)
        print(f"{name:18s} in a Python loop: mean {t / len(loop_pairs) * 1e6:.3f} us per pair")

    tiny = pairs[:8]
    per_call = []
    for _ in range(200):
        start = time.perf_counter()
        _ratiokit.ratio_many(tiny, 4)
        per_call.append(time.perf_counter() - start)
    base_call = best_of(lambda: _ratiokit.ratio_many(tiny, 0), 50)
    print(f"private pool of 4 threads: median {statistics.median(per_call) * 1e6:.0f} us per call "
          f"(the same call on the shared pool: {base_call * 1e6:.1f} us)")


if __name__ == "__main__":
    main()
    import resource

    print(f"peak resident memory of this run: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")
