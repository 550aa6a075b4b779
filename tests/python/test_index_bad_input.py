"""Bad arguments to korel.Index: a clear exception naming the problem, and
the index unchanged."""

import math

import numpy as np
import pytest

import korel


def vectors():
    index = korel.Index("euclidean")
    index.add_many(np.arange(12.0).reshape(4, 3))
    return index


def angular():
    index = korel.Index("angular")
    index.add_many(np.arange(1.0, 13.0).reshape(4, 3))
    return index


def words():
    index = korel.Index("levenshtein")
    index.add_many(["abc", "abd"])
    return index


def hamming():
    index = korel.Index("hamming")
    index.add_many(["abc", "abd"])
    return index


def objects():
    index = korel.Index(lambda a, b: abs(a - b))
    index.add_many([1, 2, 3])
    return index


CASES = [
    # (make, call, exception, message)
    (vectors, lambda ix: ix.add([1.0, 2.0]), ValueError, "dimension 2 does not fit this index of dimension 3"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 4))), ValueError, "dimension 4 do not fit this index of dimension 3"),
    (vectors, lambda ix: ix.nearest([1.0]), ValueError, "dimension 1"),
    # Float64 arrays go straight to the native search; what it cannot take
    # is refused as for any other query.
    (vectors, lambda ix: ix.nearest(np.zeros(4)), ValueError, "dimension 4 does not fit"),
    (vectors, lambda ix: ix.within(np.array([0.0, math.nan, 1.0]), 1.0), ValueError, "NaN"),
    (vectors, lambda ix: ix.nearest(np.zeros((1, 3))), ValueError, "one-dimensional"),
    (angular, lambda ix: ix.nearest(np.array([1.0, math.inf, 0.0])), ValueError, "finite coordinates"),
    (vectors, lambda ix: ix.query(np.zeros((2, 5)), 1), ValueError, "dimension 5"),
    (vectors, lambda ix: ix.add([]), ValueError, "at least one coordinate"),
    (vectors, lambda ix: ix.add(["a", "b", "c"]), TypeError, "numeric"),
    (vectors, lambda ix: ix.add([1.0, None, 2.0]), TypeError, "numeric"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 3, 1))), ValueError, "2-D array"),
    (vectors, lambda ix: ix.add_many([[1.0, 2.0, 3.0], [1.0]]), ValueError, "one length"),
    (vectors, lambda ix: ix.add("abc"), TypeError, "not a vector"),
    (vectors, lambda ix: ix.add([1.0, math.nan, 2.0]), ValueError, "NaN"),
    (words, lambda ix: ix.add([1.0, 2.0]), TypeError, "compares str, not list"),
    (words, lambda ix: ix.add_many("abc"), TypeError, "not a single str"),
    (words, lambda ix: ix.add(b"abc"), TypeError, "compares str, not bytes"),
    (hamming, lambda ix: ix.add("abcd"), ValueError, "one length: got length 4 for an index of strings of length 3"),
    (hamming, lambda ix: ix.nearest("ab"), ValueError, "one length"),
    (vectors, lambda ix: ix.nearest([1.0, 2.0, 3.0], k=-1), ValueError, "k must be non-negative"),
    (vectors, lambda ix: ix.nearest([1.0, 2.0, 3.0], k=2.0), TypeError, "k must be an integer"),
    (vectors, lambda ix: ix.query(np.zeros((1, 3)), "2"), TypeError, "k must be an integer"),
    (vectors, lambda ix: ix.query(np.zeros((1, 3)), 1, workers=0), ValueError, "workers must be at least 1"),
    (vectors, lambda ix: ix.query_radius(np.zeros((1, 3)), "far"), TypeError, "radius must be a number"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 3)), ids=[1]), ValueError, "got 1 ids for 2 points"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 3)), ids=[1.5, 2.5]), TypeError, "ids must be integers"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 3)), ids=[7, 7]), ValueError, "duplicate id 7"),
    (vectors, lambda ix: ix.add_many(np.zeros((2, 3)), ids=[9, 2]), ValueError, "id 2 is already stored"),
    (vectors, lambda ix: ix.add([0.0, 0.0, 0.0], id=-4), ValueError, "non-negative"),
    (vectors, lambda ix: ix.add([0.0, 0.0, 0.0], id="x"), TypeError, "an id must be an integer"),
    (vectors, lambda ix: ix.remove(1.0), TypeError, "an id must be an integer"),
    (vectors, lambda ix: ix[99], KeyError, "99"),
    (objects, lambda ix: ix.add_many("abc"), TypeError, "not a single str"),
    (objects, lambda ix: ix.nearest("x"), TypeError, "unsupported operand"),
    (lambda: korel.Index("cosine"), None, ValueError, "unknown metric 'cosine'"),
    (lambda: korel.Index(42), None, TypeError, "metric must be a metric name or a callable"),
    (lambda: korel.Index("euclidean", dtype="float16"), None, ValueError, "dtype must be"),
    (lambda: korel.Index("levenshtein", dtype="float32"), None, ValueError, "vector metrics only"),
]


@pytest.mark.parametrize("make, call, exception, message", CASES)
def test_bad_arguments_raise_and_change_nothing(make, call, exception, message):
    if call is None:
        with pytest.raises(exception, match=message):
            make()
        return
    index = make()
    before = (len(index), index.ids().tolist(), [index.nearest(index[i], 3) for i in index.ids()])
    with pytest.raises(exception, match=message):
        call(index)
    after = (len(index), index.ids().tolist(), [index.nearest(index[i], 3) for i in index.ids()])
    assert before[:2] == after[:2]
    for (d1, i1), (d2, i2) in zip(before[2], after[2]):
        assert np.array_equal(d1, d2) and np.array_equal(i1, i2)


def test_a_metric_failure_stores_nothing_of_the_call():
    calls, fail_at = [0], [0]

    def metric(a, b):
        calls[0] += 1
        if calls[0] == fail_at[0]:
            raise ZeroDivisionError("metric failed")
        return abs(a - b)

    index = korel.Index(metric)
    index.add_many([float(x) for x in range(300)])
    failures = 0
    for n in range(1, 300, 7):
        before = index.ids().tolist()
        calls[0], fail_at[0] = 0, n
        batch = [n + 0.25, n + 0.5, 1000.0 + n]
        try:
            added = index.add_many(batch).tolist()
        except ZeroDivisionError:
            failures += 1
            assert index.ids().tolist() == before
        else:
            assert index.ids().tolist() == sorted(before + added)
        fail_at[0] = 0
        points = {id: index[id] for id in index.ids().tolist()}
        expected = sorted((abs(n + 0.3 - p), id) for id, p in points.items())[:4]
        distances, ids = index.nearest(n + 0.3, 4)
        assert list(zip(distances.tolist(), ids.tolist())) == expected
    assert failures > 10


def test_negative_and_nan_radii_find_nothing():
    index = vectors()
    for radius in (-1.0, math.nan):
        distances, ids = index.within([0.0, 1.0, 2.0], radius)
        assert len(distances) == 0 and len(ids) == 0


def test_a_returned_non_number_is_a_type_error():
    index = korel.Index(lambda a, b: "far")
    index.add_many([1, 2])
    with pytest.raises(TypeError, match="the metric returned a str, not a number"):
        index.nearest(3)
