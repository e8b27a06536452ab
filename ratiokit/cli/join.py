"""The join command: document pairs by TF-IDF cosine."""

from __future__ import annotations

import argparse
import sys
import time

import ratiokit

from .arguments import _cosine_threshold
from .formats import write_pairs
from .inputs import _documents, read_items
from .status import _log, _watched


def cmd_join(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    threshold = _cosine_threshold(parser, args.threshold)
    items = read_items(args)
    docs = _documents(items, args.tokens)
    start = time.perf_counter()
    rows = _watched(args, lambda status: ratiokit.cosine_join(
        docs, threshold, "cpu", args.threads, progress=status
    ))
    elapsed = time.perf_counter() - start
    write_pairs(sys.stdout, args.format, items, rows)
    _log(args, f"{len(docs)} documents, {len(rows)} pairs in {elapsed:.2f}s")
    return 0
