"""cosine_join and CosineJoiner against a brute-force TF-IDF oracle."""

import inspect
import math
import random
import sys
import threading
from collections import Counter

import pytest

import ratiokit
from ratiokit import _ratiokit
from ratiokit._ratiokit import CosineJoiner, cosine_join

TOL = 1e-9
THRESHOLDS = [0.0, 0.3, 0.5, 0.9, 1.0, 1.5]


def oracle_pairs(docs):
    """{(j, i): cos} for every pair j < i whose TF-IDF vectors share a term, zero weights included.

    idf = ln(N / max(df, 1)); tf summed per term; unit length unless all weights are zero, in
    which case the vector is empty. Pairs sharing no term have cosine 0 and are never reported.
    """
    n = len(docs)
    df = Counter(tok for doc in docs for tok in set(doc))
    vectors = []
    for doc in docs:
        v = {tok: tf * math.log(n / max(df[tok], 1)) for tok, tf in Counter(doc).items()}
        norm = math.sqrt(sum(w * w for w in v.values()))
        vectors.append({tok: w / norm for tok, w in v.items()} if norm > 0 else {})
    postings = {}
    pairs = {}
    for i, x in enumerate(vectors):
        partners = {j for tok in x for j in postings.get(tok, ())}
        for j in partners:
            y = vectors[j]
            pairs[(j, i)] = sum(w * y[tok] for tok, w in x.items() if tok in y)
        for tok in x:
            postings.setdefault(tok, []).append(i)
    return pairs


def check_rows(rows, oracle, t):
    """Same pairs as the oracle (those within TOL of t may go either way), each once, in order."""
    seen = set()
    last_i = 0
    for j, i, cos in rows:
        assert type(j) is int and type(i) is int and type(cos) is float
        assert 0 <= j < i and i >= last_i and (j, i) not in seen
        assert cos >= t and abs(cos - oracle[(j, i)]) <= TOL, (j, i, cos, oracle.get((j, i)))
        last_i = i
        seen.add((j, i))
    missing = [p for p, cos in oracle.items() if cos >= t + TOL and p not in seen]
    assert not missing


def topic_docs(seed, n):
    """Documents drawn from topics, with empty ones, near-duplicates, repeats and long queries.

    Most share terms only within their topic, so every threshold has pairs but t = 0 stays a
    modest list. Lengths reach 80 tokens, so queries fall on both sides of 24 entries.
    """
    rng = random.Random(seed)
    topics = [[f"t{k}w{w}" for w in range(40)] for k in range(25)]
    common = ["def", "return", "self", "", "é", "日本", "a b"]
    docs = []
    for _ in range(n):
        r = rng.random()
        if r < 0.03:
            docs.append([])
        elif r < 0.2 and docs:
            doc = list(rng.choice(docs))
            if doc and rng.random() < 0.7:
                doc[rng.randrange(len(doc))] = rng.choice(rng.choice(topics))
            rng.shuffle(doc)
            docs.append(doc)
        else:
            words = rng.choice(topics)
            size = rng.choice([rng.randint(1, 12), rng.randint(20, 80)])
            doc = [words[int(len(words) * rng.random() ** 2)] for _ in range(size)]
            doc += rng.sample(common, rng.randint(0, 2))
            docs.append(doc)
    return docs


DOCS = topic_docs(7, 1400)  # over 1024 documents: the join runs in several pieces
# A token in every document has idf 0: documents with nothing else get empty vectors, and pairs
# that share only it have cosine exactly 0.
EVERYWHERE = [["all"] + doc for doc in topic_docs(8, 60)] + [["all"], ["all", "all"]]


@pytest.fixture(scope="module")
def joiner():
    return CosineJoiner(DOCS)


@pytest.fixture(scope="module")
def oracle():
    return oracle_pairs(DOCS)


@pytest.mark.parametrize("t", THRESHOLDS)
def test_join_matches_the_oracle_whatever_the_threads(t, joiner, oracle):
    rows = cosine_join(DOCS, t)
    check_rows(rows, oracle, t)
    if t <= 0.9:
        assert len(rows) > 20
    if t > 1.0:
        assert rows == []
    # Same list, same order, whatever the pool and whether the corpus was built once or per call.
    assert cosine_join(DOCS, t, threads=1) == rows
    assert cosine_join(DOCS, t, "cpu", 4) == rows
    assert joiner.join(t) == rows
    assert joiner.join(t, threads=4) == rows


@pytest.mark.parametrize("t", THRESHOLDS)
def test_tokens_in_every_document(t):
    oracle = oracle_pairs(EVERYWHERE)
    rows = cosine_join(EVERYWHERE, t)
    check_rows(rows, oracle, t)
    assert CosineJoiner(EVERYWHERE).join(t) == rows
    zero = [(j, i) for j, i, cos in rows if cos == 0.0]
    assert bool(zero) == (t <= 0.0)
    assert not {d for j, i, _ in rows for d in (j, i)} & {60, 61}  # only "all": empty vectors


def test_small_corpora():
    assert cosine_join([], 0.5) == [] and cosine_join([[]], -1.0) == []
    empty = CosineJoiner([])
    assert empty.join(0.5) == [] and len(empty) == 0
    assert len(CosineJoiner([[], ["a"], []])) == 3
    # One shared token is in every document: idf 0, empty vectors, no pair even at t < 0.
    assert cosine_join([["a"], ["a"]], -1.0) == []
    rows = cosine_join([["a", "b", "b"], ["b", "a", "b"], ["c"]], 0.5)
    assert [(j, i) for j, i, _ in rows] == [(0, 1)] and rows[0][2] == pytest.approx(1.0)
    # Tokens are exact texts: no case folding, no normalisation.
    assert cosine_join([["A"], ["a"], ["a"], ["x"]], 0.0) == cosine_join([["q"], ["a"], ["a"], ["x"]], 0.0)
    assert cosine_join([["a"], ["b"], ["c"]], -1.0) == []  # no shared term, never touched
    assert cosine_join([["a"], ["a"], ["b"]], math.nan) == []


def test_concurrent_joins_on_one_joiner(joiner):
    cases = [(t, threads) for t in (0.3, 0.5, 0.9) for threads in (0, 2)]
    want = {case: cosine_join(DOCS, case[0]) for case in cases}
    barrier = threading.Barrier(4)
    failures = []

    def worker(k):
        barrier.wait()
        for t, threads in cases[k:] + cases[:k]:
            if joiner.join(t, threads=threads) != want[(t, threads)] or len(joiner) != len(DOCS):
                failures.append((k, t, threads))

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    assert failures == []


def test_every_mode_spelling_gives_the_same_rows():
    joiner = CosineJoiner(EVERYWHERE)
    base = cosine_join(EVERYWHERE, 0.3)
    assert joiner.has_gpu is False
    for mode in ("cpu", "CPU", "gpu", "GPU", "gpu+cpu", "GPU+CPU", "Gpu_Cpu", "gpucpu"):
        assert cosine_join(EVERYWHERE, 0.3, mode) == base
        assert joiner.join(0.3, concurrency=mode) == base


def test_errors_that_pass_through_unchanged():
    for call in (lambda: cosine_join([["ok", "x\ud800"]], 0.5), lambda: CosineJoiner([["\udfff"]])):
        with pytest.raises(UnicodeEncodeError):
            call()
    for call in (lambda: cosine_join([], 0.5, "tpu", -1), lambda: CosineJoiner([]).join(0.5, threads=2**64)):
        with pytest.raises(OverflowError) as info:
            call()
        assert "argument" not in str(info.value)


def test_accepted_argument_forms():
    class Token(str):
        pass

    docs = [["a", "b"], ["a", "b"], ["c"]]
    want = cosine_join(docs, 0.5)
    assert cosine_join(tuple(map(tuple, docs)), 0.5) == want
    assert cosine_join([[Token(t) for t in doc] for doc in docs], 0.5) == want
    assert cosine_join(docs=docs, threshold=0.5, concurrency="gpu", threads=True) == want
    assert CosineJoiner(docs=docs).join(threshold=1 / 2, concurrency="cpu", threads=1) == want


def test_type_surface():
    assert str(inspect.signature(cosine_join)) == "(docs, threshold, concurrency='cpu', threads=0)"
    assert str(inspect.signature(CosineJoiner)) == "(docs)"
    assert str(inspect.signature(CosineJoiner([]).join)) == "(threshold, concurrency='cpu', threads=0)"
    assert cosine_join.__doc__.startswith("Exact all-pairs weighted-cosine similarity join")
    joiner = CosineJoiner([["a"]])
    with pytest.raises(AttributeError):
        joiner.has_gpu = True
    names = [n for n in vars(_ratiokit) if not n.startswith("__")]
    order = ["cluster_canonicals", "cosine_join", "Rationer", "CosineJoiner", "PanicException"]
    assert [n for n in names if n in order] == order
    # The package's class is the compiled one taking the package's input rule.
    assert issubclass(ratiokit.CosineJoiner, CosineJoiner)
    assert ratiokit.CosineJoiner(iter([["a", "b"], ["a"]])).join(0.1) == CosineJoiner([["a", "b"], ["a"]]).join(0.1)
    # The package wraps the compiled function for its input rule and a keyword-only progress.
    assert ratiokit.cosine_join([["a", "b"], ["a", "b"]], 0.5) == cosine_join([["a", "b"], ["a", "b"]], 0.5)
    assert list(inspect.signature(ratiokit.cosine_join).parameters)[-1] == "progress"
    # Each instance holds a reference to its heap type and gives it back when it goes.
    before = sys.getrefcount(CosineJoiner)
    for _ in range(50):
        CosineJoiner([["a"], ["b"]])
    assert sys.getrefcount(CosineJoiner) == before
