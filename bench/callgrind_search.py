"""One variant of a search query loop, to be counted in instructions by callgrind, which the
load of a shared machine does not disturb (wall times there mostly measure waiting for a core).

    valgrind --tool=callgrind --callgrind-out-file=/tmp/cg.list python bench/callgrind_search.py list
    callgrind_annotate /tmp/cg.list | head -30

Variants: none (loading only, the baseline to subtract), list (extract over the plain list),
choices (over prepared Choices, built outside the count only if subtracted: see choices-build),
choices-build (building Choices only), rapidfuzz (process.extract with fuzz.ratio). Each runs
--queries seeded queries (5 by default) with limit 5 on one thread over the first --lines
changelog (or --data stdlib) lines; (variant - none) / queries is the cost per query.
"""

from __future__ import annotations

import argparse
import random

import ratiokit
from bench_search import changelog_lines, stdlib_lines


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("variant", choices=["none", "list", "choices", "choices-build", "rapidfuzz"])
    ap.add_argument("--data", choices=["stdlib", "changelog"], default="changelog")
    ap.add_argument("--lines", type=int, default=100_000)
    ap.add_argument("--queries", type=int, default=5)
    args = ap.parse_args()
    lines = stdlib_lines(args.lines) if args.data == "stdlib" else changelog_lines(args.lines)
    queries = random.Random(1).sample(lines, args.queries)
    if args.variant == "list":
        for q in queries:
            ratiokit.extract(q, lines, limit=5, threads=1)
    elif args.variant in ("choices", "choices-build"):
        prepared = ratiokit.Choices(lines)
        if args.variant == "choices":
            for q in queries:
                ratiokit.extract(q, prepared, limit=5, threads=1)
    elif args.variant == "rapidfuzz":
        from rapidfuzz import fuzz, process

        for q in queries:
            process.extract(q, lines, scorer=fuzz.ratio, limit=5)


if __name__ == "__main__":
    main()
