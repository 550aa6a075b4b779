"""Reference cycles through the distance function are collected."""

import gc
import sys
import weakref

import pytest

from korel import NearestNeighborsKorel

from korel_oracles import euclidean, random_points


@pytest.fixture(autouse=True)
def collector_paused():
    """Only explicit collections run, so each test sees exactly what gc.collect() does."""
    gc.collect()
    gc.disable()
    yield
    gc.enable()


class Owner:
    """Owns an index whose metric is one of its own bound methods."""

    def __init__(self, points):
        self.index = NearestNeighborsKorel()
        self.index.set_distance_function(self.distance)
        self.index.add_list(points)

    def distance(self, a, b):
        return euclidean(a, b)


def test_index_reports_both_copies_of_the_metric_to_the_collector():
    index = NearestNeighborsKorel()
    assert gc.is_tracked(index)
    assert gc.get_referents(index) == [NearestNeighborsKorel]
    index.set_distance_function(euclidean)
    assert gc.get_referents(index) == [NearestNeighborsKorel, euclidean, euclidean]
    index.set_distance_function(None)
    assert gc.get_referents(index) == [NearestNeighborsKorel]


def assert_bare_instance_is_collected(cls):
    """An instance never initialised refers to its class only, and a cycle
    through it is collected."""
    bare = cls.__new__(cls)
    assert gc.get_referents(bare) == [cls]
    cycle = [bare]
    cycle.append(cycle)
    alive = weakref.ref(bare)
    del bare, cycle
    gc.collect()
    assert alive() is None


def test_bare_instance_is_safe_to_traverse():
    assert_bare_instance_is_collected(NearestNeighborsKorel)


@pytest.mark.parametrize("count", [0, 40, 300], ids=["empty", "leaf", "tree"])
def test_cycle_through_a_bound_method_is_collected(count):
    owner = Owner(random_points(count, seed=60))
    function = Owner.distance
    references_before = sys.getrefcount(function)
    owner_alive, index_alive = weakref.ref(owner), weakref.ref(owner.index)
    del owner
    assert owner_alive() is not None and index_alive() is not None  # only a cycle holds them now
    gc.collect()
    assert owner_alive() is None
    assert index_alive() is None
    assert sys.getrefcount(function) == references_before - 1  # the bound method is gone


class SelfReferringMetric:
    """A callable object that keeps the index it measures for."""

    def __init__(self):
        self.index = NearestNeighborsKorel()
        self.index.set_distance_function(self)
        self.index.add_list(random_points(120, seed=61))

    def __call__(self, a, b):
        return euclidean(a, b)


def test_cycle_through_a_callable_object_is_collected():
    metric = SelfReferringMetric()
    alive = weakref.ref(metric)
    del metric
    gc.collect()
    assert alive() is None


class Indexed(NearestNeighborsKorel):
    pass


def test_cycle_through_a_subclass_instance_releases_its_metric():
    def metric(a, b):
        return euclidean(a, b)

    references_before = sys.getrefcount(metric)
    index = Indexed()
    index.set_distance_function(metric)
    index.add_list(random_points(100, seed=62))
    index.itself = index
    assert sys.getrefcount(metric) == references_before + 2
    del index
    gc.collect()
    assert sys.getrefcount(metric) == references_before


def test_reachable_index_keeps_working_after_collections():
    owner = Owner(random_points(200, seed=63))
    gc.collect()
    gc.collect()
    query = [1.0, 2.0]
    assert owner.index.nearest(query) == min(owner.index.list(), key=lambda p: euclidean(query, p))


def test_object_index_reports_its_metric_and_objects_only_once_constructed():
    from korel._index import ObjectIndex

    def metric(a, b):
        return 0.0

    index = ObjectIndex(metric)
    point, word = (1.0,), "word"
    index.add([point, word])
    assert gc.get_referents(index) == [ObjectIndex, metric, point, word]
    assert_bare_instance_is_collected(ObjectIndex)
