"""korel.distributed.ShardedIndex on a local Dask cluster of two worker
processes: every answer is compared with one korel.Index holding the same
points, through removals, failed adds, saving, loading and a killed worker.
"""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import korel

distributed = pytest.importorskip(
    "distributed", reason="the sharded index needs Dask: pip install korel[distributed]"
)
from dask_cluster import local_client  # noqa: E402
from korel.distributed import ShardedIndex, ShardLost, merge_nearest, shard_of  # noqa: E402

TIMEOUT = 60  # seconds, for every wait on the cluster


def manhattan(a, b):
    """A Python metric, defined at module level so that it pickles."""
    return float(sum(abs(x - y) for x, y in zip(a, b)))


def picky(a, b):
    """Manhattan distance between numbers, refusing the string "poison"."""
    if "poison" in (a, b):
        raise ValueError("poison")
    return abs(a - b)


@pytest.fixture(scope="module")
def client():
    with local_client(TIMEOUT) as client:
        yield client


# --- data with many exact ties, and the plain index to compare with ------------------


def grid(rng, count):
    return rng.integers(0, 5, (count, 3)).astype(np.float64)


def words(rng, count):
    return ["".join(rng.choice(list("ab"), rng.integers(1, 5))) for _ in range(count)]


def tuples(rng, count):
    return [tuple(int(x) for x in row) for row in rng.integers(0, 5, (count, 2))]


CASES = {
    "euclidean": ("euclidean", grid, 2),
    "manhattan": ("manhattan", grid, 3),
    "levenshtein": ("levenshtein", words, 2),
    "python callable": (manhattan, tuples, 3),
}


def assert_same_answers(sharded, one, queries):
    assert len(sharded) == len(one)
    for k in (1, 7, len(one) + 3):
        for got, expected in zip(sharded.query(queries, k), one.query(queries, k)):
            np.testing.assert_array_equal(got, expected)
    for radius in (0.0, 1.0, 2.5):
        for got, expected in zip(sharded.query_radius(queries, radius), one.query_radius(queries, radius)):
            np.testing.assert_array_equal(got[0], expected[0])
            np.testing.assert_array_equal(got[1], expected[1])


# --- tests -------------------------------------------------------------------------


@pytest.mark.parametrize("case", CASES)
def test_answers_equal_one_index(client, case):
    metric, make, shards = CASES[case]
    rng = np.random.default_rng(len(case))
    sharded, one = ShardedIndex(client, metric, shards=shards), korel.Index(metric)
    points = make(rng, 300)
    explicit = rng.choice(10_000, 100, replace=False)
    for index in (sharded, one):
        index.add_many(points[:100], ids=explicit)
    np.testing.assert_array_equal(sharded.add_many(points[100:]), one.add_many(points[100:]))
    gone = np.concatenate([rng.choice(one.ids(), 80, replace=False), [10_500, 20_000]])
    assert sharded.remove_many(gone) == one.remove_many(gone) == 80
    assert_same_answers(sharded, one, make(rng, 25))


def outcome(call):
    """What a call gives: its value, or the type and message of its error."""
    try:
        return "value", call()
    except Exception as error:
        return type(error), str(error)


def assert_same_outcome(got, expected):
    assert got[0] == expected[0], (got, expected)
    if got[0] != "value":
        assert got[1] == expected[1]
    elif isinstance(expected[1], tuple) and len(expected[1]) == 2:  # (distances, ids)
        for part, expected_part in zip(got[1], expected[1]):
            np.testing.assert_array_equal(part, expected_part)
    else:
        np.testing.assert_array_equal(got[1], expected[1])


def routed_to(sharded, monkeypatch):
    """The shards each call reaches, recorded call by call."""
    reached = []
    real = sharded._call

    def recording(name, arguments):
        reached.append(sorted(arguments))
        return real(name, arguments)

    monkeypatch.setattr(sharded, "_call", recording)
    return reached


@pytest.mark.parametrize("case", CASES)
def test_single_point_calls_equal_one_index(client, case, monkeypatch):
    metric, make, shards = CASES[case]
    rng = np.random.default_rng(len(case) + 1)
    sharded, one = ShardedIndex(client, metric, shards=shards, timeout=TIMEOUT), korel.Index(metric)
    points = make(rng, 60)  # full of duplicates, so of tied distances
    for index in (sharded, one):
        index.add_many(points, ids=np.arange(0, 120, 2))
    for query in list(make(rng, 4)) + [points[0]]:  # the last at distance 0 from stored points
        for k in (0, 1, 5, 70, 2**70):
            assert_same_outcome(
                outcome(lambda: sharded.nearest(query, k)), outcome(lambda: one.nearest(query, k))
            )
        assert_same_outcome(outcome(lambda: sharded.nearest(query)), outcome(lambda: one.nearest(query)))
        for radius in (0.0, 1.0, 2.5, -1.0):
            assert_same_outcome(
                outcome(lambda: sharded.within(query, radius)), outcome(lambda: one.within(query, radius))
            )
    reached = routed_to(sharded, monkeypatch)
    routable = [0, 2, 118, 1, 119, 10_000, -1, np.int64(4), 0]  # the second removal of 0 finds nothing
    not_ids = [2**63, True, 2.0, "2", None, [2, 4]]
    for id, is_id in [(id, True) for id in routable] + [(id, False) for id in not_ids]:
        reached.clear()
        assert (id in sharded) == (id in one), id
        assert_same_outcome(outcome(lambda: sharded[id]), outcome(lambda: one[id]))
        assert_same_outcome(outcome(lambda: sharded.remove(id)), outcome(lambda: one.remove(id)))
        # An id is asked of its own shard alone; what is not an id, of none.
        home = [[int(shard_of(np.array([id]), shards)[0])]] if is_id else []
        assert reached == 3 * home, id
    gone = [6, 8, 7, 8, 10_000]
    assert sharded.remove_many(gone) == one.remove_many(gone) == 2
    assert_same_answers(sharded, one, make(rng, 5))


@pytest.mark.parametrize("call", ["nearest", "within"])
def test_single_point_errors_are_those_of_index(client, call):
    sharded, one = ShardedIndex(client, "euclidean", shards=3, timeout=TIMEOUT), korel.Index("euclidean")
    for index in (sharded, one):
        index.add_many(grid(np.random.default_rng(4), 20))
    for point, argument in [([0.0, 1.0], -1), ([0.0, 1.0], "2"), ([0.0, 1.0, 2.0, 3.0], 1),
                            ("abc", 1), ([np.nan, 0.0, 0.0], 1), ([[0.0, 1.0, 2.0]], 1)]:
        assert_same_outcome(
            outcome(lambda: getattr(sharded, call)(point, argument)),
            outcome(lambda: getattr(one, call)(point, argument)),
        )


@pytest.mark.parametrize("workers", [None, 1, 3, np.int64(2), 0, -1, 1.5, "2", True])
def test_workers_are_accepted_and_checked_as_by_index(client, workers):
    sharded, one = ShardedIndex(client, "manhattan", shards=2, timeout=TIMEOUT), korel.Index("manhattan")
    rng = np.random.default_rng(6)
    points = grid(rng, 50)
    for index in (sharded, one):
        index.add_many(points)
    queries = grid(rng, 6)
    assert_same_outcome(
        outcome(lambda: sharded.query(queries, 4, workers=workers)),
        outcome(lambda: one.query(queries, 4, workers=workers)),
    )
    got = outcome(lambda: sharded.query_radius(queries, 2.0, workers=workers))
    expected = outcome(lambda: one.query_radius(queries, 2.0, workers=workers))
    assert got[0] == expected[0]
    if got[0] == "value":
        for answer, expected_answer in zip(got[1], expected[1]):
            assert_same_outcome(("value", answer), ("value", expected_answer))
    else:
        assert got[1] == expected[1]
    assert len(sharded.workers) == 2  # still the addresses of the shards' workers


def test_float32_shards_and_their_save(client, tmp_path):
    rng = np.random.default_rng(8)
    points = np.round(rng.random((80, 3)), 1) / 3  # ties, and values float32 rounds
    sharded = ShardedIndex(client, "euclidean", shards=3, dtype="float32", timeout=TIMEOUT)
    one = korel.Index("euclidean", dtype="float32")
    for index in (sharded, one):
        index.add_many(points)
    # A coordinate float32 cannot hold is refused and stores nothing, as by Index.
    beyond = np.vstack([points[:5], [[1e39, 0.0, 0.0]]])
    assert_same_outcome(outcome(lambda: sharded.add_many(beyond)), outcome(lambda: one.add_many(beyond)))
    sharded.save(tmp_path)
    loaded = ShardedIndex.load(client, tmp_path, timeout=TIMEOUT)
    for index in (sharded, loaded):
        assert index.dtype == "float32"
        assert index[7].dtype == np.float32
        np.testing.assert_array_equal(index[7], one[7])
        assert_same_answers(index, one, points[:6] + 0.01)
        for query in points[:3] + 0.01:
            assert_same_outcome(
                outcome(lambda: index.nearest(query, 9)), outcome(lambda: one.nearest(query, 9))
            )
    assert ShardedIndex(client, "levenshtein", timeout=TIMEOUT).dtype is None


def test_load_refuses_shards_of_mixed_dtypes(client, tmp_path):
    points = grid(np.random.default_rng(9), 30)
    for dtype in ("float32", "float64"):
        sharded = ShardedIndex(client, "euclidean", shards=2, dtype=dtype, timeout=TIMEOUT)
        sharded.add_many(points)
        sharded.save(tmp_path / dtype)
    manifest = json.loads((tmp_path / "float32" / "manifest.json").read_text())
    other = json.loads((tmp_path / "float64" / "manifest.json").read_text())["shards"][1]["file"]
    os.replace(tmp_path / "float64" / other, tmp_path / "float32" / other)
    manifest["shards"][1]["file"] = other
    (tmp_path / "float32" / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="stores float64 vectors, the file of shard 0 float32"):
        ShardedIndex.load(client, tmp_path / "float32", timeout=TIMEOUT)


@pytest.mark.parametrize(
    "metric, dtype", [("euclidean", "int8"), ("euclidean", True), ("levenshtein", "float32")]
)
def test_bad_dtype_is_refused_as_by_index(client, metric, dtype):
    got = outcome(lambda: ShardedIndex(client, metric, dtype=dtype, timeout=TIMEOUT))
    assert got == outcome(lambda: korel.Index(metric, dtype=dtype))
    assert got[0] is ValueError


@pytest.mark.parametrize(
    "metric, stored, bad, ids, error",
    [
        ("euclidean", [[1.0, 2.0]], [[3.0, 4.0], [5.0, 6.0]], [7, 7], "duplicate id 7"),
        ("euclidean", [[1.0, 2.0]], [[3.0, 4.0], [5.0, 6.0]], [9, 0], "id 0 is already stored"),
        ("euclidean", [[1.0, 2.0]], np.ones((20, 3)), None, "dimension 3"),
        ("euclidean", [[1.0, 2.0]], [[1.0, 2.0, 3.0]], "elsewhere", "dimension 3"),
        ("euclidean", [[1.0, 2.0]], [[1.0, 2.0], [np.nan, 1.0]], None, "NaN"),
        ("hamming", ["abc"], [f"{i:03d}" for i in range(20)] + ["abcd"], None, "length 4"),
        ("hamming", ["abc"], ["abcd"], "elsewhere", "length 4"),
        (picky, list(range(300)), list(range(300, 600)) + ["poison"], None, "poison"),
    ],
    ids=[
        "duplicate in the call", "duplicate of a stored id", "dimension", "dimension, to an empty shard",
        "NaN", "hamming length", "hamming length, to an empty shard", "metric raises",
    ],
)
def test_failed_add_stores_nothing(client, metric, stored, bad, ids, error):
    sharded, one = ShardedIndex(client, metric, shards=4), korel.Index(metric)
    sharded.add_many(stored)
    if ids == "elsewhere":  # only empty shards get the batch: they alone cannot refuse it
        taken = set(shard_of(np.arange(len(stored)), 4).tolist())
        ids = [next(i for i in range(len(stored), 100) if shard_of(np.array([i]), 4)[0] not in taken)]
    one.add_many(stored)
    with pytest.raises(ValueError, match=error):
        sharded.add_many(bad, ids=ids)
    assert_same_answers(sharded, one, stored[:5])
    # The next automatic id is not used up by the failed call either.
    np.testing.assert_array_equal(sharded.add_many(stored[:1]), one.add_many(stored[:1]))


def test_save_and_load(client, tmp_path):
    rng = np.random.default_rng(7)
    sharded, one = ShardedIndex(client, "euclidean", shards=3), korel.Index("euclidean")
    for index in (sharded, one):
        index.add_many(grid(np.random.default_rng(1), 200))
    assert sharded.remove_many(range(0, 200, 3)) == one.remove_many(range(0, 200, 3))
    sharded.save(tmp_path)
    sharded.add_many(grid(rng, 50))  # after the save, then lost
    sharded.save(tmp_path / "second")
    sharded.save(tmp_path / "second")  # a second save replaces the first's files
    manifest = json.loads((tmp_path / "second" / "manifest.json").read_text())
    assert sorted(os.listdir(tmp_path / "second")) == sorted(
        ["manifest.json"] + [shard["file"] for shard in manifest["shards"]]
    )

    loaded = ShardedIndex.load(client, tmp_path)
    assert loaded.shards == 3
    assert_same_answers(loaded, one, grid(rng, 20))
    # Ids go on after the largest saved one, as the plain index's do.
    np.testing.assert_array_equal(loaded.add_many(grid(rng, 3)), one.add_many(grid(rng, 3)))


def test_mapped_load_answers_as_one_index_and_refuses_changes(client, tmp_path):
    sharded, one = ShardedIndex(client, "euclidean", shards=2), korel.Index("euclidean")
    for index in (sharded, one):
        index.add_many(grid(np.random.default_rng(3), 300))
    sharded.save(tmp_path)
    reports = []
    loaded = ShardedIndex.load(client, tmp_path, mmap=True, verify=True, progress=lambda *a: reports.append(a))
    assert reports[-1] == (2, 2)
    assert_same_answers(loaded, one, grid(np.random.default_rng(4), 20))
    with pytest.raises(ValueError, match="mmap=False"):
        loaded.add_many(grid(np.random.default_rng(5), 2))
    assert len(loaded) == 300


def damage(directory, manifest):
    """Breaks a saved index in one of three ways; returns the error expected."""
    path = directory / "manifest.json"
    if manifest == "not json":
        path.write_text("{")
        return ValueError, "not valid JSON"
    saved = json.loads(path.read_text())
    if manifest == "a shard file missing":
        (directory / saved["shards"][0]["file"]).unlink()
        return FileNotFoundError, "is missing"
    saved["shards"][1]["count"] += 1
    path.write_text(json.dumps(saved))
    return ValueError, "the manifest says"


@pytest.mark.parametrize("manifest", ["not json", "a shard file missing", "a count that differs"])
def test_load_refuses_a_damaged_save(client, tmp_path, manifest):
    sharded = ShardedIndex(client, "euclidean")
    sharded.add_many(grid(np.random.default_rng(2), 50))
    sharded.save(tmp_path)
    error, message = damage(tmp_path, manifest)
    with pytest.raises(error, match=message):
        ShardedIndex.load(client, tmp_path)


def test_python_callable_metric(client, tmp_path):
    with pytest.raises(TypeError, match="module"):
        ShardedIndex(client, lambda a, b: abs(a - b))
    sharded, one = ShardedIndex(client, manhattan), korel.Index(manhattan)
    points = tuples(np.random.default_rng(3), 100)
    for index in (sharded, one):
        index.add_many(points)
    sharded.save(tmp_path)
    loaded = ShardedIndex.load(client, tmp_path, allow_pickle=True)
    assert loaded.metric is manhattan
    assert_same_answers(loaded, one, points[:10])


def test_merge_orders_nan_last_and_padding_after_everything():
    rng = np.random.default_rng(5)
    values = np.array([0.0, 1.0, 1.0, np.inf, np.nan])
    answers, candidates = [], []
    for _ in range(3):
        distances = np.sort(rng.choice(values, (4, 6)), axis=1)
        ids = rng.choice(1000, (4, 6), replace=False)
        ids[:, 4:] = -1  # every shard pads its answer
        distances[:, 4:] = np.inf
        answers.append((distances, ids))
        candidates.append(list(zip(distances.tolist(), ids.tolist())))
    got_distances, got_ids = merge_nearest(answers, k=15)  # more than the 12 real points
    for row in range(4):
        pairs = [(d, i) for shard in candidates for d, i in zip(*shard[row])]
        expected = sorted(pairs, key=lambda p: (p[1] < 0, np.isnan(p[0]), p[0], p[1]))[:15]
        assert got_ids[row].tolist() == [i for _, i in expected]
        np.testing.assert_array_equal(got_distances[row], [d for d, _ in expected])


def test_lost_worker_raises_then_load_brings_back_the_save(client, tmp_path):
    rng = np.random.default_rng(11)
    saved = grid(rng, 200)
    sharded = ShardedIndex(client, "manhattan", timeout=TIMEOUT)
    sharded.add_many(saved)
    sharded.save(tmp_path)
    sharded.add_many(grid(rng, 30))

    victim = sharded.workers[1]
    os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
    calls = [
        lambda: sharded.query(saved[:5], 3),
        lambda: sharded.query_radius(saved[:5], 1.0),
        lambda: sharded.add_many(saved[:2]),
        lambda: sharded.remove_many([0, 1]),
        lambda: sharded.remove(0),
        lambda: sharded.nearest(saved[0]),
        lambda: sharded.within(saved[0], 1.0),
        lambda: sharded[0],
        lambda: 0 in sharded,
        lambda: len(sharded),
        lambda: sharded.save(tmp_path / "never"),
    ]
    for call in calls:
        with pytest.raises(ShardLost) as lost:
            call()
        assert lost.value.shards == (1,)
    assert not (tmp_path / "never" / "manifest.json").exists()

    # The nanny restarts the worker; the saved shards go to whichever workers there are.
    deadline = time.monotonic() + TIMEOUT
    while victim in client.nthreads():
        assert time.monotonic() < deadline, "the dead worker was never removed"
        time.sleep(0.1)
    client.wait_for_workers(2, timeout=TIMEOUT)
    one = korel.Index("manhattan")
    one.add_many(saved)
    assert_same_answers(ShardedIndex.load(client, tmp_path), one, grid(rng, 20))


def test_import_korel_does_not_import_dask():
    code = (
        "import sys; import korel\n"
        "assert 'distributed' not in sys.modules and 'dask' not in sys.modules\n"
        "sys.modules['distributed'] = None\n"
        "try:\n    import korel.distributed\nexcept ImportError as error:\n    print(error)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    assert "pip install korel[distributed]" in result.stdout
