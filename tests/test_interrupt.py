"""Ctrl-C during a long call: KeyboardInterrupt within about a second, nothing partial, and the
process (its pools included) keeps working.

Each case runs in a child interpreter that builds a long call's inputs, says "ready", and makes
the call; the parent sends SIGINT shortly after and times the child's report. The child then
checks that a fresh call of the same entry point and a ratio_many on the shared pool give the
right answers. New long-running entry points are one more row of LONG_CALLS.
"""

from __future__ import annotations

import contextlib
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from ratiokit import _ratiokit

HERE = os.path.dirname(os.path.abspath(__file__))

# Two random texts of 2,000,000 code points: seconds of work in a single ratio, whichever engine.
LONG_PAIR = (
    "import random\n"
    "random.seed(3)\n"
    "a = ''.join(random.choices('abcdefghijklmnopqrstuvwxyz', k=2_000_000))\n"
    "b = ''.join(random.choices('abcdefghijklmnopqrstuvwxyz', k=2_000_000))"
)

# 400 distinct pairs of random 40,000-character texts (20 by 20 of them): about 12 ms each on
# one core, seconds in all.
MANY_PAIRS = (
    "import random\n"
    "random.seed(2)\n"
    "s = [''.join(random.choices('abcdefghijklmnopqrstuvwxyz', k=40_000)) for _ in range(40)]\n"
    "pairs = [(s[i % 20], s[20 + i // 20]) for i in range(400)]"
)

# 4,000,000 short pairs: the call reads them a part at a time while earlier parts compute, so
# the interrupt may land while a part is being read, computed, or both.
SHORT_PAIRS = (
    "import collections.abc, random\n"
    "random.seed(5)\n"
    "a = ''.join(random.choices('abcdefghij', k=250))\n"
    "b = ''.join(random.choices('abcdefghij', k=250))\n"
    "pairs = [(a, b), (b, a)] * 2_000_000\n"
    "class Pairs(collections.abc.Sequence):\n"
    "    __len__ = pairs.__len__\n"
    "    __getitem__ = lambda self, k: pairs[k]"
)

# name -> (the attribute it needs, setup, the long call, a quick call that must then be right).
# Each long call runs for tens of seconds on two cores if nothing stops it.
LONG_CALLS = {
    "ratio_many on the shared pool": (
        "ratio_many",
        MANY_PAIRS,
        "rk.ratio_many(pairs)",
        "rk.ratio_many([('abcd', 'bcde')] * 50) == [0.75] * 50",
    ),
    "ratio_many on a private pool": (
        "ratio_many",
        MANY_PAIRS,
        "rk.ratio_many(pairs, threads=3)",
        "rk.ratio_many([('abcd', 'bcde')] * 50, threads=3) == [0.75] * 50",
    ),
    "ratio_many on one private thread": (
        "ratio_many",
        MANY_PAIRS,
        "rk.ratio_many(pairs, threads=1)",
        "rk.ratio_many([('abcd', 'bcde')] * 50, threads=1) == [0.75] * 50",
    ),
    "ratio_many of many short pairs": (
        "ratio_many",
        SHORT_PAIRS,
        "rk.ratio_many(pairs, threads=2)",
        "rk.ratio_many([('abcd', 'bcde')] * 5000, threads=2) == [0.75] * 5000",
    ),
    "ratio_many reading a Python sequence": (
        "ratio_many",
        SHORT_PAIRS,
        "rk.ratio_many(Pairs())",
        "rk.ratio_many([('abcd', 'bcde')] * 5000) == [0.75] * 5000",
    ),
    "cluster_canonicals": (
        "cluster_canonicals",
        "import random\n"
        "random.seed(1)\n"
        "strings = [''.join(random.choice('abcd') for _ in range(random.randint(20, 60)))\n"
        "           for _ in range(12000)]",
        "rk.cluster_canonicals(strings, 0.6)",
        "rk.cluster_canonicals(['abcd', 'abce', 'xyz'], 0.7) == [([0, 1], 0.75)]",
    ),
    "cluster_canonicals_lsh": (
        "cluster_canonicals_lsh",
        "import random\n"
        "random.seed(1)\n"
        "strings = [''.join(random.choice('ab') for _ in range(random.randint(40, 60)))\n"
        "           for _ in range(6000)]",
        "rk.cluster_canonicals_lsh(strings, 0.6, 128, 2)",
        "rk.cluster_canonicals_lsh(['abcdefgh' * 3, 'abcdefgh' * 3 + 'x', 'zzz'], 0.7, 64, 4)"
        " == [([0, 1], 48 / 49)]",
    ),
    "cosine_join": (
        "cosine_join",
        "import random\n"
        "random.seed(2)\n"
        "docs = [[random.choice('abcdefghijklmnopqrstuvwxyz') + random.choice('abcdefghij')\n"
        "         for _ in range(20)] for _ in range(30000)]",
        "rk.cosine_join(docs, 0.3)",
        "[(j, i) for j, i, _ in rk.cosine_join([['x', 'y'], ['x', 'y'], ['z']], 0.5)] == [(0, 1)]",
    ),
    "ratio_join (private entry point)": (
        "_ratio_join",
        "import random\n"
        "random.seed(1)\n"
        "strings = [''.join(random.choice('abcd') for _ in range(random.randint(20, 60)))\n"
        "           for _ in range(12000)]",
        "rk._ratio_join(strings, None, 0.6, 0)",
        "rk._ratio_join(['abcd', 'abce', 'xyz'], None, 0.7, 0) == [(0, 1, 0.75)]",
    ),
    "dedupe (private entry point)": (
        "_dedupe",
        "import random\n"
        "random.seed(1)\n"
        "strings = [''.join(random.choice('ab') for _ in range(400)) for _ in range(6000)]",
        "rk._dedupe(strings, 0.9, 0)",
        "rk._dedupe(['abcd', 'abce', 'xyz'], 0.7, 0) == [0, 0, 2]",
    ),
    "extract (private entry point)": (
        "_extract",
        LONG_PAIR,
        "rk._extract(b, [a] * 20, 20, 0.0, False, False, 0)",
        "rk._extract('bcde', ['abcd'], 1, 0.0, False, False, 0) == [(0, 0.75)]",
    ),
    "Rationer.ratio_many": (
        "Rationer",
        LONG_PAIR + "\nhandle = rk.Rationer(threads=2)",
        "handle.ratio_many([(a, b), (b, a)])",
        "handle.ratio_many([('abcd', 'bcde')] * 50) == [0.75] * 50",
    ),
    # One pair whose computation alone takes seconds: the checks must come from inside the
    # automaton's construction, the matching scan and the recursion, not between items.
    "ratio of one long pair": ("ratio", LONG_PAIR, "rk.ratio(a, b)", "rk.ratio('abcd', 'bcde') == 0.75"),
    "ratio_many of one long pair": (
        "ratio_many",
        LONG_PAIR,
        "rk.ratio_many([(a, b)])",
        "rk.ratio_many([('abcd', 'bcde')]) == [0.75]",
    ),
    "Rationer.ratio of one long pair": (
        "Rationer",
        LONG_PAIR + "\nhandle = rk.Rationer(threads=2)",
        "handle.ratio(a, b)",
        "handle.ratio('abcd', 'bcde') == 0.75",
    ),
    # Two strings, but each signature is 2,000,000 minima over 20,000 shingles.
    "cluster_canonicals_lsh with long signatures": (
        "cluster_canonicals_lsh",
        "import random\n"
        "random.seed(4)\n"
        "strings = [''.join(random.choices('abcdefgh', k=20000)) for _ in range(2)]",
        "rk.cluster_canonicals_lsh(strings, 0.6, 2_000_000, 2)",
        "rk.cluster_canonicals_lsh(['abcdefgh' * 3, 'abcdefgh' * 3 + 'x', 'zzz'], 0.7, 64, 4)"
        " == [([0, 1], 48 / 49)]",
    ),
}

CHILD = """
import sys, time
from ratiokit import _ratiokit as rk
{setup}
print("ready", flush=True)
try:
    result = {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("finished without an interrupt", flush=True)
    sys.exit(1)
assert {quick}, "wrong answer after the interrupt"
assert rk.ratio_many([("kitten", "sitting")] * 100) == [rk.ratio("kitten", "sitting")] * 100
print("ok", flush=True)
"""


def read_line(proc: subprocess.Popen, deadline: float) -> str | None:
    """The child's next line, or None when the deadline passes first."""
    remaining = deadline - time.monotonic()
    if remaining <= 0 or not select.select([proc.stdout], [], [], remaining)[0]:
        return None
    return proc.stdout.readline().strip()


@contextlib.contextmanager
def child(code: str):
    proc = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=HERE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        bufsize=1,
    )
    with proc:
        try:
            yield proc
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()


@pytest.mark.parametrize("name", list(LONG_CALLS))
def test_ctrl_c_interrupts_a_long_call_and_the_process_goes_on(name):
    needs, setup, call, quick = LONG_CALLS[name]
    assert hasattr(_ratiokit, needs), f"{needs} is not in this build"
    with child(CHILD.format(setup=setup, call=call, quick=quick)) as proc:
        assert read_line(proc, time.monotonic() + 60) == "ready"
        time.sleep(0.5)  # well inside the call
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = read_line(proc, sent + 10)
        latency = time.monotonic() - sent
        assert line == "interrupted", line
        assert latency < 2.0, f"KeyboardInterrupt took {latency:.2f} s"
        assert read_line(proc, time.monotonic() + 60) == "ok"
        assert proc.wait(timeout=30) == 0


def test_a_handler_that_does_not_raise_leaves_the_call_alone():
    # Only an exception cancels: a SIGINT handler that just records the signal gets the full,
    # correct result, computed in several polling intervals on both kinds of pool.
    code = """
    import signal, threading, os
    from ratiokit import _ratiokit as rk
    seen = []
    signal.signal(signal.SIGINT, lambda *_: seen.append(1))
    pairs = [("ab" * 300 + str(i), "ba" * 300) for i in range(3000)]
    expected = [rk.ratio(a, b) for a, b in pairs]
    for threads in (0, 2):
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        assert rk.ratio_many(pairs, threads=threads) == expected
        timer.join()
    assert len(seen) == 2, seen
    print("ok")
    """
    with child(code) as proc:
        out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0 and out.strip() == "ok", err


def test_calls_off_the_main_thread_are_never_cancelled():
    # The main thread takes the KeyboardInterrupt; a call running on another thread at the time
    # completes with its whole result.
    code = """
    import os, signal, threading, time
    from ratiokit import _ratiokit as rk
    pairs = [("ab" * 300 + str(i), "ba" * 300) for i in range(3000)]
    expected = [rk.ratio(a, b) for a, b in pairs]
    got = []
    worker = threading.Thread(target=lambda: got.append(rk.ratio_many(pairs)))
    worker.start()
    time.sleep(0.05)
    try:
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(5)
    except KeyboardInterrupt:
        pass
    worker.join()
    assert got == [expected]
    print("ok")
    """
    with child(code) as proc:
        out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0 and out.strip() == "ok", err


def test_the_handlers_exception_is_the_one_a_long_pair_raises():
    # A handler that raises something other than KeyboardInterrupt: that exception, unchanged,
    # comes out of the single long ratio, and soon.
    code = """
    import os, random, signal, threading, time
    from ratiokit import _ratiokit as rk

    class Stop(Exception):
        pass

    def handler(*_):
        raise Stop("from the handler")

    signal.signal(signal.SIGINT, handler)
    random.seed(5)
    a = ''.join(random.choices('abcdefghijklmnopqrstuvwxyz', k=2_000_000))
    b = ''.join(random.choices('abcdefghijklmnopqrstuvwxyz', k=2_000_000))
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    try:
        rk.ratio(a, b)
    except Stop as exc:
        assert str(exc) == "from the handler"
        print("stopped %.2f" % (time.monotonic() - start - 0.5))
    timer.join()
    """
    with child(code) as proc:
        out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0 and out.startswith("stopped"), err
    assert float(out.split()[1]) < 2.0, out
