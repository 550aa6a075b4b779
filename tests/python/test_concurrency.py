"""One instance, many callers: re-entrant calls are refused, threads take turns."""

import sys
import threading
import time

import pytest

from korel import NearestNeighborsKorel

from korel_oracles import CALLS, as_multiset, assert_consistent, brute_force_k, euclidean, random_points

BUSY = "NearestNeighborsKorel is busy: a distance function must not call back into the index it serves"


@pytest.mark.parametrize("method", sorted(CALLS))
def test_call_back_from_the_metric_is_refused_and_the_outer_call_completes(method):
    points = random_points(200, seed=40)
    index = NearestNeighborsKorel()
    refusals = []

    def meddling(a, b):
        try:
            getattr(index, method)(*CALLS[method])
        except RuntimeError as error:
            refusals.append(str(error))
        return euclidean(a, b)

    index.set_distance_function(euclidean)
    index.add_list(points)
    index.set_distance_function(meddling)  # rebuilds, calling back all the while
    query = [3.0, 7.0]
    found = index.nearest_k(query, 12)
    assert [euclidean(query, p) for p in found] == [d for d, _ in brute_force_k(points, query, 12)]
    assert refusals and set(refusals) == {BUSY}
    index.set_distance_function(euclidean)
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


def test_an_uncaught_refusal_travels_out_and_leaves_the_index_usable():
    points = random_points(40, seed=41)  # one leaf: installing the metric measures nothing
    index = NearestNeighborsKorel()
    index.add_list(points)
    index.set_distance_function(lambda a, b: index.size())
    with pytest.raises(RuntimeError, match="^" + BUSY + "$"):
        index.nearest([0.0, 0.0])
    index.set_distance_function(euclidean)  # would block forever if the call had kept the instance
    assert as_multiset(assert_consistent(index)) == as_multiset(points)


def test_a_metric_may_use_another_index():
    helper = NearestNeighborsKorel()
    helper.set_distance_function(euclidean)
    helper.add_list(random_points(80, seed=42))

    def metric(a, b):
        helper.nearest(a)
        return euclidean(a, b)

    points = random_points(150, seed=43)
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    index.add_list(points)
    assert as_multiset(assert_consistent(index, metric=metric)) == as_multiset(points)


class SlowMetric:
    """Sleeps in every call, so other threads run while an operation is open."""

    def __init__(self):
        self.calls = 0
        self.started = threading.Event()

    def __call__(self, a, b):
        self.calls += 1
        self.started.set()
        time.sleep(0.0005)
        return euclidean(a, b)


def test_another_thread_waits_until_the_running_operation_ends():
    points = random_points(300, seed=44)
    index = NearestNeighborsKorel()
    index.set_distance_function(euclidean)
    index.add_list(points)
    metric = SlowMetric()
    worker = threading.Thread(target=index.set_distance_function, args=(metric,))  # a long rebuild
    worker.start()
    assert metric.started.wait(10)
    size = index.size()  # must wait for the rebuild to finish
    calls_when_served = metric.calls
    worker.join()
    assert size == 300
    assert calls_when_served == metric.calls  # no distance was measured after size() got its turn


def test_other_instances_do_not_wait():
    busy, idle = NearestNeighborsKorel(), NearestNeighborsKorel()
    busy.set_distance_function(euclidean)
    busy.add_list(random_points(300, seed=45))
    metric = SlowMetric()
    worker = threading.Thread(target=busy.set_distance_function, args=(metric,))
    worker.start()
    assert metric.started.wait(10)
    idle.size()
    calls_when_served = metric.calls
    worker.join()
    assert calls_when_served < metric.calls


@pytest.fixture
def frequent_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_hammering_one_instance(frequent_switching):
    """Each thread works in its own region of the plane, so its own results are known."""
    index = NearestNeighborsKorel()
    index.set_distance_function(euclidean)
    threads_count, per_thread = 4, 150
    kept = {}
    failures = []

    def work(number):
        try:
            mine = random_points(per_thread, seed=50 + number, offset=1000.0 * number)
            for position, point in enumerate(mine):
                index.add(point)
                assert index.nearest(point) == point
                removed = position % 3 == 0
                if removed:
                    assert index.remove(point) is True
                if position % 10 == 0:
                    assert (point in index.nearest_k(point, 5)) is not removed
                    index.nearest_r(point, 50.0)
                    index.size()
            index.add_list(mine[:5])
            kept[number] = [p for i, p in enumerate(mine) if i % 3 != 0] + mine[:5]
            for point in kept[number][::7]:
                found = index.nearest_k(point, 3)
                assert found[0] == point
        except BaseException as error:  # reported from the main thread
            failures.append(error)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(threads_count)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not failures, failures
    expected = [p for n in range(threads_count) for p in kept[n]]
    assert as_multiset(assert_consistent(index)) == as_multiset(expected)
