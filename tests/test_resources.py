"""Resources: memory, Python objects and threads stay flat over many calls; running out of address
space raises MemoryError and leaves the interpreter working.

Each check runs in a child interpreter. The call counts here keep the suite fast; set
RATIOKIT_RESOURCE_CALLS (for example 100000) for the full run by hand. New entry points are one
more row of CALLS.
"""

from __future__ import annotations

import json
import os

import pytest
from conftest import run_python

from ratiokit import _ratiokit

ROUNDS = int(os.environ.get("RATIOKIT_RESOURCE_CALLS", "1200"))

# entry point -> Python statements, one call each, good and bad, that the child repeats. Inputs
# are large enough that a copy leaked per call shows in the resident size.
CALLS = {
    "ratio": [
        "rk.ratio(A, B)",
        "rk.ratio(A, 1)",
        "rk.ratio(A, '\\ud800')",
        "rk.ratio(a=A)",
    ],
    "ratio_many": [
        "rk.ratio_many(PAIRS)",
        "rk.ratio_many(PAIRS[:5], threads=2)",
        "rk.ratio_many(PAIRS + [('a', None)])",
        "rk.ratio_many(PAIRS + [('a', 'b', 'c')])",
        "rk.ratio_many(iter(PAIRS))",
        "rk.ratio_many(PAIRS, threads=-1)",
    ],
    "_ratio_public": [
        "rk._ratio_public(list(A), list(B))",
        "rk._ratio_public(list(A), tuple(B), autojunk=True)",
        "rk._ratio_public(A.encode(), bytearray(B.encode()))",
        "rk._ratio_public(list(A), list(B) + [[]])",
        "rk._ratio_public([(list(a), list(b)) for a, b in PAIRS] + [('a', ['a'])])",
        "rk._ratio_public(iter([list(p) for p in PAIRS]), autojunk=True)",
    ],
    "cluster_canonicals": [
        "rk.cluster_canonicals(TEXTS, 0.5)",
        "rk.cluster_canonicals(TEXTS, 0.5, threads=2)",
        "rk.cluster_canonicals(TEXTS + [None], 0.5)",
        "rk.cluster_canonicals(TEXTS, '0.5')",
    ],
    "cluster_canonicals_lsh": [
        "rk.cluster_canonicals_lsh(TEXTS, 0.5, 32, 2)",
        "rk.cluster_canonicals_lsh(TEXTS, 0.5, 32, 2, threads=2)",
        "rk.cluster_canonicals_lsh(TEXTS + [None], 0.5, 32, 2)",
        "rk.cluster_canonicals_lsh(TEXTS, 0.5, -1, 2)",
    ],
    "cosine_join": [
        "rk.cosine_join(DOCS, 0.2)",
        "rk.cosine_join(DOCS, 0.2, 'cpu', 2)",
        "rk.cosine_join(DOCS, 0.2, 'tpu')",
        "rk.cosine_join(DOCS + [['x', 1]], 0.2)",
    ],
    "Rationer": [
        "rk.Rationer(threads=2).ratio_many(PAIRS)",
        "rk.Rationer().ratio(A, B)",
        "rk.Rationer().cluster_canonicals(TEXTS, 0.5)",
        "rk.Rationer(concurrency='tpu')",
        "rk.Rationer().ratio_many(PAIRS + [None])",
    ],
    "CosineJoiner": [
        "rk.CosineJoiner(DOCS).join(0.2)",
        "rk.CosineJoiner(DOCS).join(0.2, threads=2)",
        "rk.CosineJoiner(DOCS + [None])",
        "rk.CosineJoiner(DOCS).join('x')",
    ],
}

COMMON = """
import gc, os, random, sys, time
from ratiokit import _ratiokit as rk

random.seed(5)
def word(n):
    return ''.join(random.choice('abcd\\u00e9') for _ in range(n))
A, B = word(300), word(300)
PAIRS = [(word(100), word(100)) for _ in range(40)]
TEXTS = [word(random.randint(5, 12)) for _ in range(40)]
DOCS = [[random.choice('vwxyz') + random.choice('ab') for _ in range(6)] for _ in range(40)]

def rss():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')

def threads():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('Threads:'):
                return int(line.split()[1])

def settled_threads(expected=None):
    # Workers of dropped pools leave on their own schedule: wait for the count to come down to
    # `expected`, or without one, to stop changing.
    deadline = time.monotonic() + 10
    last = threads()
    while time.monotonic() < deadline:
        time.sleep(0.02)
        now = threads()
        if (now <= expected) if expected is not None else (now == last):
            return now
        last = now
    return threads()
"""


def check(code: str) -> str:
    return run_python(COMMON + code, timeout=600)


def entry_available(name: str) -> bool:
    return hasattr(_ratiokit, name)


# ASan holds freed memory in quarantine, and with Python's allocator switched to malloc there are
# no interpreter blocks to count: the measures below mean nothing under sanitizers.
SANITIZED = bool(os.environ.get("RATIOKIT_SANITIZED"))


@pytest.mark.skipif(SANITIZED, reason="no meaningful memory measures under sanitizers")
@pytest.mark.parametrize("name", list(CALLS))
def test_repeated_calls_leave_memory_and_objects_flat(name):
    assert entry_available(name), f"{name} is not in this build"
    statements = "\n        ".join(
        f"try:\n            {s}\n        except (TypeError, ValueError, OverflowError):\n"
        f"            pass"
        for s in CALLS[name]
    )
    out = check(
        f"""
def run(rounds):
    for _ in range(rounds):
        {statements}

def measure():
    count = settled_threads()
    gc.collect()
    return rss(), sys.getallocatedblocks(), count

# Scratch capacity, the shared pool, free lists and the interpreter's caches fill up in steps
# that may come late, but once (and the free lists of floats, tuples and lists hold a varying
# number of blocks); a leak grows in every stretch of calls. Report the least growth over five
# stretches after a warm-up.
run({ROUNDS} // 4)
growth = []
for _ in range(5):
    before = measure()
    run({ROUNDS} // 4)
    after = measure()
    growth.append([a - b for a, b in zip(after, before)])
print(*(min(g[k] for g in growth) for k in range(3)))
"""
    )
    grown_rss, grown_blocks, grown_threads = map(int, out.split())
    rounds = ROUNDS // 4
    assert grown_blocks < 50, f"{grown_blocks} Python memory blocks more after {rounds} rounds"
    assert grown_rss < 4 << 20, f"resident size grew {grown_rss >> 10} KiB over {rounds} rounds"
    assert grown_threads == 0


def test_private_pools_and_handles_leave_threads_and_memory_flat():
    rounds = max(ROUNDS // 10, 100)
    makers = [
        "rk.ratio_many(PAIRS, threads=3)",
        "rk.Rationer(threads=3).ratio_many(PAIRS)",
        "rk.Rationer(threads=100000)",
        "rk.CosineJoiner(DOCS).join(0.2, threads=3)",
        "rk.cluster_canonicals(TEXTS * 2, 0.5, threads=3)",
    ]
    body = "\n    ".join(makers)
    out = check(
        f"""
rk.ratio_many(PAIRS)  # the shared pool is meant to stay
def run(rounds):
  for _ in range(rounds):
    {body}
run(10)
before = settled_threads()
rss0 = rss()
run({rounds})
after = settled_threads(before)
print(before, after, rss() - rss0)
"""
    )
    before, after, grown_rss = map(int, out.split())
    assert after == before
    assert SANITIZED or grown_rss < 8 << 20


@pytest.mark.skipif(SANITIZED, reason="sanitizers reserve more address space than any limit leaves")
def test_running_out_of_address_space_raises_memory_error():
    out = check(
        """
import resource
rk.ratio_many(PAIRS)  # start the shared pool while threads can still get stacks
with open('/proc/self/statm') as f:
    size = int(f.read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))

big = 'ab' * (1 << 19)  # 1 Mi code points: 4 MiB per copy
outcomes = []
def attempt(label, call):
    try:
        call()
        outcomes.append(label + ':returned')
    except MemoryError:
        outcomes.append(label + ':MemoryError')
    # The interpreter and the module still work.
    assert rk.ratio_many(PAIRS) == [rk.ratio(a, b) for a, b in PAIRS]
    assert len([str(k) for k in range(100000)]) == 100000

# Inputs: 2000 pairs of copies come to 16 GiB.
attempt('inputs', lambda: rk.ratio_many([(big, big)] * 2000))
attempt('inputs-private-pool', lambda: rk.ratio_many([(big, big)] * 2000, threads=2))
if hasattr(rk, 'cluster_canonicals'):
    attempt('canonicals', lambda: rk.cluster_canonicals([big] * 1000, 0.5))
if hasattr(rk, 'cosine_join'):
    # Results: every pair of these documents qualifies, 2 * 10^8 rows.
    docs = [['x', 'y', 'z%d' % (k % 2)] for k in range(20000)]
    attempt('join-rows', lambda: rk.cosine_join(docs, 0.0))
print(' '.join(outcomes))
"""
    )
    for outcome in out.split():
        assert outcome.endswith(":MemoryError"), out


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_long_calls_hand_freed_memory_back():
    # Clustering long texts builds hundreds of MB of automata; what stays resident afterwards
    # is the process's own, not pages the allocator kept.
    out = run_python(
        """
        import random, ratiokit
        def resident_mib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 2**20
        import os
        rng = random.Random(1)
        texts = ["".join(rng.choice("abcdefgh") for _ in range(200_000)) for _ in range(20)]
        before = resident_mib()
        ratiokit.cluster_canonicals(texts, 0.9)
        ratiokit.cluster_canonicals_lsh(texts, 0.9, 64, 4)
        print(resident_mib() - before)
        """
    )
    assert int(out) < 60, f"{out.strip()} MiB stayed resident"


@pytest.mark.skipif(SANITIZED, reason="no meaningful memory measures under sanitizers")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_scratch_of_one_huge_call_is_given_back():
    # Per-thread scratch keeps at most a few MiB between calls: a signature of 2**23 values (64
    # MiB) and the symbol ids of a 12-million-character text (48 MiB) go back once their call
    # ends. Few strings: everything runs on the calling thread, whose scratch outlives the call.
    out = run_python(
        """
        import os, random, ratiokit
        def resident_mib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 2**20
        rng = random.Random(1)
        short = ["abcdefghijk", "abcdefghijl", "zzzzzzzzzzzz", "qqqqqqqqqqqqq"]
        a = "".join(rng.choice("\\u00e9\\u00e8\\u00ea") for _ in range(12_000_000))
        b = "".join(rng.choice("\\u00e9\\u00e8\\u00eb") for _ in range(300))
        ratiokit.ratio("abc", "abd", autojunk=True)
        before = resident_mib()
        ratiokit.cluster_canonicals_lsh(short, 0.5, 2**23, 2**23)
        ratiokit.ratio(a, b, autojunk=True)
        print(resident_mib() - before)
        """
    )
    assert int(out) < 16, f"{out.strip()} MiB stayed resident"


@pytest.mark.skipif(SANITIZED, reason="no meaningful memory measures under sanitizers")
@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs /proc")
def test_clustering_long_texts_keeps_memory_to_the_texts_in_use():
    # 16 texts of 60,000 code points, each the same random text with one character replaced at
    # its own place: every pair matches all but the two replaced characters. Keeping every
    # automaton until the call ends takes over 100 MiB here (about 120 bytes per code point);
    # with automata for at most 120,000 code points at once, little beyond that budget.
    n, count = 60_000, 16
    out = run_python(
        f"""
        import json, random, ratiokit
        from ratiokit import _ratiokit
        def kib(field):
            for line in open("/proc/self/status"):
                if line.startswith(field):
                    return int(line.split()[1])
        rng = random.Random(3)
        base = "".join(rng.choice("abcdefgh") for _ in range({n}))
        places = rng.sample(range({n}), {count})
        texts = [base[:p] + "#" + base[p + 1:] for p in places]
        calls = {{"exact": lambda: ratiokit.cluster_canonicals(texts, 0.9),
                  "lsh": lambda: ratiokit.cluster_canonicals_lsh(texts, 0.9, 16, 4),
                  "rationer": lambda: ratiokit.Rationer(threads=2).cluster_canonicals(texts, 0.9)}}
        report = {{}}
        default = _ratiokit._cluster_resident_budget(2 * {n})
        for budget in (2 * {n}, 1 << 40):
            _ratiokit._cluster_resident_budget(budget)
            for name, call in calls.items():
                open("/proc/self/clear_refs", "w").write("5")  # peak resident size := current
                before = kib("VmRSS:")
                result = call()
                report[f"{{name}} {{budget}}"] = [result, (kib("VmHWM:") - before) // 1024]
        _ratiokit._cluster_resident_budget(default)
        print(json.dumps(report))
        """
    )
    want = [[list(range(count)), 2.0 * (n - 2) / (2 * n)]]
    for name, (result, peak_mib) in json.loads(out).items():
        assert result == want, name
        if name.endswith(str(2 * n)):
            assert peak_mib < 45, f"{name}: peak grew by {peak_mib} MiB"
        else:  # the same calls keeping every automaton: the bound above would catch it
            assert peak_mib > 80, f"{name}: peak grew by {peak_mib} MiB"
