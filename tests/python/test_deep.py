"""Deep structures from Python: 2,000 equal points form a chain one level
deep per surplus point. Building, searching, listing, removing from and
dropping it must work through a Python callable, also on a thread with a
small stack: 48 KiB leave 24 bytes a level, too few for recursion along the
chain, while the chain's quadratic number of Python calls stays cheap."""

import threading

import pytest

from korel import NearestNeighborsKorel

EQUAL = 2_000
SMALL_STACK = 48 * 1024


def zero_or_one(a, b):
    return 0.0 if a == b else 1.0


def exercise_chain():
    """Runs on the calling thread; returns what it saw, for the checks."""
    calls = [0]

    def metric(a, b):
        calls[0] += 1
        return zero_or_one(a, b)

    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    index.add_list([[1.0, 2.0]] * EQUAL)
    built = calls[0]
    index.add([1.0, 2.0])  # descends the whole chain
    index.add([3.0, 4.0])
    seen = {
        "size": index.size(),
        "listed": len(index.list()),
        "nearest": index.nearest([3.0, 4.0]),
        "k": len(index.nearest_k([1.0, 2.0], EQUAL + 10)),
        "r": len(index.nearest_r([1.0, 2.0], 0.0)),
        "removed": all(index.remove([1.0, 2.0]) for _ in range(5)),
        "after removal": index.size(),
        "built with": built,
    }
    index.clear()
    seen["cleared"] = index.size()
    # Dropping a full chain destroys thousands of nested nodes.
    index.add_list([[7.0]] * EQUAL)
    del index
    return seen


def check(seen):
    assert seen["size"] == EQUAL + 2
    assert seen["listed"] == EQUAL + 2
    assert seen["nearest"] == [3.0, 4.0]
    assert seen["k"] == EQUAL + 2
    assert seen["r"] == EQUAL + 1
    assert seen["removed"] and seen["after removal"] == EQUAL + 2 - 5
    assert seen["cleared"] == 0
    # One level per surplus point: the chain really is thousands deep (each
    # level's split measures its bucket twice).
    assert seen["built with"] > EQUAL * (EQUAL - 100)


def test_chain_of_equal_points_on_a_small_stack():
    seen, errors = [], []

    def target():
        try:
            seen.append(exercise_chain())
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    previous = threading.stack_size(SMALL_STACK)
    try:
        thread = threading.Thread(target=target)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if errors:
        raise errors[0]
    check(seen[0])


@pytest.mark.parametrize("metric", [lambda a, b: 0.0, lambda a, b: float("nan"), lambda a, b: -1.0])
def test_degenerate_metrics_make_chains_too(metric):
    """All distances 0, NaN or negative: one center per split, a chain of
    every point; no point is lost."""
    index = NearestNeighborsKorel()
    index.set_distance_function(metric)
    points = [[float(i)] for i in range(600)]
    index.add_list(points)
    for p in points[:40]:
        index.add(p)
    assert sorted(index.list()) == sorted(points + points[:40])
    assert len(index.nearest_k([0.5], 10_000)) == len(points) + 40
