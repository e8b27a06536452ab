"""Uses every public name of ratiokit with annotated results: mypy --strict must accept it as
it stands (test_stubs.py). It also runs as a script."""

from __future__ import annotations

from typing import Any, List, NamedTuple, Optional, Tuple

import ratiokit
from ratiokit import _ratiokit


class Pair(NamedTuple):
    a: str
    b: str


def main() -> None:
    version: str = ratiokit.__version__
    one: float = ratiokit.ratio("abcd", "bcde")
    many: List[float] = ratiokit.ratio([("abcd", "bcde"), ("kitten", "sitting")])
    core: float = _ratiokit.ratio(a="a", b="b")
    batch: list[float] = ratiokit.ratio_many([Pair("a", "ab"), ("x", "y")], threads=2)
    lines: float = ratiokit.ratio(["a\n", "b\n"], ("a\n",), autojunk=True)
    raw: float = ratiokit.ratio(b"abc", b"abd")
    streamed: list[float] = ratiokit.ratio_many(zip(["ab", "cd"], ["ab", "ce"]))
    assert (lines, raw, streamed) == (0.6666666666666666, 2 / 3, [1.0, 0.5])

    names = ("parse_header(line)", "parse_headers(lines)", "close()")
    exact: list[tuple[list[int], float]] = ratiokit.cluster_canonicals(names, 0.8, threads=0)
    seen: list[tuple[str, int, int]] = []

    def follow(phase: str, done: int, total: int) -> None:
        seen.append((phase, done, total))

    watched: ratiokit.ProgressCallback = follow
    assert ratiokit.cluster_canonicals(names, 0.8, progress=watched) == exact
    for members, score in exact:
        first: int = members[0]
        low: float = score
    lsh: list[tuple[list[int], float]] = ratiokit.cluster_canonicals_lsh(
        list(names), 0.8, num_perm=64, band_rows=4, threads=1
    )

    docs = [["def", "f"], ("def", "g")]
    pairs: list[tuple[int, int, float]] = ratiokit.cosine_join(docs, 0.1, concurrency="cpu")
    for j, i, cosine in pairs:
        assert j < i and 0.0 <= cosine <= 1.0 + 1e-9

    r = ratiokit.Rationer(concurrency="cpu", threads=2, delta=0.0)
    default_r: ratiokit.Rationer = ratiokit.Rationer()
    r_one: float = r.ratio("abcd", b="bcde")
    r_many: list[float] = r.ratio_many(pairs=[("a", "b")])
    r_clusters: list[tuple[list[int], float]] = r.cluster_canonicals(list(names), threshold=0.8)
    assert r.cluster_canonicals(list(names), 0.8, progress=watched) == r_clusters
    delta: float = r.delta
    mode: str = default_r.concurrency

    joiner = ratiokit.CosineJoiner(docs=docs)
    size: int = len(joiner)
    gpu: bool = joiner.has_gpu
    joined: list[tuple[int, int, float]] = joiner.join(0.1, concurrency="cpu", threads=1)

    fault: type[BaseException] = ratiokit.PanicException
    try:
        ratiokit.ratio("a", "b")
    except ratiokit.PanicException as e:
        message: Tuple[object, ...] = e.args

    junk: float = ratiokit.ratio("abcd", "bcde", autojunk=True)
    found: List[Tuple[str, float, int]] = ratiokit.extract("parse", names, limit=None)
    close: List[str] = ratiokit.get_close_matches("parse", iter(names), n=2, cutoff=0.5)
    prepared = ratiokit.Choices(names, processor=str.lower)
    best: Optional[Tuple[Any, float, Any]] = ratiokit.extract_one("parse", prepared)
    batches: List[List[Tuple[Any, float, Any]]] = ratiokit.extract_many(
        ["parse"], prepared, limit=2, threads=1, progress=lambda phase, done, total: None)
    close_prepared: List[str] = ratiokit.get_close_matches("parse", prepared)
    joined_pairs: List[Tuple[int, int, float]] = ratiokit.ratio_join(names, threshold=0.8)
    cross: List[Tuple[int, int, float]] = ratiokit.ratio_join(names, ["x"], threshold=0.5)
    labels: List[int] = ratiokit.cluster_labels(names, threshold=0.8, method="lsh")
    representatives: List[int] = ratiokit.dedupe(names, threshold=0.8, threads=2)

    print(version, one, many, core, batch, exact, lsh, pairs, r_one, r_many, r_clusters, delta,
          mode, size, gpu, joined, fault, junk, found, close, joined_pairs, cross, labels, best,
          batches, close_prepared, len(prepared), representatives)


if __name__ == "__main__":
    main()
