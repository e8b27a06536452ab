"""ratiokit.ratio on sequences of items (lists of lines, token lists) against difflib.

Lines: 1,000 pairs of the standard library's files as ``readlines()`` gives them, half a file
against an edited copy of itself (seeded line deletions, insertions and swaps), half a file
against an unrelated one. Tokens: 1,000 pairs of functions of the standard library split into
tokens (words and single punctuation marks), half neighbours in length order (often related),
half unrelated. Each set with autojunk=False and with difflib's default autojunk=True; every
value is checked against difflib's (and cdifflib's where installed), and all three are timed in
the same run over the whole set: a Python loop of ratio(a, b), and the list form ratio(pairs)
on all cores.

    python bench/bench_sequences.py [--pairs N]
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_ratio import edit_lines, function_pairs, stdlib_sources  # noqa: E402

import ratiokit  # noqa: E402

try:
    import cdifflib
except ImportError:  # optional peer
    cdifflib = None

TOKEN = re.compile(r"\w+|\S")


def line_pairs(sources, rng, count):
    texts = [text for _, text in sources if 2_000 <= len(text) <= 60_000]
    pairs = []
    for k in range(count):
        text = rng.choice(texts)
        other = edit_lines(text, rng, 20) if k % 2 == 0 else rng.choice(texts)
        pairs.append((text.splitlines(keepends=True), other.splitlines(keepends=True)))
    return pairs


def token_pairs(sources, rng, count):
    return [(TOKEN.findall(a), TOKEN.findall(b)) for a, b in function_pairs(sources, rng, count)]


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def run(name, pairs, autojunk):
    if autojunk:
        def reference(a, b):
            return difflib.SequenceMatcher(None, a, b).ratio()
    else:
        def reference(a, b):
            return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
    t_difflib, want = timed(lambda: [reference(a, b) for a, b in pairs])
    t_loop, got = timed(lambda: [ratiokit.ratio(a, b, autojunk=autojunk) for a, b in pairs])
    t_batch, batch = timed(lambda: ratiokit.ratio(pairs, autojunk=autojunk))
    differ = sum(x != y for x, y in zip(got, want)) + sum(x != y for x, y in zip(batch, want))
    row = [name, f"{'on' if autojunk else 'off'}", f"{t_difflib:.2f} s"]
    if cdifflib is not None:
        t_c, c_values = timed(
            lambda: [cdifflib.CSequenceMatcher(None, a, b, autojunk=autojunk).ratio() for a, b in pairs]
        )
        differ += sum(x != y for x, y in zip(c_values, want))
        row.append(f"{t_c:.2f} s")
    row += [f"{t_loop:.3f} s", f"{t_difflib / t_loop:.0f}x", f"{t_batch:.3f} s",
            f"{t_difflib / t_batch:.0f}x", str(differ)]
    print("| " + " | ".join(row) + " |", flush=True)
    return differ


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1_000)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    sources = stdlib_sources()
    rng = random.Random(args.seed)
    lines = line_pairs(sources, rng, args.pairs)
    tokens = token_pairs(sources, rng, args.pairs)
    mean_lines = sum(len(a) + len(b) for a, b in lines) / (2 * len(lines))
    mean_tokens = sum(len(a) + len(b) for a, b in tokens) / (2 * len(tokens))
    print(f"{len(lines)} pairs of files as lines (mean {mean_lines:.0f} lines), {len(tokens)} "
          f"pairs of functions as tokens (mean {mean_tokens:.0f} tokens); {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}\n")
    head = ["data", "autojunk", "difflib"] + (["cdifflib"] if cdifflib is not None else [])
    head += ["ratio loop", "vs difflib", "ratio(pairs)", "vs difflib", "values differing"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    differ = 0
    for autojunk in (False, True):
        differ += run("files as lines", lines, autojunk)
        differ += run("functions as tokens", tokens, autojunk)
    if differ:
        sys.exit(f"{differ} values differ from difflib's")


if __name__ == "__main__":
    main()
