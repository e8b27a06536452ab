"""Prepared choices and the query functions around them: Choices, extract_one, extract_many,
processor=, keys, and results that line up with the input whatever happens to it during a call."""

import difflib
import random
import threading

import pytest

import ratiokit
from conftest import difflib_ratio

# One-, two- and four-byte strings, so that every stored width meets every query.
ALPHABETS = ["ab", "abcdefgh ", "aé b", "ab€", "a𝄞b"]


def corpus(rng, n, lo=0, hi=12):
    out = []
    for _ in range(n):
        alphabet = rng.choice(ALPHABETS)
        out.append("".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi))))
    return out


def brute_extract(query, choices, limit, cutoff):
    rows = [(c, difflib_ratio(c, query), i) for i, c in enumerate(choices)]
    rows = sorted((r for r in rows if r[1] >= cutoff), key=lambda r: (-r[1], r[2]))
    return rows if limit is None else rows[:limit]


class TestPreparedEqualsPlain:
    def test_against_brute_force_and_plain_lists(self):
        rng = random.Random(3)
        choices = corpus(rng, 300)
        prepared = ratiokit.Choices(choices)
        assert len(prepared) == 300
        for _ in range(40):
            query = rng.choice(choices) if rng.random() < 0.5 else corpus(rng, 1)[0]
            limit = rng.choice([1, 4, 50, None])
            cutoff = rng.choice([0.0, 0.4, 0.8, 1.0])
            want = brute_extract(query, choices, limit, cutoff)
            assert ratiokit.extract(query, prepared, limit=limit, score_cutoff=cutoff) == want
            assert ratiokit.extract(query, choices, limit=limit, score_cutoff=cutoff) == want
            assert ratiokit.extract_one(query, prepared, score_cutoff=cutoff) == \
                (want[0] if want else None)

    def test_long_choices_and_queries_cross_word_sizes(self):
        # Queries of 63-65 and 128-130 code points put the LCS bound on both sides of a word.
        rng = random.Random(8)
        base = "".join(rng.choice("abcd é") for _ in range(140))
        choices = [base[rng.randrange(20):rng.randrange(60, 140)] for _ in range(200)]
        # A character 255 and 256 times: the last count a prepared choice keeps, and past it.
        choices += ["a" * 255 + "b", "a" * 256 + "b", "ab" * 200]
        prepared = ratiokit.Choices(choices)
        for size in (63, 64, 65, 128, 129, 130):
            query = base[:size]
            want = brute_extract(query, choices, 5, 0.0)
            assert ratiokit.extract(query, prepared) == want
            assert ratiokit.extract(query, choices) == want
        for query in ("a" * 250, "a" * 256 + "bb", "ab" * 190):
            want = brute_extract(query, choices, 3, 0.0)
            assert ratiokit.extract(query, prepared, limit=3) == want
            assert ratiokit.extract(query, choices, limit=3) == want

    def test_threads_do_not_change_results(self):
        # Over a million code points, so that one query is spread over the threads.
        rng = random.Random(4)
        choices = corpus(rng, 40000, 0, 60) + ["abab"] * 50
        assert sum(map(len, choices)) > 1 << 20
        prepared = ratiokit.Choices(choices)
        for query in ["abab", "aé b a", choices[17]]:
            want = ratiokit.extract(query, prepared, limit=7, threads=1)
            for threads in (0, 2, 5):
                assert ratiokit.extract(query, prepared, limit=7, threads=threads) == want
                assert ratiokit.extract(query, choices, limit=7, threads=threads) == want

    def test_ties_across_the_chunks_of_one_spread_query(self):
        choices = ["abc", "abd"] * 200000 + ["xyz"] * 10
        prepared = ratiokit.Choices(choices)
        want = [("abc", 1.0, 0), ("abc", 1.0, 2), ("abc", 1.0, 4), ("abc", 1.0, 6)]
        for threads in (0, 1, 3):
            assert ratiokit.extract("abc", prepared, limit=4, threads=threads) == want
            assert ratiokit.extract("abc", choices, limit=4, threads=threads) == want

    def test_get_close_matches_on_prepared_choices(self):
        words = ["ape", "apple", "peach", "puppy", "apply", "appel"]
        prepared = ratiokit.Choices(words)
        for word in ["appel", "pear", "xyz"]:
            assert ratiokit.get_close_matches(word, prepared) == \
                difflib.get_close_matches(word, words)

    def test_edge_cases(self):
        empty = ratiokit.Choices([])
        assert ratiokit.extract("a", empty) == []
        assert ratiokit.extract_one("a", empty) is None
        assert ratiokit.extract_one("abc", ["xyz"], score_cutoff=0.5) is None
        assert ratiokit.extract_one("", ["", "a"]) == ("", 1.0, 0)
        assert ratiokit.extract_many([], ["a"]) == []


class TestKeysAndProcessor:
    def test_mapping_keys(self):
        fruit = {"x": "apple", "y": "maple", "z": "pear"}
        assert ratiokit.extract("appel", fruit, limit=2) == [
            ("apple", difflib_ratio("apple", "appel"), "x"),
            ("maple", difflib_ratio("maple", "appel"), "y"),
        ]
        assert ratiokit.extract_one("pear", ratiokit.Choices(fruit)) == ("pear", 1.0, "z")

    def test_series_labels(self):
        pd = pytest.importorskip("pandas")
        series = pd.Series(["apple", "pear", "maple"], index=["a", "b", "c"])
        assert ratiokit.extract_one("pear", series) == ("pear", 1.0, "b")
        assert ratiokit.extract_many(["pear", "mapel"], ratiokit.Choices(series), limit=1) == [
            [("pear", 1.0, "b")], [("maple", difflib_ratio("maple", "mapel"), "c")]]
        with pytest.raises(TypeError, match="pass a column .*, not a DataFrame"):
            ratiokit.extract("a", pd.DataFrame({"name": ["a"]}))

    def test_processor_scores_processed_and_returns_originals(self):
        choices = ["APPLE pie", "Maple", "pear"]
        want = ratiokit.extract("apple", [c.lower() for c in choices], limit=None)
        got = ratiokit.extract("APPLE", choices, processor=str.lower, limit=None)
        assert got == [(choices[i], score, i) for _, score, i in want]
        prepared = ratiokit.Choices(choices, processor=str.lower)
        assert prepared.processor is str.lower
        assert ratiokit.extract("APPLE", prepared, limit=None) == got
        assert ratiokit.extract_many(["APPLE"], prepared, limit=None) == [got]
        with pytest.raises(ValueError, match="processor"):
            ratiokit.extract("a", prepared, processor=str.lower)

    def test_bad_items_are_named(self):
        with pytest.raises(TypeError, match=r"argument 'strings': item 1 is int, not str"):
            ratiokit.Choices(["a", 1])
        with pytest.raises(TypeError, match=r"argument 'choices': item 0 is int, not str"):
            ratiokit.extract("a", [1], processor=lambda x: x)
        with pytest.raises(TypeError, match=r"argument 'query': expected str, got int"):
            ratiokit.extract(1, ratiokit.Choices(["a"]))
        for lone in ("a\ud800", "€\udfff", "𝄞\ud800"):  # stored two and four bytes a character
            with pytest.raises(UnicodeEncodeError):
                ratiokit.Choices(["ok", lone])
            with pytest.raises(UnicodeEncodeError):
                ratiokit.extract("a", ["ok", lone])


class TestExtractMany:
    def test_equals_a_loop_of_extract(self):
        rng = random.Random(6)
        choices = corpus(rng, 500)
        queries = corpus(rng, 40) + choices[:10]
        for kwargs in ({}, {"limit": 3, "score_cutoff": 0.5}, {"limit": None, "threads": 1},
                       {"autojunk": True, "threads": 3}):
            want = [ratiokit.extract(q, choices, **kwargs) for q in queries]
            assert ratiokit.extract_many(queries, choices, **kwargs) == want
            assert ratiokit.extract_many(queries, ratiokit.Choices(choices), **kwargs) == want

    def test_progress_counts_queries_and_can_cancel(self):
        calls = []
        ratiokit.extract_many(["a", "b"] * 20, ["ab"] * 100,
                              progress=lambda *a: calls.append(a))
        assert all(phase == "extract" and total == 40 for phase, _, total in calls)

        def stop(phase, done, total):
            raise KeyError("stop")

        with pytest.raises(KeyError, match="stop"):
            ratiokit.extract_many(["ab" * 40] * 3000, ["ab" * 40] * 3000, progress=stop)


class Mutating(list):
    """A list whose iteration replaces its items: what a call reads must be one snapshot."""

    def __iter__(self):
        items = list(super().__iter__())
        self[:] = ["zzz"] * len(self)
        return iter(items)


class TestSnapshot:
    def test_iteration_that_mutates(self):
        query = "abcde"
        for call in (lambda c: ratiokit.extract(query, c, limit=3),
                     lambda c: ratiokit.extract_many([query], c, limit=3)[0],
                     lambda c: [ratiokit.extract_one(query, c)]):
            rows = call(Mutating(["abcdf", "xbcde", "q"]))
            assert rows and all(score == difflib_ratio(choice, query) and choice != "zzz"
                                for choice, score, _ in rows)

    def test_list_replaced_from_another_thread(self):
        # Whatever the interleaving, every row must score its own choice.
        query = "changelog entry 1234"
        items = [f"changelog entry {i}" for i in range(20000)]
        stop = threading.Event()

        def churn():
            while not stop.is_set():
                items[:] = ["zzz"] * len(items)
                items[:] = [f"changelog entry {i}" for i in range(20000)]

        worker = threading.Thread(target=churn)
        worker.start()
        try:
            for _ in range(30):
                for rows in (ratiokit.extract(query, items, limit=3),
                             [(items_row[0], items_row[1], None) for items_row in
                              ratiokit.extract_many([query], items, limit=3)[0]]):
                    for choice, score, _ in rows:
                        assert score == difflib_ratio(choice, query)
                for index, score in ratiokit._ratiokit._extract(query, items, 3, 0.0, False,
                                                                False, 0):
                    assert 0 <= index < 20000
        finally:
            stop.set()
            worker.join()
