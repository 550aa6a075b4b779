"""korel.Index against brute force: every query, every native metric,
float64 and float32 storage, strings and Python objects, with removals and
exact ties (integer grids), batches on one and two threads."""

import math
import pickle
import random

import numpy as np
import pytest
from rapidfuzz.distance import Levenshtein

import korel
from korel import metrics

VECTOR_METRICS = ["euclidean", "manhattan", "chebyshev", "angular"]


def brute(points, query, metric):
    """(distance, id) of every stored point, in the index's order: by
    distance, then by id."""
    return sorted((metric(query, point), id) for id, point in points.items())


def expect_answers(index, points, queries, metric, radius):
    """The four queries of `index` equal brute force over `points` (id -> point)."""
    for k in (1, 5, len(points) + 2):
        distances, ids = index.query(queries, k, workers=2)
        serial = index.query(queries, k, workers=1)
        assert np.array_equal(distances, serial[0]) and np.array_equal(ids, serial[1])
        for row, query in enumerate(queries):
            expected = brute(points, query, metric)[:k]
            found = list(zip(distances[row][: len(expected)].tolist(), ids[row][: len(expected)].tolist()))
            assert found == expected, (k, row)
            assert (ids[row][len(expected) :] == -1).all() and np.isinf(distances[row][len(expected) :]).all()
            single = index.nearest(query, k)
            assert single[0].tolist() == [d for d, _ in expected] and single[1].tolist() == [i for _, i in expected]
    within = index.query_radius(queries, radius, workers=2)
    for (distances, ids), query in zip(within, queries):
        expected = [(d, i) for d, i in brute(points, query, metric) if d <= radius]
        assert list(zip(distances.tolist(), ids.tolist())) == expected
        single = index.within(query, radius)
        assert np.array_equal(single[0], distances) and np.array_equal(single[1], ids)


def grid(rng, count, dim, low=-3, high=3):
    return rng.integers(low, high + 1, size=(count, dim)).astype(np.float64)


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("name", VECTOR_METRICS)
def test_vectors_match_brute_force_through_removals(name, dtype):
    rng = np.random.default_rng(hash((name, dtype)) % 2**32)
    metric = getattr(metrics, name)
    index = korel.Index(name, dtype=dtype)
    points = {}
    data = grid(rng, 700, 3)
    if name == "angular":
        data[np.all(data == 0, axis=1)] = 1.0
    # Half in one batch (a batch build), half one by one, under scattered ids.
    ids = rng.permutation(5000)[: len(data)]
    index.add_many(data[:350], ids=ids[:350])
    for point, id in zip(data[350:], ids[350:]):
        assert index.add(point, id=int(id)) == id
    stored = data.astype(dtype).astype(np.float64)  # what the index measures
    points = {int(id): stored[i].tolist() for i, id in enumerate(ids)}
    queries = grid(rng, 12, 3, -4, 4)
    queries[np.all(queries == 0, axis=1)] = 0.5
    expect_answers(index, points, queries, metric, radius=2.0)

    for id in rng.permutation(list(points))[:400]:
        assert index.remove(int(id))
        del points[int(id)]
    for id in ids[:5].tolist():
        assert index.remove(id) == (id in points)
        points.pop(id, None)
    assert len(index) == len(points) and index.ids().tolist() == sorted(points)
    expect_answers(index, points, queries, metric, radius=2.0)


@pytest.mark.parametrize("removed", [0, 40], ids=["tree-kept", "removals-pending"])
@pytest.mark.parametrize("name", VECTOR_METRICS)
def test_rows_float32_would_round_widen_whole_number_rows_exactly(name, removed, tmp_path):
    # Whole numbers fit float32 exactly; then come rows it would round.
    rng = np.random.default_rng(len(name) + removed)
    data = grid(rng, 500, 3)
    data[np.all(data == 0, axis=1)] = 1.0
    index = korel.Index(name)
    index.add_many(data)
    for id in range(removed):
        index.remove(id)
    points = {id: data[id].tolist() for id in range(removed, len(data))}
    index.save(tmp_path / "whole.korel")
    queries = grid(rng, 10, 3, -4, 4) + 0.5
    odd = queries + 1 / 3
    metric = getattr(metrics, name)

    with pytest.raises(ValueError, match="duplicate|already"):
        index.add_many(odd, ids=list(range(1000, 1009)) + [499])
    assert len(index) == len(points)
    expect_answers(index, points, queries, metric, radius=2.0)

    copies = [korel.Index.load(tmp_path / "whole.korel"), pickle.loads(pickle.dumps(index))]
    for grown in [index] + copies:
        first = grown.add(odd[0])
        grown.add_many(odd[1:])
        assert grown[first].dtype == np.float64 and grown[first].tolist() == odd[0].tolist()
    points.update({500 + i: row.tolist() for i, row in enumerate(odd)})
    for grown in [index] + copies:
        expect_answers(grown, points, queries, metric, radius=2.0)
    index.save(tmp_path / "odd.korel")
    expect_answers(korel.Index.load(tmp_path / "odd.korel"), points, queries, metric, radius=2.0)


@pytest.mark.parametrize(
    "form",
    [list, tuple, lambda q: q.astype(np.float32), lambda q: q.astype(">f8"),
     lambda q: np.repeat(q, 2)[::2], lambda q: np.frombuffer(b"x" + q.tobytes(), count=3, offset=1)],
    ids=["list", "tuple", "float32", "big-endian", "strided", "unaligned"],
)
def test_a_query_in_any_form_gets_the_answer_of_a_float64_row(form):
    rng = np.random.default_rng(3)
    index = korel.Index("euclidean")
    index.add_many(grid(rng, 300, 3))
    query = grid(rng, 1, 3)[0] + 0.25
    expected = index.query(query[None, :], 7)
    for answer in (index.nearest(form(query), 7), index.nearest(query, 7)):
        assert np.array_equal(answer[0], expected[0][0]) and np.array_equal(answer[1], expected[1][0])
    assert [a.tolist() for a in index.within(form(query), 1.5)] == [a.tolist() for a in index.within(query, 1.5)]


def test_answers_do_not_depend_on_insertion_order():
    rng = np.random.default_rng(7)
    data = grid(rng, 600, 2)
    ids = np.arange(600)
    forward = korel.Index("euclidean")
    forward.add_many(data, ids=ids)
    backward = korel.Index("euclidean")
    for i in reversed(range(600)):
        backward.add(data[i], id=i)
    queries = grid(rng, 30, 2)
    for k in (1, 7, 40):
        a, b = forward.query(queries, k), backward.query(queries, k)
        assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


def random_words(rng, count):
    alphabet = "abcdeéßж😀"
    return ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 9))) for _ in range(count)]


def test_strings_match_rapidfuzz():
    rng = random.Random(11)
    words = random_words(rng, 5000)  # several leaves: the tree and its filters prune
    index = korel.Index("levenshtein")
    ids = index.add_many(words)
    points = dict(zip(ids.tolist(), words))
    queries = random_words(rng, 10) + [words[3]]
    edit = lambda a, b: float(Levenshtein.distance(a, b))
    expect_answers(index, points, queries, edit, radius=2)
    for id in list(points)[::3]:
        index.remove(id)
        del points[id]
    expect_answers(index, points, queries, edit, radius=1)
    assert index[ids[1]] == words[1]


def test_hamming_strings_of_one_length():
    rng = random.Random(12)
    words = ["".join(rng.choice("acgt") for _ in range(6)) for _ in range(300)]
    index = korel.Index(metrics.hamming)
    assert index.metric == "hamming"
    points = dict(zip(index.add_many(words).tolist(), words))
    differing = lambda a, b: float(sum(x != y for x, y in zip(a, b)))
    expect_answers(index, points, words[:5] + ["aaaaaa"], differing, radius=2)


def jaccard(a, b):
    return 1.0 - len(a & b) / len(a | b) if a or b else 0.0


def test_python_objects_reach_the_metric_as_they_are():
    rng = random.Random(13)
    sets = [frozenset(rng.sample(range(12), rng.randint(1, 6))) for _ in range(250)]
    seen = set()

    def metric(a, b):
        seen.update((type(a), type(b)))
        return jaccard(a, b)

    index = korel.Index(metric)
    assert index.dim is None and index.metric is metric
    points = dict(zip(index.add_many(sets).tolist(), sets))
    assert seen == {frozenset}
    expect_answers(index, points, sets[:4] + [frozenset({1, 2})], jaccard, radius=0.5)
    assert index[7] is sets[7]


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("name", ["euclidean", "manhattan"])
def test_long_rows_at_levels_of_their_own_match_brute_force(name, dtype, tmp_path):
    # Rows that differ most in level, as image patches in brightness, and a
    # quarter of them flat: their sums bound their distances exactly.
    rng = np.random.default_rng(len(name) + len(dtype))
    levels = rng.integers(-15, 16, size=(912, 1))
    noise = rng.integers(-2, 3, size=(912, 20)) * (rng.random((912, 1)) < 0.75)
    data, queries = (levels + noise)[:900].astype(float), (levels + noise)[900:].astype(float)
    queries[::2] += 0.5
    index = korel.Index(name, dtype=dtype)
    index.add_many(data[:600])
    for point in data[600:]:
        index.add(point)
    points = dict(enumerate(data.astype(dtype).astype(float).tolist()))
    metric = getattr(metrics, name)
    expect_answers(index, points, queries, metric, radius=9.0)
    index.save(tmp_path / "levels.korel")
    for mmap in (False, True):
        expect_answers(korel.Index.load(tmp_path / "levels.korel", mmap=mmap), points, queries, metric, radius=9.0)
    for id in rng.permutation(900)[:300].tolist():
        index.remove(id)
        del points[id]
    expect_answers(index, points, queries, metric, radius=9.0)


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("name", ["euclidean", "manhattan", "chebyshev"])
def test_grey_levels_match_brute_force_as_bytes_and_after(name, dtype, tmp_path):
    # Whole numbers 0 to 255 (grey 4x4 patches, a third of them flat) are
    # measured as bytes, until a query or a point holds another number.
    rng = np.random.default_rng(len(name) * 7 + len(dtype))
    levels = rng.integers(0, 256, size=(724, 1))
    noise = rng.integers(-3, 4, size=(724, 16)) * (rng.random((724, 1)) < 0.67)
    data = np.clip(levels + noise, 0, 255).astype(float)
    data[:4] = [[0.0] * 16, [255.0] * 16, [0.0, 255.0] * 8, [0.0] * 16]
    data, queries = data[:700], data[700:]
    queries[::3, 5] += 0.5
    index = korel.Index(name, dtype=dtype)
    index.add_many(data[:500])
    for point in data[500:]:
        index.add(point)
    points = dict(enumerate(data.tolist()))
    metric = getattr(metrics, name)
    expect_answers(index, points, queries, metric, radius=12.0)
    index.save(tmp_path / "grey.korel")
    for mmap in (False, True):
        expect_answers(korel.Index.load(tmp_path / "grey.korel", mmap=mmap), points, queries, metric, radius=12.0)
    for id in rng.permutation(700)[:250].tolist():
        index.remove(id)
        del points[id]
    expect_answers(index, points, queries, metric, radius=12.0)
    points[index.add([127.5] * 16)] = [127.5] * 16
    expect_answers(index, points, queries, metric, radius=12.0)


@pytest.mark.parametrize("dim", [2, 3])
@pytest.mark.parametrize("name", VECTOR_METRICS)
def test_batches_of_nearby_queries_match_brute_force(name, dim):
    # Batches this large in few dimensions go in Z-order, each search
    # starting from the last answer: ties at that bound everywhere on a grid.
    rng = np.random.default_rng(dim * 31 + len(name))
    metric = getattr(metrics, name)
    data = grid(rng, 900, dim)
    data[np.all(data == 0, axis=1)] = 1.0
    index = korel.Index(name)
    index.add_many(data)
    points = {i: row.tolist() for i, row in enumerate(data)}
    for id in rng.permutation(len(data))[:100].tolist():  # pending removals
        index.remove(id)
        del points[id]
    queries = grid(rng, 150, dim, -4, 4) / 2
    queries[np.all(queries == 0, axis=1)] = 0.5
    ranked = [brute(points, query, metric) for query in queries]
    for k in (1, 10, 40):
        for workers in (1, 2):
            distances, ids = index.query(queries, k, workers=workers)
            for row, expected in enumerate(ranked):
                found = list(zip(distances[row].tolist(), ids[row].tolist()))
                assert found == expected[:k], (k, workers, row)


def test_infinite_coordinates_and_distances_hide_nothing():
    huge = [[x, y] for x in (-1e308, 0.0, 1e308) for y in (-1e308, 0.0, 1e308)]
    index = korel.Index("euclidean")
    index.add_many(huge)
    points = dict(enumerate(huge))
    expect_answers(index, points, huge, metrics.euclidean, radius=math.inf)
    assert len(index.within([0.0, 0.0], math.inf)[1]) == 9


@pytest.mark.parametrize("level", ["portable", "avx2", "avx512"])
def test_every_simd_level_gives_the_same_answers(level):
    rng = np.random.default_rng(21)
    data, queries = rng.random((3000, 37)), rng.random((20, 37))
    before = metrics.simd_level()
    answers = {}
    try:
        for chosen in (before, level):
            try:
                metrics.set_simd_level(chosen)
            except ValueError:
                pytest.skip(f"this machine does not run {level}")
            assert metrics.simd_level() == chosen
            index = korel.Index("euclidean", dtype="float32")
            index.add_many(data)
            answers[chosen] = index.query(queries, 8) + tuple(index.query_radius(queries, 1.2)[0])
    finally:
        metrics.set_simd_level(before)
    for x, y in zip(answers[before], answers[level]):
        assert np.array_equal(x, y)


@pytest.mark.parametrize("dim", [3, 8, 32])
@pytest.mark.parametrize("scale", [5e-15, 1e-14, 4e-14])
def test_nearly_parallel_vectors_under_angular_are_all_found(dim, scale):
    # Angles this small carry an absolute rounding error (and snap to 0
    # below a few epsilons): pruning must leave room for it.
    rng = np.random.default_rng(dim)
    direction = rng.random(dim) + 0.5
    rows = direction + scale * rng.standard_normal((1500, dim)) * direction
    index = korel.Index("angular")
    index.add_many(rows)
    for query in (direction, rows[0], rows[7]):
        distances = np.array([metrics.angular(list(query), list(row)) for row in rows])
        order = np.lexsort((np.arange(len(rows)), distances))
        for radius in (0.0, float(np.median(distances))):
            assert index.within(query, radius)[1].tolist() == order[distances[order] <= radius].tolist()
        assert index.nearest(query, 50)[1].tolist() == order[:50].tolist()
