"""Differential check of every longest-match search against difflib, at volume.

Each pair goes through the dispatcher (ratiokit's own ratio) and through every search forced
(bits, b2j on ASCII pairs, the automaton, the diagonal sweep), and every value must equal difflib's
SequenceMatcher(None, a, b, autojunk=False).ratio() exactly. The pairs are seeded and shaped
to make the tie-break decide: small alphabets, periodic texts with many equal-length blocks,
edited copies, texts of exactly 63, 64, 65, 128, 129, 256 code points, mixed 1-, 2- and 4-byte
strings and astral code points.

    python tools/differential.py [--pairs 1000000] [--seed 1] [--long-share 0.02] [--long-max 700]

Periodic pairs of a few thousand code points are slow in difflib itself (its recursion makes a
window per block): keep --pairs small when --long-share is high.

Prints the number of pairs and values compared per search, and exits 1 on the first mismatch.
"""

from __future__ import annotations

import argparse
import difflib
import random
import sys
import time

from ratiokit import _ratiokit

ALPHABETS = ["ab", "abc", "a", "abcdefgh", "é\u0101b", "\U0001F600\U0001F601a", "xyz日本", "ab\U00020000"]
EDGES = [1, 2, 31, 32, 33, 63, 64, 65, 127, 128, 129, 192, 255, 256]


def edit(rng: random.Random, s: str, alphabet: str, edits: int) -> str:
    chars = list(s)
    for _ in range(edits):
        pos = rng.randrange(len(chars) + 1)
        op = rng.randrange(3)
        if op == 0 or not chars:
            chars.insert(pos, rng.choice(alphabet))
        elif op == 1:
            del chars[min(pos, len(chars) - 1)]
        else:
            chars[min(pos, len(chars) - 1)] = rng.choice(alphabet)
    return "".join(chars)


# Share of texts drawn long, and the longest (--long-share, --long-max).
LONG = {"share": 0.02, "max": 700}


def length(rng: random.Random) -> int:
    roll = rng.random()
    if roll < 1.0 - LONG["share"]:
        return rng.randrange(0, 80) if roll < 0.9 * (1.0 - LONG["share"]) else rng.choice(EDGES)
    return rng.randrange(257, LONG["max"])


def pair(rng: random.Random) -> tuple[str, str]:
    alphabet = rng.choice(ALPHABETS)
    la, lb = length(rng), length(rng)
    shape = rng.randrange(4)
    if shape == 0:  # periodic: many equal-length blocks
        unit = "".join(rng.choice(alphabet) for _ in range(rng.randrange(1, 5)))
        other = unit[::-1] if rng.random() < 0.5 else unit
        return (unit * (la + 1))[:la], (other * (lb + 1))[:lb]
    a = "".join(rng.choice(alphabet) for _ in range(la))
    if shape == 1:
        b = edit(rng, a, alphabet, rng.randrange(1, 6))
    else:
        b = "".join(rng.choice(alphabet) for _ in range(lb))
    if shape == 3:  # different string widths within the pair
        b += rng.choice(["é", "\u0101", "\U0001F602"])
    return a, b


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--long-share", type=float, default=LONG["share"],
                        help="share of texts of 257 to --long-max code points")
    parser.add_argument("--long-max", type=int, default=LONG["max"])
    args = parser.parse_args()
    LONG.update(share=args.long_share, max=max(258, args.long_max))
    rng = random.Random(args.seed)
    counts = {"dispatch": 0, "bits": 0, "b2j": 0, "automaton": 0, "diag": 0}
    start = time.perf_counter()
    for k in range(args.pairs):
        a, b = pair(rng)
        want = difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()
        got = {"dispatch": _ratiokit.ratio(a, b), "automaton": _ratiokit._ratio_by(a, b, "automaton")}
        if min(len(a), len(b)) <= 256:
            got["bits"] = _ratiokit._ratio_by(a, b, "bits")
        if a.isascii() and b.isascii():
            got["b2j"] = _ratiokit._ratio_by(a, b, "b2j")
        if max(len(a), len(b)) <= 65_533:
            got["diag"] = _ratiokit._ratio_by(a, b, "diag")
        for search, value in got.items():
            if value != want:
                print(f"MISMATCH pair {k} ({search}): {value!r} != {want!r}\n a={a!r}\n b={b!r}")
                return 1
            counts[search] += 1
        if (k + 1) % (100_000 if LONG["share"] < 0.1 else 1_000) == 0:
            print(f"{k + 1} pairs, {time.perf_counter() - start:.0f} s", flush=True)
    print(f"{args.pairs} pairs, 0 differences from difflib; values compared per search: {counts}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
