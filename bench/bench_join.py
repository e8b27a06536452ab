"""ratio_join and LSH clustering: time and peak memory, each run in its own child process.

Rows:
  - self-join of the first N standard-library lines (the lines of bench_search.py) at 0.6 and
    0.8: ratiokit's list of tuples and its DataFrame (as_frame=True) against RapidFuzz
    process.cdist(scorer=fuzz.ratio, workers=-1), dense and with score_cutoff (a different
    metric: the comparison users make; cdist returns the whole matrix either way);
  - two-sided linkage of distinct standard-library "def" lines, 18,379 against the next 14,484,
    at 0.8, against cdist with score_cutoff;
  - cluster_canonicals_lsh(lines, 0.9, 128, 4) against cluster_canonicals(lines, 0.9) on the
    similar log lines f"line {i % 977} of the log: value={i % 313}": through verification (the
    run stopped when the "minimum" phase starts: what the two methods do differently) for every
    size, and whole for sizes up to --full-max (the minimum of one cluster of n lines takes
    n^2 / 2 capped ratios in both methods).

Peak memory is the child's VmHWM (ru_maxrss where /proc is missing), which covers native
allocations; it is reset after the data is loaded (and pandas imported for as_frame), so it is
the resident set during the call: interpreter, data and the call's own memory. The mean cost is the time over the pairs of the input (n (n - 1) / 2 for a
self-join, left x right for two sides) or over the lines (clustering).

    python bench/bench_join.py [--quick] [--sizes 10000,20000,30000] [--full-max 10000]

rapidfuzz is optional and only measured, never used by ratiokit.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))


def peak_mib() -> float:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def reset_peak() -> None:
    """Starts the peak from the current resident set, so that loading the data is left out."""
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def def_lines() -> List[str]:
    sys.path.insert(0, HERE)
    from bench_search import stdlib_lines

    seen = set()
    out = []
    for line in stdlib_lines(10**8):
        if line.startswith("def ") and line not in seen:
            seen.add(line)
            out.append(line)
    return out


def log_lines(n: int) -> List[str]:
    return [f"line {i % 977} of the log: value={i % 313}" for i in range(n)]


def child(job: Dict[str, Any]) -> Dict[str, Any]:
    kind = job["kind"]
    if kind in ("self", "two"):
        if kind == "self":
            sys.path.insert(0, HERE)
            from bench_search import stdlib_lines

            left, right = stdlib_lines(job["n"]), None
        else:
            with open(job["defs"], encoding="utf-8") as f:
                defs = json.load(f)
            left, right = defs[:18379], defs[18379:18379 + 14484]
        t = job["threshold"]
        if job["tool"] == "ratiokit-frame":
            import pandas  # noqa: F401  (imported once per process, not per join)
        reset_peak()
        start = time.perf_counter()
        if job["tool"].startswith("ratiokit"):
            import ratiokit

            frame = {"as_frame": True} if job["tool"] == "ratiokit-frame" else {}
            found = ratiokit.ratio_join(left, right, threshold=t, **frame)
            count = len(found)
        else:
            import numpy as np
            from rapidfuzz import fuzz, process

            cutoff = t * 100 if job["tool"] == "cdist-cutoff" else None
            matrix = process.cdist(left, left if right is None else right, scorer=fuzz.ratio,
                                   score_cutoff=cutoff, workers=-1)
            # Counted a block of rows at a time: a boolean copy of the whole matrix would add a
            # quarter of its size to the peak.
            count = sum(int(np.count_nonzero(matrix[k:k + 1024] >= t * 100))
                        for k in range(0, len(matrix), 1024))
            if right is None:
                count = (count - len(left)) // 2  # the diagonal, then each pair twice
        elapsed = time.perf_counter() - start
        return {"seconds": elapsed, "peak": peak_mib(), "count": count,
                "sizes": [len(left), len(right) if right is not None else len(left)]}
    import ratiokit

    lines = log_lines(job["n"])

    class Stop(Exception):
        pass

    def stop(phase: str, done: int, total: int) -> None:
        if phase == "minimum":
            raise Stop

    progress = None if job["whole"] else stop
    reset_peak()
    start = time.perf_counter()
    clusters: Any = None
    try:
        if job["tool"] == "lsh":
            clusters = ratiokit.cluster_canonicals_lsh(lines, 0.9, 128, 4, progress=progress)
        else:
            clusters = ratiokit.cluster_canonicals(lines, 0.9, progress=progress)
    except Stop:
        pass
    except MemoryError:
        return {"seconds": time.perf_counter() - start, "peak": peak_mib(), "count": "MemoryError"}
    elapsed = time.perf_counter() - start
    count = "-" if clusters is None else sum(len(m) for m, _ in clusters)
    return {"seconds": elapsed, "peak": peak_mib(), "count": count}


def run(job: Dict[str, Any], timeout: float) -> Dict[str, Any]:
    try:
        done = subprocess.run([sys.executable, __file__, "--child", json.dumps(job)],
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"over {timeout:.0f} s"}
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["?"])[-1]
        return {"error": tail[:60]}
    return json.loads(done.stdout)


def show(label: str, result: Dict[str, Any], per: int, unit: str = "pair") -> None:
    if "error" in result:
        print(f"  {label:<34} {result['error']}")
        return
    each = result["seconds"] / per * 1e9
    print(f"  {label:<34} {result['seconds']:8.2f} s  {each:10.1f} ns/{unit}  "
          f"peak {result['peak']:7.0f} MiB  found {result['count']}", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--child")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--sizes", default="10000,20000,30000")
    ap.add_argument("--log-sizes", default="5000,10000,20000,100000")
    ap.add_argument("--full-max", type=int, default=10000)
    ap.add_argument("--dense-max", type=int, default=20000,
                    help="largest n for RapidFuzz's dense matrix (n^2 floats)")
    ap.add_argument("--timeout", type=float, default=1800)
    ap.add_argument("--only", choices=["self", "two", "lsh"])
    ap.add_argument("--tools", default="ratiokit,ratiokit-frame,cdist-cutoff,cdist-dense",
                    help="which of the join rows to run")
    args = ap.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return
    if args.quick:
        args.sizes, args.log_sizes, args.full_max, args.dense_max = "2000", "2000", 2000, 2000
    try:
        import rapidfuzz  # noqa: F401

        peers = True
    except ImportError:
        peers = False
    print(f"load average {os.getloadavg()}, {os.cpu_count()} CPUs")
    sizes = [int(s) for s in args.sizes.split(",")]
    if args.only in (None, "self"):
        for n in sizes:
            for t in (0.6, 0.8):
                print(f"self-join of {n:,} standard-library lines at {t}:")
                tools = ["ratiokit", "ratiokit-frame"]
                if peers:
                    tools += ["cdist-cutoff"] + (["cdist-dense"] if n <= args.dense_max else [])
                for tool in [x for x in tools if x in args.tools.split(",")]:
                    r = run({"kind": "self", "tool": tool, "n": n, "threshold": t}, args.timeout)
                    show(tool, r, n * (n - 1) // 2)
    if args.only in (None, "two"):
        print("two-sided join of distinct 'def' lines at 0.8:")
        # Read by each child from a file: collecting them reads the whole library.
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
            json.dump(def_lines(), f)
        tools = ["ratiokit", "ratiokit-frame"] + (["cdist-cutoff"] if peers else [])
        for tool in [x for x in tools if x in args.tools.split(",")]:
            r = run({"kind": "two", "tool": tool, "threshold": 0.8, "defs": f.name}, args.timeout)
            pairs = r["sizes"][0] * r["sizes"][1] if "sizes" in r else 1
            show(f"{tool} {r.get('sizes', '')}", r, pairs)
        os.unlink(f.name)
    if args.only in (None, "lsh"):
        for n in [int(s) for s in args.log_sizes.split(",")]:
            print(f"{n:,} similar log lines at 0.9 (found: clustered lines):")
            for whole in (False, True):
                if whole and n > args.full_max:
                    continue
                for tool in ("lsh", "exact"):
                    r = run({"kind": "lsh", "tool": tool, "n": n, "whole": whole}, args.timeout)
                    label = f"{tool} {'whole' if whole else 'to the minimum phase'}"
                    show(label, r, n, "line")
    print(f"load average {os.getloadavg()}")


if __name__ == "__main__":
    main()
