"""Differential check of the search functions against difflib itself, at sizes beyond the test
suite's.

  - get_close_matches against difflib.get_close_matches on --queries random queries, half over a
    word list (with words of 200+ characters full of popular characters) and half over lines;
  - ratio(a, b, autojunk=True) against difflib.SequenceMatcher(None, a, b).ratio() on --pairs
    pairs with b of 150 to 3,000 code points (ASCII and non-ASCII alphabets, near and far pairs);
  - extract against a brute-force sort of ratio_many's ratios;
  - ratio_join against brute force on --join-strings strings at thresholds 0.5, 0.8 and 1.0.

    python bench/check_search_exactness.py [--queries N] [--pairs N] [--join-strings N]

Prints one line per check with the number of cases and of mismatches (which must be 0).
"""

from __future__ import annotations

import argparse
import difflib
import random
import sys
import sysconfig
import time

import ratiokit

ALPHABETS = ["ab", "abc", "abcdefgh", "aé b", "the quick brown fox", "aaabcdé€𝄞", "0123456789 "]


def text(rng: random.Random, alphabet: str, lo: int, hi: int) -> str:
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))


def mutate(rng: random.Random, s: str, alphabet: str, edits: int) -> str:
    chars = list(s)
    for _ in range(edits):
        op = rng.random()
        if chars and op < 0.4:
            chars[rng.randrange(len(chars))] = rng.choice(alphabet)
        elif chars and op < 0.7:
            del chars[rng.randrange(len(chars))]
        else:
            chars.insert(rng.randint(0, len(chars)), rng.choice(alphabet))
    return "".join(chars)


def stdlib_lines(limit: int) -> list:
    import os

    out = []
    root = sysconfig.get_paths()["stdlib"]
    for name in sorted(os.listdir(root)):
        if name.endswith(".py"):
            with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                out.extend(line.strip() for line in f if line.strip())
        if len(out) >= limit:
            break
    return out[:limit]


def report(name: str, cases: int, bad: int, start: float) -> bool:
    print(f"{name}: {cases} cases, {bad} mismatches ({time.perf_counter() - start:.0f} s)",
          flush=True)
    return bad == 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--queries", type=int, default=5000)
    ap.add_argument("--pairs", type=int, default=200_000)
    ap.add_argument("--join-strings", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    ok = True

    # get_close_matches over words and over lines.
    start = time.perf_counter()
    words = [text(rng, rng.choice(ALPHABETS), 1, 12) for _ in range(1500)]
    words += [text(rng, "aab c", 200, 400) for _ in range(100)]
    words += [mutate(rng, w, "abc", 3) for w in words[:300]]
    lines = stdlib_lines(800)
    bad = 0
    for k in range(args.queries):
        pool = words if k % 2 == 0 else lines
        word = rng.choice(pool) if rng.random() < 0.5 else mutate(rng, rng.choice(pool), "abc e", 3)
        n = rng.choice([1, 3, 5, 10])
        cutoff = rng.choice([0.0, 0.3, 0.6, 0.6, 0.8, 1.0])
        if ratiokit.get_close_matches(word, pool, n, cutoff) != \
                difflib.get_close_matches(word, pool, n, cutoff):
            bad += 1
    ok &= report("get_close_matches vs difflib", args.queries, bad, start)

    # ratio(autojunk=True) on long b.
    start = time.perf_counter()
    bad = 0
    for _ in range(args.pairs):
        alphabet = rng.choice(ALPHABETS)
        b = text(rng, alphabet, 150, 3000) if rng.random() < 0.3 else text(rng, alphabet, 150, 600)
        if rng.random() < 0.6:
            a = mutate(rng, b[rng.randint(0, 50):], alphabet, rng.randint(0, 60))
        else:
            a = text(rng, alphabet, 0, len(b))
        if ratiokit.ratio(a, b, autojunk=True) != difflib.SequenceMatcher(None, a, b).ratio():
            bad += 1
    ok &= report("ratio(autojunk=True) vs difflib", args.pairs, bad, start)

    # extract against a brute-force sort.
    start = time.perf_counter()
    bad = 0
    choices = lines + words[:500]
    queries = rng.sample(choices, 50)
    for q in queries:
        scores = ratiokit.ratio_many([(c, q) for c in choices])
        for limit, cutoff in [(5, 0.0), (20, 0.5), (None, 0.7)]:
            want = sorted(((c, s, i) for i, (c, s) in enumerate(zip(choices, scores))
                           if s >= cutoff), key=lambda r: (-r[1], r[2]))
            want = want if limit is None else want[:limit]
            if ratiokit.extract(q, choices, limit=limit, score_cutoff=cutoff) != want:
                bad += 1
    ok &= report("extract vs brute force", len(queries) * 3, bad, start)

    # ratio_join against brute force.
    start = time.perf_counter()
    strings = []
    while len(strings) < args.join_strings:
        alphabet = rng.choice(ALPHABETS)
        base = text(rng, alphabet, 5, 40)
        strings += [mutate(rng, base, alphabet, rng.randint(0, 4)) for _ in range(rng.randint(1, 8))]
    strings = strings[: args.join_strings]
    n = len(strings)
    pairs = [(strings[i], strings[j]) for i in range(n) for j in range(i + 1, n)]
    scores = ratiokit.ratio_many(pairs)
    index = [(i, j) for i in range(n) for j in range(i + 1, n)]
    bad = 0
    for threshold in (0.5, 0.8, 1.0):
        want = [(i, j, s) for (i, j), s in zip(index, scores) if s >= threshold]
        if ratiokit.ratio_join(strings, threshold=threshold) != want:
            bad += 1
        left, right = strings[: n // 2], strings[n // 2:]
        cross = ratiokit.ratio_many([(a, b) for a in left for b in right])
        want = [(i, j, cross[i * len(right) + j]) for i in range(len(left))
                for j in range(len(right)) if cross[i * len(right) + j] >= threshold]
        if ratiokit.ratio_join(left, right, threshold=threshold) != want:
            bad += 1
    ok &= report(f"ratio_join vs brute force ({n} strings, self and two-sided)", 6, bad, start)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
