"""ratiokit on runs and periodic strings: time, peak memory and memory kept afterwards.

Repetitive text is where pathological inputs come from (padding, separators, minified files).
Each case runs in a fresh interpreter, so that its peak RSS (VmHWM) is its own; the child
reports the RSS before the call (texts built), the peak and the RSS after the call returns (all
from /proc/self/status), and the call's wall and CPU time (best of --repeat calls; CPU time is
the figure to trust on a busy machine). Each value is checked against a closed form where one
exists.

Calls (--calls): `ratio` of the pair; `close`, get_close_matches(b, [a]) at its default cutoff
0.6 (difflib's autojunk rule); `extract`, extract(b, [a], score_cutoff=0.6) (the exact ratio's
threshold test); `close12`, get_close_matches("a" * n, twelve run-like choices of about n code
points). The `short` cases put a text of n code points against a short line, in both orders.

    python bench/bench_repetitive.py [--sizes 10000,100000,1000000] [--repeat 3]
                                     [--kinds ...] [--calls ratio,close,extract]
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

kind, n, repeat, call = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]

def periodic(pattern, n):
    return (pattern * (n // len(pattern) + 1))[:n]

def prose(n):
    words = ["lorem", "ipsum", "dolor", "sit", "amet", "short", "line", "one", "value", "log"]
    out, k = [], 0
    while k < n:
        out.append(words[(k * 7919) % 10])
        k += len(out[-1]) + 1
    return " ".join(out)[:n]

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
elif kind == "periodic vs run":
    a, b = periodic("ab", n), "a" * n
    want = 2 * (n // 2 + n % 2) / (2 * n)
elif kind == "abcd vs ac":
    a, b = periodic("abcd", n), periodic("ac", n)
    want = None
elif kind == "ab vs aab":
    a, b = periodic("ab", n), periodic("aab", n)
    want = None
elif kind == "run vs run":
    a, b = "a" * n, "a" * (2 * n // 3)
    want = 2 * (2 * n // 3) / (n + 2 * n // 3)
elif kind == "long vs short":
    a, b = prose(n), "short line one"
    want = None
elif kind == "short vs long":
    a, b = "short line one", prose(n)
    want = None
elif kind == "long vs short 200":
    a = prose(n)
    b = a[5000:5200]
    want = 400 / (n + 200)
elif kind == "short 200 vs long":
    b = prose(n)
    a = b[5000:5200]
    want = 400 / (n + 200)
else:
    raise SystemExit("unknown case " + kind)

if call == "ratio":
    run = lambda: ratiokit.ratio(a, b)
elif call == "close":
    run = lambda: ratiokit.get_close_matches(b, [a])
    want = None
elif call == "extract":
    run = lambda: ratiokit.extract(b, [a], score_cutoff=0.6)
    want = None
elif call == "close12":
    choices = ["a" * (n // 2 + i * n // 12) for i in range(6)] + [
        periodic("ab", n), periodic("aab", n), periodic("a" * 9 + "b", n), "a" * n + "b",
        "b" + "a" * (n - 1), periodic("abcd", n)]
    run = lambda: ratiokit.get_close_matches("a" * n, choices)
    want = None
else:
    raise SystemExit("unknown call " + call)

before = status("VmRSS")
best = cpu = float("inf")
for _ in range(repeat):
    start, start_cpu = time.perf_counter(), time.process_time()
    value = run()
    best = min(best, time.perf_counter() - start)
    cpu = min(cpu, time.process_time() - start_cpu)
after = status("VmRSS")
peak = status("VmHWM")
ok = want is None or value == want
print(json.dumps({"seconds": best, "cpu": cpu, "before": before, "peak": peak, "after": after,
                  "value": str(value)[:40], "ok": ok}))
"""

KINDS = ["run+1", "run edited", "periodic edited", "period 7 edited", "periodic vs run",
         "abcd vs ac", "ab vs aab", "run vs run", "long vs short", "short vs long",
         "long vs short 200", "short 200 vs long"]


def run_case(kind: str, n: int, repeat: int, call: str = "ratio") -> dict:
    # Run outside the source tree, so that the installed package is the one imported.
    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(n), str(repeat), call],
                          capture_output=True, text=True, timeout=1800, cwd=tempfile.gettempdir())
    if proc.returncode != 0:
        return {"error": (proc.stderr.strip().splitlines() or ["exit %d" % proc.returncode])[-1]}
    return json.loads(proc.stdout)


def mib(x: float) -> str:
    return "%.1f" % (x / (1 << 20))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--kinds", default=",".join(KINDS), help="comma-separated cases")
    parser.add_argument("--calls", default="ratio", help="ratio, close, extract, close12")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print("| case | call | n | time (s) | CPU (s) | peak RSS (MiB) | peak - before (MiB)"
          " | bytes / code point | RSS after - before (MiB) | exact |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    failed = False
    for kind in args.kinds.split(","):
        for call in args.calls.split(","):
            for n in sizes:
                r = run_case(kind, n, args.repeat, call)
                if "error" in r:
                    print("| %s | %s | %d | failed: %s | | | | | | |" % (kind, call, n, r["error"]))
                    failed = True
                    continue
                grown = r["peak"] - r["before"]
                print("| %s | %s | %d | %.4f | %.4f | %s | %s | %.0f | %s | %s |" % (
                    kind, call, n, r["seconds"], r["cpu"], mib(r["peak"]), mib(grown), grown / n,
                    mib(r["after"] - r["before"]), "yes" if r["ok"] else "NO"))
            failed |= not r["ok"]
            sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
