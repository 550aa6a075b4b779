"""korel.Index shared between threads, called back from its own metric,
collected in cycles, and interrupted with Ctrl-C in long native work."""

import gc
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import numpy as np
import pytest

import korel


def test_a_metric_that_calls_back_into_its_index_gets_runtime_error():
    index = None

    def metric(a, b):
        len(index)
        return abs(a - b)

    index = korel.Index(metric)
    index.add(1)
    with pytest.raises(RuntimeError, match="Index is busy"):
        index.nearest(2)
    assert len(index) == 1


def test_an_insertion_waits_for_a_running_batch():
    release = threading.Event()
    started = threading.Event()

    def metric(a, b):
        started.set()
        release.wait(5)
        return abs(a - b)

    index = korel.Index(metric)
    index.add_many([1.0, 2.0])
    results = {}
    searcher = threading.Thread(target=lambda: results.update(query=index.query([1.5, 0.0], 2)))
    searcher.start()
    assert started.wait(5)
    adder = threading.Thread(target=lambda: results.update(add=index.add(7.0)))
    adder.start()
    time.sleep(0.2)
    assert "add" not in results, "the insertion waited"
    release.set()
    searcher.join(5)
    adder.join(5)
    assert results["add"] == 2 and len(index) == 3
    assert results["query"][1].tolist() == [[0, 1], [0, 1]]


def test_rows_added_from_two_threads_while_the_rows_widen_are_all_kept():
    # Whole numbers are kept as float32 until the first row float32 would
    # round; the other thread's batches must land before or after that.
    index = korel.Index("euclidean")
    index.add_many(np.arange(30_000.0).reshape(-1, 3))
    batches = {"whole": [np.full((500, 3), float(i)) for i in range(20)],
               "odd": [np.full((500, 3), i + 1 / 3) for i in range(20)]}
    added = {name: [] for name in batches}
    threads = [threading.Thread(target=lambda name=name: added[name].extend(index.add_many(b) for b in batches[name]))
               for name in batches]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert len(index) == 10_000 + 2 * 20 * 500
    for name, rows in batches.items():
        ids = np.concatenate(added[name])
        assert np.array_equal(np.array([index[i] for i in ids.tolist()]), np.concatenate(rows)), name


class Owner:
    """Owns an index whose metric is one of its own methods: a cycle."""

    def __init__(self):
        self.index = korel.Index(self.measure)
        self.index.add_many([self, (1, 2)])

    def measure(self, a, b):
        return 0.0 if a is b else 1.0


def test_cycles_through_the_metric_and_the_points_are_collected():
    owner = Owner()
    alive = weakref.ref(owner)
    del owner
    gc.collect()
    assert alive() is None


def run_interrupted(body, timeout=60):
    """Runs `body` in a fresh interpreter that sends itself SIGINT after
    it printed 'go'; returns what it printed."""
    script = textwrap.dedent(
        """
        import os, signal, sys, threading, time
        import numpy as np
        import korel

        def interrupt_soon():
            time.sleep(0.5)
            os.kill(os.getpid(), signal.SIGINT)
        """
    ) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.parametrize(
    "work",
    [
        "index.query(queries, 10, workers=2)",
        "index.query_radius(queries, 0.5, workers=1)",
        "index.add_many(more)",
    ],
)
def test_ctrl_c_stops_long_native_work(work):
    body = f"""
    rng = np.random.default_rng(1)
    index = korel.Index("euclidean")
    index.add_many(rng.random((60000, 32)))
    queries = rng.random((100000, 32))
    more = rng.random((1000000, 32))
    before = len(index)
    threading.Thread(target=interrupt_soon).start()
    started = time.monotonic()
    try:
        {work}
    except KeyboardInterrupt:
        print("interrupted after", time.monotonic() - started)
    assert len(index) == before
    assert index.nearest(queries[0], 3)[1].shape == (3,)
    """
    out = run_interrupted(body)
    assert "interrupted after" in out
    assert float(out.split()[-1]) < 3.0


def test_ctrl_c_during_one_long_query_is_not_lost():
    # Four edit distances between strings of 16,000 letters take about a
    # second: the signal comes while the query runs, and must be raised.
    out = run_interrupted("""
    index = korel.Index("levenshtein")
    index.add_many(["a" * 16000, "b" * 16000, "ab" * 8000, "ba" * 8000])
    threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
    try:
        index.nearest("c" * 16000, 4)
        print("returned")
        time.sleep(10)
    except KeyboardInterrupt:
        print("interrupted")
    """)
    assert out.split() == ["interrupted"], out
