"""What a slow progress callable costs every long call: each call timed without a callable and
with callables that sleep 0.2 s and 1 s per report (the computation runs beside the callable,
so the difference should stay within one sleep).

    python bench/bench_progress.py [--scale 1.0]
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

import ratiokit


def log_lines(n: int, seed: int = 1) -> list[str]:
    rng = random.Random(seed)
    words = ["error", "warning", "info", "connection", "timeout", "user", "session", "request",
             "disk", "memory", "retry", "closed", "opened", "failed", "ok"]
    return [f"{rng.choice(words)} {rng.choice(words)} id={rng.randrange(10_000)} "
            f"{' '.join(rng.choice(words) for _ in range(rng.randrange(3, 9)))}"
            for _ in range(n)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--scale", type=float, default=1.0, help="input size factor")
    args = parser.parse_args()
    lines = log_lines(int(40_000 * args.scale))
    docs = [line.split() for line in log_lines(int(60_000 * args.scale), seed=2)]
    handle = ratiokit.Rationer(threads=0)
    calls = {
        "cluster_canonicals 0.8": lambda p: ratiokit.cluster_canonicals(lines, 0.8, progress=p),
        "cluster_canonicals_lsh 0.8": lambda p: ratiokit.cluster_canonicals_lsh(
            lines * 3, 0.8, 128, 4, progress=p),
        "cluster_labels 0.8": lambda p: ratiokit.cluster_labels(lines, threshold=0.8, progress=p),
        "ratio_join 0.8": lambda p: ratiokit.ratio_join(lines[:15_000], threshold=0.8, progress=p),
        "cosine_join 0.5": lambda p: ratiokit.cosine_join(docs, 0.5, progress=p),
        "Rationer.cluster_canonicals 0.8": lambda p: handle.cluster_canonicals(
            lines, 0.8, progress=p),
    }
    print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    print(f"| call | no callable | sleeps 0.2 s (calls) | sleeps 1 s (calls) |")
    print("|---|---|---|---|")
    for name, call in calls.items():
        cells = []
        reference = None
        for sleep in (None, 0.2, 1.0):
            count = [0]

            def slow(phase, done, total, sleep=sleep, count=count):
                count[0] += 1
                time.sleep(sleep)

            start = time.perf_counter()
            result = call(None if sleep is None else slow)
            seconds = time.perf_counter() - start
            if reference is None:
                reference = result
            elif result != reference:
                raise SystemExit(f"{name}: a callable changed the result")
            cells.append(f"{seconds:.2f} s" + ("" if sleep is None else f" ({count[0]})"))
        print(f"| `{name}` | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
