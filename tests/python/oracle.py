"""A brute-force model of NearestNeighborsKorel and the checks that compare
an index with it.

The model is a plain list of stored points and the installed metric. Points
are compared through `point_key`, which tells 0.0 from -0.0, so the checks
also catch a stored copy whose sign of zero changed.

Mutations that may fail half-way (a distance callable that raises, or no
distance function installed) are checked against the set of outcomes the
index may legitimately reach: e.g. a failed `add` either stored the point or
did not, and nothing else. The model then adopts the outcome observed, so a
run goes on from what the index really holds.
"""

import math
import operator
from array import array
from collections import Counter

BAD_FUNCTION_CALL = "bad_function_call"

# An index with no distance function still takes up to this many points: the
# root's pivot plus a full bucket. One more point needs a split.
MAX_POINTS_WITHOUT_SPLIT = 51


def point_key(point):
    """Hashable identity of a point: its bytes, so 0.0 and -0.0 differ."""
    return array("d", point).tobytes()


def key_point(key):
    return tuple(array("d", key))


def multiset(points):
    return Counter(point_key(p) for p in points)


def points_equal(a, b):
    """Element-wise equality as the index sees it (NaN equals nothing)."""
    return len(a) == len(b) and all(x == y for x, y in zip(a, b))


# --- true metrics whose float arithmetic is exact on small integer grids, so
# the triangle inequality holds without rounding and brute force is exact.


# map() keeps the generator's order of operations at less cost per call.
def manhattan(a, b):
    return sum(map(abs, map(operator.sub, a, b)))


def chebyshev(a, b):
    return max(map(abs, map(operator.sub, a, b)), default=0.0)


def double_manhattan(a, b):
    return 2.0 * manhattan(a, b)


def discrete(a, b):
    return 0.0 if a == b else 1.0  # the lists hold fresh floats: NaN != NaN


PYTHON_METRICS = {
    "manhattan": manhattan,
    "chebyshev": chebyshev,
    "double_manhattan": double_manhattan,
    "discrete": discrete,
}


def native_metrics():
    """The C++ metrics of korel.metrics that are exact on integer grids, when
    the module is built; {} otherwise."""
    try:
        from korel import metrics
    except ImportError:
        return {}
    found = {}
    for name in ("manhattan", "chebyshev", "hamming"):
        function = getattr(metrics, name, None)
        if function is not None:
            found["native_" + name] = function
    return found


class Model:
    """What the index should hold: a multiset of points and a metric."""

    def __init__(self, points=(), metric=None):
        self.points = [tuple(p) for p in points]
        self.metric = metric

    def __len__(self):
        return len(self.points)

    def distance(self, query, point):
        return self.metric(list(query), list(point))

    def equal_copies(self, point):
        return [p for p in self.points if points_equal(p, point)]

    def adopt(self, listed):
        self.points = [tuple(p) for p in listed]


# --- checks ------------------------------------------------------------------


def check_contents(index, model):
    """The index lists exactly the model's multiset and counts it."""
    listed = index.list()
    assert multiset(listed) == multiset(model.points), describe_difference(listed, model.points)
    assert index.size() == len(model.points)
    return listed


def describe_difference(listed, expected):
    got, want = multiset(listed), multiset(expected)
    return "missing %s, extra %s" % (dict(want - got), dict(got - want))


def check_outcome(index, before, outcomes):
    """The index now holds one of the allowed multisets; returns the listed
    points. `outcomes` are lists of points, `before` the model's old list."""
    listed = index.list()
    got = multiset(listed)
    allowed = [multiset(o) for o in outcomes]
    assert got in allowed, "unexpected contents after a failed operation: %s" % describe_difference(
        listed, before
    )
    assert index.size() == len(listed)
    return listed


class BruteForce:
    """Distances from one query to every point of the model, computed once."""

    def __init__(self, model, query):
        self.model = model
        self.query = tuple(query)
        self.distances = [model.distance(query, p) for p in model.points]
        self.sorted_distances = sorted(self.distances)
        self._stored = None

    def distance_to(self, point):
        return self.model.distance(self.query, point)

    def stored(self):
        if self._stored is None:
            self._stored = multiset(self.model.points)
        return self._stored

    def within(self, radius):
        return [p for p, d in zip(self.model.points, self.distances) if d <= radius]

    def closer_than(self, cut):
        return [p for p, d in zip(self.model.points, self.distances) if d < cut]

    def radii(self):
        """Negative, zero, exact-hit and large radii."""
        radii = [-1.0, 0.0, math.inf]
        if self.sorted_distances:
            s = self.sorted_distances
            radii += [s[0], s[len(s) // 2], s[-1], s[-1] + 1.0]
        return radii


def check_nearest(index, brute):
    result = index.nearest(list(brute.query))
    if not brute.model.points:
        assert result == []
        return
    assert point_key(result) in brute.stored(), "nearest returned a point not stored"
    assert brute.distance_to(result) == brute.sorted_distances[0]


def check_nearest_k(index, brute, k):
    result = index.nearest_k(list(brute.query), k)
    expected = brute.sorted_distances[:k]
    got = [brute.distance_to(p) for p in result]
    assert got == expected, "nearest_k(%r, %d): distances %r, brute force %r" % (brute.query, k, got, expected)
    assert not (multiset(result) - brute.stored()), "nearest_k returned a point not stored"
    if expected:
        # Everything strictly closer than the k-th distance must be there;
        # only the choice among points at that distance is free.
        cut = expected[-1]
        assert multiset(p for p in result if brute.distance_to(p) < cut) == multiset(brute.closer_than(cut))


def check_nearest_r(index, brute, radius):
    result = index.nearest_r(list(brute.query), radius)
    within = brute.within(radius)
    assert multiset(result) == multiset(within), "nearest_r(%r, %r): %s" % (
        brute.query,
        radius,
        describe_difference(result, within),
    )
    got = [brute.distance_to(p) for p in result]
    assert got == sorted(got), "nearest_r result not sorted nearest first"


def check_searches(index, model, query, ks=(), radii=None):
    """Every search agrees with brute force for one query, or, without a
    metric, fails the way the index must."""
    if model.metric is None:
        check_searches_without_metric(index, model, query)
        return
    brute = BruteForce(model, query)
    check_nearest(index, brute)
    for k in sorted({0, 1, 7, len(model) + 3, *ks}):
        check_nearest_k(index, brute, k)
    for radius in brute.radii() if radii is None else radii:
        check_nearest_r(index, brute, radius)


def check_searches_without_metric(index, model, query):
    assert index.nearest_k(list(query), 0) == []
    if not model.points:
        assert index.nearest(list(query)) == []
        assert index.nearest_k(list(query), 3) == []
        assert index.nearest_r(list(query), 1.0) == []
        assert index.remove(list(query)) is False
        return
    for call in (
        lambda: index.nearest(list(query)),
        lambda: index.nearest_k(list(query), 3),
        lambda: index.nearest_r(list(query), 1.0),
        lambda: index.remove(list(query)),
    ):
        expect_bad_function_call(call)


def expect_bad_function_call(call):
    try:
        call()
    except RuntimeError as error:
        assert str(error) == BAD_FUNCTION_CALL, str(error)
    else:
        raise AssertionError("expected RuntimeError(%r)" % BAD_FUNCTION_CALL)


# --- allowed outcomes of operations that may fail half-way ---------------------


def add_outcomes(before, point):
    return [before, before + [tuple(point)]]


def add_list_outcomes(before, points):
    """Points are added in order; a failure keeps the ones added so far."""
    points = [tuple(p) for p in points]
    return [before + points[:n] for n in range(len(points) + 1)]


def remove_outcomes(before, point):
    """Unchanged, or one stored copy equal to `point` gone (any of them)."""
    outcomes = [before]
    seen = set()
    for i, p in enumerate(before):
        if points_equal(p, point) and point_key(p) not in seen:
            seen.add(point_key(p))
            outcomes.append(before[:i] + before[i + 1 :])
    return outcomes


def stored_without_metric(held, count):
    """With no distance function the root stays a leaf: each insertion stores
    its point, and the one that over-fills the leaf fails on the split.
    Returns (how many of `count` points get stored, whether it raises)."""
    room = max(0, MAX_POINTS_WITHOUT_SPLIT - held)
    if count > room:
        return room + 1, True
    return count, False


def equality_key(point):
    """Points equal under the index's element-wise test share this key
    (for points without NaN): -0.0 becomes 0.0."""
    return tuple(float(x) + 0.0 for x in point)


NATIVE_METRICS = native_metrics()
