"""The commands that group near-duplicates: cluster and dedupe."""

from __future__ import annotations

import argparse
import sys
import time

import ratiokit

from .arguments import _threshold
from .formats import write_clusters, write_kept, write_ratio_pairs
from .inputs import _texts, read_items
from .status import _log, _watched


def cmd_cluster(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    threshold = _threshold(parser, args.threshold)
    items = read_items(args)
    texts = _texts(items)
    start = time.perf_counter()
    if args.lsh:
        clusters = _watched(args, lambda status: ratiokit.cluster_canonicals_lsh(
            texts, threshold, args.num_perm, args.band_rows, args.threads, progress=status
        ))
    else:
        clusters = _watched(args, lambda status: ratiokit.cluster_canonicals(
            texts, threshold, args.threads, progress=status
        ))
    elapsed = time.perf_counter() - start
    clusters.sort(key=lambda c: -len(c[0]))  # largest first; stable, so ties keep their order
    write_clusters(sys.stdout, args.format, items, clusters)
    _log(args, f"{len(texts)} strings, {len(clusters)} clusters in {elapsed:.2f}s")
    return 0


def cmd_dedupe(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    threshold = _threshold(parser, args.threshold)
    items = read_items(args)
    texts = _texts(items)
    start = time.perf_counter()
    labels = _watched(args, lambda status: ratiokit.dedupe(
        texts, threshold=threshold, threads=args.threads, progress=status
    ))
    elapsed = time.perf_counter() - start
    kept = [i for i, label in enumerate(labels) if label == i]
    fmt = args.format
    if args.show:
        if fmt == "lines":
            fmt = "table" if sys.stdout.isatty() else "tsv"
        dropped = [i for i, label in enumerate(labels) if label != i]
        ratios = ratiokit.ratio_many([(texts[labels[i]], texts[i]) for i in dropped],
                                     args.threads)
        # Dropped rows in input order, each beside the kept row it duplicates.
        write_ratio_pairs(sys.stdout, fmt, items, items,
                          [(i, labels[i], r) for i, r in zip(dropped, ratios)],
                          names=("dropped", "kept"), empty="nothing dropped")
    else:
        if fmt == "lines" and args.jsonl:
            fmt = "jsonl"
        write_kept(sys.stdout, fmt, items, kept, args.files)
    _log(args, f"{len(texts)} items, {len(kept)} kept, {len(texts) - len(kept)} dropped "
               f"in {elapsed:.2f}s")
    return 0
