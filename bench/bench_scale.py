"""Clustering at scale: exact duplicates, one huge cluster, and the progress it reports.

Each case runs in a fresh child interpreter (so that peak memory is the call's own) and prints
the wall time of the call and the growth of the process's peak resident size during it. Give
several interpreters to compare builds in one run (for example the main branch's venv and this
one's); each case alternates between them, best of --repeat.

Cases (sizes as in the issue that asked for them):
  identical   20,000 copies of one log line at 0.8
  changelog   the Debian changelogs this machine ships (/usr/share/doc/*/changelog.Debian.gz;
              with --upstream-changelogs also /usr/share/doc/*/changelog.gz), every line, blank
              ones included, at 0.8; and the same lines made distinct first (sort -u order). The
              two are then compared: time and peak memory of all lines over distinct lines.
  binary      6,000 random strings of 400 characters over {a, b} at 0.0 (one cluster)
  lsh-copies  10,000 identical lines through cluster_canonicals_lsh(0.8, 128, 4)
  near        20 and 50 near-identical texts of --near-len code points (10^6) at 0.8, exact
              and LSH (0.8, 128, 4): words drawn from a seeded generator, each copy with a few
              characters changed. Clustering keeps automata within a budget of code points, so
              the peak grows with the longest texts, not with the sum of all of them.

The child also reports its resident size after the call ("after MiB", the whole process).

    python bench/bench_scale.py [--cases identical,changelog] [--repeat N] [PYTHON ...]

The changelog comparison on its own, old and new build in one run:

    python bench/bench_scale.py --cases changelog --repeat 2 BASE/.venv/bin/python .venv/bin/python
"""

from __future__ import annotations

import argparse
import glob
import gzip
import json
import os
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent(
    """
    import hashlib, json, sys, time
    import ratiokit
    strings = json.load(open(sys.argv[1]))
    kind, threshold = sys.argv[2], float(sys.argv[3])
    def status(field):  # kiB, from the kernel's own accounting
        for line in open('/proc/self/status'):
            if line.startswith(field):
                return int(line.split()[1])
    open('/proc/self/clear_refs', 'w').write('5')  # peak resident size := current
    before = status('VmRSS:')
    start = time.perf_counter()
    if kind == "lsh":
        result = ratiokit.cluster_canonicals_lsh(strings, threshold, 128, 4)
    else:
        result = ratiokit.cluster_canonicals(strings, threshold)
    seconds = time.perf_counter() - start
    peak = status('VmHWM:') - before
    after = status('VmRSS:')
    digest = hashlib.sha1(repr(result).encode()).hexdigest()
    print(json.dumps({"seconds": seconds, "peak_kib": peak, "after_kib": after,
                      "clusters": len(result), "digest": digest}))
    """
)


def changelog_lines(upstream: bool = False) -> list[str]:
    paths = glob.glob("/usr/share/doc/*/changelog.Debian.gz")
    if upstream:
        paths += glob.glob("/usr/share/doc/*/changelog.gz")
    lines = []
    for path in sorted(paths):
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
            lines.extend(line.rstrip("\n") for line in f)
    return lines


def binary_strings(n: int = 6000, length: int = 400) -> list[str]:
    import random

    rng = random.Random(14)
    return ["".join(rng.choice("ab") for _ in range(length)) for _ in range(n)]


LOG_LINE = "2026-12-08 12:00:01 INFO worker[3]: request served in 12 ms (cache hit)"


def near_identical(count: int, length: int) -> list[str]:
    import random

    rng = random.Random(25)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(2000)]
    base = []
    size = 0
    while size < length:
        base.append(rng.choice(words))
        size += len(base[-1]) + 1
    text = " ".join(base)[:length]
    out = []
    for _ in range(count):
        chars = list(text)
        for _ in range(rng.randint(1, 20)):
            chars[rng.randrange(length)] = rng.choice("ABCDEFGH")
        out.append("".join(chars))
    return out


def cases(names: list[str], binary_n: int, upstream: bool = False, near_len: int = 10**6,
          near_counts: tuple[int, ...] = (20, 50)):
    if "identical" in names:
        yield "20,000 identical lines", "exact", 0.8, [LOG_LINE] * 20000
    if "changelog" in names:
        lines = changelog_lines(upstream)
        yield f"changelog, {len(lines):,} lines", "exact", 0.8, lines
        distinct = sorted(set(lines))
        yield f"changelog sort -u, {len(distinct):,} lines", "exact", 0.8, distinct
    if "binary" in names:
        yield f"{binary_n:,} x 400 over {{a, b}} at 0.0", "exact", 0.0, binary_strings(binary_n)
    if "lsh-copies" in names:
        yield "LSH, 10,000 identical lines", "lsh", 0.8, [LOG_LINE] * 10000
    if "near" in names:
        for count in near_counts:
            texts = near_identical(count, near_len)
            yield f"{count} near-identical x {near_len:,}", "exact", 0.8, texts
            yield f"LSH, {count} near-identical x {near_len:,}", "lsh", 0.8, texts


def run(python: str, path: str, kind: str, threshold: float, timeout: float) -> dict:
    try:
        done = subprocess.run([python, "-c", CHILD, path, kind, repr(threshold)],
                              capture_output=True, text=True, timeout=timeout,
                              cwd=tempfile.gettempdir())  # not the source tree
    except subprocess.TimeoutExpired:
        return {"seconds": float("inf"), "peak_kib": 0, "after_kib": 0, "clusters": -1,
                "digest": None}
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return json.loads(done.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("pythons", nargs="*", default=[sys.executable])
    parser.add_argument("--cases", default="identical,changelog,binary,lsh-copies")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--binary-n", type=int, default=6000, help="strings of the binary case")
    parser.add_argument("--near-len", type=int, default=10**6, help="code points per near text")
    parser.add_argument("--near-counts", default="20,50", help="texts per near case")
    parser.add_argument("--timeout", type=float, default=600)
    parser.add_argument("--upstream-changelogs", action="store_true",
                        help="changelog case: add the upstream changelog.gz files")
    args = parser.parse_args()
    args.pythons = [os.path.abspath(p) if os.sep in p else p for p in args.pythons]
    print(f"{'case':40} {'python':40} {'seconds':>9} {'peak MiB':>9} {'after MiB':>9} "
          f"{'clusters':>9}")
    changelog: dict[str, list[dict]] = {}
    for title, kind, threshold, strings in cases(args.cases.split(","), args.binary_n,
                                                 args.upstream_changelogs, args.near_len,
                                                 tuple(map(int, args.near_counts.split(",")))):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
            json.dump(strings, f)
            f.flush()
            best: dict[str, dict] = {}
            for _ in range(args.repeat):
                for python in args.pythons:
                    got = run(python, f.name, kind, threshold, args.timeout)
                    if python not in best or got["seconds"] < best[python]["seconds"]:
                        best[python] = got
            digests = {r["digest"] for r in best.values() if r["digest"] is not None}
            for python, r in best.items():
                print(f"{title:40} {python[-40:]:40} {r['seconds']:9.2f} "
                      f"{r['peak_kib'] / 1024:9.1f} {r.get('after_kib', 0) / 1024:9.1f} "
                      f"{r['clusters']:9}")
            if len(digests) > 1:
                print(f"{title}: RESULTS DIFFER between builds")
            if title.startswith("changelog"):
                for python, r in best.items():
                    changelog.setdefault(python, []).append(r)
            sys.stdout.flush()
    # Duplicates should cost little beyond the distinct lines they repeat.
    for python, (every, distinct) in ((p, r) for p, r in changelog.items() if len(r) == 2):
        print(f"changelog, all lines / distinct lines: time "
              f"{every['seconds'] / distinct['seconds']:.2f}x, peak memory "
              f"{every['peak_kib'] / max(distinct['peak_kib'], 1):.2f}x  ({python[-40:]})")


if __name__ == "__main__":
    main()
