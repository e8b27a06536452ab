"""One digest of what the threshold-driven calls return on a fixed corpus, to show that a change
to the engines left every result bit alone.

The corpus is the standard library's functions (as bench_cluster.py extracts them), a seeded
prefix of them and each function's first line. The calls: cluster_canonicals (two thresholds),
cluster_canonicals_lsh, extract and ratio_join, dedupe, ratio_many over near pairs. Results are
serialised with repr() (exact for floats) and hashed; run it on two builds and compare the
lines.

    python bench/result_digest.py [--size N]
"""

from __future__ import annotations

import argparse
import hashlib
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_cluster import stdlib_functions  # noqa: E402

import ratiokit  # noqa: E402


def digest(value) -> str:
    return hashlib.sha256(repr(value).encode()).hexdigest()[:16]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", type=int, default=3000)
    args = ap.parse_args()
    functions = stdlib_functions()
    random.Random(7).shuffle(functions)
    strings = functions[: args.size]
    heads = [s.split("\n", 1)[0] for s in functions[: args.size * 4]]
    queries = heads[:: max(1, len(heads) // 40)][:40]
    pairs = [(strings[k], strings[(k * 7 + 1) % len(strings)]) for k in range(len(strings))]
    rows = {
        "cluster_canonicals 0.8": ratiokit.cluster_canonicals(strings, 0.8),
        "cluster_canonicals 0.6": ratiokit.cluster_canonicals(heads, 0.6),
        "cluster_canonicals_lsh 0.7": ratiokit.cluster_canonicals_lsh(strings, 0.7, 64, 4),
        "cluster_labels lsh 0.6": ratiokit.cluster_labels(heads, threshold=0.6, method="lsh"),
        "extract": [ratiokit.extract(q, heads, limit=10, score_cutoff=0.4) for q in queries],
        "ratio_join 0.75": ratiokit.ratio_join(heads, threshold=0.75),
        "ratio_join two sides 0.6": ratiokit.ratio_join(heads[:2000], heads[2000:6000], threshold=0.6),
        "dedupe 0.7": ratiokit.dedupe(heads, threshold=0.7),
        "ratio_many": ratiokit.ratio_many(pairs),
    }
    for name, value in rows.items():
        print(f"{name:28} {digest(value)}")


if __name__ == "__main__":
    main()
