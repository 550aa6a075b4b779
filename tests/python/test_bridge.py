"""Python callables as the distance function of the index."""

import decimal
import fractions
import gc
import math
import sys
import traceback
import weakref

import numpy as np
import pytest

from korel import NearestNeighborsKorel

from korel_oracles import FailingMetric, RecordingMetric, as_multiset, assert_consistent, euclidean, random_points

CAST_ERROR = (
    "Unable to cast Python instance of type %s to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


def index_with(metric, points=()):
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    index.add_list(list(points))
    return index


# --- what may serve as a metric -------------------------------------------------


class CallableObject:
    def __call__(self, a, b):
        return euclidean(a, b)


class MethodHolder:
    def distance(self, a, b):
        return euclidean(a, b)


@pytest.mark.parametrize(
    "metric",
    [euclidean, lambda a, b: euclidean(a, b), MethodHolder().distance, CallableObject(), math.dist],
    ids=["function", "lambda", "bound-method", "callable-object", "builtin"],
)
def test_any_callable_serves(metric):
    points = random_points(150, seed=20)
    index = index_with(metric, points)
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


def test_none_empties_the_metric():
    index = NearestNeighborsKorel()
    assert index.set_distance_function(None) is None
    index.add([1.0, 2.0])
    index.add([3.0, 4.0])
    with pytest.raises(RuntimeError) as raised:
        index.nearest([0.0, 0.0])
    assert str(raised.value) == "bad_function_call"


def test_none_on_a_filled_index_fails_in_the_rebuild_and_keeps_the_points():
    points = random_points(120, seed=21)
    index = index_with(euclidean, points)
    with pytest.raises(RuntimeError) as raised:
        index.set_distance_function(None)
    assert str(raised.value) == "bad_function_call"
    assert as_multiset(index.list()) == as_multiset(points)
    index.set_distance_function(euclidean)
    assert_consistent(index)


@pytest.mark.parametrize("not_callable", [3, "euclidean", [euclidean]], ids=repr)
def test_non_callables_are_refused_and_the_old_metric_stays(not_callable):
    metric = RecordingMetric()
    points = random_points(100, seed=22)
    index = index_with(metric, points)
    with pytest.raises(TypeError) as raised:
        index.set_distance_function(not_callable)
    prototype = NearestNeighborsKorel.set_distance_function.__doc__[len("set_distance_function") : -1]
    assert str(raised.value) == (
        "set_distance_function(): incompatible function arguments. The following argument types are supported:\n"
        "    1. " + prototype + "\n\nInvoked with: " + repr(index) + ", " + repr(not_callable)
    )
    metric.calls.clear()
    assert_consistent(index)
    assert metric.count > 0


# --- what a metric returns ------------------------------------------------------


@pytest.mark.parametrize(
    "returned, distance",
    [
        (3, 3.0),
        (-1.0, -1.0),
        (True, 1.0),
        (np.float32(2.5), 2.5),
        (np.int64(4), 4.0),
        (fractions.Fraction(7, 2), 3.5),
        (decimal.Decimal("1.25"), 1.25),
        (math.inf, math.inf),
    ],
    ids=repr,
)
def test_numbers_are_taken_as_they_are(returned, distance):
    """A constant metric puts every point at that distance: the radius search shows it.

    Forty points stay in the root leaf, so no pruning depends on the values.
    """
    points = random_points(40, seed=23)
    index = index_with(lambda a, b: returned, points)
    assert len(index.nearest_r([0.0, 0.0], distance)) == 40
    assert index.nearest_r([0.0, 0.0], np.nextafter(distance, -math.inf)) == []


def test_nan_passes_unchecked():
    index = index_with(lambda a, b: math.nan, random_points(10, seed=24))
    assert index.nearest_r([0.0, 0.0], math.inf) == []
    assert len(index.nearest_k([0.0, 0.0], 3)) == 3


@pytest.mark.parametrize("returned", [None, "1.0", object(), [1.0]], ids=repr)
def test_non_numbers_are_a_cast_error(returned):
    index = index_with(lambda a, b: returned, [[1.0], [2.0]])
    with pytest.raises(RuntimeError) as raised:
        index.nearest([0.0])
    assert str(raised.value) == CAST_ERROR % str(type(returned))


# --- what a metric receives -------------------------------------------------------


def test_each_call_gets_two_new_lists_that_it_may_change():
    received = []

    def vandal(a, b):
        received.append(a)
        received.append(b)
        distance = euclidean(a, b)
        a.append(99.0)
        b[:] = []
        return distance

    points = random_points(120, seed=25)
    index = index_with(vandal, points)
    index.nearest_k([0.0, 0.0], 5)
    assert received and all(type(x) is list for x in received)
    assert len({id(x) for x in received}) == len(received)  # all alive, so distinct ids mean distinct lists
    del received[:]
    index.set_distance_function(euclidean)
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


# --- exceptions from the metric ----------------------------------------------------


def operations(points, metric):
    """Operations that measure, each run on an index holding `points` under `metric`."""
    fresh = random_points(1, seed=26)[0]
    return {
        "add": lambda index: index.add(fresh),
        "add_list": lambda index: index.add_list(random_points(80, seed=27)),
        "nearest": lambda index: index.nearest(fresh),
        "nearest_k": lambda index: index.nearest_k(fresh, 9),
        "nearest_r": lambda index: index.nearest_r(fresh, 30.0),
        "remove": lambda index: index.remove(points[0]),  # the root pivot: removal rebuilds
        "set_distance_function": lambda index: index.set_distance_function(metric),  # rebuilds
    }


@pytest.mark.parametrize("failing_call", [0, 1, 30, 200])
@pytest.mark.parametrize(
    "operation", ["add", "add_list", "nearest", "nearest_k", "nearest_r", "remove", "set_distance_function"]
)
def test_metric_exception_reaches_the_caller_and_the_index_stays_sound(operation, failing_call):
    points = random_points(250, seed=28)
    metric = FailingMetric()
    index = index_with(metric, points)
    metric.arm(failing_call)
    try:
        operations(points, metric)[operation](index)
    except ValueError as error:
        assert error is metric.error
        frames = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
        assert frames[-1] == "__call__"  # the traceback reaches into the metric
    else:
        assert metric.remaining is not None  # finished before the failing call
    metric.arm(None)
    stored = assert_consistent(index)
    assert not set(map(tuple, stored)) - set(map(tuple, points + random_points(80, seed=27) + random_points(1, seed=26)))


def test_split_interrupted_in_a_batch_keeps_every_point():
    metric = FailingMetric()
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    points = random_points(100, seed=29)
    metric.arm(10)
    with pytest.raises(ValueError):
        index.add_list(points)
    metric.arm(None)
    assert index.size() == 100
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


# --- references to the callable -------------------------------------------------------


def test_metric_is_held_twice_and_released_on_replacement_and_deletion():
    def metric(a, b):
        return euclidean(a, b)

    base = sys.getrefcount(metric)
    index = index_with(metric, random_points(100, seed=30))
    assert sys.getrefcount(metric) == base + 2  # the index's copy and the pivot selector's
    index.set_distance_function(euclidean)
    assert sys.getrefcount(metric) == base
    index.set_distance_function(metric)
    assert sys.getrefcount(metric) == base + 2
    del index
    assert sys.getrefcount(metric) == base


def test_a_bound_method_keeps_its_instance_alive_while_installed():
    holder = MethodHolder()
    alive = weakref.ref(holder)
    index = index_with(holder.distance, random_points(40, seed=31))  # a rebuild of one leaf measures nothing
    del holder
    gc.collect()
    assert alive() is not None
    assert_consistent(index)
    index.set_distance_function(None)
    assert alive() is None  # released by reference counting alone

    holder = MethodHolder()
    alive = weakref.ref(holder)
    index = index_with(holder.distance)
    del holder
    assert alive() is not None
    del index
    assert alive() is None


# --- native functions ------------------------------------------------------------------


def test_native_metric_is_held_as_a_plain_function_pointer():
    metrics = pytest.importorskip("korel.metrics")
    native_function = metrics.euclidean
    references_before = sys.getrefcount(native_function)
    points = random_points(300, dimensions=3, seed=32)
    native = index_with(metrics.euclidean, points)
    wrapped = index_with(lambda a, b: metrics.euclidean(a, b), points)
    # No Python object stands behind the native copy: nothing to reference, nothing to traverse.
    references_after = sys.getrefcount(native_function)
    assert references_after == references_before
    assert gc.get_referents(native) == [NearestNeighborsKorel]
    # Same distances, so the same tree and the same answers as the wrapped call.
    assert native.list() == wrapped.list()
    for query in random_points(5, dimensions=3, seed=33):
        assert native.nearest_k(query, 8) == wrapped.nearest_k(query, 8)
    assert_consistent(native, metric=metrics.euclidean)
