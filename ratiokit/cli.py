"""The ``ratiokit`` command line: ratios, clustering and cosine joins on files and pipes.

Built on the public Python API only. Exit status: 0 on success, 1 on input errors, 2 on usage
errors.
"""

from __future__ import annotations

import argparse
import fnmatch
import io
import json
import os
import sys
import time
import tokenize
from dataclasses import dataclass
from typing import Iterable, Iterator, List, NoReturn, Optional, Sequence, TextIO

import ratiokit

TEXT_PREVIEW = 60


class InputError(Exception):
    """Bad input: reported as one line naming the file and line, exit status 1."""


@dataclass
class Item:
    ident: str  # what a user can act on: "path:line" or a path
    text: str


def _fail_usage(parser: argparse.ArgumentParser, message: str) -> NoReturn:
    parser.error(message)


# ---------------------------------------------------------------------------------------------
# Reading inputs


def _read_bytes(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory (use --files to read directories)") from None
    except OSError as e:
        raise InputError(f"{path}: {e.strerror or e}") from None


def _decode(data: bytes, name: str, errors: str) -> str:
    try:
        # utf-8-sig: a leading byte-order mark is not part of the first item.
        return data.decode("utf-8-sig", errors=errors)
    except UnicodeDecodeError as e:
        line = bytes(e.object[: e.start]).count(b"\n") + 1
        raise InputError(
            f"{name}:{line}: invalid UTF-8 ({e.reason}); use --errors replace to carry on"
        ) from None


def _display_name(path: str) -> str:
    return "<stdin>" if path == "-" else path


def _walk(paths: Sequence[str], pattern: Optional[str], exclude: Sequence[str] = ()) -> Iterator[str]:
    for path in paths:
        if os.path.isdir(path):
            for root, dirs, files in os.walk(path):
                dirs[:] = sorted(d for d in dirs if not any(fnmatch.fnmatch(d, x) for x in exclude))
                for name in sorted(files):
                    if pattern is None or fnmatch.fnmatch(name, pattern):
                        yield os.path.join(root, name)
        elif path == "-" or os.path.exists(path):
            yield path
        else:
            raise InputError(f"{path}: no such file or directory")


def _lines(text: str) -> List[str]:
    """Splits on newlines only, so that line numbers match what editors and grep show
    (str.splitlines also splits on form feeds, vertical tabs and Unicode separators)."""
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def _check_encodable(value: object, ident: str) -> None:
    """JSON escapes can spell lone surrogates, which the module cannot encode as UTF-8."""
    values = value if isinstance(value, list) else [value]
    for v in values:
        if isinstance(v, str):
            try:
                v.encode("utf-8")
            except UnicodeEncodeError:
                raise InputError(f"{ident}: string holds a lone surrogate (not valid Unicode)") from None


def read_items(args: argparse.Namespace) -> List[Item]:
    """Reads every input as the options say; lines, JSON Lines or whole files."""
    paths = args.inputs or ["-"]
    items: List[Item] = []
    if args.files:
        for path in _walk(paths, args.glob, args.exclude):
            name = _display_name(path)
            items.append(Item(name, _decode(_read_bytes(path), name, args.errors)))
        return items
    for path in paths:
        name = _display_name(path)
        text = _decode(_read_bytes(path), name, args.errors)
        for number, line in enumerate(_lines(text), start=1):
            ident = f"{name}:{number}"
            if args.jsonl:
                if not line.strip():
                    continue
                try:
                    value = json.loads(line)
                except json.JSONDecodeError as e:
                    raise InputError(f"{ident}: invalid JSON ({e.msg})") from None
                _check_encodable(value, ident)
                items.append(Item(ident, value))
            elif line.strip() or args.keep_blank:
                items.append(Item(ident, line))
    return items


def _texts(items: Sequence[Item]) -> List[str]:
    texts = []
    for item in items:
        if not isinstance(item.text, str):
            raise InputError(f"{item.ident}: expected a JSON string, got {type(item.text).__name__}")
        texts.append(item.text)
    return texts


def _python_tokens(item: Item) -> List[str]:
    skip = {tokenize.ENCODING, tokenize.ENDMARKER, tokenize.NEWLINE, tokenize.NL,
            tokenize.INDENT, tokenize.DEDENT}
    try:
        return [
            tok.string
            for tok in tokenize.generate_tokens(io.StringIO(item.text).readline)
            if tok.type not in skip and tok.string.strip()
        ]
    except (tokenize.TokenError, SyntaxError) as e:
        raise InputError(f"{item.ident}: cannot tokenize as Python ({e})") from None


def _documents(items: Sequence[Item], tokens: str) -> List[List[str]]:
    docs = []
    for item in items:
        if isinstance(item.text, list):
            if not all(isinstance(t, str) for t in item.text):
                raise InputError(f"{item.ident}: expected a list of string tokens")
            docs.append(item.text)
        elif not isinstance(item.text, str):
            raise InputError(f"{item.ident}: expected a JSON string or list of tokens")
        elif tokens == "python":
            docs.append(_python_tokens(item))
        else:
            docs.append(item.text.split())
    return docs


# ---------------------------------------------------------------------------------------------
# Writing results


def _preview(text) -> str:
    if not isinstance(text, str):
        text = " ".join(text)
    flat = " ".join(text.split())
    return flat if len(flat) <= TEXT_PREVIEW else flat[: TEXT_PREVIEW - 3] + "..."


def _tsv_field(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


# Machine-readable output carries an item's text only when it is short (a line, not a file).
SHORT_TEXT = 200


def _short(text) -> Optional[str]:
    return text if isinstance(text, str) and len(text) <= SHORT_TEXT else None


def write_clusters(out: TextIO, fmt: str, items: Sequence[Item], clusters) -> None:
    if fmt == "jsonl":
        for k, (members, score) in enumerate(clusters):
            members_out = [{"id": items[m].ident, "text": _short(items[m].text)} for m in members]
            out.write(json.dumps({"cluster": k, "min_ratio": score, "members": members_out}) + "\n")
    elif fmt == "tsv":
        out.write("cluster\tmin_ratio\tid\ttext\n")
        for k, (members, score) in enumerate(clusters):
            for m in members:
                text = _short(items[m].text) or ""
                out.write(f"{k}\t{score!r}\t{_tsv_field(items[m].ident)}\t{_tsv_field(text)}\n")
    else:
        if not clusters:
            out.write("no clusters\n")
        for k, (members, score) in enumerate(clusters):
            out.write(f"cluster {k}: {len(members)} members, min ratio {score:.4f}\n")
            width = max(len(items[m].ident) for m in members)
            for m in members:
                out.write(f"  {items[m].ident:<{width}}  {_preview(items[m].text)}\n")


def write_pairs(out: TextIO, fmt: str, items: Sequence[Item], rows) -> None:
    if fmt == "jsonl":
        for j, i, cos in rows:
            out.write(json.dumps({"a": items[j].ident, "b": items[i].ident, "cosine": cos}) + "\n")
    elif fmt == "tsv":
        out.write("a\tb\tcosine\n")
        for j, i, cos in rows:
            out.write(f"{_tsv_field(items[j].ident)}\t{_tsv_field(items[i].ident)}\t{cos!r}\n")
    else:
        if not rows:
            out.write("no pairs\n")
        for j, i, cos in rows:
            out.write(f"{cos:.4f}  {items[j].ident}  {items[i].ident}\n")


# ---------------------------------------------------------------------------------------------
# Commands


def _threshold(parser: argparse.ArgumentParser, value: float) -> float:
    if not 0.0 <= value <= 1.0:
        _fail_usage(parser, f"--threshold must be between 0 and 1, got {value}")
    return value


def _log(args: argparse.Namespace, message: str) -> None:
    if not args.quiet:
        print(f"ratiokit: {message}", file=sys.stderr)


class _Status:
    """Follows a long call's progress: one updating status line on a terminal, plain lines
    (at most one a second) elsewhere. Each line shows the phase, done/total, the rate and,
    once it can be estimated, the time left in the phase."""

    def __init__(self, out: TextIO, terminal: bool) -> None:
        self.out = out
        self.terminal = terminal
        self.phase = ""
        self.phase_start = self.last_line = time.perf_counter()
        self.drawn = False

    def __call__(self, phase: str, done: int, total: int) -> None:
        now = time.perf_counter()
        if phase != self.phase:
            self.phase, self.phase_start = phase, now
        if not self.terminal and now - self.last_line < 1.0:
            return
        self.last_line = now
        elapsed = now - self.phase_start
        rate = done / elapsed if elapsed > 0 else 0.0
        text = f"{phase}: {done:,}/{total:,}"
        if total:
            text += f" ({100 * done / total:.0f}%)"
        if rate > 0:
            text += f", {rate:,.0f}/s"
            if total >= done:
                text += f", {(total - done) / rate:.0f}s left"
        if self.terminal:
            self.out.write(f"\r\033[Kratiokit: {text}")
            self.drawn = True
        else:
            self.out.write(f"ratiokit: {text}\n")
        self.out.flush()

    def close(self) -> None:
        if self.drawn:
            self.out.write("\r\033[K")
            self.out.flush()


def _status(args: argparse.Namespace) -> Optional[_Status]:
    """A status display where someone can watch it: on a terminal unless --quiet, and as plain
    lines with --progress."""
    terminal = sys.stderr.isatty()
    if args.quiet or not (terminal or args.progress):
        return None
    return _Status(sys.stderr, terminal)


def _watched(args: argparse.Namespace, call):  # type: ignore[no-untyped-def]
    status = _status(args)
    try:
        return call(status)
    finally:
        if status is not None:
            status.close()


def cmd_ratio(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        value = ratiokit.ratio(args.a, args.b)
    except UnicodeEncodeError:
        # Bytes in argv that are not UTF-8 arrive as lone surrogates.
        raise InputError("an argument is not valid UTF-8") from None
    print(repr(value))
    return 0


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
    write_clusters(sys.stdout, args.format, items, clusters)
    _log(args, f"{len(texts)} strings, {len(clusters)} clusters in {elapsed:.2f}s")
    return 0


def cmd_join(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    threshold = _threshold(parser, args.threshold)
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


def _add_input_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("inputs", nargs="*", metavar="INPUT",
                   help="text files (default: standard input; '-' also means standard input)")
    form = p.add_mutually_exclusive_group()
    form.add_argument("--jsonl", action="store_true",
                      help="each line is JSON: a string (or, for join, a list of tokens)")
    form.add_argument("--files", action="store_true",
                      help="each file is one item; directories are walked")
    p.add_argument("--glob", metavar="PATTERN", help="with --files: only file names matching PATTERN")
    p.add_argument("--exclude", metavar="PATTERN", action="append", default=[],
                   help="with --files: skip directories whose name matches PATTERN (repeatable)")
    p.add_argument("--keep-blank", action="store_true", help="keep blank lines as items")
    p.add_argument("--errors", choices=["strict", "replace"], default="strict",
                   help="undecodable bytes: fail (strict) or replace them and carry on")
    p.add_argument("--threads", type=int, default=0, help="worker threads (0 = all cores)")
    p.add_argument("--format", choices=["table", "tsv", "jsonl"],
                   help="output format (default: table on a terminal, tsv otherwise)")
    noise = p.add_mutually_exclusive_group()
    noise.add_argument("--progress", action="store_true", help="progress lines on standard error")
    noise.add_argument("--quiet", action="store_true", help="nothing on standard error but errors")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ratiokit",
        description="Exact difflib ratios, clustering and cosine joins at native speed.",
    )
    parser.add_argument("--version", action="version", version=f"ratiokit {ratiokit.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("ratio", help="the exact difflib ratio of two strings")
    p.add_argument("a")
    p.add_argument("b")
    p.set_defaults(run=cmd_ratio, parser=p)

    p = sub.add_parser("cluster", help="single-linkage clusters of strings at a ratio threshold")
    _add_input_options(p)
    p.add_argument("--threshold", type=float, default=0.8, help="ratio threshold (default 0.8)")
    p.add_argument("--lsh", action="store_true", help="MinHash/LSH candidates (faster, may split)")
    p.add_argument("--num-perm", type=int, default=128, help="with --lsh: hash functions")
    p.add_argument("--band-rows", type=int, default=4, help="with --lsh: rows per band")
    p.set_defaults(run=cmd_cluster, parser=p)

    p = sub.add_parser("join", help="all document pairs whose TF-IDF cosine reaches a threshold")
    _add_input_options(p)
    p.add_argument("--threshold", type=float, default=0.8, help="cosine threshold (default 0.8)")
    p.add_argument("--tokens", choices=["whitespace", "python"], default="whitespace",
                   help="how text is split into tokens (python: Python's own tokenizer)")
    p.set_defaults(run=cmd_join, parser=p)
    return parser


def main(argv: Optional[Iterable[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(None if argv is None else list(argv))
    subparser_errors = args.parser  # usage errors of subcommands exit 2 through argparse as well
    if getattr(args, "glob", None) and not args.files:
        _fail_usage(subparser_errors, "--glob needs --files")
    for name in ("threads", "num_perm", "band_rows"):
        if getattr(args, name, 0) < 0:
            _fail_usage(subparser_errors, f"--{name.replace('_', '-')} must not be negative")
        if getattr(args, name, 0) >= 2**32:
            _fail_usage(subparser_errors, f"--{name.replace('_', '-')} is too large")
    if getattr(args, "lsh", False) and not 1 <= args.band_rows <= args.num_perm:
        # Otherwise there is no band at all, and every string would silently stay alone.
        _fail_usage(subparser_errors, "--band-rows must be between 1 and --num-perm")
    if getattr(args, "format", None) is None and hasattr(args, "format"):
        args.format = "table" if sys.stdout.isatty() else "tsv"
    if getattr(args, "progress", False):
        os.environ["RATIOKIT_PROGRESS"] = "1"
    elif getattr(args, "quiet", False):
        os.environ.pop("RATIOKIT_PROGRESS", None)  # quiet even where the environment set it
    try:
        return args.run(args, args.parser)
    except InputError as e:
        print(f"ratiokit: error: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (for example `| head`); that is not our error.
        try:
            sys.stdout.close()
        except BrokenPipeError:
            pass
        return 0
    except KeyboardInterrupt:
        print("ratiokit: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
