"""The ratio command: one exact ratio of two strings, or of two files' lists of lines."""

from __future__ import annotations

import argparse
import io
from typing import List

import ratiokit

from .inputs import InputError, _read_bytes


def lines_of(path: str) -> List[str]:
    """A file's lines as ``open(path).readlines()`` gives them (newlines kept, ``\\r\\n`` and
    ``\\r`` read as ``\\n``); bytes that are not UTF-8 stay distinct (surrogate escapes)."""
    text = _read_bytes(path).decode("utf-8", "surrogateescape")
    return io.StringIO(text, newline=None).readlines()


def cmd_ratio(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.lines:
        print(repr(ratiokit.ratio(lines_of(args.a), lines_of(args.b))))
        return 0
    try:
        value = ratiokit.ratio(args.a, args.b)
    except UnicodeEncodeError:
        # Bytes in argv that are not UTF-8 arrive as lone surrogates.
        raise InputError("an argument is not valid UTF-8") from None
    print(repr(value))
    return 0
