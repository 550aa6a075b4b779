"""korel.distributed.ShardedIndex against one korel.Index on this machine.

Data: 10^6 uniform random 8-d points, native Euclidean metric, batches of
2000 queries for the 10 nearest. Measured:

- one korel.Index: build time, queries per second on 1 and 2 threads, and
  the time per query at 1/8, 1/4, 1/2 and all of the points (how the search cost
  grows with the points a shard holds);
- a ShardedIndex with 1 and 2 shards on a LocalCluster of 2 worker processes
  with 1 thread each: build time, queries per second, and the time spent
  merging the shards' answers, timed inside the real queries;
- the fan-out alone, with 1, 2 and 8 shards of 100 points each (so that the
  search costs next to nothing): the time of the batch per query, the merge
  in it, and the round trip of a 1-query batch.

From these, an estimate for 8 machines holding 10^7 points each. Query
times are the fastest of 3 passes, since the machine is shared. Writes
bench/results/distributed.md. The file is not named distributed.py, which
would hide Dask's package of that name.
"""

import logging
import os
import pathlib
import platform
import statistics
import sys
import time

import numpy as np
from distributed import Client, LocalCluster

import korel
import korel.distributed
from korel.distributed import ShardedIndex

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from distributed_demo import merge_clock  # noqa: E402  (the demo's clock on the merge)

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
SEED = 4242
POINTS = 1_000_000
DIMENSION = 8
QUERIES = 2_000
K = 10
PASSES = 3
TINY = 100  # points per shard when timing the fan-out alone
TIMEOUT = 300  # seconds, for the cluster to start and stop and for every call
MACHINES = 8
MACHINE_POINTS = 10_000_000
MACHINE_CORES = 2


def fastest(work):
    """The result of work() and the shortest of PASSES timings."""
    best = float("inf")
    for _ in range(PASSES):
        start = time.perf_counter()
        result = work()
        best = min(best, time.perf_counter() - start)
    return result, best


def one_index(points, queries):
    """Build time, seconds per query on 1 and 2 threads, and the answers."""
    index = korel.Index("euclidean")
    start = time.perf_counter()
    index.add_many(points)
    build = time.perf_counter() - start
    answers, serial = fastest(lambda: index.query(queries, K, workers=1))
    _, parallel = fastest(lambda: index.query(queries, K, workers=2))
    return build, serial / len(queries), parallel / len(queries), answers


def sharded(client, shards, points, queries, expected=None):
    """Build time, seconds per query, merge seconds per query and the median
    round trip of a 1-query batch; the answers must equal one Index's."""
    index = ShardedIndex(client, "euclidean", shards=shards, timeout=TIMEOUT)
    start = time.perf_counter()
    for chunk in np.array_split(points, 5):
        index.add_many(chunk)
    build = time.perf_counter() - start
    merge = [0.0]
    with merge_clock(merge):
        (distances, ids), query = fastest(lambda: index.query(queries, K))
    if expected is not None and not (np.array_equal(distances, expected[0]) and np.array_equal(ids, expected[1])):
        raise SystemExit(f"{shards} shards answer differently from one korel.Index")
    trips = []
    for _ in range(15):
        start = time.perf_counter()
        index.query(queries[:1], K)
        trips.append(time.perf_counter() - start)
    trip = statistics.median(trips)
    return build, query / len(queries), merge[0] / PASSES / len(queries), trip


def main():
    started = time.perf_counter()
    load_before = os.getloadavg()
    generator = np.random.default_rng(SEED)
    points = generator.random((POINTS, DIMENSION))
    queries = generator.random((QUERIES, DIMENSION))

    print("one korel.Index ...", flush=True)
    scaling = {n: one_index(points[:n], queries)[1] for n in (POINTS // 8, POINTS // 4, POINTS // 2)}
    build, serial, parallel, expected = one_index(points, queries)
    scaling[POINTS] = serial
    sizes = sorted(scaling)
    exponent = np.polyfit(np.log(sizes), np.log([scaling[n] for n in sizes]), 1)[0]

    with LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", death_timeout=TIMEOUT,
        silence_logs=logging.CRITICAL,  # a worker's heartbeat may race the scheduler's shutdown
    ) as cluster, Client(cluster, timeout=TIMEOUT) as client:
        client.wait_for_workers(2, timeout=TIMEOUT)
        full = {}
        for shards in (1, 2):
            print(f"{shards} shard(s) of {POINTS // shards} points ...", flush=True)
            full[shards] = sharded(client, shards, points, queries, expected)
        tiny = {}
        for shards in (1, 2, MACHINES):
            print(f"fan-out to {shards} shard(s) of {TINY} points ...", flush=True)
            tiny[shards] = sharded(client, shards, points[: TINY * shards], queries)

    # --- the estimate --------------------------------------------------------------
    # A machine of MACHINE_CORES cores runs that many queries of a batch at once.
    search = serial * (MACHINE_POINTS / POINTS) ** exponent / MACHINE_CORES
    fan_out = tiny[MACHINES][1]  # per query in a batch of QUERIES, merge included
    per_query = search + fan_out
    alone = serial * (MACHINES * MACHINE_POINTS / POINTS) ** exponent / MACHINE_CORES

    lines = [
        "# korel.distributed: a sharded index against one Index",
        "",
        f"`python bench/sharding.py` on {platform.system().lower()}, Python {platform.python_version()}, "
        f"{os.cpu_count()} cores shared with other work (load average {load_before[0]:.1f} at the start, "
        f"{os.getloadavg()[0]:.1f} at the end), total {(time.perf_counter() - started) / 60:.1f} min. "
        f"{POINTS} uniform random {DIMENSION}-d points, native Euclidean metric, batches of {QUERIES} "
        f"queries for the {K} nearest; query times are the fastest of {PASSES} passes. Shards run on a "
        "LocalCluster of 2 worker processes with 1 thread each; every sharded answer equals that of "
        "one korel.Index.",
        "",
        "| index | points | build s | queries/s | merge us/query | 1-query round trip ms |",
        "|---|---:|---:|---:|---:|---:|",
        f"| one korel.Index, 1 thread | {POINTS} | {build:.2f} | {1 / serial:.0f} | - | - |",
        f"| one korel.Index, 2 threads | {POINTS} | {build:.2f} | {1 / parallel:.0f} | - | - |",
    ]
    for shards, (shard_build, query, merge, trip) in full.items():
        lines.append(
            f"| ShardedIndex, {shards} shard{'s' if shards > 1 else ''} | {POINTS} | {shard_build:.2f} | "
            f"{1 / query:.0f} | {merge * 1e6:.2f} | {trip * 1e3:.2f} |"
        )
    lines += [
        "",
        f"The fan-out alone, with shards of {TINY} points (the search costs next to nothing):",
        "",
        "| shards | us per query in a batch of {} | of which merge us | 1-query round trip ms |".format(QUERIES),
        "|---:|---:|---:|---:|",
    ]
    for shards, (_, query, merge, trip) in tiny.items():
        lines.append(f"| {shards} | {query * 1e6:.1f} | {merge * 1e6:.2f} | {trip * 1e3:.2f} |")
    lines += [
        "",
        "Time per query of one Index on 1 thread: "
        + ", ".join(f"{scaling[n] * 1e3:.3f} ms at {n} points" for n in sizes)
        + f": it grows about as n^{exponent:.2f} here.",
        "",
        "**On 2 cores the gain is capacity, not speed.** Every shard answers every query, so 2 shards on "
        "2 cores do the work of one Index on 2 threads, plus the fan-out (pickling the batch, Dask's "
        "messages, the answers coming back) and the merge. What sharding buys is room: each worker "
        "process holds only its shards' points, and the workers can be other machines.",
        "",
        f"## Estimate: {MACHINES} machines of {MACHINE_POINTS:.0e} points each",
        "",
        f"Machines like this one ({MACHINE_CORES} cores each, one Dask worker with {MACHINE_CORES} threads, "
        f"so {MACHINE_CORES} queries of a batch at a time). With the growth measured above, one shard of "
        f"{MACHINE_POINTS:.0e} points searches in {search * 1e3:.2f} ms per query of a batch; all shards "
        f"search at once. The fan-out to {MACHINES} shards, merge included, measured above: "
        f"{fan_out * 1e6:.0f} us per query in batches of {QUERIES} (over loopback; a real network adds "
        f"its round trip once per batch, about 0.1-1 ms, and carries {DIMENSION * 8} bytes of query "
        f"and {K * 16} bytes of answer per query and shard, about {QUERIES * MACHINES * (DIMENSION * 8 + K * 16) / 1e6:.1f} MB "
        f"per batch). Together: {per_query * 1e3:.2f} ms per query, about {1 / per_query:.0f} queries/s "
        f"over {MACHINES * MACHINE_POINTS:.0e} points, of which the fan-out and merge are "
        f"{fan_out / per_query:.1%}. One such machine holding all {MACHINES * MACHINE_POINTS:.0e} points "
        f"(were there memory enough) would take about {alone * 1e3:.2f} ms per query: the {MACHINES} "
        f"machines answer {alone / per_query:.1f}x faster, and each holds an eighth of the points. "
        "On a shared machine the times, and the growth fitted to them, are rough: so is the estimate, "
        "but the fan-out and merge stay a small part of it whatever the search costs.",
        "",
    ]
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "distributed.md").write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    main()
