"""Reading the items a command works on: lines, JSON lines or whole files (walked
directories, optionally split into Python functions), and the texts or token documents made
from them."""

from __future__ import annotations

import ast
import errno
import fnmatch
import io
import json
import os
import stat
import sys
import tokenize
import argparse
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional, Sequence, Tuple, Union

from .status import _log


class InputError(Exception):
    """Bad input: reported as one line naming the file and line, exit status 1."""


@dataclass
class Item:
    ident: str  # what a user can act on: "path:line" or a path
    text: str


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
