"""dedupe against the rule it promises (brute force over difflib), its guarantee on random data,
the shapes of its output, and cluster_labels' answers when its input changes during the call."""

from __future__ import annotations

import difflib
import json
import os
import random
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ratiokit


def ratio(a, b):
    return difflib.SequenceMatcher(None, a, b, autojunk=False).ratio()


def reaches(a, b, threshold):
    # difflib's own upper bounds first, as its get_close_matches does: exact, and much faster.
    m = difflib.SequenceMatcher(None, a, b, autojunk=False)
    return (m.real_quick_ratio() >= threshold and m.quick_ratio() >= threshold
            and m.ratio() >= threshold)


def oracle(strings, threshold):
    """The rule, row by row: the first kept row reaching this one, else the row itself."""
    kept, labels = [], []
    for i, s in enumerate(strings):
        label = next((k for k in kept if reaches(strings[k], s, threshold)), i)
        if label == i:
            kept.append(i)
        labels.append(label)
    return labels


def near_copies(rng, count, alphabet="abcdefgh", bases=8, edits=4):
    """Edited copies of a few bases: exact copies, near-duplicates and chains of edits."""
    roots = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 24))) for _ in range(bases)]
    out = []
    while len(out) < count:
        s = list(rng.choice(roots))
        for _ in range(rng.randint(0, edits)):
            at = rng.randint(0, len(s))
            if rng.random() < 0.5 or not s:
                s.insert(at, rng.choice(alphabet))
            else:
                del s[min(at, len(s) - 1)]
            out.append("".join(s))  # every step of the chain is a row
    return out[:count]


class TestAgainstTheRule:
    @pytest.mark.parametrize("threshold", [0.0, 0.5, 0.8, 1.0])
    def test_mixed_rows(self, threshold):
        rng = random.Random(21)
        strings = near_copies(rng, 400) + ["", "", "é", "éèê", "éèë", "日本語のテキスト", "日本語のテキスト!"]
        rng.shuffle(strings)
        assert ratiokit.dedupe(strings, threshold=threshold) == oracle(strings, threshold)

    def test_many_blocks(self):
        # Past the first block: rows meet kept rows of earlier blocks and of their own.
        strings = near_copies(random.Random(3), 2000, alphabet="abcdefghij", bases=200, edits=6)
        for threshold in (0.6, 0.9):
            assert ratiokit.dedupe(strings, threshold=threshold) == oracle(strings, threshold)

    def test_chains_stay_apart(self):
        # Each row reaches the next one only: single linkage makes one cluster of all of them,
        # dedupe keeps every other row and drops each of the rest next to its own neighbour.
        strings = ["aaaaaaaaaa", "aaaaaabbbb", "aabbbbbbbb", "bbbbbbbbbb"]
        assert ratiokit.cluster_labels(strings, threshold=0.6) == [0, 0, 0, 0]
        assert ratiokit.dedupe(strings, threshold=0.6) == [0, 0, 2, 2] == oracle(strings, 0.6)

    def test_orientation_is_kept_row_first(self):
        # ratio is not symmetric; the rule reads ratio(kept, row).
        a, b = "abcab", "cabcb"
        t = ratio(a, b)
        assert ratio(b, a) < t
        assert ratiokit.dedupe([a, b], threshold=t) == [0, 0]
        assert ratiokit.dedupe([b, a], threshold=t) == [0, 1]

    def test_copies_and_edge_thresholds(self):
        lines = ["2026-12-08 INFO request served"] * 5000 + ["other", "2026-12-08 INFO request served"]
        assert ratiokit.dedupe(lines, threshold=0.9) == [0] * 5000 + [5000, 0]
        assert ratiokit.dedupe(["", "a", ""], threshold=1.0) == [0, 1, 0]
        assert ratiokit.dedupe(["x", "y", "z"], threshold=0.0) == [0, 0, 0]
        assert ratiokit.dedupe([], threshold=0.5) == []


@settings(max_examples=150, deadline=None)
@given(st.lists(st.text(alphabet="abcé", max_size=12), max_size=40),
       st.floats(min_value=0.05, max_value=1.0))
def test_guarantee_on_random_rows(strings, threshold):
    labels = ratiokit.dedupe(strings, threshold=threshold)
    kept = [i for i, label in enumerate(labels) if label == i]
    for i, label in enumerate(labels):
        assert label <= i and labels[label] == label
        if label != i:
            assert ratio(strings[label], strings[i]) >= threshold
            # The first kept row that reaches it: no earlier kept row does.
            assert all(ratio(strings[k], strings[i]) < threshold for k in kept if k < label)
    for x, k in enumerate(kept):
        assert all(ratio(strings[k], strings[j]) < threshold for j in kept[x + 1:])


def test_threads_do_not_change_labels():
    strings = near_copies(random.Random(8), 5000, bases=300, edits=5)
    one = ratiokit.dedupe(strings, threshold=0.8, threads=1)
    assert ratiokit.dedupe(strings, threshold=0.8, threads=2) == one
    assert ratiokit.dedupe(strings, threshold=0.8, threads=5) == one
    assert ratiokit.dedupe(strings, threshold=0.8) == one


class TestCall:
    def test_bad_arguments(self):
        for bad in (-0.1, 1.5, float("nan")):
            with pytest.raises(ValueError, match="threshold"):
                ratiokit.dedupe(["a"], threshold=bad)
        with pytest.raises(TypeError, match=r"argument 'strings': item 1 is NoneType, not str"):
            ratiokit.dedupe(["a", None], threshold=0.5)
        with pytest.raises(TypeError):
            ratiokit.dedupe(["a"], 0.5)  # threshold is keyword-only

    def test_progress_is_reported_and_can_cancel(self):
        rng = random.Random(4)
        strings = ["".join(rng.choices("ab", k=300)) for _ in range(2000)]
        seen = []
        labels = ratiokit.dedupe(strings, threshold=0.95, progress=lambda *a: seen.append(a))
        assert labels == ratiokit.dedupe(strings, threshold=0.95)
        assert seen and {phase for phase, _, _ in seen} == {"dedupe"}
        assert all(0 <= done <= total == 2000 for _, done, total in seen)

        class Stop(Exception):
            pass

        def stop(*_):
            raise Stop

        with pytest.raises(Stop):
            ratiokit.dedupe(strings * 2, threshold=0.95, progress=stop)


class TestShapes:
    WORDS = ["apple pie", "apple pies", "cherry", "apple pie"]

    def test_series_in_series_out_aligned(self):
        pd = pytest.importorskip("pandas")
        series = pd.Series(self.WORDS, index=["w", "x", "y", "z"])
        for call in (ratiokit.dedupe, ratiokit.cluster_labels):
            labels = call(series, threshold=0.9)
            assert isinstance(labels, pd.Series)
            assert list(labels.index) == ["w", "x", "y", "z"]
            assert list(labels) == call(self.WORDS, threshold=0.9) == [0, 0, 2, 0]
        kept = series[ratiokit.dedupe(series, threshold=0.9).to_numpy() == range(4)]
        assert list(kept) == ["apple pie", "cherry"]

    def test_numpy_in_array_out(self):
        np = pytest.importorskip("numpy")
        for call in (ratiokit.dedupe, ratiokit.cluster_labels):
            labels = call(np.array(self.WORDS), threshold=0.9)
            assert isinstance(labels, np.ndarray) and labels.dtype == np.intp
            assert labels.tolist() == [0, 0, 2, 0]
        assert type(ratiokit.dedupe(tuple(self.WORDS), threshold=0.9)) is list

    @pytest.mark.parametrize("call, name", [
        (lambda bad: ratiokit.dedupe(bad, threshold=0.5), "strings"),
        (lambda bad: ratiokit.cluster_labels(bad, threshold=0.5), "strings"),
        (lambda bad: ratiokit.ratio_join(bad, threshold=0.5), "left"),
        (lambda bad: ratiokit.ratio_join(["a"], bad, threshold=0.5), "right"),
        (lambda bad: ratiokit.cluster_canonicals(bad, 0.5), "canonicals"),
        (lambda bad: ratiokit.cluster_canonicals_lsh(bad, 0.5, 16, 4), "canonicals"),
        (lambda bad: ratiokit.Rationer(threads=1).cluster_canonicals(bad, 0.5), "canonicals"),
    ])
    def test_tables_are_refused(self, call, name):
        pd = pytest.importorskip("pandas")
        message = rf"argument '{name}': pass a column \(a Series, list or array of str\), not a"
        with pytest.raises(TypeError, match=message + " DataFrame"):
            call(pd.DataFrame({"text": ["a", "b"]}))
        with pytest.raises(TypeError, match=message + " dict"):
            call({"a": "b"})


class TestInputChangedDuringTheCall:
    def test_progress_that_grows_the_list(self):
        # The callable runs while the call works; the labels must still be one per row the call
        # was given, and the same as without it.
        rng = random.Random(6)
        strings = ["".join(rng.choices("ab", k=300)) for _ in range(1500)]
        for call in (ratiokit.cluster_labels, ratiokit.dedupe):
            rows = list(strings)
            grow = lambda *_: rows.extend(["extra"] * 5)  # noqa: E731
            labels = call(rows, threshold=0.95, progress=grow)
            assert len(rows) > len(strings), "the callable never ran"
            assert labels == call(strings, threshold=0.95), call.__name__


def run_cli(cwd, *args, stdin=None):
    env = dict(os.environ)
    env.pop("RATIOKIT_PROGRESS", None)
    return subprocess.run([sys.executable, "-m", "ratiokit", "dedupe", *args], cwd=cwd,
                          input=stdin, capture_output=True, env=env, timeout=60)


class TestCommandLine:
    LINES = ["apple pie", "apple pies", "cherry", "", "apple pie!", "banana", "cherry",
             "crème brûlée", "crème brûlé"]

    @pytest.fixture
    def lines_file(self, tmp_path):
        (tmp_path / "in.txt").write_text("\n".join(self.LINES) + "\n", encoding="utf-8")
        return tmp_path

    def test_kept_lines_in_order_on_stdout(self, lines_file):
        done = run_cli(lines_file, "in.txt")
        assert done.returncode == 0, done.stderr
        assert done.stdout.decode() == "apple pie\ncherry\nbanana\ncrème brûlée\n"
        assert b"8 items, 4 kept, 4 dropped" in done.stderr
        # Standard input, and the same lines as the library keeps.
        piped = run_cli(lines_file, "--threshold", "0.5", "--quiet",
                        stdin="\n".join(self.LINES).encode())
        texts = [line for line in self.LINES if line]
        labels = ratiokit.dedupe(texts, threshold=0.5)
        assert piped.stdout.decode().splitlines() == [t for i, t in enumerate(texts) if labels[i] == i]
        assert piped.stderr == b""

    def test_show_pairs_each_dropped_line_with_its_representative(self, lines_file):
        done = run_cli(lines_file, "in.txt", "--show")
        assert done.returncode == 0, done.stderr
        rows = [line.split("\t") for line in done.stdout.decode().splitlines()]
        assert rows[0] == ["dropped", "kept", "ratio", "dropped_text", "kept_text"]
        assert [(d, k, t) for d, k, _, t, _ in rows[1:]] == [
            ("in.txt:2", "in.txt:1", "apple pies"), ("in.txt:5", "in.txt:1", "apple pie!"),
            ("in.txt:7", "in.txt:3", "cherry"), ("in.txt:9", "in.txt:8", "crème brûlé")]
        for _, _, r, dropped, kept in rows[1:]:
            assert float(r) == ratio(kept, dropped) >= 0.9
        shown = run_cli(lines_file, "in.txt", "--show", "--format", "jsonl")
        first = json.loads(shown.stdout.decode().splitlines()[0])
        assert first == {"dropped": "in.txt:2", "kept": "in.txt:1", "ratio": ratio("apple pie", "apple pies"),
                         "dropped_text": "apple pies", "kept_text": "apple pie"}

    def test_jsonl_and_files(self, tmp_path):
        (tmp_path / "in.jsonl").write_text(
            '"same text"\n{"text": "same text!", "id": "b"}\n{"text": "other", "id": "c"}\n')
        done = run_cli(tmp_path, "--jsonl", "in.jsonl")
        assert [json.loads(line) for line in done.stdout.decode().splitlines()] == [
            {"id": "in.jsonl:1", "text": "same text"}, {"id": "c", "text": "other"}]
        (tmp_path / "d").mkdir()
        for name, text in [("a.txt", "one file\n"), ("b.txt", "one file!\n"), ("c.txt", "unrelated\n")]:
            (tmp_path / "d" / name).write_text(text)
        done = run_cli(tmp_path, "--files", "d")
        assert done.stdout.decode().splitlines() == [os.path.join("d", "a.txt"), os.path.join("d", "c.txt")]

    def test_errors(self, lines_file):
        done = run_cli(lines_file, "in.txt", "--threshold", "1.5")
        assert done.returncode == 2 and b"--threshold must be between 0 and 1" in done.stderr
        done = run_cli(lines_file, "missing.txt")
        assert done.returncode == 1 and done.stderr.startswith(b"ratiokit: error: missing.txt")
