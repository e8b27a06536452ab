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

# name -> (the attribute it needs, setup, the long call, a quick call that must then be right).
# Each long call runs for tens of seconds on two cores if nothing stops it.
LONG_CALLS = {
    "ratio_many on the shared pool": (
        "ratio_many",
        "pairs = [('ab' * 2000 + str(i), 'ba' * 2000) for i in range(4000)]",
        "rk.ratio_many(pairs)",
        "rk.ratio_many([('abcd', 'bcde')] * 50) == [0.75] * 50",
    ),
    "ratio_many on a private pool": (
        "ratio_many",
        "pairs = [('ab' * 2000 + str(i), 'ba' * 2000) for i in range(4000)]",
        "rk.ratio_many(pairs, threads=3)",
        "rk.ratio_many([('abcd', 'bcde')] * 50, threads=3) == [0.75] * 50",
    ),
    "ratio_many on one private thread": (
        "ratio_many",
        "pairs = [('ab' * 2000 + str(i), 'ba' * 2000) for i in range(4000)]",
        "rk.ratio_many(pairs, threads=1)",
        "rk.ratio_many([('abcd', 'bcde')] * 50, threads=1) == [0.75] * 50",
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
    "extract (private entry point)": (
        "_extract",
        "choices = ['ba' * 2000 + str(i) for i in range(4000)]",
        "rk._extract('ab' * 2000, choices, 4000, 0.0, False, False, 0)",
        "rk._extract('bcde', ['abcd'], 1, 0.0, False, False, 0) == [(0, 0.75)]",
    ),
    "Rationer.ratio_many": (
        "Rationer",
        "handle = rk.Rationer(threads=2)\n"
        "pairs = [('ab' * 2000 + str(i), 'ba' * 2000 + str(i)) for i in range(4000)]",
        "handle.ratio_many(pairs)",
        "handle.ratio_many([('abcd', 'bcde')] * 50) == [0.75] * 50",
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
    if not hasattr(_ratiokit, needs):
        pytest.skip(f"{needs} is not in this build")
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
