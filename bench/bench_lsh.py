"""cluster_canonicals_lsh on the functions of the Python standard library.

The data is the one of bench_cluster.py (every stdlib function and method, extracted with ast and
canonicalised: indentation and blank lines dropped; subsets are prefixes of the same seeded
shuffle): the 10,000 subset and all functions, num_perm = 128, band_rows 4 and 8. For each run the
table shows the time of each phase, read from the RATIOKIT_PROGRESS lines (signatures,
candidates, verification, and assembly as the rest of the call), the candidate and verified
pairs, and the recall against the exact clustering: the share of the pairs joined by
cluster_canonicals's clusters that the LSH clusters also join. Single linkage chains many short
functions into one large exact cluster whose pairs dominate that share, so the recall is also
given without the largest exact cluster ("recall-1"); "nest" checks that every LSH cluster lies
inside an exact one. "MiB" beside each time is how much the process's peak resident size grew
during that call.

The peer is datasketch (when installed): MinHash(num_perm=128) fed the same 9-byte shingles
(whole strings below 10 bytes) through update_batch, per-string signature time over a seeded
sample of strings, and MinHashLSH insert + query for the same sample.

    python bench/bench_lsh.py [--quick] [--threads N] [--thresholds 0.8,0.9] [--no-exact-all]
"""

from __future__ import annotations

import argparse
import os
import random
import re
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

import ratiokit

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_cluster import stdlib_functions  # noqa: E402

LINE = re.compile(
    r"    \[ratiokit\] lsh: (\d+) (signatures|candidate pairs|verified pairs) in ([\d.]+)s"
)
NUM_PERM = 128


def status_kib(field):
    """A /proc/self/status field in kiB, from the kernel's own accounting."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0


def peak_growth(call):
    """(call(), MiB the process's peak resident size grew above its size before the call)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # peak resident size := current
    before = status_kib("VmRSS:")
    result = call()
    return result, (status_kib("VmHWM:") - before) / 1024


def run_lsh(strings, threshold, band_rows, threads):
    """One call with RATIOKIT_PROGRESS on; returns (clusters, total seconds, progress dict,
    peak MiB)."""
    os.environ["RATIOKIT_PROGRESS"] = ""
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile(mode="w+b") as capture:
        os.dup2(capture.fileno(), 2)
        try:
            start = time.perf_counter()
            result, peak = peak_growth(lambda: ratiokit.cluster_canonicals_lsh(
                strings, threshold, NUM_PERM, band_rows, threads
            ))
            elapsed = time.perf_counter() - start
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            del os.environ["RATIOKIT_PROGRESS"]
        capture.seek(0)
        lines = capture.read().decode().splitlines()
    progress = {}
    for text in lines:
        m = LINE.fullmatch(text)
        if m:
            progress[m.group(2)] = (int(m.group(1)), float(m.group(3)))
    return result, elapsed, progress, peak


def joined_pairs(clusters):
    return sum(len(m) * (len(m) - 1) // 2 for m, _ in clusters)


def recall(exact, lsh):
    """Share of the pairs inside exact clusters that also share an LSH cluster."""
    label = {}
    for k, (members, _) in enumerate(lsh):
        for i in members:
            label[i] = k
    total = joined_pairs(exact)
    if total == 0:
        return float("nan")
    hit = 0
    for members, _ in exact:
        counts = Counter(label[i] for i in members if i in label)
        hit += sum(c * (c - 1) // 2 for c in counts.values())
    return hit / total


def nested(exact, lsh):
    """Whether every LSH cluster lies inside one exact cluster (it must: its edges are exact)."""
    label = {i: k for k, (members, _) in enumerate(exact) for i in members}
    return all(len({label.get(i, -1 - i) for i in members}) == 1 for members, _ in lsh)


def shingles_bytes(text):
    data = text.encode("utf-8")
    if len(data) < 10:
        return [data]
    return list({data[i : i + 9] for i in range(len(data) - 8)})


def datasketch_peer(strings, sample_size, band_rows, threads):
    try:
        from datasketch import MinHash, MinHashLSH
    except ImportError:
        print("datasketch not installed: no peer timing")
        return
    rng = random.Random(1)
    sample = rng.sample(strings, min(sample_size, len(strings)))
    shingled = [shingles_bytes(s) for s in sample]
    start = time.perf_counter()
    sigs = []
    for sh in shingled:
        m = MinHash(num_perm=NUM_PERM)
        m.update_batch(sh)
        sigs.append(m)
    sig_seconds = time.perf_counter() - start
    bands = NUM_PERM // band_rows
    lsh = MinHashLSH(num_perm=NUM_PERM, params=(bands, band_rows))
    start = time.perf_counter()
    for i, m in enumerate(sigs):
        lsh.insert(i, m)
    found = sum(len(lsh.query(m)) for m in sigs)
    lsh_seconds = time.perf_counter() - start
    # ratiokit's signature phase on the same sample, on all threads and on one.
    ours = {t: run_lsh(sample, 1.1, band_rows, t)[2]["signatures"][1] for t in (threads, 1)}
    per_ds = sig_seconds / len(sample) * 1e6
    print(
        f"  peer on {len(sample):,} strings, band_rows {band_rows}: datasketch MinHash "
        f"{per_ds:.1f} us/string; ratiokit signatures "
        + ", ".join(
            f"{ours[t] / len(sample) * 1e6:.2f} us/string with threads={t} "
            f"({per_ds / (ours[t] / len(sample) * 1e6):,.1f}x)"
            for t in (threads, 1)
        )
        + f"; datasketch MinHashLSH b={bands} r={band_rows} insert+query {lsh_seconds:.2f}s "
        f"({found:,} hits incl. self)"
    )

def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="only the 10,000 subset")
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--thresholds", default="0.8")
    parser.add_argument("--no-exact-all", action="store_true", help="skip exact clustering of all")
    parser.add_argument("--peer-sample", type=int, default=10000)
    args = parser.parse_args()
    thresholds = [float(t) for t in args.thresholds.split(",")]

    functions = stdlib_functions()
    random.Random(0).shuffle(functions)
    total_bytes = sum(len(f.encode()) for f in functions)
    print(
        f"{len(functions):,} stdlib functions, {total_bytes / 1e6:.1f} MB UTF-8, "
        f"cpu_count {os.cpu_count()}, threads {args.threads or 'all'}, num_perm {NUM_PERM}"
    )
    sizes = [10000] if args.quick else [10000, len(functions)]
    header = (
        f"{'n':>7} {'thr':>4} {'rows':>4} {'sig s':>6} {'cand s':>6} {'verif s':>7} {'asm s':>6} "
        f"{'total s':>7} {'MiB':>6} {'cand pairs':>11} {'verified':>9} {'clusters':>8} "
        f"{'exact s':>7} {'MiB':>6} "
        f"{'recall':>7} {'recall-1':>8} nest"
    )
    for n in sizes:
        strings = functions[:n]
        for t in thresholds:
            exact = exact_s = exact_mib = None
            if n <= 10000 or not args.no_exact_all:
                start = time.perf_counter()
                exact, exact_mib = peak_growth(
                    lambda: ratiokit.cluster_canonicals(strings, t, args.threads))
                exact_s = time.perf_counter() - start
                rest = sorted(exact, key=lambda c: len(c[0]))[:-1]
            print(header)
            for rows in (4, 8):
                clusters, elapsed, p, peak = run_lsh(strings, t, rows, args.threads)
                sig = p["signatures"][1]
                cand = p["candidate pairs"][1]
                ver = p["verified pairs"][1]
                print(
                    f"{n:>7,} {t:>4} {rows:>4} {sig:>6.2f} {cand - sig:>6.2f} {ver - cand:>7.2f} "
                    f"{elapsed - ver:>6.2f} {elapsed:>7.2f} {peak:>6.0f} "
                    f"{p['candidate pairs'][0]:>11,} {p['verified pairs'][0]:>9,} {len(clusters):>8,} "
                    f"{exact_s if exact_s is not None else float('nan'):>7.2f} "
                    f"{exact_mib if exact_mib is not None else float('nan'):>6.0f} "
                    + (
                        f"{recall(exact, clusters):>7.4f} {recall(rest, clusters):>8.4f} "
                        f"{'yes' if nested(exact, clusters) else 'NO'}"
                        if exact is not None
                        else f"{'-':>7} {'-':>8} -"
                    )
                )
    if args.peer_sample <= 0:
        print("--peer-sample 0: no peer timing")
        return
    for rows in (4, 8):
        datasketch_peer(functions, args.peer_sample, rows, args.threads)


if __name__ == "__main__":
    main()
