"""The ``ratiokit`` command line: ratios, clustering and cosine joins on files and pipes.

Built on the public Python API only. Exit status: 0 on success, 1 on input errors, 2 on usage
errors.

One module per job: ``inputs`` reads items, ``formats`` writes results, ``status`` reports on
standard error, ``arguments`` builds the parser, and the commands come by family: ``ratio``,
``grouping`` (cluster, dedupe), ``lookup`` (match, pairs) and ``join``.
"""

from __future__ import annotations

import sys
from typing import Iterable, Optional

from .. import _ratiokit
from .arguments import _expanded_pattern, _fail_usage, build_parser
from .formats import _printable
from .inputs import InputError
from .status import _Status  # noqa: F401 - reached as ratiokit.cli._Status by tests

__all__ = ["main"]


def _safe_output() -> None:
    """Names of files that are not valid UTF-8 reach Python as lone surrogates, and a strict
    stream cannot write them (nor, on a narrower encoding, much else): escape them instead of
    failing half-way through the output."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None and getattr(stream, "errors", None) == "strict":
            try:
                reconfigure(errors="backslashreplace")
            except (ValueError, OSError):  # pragma: no cover - a stream that cannot change
                pass


def main(argv: Optional[Iterable[str]] = None) -> int:
    _safe_output()
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    args, extra = parser.parse_known_args(argv)
    subparser_errors = args.parser  # usage errors of subcommands exit 2 through argparse as well
    if extra:
        _fail_usage(subparser_errors, f"unrecognized arguments: {' '.join(extra)}")
    expanded = _expanded_pattern(argv)
    if expanded:
        _fail_usage(subparser_errors, f"--glob {expanded[0]} is followed by {expanded[1]}: if the "
                                      "shell expanded an unquoted pattern into these files, quote "
                                      "it (--glob '*.py')")
    if getattr(args, "glob", None) and not args.files:
        _fail_usage(subparser_errors, "--glob needs --files")
    if getattr(args, "split", "none") != "none" and not args.files:
        _fail_usage(subparser_errors, "--split needs --files")
    if hasattr(args, "lsh"):
        if not args.lsh and (args.num_perm is not None or args.band_rows is not None):
            _fail_usage(subparser_errors, "--num-perm and --band-rows need --lsh")
        args.num_perm = 128 if args.num_perm is None else args.num_perm
        args.band_rows = 4 if args.band_rows is None else args.band_rows
    for name in ("threads", "num_perm", "band_rows", "min_length"):
        if getattr(args, name, 0) < 0:
            _fail_usage(subparser_errors, f"--{name.replace('_', '-')} must not be negative")
        if getattr(args, name, 0) >= 2**32:
            _fail_usage(subparser_errors, f"--{name.replace('_', '-')} is too large")
    if getattr(args, "lsh", False) and not 1 <= args.band_rows <= args.num_perm:
        # Otherwise there is no band at all, and every string would silently stay alone.
        _fail_usage(subparser_errors, "--band-rows must be between 1 and --num-perm")
    if getattr(args, "format", None) is None and hasattr(args, "format"):
        args.format = "table" if sys.stdout.isatty() else "tsv"
    # --quiet silences the library's RATIOKIT_PROGRESS lines for this command only.
    quiet = getattr(args, "quiet", False)
    lines = _ratiokit._progress_lines(False) if quiet else None
    try:
        status = args.run(args, args.parser)
        # Inside the handlers below, so that a failed write of buffered output is reported too.
        sys.stdout.flush()
        return status
    except InputError as e:
        print(f"ratiokit: error: {_printable(str(e))}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (for example `| head`); that is not our error.
        try:
            sys.stdout.close()
        except BrokenPipeError:
            pass
        return 0
    except MemoryError:
        print("ratiokit: error: out of memory", file=sys.stderr)
        return 1
    except OSError as e:
        # Writing the output failed (a full disk, a closed terminal): say so in one line.
        print(f"ratiokit: error: {e.strerror or e}", file=sys.stderr)
        return 1
    except ValueError as e:
        # The module's limits (a text or a list longer than it supports) and the like.
        print(f"ratiokit: error: {_printable(str(e))}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("ratiokit: interrupted", file=sys.stderr)
        return 130
    finally:
        if quiet:
            _ratiokit._progress_lines(lines)
