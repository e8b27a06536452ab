"""A call reads each sequence argument once, at its start: whatever another thread does to the
list afterwards (sort, clear, shrink, extend, refill), the result lines up with the items the
call started with, or the call raises. A result of any other length would be unusable."""

import os
import threading

import pytest

import ratiokit
from ratiokit import _ratiokit

# Scaled up by RATIOKIT_STRESS=1 (1,000,000 pairs, 20 runs of each case) for a stress run.
STRESS = bool(os.environ.get("RATIOKIT_STRESS"))
N_PAIRS = 1_000_000 if STRESS else 60_000
RUNS = 20 if STRESS else 2


def make_pairs(n, salt=""):
    return [(f"{salt}{i:07d} left {i % 97}", f"{i % 89} right {i:07d}{salt}") for i in range(n)]


PAIRS = make_pairs(N_PAIRS)
OTHER = make_pairs(N_PAIRS // 3, salt="zq")


def sort_by_key(items):
    # A key in Python lets the sort switch threads midway, while the list looks empty.
    items.sort(key=lambda pair: pair[1])


def clear(items):
    items.clear()


def shrink(items):
    del items[len(items) // 2 :]


def extend(items):
    items.extend(OTHER)


def refill(items):
    items[:] = OTHER


MUTATIONS = [sort_by_key, clear, shrink, extend, refill]


def batch_calls():
    handle = ratiokit.Rationer(threads=2)
    return {
        "ratio_many": lambda pairs: _ratiokit.ratio_many(pairs),
        "ratio_many threads=2": lambda pairs: _ratiokit.ratio_many(pairs, threads=2),
        "ratio(list)": lambda pairs: ratiokit.ratio(pairs),
        "Rationer.ratio_many": handle.ratio_many,
    }


def ratios_of(pairs, cache):
    key = tuple(pairs)
    if key not in cache:
        cache[key] = _ratiokit.ratio_many(key)
    return cache[key]


@pytest.mark.parametrize("mutation", MUTATIONS, ids=lambda f: f.__name__)
def test_batch_result_belongs_to_one_state_of_the_list(mutation):
    calls = batch_calls()
    cache = {}
    full = ratios_of(PAIRS, cache)
    for name, call in calls.items():
        for _ in range(RUNS):
            items = list(PAIRS)
            after = list(PAIRS)
            mutation(after)
            started = threading.Event()

            def mutate():
                started.wait()
                mutation(items)

            worker = threading.Thread(target=mutate)
            worker.start()
            started.set()
            try:
                result = call(items)
            except RuntimeError as error:
                # Only a sort can leave the list unreadable at the moment the call starts.
                assert mutation is sort_by_key and "being sorted" in str(error), error
                worker.join()
                continue
            worker.join()
            # Read before the change, or (when the other thread won the race) after it.
            assert result == full or result == ratios_of(after, cache), (name, len(result))


def test_sequence_whose_iteration_changes_it():
    class Shifting(list):
        """Each pass over it appends a pair, as a buggy lazy source might."""

        def __iter__(self):
            for pair in list.__iter__(self):
                yield pair
            self.append(("extra", "pair"))

    items = Shifting([("abcd", "bcde"), ("kitten", "sitting")])
    assert _ratiokit.ratio_many(items) == [0.75, 0.6153846153846154]
    assert len(items) == 3
    assert ratiokit.cluster_canonicals(Shifting(["abc", "abd", "xyz"]), 0.6) == [
        ([0, 1], 0.6666666666666666)
    ]


def test_list_being_sorted_is_an_error_not_an_empty_result():
    pairs = [("a", "b")] * 10
    texts = ["abc", "abd"] * 5
    calls = {
        id(pairs): lambda: _ratiokit.ratio_many(pairs),
        id(texts): lambda: _ratiokit.cluster_canonicals(texts, 0.5),
    }
    for items in (pairs, texts):
        raised = []

        def key(item):
            # The list looks empty, and is marked as being sorted, while this runs.
            if not raised:
                with pytest.raises(RuntimeError, match="being sorted"):
                    calls[id(items)]()
                raised.append(True)
            return item

        items.sort(key=key)
        assert raised
    assert _ratiokit.ratio_many(pairs) == [0.0] * 10

