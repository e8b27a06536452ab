"""ratiokit.ratio on runs and periodic strings: time, peak memory and memory kept afterwards.

Repetitive text is where pathological inputs come from (padding, separators, minified files).
Each case runs in a fresh interpreter, so that its peak RSS (VmHWM) is its own; the child
reports the RSS before the call (texts built), the peak and the RSS after the call returns (all
from /proc/self/status), and the call's wall and CPU time (best of --repeat calls; CPU time is
the figure to trust on a busy machine). Each value is checked against a closed form where one
exists.

    python bench/bench_repetitive.py [--sizes 10000,100000,1000000] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile

CHILD = r"""
import json, sys, time
import ratiokit

kind, n, repeat = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def status(field):
    # VmHWM rather than getrusage: ru_maxrss starts from the parent's peak at fork.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

def edited(s, positions, char):
    chars = list(s)
    for p in positions:
        chars[p] = char
    return "".join(chars)

if kind == "run+1":
    a, b = "a" * n, "a" * n + "b"
    want = 2 * n / (2 * n + 1)
elif kind == "run edited":
    a = "a" * n
    b = edited(a, [n // 3], "c")
    p = n // 3
    want = 2 * (n - 1 if p >= n - p - 1 else n - p - 1) / (2 * n)
elif kind == "periodic edited":
    a = "ab" * (n // 2)
    b = edited(a, [n // 7, n // 2, (5 * n) // 6], "x")
    want = None
elif kind == "period 7 edited":
    a = ("abcdefg" * (n // 7 + 1))[:n]
    b = edited(a, [n // 5, (3 * n) // 4], "z")
    want = None
else:
    raise SystemExit("unknown case " + kind)

before = status("VmRSS")
best = cpu = float("inf")
for _ in range(repeat):
    start, start_cpu = time.perf_counter(), time.process_time()
    value = ratiokit.ratio(a, b)
    best = min(best, time.perf_counter() - start)
    cpu = min(cpu, time.process_time() - start_cpu)
after = status("VmRSS")
peak = status("VmHWM")
ok = want is None or value == want
print(json.dumps({"seconds": best, "cpu": cpu, "before": before, "peak": peak, "after": after,
                  "value": value, "ok": ok}))
"""

KINDS = ["run+1", "run edited", "periodic edited", "period 7 edited"]


def run_case(kind: str, n: int, repeat: int) -> dict:
    # Run outside the source tree, so that the installed package is the one imported.
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(n), str(repeat)],
                          capture_output=True, text=True, timeout=600, cwd=tempfile.gettempdir())
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
    return json.loads(proc.stdout)


def mib(x: float) -> str:
    return "%.1f" % (x / (1 << 20))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print("| case | n | time (s) | CPU (s) | peak RSS (MiB) | peak - before (MiB) | bytes / code point"
          " | RSS after - before (MiB) | exact |")
    print("|---|---|---|---|---|---|---|---|---|")
    failed = False
    for kind in KINDS:
        for n in sizes:
            r = run_case(kind, n, args.repeat)
            if "error" in r:
                print("| %s | %d | failed: %s | | | | | | |" % (kind, n, r["error"]))
                failed = True
                continue
            grown = r["peak"] - r["before"]
            print("| %s | %d | %.4f | %.4f | %s | %s | %.0f | %s | %s |" % (
                kind, n, r["seconds"], r["cpu"], mib(r["peak"]), mib(grown), grown / n,
                mib(r["after"] - r["before"]), "yes" if r["ok"] else "NO"))
            failed |= not r["ok"]
            sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
