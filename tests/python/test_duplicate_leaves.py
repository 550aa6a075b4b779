"""Many equal points: they share one leaf instead of a chain of splits, and
answers stay those of brute force."""

import numpy as np
import pytest

import korel


def counting_metric():
    calls = [0]

    def distance(a, b):
        calls[0] += 1
        return abs(a - b)

    return distance, calls


@pytest.mark.parametrize("batch", [True, False])
def test_equal_points_cost_linear_work_and_answer_exactly(batch):
    distance, calls = counting_metric()
    index = korel.Index(distance)
    points = [0.0] * 1500 + [float(x) for x in range(1, 101)] + [0.0] * 400
    if batch:
        index.add_many(points)
    else:
        for point in points:
            index.add(point)
    # A chain of single-child splits would measure about n^2 / 2 pairs.
    assert calls[0] < 40 * len(points)
    zeros = [i for i, p in enumerate(points) if p == 0.0]
    distances, ids = index.nearest(0.0, 5)
    assert ids.tolist() == zeros[:5] and distances.tolist() == [0.0] * 5
    assert index.within(0.0, 0.5)[1].tolist() == zeros
    assert index.nearest(50.2, 3)[1].tolist() == [1549, 1550, 1548]
    for i in zeros[::3]:
        index.remove(i)
    assert index.within(0.0, 0.0)[1].tolist() == sorted(set(zeros) - set(zeros[::3]))


def test_equal_vectors_under_every_native_metric():
    rng = np.random.default_rng(3)
    rows = np.vstack([np.zeros((3000, 4)), rng.integers(0, 3, (500, 4)).astype(float)])
    rng.shuffle(rows)
    for metric in ("euclidean", "manhattan", "chebyshev"):
        index = korel.Index(metric)
        index.add_many(rows)
        queries = rng.integers(0, 3, (20, 4)).astype(float)
        distances, ids = index.query(queries, 7)
        for query, found, found_distances in zip(queries, ids, distances):
            exact = [float(korel.metrics.__dict__[metric](query, row)) for row in rows]
            expected = sorted(range(len(rows)), key=lambda i: (exact[i], i))[:7]
            assert found.tolist() == expected
            assert found_distances.tolist() == [exact[i] for i in expected]
