from __future__ import annotations

import difflib
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import ratiokit

if not hasattr(ratiokit, "ratio_many"):  # pragma: no cover - a setup mistake, not a test
    raise RuntimeError(f"ratiokit imported from {ratiokit.__file__} has no compiled core")

# A suite started as a background job of a non-interactive shell inherits SIGINT ignored, and
# an interpreter that starts with SIGINT ignored keeps it so: Ctrl-C would then never reach the
# children the interrupt tests start. A handler here is reset to the default in every child at
# exec, so each child installs Python's own KeyboardInterrupt handler as a terminal would give it.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


def difflib_ratio(a: str, b: str) -> float:
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def run_python(code: str, env: dict | None = None, timeout: float = 300) -> str:
    """Runs code in a fresh interpreter (outside the source tree) and returns its stdout."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def oracle():
    return difflib_ratio
