"""The ratio command: one exact ratio of two strings."""

from __future__ import annotations

import argparse

import ratiokit

from .inputs import InputError


def cmd_ratio(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        value = ratiokit.ratio(args.a, args.b)
    except UnicodeEncodeError:
        # Bytes in argv that are not UTF-8 arrive as lone surrogates.
        raise InputError("an argument is not valid UTF-8") from None
    print(repr(value))
    return 0
