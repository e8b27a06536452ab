"""Prints which input kinds each public entry point takes: a Markdown table of entry point x kind,
"accepted" (the same result as for a list) or the TypeError it raises.

The entry points and kinds are the registries of tests/test_contract.py (columns, documents and
pairs), which asserts the same table. Run from the repository root with the package installed:
python tools/input_table.py
"""

from __future__ import annotations

import os
import re
import sys
from typing import Any, Callable

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from test_contract import INPUT_ENTRIES, INPUT_KINDS, PAIR_ENTRIES  # noqa: E402


def outcome(call: Callable[[Any], Any], make: Any, sample: list) -> str:
    if make is None:
        return "n/a (library missing)"
    try:
        value = make(sample)
    except Exception as error:  # the kind cannot hold this input (pyarrow and tuples)
        return f"n/a ({type(error).__name__} building it)"
    try:
        got = call(value)
    except TypeError as error:
        return f"TypeError: {error}"
    return "accepted" if got == call(list(sample)) else "accepted, DIFFERENT RESULT"


def main() -> None:
    kinds = list(INPUT_KINDS)
    rows = [(name, call, sample) for name, (call, _, sample, _) in {**INPUT_ENTRIES, **PAIR_ENTRIES}.items()]
    legend: dict[str, str] = {}  # outcome -> its mark
    print("| entry point | " + " | ".join(kinds) + " |")
    print("|---" * (len(kinds) + 1) + "|")
    for name, call, sample in rows:
        cells = []
        for kind in kinds:
            text = outcome(call, INPUT_KINDS[kind], sample)
            if text == "accepted":
                cells.append("ok")
            else:
                # One mark per message whatever argument it names.
                text = re.sub(r"^TypeError: argument '[^']+': ", "TypeError: argument '<name>': ", text)
                cells.append(legend.setdefault(text, f"E{len(legend) + 1}"))
        print(f"| {name} | " + " | ".join(cells) + " |")
    print()
    for text, mark in legend.items():
        print(f"- {mark}: {text}")


if __name__ == "__main__":
    main()
