"""Resident memory and build time of one korel.Index over N uniform random
vectors of DIM coordinates (float64, or DTYPE), measured alone in this fresh
process: `python memory_probe.py N DIM [DTYPE]` prints one JSON line.

Two views of the memory:
- What `add_many` costs its caller, with the data array alive as the
  caller's: the peak resident growth during the call (the kernel's high-water
  mark, reset just before it) and the final growth, both over the resident
  size just before the call.
- What the index itself keeps: RSS after building, with the data array
  freed, minus RSS before the data array was allocated. It is read after the
  C library has handed freed heap memory back to the system (malloc_trim):
  the ids array add_many returns, discarded here, would otherwise stay
  counted. The figure before that is reported too.
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


def reset_peak():
    """Resets the kernel's resident high-water mark (Linux); False if it cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def peak():
    """The resident high-water mark in bytes (since the last reset)."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    n, dim = int(sys.argv[1]), int(sys.argv[2])
    dtype = sys.argv[3] if len(sys.argv) > 3 else "float64"
    # Without dtype= when it is the default: older builds (bench/baseline.py) lack it.
    index = korel.Index("euclidean", **({} if dtype == "float64" else {"dtype": dtype}))
    gc.collect()
    before = rss()
    data = np.random.default_rng(12345).random((n, dim), dtype=np.dtype(dtype))
    before_add = rss()
    peak_reset = reset_peak()
    start = time.perf_counter()
    index.add_many(data)
    build = time.perf_counter() - start
    add_peak = peak()
    with_data = rss()
    del data
    gc.collect()
    untrimmed = rss()
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass  # not glibc: nothing to hand back
    after = rss()
    lifetime_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"n": n, "dim": dim, "dtype": dtype, "raw": n * dim * np.dtype(dtype).itemsize,
                      "build": build, "growth": after - before,
                      "growth before trim": untrimmed - before,
                      "growth with data": with_data - before,
                      "peak growth": lifetime_peak - before,
                      "add_many peak growth": add_peak - before_add,
                      "add_many final growth": with_data - before_add,
                      "peak reset": peak_reset, "points": len(index)}))


if __name__ == "__main__":
    main()
