"""Leaks and lifetimes: memory stays flat across many indexes, queries and
metric replacements, and every callable handed to an index is released
when it is replaced or when the index goes.

Memory is measured as the process's resident set size, which covers the C++
heap that tracemalloc cannot see. Queries use korel.metrics' native
manhattan when it is built (no Python call per distance) and a Python
function otherwise.
"""

import functools
import gc
import math
import os
import sys
import weakref

import pytest

from korel import NearestNeighborsKorel

try:
    from korel.metrics import manhattan as fast_metric
except ImportError:

    def fast_metric(a, b):
        return abs(a[0] - b[0]) + abs(a[1] - b[1])


PAGE = os.sysconf("SC_PAGE_SIZE")
MiB = 1024 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def growth(work, rounds):
    """Runs `work` once to warm up, then `rounds` more times; returns the
    growth of the resident set over the measured rounds."""
    work()
    gc.collect()
    start = resident_bytes()
    for _ in range(rounds):
        work()
    gc.collect()
    return resident_bytes() - start


def report(what, grown):
    print("\n%s: resident set grew by %.2f MiB" % (what, grown / MiB))


def l1(a, b):
    return abs(a[0] - b[0]) + abs(a[1] - b[1])


def test_creating_and_dropping_100000_indexes_keeps_memory_flat():
    points = [[float(i), float(-i)] for i in range(5)]

    def work():
        for i in range(10_000):
            index = NearestNeighborsKorel()
            if i % 2:
                index.set_distance_function(l1)
                index.add_list(points)
                index.nearest([0.0, 0.0])
            del index

    grown = growth(work, rounds=10)  # 100,000 indexes measured
    report("100,000 indexes", grown)
    assert grown < 4 * MiB


def test_a_million_queries_keep_memory_flat():
    index = NearestNeighborsKorel()
    index.set_distance_function(fast_metric)
    index.add_list([[float(i), float(i % 3)] for i in range(6)])
    query = [2.0, 1.0]

    def work():
        for _ in range(100_000):
            index.nearest(query)
        for _ in range(50_000):
            index.nearest_k(query, 3)
        for _ in range(50_000):
            index.nearest_r(query, 2.0)

    grown = growth(work, rounds=5)  # 1,000,000 queries measured
    report("1,000,000 queries (%s)" % getattr(fast_metric, "__module__", "?"), grown)
    assert grown < 4 * MiB


def test_replacing_distance_functions_keeps_memory_flat():
    index = NearestNeighborsKorel()
    index.add_list([[float(i), 0.0] for i in range(40)])  # rebuilt on every replacement

    def work():
        for i in range(20_000):
            index.set_distance_function(lambda a, b, i=i: abs(a[0] - b[0]))
            if i % 3 == 0:
                index.set_distance_function(None)

    grown = growth(work, rounds=5)  # 100,000 installations measured
    report("100,000 distance functions installed", grown)
    assert grown < 4 * MiB


class Metric:
    def __call__(self, a, b):
        return l1(a, b)

    def method(self, a, b):
        return l1(a, b)


def callables():
    """Every kind of callable, each with the object whose lifetime tells
    whether the index still holds it."""
    def function(a, b):
        return l1(a, b)

    instance = Metric()
    bound = instance.method
    return {
        "function": (function, function),
        "lambda": (lambda a, b: l1(a, b),) * 2,
        "callable object": (instance, instance),
        "bound method": (bound, bound.__self__),
        "partial": (functools.partial(l1),) * 2,
    }


KINDS = sorted(callables())


def installed(kind):
    """A new filled index holding a callable of `kind`, and a weak reference
    to what must die with the callable."""
    index = NearestNeighborsKorel()
    metric, owner = callables()[kind]
    index.set_distance_function(metric)
    index.add_list([[float(i), float(i % 7)] for i in range(120)])  # splits: both copies in use
    index.nearest_k([3.0, 3.0], 5)
    alive = weakref.ref(owner)
    del metric, owner
    gc.collect()
    assert alive() is not None, "the index does not hold its distance function"
    return index, alive


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "replacement", ["another callable", "None", "same kind", "failing rebuild"]
)
def test_a_replaced_callable_is_released(kind, replacement):
    index, alive = installed(kind)
    if replacement == "None":
        with pytest.raises(RuntimeError, match="^bad_function_call$"):
            index.set_distance_function(None)  # the rebuild needs a distance
    elif replacement == "failing rebuild":

        def failing(a, b):
            raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            index.set_distance_function(failing)
    else:
        index.set_distance_function(callables()[kind][0] if replacement == "same kind" else l1)
    gc.collect()
    assert alive() is None, "the replaced callable is still held"
    assert index.size() == 120


@pytest.mark.parametrize("kind", KINDS)
def test_a_callable_is_released_with_its_index(kind):
    index, alive = installed(kind)
    del index
    gc.collect()
    assert alive() is None


def test_a_refused_replacement_keeps_the_installed_callable():
    index, alive = installed("function")
    with pytest.raises(TypeError):
        index.set_distance_function(42)
    gc.collect()
    assert alive() is not None
    assert index.nearest([0.0, 0.0]) == [0.0, 0.0]
    del index
    gc.collect()
    assert alive() is None


def test_a_metric_that_refers_to_its_index_is_collected():
    index = NearestNeighborsKorel()

    def metric(a, b, index=index):  # a cycle: index -> metric -> index
        return l1(a, b)

    index.set_distance_function(metric)
    index.add_list([[float(i), 0.0] for i in range(60)])
    alive_index, alive_metric = weakref.ref(index), weakref.ref(metric)
    del index, metric
    gc.collect()
    assert alive_index() is None and alive_metric() is None


def test_builtin_callable_references_are_balanced():
    """A builtin cannot be weakly referenced: count its references."""
    metric = math.dist
    before = sys.getrefcount(metric)
    indexes = [NearestNeighborsKorel() for _ in range(50)]
    for index in indexes:
        index.set_distance_function(metric)
        index.add_list([[float(i), 1.0] for i in range(60)])
    held_by_50 = sys.getrefcount(metric) - before
    for index in indexes[:25]:
        index.set_distance_function(l1)
    held_by_25 = sys.getrefcount(metric) - before
    del index, indexes
    gc.collect()
    held_by_none = sys.getrefcount(metric) - before
    assert held_by_50 >= 50 and held_by_25 == held_by_50 // 2 and held_by_none == 0


def test_arguments_and_results_are_not_kept():
    index = NearestNeighborsKorel()
    index.set_distance_function(l1)

    class Coordinate(float):
        pass

    class Point(list):
        pass

    point = Point([Coordinate(1.0), Coordinate(2.0)])
    alive = weakref.ref(point)
    index.add(point)
    index.add_list([point, point])
    index.remove(point)
    result = index.nearest_k(point, 2)
    del point
    gc.collect()
    assert alive() is None
    assert all(type(x) is float for p in result for x in p)
