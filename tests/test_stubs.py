"""Type stubs, signatures and the version: what IDEs, type checkers and help() see."""

import inspect
import os
import subprocess
import sys
from importlib import metadata

import pytest

import ratiokit
from ratiokit import _ratiokit

HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import mypy.api  # noqa: F401

    HAVE_MYPY = True
except ImportError:  # pragma: no cover - depends on the environment
    HAVE_MYPY = False

needs_mypy = pytest.mark.skipif(
    not HAVE_MYPY, reason="mypy is not installed (pip install mypy) so the stubs cannot be checked"
)

MISUSE = """\
import ratiokit
x: str = ratiokit.ratio("a", "b")
ratiokit.cluster_canonicals(["a"], "0.5")
ratiokit.Rationer().delta = 1.0
ratiokit.ratio_many([("a", 1)])
ratiokit.CosineJoiner([["a"]]).join(0.5, threads="2")
class Mine(ratiokit.Rationer): ...
"""


def mypy(tmp_path, *args):
    # In a subprocess, from tmp_path: the installed package is checked, not the source tree,
    # and no cache is left behind.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )


@needs_mypy
class TestMypy:
    def test_usage_file_passes(self, tmp_path):
        done = mypy(tmp_path, os.path.join(HERE, "typing_usage.py"))
        assert done.returncode == 0, done.stdout + done.stderr

    def test_misuse_is_caught_line_by_line(self, tmp_path):
        # If the stubs were missing or loose (Any), these would pass unnoticed.
        done = mypy(tmp_path, "-c", MISUSE)
        flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines()
                   if line.startswith("<string>:") and ": error:" in line}
        assert flagged == {2, 3, 4, 5, 6, 7}, done.stdout

    def test_stubs_match_the_compiled_module(self, tmp_path):
        done = subprocess.run(
            [sys.executable, "-m", "mypy.stubtest", "ratiokit._ratiokit",
             "--mypy-config-file", os.devnull],
            cwd=tmp_path, capture_output=True, text=True, timeout=120,
        )
        assert done.returncode == 0, done.stdout + done.stderr


def public_callables():
    for name, obj in vars(_ratiokit).items():
        if name.startswith("_") or not callable(obj):
            continue
        if isinstance(obj, type) and issubclass(obj, BaseException):
            continue  # exception types take *args, as every exception does
        yield name, obj
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if not attr.startswith("_") and callable(member):
                    yield f"{name}.{attr}", member


def test_every_callable_has_a_signature_of_plain_parameters():
    seen = []
    for name, obj in public_callables():
        sig = inspect.signature(obj)
        params = [p for p in sig.parameters.values() if p.name != "self"]
        assert params, name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), (name, sig)
        seen.append(name)
    assert set(seen) >= {
        "ratio", "ratio_many", "cluster_canonicals", "cluster_canonicals_lsh", "cosine_join",
        "Rationer", "Rationer.ratio", "Rationer.ratio_many", "Rationer.cluster_canonicals",
        "CosineJoiner", "CosineJoiner.join",
    }
    # The package's ratio is compiled: its parameters come from its text signature.
    assert str(inspect.signature(ratiokit.ratio)) == "(a, b=None, /, *, autojunk=False)"
    params = inspect.signature(ratiokit.ratio).parameters
    assert [p.kind for p in params.values()] == [
        inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.KEYWORD_ONLY,
    ]
    assert params["b"].default is None


def test_version_matches_the_installed_distribution():
    assert ratiokit.__version__ == metadata.version("ratiokit")



def test_package_wrappers_take_their_prose_from_the_compiled_module():
    pairs = [
        (ratiokit.cluster_canonicals, _ratiokit.cluster_canonicals),
        (ratiokit.cluster_canonicals_lsh, _ratiokit.cluster_canonicals_lsh),
        (ratiokit.cosine_join, _ratiokit.cosine_join),
        (ratiokit.Rationer, _ratiokit.Rationer),
        (ratiokit.Rationer.cluster_canonicals, _ratiokit.Rationer.cluster_canonicals),
    ]
    for wrapper, compiled in pairs:
        prose = compiled.__doc__
        # The text-signature header is the compiled object's, never part of the prose.
        assert prose and not prose.startswith(compiled.__name__ + "("), compiled
        assert wrapper.__doc__.startswith(prose + "\n\n"), wrapper
        assert "progress(phase, done, total)" in wrapper.__doc__, wrapper
