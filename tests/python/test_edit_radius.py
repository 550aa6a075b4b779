"""Searches of strings within a radius below 2 (answered from deletion
variants rather than the tree) against brute force over korel.metrics,
while points are removed and added."""

import random

import numpy as np
import pytest

import korel
from korel import metrics

# Few letters, one beyond the Basic Multilingual Plane: many ties,
# duplicates and strings one edit apart.
LETTERS = "ab\u00e9\U0001f600"
RADII = [0, 0.5, 1, 1.99]


def random_words(rng, metric, n):
    lengths = [3] * n if metric == "hamming" else [rng.randrange(6) for _ in range(n)]
    return ["".join(rng.choice(LETTERS) for _ in range(length)) for length in lengths]


class Model:
    def __init__(self, metric):
        self.metric = metric
        self.words = {}  # id -> str

    def distance(self, a, b):
        return getattr(metrics, self.metric)(korel.encode(a), korel.encode(b))

    def within(self, query):
        """A function of the radius: brute force, every distance measured once."""
        found = sorted((self.distance(query, w), i) for i, w in self.words.items())

        def answer(radius):
            kept = [(d, i) for d, i in found if d <= radius]
            return np.array([d for d, _ in kept]), np.array([i for _, i in kept], dtype=np.int64)
        return answer

    def pairs(self):
        ids = sorted(self.words)
        found = [(a, b, self.distance(self.words[a], self.words[b])) for n, a in enumerate(ids) for b in ids[n + 1:]]
        return lambda radius: [(a, b, d) for a, b, d in found if d <= radius]


def check(index, model, queries):
    expected_within = [model.within(q) for q in queries]
    expected_pairs = model.pairs()
    for radius in RADII:
        batch = index.query_radius(queries, radius, workers=2)
        for query, expected, (batch_distances, batch_ids) in zip(queries, expected_within, batch):
            distances, ids = expected(radius)
            one_d, one_ids = index.within(query, radius)
            for d, i in ((one_d, one_ids), (batch_distances, batch_ids)):
                assert np.array_equal(i, ids), (query, radius)
                assert np.array_equal(d, distances), (query, radius)
        first, second, distances = index.pairs(radius)
        assert list(zip(first.tolist(), second.tolist(), distances.tolist())) == expected_pairs(radius), radius


@pytest.mark.parametrize("metric", ["levenshtein", "hamming"])
def test_small_radii_equal_brute_force_through_removals_and_adds(metric):
    rng = random.Random(3)
    index, model = korel.Index(metric), Model(metric)
    words = random_words(rng, metric, 200)
    for i, w in zip(index.add_many(words), words):
        model.words[int(i)] = w
    queries = words[:15] + random_words(rng, metric, 15)
    check(index, model, queries)

    gone = [i for i in list(model.words) if i % 3 == 0]
    index.remove_many(gone)
    for i in gone:
        del model.words[i]
    check(index, model, queries)

    # A few, stored one by one; then as many as the index, stored in bulk.
    for count in (15, 250):
        words = random_words(rng, metric, count)
        for i, w in zip(index.add_many(words), words):
            model.words[int(i)] = w
        check(index, model, queries)
