"""Great-circle distance: korel.metrics.haversine against scikit-learn, and
korel.Index("haversine") against brute force and scikit-learn's BallTree on
places at the poles, across the antimeridian and repeated."""

import doctest
import math
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import korel

sklearn = pytest.importorskip("sklearn")
from sklearn.cluster import DBSCAN
from sklearn.metrics.pairwise import haversine_distances
from sklearn.neighbors import BallTree

import korel.sklearn

EARTH_RADIUS_KM = 6371.0088


def places(seed, count):
    """(latitude, longitude) in radians: anywhere, at and near the poles,
    on both sides of the antimeridian, and a tenth repeated."""
    rng = np.random.default_rng(seed)
    lat = np.arcsin(rng.uniform(-1, 1, count))
    lon = rng.uniform(-math.pi, math.pi, count)
    kind = rng.integers(0, 5, count)
    lat[kind == 0] = np.sign(lat[kind == 0]) * (math.pi / 2 - rng.uniform(0, 1e-3, (kind == 0).sum()))
    lat[::37] = math.pi / 2
    lon[kind == 1] = np.sign(lon[kind == 1]) * (math.pi - rng.uniform(0, 1e-3, (kind == 1).sum()))
    points = np.column_stack([lat, lon])
    points[rng.integers(0, count, count // 10)] = points[rng.integers(0, count, count // 10)]
    return points


def brute_force(points, query):
    """(distance, id) of every point, nearest first, ties by id."""
    return sorted((korel.metrics.haversine(query, point), i) for i, point in enumerate(points))


def test_metric_agrees_with_scikit_learn():
    a, b = places(1, 300), places(2, 300)
    theirs = haversine_distances(a, b)
    ours = np.array([[korel.metrics.haversine(p, q) for q in b] for p in a])
    # scikit-learn's 2 asin(sqrt(h)) loses half its digits within 1e-3 of pi.
    clear_of_antipodes = theirs < math.pi - 1e-3
    assert clear_of_antipodes.mean() > 0.95
    np.testing.assert_allclose(ours[clear_of_antipodes], theirs[clear_of_antipodes], rtol=0, atol=1e-12)
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-7)


def test_equal_places_are_at_zero_and_antipodes_at_pi():
    for lat, lon in places(3, 200):
        assert korel.metrics.haversine([lat, lon], [lat, lon]) == 0.0
        antipode = [-lat, lon + math.pi]
        assert abs(korel.metrics.haversine([lat, lon], antipode) - math.pi) < 1e-15
        assert korel.metrics.haversine([lat, lon], antipode) <= math.pi


@pytest.mark.parametrize("x, y", [(2.0**-30, 2.0**-31), (3e-10, 7e-13), (1e-7, 0.0), (1e-3, 1e-12)])
def test_places_metres_apart_across_the_antimeridian_are_measured_to_the_last_digits(x, y):
    east, west = math.pi - x, -math.pi + y  # on the equator: the angle is the longitude difference
    exact = Fraction(Decimal("6.28318530717958647692528676655900576839")) - (Fraction(east) - Fraction(west))
    assert korel.metrics.haversine([0.0, east], [0.0, west]) == pytest.approx(float(exact), rel=4e-16, abs=0)
    assert korel.metrics.haversine([0.0, west], [0.0, east]) == korel.metrics.haversine([0.0, east], [0.0, west])


def test_metric_docstring_example_converts_to_kilometres():
    assert "6371.0088" in korel.metrics.haversine.__doc__
    finder = doctest.DocTestFinder()
    tests = finder.find(korel.metrics.haversine, "haversine", globs={"haversine": korel.metrics.haversine})
    results = [doctest.DocTestRunner().run(test) for test in tests]
    assert sum(r.attempted for r in results) >= 3 and sum(r.failed for r in results) == 0


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_index_answers_equal_brute_force(dtype):
    points = places(4, 600)
    queries = np.vstack([places(5, 30), points[:10], [[math.pi / 2, 1.0], [-math.pi / 2, -3.0], [0.0, math.pi]]])
    index = korel.Index("haversine", dtype=dtype)
    index.add_many(points)
    stored = points.astype(dtype).astype(np.float64)
    distances, ids = index.query(queries, k=7)
    within = index.query_radius(queries, 0.05)
    for row, query in enumerate(queries):
        expected = brute_force(stored, query)
        # Bit-identical distances: one C++ function for the index and the metric.
        assert list(zip(distances[row], ids[row])) == expected[:7]
        assert list(zip(*within[row])) == [pair for pair in expected if pair[0] <= 0.05]
        single = index.nearest(query, k=3)
        assert list(zip(*single)) == expected[:3]
        assert list(zip(*index.within(list(query), 0.01))) == [pair for pair in expected if pair[0] <= 0.01]


@pytest.mark.parametrize("scale", [1e-9, 1e-6])
def test_index_is_exact_on_a_tight_cluster_across_the_antimeridian(scale):
    rng = np.random.default_rng(13)
    lat = 0.3 + scale * rng.uniform(-1, 1, 800)
    lon = np.remainder(math.pi + scale * rng.uniform(-1, 1, 800) + math.pi, 2 * math.pi) - math.pi
    points = np.column_stack([lat, lon])
    points[::9] = points[1::9]  # repeated places
    index = korel.Index("haversine")
    index.add_many(points)
    queries = points[::20] + scale * rng.uniform(-0.1, 0.1, (40, 2))
    distances, ids = index.query(queries, k=10)
    within = index.query_radius(queries, 0.5 * scale)
    for row, query in enumerate(queries):
        expected = brute_force(points, query)
        assert list(zip(distances[row], ids[row])) == expected[:10]
        assert list(zip(*within[row])) == [pair for pair in expected if pair[0] <= 0.5 * scale]


def test_index_agrees_with_ball_tree():
    points, queries = places(6, 2000), places(7, 200)
    index = korel.Index("haversine")
    index.add_many(points)
    tree = BallTree(points, metric="haversine")
    distances, ids = index.query(queries, k=5)
    their_distances, their_ids = tree.query(queries, k=5)
    np.testing.assert_allclose(distances, their_distances, rtol=0, atol=1e-12)
    # Where BallTree's order is not decided by a tie, the ids agree.
    decided = np.diff(their_distances, axis=1) > 1e-12
    assert np.array_equal(ids[:, 0][decided[:, 0]], their_ids[:, 0][decided[:, 0]])
    within = index.query_radius(queries, 0.1)
    their_within = tree.query_radius(queries, 0.1)
    for (_, found), expected in zip(within, their_within):
        assert set(found) == set(expected)


def test_index_saves_and_loads(tmp_path):
    index = korel.Index("haversine")
    index.add_many(places(8, 300), ids=np.arange(300) * 3)
    path = tmp_path / "places.korel"
    index.save(path)
    loaded = korel.Index.load(path)
    assert loaded.metric == "haversine" and loaded.dim == 2
    queries = places(9, 40)
    for before, after in zip(index.query(queries, k=4), loaded.query(queries, k=4)):
        np.testing.assert_array_equal(before, after)


@pytest.mark.parametrize(
    "point, message",
    [
        ([0.1, 0.2, 0.3], "2 coordinates"),
        ([0.1], "2 coordinates"),
        ([0.1, math.inf], "finite coordinates"),
        ([-math.inf, 0.2], "finite coordinates"),
        ([math.nan, 0.2], "NaN"),
    ],
)
def test_index_refuses_what_is_not_a_place(point, message):
    index = korel.Index("haversine")
    with pytest.raises(ValueError, match=message):
        index.add(point)
    index.add([0.5, 0.5])
    for call in (index.add, lambda p: index.nearest(np.array(p, dtype=np.float64)), lambda p: index.query([p], 1)):
        with pytest.raises(ValueError, match=message if len(point) == 2 else "dimension|2 coordinates"):
            call(point)
    assert len(index) == 1
    assert korel.Index("haversine").query(np.zeros((0, 2)), 1)[0].shape == (0, 1)


def test_dbscan_on_places_matches_scikit_learn():
    rng = np.random.default_rng(10)
    centres = places(11, 6)
    points = np.vstack([centre + rng.normal(0, 0.003, (60, 2)) for centre in centres] + [places(12, 40)])
    eps = 5 / EARTH_RADIUS_KM  # 5 km
    theirs = DBSCAN(eps=eps, min_samples=5, metric="haversine", algorithm="ball_tree").fit(points).labels_
    graph = korel.sklearn.RadiusNeighborsTransformer(radius=eps, metric="haversine").fit_transform(points)
    ours = DBSCAN(eps=eps, min_samples=5, metric="precomputed").fit(graph).labels_
    assert len(set(theirs)) > 3
    np.testing.assert_array_equal(ours, theirs)
