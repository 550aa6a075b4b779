"""Memory is sized by the answer, not by k: searches hold at most
min(k, len(index)) neighbours a query, query pads its (n, k) answer once,
and a k whose padded answer cannot be allocated is refused up front. Each
case runs in an interpreter whose address space is limited (RLIMIT_AS) to
a few hundred MB above what it uses at the start."""

import json
import sys

import numpy as np
import pytest

import korel
from korel_oracles import run_python

LIMITED = """
import json, resource, sys
import numpy as np
import korel

def metric(a, b):
    return abs(a - b)

indexes = {{
    "vector": (korel.Index("euclidean"), [[0.0], [1.0], [2.0]], [0.9]),
    "string": (korel.Index("levenshtein"), ["a", "ab", "abc"], "ab"),
    "object": (korel.Index(metric), [0.0, 1.0, 2.0], 0.9),
}}
for index, points, _ in indexes.values():
    index.add_many(points)
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (used + (400 << 20), resource.RLIM_INFINITY))
outcomes = {{}}
for kind, (index, points, query) in indexes.items():
    def attempt(name, call):
        try:
            outcomes[kind + " " + name] = repr(call())
        except (ValueError, MemoryError) as error:
            outcomes[kind + " " + name] = type(error).__name__ + ": " + str(error)
    {calls}
print(json.dumps(outcomes))
"""


def run_limited(calls):
    result = run_python(LIMITED.format(calls=calls), timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("k", [10**8, 2**62, sys.maxsize, 2**64])
def test_nearest_with_a_huge_k_answers_every_point(k):
    outcomes = run_limited(f"attempt('nearest', lambda: index.nearest(query, k={k})[1].tolist())\n"
                           f"    attempt('nearest of a list', lambda: index.nearest(list(query) if kind == 'vector' else query, k={k})[1].tolist())")
    for kind, expected in (("vector", "[1, 0, 2]"), ("string", "[1, 0, 2]"), ("object", "[1, 0, 2]")):
        assert outcomes[f"{kind} nearest"] == expected
        assert outcomes[f"{kind} nearest of a list"] == expected


@pytest.mark.parametrize("k", [4 * 10**8, 2**62, 2**64])
def test_query_refuses_a_k_whose_padded_answer_cannot_be_allocated(k):
    outcomes = run_limited(f"attempt('query', lambda: index.query([query, query], k={k}))\n"
                           f"    attempt('radius', lambda: len(index.query_radius([query], 5.0)[0][1]))")
    for kind in ("vector", "string", "object"):
        assert outcomes[f"{kind} query"] == f"ValueError: k={k} is too large: an answer of 2 × {k} neighbours cannot be allocated"
        assert outcomes[f"{kind} radius"] == "3"  # the index still works


@pytest.mark.parametrize("kind", ["euclidean", "levenshtein"])
def test_query_pads_to_k_after_every_point(kind):
    index = korel.Index(kind)
    points = [[0.0], [2.0]] if kind == "euclidean" else ["a", "abc"]
    index.add_many(points)
    distances, ids = index.query(points, k=5)
    assert distances.shape == ids.shape == (2, 5)
    assert ids.tolist() == [[0, 1, -1, -1, -1], [1, 0, -1, -1, -1]]
    assert np.isinf(distances[:, 2:]).all() and distances[0, 1] == 2.0
    assert [a.shape for a in index.query(points, k=1)] == [(2, 1), (2, 1)]
    empty = korel.Index(kind)
    assert [a.shape for a in empty.query(points, k=3)] == [(2, 3), (2, 3)]
    assert [a.shape for a in empty.nearest(points[0], k=3)] == [(0,), (0,)]


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_rows_of_the_stored_type_are_not_copied_on_the_way_in(dtype):
    import tracemalloc

    rows = np.random.default_rng(2).random((200_000, 8)).astype(dtype)
    index = korel.Index("euclidean", dtype=dtype)
    tracemalloc.start()
    try:
        index.add_many(rows)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # The ids returned take a quarter of the rows (float32) or an eighth: a
    # copy of the rows would take at least as much as the rows.
    assert peak < rows.nbytes / 2, f"{peak} bytes of NumPy arrays for {rows.nbytes} bytes of rows"
    assert np.array_equal(index[7], rows[7])
