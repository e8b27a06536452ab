"""Writes the seed corpora under fuzz/corpus/ (see fuzz_input.hpp for the byte format).

Run from anywhere: python fuzz/seeds.py. Seeds are small, readable cases that reach each branch
the fuzzers care about; the fuzzers find the rest.
"""

from __future__ import annotations

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
NEXT, REPEAT, RAW = 0xFF, 0xFE, 0xFD


def header(size: int, family: int) -> bytes:
    return bytes([(size - 1) | family << 3])


def letters(s: str) -> bytes:
    """Symbols of family 0 (a..h); other letters wrap around the alphabet."""
    return bytes((ord(c) - ord("a")) % 8 for c in s)


def raw(cp: int) -> bytes:
    return bytes([RAW, cp >> 16 & 0xFF, cp >> 8 & 0xFF, cp & 0xFF])


def repeat(n: int, times: int) -> bytes:
    return bytes([REPEAT, n, times])


def pair(a: bytes, b: bytes, size: int = 8, family: int = 0) -> bytes:
    return header(size, family) + a + bytes([NEXT]) + b


PAIRS = {
    "empty": header(8, 0),
    "one_empty": pair(letters("abc"), b""),
    "other_empty": pair(b"", letters("abc")),
    "shifted": pair(letters("abcd"), letters("bcde")),
    "difflib_doc": pair(letters("abxcd"), letters("abcd")),
    "ties": pair(letters("abxab"), letters("abhhhhhhhhhab")),
    "binary": pair(bytes([0, 1, 1, 0, 1, 0, 0, 1]), bytes([1, 0, 0, 1, 1, 0]), size=2),
    # Runs past 256 occurrences: sorted copies of end positions.
    "long_runs": pair(bytes([0]) + repeat(1, 255) + bytes([1]) + repeat(1, 60),
                      bytes([0]) + repeat(1, 200) + bytes([2, 0]) + repeat(1, 100), size=3),
    "periodic": pair(letters("abcab") + repeat(5, 40), letters("bcabc") + repeat(5, 37)),
    "wide_mix": pair(bytes([0, 1, 2, 3, 4, 5, 6, 7, 1, 3]), bytes([3, 1, 4, 1, 5, 7, 6]),
                     family=1),
    "ascii_top": pair(bytes([7, 6, 7, 5, 0]), bytes([7, 7, 6, 5]), family=2),
    "astral": pair(bytes([0, 1, 2, 0, 1]), bytes([1, 2, 0, 3]), family=3),
    "raw_code_points": pair(raw(0xD800) + raw(0x10FFFF) + letters("ab") + raw(0),
                            letters("b") + raw(0x10FFFF) + raw(0xDFFF)),
}


def write(target: str, seeds: dict[str, bytes]) -> None:
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


def main() -> None:
    write("ratio", PAIRS)
    # fuzz_gestalt: a window byte, then the automaton's text and a second text.
    write("gestalt", {name: bytes([0x5A]) + data for name, data in PAIRS.items()}
          | {"full_window": bytes([0xF0]) + PAIRS["ties"]})
    # fuzz_threshold: a mode byte and eight raw bytes, then the pair.
    thresholds = {}
    for mode in range(8):
        thresholds[f"mode{mode}_shifted"] = bytes([mode]) + struct.pack(">Q", 12345) + PAIRS["shifted"]
    thresholds["nan_long_runs"] = bytes([5]) + struct.pack(">d", float("nan")) + PAIRS["long_runs"]
    thresholds["on_ratio_periodic"] = bytes([0]) + bytes(8) + PAIRS["periodic"]
    thresholds["empty"] = bytes([1]) + bytes(8) + PAIRS["empty"]
    thresholds["one_empty"] = bytes([6]) + bytes(8) + PAIRS["one_empty"]
    thresholds["wide_mix"] = bytes([3]) + struct.pack(">Q", 3) + PAIRS["wide_mix"]
    write("threshold", thresholds)
    # fuzz_bits: a cap byte, then the pair; plus texts at the edges of one and four words.
    bits = {name: bytes([0x07]) + data for name, data in PAIRS.items()}
    bits["word_edge"] = bytes([0x20]) + pair(letters("ab") + repeat(2, 31), letters("ba") + repeat(2, 31) + letters("a"), size=2)
    bits["four_words"] = bytes([0x90]) + pair(letters("abc") + repeat(3, 84) + letters("ab"), letters("cab") + repeat(3, 200), size=3)
    write("bits", bits)
    # fuzz_diag: the same layout; plus a run past the byte lanes' 255 after a shorter one.
    diag = {name: bytes([0x07]) + data for name, data in PAIRS.items()}
    diag["past_byte_lanes"] = bytes([0x33]) + pair(
        letters("a") + repeat(1, 255) + letters("b") + repeat(1, 255) + repeat(1, 100),
        letters("b") + repeat(1, 255) + repeat(1, 100) + letters("a") + repeat(1, 255), size=2)
    write("diag", diag)


if __name__ == "__main__":
    main()
