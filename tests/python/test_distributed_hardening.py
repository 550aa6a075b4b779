"""ShardedIndex under faults and hostile saves, on a LocalCluster with
bounded waits: an interrupted add_many and a removal that fails on one
shard change nothing, answers are sized
by min(k, len) on the shards and padded once here, and a load checks the
manifest and every shard before it returns anything."""

import json
import os
import pickle
import signal
import tempfile
import threading
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

import korel  # noqa: E402
from dask_cluster import local_client  # noqa: E402
from korel.distributed import ShardedIndex, _Shard, shard_of  # noqa: E402

TIMEOUT = 60  # seconds, for every wait on the cluster


def slow_when_flagged(a, b):
    """Manhattan distance between (x, y, flag) points, slow for flagged ones."""
    if a[2] or b[2]:
        time.sleep(0.002)
    return abs(a[0] - b[0]) + abs(a[1] - b[1])


@pytest.fixture(scope="module")
def client():
    with local_client(TIMEOUT) as client:
        yield client


def shard_tasks(client):
    return client.run_on_scheduler(
        lambda dask_scheduler: [key for key in dask_scheduler.tasks if str(key).startswith("korel-shard")]
    )


def test_ctrl_c_during_add_many_stores_nothing_and_consumes_no_id(client):
    sharded = ShardedIndex(client, slow_when_flagged, timeout=TIMEOUT)
    rng = np.random.default_rng(0)
    sharded.add_many([(x, y, 0) for x, y in rng.random((1000, 2))])
    slow = [(x, y, 1) for x, y in rng.random((80, 2))]
    timer = threading.Timer(0.5, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            sharded.add_many(slow)
            time.sleep(5)  # the signal arrived after the call: the add was too fast to interrupt
    finally:
        timer.join()
    assert len(sharded) == 1000
    assert sharded.add_many([(0.5, 0.5, 0)]).tolist() == [1000]
    distances, ids = sharded.query([(0.5, 0.5, 0)], k=1)
    assert ids.tolist() == [[1000]] and distances.tolist() == [[0.0]]


# One path for the test and the workers (other processes: no pid in it).
FAILING = os.path.join(tempfile.gettempdir(), "korel-test-failing-metric")


def fails_on_flagged_while_told(a, b):
    """Manhattan distance between (x, y, flag) points; raises for a flagged
    point while the file FAILING exists (seen by every worker)."""
    if (a[2] or b[2]) and os.path.exists(FAILING):
        raise ValueError("the metric failed")
    return abs(a[0] - b[0]) + abs(a[1] - b[1])


def test_a_removal_that_fails_on_one_shard_removes_nothing_anywhere(client):
    sharded = ShardedIndex(client, fails_on_flagged_while_told, shards=2, timeout=TIMEOUT)
    rng = np.random.default_rng(3)
    ids = np.arange(2400)
    home = shard_of(ids, 2)
    # Shard 0's points are flagged: removing two thirds of them rebuilds its
    # tree, which fails; shard 1 loses one point, with no rebuild, and must
    # get it back.
    points = [(x, y, int(h == 0)) for (x, y), h in zip(rng.random((2400, 2)).tolist(), home.tolist())]
    sharded.add_many(points, ids=ids)
    first = ids[home == 0]
    doomed = np.concatenate([first[: 2 * len(first) // 3], ids[home == 1][:1]])
    open(FAILING, "w").close()
    try:
        with pytest.raises(ValueError, match="the metric failed"):
            sharded.remove_many(doomed)
    finally:
        os.unlink(FAILING)
    assert len(sharded) == 2400
    assert all(i in sharded for i in doomed.tolist())
    one = korel.Index(fails_on_flagged_while_told)
    one.add_many(points, ids=ids)
    query = [(0.5, 0.5, 0)]
    for got, expected in zip(sharded.query(query, k=2400), one.query(query, k=2400)):
        np.testing.assert_array_equal(got, expected)
    assert sharded.remove_many(doomed) == len(doomed)


def test_a_shard_answers_at_most_min_k_len_and_the_client_pads_once(client):
    shard = _Shard("euclidean")  # outside a worker: the shard itself
    shard.call(pickle.dumps(("add", (np.eye(3), np.arange(3)))))
    _, error, (distances, ids) = shard.call(pickle.dumps(("query", (np.zeros((2, 3)), 10**12))))
    assert error is None and distances.shape == ids.shape == (2, 3)
    sharded = ShardedIndex(client, "euclidean", shards=3, timeout=TIMEOUT)
    one = korel.Index("euclidean")
    for index in (sharded, one):
        index.add_many(np.eye(3))
    for got, expected in zip(sharded.query(np.zeros((2, 3)), k=7), one.query(np.zeros((2, 3)), k=7)):
        np.testing.assert_array_equal(got, expected)
    with pytest.raises(ValueError, match=f"k={2**62} is too large"):
        sharded.query(np.zeros((2, 3)), k=2**62)
    assert len(sharded) == 3


@pytest.fixture
def saved(client, tmp_path):
    sharded = ShardedIndex(client, "euclidean", shards=2, timeout=TIMEOUT)
    sharded.add_many(np.random.default_rng(1).random((40, 2)))
    sharded.save(tmp_path)
    return tmp_path, json.loads((tmp_path / "manifest.json").read_text())


def rewrite(directory, manifest):
    (directory / "manifest.json").write_text(json.dumps(manifest))


def test_a_shard_listed_twice_is_refused(client, saved):
    directory, manifest = saved
    manifest["shards"][1] = dict(manifest["shards"][0])
    rewrite(directory, manifest)
    with pytest.raises(ValueError, match="more than once"):
        ShardedIndex.load(client, directory, timeout=TIMEOUT)


def test_swapped_shard_files_are_refused_and_release_every_actor(client, saved):
    directory, manifest = saved
    first, second = (directory / shard["file"] for shard in manifest["shards"])
    swap = directory / "swap"
    first.rename(swap)
    second.rename(first)
    swap.rename(second)
    manifest["shards"][0]["count"], manifest["shards"][1]["count"] = (
        manifest["shards"][1]["count"], manifest["shards"][0]["count"])
    rewrite(directory, manifest)
    before = len(shard_tasks(client))
    with pytest.raises(ValueError, match="which belongs to shard"):
        ShardedIndex.load(client, directory, timeout=TIMEOUT)
    deadline = time.monotonic() + TIMEOUT
    while len(shard_tasks(client)) > before and time.monotonic() < deadline:
        time.sleep(0.1)
    assert len(shard_tasks(client)) <= before


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda m: {**m, "next_id": 2**63}, "no valid next_id"),
        (lambda m: {**m, "next_id": True}, "no valid next_id"),
        (lambda m: {**m, "count": m["count"] + 1}, "the manifest says"),
        (lambda m: {**m, "extra": [[[[1]]]]}, "nested more than"),
        (lambda m: {**m, "shards": [{**s, "count": -1} for s in m["shards"]]}, "no valid shards"),
        (lambda m: {**m, "shards": m["shards"][::-1]}, "lists the file of shard 1 as shard 0"),
    ],
)
def test_a_malformed_manifest_is_refused_before_any_shard_loads(client, saved, edit, message):
    directory, manifest = saved
    rewrite(directory, edit(manifest))
    before = len(shard_tasks(client))
    with pytest.raises(ValueError, match=message):
        ShardedIndex.load(client, directory, timeout=TIMEOUT)
    assert len(shard_tasks(client)) == before


def test_deeply_nested_manifest(client, tmp_path):
    (tmp_path / "manifest.json").write_text("[" * 100_000 + "]" * 100_000)
    with pytest.raises(ValueError, match="nested more than"):
        ShardedIndex.load(client, tmp_path, timeout=TIMEOUT)


def test_pickled_shards_load_only_with_allow_pickle(client, tmp_path):
    sharded = ShardedIndex(client, slow_when_flagged, timeout=TIMEOUT)
    sharded.add_many([(0.0, 0.0, 0), (1.0, 1.0, 0)])
    sharded.save(tmp_path)
    (tmp_path / f".korel-{os.getpid()}-0123456789ab.tmp").write_bytes(b"left by a killed save")
    with pytest.raises(ValueError, match="allow_pickle=True"):
        ShardedIndex.load(client, tmp_path, timeout=TIMEOUT)
    with pytest.raises(ValueError, match="object points; it cannot be loaded under the metric 'euclidean'"):
        ShardedIndex.load(client, tmp_path, "euclidean", allow_pickle=True, timeout=TIMEOUT)
    loaded = ShardedIndex.load(client, tmp_path, allow_pickle=True, timeout=TIMEOUT)
    assert len(loaded) == 2 and loaded.query([(0.9, 0.9, 0)], k=1)[1].tolist() == [[1]]
