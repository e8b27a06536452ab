"""dedupe against the cluster_labels recipe on the changelog lines this machine ships.

Lines are every non-blank line (stripped) of /usr/share/doc/*/changelog*.gz, in sorted path
order. Each method runs in a fresh child interpreter, so that its peak memory is its own; the
child reports the call's wall time, the growth of its peak resident size during the call
(VmHWM after resetting it, else ru_maxrss), the rows kept, and, over the dropped rows, the
lowest ratio(representative, row) and how many fall below the threshold: none for dedupe by
construction; for cluster_labels they are the rows that single linkage chains to a
representative they are not near.

    python bench/bench_dedupe.py [--threshold 0.9] [--limit N] [--debian-only] [--repeat R]
                                 [--methods dedupe,cluster_labels] [PYTHON]

--limit takes the first N lines (the full set is millions of lines and clustering it takes
long); --debian-only reads changelog.Debian.gz files only.
"""

from __future__ import annotations

import argparse
import glob
import gzip
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent(
    """
    import json, resource, sys, time
    import ratiokit
    lines = json.load(open(sys.argv[1]))
    method, threshold = sys.argv[2], float(sys.argv[3])

    def status(field):  # kiB
        try:
            for line in open('/proc/self/status'):
                if line.startswith(field):
                    return int(line.split()[1])
        except OSError:
            return None

    try:
        open('/proc/self/clear_refs', 'w').write('5')  # peak resident size := current
        before = status('VmRSS:')
    except OSError:
        before = None
    start = time.perf_counter()
    if method == "dedupe":
        labels = ratiokit.dedupe(lines, threshold=threshold)
    else:
        labels = ratiokit.cluster_labels(lines, threshold=threshold)
    seconds = time.perf_counter() - start
    if before is not None:
        peak = status('VmHWM:') - before
    else:
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    dropped = [i for i, label in enumerate(labels) if label != i]
    ratios = ratiokit.ratio_many([(lines[labels[i]], lines[i]) for i in dropped])
    low = min(range(len(ratios)), key=ratios.__getitem__, default=None)
    print(json.dumps({
        "seconds": seconds, "peak_kib": peak, "kept": len(lines) - len(dropped),
        "below": sum(r < threshold for r in ratios),
        "lowest": None if low is None else ratios[low],
        "lowest_pair": None if low is None else [lines[labels[dropped[low]]], lines[dropped[low]]],
    }))
    """
)


def changelog_lines(debian_only: bool) -> list[str]:
    pattern = "changelog.Debian.gz" if debian_only else "changelog*.gz"
    lines = []
    for path in sorted(glob.glob(f"/usr/share/doc/*/{pattern}")):
        with gzip.open(path, "rt", encoding="utf-8", errors="replace") as f:
            lines.extend(stripped for stripped in (line.strip() for line in f) if stripped)
    return lines


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("python", nargs="?", default=sys.executable)
    parser.add_argument("--threshold", type=float, default=0.9)
    parser.add_argument("--limit", type=int, default=0, help="first N lines only (0: all)")
    parser.add_argument("--debian-only", action="store_true")
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--methods", default="dedupe,cluster_labels")
    parser.add_argument("--timeout", type=float, default=3600)
    args = parser.parse_args()

    lines = changelog_lines(args.debian_only)
    if args.limit:
        lines = lines[: args.limit]
    print(f"{len(lines):,} lines ({len(set(lines)):,} distinct), threshold {args.threshold}; "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(lines, f)
    try:
        print(f"{'method':15} {'seconds':>9} {'us/row':>8} {'peak MiB':>9} {'kept':>10} "
              f"{'dropped':>10} {'< thr':>8} {'lowest':>7}")
        for method in args.methods.split(","):
            runs = []
            for _ in range(args.repeat):
                try:
                    done = subprocess.run([args.python, "-c", CHILD, f.name, method,
                                           repr(args.threshold)], capture_output=True,
                                          text=True, timeout=args.timeout,
                                          cwd=tempfile.gettempdir())
                except subprocess.TimeoutExpired:
                    break
                if done.returncode != 0:
                    raise SystemExit(done.stderr)
                runs.append(json.loads(done.stdout))
            if not runs:
                print(f"{method:15} did not finish within {args.timeout:.0f} s")
                continue
            seconds = statistics.median(r["seconds"] for r in runs)
            r = runs[0]
            lowest = "-" if r["lowest"] is None else f"{r['lowest']:.3f}"
            print(f"{method:15} {seconds:9.2f} {seconds / max(1, len(lines)) * 1e6:8.1f} "
                  f"{max(x['peak_kib'] for x in runs) / 1024:9.1f} {r['kept']:10,} "
                  f"{len(lines) - r['kept']:10,} {r['below']:8,} {lowest:>7}")
            if r["lowest_pair"] is not None:
                print(f"{'':15} lowest: {r['lowest_pair'][0]!r} <- {r['lowest_pair'][1]!r}")
        print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    finally:
        os.unlink(f.name)


if __name__ == "__main__":
    main()
