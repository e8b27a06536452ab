"""Ctrl-C inside each phase of the long calls: KeyboardInterrupt within about a second.

Each case builds inputs that make one phase long, and a progress callable that sends SIGINT to
its own process the first time it sees that phase; the child reports how long the exception
took and which phases had finished (from the RATIOKIT_PROGRESS "done" lines), so a case only
passes when the interrupt landed inside its phase.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))

BINARY = (
    "rng = random.Random(14)\n"
    "strings = [''.join(rng.choice('ab') for _ in range(400)) for _ in range(6000)]"
)
# phase -> (setup, call); every call runs for many seconds if nothing stops it.
PHASES = {
    "candidates": (
        # Not ASCII, so every count bound is a merge of two long lists; under the streaming size.
        "rng = random.Random(3)\n"
        "strings = [''.join(chr(0x4E00 + rng.randrange(4000)) for _ in range(3000))\n"
        "           for _ in range(2000)]",
        "ratiokit.cluster_canonicals(strings, 0.9, progress=watch)",
    ),
    "edges": (BINARY, "ratiokit.cluster_canonicals(strings, 0.0, progress=watch)"),
    "minimum": (BINARY, "ratiokit.cluster_canonicals(strings, 0.0, progress=watch)"),
    "dedupe": (BINARY, "ratiokit.dedupe(strings, threshold=0.9, progress=watch)"),
    "signatures": (
        "rng = random.Random(4)\n"
        "strings = [''.join(rng.choice('abcdefgh') for _ in range(3000)) for _ in range(1500)]",
        "ratiokit.cluster_canonicals_lsh(strings, 0.5, 1024, 1024, progress=watch)",
    ),
    "buckets": (
        "strings = ['common text shared by every line ' + str(i) for i in range(6000)]",
        "ratiokit.cluster_canonicals_lsh(strings, 0.5, 200, 1, progress=watch)",
    ),
    "verify": (
        "rng = random.Random(5)\n"
        "strings = ['ab' * 300 + ''.join(rng.choice('ab') for _ in range(30)) for _ in range(2000)]",
        "ratiokit.cluster_canonicals_lsh(strings, 0.999, 4, 1, progress=watch)",
    ),
    "join": (
        "rng = random.Random(2)\n"
        "docs = [[rng.choice('abcdefghijklmnopqrstuvwxyz') + rng.choice('abcdefghij')\n"
        "         for _ in range(20)] for _ in range(30000)]",
        "ratiokit.cosine_join(docs, 0.3, progress=watch)",
    ),
}

CHILD = """
import json, os, random, signal, sys, time
import ratiokit
{setup}
sent = []

def watch(phase, done, total):
    if phase == {phase!r} and not sent:
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

start = time.monotonic()
try:
    {call}
except KeyboardInterrupt:
    print("---", file=sys.stderr, flush=True)
    latency = time.monotonic() - sent[0] if sent else None
    print(json.dumps({{"latency": latency, "seconds": time.monotonic() - start}}), flush=True)
else:
    print(json.dumps({{"latency": None, "finished": True, "sent": bool(sent)}}), flush=True)
assert ratiokit.cluster_canonicals(["abcd", "abce", "xyz"], 0.7) == [([0, 1], 0.75)]
"""


@pytest.mark.slow
@pytest.mark.parametrize("phase", list(PHASES))
def test_ctrl_c_inside_each_phase(phase):
    setup, call = PHASES[phase]
    code = CHILD.format(setup=setup, call=call, phase=phase)
    env = dict(os.environ, RATIOKIT_PROGRESS="1")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=HERE, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout.splitlines()[-1])
    assert report["latency"] is not None, report
    assert report["latency"] < 1.0, f"KeyboardInterrupt took {report['latency']:.2f} s"
    before = done.stderr.split("---\n")[0]
    finished = [line.split("] ")[1].split(":")[0] for line in before.splitlines()
                if ": done, " in line]
    assert phase not in finished, (phase, finished)
