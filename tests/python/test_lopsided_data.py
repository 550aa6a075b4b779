"""A dense core with scattered outliers, the shape of image patches: the
splits of a vector index stay balanced instead of peeling the outliers off
one level at a time, and answers stay those of brute force."""

import numpy as np
import pytest

import korel
from korel.index import state_of


def tree_depth(index):
    """The depth of the deepest leaf, from the child counts in pre-order."""
    children = state_of(index).arrays["tree_node_children"]
    deepest, pending = 0, [0]  # the depth of each node still to be read
    for count in children:
        depth = pending.pop()
        deepest = max(deepest, depth)
        pending.extend([depth + 1] * int(count))
    assert not pending
    return deepest


def exact_nearest(rows, alive, query, k):
    distances = np.sqrt(((rows - query) ** 2).sum(axis=1))
    order = sorted((d, i) for i, d in enumerate(distances) if alive[i])[:k]
    return [i for _, i in order], [d for d, _ in order]


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_a_core_with_outliers_builds_shallow_and_answers_exactly(dtype):
    rng = np.random.default_rng(11)
    core = np.rint(rng.normal(0, 3, (20_000, 6)))  # whole numbers: many ties
    outliers = rng.standard_cauchy((400, 6)) * 100
    rows = np.vstack([core, outliers])
    rng.shuffle(rows)
    rows = rows.astype(dtype)
    index = korel.Index("euclidean", dtype=dtype)
    index.add_many(rows)
    # Farthest-first centers alone peel the outliers off level after level
    # (19 levels here).
    assert tree_depth(index) <= 8

    alive = np.ones(len(rows), bool)
    removed = rng.choice(len(rows), 2000, replace=False)
    index.remove_many(removed)
    alive[removed] = False
    extra = np.rint(rng.normal(0, 3, (900, 6))).astype(dtype)
    index.add_many(extra)
    rows, alive = np.vstack([rows, extra]).astype(float), np.concatenate([alive, np.ones(900, bool)])
    queries = np.vstack([np.rint(rng.normal(0, 3, (15, 6))), rng.standard_cauchy((5, 6)) * 100]).astype(dtype)
    distances, ids = index.query(queries, 12)
    for query, found, found_distances in zip(queries.astype(float), ids, distances):
        expected_ids, expected_distances = exact_nearest(rows, alive, query, 12)
        assert found.tolist() == expected_ids
        np.testing.assert_allclose(found_distances, expected_distances, rtol=1e-6)
