"""Times the same calls against two builds of the extension, alternating between them.

    python tools/compare_builds.py BEFORE_DIR AFTER_DIR [--rounds N]

Each directory holds a `ratiokit` package with its compiled core (as tools/asan.sh stages one).
Every round runs each case once per build in a fresh interpreter, alternating the order. The
report gives each case's best wall time and best CPU time (all threads) per call over the
rounds, and the after/before ratios: on a shared machine other work only ever adds time, so
the best of several runs is the steadiest estimate. The cases cover the ratio, batch and
clustering paths; comparing a build with itself shows the noise.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

# Reads a standard-library module of the interpreter running the case.
STDLIB = (
    "import os\n"
    "text = lambda f: open(os.path.join(os.path.dirname(os.__file__), f), encoding='utf-8').read()\n"
)

# name -> (setup, statement, calls per sample)
CASES = {
    "ratio, short pair": ("a, b = 'kitten sitting', 'sitting kitten'", "rk.ratio(a, b)", 20000),
    "ratio_many, 8 short pairs": (
        "p = [('kitten%d' % i, 'sitting%d' % i) for i in range(8)]", "rk.ratio_many(p)", 5000),
    "ratio_many, 1000 short pairs": (
        "p = [('kitten%d' % i, 'sitting%d' % i) for i in range(1000)]", "rk.ratio_many(p)", 100),
    "ratio_many, 1000 short pairs, threads=2": (
        "p = [('kitten%d' % i, 'sitting%d' % i) for i in range(1000)]",
        "rk.ratio_many(p, threads=2)", 100),
    "ratio_many, 20000 pairs of 60": (
        "import random\nrandom.seed(1)\n"
        "w = lambda: ''.join(random.choice('abcdefgh') for _ in range(60))\n"
        "p = [(w(), w()) for _ in range(20000)]", "rk.ratio_many(p)", 3),
    "ratio_many, 300 pairs of 2000 (polls)": (
        "p = [('ab' * 1000 + str(i), 'ba' * 1000) for i in range(300)]", "rk.ratio_many(p)", 2),
    "ratio, two stdlib functions of ~900": (
        STDLIB + "a, b = text('difflib.py')[2000:2900], text('difflib.py')[9000:9900]",
        "rk.ratio(a, b)", 2000),
    "cluster_canonicals, 4000 lines, threads=1": (
        STDLIB + "lines = [l.strip() for f in ('argparse.py', 'difflib.py', 'typing.py', 'inspect.py')"
        " for l in text(f).splitlines() if len(l.strip()) > 20][:4000]",
        "rk.cluster_canonicals(lines, 0.8, threads=1)", 1),
}

CHILD = """
import json, time
from ratiokit import _ratiokit as rk
{setup}
{statement}
wall, cpu = [], []
for _ in range(7):
    t, c = time.perf_counter(), time.process_time()
    for _ in range({calls}):
        {statement}
    wall.append((time.perf_counter() - t) / {calls})
    cpu.append((time.process_time() - c) / {calls})
print(json.dumps([min(wall), min(cpu)]))
"""


def sample(where: str, case: str) -> list[float]:
    setup, statement, calls = CASES[case]
    code = CHILD.format(setup=setup, statement=statement, calls=calls)
    env = dict(os.environ, PYTHONPATH=os.path.abspath(where))
    out = subprocess.run([sys.executable, "-c", code], env=env, cwd="/", check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    times = {case: ([], []) for case in CASES}
    for r in range(args.rounds):
        for case in CASES:
            order = (0, 1) if r % 2 == 0 else (1, 0)
            for k in order:
                times[case][k].append(sample((args.before, args.after)[k], case))
    print(f"{'case':42} {'wall before':>12} {'after':>12} {'ratio':>6}"
          f" {'cpu before':>12} {'after':>12} {'ratio':>6}")
    for case, (before, after) in times.items():
        line = f"{case:42}"
        for k in (0, 1):
            b = min(x[k] for x in before)
            a = min(x[k] for x in after)
            line += f" {b * 1e6:10.1f}us {a * 1e6:10.1f}us {a / b:6.3f}"
        print(line)


if __name__ == "__main__":
    main()
