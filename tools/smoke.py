"""A quick check that an installed ratiokit works on this interpreter: run it with the
interpreter under test, from outside the source tree. CI runs it on every Python it finds
besides the one that runs the full suite.

Checks: the import; 1,000 ratios equal to difflib's, one at a time and batched; a clustering
against a brute-force one; a cosine join; the command line once; the refusal to load in a
subinterpreter where this interpreter can make one. Exits 1 with a message on the first failure.
"""

from __future__ import annotations

import difflib
import itertools
import json
import random
import subprocess
import sys
import textwrap
import time


def fail(message: str) -> None:
    print(f"smoke: FAILED: {message}", file=sys.stderr)
    sys.exit(1)


def check(condition: bool, message: str) -> None:
    if not condition:
        fail(message)


def difflib_ratio(a: str, b: str) -> float:
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def main() -> None:
    start = time.perf_counter()
    import ratiokit
    from ratiokit import _ratiokit

    rng = random.Random(2026)
    alphabet = "abcde \u00e9\u4e2d\U0001f600"

    def text(lo: int, hi: int) -> str:
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))

    pairs = [(text(0, 60), text(0, 60)) for _ in range(1000)]
    expected = [difflib_ratio(a, b) for a, b in pairs]
    check([ratiokit.ratio(a, b) for a, b in pairs] == expected, "ratio differs from difflib")
    check(ratiokit.ratio(pairs) == expected, "batched ratio differs from difflib")
    check(_ratiokit.ratio_many(pairs, threads=2) == expected, "ratio_many(threads=2) differs")

    strings = [text(5, 12) for _ in range(40)] + ["common prefix " + text(1, 3) for _ in range(20)]
    threshold = 0.7
    # Brute force: union-find over every pair that reaches the threshold.
    parent = list(range(len(strings)))

    def find(i: int) -> int:
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for i, j in itertools.combinations(range(len(strings)), 2):
        if difflib_ratio(strings[i], strings[j]) >= threshold:
            parent[find(i)] = find(j)
    groups: dict = {}
    for i in range(len(strings)):
        groups.setdefault(find(i), []).append(i)
    want = sorted(sorted(g) for g in groups.values() if len(g) > 1)
    got = ratiokit.cluster_canonicals(strings, threshold)
    check(sorted(members for members, _ in got) == want, "clustering differs from brute force")
    for members, score in got:
        lowest = min(difflib_ratio(strings[i], strings[j])
                     for i, j in itertools.combinations(members, 2))
        check(score == lowest, "cluster minimum ratio is wrong")

    docs = [["red", "green", "blue"], ["red", "green", "blue"], ["red", "cyan"], ["magenta"]]
    rows = ratiokit.cosine_join(docs, 0.5)
    check([(j, i) for j, i, _ in rows] == [(0, 1)] and abs(rows[0][2] - 1.0) < 1e-9,
          f"cosine join gave {rows}")

    done = subprocess.run(
        [sys.executable, "-m", "ratiokit", "cluster", "--format", "jsonl", "--threshold", "0.8"],
        input="kitten sitting on the mat\nkitten sitting on the hat\nsomething else\n",
        capture_output=True, text=True, timeout=120,
    )
    check(done.returncode == 0, f"command line failed: {done.stderr.strip()}")
    out = [json.loads(line) for line in done.stdout.splitlines()]
    check([[m["id"] for m in c["members"]] for c in out] == [["<stdin>:1", "<stdin>:2"]],
          f"command line printed {done.stdout!r}")

    subinterpreter = "not available"
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pass
    else:
        code = textwrap.dedent(
            """
            import _testcapi, sys
            _testcapi.run_in_subinterp(
                "import sys\\n"
                "try:\\n"
                "    import ratiokit._ratiokit\\n"
                "except ImportError:\\n"
                "    sys.stdout.write('refused\\\\n')\\n"
                "else:\\n"
                "    sys.stdout.write('loaded\\\\n')\\n")
            sys.stdout.flush()
            """
        )
        sub = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=120)
        check(sub.returncode == 0 and sub.stdout.strip() == "refused",
              f"subinterpreter import: {sub.stdout.strip()} {sub.stderr.strip()}")
        subinterpreter = "refused"

    version = ".".join(map(str, sys.version_info[:3]))
    print(f"smoke: Python {version}: ratiokit {ratiokit.__version__} ok "
          f"(subinterpreter {subinterpreter}; {time.perf_counter() - start:.1f} s)")


if __name__ == "__main__":
    main()
