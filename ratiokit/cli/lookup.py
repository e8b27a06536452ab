"""The commands that look items up by ratio: match (the best for a query) and pairs (every
pair at a threshold)."""

from __future__ import annotations

import argparse
import sys
import time

import ratiokit

from .arguments import _fail_usage, _threshold
from .formats import write_matches, write_ratio_pairs
from .inputs import InputError, _texts, read_items
from .status import _log, _watched


def cmd_match(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    cutoff = _threshold(parser, args.cutoff, "--cutoff")
    if args.n < 1:
        _fail_usage(parser, "-n must be at least 1")
    items = read_items(args)
    texts = _texts(items)
    try:
        rows = ratiokit.extract(args.query, texts, limit=args.n, score_cutoff=cutoff,
                                threads=args.threads)
    except UnicodeEncodeError:
        raise InputError("the query is not valid UTF-8") from None
    write_matches(sys.stdout, args.format, items, rows)
    _log(args, f"{len(texts)} items, {len(rows)} matches")
    return 0


def cmd_pairs(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    threshold = _threshold(parser, args.threshold)
    left = read_items(args)
    right = read_items(args, args.against) if args.against else None
    start = time.perf_counter()
    rows = _watched(args, lambda status: ratiokit.ratio_join(
        _texts(left), None if right is None else _texts(right), threshold=threshold,
        threads=args.threads, progress=status
    ))
    elapsed = time.perf_counter() - start
    write_ratio_pairs(sys.stdout, args.format, left, left if right is None else right, rows)
    _log(args, f"{len(left)} items, {len(rows)} pairs in {elapsed:.2f}s")
    return 0
