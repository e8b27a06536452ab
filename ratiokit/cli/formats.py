"""Writing results: the table, TSV and JSON-lines forms of clusters, pairs, matches and
kept items, with names and texts escaped so that a line stays a line."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Optional, Sequence, TextIO, Tuple

if TYPE_CHECKING:  # inputs reports through status, which writes through this module
    from .inputs import Item

TEXT_PREVIEW = 60


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
