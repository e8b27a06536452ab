"""cluster_canonicals on the functions of the Python standard library, against brute-force difflib.

The data is every function and method of the standard library's own .py files (the stdlib
directory and all its subpackages, site-packages excluded), extracted with ast and canonicalised:
indentation and blank lines dropped. Subsets are prefixes of one seeded shuffle. For each subset
and threshold the table shows the wall time of cluster_canonicals (and per string, which grows
with the size as the exponent below says) and, read from its
RATIOKIT_PROGRESS lines, the candidate pairs and the edge tests it ran ("-" where there were
too few candidates for the batched path that prints them; where candidates are streamed, the
pairs within the length bound), then the clusters found and the size of the largest. Each call
runs in a child interpreter, which also reports how much its peak resident size grew during the
call ("peak MiB"). Sizes up to 2,000 report the best of three runs. After the table, the growth
exponent of the time between consecutive sizes.

The baseline is brute-force difflib on the 500 subset: every pair through
SequenceMatcher(None, a, b, autojunk=False).ratio(). Timing all 124,750 pairs would take minutes,
so a seeded sample of pairs is timed and the total extrapolated (the table says how many). The
500-subset results are checked against an exact difflib oracle: a pair reaches the threshold
only if difflib's own quick_ratio() bound does, so ratio() runs for those pairs and for every
pair inside an oracle cluster (for its exact minimum).

    python bench/bench_cluster.py [--quick] [--threads N]
"""

from __future__ import annotations

import argparse
import ast
import difflib
import json
import math
import os
import random
import re
import subprocess
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

import ratiokit

LINE = re.compile(r"    \[ratiokit\] edges: (\d+)/(\d+) candidates \(\d+%\), (\d+) tested, (\d+) edges")


NEWLINE = re.compile(r"\r\n|\r|\n")  # the line breaks ast counts, unlike str.splitlines()


def source_segment(lines: list[str], node: ast.AST) -> str:
    """ast.get_source_segment without re-splitting the whole file for every node."""
    first, last = node.lineno - 1, node.end_lineno - 1
    head = lines[first].encode()
    if first == last:
        return head[node.col_offset : node.end_col_offset].decode()
    tail = lines[last].encode()[: node.end_col_offset].decode()
    return "\n".join([head[node.col_offset :].decode(), *lines[first + 1 : last], tail])


def canonical(source: str) -> str:
    return "\n".join(line.strip() for line in source.splitlines() if line.strip())


def stdlib_functions() -> list[str]:
    root = Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.relative_to(root).parts)
    out = []
    for path in files:
        try:
            text = path.read_text(encoding="utf-8")
            tree = ast.parse(text)
        except (UnicodeDecodeError, OSError, SyntaxError, ValueError):
            continue
        lines = NEWLINE.split(text)
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                out.append(canonical(source_segment(lines, node)))
    return out


CHILD = """
import json, sys, time
import ratiokit
strings = json.load(open(sys.argv[1]))
threshold, threads = float(sys.argv[2]), int(sys.argv[3])
def status(field):  # kiB, from the kernel's own accounting
    for line in open('/proc/self/status'):
        if line.startswith(field):
            return int(line.split()[1])
open('/proc/self/clear_refs', 'w').write('5')  # peak resident size := current
before = status('VmRSS:')
start = time.perf_counter()
result = ratiokit.cluster_canonicals(strings, threshold, threads)
elapsed = time.perf_counter() - start
peak = status('VmHWM:') - before
print(json.dumps({"result": result, "seconds": elapsed, "peak_kib": peak}))
"""


def run_with_progress(strings, threshold, threads, python=sys.executable):
    """Times one call in a child interpreter with RATIOKIT_PROGRESS on, reading its lines; the
    child also reports how much its peak resident size grew during the call."""
    env = dict(os.environ, RATIOKIT_PROGRESS="")
    with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
        json.dump(strings, f)
        f.flush()
        done = subprocess.run(
            [python, "-c", CHILD, f.name, repr(threshold), str(threads)],
            env=env, capture_output=True, text=True, cwd=tempfile.gettempdir(),
        )
    if done.returncode != 0:
        sys.exit(done.stderr)
    report = json.loads(done.stdout)
    result = [(members, score) for members, score in report["result"]]
    candidates = tests = None
    for text in done.stderr.splitlines():
        m = LINE.fullmatch(text)
        if m:
            candidates = int(m.group(2))
            tests = (tests or 0) + int(m.group(3))
    return result, report["seconds"], candidates, tests, report["peak_kib"] / 1024


def difflib_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def oracle_clusters(strings, threshold):
    """Exact single-linkage clusters by difflib, skipping ratio() only where quick_ratio() rules it out."""
    n = len(strings)
    parent = list(range(n))
    known = {}

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    m = difflib.SequenceMatcher(None, autojunk=False)
    for j in range(n):
        m.set_seq2(strings[j])  # b's index is built once and kept for every a
        for i in range(j):
            m.set_seq1(strings[i])
            if m.real_quick_ratio() >= threshold and m.quick_ratio() >= threshold:
                known[(i, j)] = r = m.ratio()
                if r >= threshold:
                    parent[find(i)] = find(j)
    groups = {}
    for i in range(n):
        groups.setdefault(find(i), []).append(i)
    out = []
    for members in groups.values():
        if len(members) < 2:
            continue
        low = 1.0
        for k, a in enumerate(members):
            for b in members[k + 1 :]:
                r = known.get((a, b))
                low = min(low, r if r is not None else difflib_ratio(strings[a], strings[b]))
        out.append((members, low))
    return sorted(out)


def difflib_all_pairs_seconds(strings, sample, rng):
    n = len(strings)
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n)]
    chosen = rng.sample(pairs, min(sample, len(pairs)))
    start = time.perf_counter()
    for i, j in chosen:
        difflib_ratio(strings[i], strings[j])
    per_pair = (time.perf_counter() - start) / len(chosen)
    return per_pair * len(pairs), len(chosen), len(pairs)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="sizes 500 and 2,000 only, smaller baseline sample")
    parser.add_argument("--threads", type=int, default=0, help="threads for cluster_canonicals (0: all cores)")
    parser.add_argument("--sizes", help="comma-separated subset sizes (default 500,2000,10000,all)")
    parser.add_argument("--thresholds", default="0.8,0.9", help="comma-separated thresholds")
    parser.add_argument("--python", action="append",
                        help="interpreter whose ratiokit to time (repeatable, to compare builds in "
                             "one run; default: this one)")
    parser.add_argument("--no-oracle", action="store_true", help="skip the difflib baseline and check")
    args = parser.parse_args()
    pythons = [os.path.abspath(p) if os.sep in p else p for p in (args.python or [sys.executable])]

    start = time.perf_counter()
    functions = stdlib_functions()
    random.Random(0).shuffle(functions)
    print(
        f"{len(functions)} stdlib functions ({len(set(functions))} distinct), "
        f"mean {sum(map(len, functions)) / len(functions):.0f} code points, "
        f"extracted in {time.perf_counter() - start:.1f}s; {os.cpu_count()} CPUs, threads={args.threads}"
    )
    sizes = [500, 2000] if args.quick else [500, 2000, 10000, len(functions)]
    if args.sizes:
        sizes = [min(int(x), len(functions)) if x != "all" else len(functions)
                 for x in args.sizes.split(",")]
    thresholds = [float(x) for x in args.thresholds.split(",")]

    label = len(pythons) > 1
    print(f"\n{'size':>7} {'thr':>4} {'time s':>9} {'us/string':>9} {'peak MiB':>9} {'candidates':>12} {'edge tests':>11} {'clusters':>9} {'largest':>8}"
          + ("  python" if label else ""))
    results = {}
    for size in sizes:
        subset = functions[:size]
        for t in thresholds:
            for python in pythons:
                # Small sizes take milliseconds: report the best of three runs.
                runs = [run_with_progress(subset, t, args.threads, python)
                        for _ in range(3 if size <= 2000 else 1)]
                result, elapsed, candidates, tests, peak = min(runs, key=lambda run: run[1])
                results[(size, t, python)] = (result, elapsed)
                largest = max((len(m) for m, _ in result), default=0)
                show = lambda v: "-" if v is None else f"{v:,}"  # noqa: E731
                print(
                    f"{size:>7,} {t:>4} {elapsed:>9.4f} {elapsed / size * 1e6:>9.1f} {peak:>9.1f} {show(candidates):>12} {show(tests):>11} "
                    f"{len(result):>9,} {largest:>8,}" + (f"  {python}" if label else ""),
                    flush=True,
                )
            if len({repr(results[(size, t, p)][0]) for p in pythons}) > 1:
                print("  RESULTS DIFFER between builds", flush=True)

    # Time ~ size^k between consecutive sizes: k near 1 is linear, near 2 quadratic.
    for python in pythons:
        for t in thresholds:
            steps = []
            for small, large in zip(sizes, sizes[1:]):
                t0, t1 = results[(small, t, python)][1], results[(large, t, python)][1]
                steps.append(f"{small:,}->{large:,}: {math.log(t1 / t0) / math.log(large / small):.2f}")
            print(f"growth exponent at {t}: " + ", ".join(steps) + (f"  ({python})" if label else ""))
    if args.no_oracle or 500 not in sizes:
        return

    subset = functions[:500]
    sample = 1000 if args.quick else 5000
    brute, sampled, total = difflib_all_pairs_seconds(subset, sample, random.Random(1))
    print(
        f"\nbrute-force difflib, 500 functions: {total:,} pairs, ~{brute:.0f}s "
        f"(extrapolated from {sampled:,} sampled pairs)"
    )
    for t in thresholds:
        result, elapsed = results[(500, t, pythons[0])]
        start = time.perf_counter()
        want = oracle_clusters(subset, t)
        oracle_seconds = time.perf_counter() - start
        ok = result == [tuple(c) for c in want]
        print(
            f"  threshold {t}: ratiokit {elapsed:.3f}s, {brute / elapsed:,.0f}x faster; "
            f"oracle check {'OK' if ok else 'MISMATCH'} ({oracle_seconds:.0f}s)",
            flush=True,
        )
        if not ok:
            sys.exit(1)


if __name__ == "__main__":
    main()
