"""Two installs of ratiokit timed against each other in one run: a wheel against a local build.

Each interpreter given has its own ratiokit (typically a fresh virtual environment with a wheel
from tools/wheels.sh, and one where `pip install .` compiled the project here). Both time the
same work, read from one data file: the pairs of bench/bench_ratio.py (short lines, non-ASCII
lines, stdlib functions, edited file pairs) one ratio() call at a time and as one batch, and
cluster_canonicals on prefixes of bench/bench_cluster.py's stdlib functions.

Every round runs each build once in a fresh interpreter, alternating which goes first. A case's
figure is its best time per item over the rounds (other work on a shared machine only ever adds
time, so the best is the steadiest estimate), as wall time and as CPU time of the process; the
ratio is first/second. Clustering runs on one thread unless --threads says otherwise, so that
the ratio compares code rather than scheduling.

    python bench/bench_wheel.py WHEEL_PYTHON LOCAL_PYTHON [--rounds N] [--quick]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))

# Writes the shared data file with the helpers of the two benchmarks. Runs in a child because
# those modules import ratiokit, which the interpreter running this script need not have.
PREPARE = """
import json, random, sys
sys.path.insert(0, {bench!r})
import bench_cluster, bench_ratio
quick = {quick!r}
rng = random.Random(2026)
sources = bench_ratio.stdlib_sources()
n_lines, n_funcs, n_files = (200, 60, 2) if quick else (1000, 200, 4)
ratio = {{
    "short lines": bench_ratio.short_line_pairs(sources, rng, n_lines),
    "non-ASCII lines": bench_ratio.non_ascii_pairs(sources, rng, n_lines),
    "functions": bench_ratio.function_pairs(sources, rng, n_funcs),
    "file pairs": bench_ratio.file_pairs(sources, rng, n_files),
}}
functions = bench_cluster.stdlib_functions()
random.Random(0).shuffle(functions)
json.dump({{"ratio": ratio, "functions": functions}}, open(sys.argv[1], "w"))
"""

MEASURE = """
import json, sys, time
import ratiokit
data = json.load(open(sys.argv[1]))
sizes, thresholds, threads = json.loads(sys.argv[2])

def best(fn, items, blocks=5, min_time=0.05):
    # Seconds per item, wall and CPU: fn repeats until a block lasts min_time; best block wins.
    reps = 1
    while True:
        start = time.perf_counter()
        for _ in range(reps):
            fn()
        if time.perf_counter() - start >= min_time or reps >= 1 << 16:
            break
        reps *= 2
    wall = cpu = float("inf")
    for _ in range(blocks):
        w, c = time.perf_counter(), time.process_time()
        for _ in range(reps):
            fn()
        wall = min(wall, (time.perf_counter() - w) / reps / items)
        cpu = min(cpu, (time.process_time() - c) / reps / items)
    return wall, cpu

out = {}
ratio = ratiokit.ratio
for name, pairs in data["ratio"].items():
    pairs = [tuple(p) for p in pairs]
    def one_at_a_time():
        for a, b in pairs:
            ratio(a, b)
    out["ratio, " + name] = best(one_at_a_time, len(pairs))
    out["ratio batch, " + name] = best(lambda: ratio(pairs), len(pairs))
for size in sizes:
    subset = data["functions"][:size]
    for t in thresholds:
        out["cluster %d at %s" % (len(subset), t)] = best(
            lambda: ratiokit.cluster_canonicals(subset, t, threads), len(subset), blocks=3,
            min_time=0)
print(json.dumps(out))
"""


def run(python: str, code: str, *args: str) -> str:
    # From a scratch directory, so that no source tree's ratiokit/ can shadow the installed one.
    done = subprocess.run([python, "-c", code, *args], capture_output=True, text=True,
                          cwd=tempfile.gettempdir())
    if done.returncode != 0:
        sys.exit(f"{python} failed:\n{done.stderr}")
    return done.stdout


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("first", help="interpreter of the first install (the wheel)")
    parser.add_argument("second", help="interpreter of the second install (the local build)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer pairs and one cluster size")
    parser.add_argument("--threads", type=int, default=1, help="threads for cluster_canonicals")
    args = parser.parse_args()
    pythons = [os.path.abspath(p) if os.sep in p else p for p in (args.first, args.second)]
    sizes = [2000] if args.quick else [2000, 10000]
    settings = json.dumps([sizes, [0.8, 0.9], args.threads])

    print(f"first:  {pythons[0]}\nsecond: {pythons[1]}")
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    start = time.perf_counter()
    samples: list[list[dict]] = [[], []]
    with tempfile.NamedTemporaryFile("w", suffix=".json") as data:
        run(pythons[0], PREPARE.format(bench=BENCH, quick=args.quick), data.name)
        for r in range(args.rounds):
            for k in ((0, 1) if r % 2 == 0 else (1, 0)):
                samples[k].append(json.loads(run(pythons[k], MEASURE, data.name, settings)))

    cases = list(samples[0][0])
    print(f"\n{'case':34} {'first us':>10} {'second us':>10} {'ratio':>6}"
          f" {'cpu first':>10} {'cpu second':>10} {'ratio':>6}")
    wall_ratios, cpu_ratios = [], []
    for case in cases:
        wall = [min(s[case][0] for s in samples[k]) * 1e6 for k in (0, 1)]
        cpu = [min(s[case][1] for s in samples[k]) * 1e6 for k in (0, 1)]
        wall_ratios.append(wall[0] / wall[1])
        cpu_ratios.append(cpu[0] / cpu[1])
        print(f"{case:34} {wall[0]:10.2f} {wall[1]:10.2f} {wall_ratios[-1]:6.3f}"
              f" {cpu[0]:10.2f} {cpu[1]:10.2f} {cpu_ratios[-1]:6.3f}")
    geo = lambda xs: math.exp(statistics.fmean(map(math.log, xs)))  # noqa: E731
    print(f"\ngeometric mean of the ratios (first/second): wall {geo(wall_ratios):.3f}, "
          f"cpu {geo(cpu_ratios):.3f}; per-case range {min(wall_ratios):.3f}-{max(wall_ratios):.3f}")
    print(f"{args.rounds} rounds in {time.perf_counter() - start:.0f} s; load average at end: "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
