"""Index.neighbors_graph and Index.pairs against brute force, on points full
of ties and duplicates, under vector, string and Python metrics."""

import random

import numpy as np
import pytest
from rapidfuzz.distance import Levenshtein

import korel

scipy_sparse = pytest.importorskip("scipy.sparse")


def grid_points(rng, n):
    return rng.integers(-2, 3, size=(n, 2)).astype(float)  # many duplicates and ties


def words(rng, n):
    return ["".join(rng.choice("abc") for _ in range(rng.randint(0, 4))) for _ in range(n)]


CASES = {
    "euclidean": (lambda rng: grid_points(np.random.default_rng(1), 300),
                  lambda a, b: float(np.sqrt(((np.asarray(a) - np.asarray(b)) ** 2).sum()))),
    "manhattan": (lambda rng: grid_points(np.random.default_rng(2), 300),
                  lambda a, b: float(np.abs(np.asarray(a) - np.asarray(b)).sum())),
    "levenshtein": (lambda rng: words(random.Random(3), 300),
                    lambda a, b: float(Levenshtein.distance(a, b))),
    "callable": (lambda rng: [frozenset(random.Random(i).sample(range(5), i % 4)) for i in range(120)],
                 lambda a, b: float(len(a ^ b))),
}


def build(name):
    make, metric = CASES[name]
    points = make(None)
    index = korel.Index(metric if name == "callable" else name)
    ids = np.random.default_rng(4).permutation(len(points)) * 3 + 1  # ids not in row order
    index.add_many(points, ids=ids)
    by_id = dict(zip(ids.tolist(), points))
    return index, by_id, metric


def ranked_others(by_id, metric, id):
    others = [(metric(by_id[id], p), other) for other, p in by_id.items() if other != id]
    return sorted(others)


@pytest.mark.parametrize("name", sorted(CASES))
@pytest.mark.parametrize("k", [1, 4, 1000])
def test_knn_graph_equals_brute_force(name, k):
    index, by_id, metric = build(name)
    ids = index.ids()
    graph = index.neighbors_graph(k)
    assert isinstance(graph, scipy_sparse.csr_matrix) and graph.shape == (len(ids), len(ids))
    for row, id in enumerate(ids.tolist()):
        expected = ranked_others(by_id, metric, id)[:k]
        start, end = graph.indptr[row], graph.indptr[row + 1]
        got = list(zip(graph.data[start:end].tolist(), ids[graph.indices[start:end]].tolist()))
        assert got == expected, id
    connectivity = index.neighbors_graph(k, mode="connectivity")
    assert np.array_equal(connectivity.indices, graph.indices)
    assert np.all(connectivity.data == 1.0)


@pytest.mark.parametrize("name", sorted(CASES))
def test_radius_graph_and_pairs_equal_brute_force(name):
    index, by_id, metric = build(name)
    radius = 1.0
    ids = index.ids()
    graph = index.neighbors_graph(radius=radius)
    expected_pairs = []
    for row, id in enumerate(ids.tolist()):
        expected = [(d, other) for d, other in ranked_others(by_id, metric, id) if d <= radius]
        start, end = graph.indptr[row], graph.indptr[row + 1]
        got = list(zip(graph.data[start:end].tolist(), ids[graph.indices[start:end]].tolist()))
        assert got == expected, id
        expected_pairs += [(id, other, d) for d, other in expected if id < other]
    # Zero distances (duplicates) are explicit entries, not dropped.
    assert (graph.data == 0).any() == any(d == 0 for _, _, d in expected_pairs)
    first, second, distances = index.pairs(radius)
    assert list(zip(first.tolist(), second.tolist(), distances.tolist())) == sorted(expected_pairs)


def test_graphs_of_tiny_and_empty_indexes_and_bad_arguments():
    index = korel.Index("euclidean")
    assert index.neighbors_graph(3).shape == (0, 0)
    assert all(len(part) == 0 for part in index.pairs(1.0))
    index.add([0.0, 0.0])
    assert index.neighbors_graph(3).nnz == 0
    for bad in ({}, {"k": 2, "radius": 1.0}):
        with pytest.raises(ValueError, match="exactly one of k and radius"):
            index.neighbors_graph(**bad)
    with pytest.raises(ValueError, match="mode"):
        index.neighbors_graph(2, mode="weights")
    with pytest.raises(TypeError):
        index.pairs("1")
