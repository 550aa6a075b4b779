"""korel.distributed at work: one exact index over two Dask worker processes.

Starts a LocalCluster of 2 worker processes (1 thread each) on this machine,
builds a ShardedIndex of 10^6 random 8-d points under the native Euclidean
metric, runs a batch of queries, checks every answer against one korel.Index
holding the same points, and prints build time, query time and
the cost of merging the shards' answers. The cluster is closed on every exit.
"""

import contextlib
import logging
import statistics
import time

import numpy as np
from distributed import Client, LocalCluster

import korel
import korel.distributed
from korel.distributed import ShardedIndex

SEED = 20240611
POINTS = 1_000_000
DIMENSION = 8
QUERIES = 2_000
K = 10
TIMEOUT = 120  # seconds, for the cluster to start, stop and answer any call


def timed(work):
    start = time.perf_counter()
    result = work()
    return result, time.perf_counter() - start


@contextlib.contextmanager
def merge_clock(seconds):
    """Adds to seconds[0] the time the real queries spend merging answers."""
    merge = korel.distributed.merge_nearest

    def clocked(answers, k):
        start = time.perf_counter()
        try:
            return merge(answers, k)
        finally:
            seconds[0] += time.perf_counter() - start

    korel.distributed.merge_nearest = clocked
    try:
        yield
    finally:
        korel.distributed.merge_nearest = merge


def main():
    generator = np.random.default_rng(SEED)
    points = generator.random((POINTS, DIMENSION))
    queries = generator.random((QUERIES, DIMENSION))
    print(f"{POINTS} uniform random points in {DIMENSION} dimensions, {QUERIES} queries for the {K} nearest")

    started = time.perf_counter()
    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", death_timeout=TIMEOUT,
        silence_logs=logging.CRITICAL,  # a worker's heartbeat may race the scheduler's shutdown
    ) as cluster, Client(cluster, timeout=TIMEOUT) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        print(f"Dask cluster of 2 worker processes started in {time.perf_counter() - started:.1f} s")

        index = ShardedIndex(client, "euclidean", timeout=TIMEOUT)
        _, build = timed(lambda: [index.add_many(chunk) for chunk in np.array_split(points, 5)])
        print(f"Sharded index: {len(index)} points in {index.shards} shards on {', '.join(index.workers)}")

        merge = [0.0]
        with merge_clock(merge):
            (distances, ids), query = timed(lambda: index.query(queries, K))
        round_trips = [timed(lambda: index.query(queries[:1], K))[1] for _ in range(20)]

    one = korel.Index("euclidean")
    _, one_build = timed(lambda: one.add_many(points))
    (one_distances, one_ids), one_query = timed(lambda: one.query(queries, K, workers=2))
    if not (np.array_equal(distances, one_distances) and np.array_equal(ids, one_ids)):
        raise SystemExit("the sharded answers differ from those of one korel.Index")

    rows = [
        ("build", f"{build:.2f} s", f"{one_build:.2f} s"),
        (f"{QUERIES} queries", f"{query:.2f} s", f"{one_query:.2f} s"),
        ("queries per second", f"{QUERIES / query:.0f}", f"{QUERIES / one_query:.0f}"),
        ("merge, per query", f"{merge[0] / QUERIES * 1e6:.2f} us ({merge[0] / query:.1%})", "-"),
        ("round trip of a 1-query batch", f"{statistics.median(round_trips) * 1e3:.2f} ms", "-"),
    ]
    widths = [max(len(row[c]) for row in rows + [("", "2 shards, 2 processes", "one Index, 2 threads")])
              for c in range(3)]
    print()
    for row in [("", "2 shards, 2 processes", "one Index, 2 threads")] + rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)))
    print(f"\nAll {QUERIES} answers (distances and ids) equal those of one korel.Index.")
    print("On 2 cores the gain is capacity (each process holds half the points), not speed.")
    print(f"Total {time.perf_counter() - started:.1f} s; the cluster is closed.")


if __name__ == "__main__":
    main()
