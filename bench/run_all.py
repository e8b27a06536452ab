"""Runs every benchmark of the project and prints one summary table of the headline figures.

    python bench/run_all.py            # quick runs (each script's --quick), a few minutes
    python bench/run_all.py --full     # the full runs behind the README's tables (long)
    python bench/run_all.py --only cluster,lsh --save /tmp/bench-logs

Each script runs in its own interpreter; its whole output is kept (--save writes it to files,
--verbose echoes it). The summary picks the headline lines out of each output; where a script's
output cannot be parsed, the summary shows the last lines of it instead, so nothing is hidden.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
Row = Tuple[str, str]  # (figure, value)


def markdown_rows(text: str, header_start: str) -> List[List[str]]:
    """The body rows of the first markdown table whose header begins with header_start."""
    lines = text.splitlines()
    for k, line in enumerate(lines):
        if line.startswith(header_start):
            rows = []
            for body in lines[k + 2:]:
                if not body.startswith("|"):
                    break
                rows.append([cell.strip() for cell in body.strip().strip("|").split("|")])
            return rows
    return []


def parse_ratio(text: str) -> List[Row]:
    return [(f"ratio, {r[0]}", f"{r[1]} faster than difflib (slowest pair {r[2]})")
            for r in markdown_rows(text, "| data |")]


def parse_ratio_many(text: str) -> List[Row]:
    return [(f"batch, {r[0]}", f"{r[2]} pairs/s ({r[3]} vs threads=1)")
            for r in markdown_rows(text, "| method |")]


def parse_rationer(text: str) -> List[Row]:
    return [(f"Rationer, {r[0]} {r[1]} ({r[2]} pairs)", f"{r[5]} vs free ratio_many")
            for r in markdown_rows(text, "| texts |")]


CLUSTER_ROW = re.compile(r"^\s*([\d,]+)\s+(0\.\d+)\s+([\d.]+)\s+\S+\s+\S+\s+([\d,]+)\s+([\d,]+)\s*$")


def parse_cluster(text: str) -> List[Row]:
    rows = [(f"cluster exact, {m[1]} functions, t={m[2]}", f"{m[3]}s, {m[4]} clusters")
            for m in map(CLUSTER_ROW.match, text.splitlines()) if m]
    for m in re.finditer(r"threshold (\S+): ratiokit .*?([\d,]+)x faster; oracle check (\w+)", text):
        rows.append((f"cluster exact vs brute-force difflib, 500 functions, t={m[1]}",
                     f"{m[2]}x faster, oracle {m[3]}"))
    return rows


def parse_lsh(text: str) -> List[Row]:
    rows = []
    for line in text.splitlines():
        cells = line.split()
        # n thr rows sig cand verif asm total pairs verified clusters exact recall recall-1 nest
        if len(cells) == 15 and re.fullmatch(r"[\d,]+", cells[0]) and cells[1].startswith("0."):
            rows.append((f"cluster LSH, {cells[0]} functions, t={cells[1]}, band_rows={cells[2]}",
                         f"{cells[7]}s (exact {cells[11]}s), recall {cells[12]}"))
    for m in re.finditer(r"band_rows (\d+): datasketch MinHash.*?\(([\d,.]+)x\)", text):
        rows.append((f"LSH signatures vs datasketch, band_rows={m[1]}", f"{m[2]}x faster"))
    return rows


def parse_simjoin(text: str) -> List[Row]:
    rows, corpus = [], None
    for line in text.splitlines():
        head = re.match(r"^(\S.*?): \d+ documents", line)
        if head:
            corpus = head[1]
            continue
        m = re.match(r"^\s+(0\.\d+)\s+(\d+) \|\s+([\d.]+)s\s+(.*)$", line)
        if m and corpus:
            rest = m[4]
            ratio = re.match(r"([\d.]+)s\s+([\d.]+)x", rest)
            vs = f", {ratio[2]}x vs SciPy X X^T" if ratio else " (no SciPy baseline)"
            same = "" if rest.rstrip().endswith(("yes", "large")) or "yes (" in rest else ", PAIRS DIFFER"
            rows.append((f"join, {corpus}, t={m[1]}", f"{m[3]}s, {m[2]} pairs{vs}{same}"))
    return rows


def parse_search(text: str) -> List[Row]:
    rows = [(f"search, {r[0]}", f"{r[1]} per query (median {r[2]}, CPU {r[3]}) {r[6]}".rstrip())
            for r in markdown_rows(text, "| function |")]
    m = re.search(r"ratio_join self-join of (\d+) lines at 0.8: ([\d.]+) s, (\d+) pairs", text)
    if m:
        rows.append((f"ratio_join, {m[1]} lines, t=0.8", f"{m[2]}s, {m[3]} pairs"))
    return rows


DEDUPE_ROW = re.compile(r"^(dedupe|cluster_labels)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)\s+([\d,]+)"
                        r"\s+([\d,]+)\s+([\d,]+)\s+(\S+)\s*$")


def parse_dedupe(text: str) -> List[Row]:
    size = re.search(r"^([\d,]+) lines .*threshold ([\d.]+)", text, re.M)
    lines, threshold = (size[1], size[2]) if size else ("?", "?")
    return [(f"{m[1]}, {lines} changelog lines, t={threshold}",
             f"{m[2]}s, {m[4]} MiB, {m[5]} kept, {m[7]} dropped below t, lowest {m[8]}")
            for m in map(DEDUPE_ROW.match, text.splitlines()) if m]


@dataclass
class Bench:
    name: str
    script: str
    parse: Callable[[str], List[Row]]
    quick: List[str] = field(default_factory=lambda: ["--quick"])


BENCHES = [
    Bench("ratio", "bench_ratio.py", parse_ratio),
    # bench_ratio_many has no --quick; a fifth of its default batch stands in for it.
    Bench("ratio_many", "bench_ratio_many.py", parse_ratio_many, ["--pairs", "20000"]),
    Bench("cluster", "bench_cluster.py", parse_cluster),
    Bench("lsh", "bench_lsh.py", parse_lsh),
    Bench("simjoin", "bench_simjoin.py", parse_simjoin),
    Bench("rationer", "bench_rationer.py", parse_rationer),
    Bench("search", "bench_search.py", parse_search),
    # bench_dedupe has no --quick; the first 20,000 changelog lines stand in for all of them.
    Bench("dedupe", "bench_dedupe.py", parse_dedupe, ["--limit", "20000"]),
]


@dataclass
class Outcome:
    bench: Bench
    returncode: Optional[int]
    seconds: float
    output: str


def run(bench: Bench, full: bool, timeout: Optional[float]) -> Outcome:
    cmd = [sys.executable, os.path.join(HERE, bench.script)] + ([] if full else bench.quick)
    start = time.perf_counter()
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout,
                              errors="replace")
        code: Optional[int] = done.returncode
        output = done.stdout + (("\n[stderr]\n" + done.stderr) if done.stderr.strip() else "")
    except subprocess.TimeoutExpired as e:
        code = None
        partial = e.stdout or b""
        output = (partial.decode(errors="replace") if isinstance(partial, bytes) else partial)
        output += f"\n[timed out after {timeout}s]"
    return Outcome(bench, code, time.perf_counter() - start, output)


def summary_rows(outcome: Outcome, tail: int) -> List[Row]:
    rows: List[Row] = []
    if outcome.returncode == 0:
        try:
            rows = outcome.bench.parse(outcome.output)
        except Exception as e:  # a changed output format must not lose the run
            rows = [("(could not parse output)", f"{type(e).__name__}: {e}")]
        if rows and not rows[0][0].startswith("("):
            return rows
    status = ("timed out" if outcome.returncode is None
              else "no headline found" if outcome.returncode == 0
              else f"FAILED (exit {outcome.returncode})")
    lines = [line for line in outcome.output.splitlines() if line.strip()][-tail:]
    return rows + [(f"({status}; last lines)", "")] + [("", "  " + line) for line in lines]


def print_table(outcomes: List[Outcome], tail: int) -> None:
    table: List[Tuple[str, str, str]] = []
    for o in outcomes:
        for k, (figure, value) in enumerate(summary_rows(o, tail)):
            table.append((o.bench.name if k == 0 else "", figure, value))
    w0 = max([len("bench")] + [len(r[0]) for r in table])
    w1 = max([len("figure")] + [len(r[1]) for r in table if r[2] or r[1].startswith("(")])
    print(f"\n{'bench':<{w0}}  {'figure':<{w1}}  value")
    print(f"{'-' * w0}  {'-' * w1}  {'-' * 5}")
    for name, figure, value in table:
        if not figure and value:  # a raw output line
            print(f"{name:<{w0}}  {value}")
        else:
            print(f"{name:<{w0}}  {figure:<{w1}}  {value}".rstrip())
    print()
    for o in outcomes:
        state = "ok" if o.returncode == 0 else ("timed out" if o.returncode is None
                                                 else f"exit {o.returncode}")
        print(f"{o.bench.name}: {o.seconds:.1f}s, {state}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--full", action="store_true", help="full runs instead of --quick ones")
    parser.add_argument("--only", help="comma-separated subset: "
                        + ",".join(b.name for b in BENCHES))
    parser.add_argument("--timeout", type=float, help="seconds allowed to each script")
    parser.add_argument("--save", metavar="DIR", help="write each script's output to DIR/NAME.txt")
    parser.add_argument("--verbose", action="store_true", help="echo each script's output")
    parser.add_argument("--tail", type=int, default=12,
                        help="output lines shown where a script fails or cannot be parsed")
    args = parser.parse_args()

    benches = BENCHES
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {b.name for b in BENCHES}
        if unknown:
            parser.error(f"unknown benchmark(s): {', '.join(sorted(unknown))}")
        benches = [b for b in BENCHES if b.name in wanted]
    if args.save:
        os.makedirs(args.save, exist_ok=True)

    start = time.perf_counter()
    outcomes = []
    for bench in benches:
        print(f"running {bench.script} {'(full)' if args.full else ' '.join(bench.quick)} ...",
              file=sys.stderr, flush=True)
        outcome = run(bench, args.full, args.timeout)
        outcomes.append(outcome)
        if args.verbose:
            print(f"\n===== {bench.script} =====\n{outcome.output}", flush=True)
        if args.save:
            with open(os.path.join(args.save, f"{bench.name}.txt"), "w") as f:
                f.write(outcome.output)
    print_table(outcomes, args.tail)
    print(f"total: {time.perf_counter() - start:.1f}s ({'full' if args.full else 'quick'} runs)")
    return 0 if all(o.returncode == 0 for o in outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
