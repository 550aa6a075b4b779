"""Bad input across the boundary: every argument of every method, given
objects of the wrong type or shape, or objects that fail while being read,
gives the incompatible-arguments TypeError or lets the object's own
exception through, and leaves the index unchanged with no distance
evaluated. NaN and infinite coordinates, radii and distances never crash
the process or lose a point."""

import math
import random
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korel import NearestNeighborsKorel
from oracle import manhattan, multiset, points_equal

INCOMPATIBLE = "(): incompatible function arguments"


class Broken(Exception):
    pass


class RaisingLength:
    def __len__(self):
        raise Broken("len")

    def __getitem__(self, position):
        return 1.0


class RaisingItem:
    def __len__(self):
        return 2

    def __getitem__(self, position):
        raise Broken("item")


class ShortSequence:
    """Claims three items, has one."""

    def __len__(self):
        return 3

    def __getitem__(self, position):
        if position > 0:
            raise IndexError(position)
        return 1.0


class NegativeLength(RaisingItem):
    def __len__(self):
        return -1


class EnormousLength(RaisingItem):
    def __len__(self):
        return 2**62


class FloatRaises:
    def __float__(self):
        raise Broken("float")


class FloatReturnsString:
    def __float__(self):
        return "1.0"


class FloatReturnsInt:
    def __float__(self):
        return 1


class IndexRaises:
    def __index__(self):
        raise Broken("index")


# Objects that are not points: the call must fail with the TypeError.
NOT_POINTS = {
    "str": "12",
    "bytes": b"12",
    "nested": [[1.0], [2.0]],
    "None": None,
    "float": 1.0,
    "dict": {0: 1.0},
    "element str": [1.0, "2"],
    "element bytes": [1.0, b"2"],
    "element list": [1.0, [2.0]],
    "element None": [None, 1.0],
    "element float raises": [1.0, FloatRaises()],
    "element float returns str": [FloatReturnsString(), 1.0],
    "element float returns int": [1.0, FloatReturnsInt()],
    "element index raises": [IndexRaises(), 1.0],
}

# Objects whose own reading fails: that exception must come through.
FAILING_SEQUENCES = {
    "len raises": (RaisingLength(), Broken),
    "item raises": (RaisingItem(), Broken),
    "short": (ShortSequence(), IndexError),
    "negative len": (NegativeLength(), ValueError),
}

# Where a point goes, for every method that takes one.
POINT_ARGUMENTS = {
    "add": lambda index, p: index.add(p),
    "remove": lambda index, p: index.remove(p),
    "nearest": lambda index, p: index.nearest(p),
    "nearest_k": lambda index, p: index.nearest_k(p, 3),
    "nearest_r": lambda index, p: index.nearest_r(p, 5.0),
    "add_list item": lambda index, p: index.add_list([[0.0, 0.0], p]),
}


class CountingMetric:
    def __init__(self):
        self.calls = 0

    def __call__(self, a, b):
        self.calls += 1
        return manhattan(a, b)


@pytest.fixture
def filled():
    index = NearestNeighborsKorel()
    metric = CountingMetric()
    index.set_distance_function(metric)
    index.add_list([[float(i % 9), float(i // 9)] for i in range(90)])
    return index, metric


def unchanged_after(index, metric, call, expected):
    """Runs a call that must fail with `expected` and checks that it changed
    nothing and measured nothing."""
    before = index.list()
    calls = metric.calls
    with pytest.raises(expected) as raised:
        call()
    assert metric.calls == calls, "a refused call evaluated distances"
    assert index.list() == before and index.size() == len(before)
    return raised.value


@pytest.mark.parametrize("method", sorted(POINT_ARGUMENTS))
@pytest.mark.parametrize("bad", sorted(NOT_POINTS))
def test_a_non_point_is_refused(filled, method, bad):
    index, metric = filled
    error = unchanged_after(index, metric, lambda: POINT_ARGUMENTS[method](index, NOT_POINTS[bad]), TypeError)
    assert INCOMPATIBLE in str(error)


@pytest.mark.parametrize("method", sorted(POINT_ARGUMENTS))
@pytest.mark.parametrize("bad", sorted(FAILING_SEQUENCES))
def test_a_failing_sequence_passes_its_exception_through(filled, method, bad):
    index, metric = filled
    sequence, expected = FAILING_SEQUENCES[bad]
    unchanged_after(index, metric, lambda: POINT_ARGUMENTS[method](index, sequence), expected)


@pytest.mark.parametrize("method", sorted(POINT_ARGUMENTS))
def test_an_enormous_claimed_length_fails_cleanly(filled, method):
    """Reserving room for 2**62 coordinates cannot succeed; the call must
    fail with ValueError (a container past its maximum size), not take the
    process down."""
    index, metric = filled
    unchanged_after(
        index, metric, lambda: POINT_ARGUMENTS[method](index, EnormousLength()), ValueError
    )


@pytest.mark.parametrize(
    "batch",
    ["ab", b"ab", [1.0, 2.0], [[1.0], "2"], [[1.0], [[2.0]]], [[1.0], None], 5, None],
    ids=["str", "bytes", "flat", "str item", "too deep", "None item", "int", "None"],
)
def test_a_non_batch_is_refused(filled, batch):
    index, metric = filled
    error = unchanged_after(index, metric, lambda: index.add_list(batch), TypeError)
    assert INCOMPATIBLE in str(error)


class ShortBatch(ShortSequence):
    def __getitem__(self, position):
        return [super().__getitem__(position), 2.0]


@pytest.mark.parametrize("bad", sorted(FAILING_SEQUENCES))
def test_a_failing_batch_passes_its_exception_through(filled, bad):
    index, metric = filled
    sequence, expected = FAILING_SEQUENCES[bad]
    outer = ShortBatch() if bad == "short" else sequence
    unchanged_after(index, metric, lambda: index.add_list(outer), expected)
    unchanged_after(index, metric, lambda: index.add_list([[1.0, 1.0], sequence]), expected)


@pytest.mark.parametrize(
    "k", [-1, -(2**70), 2**64, 2**100, 3.0, math.nan, "3", None, [3], IndexRaises()], ids=repr
)
def test_a_bad_k_is_refused(filled, k):
    index, metric = filled
    error = unchanged_after(index, metric, lambda: index.nearest_k([1.0, 1.0], k), TypeError)
    assert INCOMPATIBLE in str(error)


def test_the_largest_k_returns_everything(filled):
    index, _ = filled
    assert multiset(index.nearest_k([1.0, 1.0], 2**64 - 1)) == multiset(index.list())


@pytest.mark.parametrize(
    "radius", ["1", b"1", None, [1.0], FloatRaises(), FloatReturnsString(), 1j], ids=repr
)
def test_a_bad_radius_is_refused(filled, radius):
    index, metric = filled
    error = unchanged_after(index, metric, lambda: index.nearest_r([1.0, 1.0], radius), TypeError)
    assert INCOMPATIBLE in str(error)


@pytest.mark.parametrize("metric", [0, "manhattan", [manhattan], b"", 1.5], ids=repr)
def test_a_non_callable_metric_is_refused_and_the_old_one_stays(filled, metric):
    index, counting = filled
    error = unchanged_after(index, counting, lambda: index.set_distance_function(metric), TypeError)
    assert INCOMPATIBLE in str(error)
    index.nearest([0.0, 0.0])
    assert counting.calls > 0, "the installed metric was dropped"


# --- NaN and infinities ---------------------------------------------------------

SPECIAL = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, -1e308, 5e-324]


def test_radii_nan_and_infinite(filled):
    index, _ = filled
    everything = multiset(index.list())
    assert index.nearest_r([1.0, 1.0], math.nan) == []
    assert index.nearest_r([1.0, 1.0], -math.inf) == []
    assert multiset(index.nearest_r([1.0, 1.0], math.inf)) == everything
    assert index.size() == 90


def test_special_coordinates_are_stored_and_found():
    """Points with NaN and infinite coordinates are kept bit for bit and are
    all returned by a search for every point."""
    rng = random.Random(3)
    points = [[rng.choice(SPECIAL), rng.choice(SPECIAL)] for _ in range(200)]
    points += [[float(i), 1.0] for i in range(100)]
    for metric in (manhattan, lambda a, b: math.dist(a, b)):
        index = NearestNeighborsKorel()
        index.set_distance_function(metric)
        index.add_list(points[:150])
        for p in points[150:]:
            index.add(p)
        assert multiset(index.list()) == multiset(points)
        for query in ([math.nan, 0.0], [math.inf, 1.0], [0.0, 0.0]):
            assert multiset(index.nearest_k(query, len(points))) == multiset(points)
            assert len(index.nearest_k(query, 7)) == 7
        nan_point = next(p for p in points if math.isnan(p[0]) or math.isnan(p[1]))
        assert index.remove(nan_point) is False  # NaN equals nothing
        assert index.size() == len(points)


# Distances a broken callable may return.
WEIRD_DISTANCES = [math.nan, math.inf, -math.inf, -1.0, 0.0, 1e-300, 1e300, 3, True]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**32 - 1),
    weird=st.lists(st.sampled_from(WEIRD_DISTANCES), min_size=1, max_size=4),
    share=st.floats(0.0, 1.0),
)
def test_weird_distances_never_lose_a_point(seed, weird, share):
    """A callable returning NaN, infinities, negative or random values (a
    fraction `share` of the time) breaks every assumption of the tree, yet
    the index keeps exactly its points and its searches return stored ones."""
    rng = random.Random(seed)

    def metric(a, b):
        return rng.choice(weird) if rng.random() < share else manhattan(a, b)

    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    stored = []
    for _ in range(12):
        action = rng.random()
        if action < 0.3:
            batch = [[float(rng.randint(-5, 5)), float(rng.randint(-5, 5))] for _ in range(rng.randint(1, 120))]
            index.add_list(batch)
            stored += batch
        elif action < 0.5:
            p = [float(rng.randint(-5, 5)), float(rng.randint(-5, 5))]
            index.add(p)
            stored.append(p)
        elif action < 0.75:
            victim = rng.choice(stored) if stored and rng.random() < 0.8 else [9.5, 9.5]
            before = index.list()
            if index.remove(victim):
                gone = Counter(map(tuple, before)) - Counter(map(tuple, index.list()))
                assert len(list(gone.elements())) == 1 and points_equal(next(iter(gone)), victim)
                stored.remove(next(p for p in stored if points_equal(p, victim)))
            else:
                assert multiset(index.list()) == multiset(before)
        elif action < 0.85:
            index.set_distance_function(metric)  # a rebuild under the weird metric
        else:
            query = [float(rng.randint(-6, 6)), 0.5]
            k = rng.randint(0, len(stored) + 2)
            found = index.nearest_k(query, k)
            assert len(found) == min(k, len(stored))
            assert not (multiset(found) - multiset(stored))
            assert not (multiset(index.nearest_r(query, rng.choice([0.0, 3.0, math.inf]))) - multiset(stored))
            nearest = index.nearest(query)
            assert (nearest == []) == (not stored)
        assert multiset(index.list()) == multiset(stored)
        assert index.size() == len(stored)
    assert multiset(index.nearest_k([0.0, 0.0], len(stored))) == multiset(stored)
