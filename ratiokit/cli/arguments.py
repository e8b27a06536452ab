"""The command line's parser: commands, their options, and the checks argparse cannot make."""

from __future__ import annotations

import argparse
import os
from typing import NoReturn, Optional, Sequence, Tuple

import ratiokit


def _fail_usage(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    parser.error(message)


def _threshold(parser: argparse.ArgumentParser, value: float, name: str = "--threshold") -> float:
    if not 0.0 <= value <= 1.0:
        _fail_usage(parser, f"{name} must be between 0 and 1, got {value}")
    return value


def _cosine_threshold(parser: argparse.ArgumentParser, value: float) -> float:
    # Every pair of documents reaches a cosine of 0, sharing a term or not: at 0 the join would
    # list all n*(n-1)/2 pairs, none of them similar.
    if _threshold(parser, value) == 0.0:
        _fail_usage(parser, "--threshold must be above 0 for join (a zero cosine is not a similarity)")
    return value


class _CommandParser(argparse.ArgumentParser):
    """A command's parser that takes options anywhere among its positional arguments
    (`match QUERY -n 3 FILE`), as most commands do. After `--` everything is positional, as
    the plain parse gives it (the mixed one loses what follows `--` on some Pythons)."""

    _mixing = False

    def parse_known_args(self, args=None, namespace=None):  # type: ignore[no-untyped-def]
        if self._mixing or (args is not None and "--" in args):
            return super().parse_known_args(args, namespace)
        self._mixing = True  # the mixed parse calls back into this method on older Pythons
        try:
            return self.parse_known_intermixed_args(args, namespace)
        finally:
            self._mixing = False


def _add_input_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("inputs", nargs="*", metavar="INPUT",
                   help="text files (default: standard input; '-' also means standard input)")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--jsonl", action="store_true",
                      help="each line is JSON: a string, an object {\"text\": ..., \"id\": ...} "
                           "(id optional), or for join a list of tokens")
    form.add_argument("--files", action="store_true",
                      help="each file is one item; directories are walked")
    p.add_argument("--glob", metavar="PATTERN", action="append",
                   help="with --files: only files matching PATTERN (repeatable: any matches; a "
                        "pattern with '/' matches the path below the directory walked)")
    p.add_argument("--split", choices=["none", "functions"], default="none",
                   help="with --files: 'functions' makes every function and class of a Python "
                        "source an item, identified as path:line:qualified.name")
    p.add_argument("--min-length", type=int, default=0, metavar="N",
                   help="drop items of fewer than N characters")
    p.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                   help="with --files: skip directories whose name matches PATTERN (repeatable)")
    p.add_argument("--keep-blank", action="store_true", help="keep blank lines as items")
    p.add_argument("--errors", choices=["strict", "replace"], default="strict",
                   help="undecodable bytes: fail (strict) or replace them and carry on")
    p.add_argument("--threads", type=int, default=0, help="worker threads (0 = all cores)")
    p.add_argument("--format", choices=["table", "tsv", "jsonl"],
                   help="output format (default: table on a terminal, tsv otherwise)")
    noise = p.add_mutually_exclusive_group()
    noise.add_argument("--progress", action="store_true",
                       help="show progress on standard error: a status line on a terminal, "
                            "plain lines elsewhere (RATIOKIT_PROGRESS, where set, gives the "
                            "library's lines instead)")
    noise.add_argument("--quiet", action="store_true",
                       help="nothing on standard error but errors (not even the library's "
                            "lines where RATIOKIT_PROGRESS is set)")
    noise.add_argument("--verbose", action="store_true",
                       help="also name each entry a directory walk skips")


def build_parser() -> argparse.ArgumentParser:
    # The commands use this module's checks, so they are imported once it is loaded.
    from .grouping import cmd_cluster, cmd_dedupe
    from .join import cmd_join
    from .lookup import cmd_match, cmd_pairs
    from .ratio import cmd_ratio

    parser = argparse.ArgumentParser(
        prog="ratiokit",
        description="Exact difflib ratios, clustering and cosine joins at native speed.",
    )
    parser.add_argument("--version", action="version", version=f"ratiokit {ratiokit.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_CommandParser)
    defaults = argparse.ArgumentDefaultsHelpFormatter

    p = sub.add_parser("ratio", help="the exact difflib ratio of two strings")
    p.add_argument("a")
    p.add_argument("b")
    p.add_argument("--lines", action="store_true",
                   help="A and B are files ('-': standard input): the ratio of their lists of "
                        "lines, as difflib compares f1.readlines() with f2.readlines()")
    p.set_defaults(run=cmd_ratio, parser=p)

    p = sub.add_parser("cluster", help="single-linkage clusters of strings at a ratio threshold",
                       formatter_class=defaults)
    _add_input_options(p)
    p.add_argument("--threshold", type=float, default=0.8, help="ratio threshold")
    p.add_argument("--lsh", action="store_true", help="MinHash/LSH candidates (faster, may split)")
    p.add_argument("--num-perm", type=int, default=None, help="with --lsh: hash functions (128)")
    p.add_argument("--band-rows", type=int, default=None, help="with --lsh: rows per band (4)")
    p.set_defaults(run=cmd_cluster, parser=p)

    p = sub.add_parser("match", help="the best matches for a query among the items",
                       formatter_class=defaults)
    p.add_argument("query", metavar="QUERY", help="the text to match; scores are ratio(item, QUERY)")
    _add_input_options(p)
    p.add_argument("-n", type=int, default=5, help="how many matches at most")
    p.add_argument("--cutoff", type=float, default=0.6, help="lowest score shown")
    p.set_defaults(run=cmd_match, parser=p)

    p = sub.add_parser("pairs", help="every pair of items whose ratio reaches a threshold",
                       formatter_class=defaults)
    _add_input_options(p)
    p.add_argument("--against", nargs="+", metavar="INPUT",
                   help="pair the items with these inputs' items instead of with each other")
    p.add_argument("--threshold", type=float, required=True, help="ratio threshold")
    p.set_defaults(run=cmd_pairs, parser=p)

    p = sub.add_parser("dedupe", help="the items left when near-duplicates are dropped, in order",
                       formatter_class=defaults,
                       description="Keeps an item unless an earlier kept item reaches the "
                                   "threshold with it (ratio(kept, item)); prints the kept "
                                   "lines in input order (for --files, the kept paths; with "
                                   "--format, identifiers and texts).")
    _add_input_options(p)
    p.add_argument("--threshold", type=float, default=0.9, help="ratio threshold")
    p.add_argument("--show", action="store_true",
                   help="print each dropped item beside the kept item it duplicates, with their "
                        "ratio, instead of the kept items")
    p.set_defaults(run=cmd_dedupe, parser=p, format="lines")

    p = sub.add_parser("join", help="all document pairs whose TF-IDF cosine reaches a threshold",
                       formatter_class=defaults)
    _add_input_options(p)
    p.add_argument("--threshold", type=float, default=0.8, help="cosine threshold")
    p.add_argument("--tokens", choices=["whitespace", "python"], default="whitespace",
                   help="how text is split into tokens (python: Python's own tokenizer)")
    p.set_defaults(run=cmd_join, parser=p)
    return parser


def _expanded_pattern(argv: Sequence[str]) -> Optional[Tuple[str, str]]:
    """A --glob value the shell seems to have expanded: an unquoted `--glob *.py` arrives as
    `--glob a.py c.py`, and c.py would be read as an input besides the walk."""
    for k in range(len(argv) - 2):
        value, after = argv[k + 1], argv[k + 2]
        if (argv[k] == "--glob" and not any(c in value for c in "*?[")
                and not after.startswith("-") and os.path.lexists(value)
                and os.path.lexists(after) and not os.path.isdir(after)):
            return value, after
    return None
