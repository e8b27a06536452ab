"""A build with -march=native gives the same result bits as the default build (cosine joins,
the stage pipeline's join and clustering minima). It builds the extension once more, so it
runs only with RATIOKIT_BUILD_CHECK=1."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.skipif(os.environ.get("RATIOKIT_BUILD_CHECK") != "1",
                    reason="builds the extension again; set RATIOKIT_BUILD_CHECK=1")
def test_native_build_gives_the_same_bits():
    pytest.importorskip("numpy")
    run = subprocess.run([sys.executable, os.path.join(REPO, "tools", "check_fp_builds.py"),
                          "--flags", "-march=native"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "differ" not in run.stdout
