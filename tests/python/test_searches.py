"""Searches, removal and listing through Python, checked against brute force."""

import random

import pytest

from korel import NearestNeighborsKorel

from korel_oracles import (
    RecordingMetric,
    as_multiset,
    assert_consistent,
    brute_force_k,
    euclidean,
    random_points,
)

BAD_FUNCTION_CALL = "bad_function_call"


def filled(points, metric=euclidean, batch=True):
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    if batch:
        index.add_list(points)
    else:
        for point in points:
            index.add(point)
    return index


@pytest.mark.parametrize("count", [1, 2, 50, 51, 52, 400])
@pytest.mark.parametrize("batch", [True, False], ids=["add_list", "add"])
def test_searches_match_brute_force(count, batch):
    points = random_points(count, dimensions=3, seed=count)
    index = filled(points, batch=batch)
    assert as_multiset(index.list()) == as_multiset(points)
    assert_consistent(index)
    for query in random_points(10, dimensions=3, seed=1000 + count):
        for k in (1, 3, count, count + 5):
            found = index.nearest_k(query, k)
            assert [euclidean(query, p) for p in found] == [d for d, _ in brute_force_k(points, query, k)]


def test_removal_keeps_searches_exact():
    generator = random.Random(7)
    points = random_points(600, seed=7)
    index = filled(points)
    alive = list(points)
    generator.shuffle(alive)
    # Enough removals to pass the batch purge of removed points at least once.
    for step in range(560):
        point = alive.pop()
        assert index.remove(point) is True
        assert index.remove(point) is False
        if step % 70 == 0:
            assert as_multiset(assert_consistent(index, seed=step)) == as_multiset(alive)
    assert as_multiset(index.list()) == as_multiset(alive)
    assert index.size() == len(alive)


def test_duplicates_are_removed_one_copy_at_a_time():
    points = random_points(100, seed=8)
    index = filled(points + [points[5], points[5]])
    for expected_size in (101, 100, 99):
        assert index.remove(points[5]) is True
        assert index.size() == expected_size
    assert index.remove(points[5]) is False
    assert as_multiset(index.list()) == as_multiset(points[:5] + points[6:])


def test_removing_everything_then_refilling():
    points = random_points(70, seed=9)
    index = filled(points)
    for point in points:
        assert index.remove(point)
    assert index.size() == 0 and index.list() == []
    assert index.nearest([0.0, 0.0]) == [] and index.nearest_k([0.0, 0.0], 3) == []
    assert index.remove(points[0]) is False
    index.add_list(points)
    assert_consistent(index)


def test_clear_empties_and_the_index_stays_usable():
    index = filled(random_points(200, seed=10))
    index.clear()
    assert index.size() == 0 and index.list() == []
    points = random_points(90, seed=11)
    index.add_list(points)
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


def test_replacing_the_metric_rebuilds_with_it():
    points = random_points(300, seed=12)
    index = filled(points)

    def manhattan(a, b):
        return sum(abs(x - y) for x, y in zip(a, b))

    index.set_distance_function(manhattan)
    assert as_multiset(assert_consistent(index, metric=manhattan)) == as_multiset(points)


# --- which distances are measured ---------------------------------------------


@pytest.mark.parametrize(
    "operation",
    ["nearest", "nearest_k", "nearest_r", "remove-missing", "remove", "add"],
)
def test_the_new_or_searched_point_comes_first(operation):
    points = random_points(300, seed=13)
    metric = RecordingMetric()
    index = filled(points, metric)
    stored = {tuple(p) for p in index.list()}
    argument = points[17] if operation == "remove" else [0.5, -0.25]
    metric.calls.clear()
    if operation == "nearest":
        index.nearest(argument)
    elif operation == "nearest_k":
        index.nearest_k(argument, 10)
    elif operation == "nearest_r":
        index.nearest_r(argument, 30.0)
    elif operation.startswith("remove"):
        index.remove(argument)
    else:
        index.add(argument)  # lands in a leaf far from full, so no split
    assert metric.calls
    for first, second in metric.calls:
        assert first == argument
        assert tuple(second) in stored


def test_nothing_is_measured_when_nothing_needs_measuring():
    metric = RecordingMetric()
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    assert index.nearest([1.0]) == []
    assert index.nearest_k([1.0], 5) == []
    assert index.nearest_r([1.0], 1e9) == []
    assert index.remove([1.0]) is False
    index.add_list(random_points(200, seed=14))
    metric.calls.clear()
    assert index.nearest_k([1.0, 1.0], 0) == []
    index.size(), index.list()
    index.clear()
    index.set_distance_function(metric)  # on an empty index
    assert metric.count == 0


def test_without_a_metric_only_measuring_operations_fail():
    index = NearestNeighborsKorel()
    assert index.nearest([1.0]) == [] and index.nearest_k([1.0], 3) == [] and index.nearest_r([1.0], 5.0) == []
    assert index.remove([1.0]) is False
    points = random_points(51, seed=15)  # one leaf holds up to 51 points without splitting
    for point in points:
        index.add(point)
    assert index.size() == 51
    assert index.nearest_k([0.0, 0.0], 0) == []
    for call in (
        lambda: index.nearest([0.0, 0.0]),
        lambda: index.nearest_k([0.0, 0.0], 2),
        lambda: index.nearest_r([0.0, 0.0], 1.0),
        lambda: index.remove(points[3]),
        lambda: index.add([0.0, 0.0]),  # the 52nd point splits the leaf
    ):
        with pytest.raises(RuntimeError) as raised:
            call()
        assert str(raised.value) == BAD_FUNCTION_CALL
    # The interrupted split keeps every point in the leaf.
    assert as_multiset(index.list()) == as_multiset(points + [[0.0, 0.0]])
    index.set_distance_function(euclidean)
    assert as_multiset(assert_consistent(index)) == as_multiset(points + [[0.0, 0.0]])
    index.clear()
    assert index.size() == 0
