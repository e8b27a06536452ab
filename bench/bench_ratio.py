"""ratiokit.ratio against difflib (and cdifflib where installed) on real text.

The data is the Python standard library's own source: short lines, whole functions (all of them,
and those of 200 to 1,500 characters as rows of their own, related and unrelated), whole files
paired with an edited copy of themselves (seeded random line deletions, insertions and swaps) and
with an unrelated file, and a mixed set of short non-ASCII pairs (Latin-1, other BMP scripts and
astral code points, mixed within a pair). Every value is checked against difflib.

The headline is the mean cost per pair (total time / pairs), which is what a loop or a batch
pays; the median is beside it. Both come from timing each pair on its own (repeated until it
has run for at least a few milliseconds, best of three), with every peer measured in the same
run. The slowest-pair column is the smallest per-pair speed-up.

    python bench/bench_ratio.py [--quick]
"""

from __future__ import annotations

import argparse
import ast
import difflib
import random
import statistics
import sys
import sysconfig
import time
from pathlib import Path

import ratiokit

try:
    import cdifflib
except ImportError:  # optional peer
    cdifflib = None


def stdlib_sources(limit: int | None = None) -> list[tuple[Path, str]]:
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.glob("*.py"))
    out = []
    for path in files:
        try:
            out.append((path, path.read_text(encoding="utf-8")))
        except (UnicodeDecodeError, OSError):
            continue
    return out[:limit] if limit else out


def short_line_pairs(sources, rng, count):
    lines = sorted(
        {
            line.strip()
            for _, text in sources
            for line in text.splitlines()
            if 20 <= len(line.strip()) <= 80
        }
    )
    rng.shuffle(lines)
    lines = lines[: 2 * count]
    # Neighbours in a length-sorted order are often near-duplicates; random pairs are not.
    by_len = sorted(lines, key=len)
    half = count // 2
    similar = [(by_len[k], by_len[k + 1]) for k in range(0, 2 * half, 2)]
    unrelated = [(lines[k], lines[-1 - k]) for k in range(count - half)]
    return similar + unrelated


def functions_between(sources, shortest, longest):
    """The source of every function and method whose text has shortest to longest characters,
    in the order the modules and their trees give them."""
    funcs = []
    for _, text in sources:
        try:
            tree = ast.parse(text)
        except SyntaxError:
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                seg = ast.get_source_segment(text, node)
                if seg and shortest <= len(seg) <= longest:
                    funcs.append(seg)
    return funcs


def function_pairs(sources, rng, count):
    funcs = functions_between(sources, 200, 4000)
    rng.shuffle(funcs)
    funcs = funcs[: 2 * count]
    by_len = sorted(funcs, key=len)
    half = count // 2
    similar = [(by_len[k], by_len[k + 1]) for k in range(0, 2 * half, 2)]
    unrelated = [(funcs[k], funcs[-1 - k]) for k in range(count - half)]
    return similar + unrelated


def mid_function_pairs(sources, rng, count):
    """Functions of 200 to 1,500 characters: (related, unrelated). Related pairs are a function
    and its length neighbour (often a near-duplicate) or an edited copy of itself; unrelated pairs
    are random."""
    funcs = functions_between(sources, 200, 1500)
    funcs = sorted(set(funcs))
    rng.shuffle(funcs)
    picked = funcs[: 2 * count]
    by_len = sorted(picked, key=len)
    related = []
    for k in range(0, count, 2):
        related.append((by_len[k], by_len[k + 1]))
        text = picked[k]
        edited = edit_lines(text, rng, 2) if text.count("\n") > 1 else text[::-1]
        if 200 <= len(edited) <= 1500:
            related.append((text, edited))
    unrelated = [(picked[k], picked[-1 - k]) for k in range(count)]
    return related[:count], unrelated


def edit_lines(text: str, rng: random.Random, edits: int) -> str:
    lines = text.splitlines(keepends=True)
    for _ in range(edits):
        op = rng.randrange(3)
        k = rng.randrange(len(lines))
        if op == 0:
            del lines[k]
        elif op == 1:
            lines.insert(k, lines[rng.randrange(len(lines))])
        else:
            j = rng.randrange(len(lines))
            lines[k], lines[j] = lines[j], lines[k]
    return "".join(lines)


def file_pairs(sources, rng, count):
    sized = [text for _, text in sources if 15_000 <= len(text) <= 25_000]
    rng.shuffle(sized)
    picked = sized[: count + 1]
    pairs = []
    for k in range(count):
        text = picked[k]
        if k % 2 == 0:
            pairs.append((text, edit_lines(text, rng, 20)))
        else:
            pairs.append((text, picked[k + 1]))
    return pairs


def time_call(fn, a, b, min_time=0.002, rounds=3):
    """Seconds per call: short calls repeat until min_time has passed, and the best of a few
    rounds is kept, so that a burst of other work on the machine does not count as ours."""
    reps = 1
    while True:
        start = time.perf_counter()
        for _ in range(reps):
            value = fn(a, b)
        elapsed = time.perf_counter() - start
        if elapsed >= min_time or reps >= 1 << 20:
            break
        reps *= 4 if elapsed < min_time / 8 else 2
    best = elapsed
    for _ in range(rounds - 1 if elapsed < 0.1 else 0):
        start = time.perf_counter()
        for _ in range(reps):
            fn(a, b)
        best = min(best, time.perf_counter() - start)
    return best / reps, value


def difflib_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def cdifflib_ratio(a, b):
    return cdifflib.CSequenceMatcher(None, a, b, autojunk=False).ratio()


def non_ascii_pairs(sources, rng, count):
    """Short lines rewritten into other scripts: letters to Cyrillic or Greek (2-byte strings),
    a few to astral symbols (4-byte), accents (Latin-1); a and b of one pair often differ in
    width, as real mixed data does."""
    base = short_line_pairs(sources, rng, count)
    cyrillic = {c: chr(0x430 + (ord(c) - 97)) for c in "abcdefghijklmnopqrstuvwxyz"}
    greek = {c: chr(0x3B1 + (ord(c) - 97) % 24) for c in "abcdefghijklmnopqrstuvwxyz"}
    latin1 = {"e": "\u00e9", "a": "\u00e0", "o": "\u00f6", "u": "\u00fc"}
    astral = {"x": "\U0001F600", "y": "\U0001D4B4", "z": "\U00020000", "q": "\U0001F680"}

    def rewrite(text, table):
        return "".join(table.get(c, c) for c in text)

    tables = [cyrillic, greek, latin1, {**cyrillic, **astral}, {}]
    out = []
    for k, (a, b) in enumerate(base):
        ta = tables[k % len(tables)]
        tb = tables[(k // 2) % len(tables)] if k % 3 == 0 else ta
        out.append((rewrite(a, ta), rewrite(b, tb)))
    return out


def run(name, pairs, peers):
    rows = {"ratiokit": [], **{p: [] for p in peers}}
    slowest = {p: float("inf") for p in peers}
    for a, b in pairs:
        t_rk, value = time_call(ratiokit.ratio, a, b)
        rows["ratiokit"].append(t_rk)
        for peer, fn in peers.items():
            t_peer, expected = time_call(fn, a, b, min_time=0.0005)
            if peer == "difflib" and value != expected:
                sys.exit(f"MISMATCH in {name}: ratiokit {value!r} != difflib {expected!r}")
            rows[peer].append(t_peer)
            slowest[peer] = min(slowest[peer], t_peer / t_rk)
    print(f"\n{name}: {len(pairs)} pairs, every value equal to difflib's")
    means = {who: statistics.fmean(times) for who, times in rows.items()}
    for who, times in rows.items():
        print(
            f"  {who:9s} mean {means[who] * 1e6:12.2f} us/pair   "
            f"median {statistics.median(times) * 1e6:10.2f} us/pair"
        )
    out = {}
    for peer in peers:
        mean_x = means[peer] / means["ratiokit"]
        median_x = statistics.median(rows[peer]) / statistics.median(rows["ratiokit"])
        print(
            f"  speed-up over {peer:9s} mean {mean_x:10.1f}x   median {median_x:8.1f}x   "
            f"slowest pair {slowest[peer]:8.1f}x"
        )
        out[peer] = (mean_x, median_x, slowest[peer])
    out["mean_us"] = means["ratiokit"] * 1e6
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer pairs, for a smoke run")
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    sources = stdlib_sources()
    peers = {"difflib": difflib_ratio}
    if cdifflib is not None:
        peers["cdifflib"] = cdifflib_ratio
    n_lines, n_funcs, n_files = (200, 60, 2) if args.quick else (2000, 400, 8)
    print(f"Python {sys.version.split()[0]}, data: {len(sources)} stdlib modules")
    mid_related, mid_unrelated = mid_function_pairs(sources, rng, n_funcs)
    sets = {
        "short lines (20-80 chars)": short_line_pairs(sources, rng, n_lines),
        "short non-ASCII lines": non_ascii_pairs(sources, rng, n_lines),
        "stdlib functions": function_pairs(sources, rng, n_funcs),
        "functions 200-1,500 chars, related": mid_related,
        "functions 200-1,500 chars, unrelated": mid_unrelated,
        "file pairs (~20,000 chars)": file_pairs(sources, rng, n_files),
    }
    results = {name: run(name, pairs, peers) for name, pairs in sets.items()}
    head = "\n| data | ratiokit mean | mean speed-up over difflib | median | slowest pair |"
    print(head + (" mean over cdifflib | slowest pair over cdifflib |" if cdifflib else ""))
    print("|---|---|---|---|---|" + ("---|---|" if cdifflib else ""))
    for name, r in results.items():
        mean_x, median_x, slow_x = r["difflib"]
        line = f"| {name} | {r['mean_us']:.2f} us | {mean_x:.0f}x | {median_x:.0f}x | {slow_x:.0f}x |"
        if cdifflib:
            line += f" {r['cdifflib'][0]:.1f}x | {r['cdifflib'][2]:.2f}x |"
        print(line)


if __name__ == "__main__":
    main()
    # Peak memory of the whole run (every peer's included): ratios need no more than their texts.
    import resource

    print(f"\npeak resident memory of this run: {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")
