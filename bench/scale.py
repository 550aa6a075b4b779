"""Build, load and memory at scale, for `make bench` (bench/peers.py):

- builds of korel.Index against scipy's cKDTree on the same data (uniform
  8-d in float64 and float32, uniform 3-d, image patches), and the build
  time of the real-word vocabulary;
- `Index.load` of a saved vector index against `numpy.fromfile` of the same
  file (warm cache: the file is read once before any timing);
- the resident memory of `add_many`, measured by memory_probe.py in fresh
  processes.

Side by side as everywhere in the bench: each round runs korel and its
reference once, in alternating order; a ratio is the median over rounds of
korel's time over the reference's in the same round. A time is of the build
or the load alone: what it made is freed once the clock has stopped.
"""

import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional

import numpy as np

import cases

HERE = pathlib.Path(__file__).resolve().parent


@dataclass
class Pair:
    """korel's seconds and a reference's, one of each per round."""

    name: str
    korel_label: str
    reference_label: str
    korel: List[float] = field(default_factory=list)
    reference: List[float] = field(default_factory=list)

    @property
    def ratio(self) -> Optional[float]:
        """Median of korel / reference within a round (below 1: korel is faster)."""
        if not self.korel or not self.reference:
            return None
        return statistics.median(a / b for a, b in zip(self.korel, self.reference))


def seconds(action: Callable[[], object]) -> float:
    """The time `action` takes, without freeing what it made: a load or a
    build is timed, not the teardown of its result."""
    start = time.perf_counter()
    made = action()
    elapsed = time.perf_counter() - start
    del made
    return elapsed


def index_of(metric, points, dtype=None):
    """A korel.Index of `metric` built from `points`, for timing with seconds()."""
    import korel

    index = korel.Index(metric) if dtype is None else korel.Index(metric, dtype=dtype)
    index.add_many(points)
    return index


def side_by_side(pair: Pair, korel: Callable, reference: Callable, rounds: int) -> Pair:
    for number in range(rounds):
        order = ((korel, pair.korel), (reference, pair.reference))
        for action, times in (order if number % 2 == 0 else order[::-1]):
            times.append(seconds(action))
    ratio = pair.ratio
    print(f"  {pair.name}: {pair.korel_label} {statistics.median(pair.korel):.3f} s, "
          f"{pair.reference_label} {statistics.median(pair.reference):.3f} s"
          f"{'' if ratio is None else f' ({ratio:.2f}x)'}", flush=True)
    return pair


def build_cases(n, patch_n):
    """(name, data, korel dtype) of the builds compared with cKDTree's."""
    eight = cases.uniform(8, n, 0)[0]
    return [
        (f"uniform 8-d float64, n = {n}", eight, "float64"),
        (f"uniform 8-d float32, n = {n}", eight.astype(np.float32), "float32"),
        (f"uniform 3-d, n = {n}", cases.uniform(3, n, 0)[0], "float64"),
        (f"image patches 64-d, n = {patch_n}", cases.patches(patch_n, 0)[0], "float64"),
    ]


def builds(n, patch_n, rounds):
    """korel.Index(dtype).add_many(data) against cKDTree(data), the same array
    (cKDTree widens float32 to float64 itself: a user pays that too)."""
    from scipy.spatial import cKDTree

    results = []
    for name, data, dtype in build_cases(n, patch_n):
        pair = Pair(name, f"Index ({dtype})", "cKDTree")
        results.append(side_by_side(pair, lambda: index_of("euclidean", data, dtype), lambda: cKDTree(data), rounds))
    return results


def words_build(vocabulary, rounds):
    """Seconds to build korel.Index("levenshtein") over the vocabulary, per round."""
    times = [seconds(lambda: index_of("levenshtein", vocabulary)) for _ in range(rounds)]
    print(f"  build of {len(vocabulary)} words: {statistics.median(times):.3f} s", flush=True)
    return times


def load(n, rounds):
    """Index.load of a saved n x 8 float64 index against numpy.fromfile of the
    same file, warm cache; with mmap=True too where this korel has it."""
    import inspect

    import korel

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "index.korel"
        index = korel.Index("euclidean")
        index.add_many(cases.uniform(8, n, 0)[0])
        index.save(path)
        del index
        size = path.stat().st_size
        np.fromfile(path, dtype=np.uint8)  # warm the cache
        results = [side_by_side(Pair(f"load of a saved {n} x 8 index ({size / 1e6:.0f} MB)",
                                     "Index.load", "numpy.fromfile"),
                                lambda: korel.Index.load(path),
                                lambda: np.fromfile(path, dtype=np.uint8), rounds)]
        if "mmap" in inspect.signature(korel.Index.load).parameters:
            results.append(side_by_side(Pair("load of the same, mapped", "Index.load(mmap=True)",
                                             "numpy.fromfile"),
                                        lambda: korel.Index.load(path, mmap=True),
                                        lambda: np.fromfile(path, dtype=np.uint8), rounds))
    return results, size


def memory(n, runs, python=None, dim=8, dtype="float64"):
    """The memory probe, in fresh processes: the median of each figure."""
    results = []
    for _ in range(runs):
        output = subprocess.run([python or sys.executable, str(HERE / "memory_probe.py"),
                                 str(n), str(dim), dtype],
                                check=True, capture_output=True, text=True).stdout
        results.append(json.loads(output.strip().splitlines()[-1]))
    figures = {key: statistics.median(run[key] for run in results)
               for key, value in results[0].items() if isinstance(value, (int, float))}
    figures["dtype"] = dtype
    figures["runs"] = len(results)
    return figures
