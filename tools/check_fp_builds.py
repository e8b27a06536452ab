"""Checks that a build with other compiler flags gives the same result bits as the default one.

    python tools/check_fp_builds.py [--flags "-march=native"] [--build DIR] [--against DIR]

Builds the extension with CMake and the extra --flags (default -march=native, which lets the
compiler use FMA and wider vectors where the machine has them) into --build (default
build/fp-check), stages it as a package there, and runs a fixed corpus through it and through
the default build: the installed package, or the staged package in --against. Compared bit for
bit: cosine_join rows (on the standard library's functions as token lists and on synthetic
documents), the same join run through ratiokit.stages in four pieces and in three shards, and the minima of
cluster_canonicals and cluster_canonicals_lsh on synthetic log lines. Exit status 1 and the
first differences when anything differs. Takes as long as a build of the extension.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Runs in a fresh interpreter against one build; prints one JSON object of results.
CHILD = r"""
import ast, json, os, random, re, sys, sysconfig
import ratiokit
from ratiokit import stages
import numpy as np

def functions(limit):
    root = sysconfig.get_paths()["stdlib"]
    token = re.compile(r"\w+|[^\w\s]")
    docs = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "test", "tests"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            try:
                text = open(os.path.join(folder, name), encoding="utf-8").read()
                tree = ast.parse(text)
            except (SyntaxError, UnicodeDecodeError, ValueError):
                continue
            lines = text.splitlines()
            for node in ast.walk(tree):
                if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    docs.append(token.findall("\n".join(lines[node.lineno - 1:node.end_lineno])))
                    if len(docs) >= limit:
                        return docs
    return docs

rng = random.Random(7)
words = ["".join(rng.choice("kalomineruta") for _ in range(rng.randrange(2, 7)))
         for _ in range(400)]
lines = []
for k in range(4000):
    if k and rng.random() < 0.3:
        s = list(lines[rng.randrange(max(0, k - 200), k)])
        s[rng.randrange(len(s))] = rng.choice("xyz0123456789 ")
        lines.append("".join(s))
    else:
        lines.append(" ".join(rng.choices(words, k=rng.randrange(3, 9))))
synthetic = [[rng.choice(words[:60]) for _ in range(rng.randrange(1, 30))] for _ in range(3000)]
code = functions(6000)

def rows(found):
    return [[j, i, c.hex()] for j, i, c in found]

def piecewise(docs, t):
    cut = [0, len(docs) // 5, len(docs) // 2, len(docs) // 2, len(docs)]
    parts = [(cut[k], docs[cut[k]:cut[k + 1]]) for k in range(4)]
    vocab = stages.vocabulary([stages.doc_frequencies(p) for _, p in parts])
    units = [(o, stages.unit_vectors(p, vocab)) for o, p in parts]
    terms = stages.term_numbers([(u.max_ids, u.max_weights) for _, u in units], vocab)
    vecs = [(o, stages.term_vectors(u, terms)) for o, u in units]
    out = []
    for b, (qo, q) in enumerate(vecs):
        for a, (io, ix) in enumerate(vecs[:b + 1]):
            out.append(stages.cosine_block(ix, None if a == b else q, terms, t,
                                           indexed_offset=io, query_offset=qo))
    j, i, c, touch = (np.concatenate([r[k] for r in out]) for k in range(4))
    order = stages.join_order(j, i, touch)
    return rows(zip(j[order].tolist(), i[order].tolist(), c[order].tolist()))

def sharded(docs, t, shards=3):
    cut = [0, len(docs) // 3, len(docs) // 3, len(docs)]
    parts = [stages.doc_frequencies(docs[cut[k]:cut[k + 1]], rows=True) for k in range(3)]
    vocab = stages.vocabulary([p.without_rows() for p in parts])
    units = [stages.unit_vectors(p, vocab) for p in parts]
    terms = stages.term_numbers([(u.max_ids, u.max_weights) for u in units], vocab)
    vecs = [stages.term_vectors(u, terms) for u in units]
    out = [stages.cosine_shard(vecs, terms, t, s, shards) for s in range(shards)]
    return rows((j, i, c) for r in out for j, i, c in zip(*(x.tolist() for x in r)))

result = {
    "cosine_join stdlib 0.5": rows(ratiokit.cosine_join(code, 0.5)),
    "cosine_join synthetic 0.2": rows(ratiokit.cosine_join(synthetic, 0.2)),
    "stages cosine stdlib 0.5": piecewise(code, 0.5),
    "stages cosine shards stdlib 0.5": sharded(code, 0.5),
    "cluster_canonicals 0.7": [[m, s.hex()] for m, s in ratiokit.cluster_canonicals(lines, 0.7)],
    "cluster_canonicals_lsh 0.6": [[m, s.hex()] for m, s in
                                   ratiokit.cluster_canonicals_lsh(lines, 0.6, 64, 4)],
}
print(json.dumps(result))
"""


def run_child(pythonpath: str) -> dict:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    out = subprocess.run([sys.executable, "-c", CHILD], env=env, cwd="/", check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def build(flags: str, where: str) -> str:
    """Builds the extension with `flags` into `where` and returns the staged package's root."""
    subprocess.run(["cmake", "-S", REPO, "-B", where, "-DCMAKE_BUILD_TYPE=Release",
                    f"-DCMAKE_CXX_FLAGS={flags}", f"-DPython_EXECUTABLE={sys.executable}",
                    "-DRATIOKIT_BUILD_EXTENSION=ON", "-DRATIOKIT_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
    subprocess.run(["cmake", "--build", where, "-j", jobs, "--target", "_ratiokit"], check=True,
                   stdout=subprocess.DEVNULL)
    stage = os.path.join(where, "python")
    shutil.rmtree(stage, ignore_errors=True)
    package = os.path.join(stage, "ratiokit")
    os.makedirs(package)
    for name in os.listdir(os.path.join(REPO, "ratiokit")):
        if name.endswith((".py", ".pyi")) or name == "py.typed":
            shutil.copy(os.path.join(REPO, "ratiokit", name), package)
    for name in os.listdir(where):
        if name.startswith("_ratiokit") and name.endswith((".so", ".pyd")):
            shutil.copy(os.path.join(where, name), package)
    return stage


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--flags", default="-march=native")
    ap.add_argument("--build", default=os.path.join(REPO, "build", "fp-check"))
    ap.add_argument("--against", default="", help="staged package root of the default build "
                    "(default: the installed package)")
    args = ap.parse_args()
    stage = build(args.flags, args.build)
    want = run_child(args.against)
    got = run_child(stage)
    failed = False
    for case, expected in want.items():
        actual = got[case]
        diff = sum(1 for x, y in zip(expected, actual) if x != y)
        diff += abs(len(expected) - len(actual))
        print(f"{case:32} {len(expected):7} rows  {'same bits' if diff == 0 else f'{diff} differ'}")
        if diff:
            failed = True
            first = next((k for k, (x, y) in enumerate(zip(expected, actual)) if x != y), None)
            if first is not None:
                print(f"  first at {first}: {expected[first]} vs {actual[first]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
