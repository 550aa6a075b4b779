"""Independent oracles and instrumented metrics shared by the binding tests."""

import math
import os
import random
import signal
import subprocess
import sys
import threading
from collections import Counter


def euclidean(a, b):
    return math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b)))


# Valid arguments for each of the ten methods.
CALLS = {
    "set_distance_function": (euclidean,),
    "add": ([1.0, 2.0],),
    "add_list": ([[1.0, 2.0]],),
    "nearest": ([1.0, 2.0],),
    "nearest_k": ([1.0, 2.0], 3),
    "nearest_r": ([1.0, 2.0], 1.5),
    "remove": ([1.0, 2.0],),
    "clear": (),
    "size": (),
    "list": (),
}


def random_points(count, dimensions=2, seed=0, offset=0.0):
    generator = random.Random(seed)
    return [[offset + generator.uniform(-100.0, 100.0) for _ in range(dimensions)] for _ in range(count)]


def brute_force_k(points, query, k, metric=euclidean):
    """The k nearest of `points` as (distance, point) pairs, nearest first."""
    return sorted(((metric(query, p), p) for p in points), key=lambda pair: pair[0])[:k]


def brute_force_r(points, query, radius, metric=euclidean):
    return sorted(
        ((d, p) for d, p in ((metric(query, p), p) for p in points) if d <= radius),
        key=lambda pair: pair[0],
    )


def as_multiset(points):
    return sorted(tuple(p) for p in points)


def assert_same_neighbours(found, expected, stored, query, metric=euclidean):
    """`found` has the expected distances in order and holds only stored points.

    Distances are compared rather than points so that equally distant points
    may come in either order.
    """
    assert [metric(query, p) for p in found] == [d for d, _ in expected]
    assert not Counter(map(tuple, found)) - Counter(map(tuple, stored))


def assert_consistent(index, metric=euclidean, queries=5, seed=99):
    """size, list and the three searches agree with each other and with brute force."""
    stored = index.list()
    assert index.size() == len(stored)
    for query in random_points(queries, len(stored[0]) if stored else 2, seed=seed):
        k = 7
        found = index.nearest_k(query, k)
        assert_same_neighbours(found, brute_force_k(stored, query, k, metric), stored, query, metric)
        if stored:
            assert metric(query, index.nearest(query)) == brute_force_k(stored, query, 1, metric)[0][0]
        else:
            assert index.nearest(query) == []
        radius = 40.0
        found = index.nearest_r(query, radius)
        assert_same_neighbours(found, brute_force_r(stored, query, radius, metric), stored, query, metric)
    return stored


class RecordingMetric:
    """A metric that keeps every argument pair it was called with."""

    def __init__(self, metric=euclidean):
        self.metric = metric
        self.calls = []
        self.lock = threading.Lock()

    def __call__(self, a, b):
        with self.lock:
            self.calls.append((a, b))
        return self.metric(a, b)

    @property
    def count(self):
        return len(self.calls)


class FailingMetric:
    """Euclidean until armed; then raises its one exception object on the n-th call."""

    def __init__(self):
        self.error = ValueError("metric failed on purpose")
        self.remaining = None

    def arm(self, calls_before_failure, error=None):
        """Fails on the call after `calls_before_failure` more, with `error`
        when given (else the metric's own ValueError)."""
        self.remaining = calls_before_failure
        if error is not None:
            self.error = error

    def __call__(self, a, b):
        if self.remaining is not None:
            if self.remaining == 0:
                self.remaining = None
                raise self.error
            self.remaining -= 1
        return euclidean(a, b)


def run_python(source, timeout=60):
    """Runs `source` in a new interpreter like this one, with these helpers importable.

    The program runs in a session of its own, and everything in it (forked
    children too) is killed when it outlives `timeout`: a hang fails the
    test with subprocess.TimeoutExpired instead of stalling the run.
    """
    environment = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    process = subprocess.Popen(
        [sys.executable, "-c", source],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
        start_new_session=True,
    )
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)
