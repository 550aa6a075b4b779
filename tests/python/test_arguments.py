"""Conversion of points, batches, counts and radii at the method boundary."""

import array
import fractions

import numpy as np
import pytest

from korel import NearestNeighborsKorel

from korel_oracles import RecordingMetric, as_multiset, brute_force_k, euclidean, random_points


@pytest.fixture
def index():
    index = NearestNeighborsKorel()
    index.set_distance_function(euclidean)
    index.add_list(random_points(80, seed=1))
    return index


def incompatible(method, self_repr, *argument_reprs, **keyword_reprs):
    """The TypeError text for a call that no prototype accepts."""
    prototype = getattr(NearestNeighborsKorel, method).__doc__[len(method) : -1]
    invoked = ", ".join((self_repr,) + argument_reprs)
    if keyword_reprs:
        invoked += "; kwargs: " + ", ".join("%s=%s" % item for item in keyword_reprs.items())
    return (
        method + "(): incompatible function arguments. The following argument types are supported:\n"
        "    1. " + prototype + "\n\nInvoked with: " + invoked
    )


# --- points -----------------------------------------------------------------


@pytest.mark.parametrize(
    "given, stored",
    [
        ((1, 2.5), [1.0, 2.5]),
        ([True, False], [1.0, 0.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (array.array("d", [0.5, -1.5]), [0.5, -1.5]),
        ([fractions.Fraction(1, 4), np.float32(0.5)], [0.25, 0.5]),
        (np.array([1, 2, 3], dtype=np.int64), [1.0, 2.0, 3.0]),
        (np.array([0.25, 8.5]), [0.25, 8.5]),
        ([], []),
    ],
    ids=["tuple", "bools", "range", "array", "number-types", "int-array", "float-array", "empty"],
)
def test_sequences_of_numbers_are_points(given, stored):
    index = NearestNeighborsKorel()  # no metric: a single insertion measures nothing
    index.add(given)
    (result,) = index.list()
    assert result == stored
    assert all(type(x) is float for x in result)


@pytest.mark.parametrize(
    "bad",
    ["12", b"12", {1.0, 2.0}, {1.0: 2.0}, iter([1.0, 2.0]), (x for x in [1.0]), 3.0, None, [1.0, "2"], [1.0, None]],
    ids=["str", "bytes", "set", "dict", "iterator", "generator", "float", "none", "str-element", "none-element"],
)
@pytest.mark.parametrize("method", ["add", "remove", "nearest"])
def test_non_points_are_refused_and_change_nothing(index, method, bad):
    before = index.list()
    with pytest.raises(TypeError) as raised:
        getattr(index, method)(bad)
    assert str(raised.value) == incompatible(method, repr(index), repr(bad))
    assert index.list() == before


class Unmeasurable:
    """A sequence whose own length or item access fails."""

    class Broken(Exception):
        pass

    def __init__(self, fail_in):
        self.fail_in = fail_in

    def __len__(self):
        if self.fail_in == "len":
            raise self.Broken("len")
        return 2

    def __getitem__(self, position):
        if position >= 2:
            raise IndexError(position)
        if self.fail_in == "item":
            raise self.Broken("item")
        return 1.0


@pytest.mark.parametrize("fail_in", ["len", "item"])
def test_errors_of_the_sequence_itself_propagate(index, fail_in):
    with pytest.raises(Unmeasurable.Broken, match=fail_in):
        index.add(Unmeasurable(fail_in))
    assert index.size() == 80


def test_failing_repr_is_shown_as_such(index):
    class NoRepr:
        def __repr__(self):
            raise RuntimeError("no repr")

    with pytest.raises(TypeError) as raised:
        index.add(NoRepr())
    assert str(raised.value) == incompatible("add", repr(index), "<repr raised Error>")


def test_keywords_are_refused(index):
    with pytest.raises(TypeError) as raised:
        index.add(arg0=[1.0])
    assert str(raised.value) == incompatible("add", repr(index), arg0="[1.0]")
    with pytest.raises(TypeError) as raised:
        index.nearest_k([1.0, 0.0], k=2)
    assert str(raised.value) == incompatible("nearest_k", repr(index), "[1.0, 0.0]", k="2")


@pytest.mark.parametrize("arguments", [(), ([1.0], [2.0])], ids=["too-few", "too-many"])
def test_wrong_argument_count_is_refused(index, arguments):
    with pytest.raises(TypeError) as raised:
        index.add(*arguments)
    assert str(raised.value) == incompatible("add", repr(index), *map(repr, arguments))


# --- batches ----------------------------------------------------------------


def test_batch_is_inserted_in_sequence_order():
    """On a filled index, add_list does exactly what the same adds one by one do."""
    seed_points, batch = random_points(120, seed=5), random_points(60, seed=6)
    logs = []
    for insert in (lambda index: index.add_list(batch), lambda index: [index.add(p) for p in batch]):
        metric = RecordingMetric()
        index = NearestNeighborsKorel()
        index.set_distance_function(metric)
        index.add_list(seed_points)
        metric.calls.clear()
        insert(index)
        logs.append((metric.calls, index.list()))
    assert logs[0] == logs[1]


@pytest.mark.parametrize(
    "batch",
    [np.arange(12.0).reshape(6, 2), ((1, 2), [3.0, 4.0], range(2)), [np.array([1.0, 2.0])] * 3],
    ids=["2d-array", "mixed", "list-of-arrays"],
)
def test_sequences_of_points_are_batches(batch):
    index = NearestNeighborsKorel()
    index.add_list(batch)
    assert as_multiset(index.list()) == as_multiset([[float(x) for x in p] for p in batch])


@pytest.mark.parametrize(
    "bad",
    [[[1.0], "ab"], [[1.0], [2.0, "x"]], "ab", [1.0, 2.0], (p for p in [[1.0]]), np.arange(3.0)],
    ids=["str-item", "bad-element", "str", "flat-list", "generator", "1d-array"],
)
def test_one_bad_item_rejects_the_whole_batch(index, bad):
    before = index.list()
    with pytest.raises(TypeError) as raised:
        index.add_list(bad)
    assert str(raised.value) == incompatible("add_list", repr(index), repr(bad))
    assert index.list() == before


# --- k and radius ------------------------------------------------------------


@pytest.mark.parametrize("k", [-1, 2.0, 2**64, "2", None, np.float64(2.0)], ids=repr)
def test_k_must_be_a_non_negative_integer(index, k):
    with pytest.raises(TypeError) as raised:
        index.nearest_k([0.0, 0.0], k)
    assert str(raised.value) == incompatible("nearest_k", repr(index), "[0.0, 0.0]", repr(k))


@pytest.mark.parametrize(
    "k, expected", [(True, 1), (False, 0), (np.int64(3), 3), (2**64 - 1, 80), (80, 80), (81, 80)], ids=repr
)
def test_integer_like_k(index, k, expected):
    query = [3.0, -4.0]
    found = index.nearest_k(query, k)
    assert [euclidean(query, p) for p in found] == [d for d, _ in brute_force_k(index.list(), query, expected)]


@pytest.mark.parametrize("radius", [25, 25.0, np.float32(25.0), fractions.Fraction(25), True], ids=repr)
def test_radius_takes_any_real_number(index, radius):
    query = [3.0, -4.0]
    found = index.nearest_r(query, radius)
    expected = sorted(d for d in (euclidean(query, p) for p in index.list()) if d <= float(radius))
    assert [euclidean(query, p) for p in found] == expected


@pytest.mark.parametrize("radius", ["1", None, [1.0]], ids=repr)
def test_radius_must_be_a_number(index, radius):
    with pytest.raises(TypeError) as raised:
        index.nearest_r([0.0, 0.0], radius)
    assert str(raised.value) == incompatible("nearest_r", repr(index), "[0.0, 0.0]", repr(radius))


# --- results -----------------------------------------------------------------


def test_results_are_new_lists_of_floats(index):
    query = np.array([1.0, 1.0])
    for first, second in [
        (index.nearest(query), index.nearest(query)),
        (index.nearest_k(query, 5), index.nearest_k(query, 5)),
        (index.nearest_r(query, 50.0), index.nearest_r(query, 50.0)),
        (index.list(), index.list()),
    ]:
        assert type(first) is list and first == second and first is not second
    results = index.nearest_k(query, 5) + index.nearest_r(query, 50.0) + index.list() + [index.nearest(query)]
    assert all(type(p) is list and all(type(x) is float for x in p) for p in results)
    # Changing a result changes nothing inside.
    before = index.list()
    for point in index.list():
        point[0] = 1e9
    assert index.list() == before


def test_remove_and_size_return_python_types(index):
    point = index.list()[10]
    assert index.remove(point) is True
    assert index.remove([1e9, 1e9]) is False
    assert type(index.size()) is int and index.size() == 79
