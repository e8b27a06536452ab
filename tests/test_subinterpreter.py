"""The module shares its classes and exception across the process, so it refuses to load in any
interpreter but the main one: the import there raises ImportError, and the main interpreter's
copy goes on working."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

# Runs in a child process: makes a subinterpreter with whichever internal module this Python
# has, imports ratiokit there, and reports what happened from the main interpreter.
CHILD = """
import sys, tempfile, os
kind = sys.argv[1]
out = tempfile.mktemp()
code = '''
try:
    import ratiokit
except ImportError as e:
    result = "ImportError: " + str(e)
except BaseException as e:
    result = "other: " + type(e).__name__ + ": " + str(e)
else:
    result = "imported"
with open(%r, "w") as f:
    f.write(result)
''' % out
if kind == "legacy":
    import _testcapi
    _testcapi.run_in_subinterp(code)
else:
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
with open(out) as f:
    print(f.read())
os.unlink(out)
import ratiokit
assert ratiokit.ratio("kitten", "sitting") == 2 * 4 / 13
print("main ok")
"""

CREATORS = {"legacy": "_testcapi", "isolated": "_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters"}


@pytest.mark.parametrize("kind", list(CREATORS))
def test_import_in_a_subinterpreter_fails_cleanly(kind):
    pytest.importorskip(CREATORS[kind], reason="this interpreter cannot create a subinterpreter here")
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD), kind],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    result, main = proc.stdout.strip().splitlines()
    assert result.startswith("ImportError: "), result
    assert "subinterpreter" in result
    assert main == "main ok"
