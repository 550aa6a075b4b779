"""Batches in high dimensions, which a scan of every row answers instead of
the tree, and in low ones, which the tree answers after the same trial of
their first queries: the same answers as one query at a time, to the last
bit."""

import numpy as np
import pytest

import korel


@pytest.mark.parametrize("dim, n", [(3, 30000), (32, 4000)])  # the tree answers, the scan answers
@pytest.mark.parametrize("metric", ["euclidean", "angular"])
@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_batches_answer_as_single_queries(metric, dtype, dim, n):
    rng = np.random.default_rng(11)
    rows = rng.random((n, dim))
    rows[100:150] = rows[:50]  # duplicates: ties broken by id
    index = korel.Index(metric, dtype=dtype)
    index.add_many(rows)
    index.remove_many(range(0, n, 9))
    queries = np.vstack([rng.random((250, dim)), rows[:40]])
    distances, ids = index.query(queries, 10)
    radius = float(np.median(distances[:, 0]))
    within = index.query_radius(queries, radius)
    for i, query in enumerate(queries):
        single = index.nearest(query, 10)
        assert np.array_equal(single[0], distances[i]) and np.array_equal(single[1], ids[i])
        alone = index.within(query, radius)
        assert np.array_equal(alone[0], within[i][0]) and np.array_equal(alone[1], within[i][1])
