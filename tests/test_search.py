"""Search and join: extract, get_close_matches, ratio_join, cluster_labels and the autojunk ratio,
each against difflib or a brute-force answer."""

import difflib
import math
import random

import pytest

import ratiokit
from conftest import difflib_ratio

ALPHABETS = ["ab", "abc", "abcdefgh", "aé b", "the quick brown fox", "aaabcdé€𝄞"]


def junk_ratio(a, b):
    return difflib.SequenceMatcher(None, a, b).ratio()


def random_text(rng, alphabet, lo, hi):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(lo, hi)))


def mutate(rng, text, alphabet, edits):
    chars = list(text)
    for _ in range(edits):
        if chars and rng.random() < 0.5:
            chars[rng.randrange(len(chars))] = rng.choice(alphabet)
        elif chars and rng.random() < 0.5:
            del chars[rng.randrange(len(chars))]
        else:
            chars.insert(rng.randint(0, len(chars)), rng.choice(alphabet))
    return "".join(chars)


def corpus(rng, n, lo=0, hi=30):
    """Strings in families of near-duplicates, with exact duplicates and empty strings."""
    out = []
    while len(out) < n:
        alphabet = rng.choice(ALPHABETS)
        base = random_text(rng, alphabet, lo, hi)
        for _ in range(rng.randint(1, 6)):
            out.append(mutate(rng, base, alphabet, rng.randint(0, 4)))
    return out[:n]


class TestAutojunk:
    def test_equals_difflib_default_constructor(self):
        rng = random.Random(7)
        for _ in range(1500):
            alphabet = rng.choice(ALPHABETS)
            b = random_text(rng, alphabet, 150, 900)
            a = mutate(rng, b[rng.randint(0, 60):], alphabet, rng.randint(0, 40)) \
                if rng.random() < 0.6 else random_text(rng, alphabet, 0, 900)
            assert ratiokit.ratio(a, b, autojunk=True) == junk_ratio(a, b), (a, b)

    def test_rule_changes_results_only_from_200_elements(self):
        # 199 and 200 elements of b: the same popular character, one side of the threshold.
        a = "ab" * 60
        for lb in (199, 200, 201):
            b = ("a" * 3 + "b") * (lb // 4) + "a" * (lb % 4)
            assert ratiokit.ratio(a, b, autojunk=True) == junk_ratio(a, b)
        b = "x" + "a" * 299
        assert ratiokit.ratio("a" * 50, b, autojunk=True) == junk_ratio("a" * 50, b)
        assert ratiokit.ratio("a" * 50, b, autojunk=True) != ratiokit.ratio("a" * 50, b)

    def test_everything_popular_still_matches_by_extension(self):
        # No element of b is indexed: difflib still grows the empty block at the window's start.
        for a, b in [("a" * 10, "a" * 300), ("ba" * 5, "ab" * 150), ("", "a" * 300),
                     ("c" * 5, "a" * 300), ("a" * 400, "a" * 300)]:
            assert ratiokit.ratio(a, b, autojunk=True) == junk_ratio(a, b)

    def test_long_text_with_popular_characters(self):
        rng = random.Random(3)
        b = random_text(rng, "ab cdefghij\n", 20000, 20000)
        a = mutate(rng, b, "ab cdefghij\n", 300)
        assert ratiokit.ratio(a, b, autojunk=True) == junk_ratio(a, b)

    def test_pairs_and_defaults(self):
        pairs = [("abcd", "bcde"), ("ab" * 150, "b" + "a" * 299)]
        assert ratiokit.ratio(pairs, autojunk=True) == [junk_ratio(a, b) for a, b in pairs]
        assert ratiokit.ratio(*pairs[1]) == difflib_ratio(*pairs[1])


def brute_extract(query, choices, limit, cutoff, score=difflib_ratio):
    rows = [(c, score(c, query), i) for i, c in enumerate(choices)]
    rows = sorted((r for r in rows if r[1] >= cutoff), key=lambda r: (-r[1], r[2]))
    return rows if limit is None else rows[:limit]


class TestExtract:
    def test_equals_brute_force(self):
        rng = random.Random(11)
        choices = corpus(rng, 400)
        for _ in range(60):
            query = rng.choice(choices) if rng.random() < 0.5 else corpus(rng, 1)[0]
            limit = rng.choice([1, 3, 5, 50, None])
            cutoff = rng.choice([0.0, 0.3, 0.6, 0.9, 1.0])
            want = brute_extract(query, choices, limit, cutoff)
            assert ratiokit.extract(query, choices, limit=limit, score_cutoff=cutoff) == want

    def test_many_ties_keep_lower_indices_whatever_the_threads(self):
        # Thousands of duplicates tie at 1.0 across every chunk of the parallel loop.
        choices = ["abc", "abd"] * 3000 + ["xyz"] * 10
        for threads in (0, 1, 3):
            got = ratiokit.extract("abc", choices, limit=4, threads=threads)
            assert got == [("abc", 1.0, 0), ("abc", 1.0, 2), ("abc", 1.0, 4), ("abc", 1.0, 6)]
        assert len(ratiokit.extract("abc", choices, limit=None, score_cutoff=0.6)) == 6000

    def test_autojunk_scores(self):
        rng = random.Random(5)
        query = random_text(rng, "ab c", 250, 400)
        choices = [mutate(rng, query, "ab c", k) for k in range(0, 200, 5)] + ["", "abc"]
        got = ratiokit.extract(query, choices, limit=7, autojunk=True)
        assert got == brute_extract(query, choices, 7, 0.0, junk_ratio)

    def test_orientation_is_ratio_of_choice_against_query(self):
        # ratio(a, b) != ratio(b, a) for this pair; extract scores ratio(choice, query).
        choice, query = "cacabb", "cabaca"
        assert difflib_ratio(choice, query) != difflib_ratio(query, choice)
        assert ratiokit.extract(query, [choice]) == [(choice, difflib_ratio(choice, query), 0)]
        assert ratiokit.ratio_join([choice], [query], threshold=0.0) == \
            [(0, 0, difflib_ratio(choice, query))]
        assert ratiokit.ratio_join([choice, query], threshold=0.0) == \
            [(0, 1, difflib_ratio(choice, query))]

    def test_edge_cases(self):
        assert ratiokit.extract("abc", []) == []
        assert ratiokit.extract("abc", ["abc"], limit=0) == []
        assert ratiokit.extract("", ["", "a"]) == [("", 1.0, 0), ("a", 0.0, 1)]
        assert ratiokit.extract("", ["", "a"], score_cutoff=0.5) == [("", 1.0, 0)]
        rng = random.Random(2)
        query = random_text(rng, "abcdefgh", 100000, 100000)
        near = mutate(rng, query, "abcdefgh", 50)
        assert ratiokit.extract(query, ["b", near, query[:50000]], limit=1) == [
            (near, ratiokit.ratio(near, query), 1)]


class TestGetCloseMatches:
    def check(self, word, possibilities, *args):
        assert ratiokit.get_close_matches(word, possibilities, *args) == \
            difflib.get_close_matches(word, possibilities, *args), (word, args)

    def test_words_and_lines(self):
        rng = random.Random(13)
        words = corpus(rng, 600, 0, 12)
        lines = corpus(rng, 300, 10, 80)
        for _ in range(150):
            pool = rng.choice([words, lines])
            word = rng.choice(pool) if rng.random() < 0.5 else corpus(rng, 1, 0, 20)[0]
            self.check(word, pool, rng.choice([1, 3, 10]), rng.choice([0.0, 0.4, 0.6, 0.8]))

    def test_long_words_with_popular_characters(self):
        rng = random.Random(17)
        pool = [random_text(rng, "aab", 180, 320) for _ in range(40)]
        pool += [mutate(rng, p, "aab", 20) for p in pool]
        for word in pool[:20]:
            self.check(word, pool, 5, 0.3)

    def test_ties_broken_by_the_strings_and_duplicates_kept(self):
        pool = ["abd", "abe", "abc", "abe", "abf", "xyz"]
        for n in (1, 2, 3, 4, 10):
            self.check("abx", pool, n, 0.5)
        assert ratiokit.get_close_matches("abx", iter(pool), 2, 0.0) == \
            difflib.get_close_matches("abx", pool, 2, 0.0)

    def test_errors_match_difflib(self):
        for args in [(0, 0.6), (-1, 0.6), (3, 1.5), (3, -0.1), (3, math.nan)]:
            with pytest.raises(ValueError) as ours:
                ratiokit.get_close_matches("a", ["a"], *args)
            with pytest.raises(ValueError) as theirs:
                difflib.get_close_matches("a", ["a"], *args)
            assert str(ours.value) == str(theirs.value)


def brute_join(left, right, threshold):
    if right is None:
        return [(i, j, r) for i in range(len(left)) for j in range(i + 1, len(left))
                if (r := difflib_ratio(left[i], left[j])) >= threshold]
    return [(i, j, r) for i in range(len(left)) for j in range(len(right))
            if (r := difflib_ratio(left[i], right[j])) >= threshold]


class TestRatioJoin:
    @pytest.mark.parametrize("threshold", [0.0, 0.5, 0.8, 1.0])
    def test_self_join_equals_brute_force(self, threshold):
        strings = corpus(random.Random(19), 150)
        assert ratiokit.ratio_join(strings, threshold=threshold) == \
            brute_join(strings, None, threshold)

    @pytest.mark.parametrize("threshold", [0.0, 0.5, 0.8, 1.0])
    def test_two_sided_join_equals_brute_force(self, threshold):
        rng = random.Random(23)
        left, right = corpus(rng, 90), corpus(rng, 110)
        assert ratiokit.ratio_join(left, right, threshold=threshold) == \
            brute_join(left, right, threshold)

    def test_threads_and_duplicates(self):
        strings = ["same text"] * 300 + ["other"] * 3
        pairs = ratiokit.ratio_join(strings, threshold=0.9, threads=2)
        assert len(pairs) == 300 * 299 // 2 + 3
        assert pairs == ratiokit.ratio_join(strings, threshold=0.9, threads=1)

    def test_empty_inputs(self):
        assert ratiokit.ratio_join([], threshold=0.5) == []
        assert ratiokit.ratio_join(["a"], [], threshold=0.5) == []
        assert ratiokit.ratio_join(["", ""], threshold=1.0) == [(0, 1, 1.0)]
        assert ratiokit.ratio_join([""], ["", "a"], threshold=0.0) == [(0, 0, 1.0), (0, 1, 0.0)]

    def test_progress_is_reported_and_can_cancel(self):
        # Long enough (about a second) for several polls: 600 binary strings, every pair kept.
        rng = random.Random(7)
        strings = ["".join(rng.choices("ab", k=200)) for _ in range(600)]
        for right, total in [(None, 600 * 599 // 2), (strings[:300], 600)]:
            seen = []
            pairs = ratiokit.ratio_join(strings, right, threshold=0.0,
                                        progress=lambda *a: seen.append(a))
            assert len(pairs) == total if right is None else len(pairs) == 600 * 300
            assert seen and {phase for phase, _, _ in seen} <= {"candidates", "join"}
            assert all(0 <= done <= t for _, done, t in seen)

        class Stop(Exception):
            pass

        def stop(*_):
            raise Stop

        with pytest.raises(Stop):
            ratiokit.ratio_join(strings * 4, threshold=0.0, progress=stop)
        with pytest.raises(TypeError, match="progress"):
            ratiokit.ratio_join(["a", "b"], threshold=0.5, progress=3)


class TestClusterLabels:
    def test_first_member_labels_every_row(self):
        strings = ["apple pie", "banana", "apple pies", "cherry", "apple pie!", "banana"]
        labels = ratiokit.cluster_labels(strings, threshold=0.85)
        assert labels == [0, 1, 0, 3, 0, 1]
        assert [s for i, s in enumerate(strings) if labels[i] == i] == \
            ["apple pie", "banana", "cherry"]

    def test_agrees_with_clusters_exact_and_lsh(self):
        strings = corpus(random.Random(29), 300, 20, 40)
        for method, clusters in [
            ("exact", ratiokit.cluster_canonicals(strings, 0.7)),
            ("lsh", ratiokit.cluster_canonicals_lsh(strings, 0.7, 128, 4)),
        ]:
            labels = ratiokit.cluster_labels(strings, threshold=0.7, method=method)
            want = list(range(len(strings)))
            for members, _ in clusters:
                for m in members:
                    want[m] = members[0]
            assert labels == want, method

    def test_bad_method_and_bands(self):
        with pytest.raises(ValueError):
            ratiokit.cluster_labels(["a"], threshold=0.5, method="fuzzy")
        with pytest.raises(ValueError):
            ratiokit.cluster_labels(["a"], threshold=0.5, method="lsh", num_perm=4, band_rows=8)


class TestInputs:
    WORDS = ["apple", "apply", "ample", "maple"]

    def expected(self):
        return ratiokit.extract("appel", self.WORDS)

    def test_iterables(self):
        np = pytest.importorskip("numpy")
        sources = [tuple(self.WORDS), iter(self.WORDS), (w for w in self.WORDS),
                   np.array(self.WORDS), np.array(self.WORDS, dtype=object)]
        for source in sources:
            assert ratiokit.extract("appel", source) == self.expected(), type(source)

    def test_pandas_series_keyed_by_index_label(self):
        pd = pytest.importorskip("pandas")
        labels = [10, 3, 7, 1]
        series = pd.Series(self.WORDS, index=labels)
        assert ratiokit.extract("appel", series) == \
            [(c, s, labels[i]) for c, s, i in self.expected()]
        assert ratiokit.cluster_labels(series, threshold=0.7).tolist() == \
            ratiokit.cluster_labels(self.WORDS, threshold=0.7)
        with pytest.raises(TypeError, match=r"argument 'choices': item 2 is float"):
            ratiokit.extract("appel", pd.Series(["a", "b", None, "c"]))

    def test_pyarrow_arrays(self):
        pa = pytest.importorskip("pyarrow")
        assert ratiokit.extract("appel", pa.array(self.WORDS)) == self.expected()
        assert ratiokit.extract("appel", pa.chunked_array([self.WORDS[:2], self.WORDS[2:]])) == \
            self.expected()

    @pytest.mark.parametrize("call, name", [
        (lambda bad: ratiokit.extract("a", bad), "choices"),
        (lambda bad: ratiokit.get_close_matches("a", bad), "possibilities"),
        (lambda bad: ratiokit.ratio_join(bad, threshold=0.5), "left"),
        (lambda bad: ratiokit.ratio_join(["a"], bad, threshold=0.5), "right"),
        (lambda bad: ratiokit.cluster_labels(bad, threshold=0.5), "strings"),
    ])
    def test_non_str_items_name_argument_and_position(self, call, name):
        with pytest.raises(TypeError, match=rf"argument '{name}': item 1 is NoneType, not str"):
            call(["a", None, "b"])
        with pytest.raises(TypeError, match=rf"argument '{name}': item 0 is int"):
            call((3,))
        with pytest.raises(TypeError, match=rf"argument '{name}': expected an iterable"):
            call("abc")

