"""Resident memory and build time of one korel.Index over N uniform random
vectors of DIM float64 coordinates, measured alone in this fresh process:
`python memory_probe.py N DIM` prints one JSON line.

The growth is RSS after building, with the data array freed, minus RSS
before the data array was allocated: what the index itself keeps. It is read
after the C library has handed freed heap memory back to the system
(malloc_trim): the ids array add_many returns, discarded here, would
otherwise stay counted. The figure before that is reported too.
"""

import ctypes
import gc
import json
import os
import resource
import sys
import time

import numpy as np

import korel


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    n, dim = int(sys.argv[1]), int(sys.argv[2])
    index = korel.Index("euclidean")
    gc.collect()
    before = rss()
    data = np.random.default_rng(12345).random((n, dim))
    start = time.perf_counter()
    index.add_many(data)
    build = time.perf_counter() - start
    with_data = rss()
    del data
    gc.collect()
    untrimmed = rss()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass  # not glibc: nothing to hand back
    after = rss()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"n": n, "dim": dim, "raw": n * dim * 8, "build": build,
                      "growth": after - before, "growth before trim": untrimmed - before,
                      "growth with data": with_data - before,
                      "peak growth": peak - before, "points": len(index)}))


if __name__ == "__main__":
    main()
