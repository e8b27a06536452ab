"""The ``ratiokit`` command line: ratios, clustering and cosine joins on files and pipes.

Built on the public Python API only. Exit status: 0 on success, 1 on input errors, 2 on usage
errors.
"""

from __future__ import annotations

import argparse
import ast
import errno
import fnmatch
import io
import json
import os
import stat
import sys
import time
import tokenize
from dataclasses import dataclass
from typing import (Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, TextIO,
                    Tuple, Union)

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


def _os_error(path: str, error: OSError) -> str:
    """What went wrong with a path, in words that tell a broken symlink from a missing file."""
    if error.errno == errno.ELOOP:
        return f"{path}: symlink loop ({error.strerror})"
    if isinstance(error, FileNotFoundError):
        if path != "-" and os.path.islink(path):
            return f"{path}: dangling symlink (its target does not exist)"
        return f"{path}: no such file"
    if isinstance(error, IsADirectoryError):
        return f"{path}: is a directory (use --files to read directories)"
    return f"{path}: {error.strerror or error}"


def _read_bytes(path: str) -> bytes:
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise InputError(_os_error(path, e)) from None


def _read_walked(path: str) -> Union[bytes, Tuple[str, str]]:
    """The bytes of a file a walk found, or (why it is skipped, the system's words). A walk must
    not block on a FIFO, wait on a socket, read a device forever, nor stop at one entry it
    cannot read."""
    try:
        # Checked before opening (a socket cannot even be opened, and opening a device can have
        # effects) and again on the open file, so that nothing swapped in after the check gets
        # read; non-blocking, so that opening a FIFO does not wait for a writer.
        if not stat.S_ISREG(os.stat(path).st_mode):
            return "not a regular file", ""
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0))
        with open(fd, "rb") as f:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return "not a regular file", ""
            os.set_blocking(fd, True)
            return f.read()
    except OSError as e:
        reason = _skip_reason(path, e, "file")
        return reason, (e.strerror or str(e)) if reason.startswith("unreadable") else ""


def _skip_reason(path: str, error: OSError, kind: str) -> str:
    if error.errno == errno.ELOOP:
        return "symlink loop"
    if isinstance(error, FileNotFoundError) and os.path.islink(path):
        return "dangling symlink"
    return f"unreadable {kind}"


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
    """Paths under the current directory are shown relative to it, others as given."""
    if path == "-":
        return "<stdin>"
    try:
        rel = os.path.relpath(path)
    except ValueError:  # another drive on Windows
        return path
    return path if rel == os.pardir or rel.startswith(os.pardir + os.sep) else rel


def _glob_match(patterns: Sequence[str], name: str, rel: str) -> bool:
    """Any pattern matches: one with a '/' against the path relative to the walked directory,
    others against the file name."""
    if not patterns:
        return True
    rel = rel.replace(os.sep, "/")
    return any(fnmatch.fnmatch(rel if "/" in p else name, p) for p in patterns)


class _Skipped:
    """What a directory walk passes over: named as it goes under --verbose, counted by reason
    in one closing line otherwise."""

    PLURALS = {"not a regular file": "not regular files", "directory symlink": "directory symlinks",
               "unreadable directory": "unreadable directories"}

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        self.counts: Dict[str, int] = {}

    def add(self, path: str, reason: str, detail: str = "") -> None:
        self.counts[reason] = self.counts.get(reason, 0) + 1
        if self.args.verbose:
            _log(self.args, f"skipped {_display_name(path)}: {reason}"
                            + (f" ({detail})" if detail else ""))

    def close(self) -> None:
        total = sum(self.counts.values())
        if not total:
            return
        parts = [f"{n} {reason if n == 1 else self.PLURALS.get(reason, reason + 's')}"
                 for reason, n in sorted(self.counts.items())]
        hint = "" if self.args.verbose else " (--verbose names them)"
        _log(self.args, f"skipped {total} {'entry' if total == 1 else 'entries'}: "
                        f"{', '.join(parts)}{hint}")


def _walk(
    paths: Sequence[str], patterns: Sequence[str], exclude: Sequence[str], skipped: _Skipped
) -> Iterator[Tuple[str, bool]]:
    """(path, found by walking a directory) for every input. Paths named on the command line
    are read whatever they are (a FIFO there is the user's choice, as with `<(...)`), and one
    that cannot be read is an error; what a walk finds and cannot read is skipped."""
    for path in paths:
        if path != "-" and os.path.isdir(path):
            def unreadable(error: OSError, top: str = path) -> None:
                if error.filename == top:
                    raise InputError(f"{top}: cannot read the directory "
                                     f"({error.strerror or error})")
                skipped.add(error.filename, "unreadable directory", error.strerror or "")

            for root, dirs, files in os.walk(path, onerror=unreadable):
                kept = []
                for d in sorted(dirs):
                    if any(fnmatch.fnmatch(d, x) for x in exclude):
                        continue
                    if os.path.islink(os.path.join(root, d)):
                        # Not followed: a link can lead back up the tree or out of it.
                        skipped.add(os.path.join(root, d), "directory symlink", "not followed")
                        continue
                    kept.append(d)
                dirs[:] = kept
                for name in sorted(files):
                    full = os.path.join(root, name)
                    if _glob_match(patterns, name, os.path.relpath(full, path)):
                        yield full, True
        elif path == "-":
            yield path, False
        else:
            try:
                os.stat(path)
            except OSError as e:
                if isinstance(e, FileNotFoundError) and not os.path.islink(path):
                    raise InputError(f"{path}: no such file or directory") from None
                raise InputError(_os_error(path, e)) from None
            yield path, False


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


def _python_units(item: Item) -> List[Item]:
    """Every function and class of a Python source, identified as path:line:qualified.name; the
    text runs from its first decorator to its last line."""
    try:
        tree = ast.parse(item.text)
    except (SyntaxError, ValueError) as e:
        raise InputError(f"{item.ident}: cannot parse as Python ({e})") from None
    except (RecursionError, MemoryError):
        # The parser's own stack, not the machine's memory, runs out on deep nesting.
        raise InputError(f"{item.ident}: cannot parse as Python (nested too deeply)") from None
    lines = item.text.split("\n")
    units: List[Item] = []

    # A stack rather than recursion: the tree of a deeply nested expression that the parser
    # accepts is deeper than the interpreter's recursion limit.
    stack: List[Tuple[ast.AST, str]] = [(tree, "")]
    while stack:
        node, prefix = stack.pop()
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                name = prefix + child.name
                first = min([child.lineno] + [d.lineno for d in child.decorator_list])
                last = getattr(child, "end_lineno", None) or child.lineno
                text = "\n".join(lines[first - 1:last])
                units.append(Item(f"{item.ident}:{child.lineno}:{name}", text))
                stack.append((child, name + "."))
            else:
                stack.append((child, prefix))
    units.sort(key=lambda u: int(u.ident.rsplit(":", 2)[1]))
    return units


def _json_item(value: object, ident: str) -> Item:
    """A JSON Lines value: a string, a list of tokens, or an object {"text": ..., "id": ...}."""
    if isinstance(value, dict):
        if "text" not in value:
            raise InputError(f"{ident}: a JSON object needs a \"text\" field")
        if value.get("id") is not None:
            given = value["id"] if isinstance(value["id"], str) else json.dumps(value["id"])
            _check_encodable(given, f"{ident}: the id")
            ident = given
        value = value["text"]
    _check_encodable(value, ident)
    return Item(ident, value)  # type: ignore[arg-type]


def _json_line(line: str, ident: str) -> Item:
    try:
        return _json_item(json.loads(line), ident)
    except json.JSONDecodeError as e:
        raise InputError(f"{ident}: invalid JSON ({e.msg})") from None
    except RecursionError:
        raise InputError(f"{ident}: JSON nested too deeply") from None
    except ValueError as e:  # an integer of more digits than Python converts, and the like
        raise InputError(f"{ident}: invalid JSON ({e})") from None


def read_items(args: argparse.Namespace, paths: Optional[Sequence[str]] = None) -> List[Item]:
    """Reads every input as the options say; lines, JSON Lines, whole files or their functions."""
    paths = paths or args.inputs or ["-"]
    items: List[Item] = []
    split = getattr(args, "split", "none")
    if args.files:
        skipped = _Skipped(args)
        for path, walked in _walk(paths, args.glob or [], args.exclude, skipped):
            if split == "functions" and not path.endswith((".py", ".pyw")):
                continue
            name = _display_name(path)
            data = _read_walked(path) if walked else _read_bytes(path)
            if isinstance(data, tuple):
                skipped.add(path, *data)
                continue
            item = Item(name, _decode(data, name, args.errors))
            items.extend(_python_units(item) if split == "functions" else [item])
        skipped.close()
        return _long_enough(args, items)
    for path in paths:
        name = _display_name(path)
        text = _decode(_read_bytes(path), name, args.errors)
        for number, line in enumerate(_lines(text), start=1):
            ident = f"{name}:{number}"
            if args.jsonl:
                if not line.strip():
                    continue
                items.append(_json_line(line, ident))
            elif line.strip() or args.keep_blank:
                items.append(Item(ident, line))
    return _long_enough(args, items)


def _long_enough(args: argparse.Namespace, items: List[Item]) -> List[Item]:
    minimum = getattr(args, "min_length", 0) or 0
    if minimum <= 0:
        return items
    return [item for item in items if not isinstance(item.text, str) or len(item.text) >= minimum]


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


# Control characters (C0, DEL, C1) and the Unicode line and paragraph separators in a name
# would break a line of the table or drive the terminal: written escaped, tabs and newlines as
# TSV writes them.
_CONTROLS = {c: f"\\x{c:02x}" for c in list(range(0x20)) + list(range(0x7F, 0xA0))}
_CONTROLS.update({ord("\t"): "\\t", ord("\n"): "\\n", ord("\r"): "\\r",
                  0x2028: "\\u2028", 0x2029: "\\u2029"})


def _printable(text: str) -> str:
    return text.translate(_CONTROLS)


def _preview(text) -> str:
    if not isinstance(text, str):
        text = " ".join(text)
    flat = " ".join(text.split())
    return _printable(flat if len(flat) <= TEXT_PREVIEW else flat[: TEXT_PREVIEW - 3] + "...")


def _tsv_field(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


# Machine-readable output carries an item's text only when it is short (a line, not a file).
SHORT_TEXT = 200


def _short(text) -> Optional[str]:
    return text if isinstance(text, str) and len(text) <= SHORT_TEXT else None


def _tsv_text(text) -> str:
    """A short text escaped, or \\N where a long one is left out (an empty text stays empty;
    a text spelling a backslash and N is escaped to two backslashes and N)."""
    short = _short(text)
    return "\\N" if short is None else _tsv_field(short)


def write_clusters(out: TextIO, fmt: str, items: Sequence[Item], clusters) -> None:
    if fmt == "jsonl":
        for k, (members, score) in enumerate(clusters):
            members_out = [{"id": items[m].ident, "text": _short(items[m].text)} for m in members]
            out.write(json.dumps({"cluster": k, "min_ratio": score, "members": members_out}) + "\n")
    elif fmt == "tsv":
        out.write("cluster\tmin_ratio\tid\ttext\n")
        for k, (members, score) in enumerate(clusters):
            for m in members:
                text = _tsv_text(items[m].text)
                out.write(f"{k}\t{score!r}\t{_tsv_field(items[m].ident)}\t{text}\n")
    else:
        if not clusters:
            out.write("no clusters\n")
        for k, (members, score) in enumerate(clusters):
            out.write(f"cluster {k}: {len(members)} members, min ratio {score:.4f}\n")
            names = [_printable(items[m].ident) for m in members]
            width = max(len(name) for name in names)
            for m, name in zip(members, names):
                out.write(f"  {name:<{width}}  {_preview(items[m].text)}\n")


def write_pairs(out: TextIO, fmt: str, items: Sequence[Item], rows) -> None:
    if fmt == "jsonl":
        for j, i, cos in rows:
            out.write(json.dumps({"a": items[j].ident, "b": items[i].ident, "cosine": cos,
                                  "a_text": _short(items[j].text),
                                  "b_text": _short(items[i].text)}) + "\n")
    elif fmt == "tsv":
        out.write("a\tb\tcosine\n")
        for j, i, cos in rows:
            out.write(f"{_tsv_field(items[j].ident)}\t{_tsv_field(items[i].ident)}\t{cos!r}\n")
    else:
        if not rows:
            out.write("no pairs\n")
        for j, i, cos in rows:
            out.write(f"{cos:.4f}  {_printable(items[j].ident)}  {_printable(items[i].ident)}\n")
            out.write(f"        {_preview(items[j].text)}\n        {_preview(items[i].text)}\n")


# ---------------------------------------------------------------------------------------------
# Commands


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


def _log(args: argparse.Namespace, message: str) -> None:
    if not args.quiet:
        print(f"ratiokit: {_printable(message)}", file=sys.stderr)


class _Status:
    """Follows a long call's progress: one updating status line on a terminal, plain lines
    elsewhere (the first of each phase, then at most one a second). Each line shows the phase,
    done/total, the rate and, once it can be estimated, the time left in the phase."""

    def __init__(self, out: TextIO, terminal: bool) -> None:
        self.out = out
        self.terminal = terminal
        self.phase = ""
        self.phase_start = self.last_line = time.perf_counter()
        self.drawn = False

    def __call__(self, phase: str, done: int, total: int) -> None:
        if not phase:  # nothing to show before the first named phase
            return
        now = time.perf_counter()
        new_phase = phase != self.phase
        if new_phase:
            self.phase, self.phase_start = phase, now
        if not self.terminal and not new_phase and now - self.last_line < 1.0:
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
    """The status display, only with --progress. Where RATIOKIT_PROGRESS is set the library
    writes its own progress lines, which are then the only ones: one format, never two."""
    if not args.progress or "RATIOKIT_PROGRESS" in os.environ:
        return None
    return _Status(sys.stderr, sys.stderr.isatty())


def _watched(args: argparse.Namespace, call):  # type: ignore[no-untyped-def]
    status = _status(args)
    try:
        return call(status)
    finally:
        if status is not None:
            status.close()


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


def write_matches(out: TextIO, fmt: str, items: Sequence[Item], rows) -> None:
    if fmt == "jsonl":
        for _, score, k in rows:
            out.write(json.dumps({"id": items[k].ident, "score": score,
                                  "text": _short(items[k].text)}) + "\n")
    elif fmt == "tsv":
        out.write("score\tid\ttext\n")
        for _, score, k in rows:
            out.write(f"{score!r}\t{_tsv_field(items[k].ident)}\t{_tsv_text(items[k].text)}\n")
    else:
        if not rows:
            out.write("no matches\n")
        width = max((len(_printable(items[k].ident)) for _, _, k in rows), default=0)
        for _, score, k in rows:
            out.write(f"{score:.4f}  {_printable(items[k].ident):<{width}}  "
                      f"{_preview(items[k].text)}\n")


def write_ratio_pairs(out: TextIO, fmt: str, left: Sequence[Item], right: Sequence[Item],
                      rows, names: Tuple[str, str] = ("a", "b"),
                      empty: str = "no pairs") -> None:
    """(i, j, ratio) rows of left[i] against right[j], the columns named by `names`."""
    a, b = names
    if fmt == "jsonl":
        for i, j, r in rows:
            out.write(json.dumps({a: left[i].ident, b: right[j].ident, "ratio": r,
                                  f"{a}_text": _short(left[i].text),
                                  f"{b}_text": _short(right[j].text)}) + "\n")
    elif fmt == "tsv":
        out.write(f"{a}\t{b}\tratio\t{a}_text\t{b}_text\n")
        for i, j, r in rows:
            out.write(f"{_tsv_field(left[i].ident)}\t{_tsv_field(right[j].ident)}\t{r!r}\t"
                      f"{_tsv_text(left[i].text)}\t{_tsv_text(right[j].text)}\n")
    else:
        if not rows:
            out.write(empty + "\n")
        for i, j, r in rows:
            out.write(f"{r:.4f}  {_printable(left[i].ident)}  {_printable(right[j].ident)}\n")
            out.write(f"        {_preview(left[i].text)}\n        {_preview(right[j].text)}\n")


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


def write_kept(out: TextIO, fmt: str, items: Sequence[Item], kept: Sequence[int],
               files: bool) -> None:
    if fmt == "lines":
        # The kept lines themselves, so that `ratiokit dedupe in.txt > out.txt` is the file
        # deduplicated; whole files are named instead.
        for k in kept:
            out.write((items[k].ident if files else items[k].text) + "\n")
    elif fmt == "jsonl":
        for k in kept:
            out.write(json.dumps({"id": items[k].ident, "text": _short(items[k].text)}) + "\n")
    elif fmt == "tsv":
        out.write("id\ttext\n")
        for k in kept:
            out.write(f"{_tsv_field(items[k].ident)}\t{_tsv_text(items[k].text)}\n")
    else:
        width = max((len(_printable(items[k].ident)) for k in kept), default=0)
        for k in kept:
            out.write(f"{_printable(items[k].ident):<{width}}  {_preview(items[k].text)}\n")


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
                       help="nothing on standard error but errors (and the library's lines "
                            "where RATIOKIT_PROGRESS is set)")
    noise.add_argument("--verbose", action="store_true",
                       help="also name each entry a directory walk skips")


def build_parser() -> argparse.ArgumentParser:
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


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
