"""korel against its peers, on the same data in one run.

Peers: brute force over the same Python callable, scikit-learn's BallTree
(with the same Python callable, and with its native Euclidean metric against
korel.metrics.euclidean), the `vptree` package, and `pybktree` for edit
distance. Cases: uniform random vectors in 2, 8 and 32 dimensions, the
handwritten digits bundled with scikit-learn (64 dimensions), and generated
words under edit distance.

Per case and library: build time, mean time of one query, and mean distance
evaluations per query, counted by a counting wrapper around the Python
metric that every library gets. For korel with a native metric the count
comes from the same metric behind the counting wrapper on the same data
(same distances, same tree). Every answer of a sample of queries is checked
against brute force; a library that answers wrongly is marked.

Writes bench/results/latest.md and bench/results/latest.png.
Run `python bench/peers.py --quick` for a small subset.
"""

import argparse
import heapq
import math
import pathlib
import random
import sys
import time
from dataclasses import dataclass, field
from typing import List, Optional

import numpy as np
import pybktree
import vptree
from sklearn.datasets import load_digits
from sklearn.neighbors import BallTree

import korel
from korel import metrics

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
SEED = 12345
K = 10
CHECKED_QUERIES = 10
PYTHON_QUERIES = 30
REPEATS = 3
KOREL_NATIVE_EUCLIDEAN = "korel, metrics.euclidean"
KOREL_NATIVE_LEVENSHTEIN = "korel, metrics.levenshtein"
KOREL_EUCLIDEAN_VIA_PYTHON = "korel, metrics.euclidean via Python"
KOREL_PURE_PYTHON = "korel, pure-Python euclidean"


# --- metrics -------------------------------------------------------------------------


class Counting:
    """The Python metric every library gets, counting its evaluations."""

    def __init__(self, function):
        self.function = function
        self.calls = 0

    def __call__(self, a, b):
        self.calls += 1
        return self.function(a, b)


class Wrapped:
    """A point as vptree gets it. vptree turns its points into one NumPy
    array (which fails for words of different lengths) and, on equal
    distances, compares the points themselves (which fails for arrays);
    wrapped points are all alike to it."""

    __slots__ = ("point",)

    def __init__(self, point):
        self.point = point

    def __lt__(self, other):
        return False


def on_wrapped(metric):
    return Counting(lambda a, b: metric(a.point, b.point))


def pure_python_euclidean(a, b):
    return math.sqrt(sum((x - y) * (x - y) for x, y in zip(a, b)))


# --- results -----------------------------------------------------------------------


@dataclass
class Row:
    case: str
    library: str
    native: bool  # the metric runs inside the library, not as a Python callable
    n: int
    build: float  # seconds
    query: float  # seconds per query
    evaluations: Optional[float]  # per query; None when it cannot be counted
    correct: bool = True


@dataclass
class Report:
    rows: List[Row] = field(default_factory=list)

    def add(self, row):
        self.rows.append(row)
        evaluations = "n/a" if row.evaluations is None else f"{row.evaluations:.0f}"
        mark = "" if row.correct else "  WRONG ANSWERS"
        print(f"  {row.library:<34} n={row.n:<7} build {row.build:8.3f} s  "
              f"query {row.query * 1e3:9.3f} ms  evals {evaluations:>7}{mark}", flush=True)

    def korel_row(self, row):
        """korel's row with the same kind of metric: the shared Python
        callable, or korel's native metric."""
        for other in self.rows:
            if (other.case == row.case and other.n == row.n and other.native == row.native
                    and other.library in ("korel", KOREL_NATIVE_EUCLIDEAN,
                                          KOREL_NATIVE_LEVENSHTEIN)):
                return other
        return None


# --- one library, one case ------------------------------------------------------------


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - start


def run_queries(search, queries, counter, to_distances=None):
    """Mean seconds and evaluations per query, and the answer distances of
    the first queries (worked out after the clock stops)."""
    answers = []
    if counter is not None:
        counter.calls = 0
    start = time.perf_counter()
    for query in queries:
        answers.append(search(query))
    elapsed = time.perf_counter() - start
    evaluations = counter.calls / len(queries) if counter is not None else None
    # The machine is shared: quick query sets run again, and the best pass counts.
    for _ in range(REPEATS - 1):
        if elapsed * REPEATS > 2.0:
            break
        start = time.perf_counter()
        for query in queries:
            search(query)
        elapsed = min(elapsed, time.perf_counter() - start)
    seconds = elapsed / len(queries)
    checked = list(zip(queries, answers))[:CHECKED_QUERIES]
    if to_distances is not None:
        answers = [to_distances(q, a) for q, a in checked]
    return seconds, evaluations, answers


def agrees(answers, expected):
    """Answer distances equal the brute-force ones, up to rounding."""
    for got, want in zip(answers, expected):
        if len(got) != len(want):
            return False
        if not np.allclose(sorted(got), want, rtol=1e-9, atol=1e-12):
            return False
    return True


@dataclass
class Search:
    """One kind of query: k nearest (k) or all within a radius (radius)."""

    name: str
    k: Optional[int] = None
    radius: Optional[float] = None

    def brute_force(self, distances):
        distances = sorted(distances)
        if self.k is not None:
            return distances[: self.k]
        return [d for d in distances if d <= self.radius]


def korel_search(index, search):
    if search.k == 1:
        return lambda q: [index.nearest(q)]
    if search.k is not None:
        return lambda q: index.nearest_k(q, search.k)
    return lambda q: index.nearest_r(q, search.radius)


def bench_korel(report, case, library, native, metric, points, queries, search,
                expected, exact_distance, counted_evaluations=None):
    index = korel.NearestNeighborsKorel()
    index.set_distance_function(metric)
    _, build = timed(index.add_list, points)
    counter = metric if isinstance(metric, Counting) else None
    seconds, evaluations, answers = run_queries(
        korel_search(index, search), queries, counter,
        lambda q, found: [exact_distance(q, p) for p in found])
    if counted_evaluations is not None:
        evaluations = counted_evaluations
    report.add(Row(case, library, native, len(points), build, seconds, evaluations,
                   agrees(answers[:CHECKED_QUERIES], expected)))
    return evaluations


def bench_brute_force(report, case, metric, points, queries, search, expected):
    def scan(q):
        distances = [metric(q, p) for p in points]
        if search.k is not None:
            return heapq.nsmallest(search.k, distances)
        return [d for d in distances if d <= search.radius]

    seconds, evaluations, answers = run_queries(scan, queries, metric)
    report.add(Row(case, "brute force", False, len(points), 0.0, seconds, evaluations,
                   agrees(answers[:CHECKED_QUERIES], expected)))


def bench_ball_tree(report, case, library, native, metric, data, query_array, search, expected):
    counter = metric if isinstance(metric, Counting) else None
    tree, build = timed(BallTree, data, 40, metric)
    if search.k is not None:
        def one(q):
            return tree.query(q.reshape(1, -1), k=search.k)[0][0].tolist()
    else:
        def one(q):
            return tree.query_radius(q.reshape(1, -1), search.radius, return_distance=True)[1][0].tolist()
    seconds, evaluations, answers = run_queries(one, list(query_array), counter)
    report.add(Row(case, library, native, len(data), build, seconds, evaluations,
                   agrees(answers[:CHECKED_QUERIES], expected)))


def bench_ball_tree_batched(report, case, data, query_array, search, expected):
    """The whole query set in one call: scikit-learn's intended use."""
    tree, build = timed(BallTree, data, 40, "euclidean")
    (distances, _), seconds = timed(tree.query, query_array, search.k)
    for _ in range(REPEATS - 1):
        seconds = min(seconds, timed(tree.query, query_array, search.k)[1])
    report.add(Row(case, "BallTree native, queries batched", True, len(data), build,
                   seconds / len(query_array), None,
                   agrees(distances[:CHECKED_QUERIES].tolist(), expected)))


def bench_vptree(report, case, metric, points, queries, search, expected):
    wrap = Wrapped
    tree, build = timed(vptree.VPTree, [wrap(p) for p in points], metric)
    if search.k == 1:
        def one(q):
            return [tree.get_nearest_neighbor(wrap(q))[0]]
    elif search.k is not None:
        def one(q):
            return [d for d, _ in tree.get_n_nearest_neighbors(wrap(q), search.k)]
    else:
        # vptree's range test is strict (distance < radius); the distances
        # here are whole numbers, so radius + 1/2 asks the same question.
        def one(q):
            return [d for d, _ in tree.get_all_in_range(wrap(q), search.radius + 0.5)]
    seconds, evaluations, answers = run_queries(one, queries, metric)
    report.add(Row(case, "vptree", False, len(points), build, seconds, evaluations,
                   agrees(answers[:CHECKED_QUERIES], expected)))


def bench_bktree(report, case, metric, points, queries, search, expected):
    tree, build = timed(pybktree.BKTree, metric, [tuple(p) for p in points])
    seconds, evaluations, answers = run_queries(
        lambda q: [d for d, _ in tree.find(tuple(q), int(search.radius))], queries, metric)
    report.add(Row(case, "pybktree", False, len(points), build, seconds, evaluations,
                   agrees(answers[:CHECKED_QUERIES], expected)))


# --- cases --------------------------------------------------------------------------


def numpy_expected(data, query_array, search):
    expected = []
    for q in query_array[:CHECKED_QUERIES]:
        expected.append(search.brute_force(np.sqrt(((data - q) ** 2).sum(axis=1)).tolist()))
    return expected


def vector_case(report, case, data, query_array, python_queries, native, run_python,
                pure_python=False):
    """k nearest under Euclidean distance, as a Python callable and natively."""
    search = Search(f"{K} nearest", k=K)
    points = data.tolist()
    queries = query_array.tolist()
    expected = numpy_expected(data, query_array, search)
    print(f"{case}, n = {len(points)}", flush=True)
    if run_python:
        python_metric = Counting(math.dist)
        q = queries[:python_queries]
        bench_korel(report, case, "korel", False, python_metric, points, q, search,
                    expected, math.dist)
        bench_brute_force(report, case, python_metric, points, q, search, expected)
        bench_ball_tree(report, case, "BallTree", False, python_metric, data,
                        query_array[:python_queries], search, expected)
        bench_vptree(report, case, on_wrapped(math.dist), points, q, search, expected)
    if native:
        # The native metric behind the counting wrapper: same distances, same
        # tree, so its count is the native searches' count. Its time is the
        # "same metric as a Python callable" figure.
        twin = Counting(metrics.euclidean)
        count = bench_korel(report, case, KOREL_EUCLIDEAN_VIA_PYTHON, False, twin, points,
                            queries[:python_queries], search, expected, metrics.euclidean)
        if pure_python:
            bench_korel(report, case, KOREL_PURE_PYTHON, False, Counting(pure_python_euclidean),
                        points, queries[:python_queries], search, expected, metrics.euclidean)
        bench_korel(report, case, KOREL_NATIVE_EUCLIDEAN, True, metrics.euclidean,
                    points, queries, search, expected, metrics.euclidean, count)
        bench_ball_tree(report, case, "BallTree native", True, "euclidean", data,
                        query_array, search, expected)
        bench_ball_tree_batched(report, case, data, query_array, search, expected)


def random_vectors(report, dimensions, python_sizes, native_sizes, native_queries):
    rng = np.random.default_rng(SEED)
    for dimension in dimensions:
        query_array = rng.random((native_queries, dimension))
        for n in sorted(set(python_sizes) | set(native_sizes)):
            data = rng.random((n, dimension))
            vector_case(report, f"uniform {dimension}-d", data, query_array, PYTHON_QUERIES,
                        native=n in native_sizes, run_python=n in python_sizes,
                        pure_python=dimension == 8)


def digits(report, native_queries):
    data = load_digits().data.astype(float)
    rng = np.random.default_rng(SEED)
    order = rng.permutation(len(data))
    queries, stored = data[order[:native_queries]], data[order[native_queries:]]
    vector_case(report, "digits 64-d", stored, queries, PYTHON_QUERIES, native=True,
                run_python=True)


def generate_words(rng, count):
    onsets = ["", "b", "bl", "br", "c", "ch", "d", "dr", "f", "g", "gr", "h", "k", "l",
              "m", "n", "p", "pr", "r", "s", "sh", "st", "t", "th", "tr", "v", "w", "z"]
    vowels = ["a", "e", "i", "o", "u", "ai", "ea", "ou", "y"]
    codas = ["", "", "n", "r", "s", "t", "l", "nd", "st"]
    words = set()
    while len(words) < count:
        words.add("".join(rng.choice(onsets) + rng.choice(vowels) + rng.choice(codas)
                          for _ in range(rng.choice((1, 2, 2, 3, 3, 4)))))
    return sorted(words)


def misspell(rng, word):
    letters = list(word)
    i = rng.randrange(len(letters))
    letters[i] = rng.choice("abcdefghijklmnopqrstuvwxyz")
    if len(letters) > 1 and rng.random() < 0.5:
        del letters[rng.randrange(len(letters))]
    return "".join(letters)


def words(report, sizes, query_count):
    rng = random.Random(SEED)
    searches = [Search("nearest", k=1), Search(f"{K} nearest", k=K),
                Search("within 1", radius=1.0), Search("within 2", radius=2.0)]
    for n in sizes:
        vocabulary = generate_words(rng, n)
        points = [korel.encode(w) for w in vocabulary]
        queries = [korel.encode(misspell(rng, rng.choice(vocabulary))) for _ in range(query_count)]
        for search in searches:
            case = f"words, {search.name}"
            print(f"{case}, n = {n}", flush=True)
            expected = [search.brute_force([metrics.levenshtein(q, p) for p in points])
                        for q in queries[:CHECKED_QUERIES]]
            python_metric = Counting(metrics.levenshtein)
            count = bench_korel(report, case, "korel", False, python_metric, points, queries,
                                search, expected, metrics.levenshtein)
            bench_korel(report, case, KOREL_NATIVE_LEVENSHTEIN, True,
                        metrics.levenshtein, points, queries, search, expected,
                        metrics.levenshtein, count)
            bench_brute_force(report, case, python_metric, points, queries, search, expected)
            bench_vptree(report, case, on_wrapped(metrics.levenshtein), points, queries,
                         search, expected)
            if search.radius is not None:
                bench_bktree(report, case, python_metric, points, queries, search, expected)


# --- output ---------------------------------------------------------------------------


def ratio(value, reference):
    if value is None or reference is None or reference == 0:
        return "n/a"
    return f"{value / reference:.2f}"


def markdown(report, seconds, arguments):
    lines = [
        "# korel against its peers",
        "",
        f"`python bench/peers.py {' '.join(arguments)}` on {sys.platform}, Python "
        f"{sys.version.split()[0]}, total {seconds / 60:.1f} min. Query time is the mean "
        "of single queries (one call per query) except where marked batched; a query set "
        "that runs in well under a second is run up to three times and the fastest pass "
        "counts, since the machine is shared. Evaluations "
        "are counted per query with a counting wrapper around the Python metric; for "
        "korel with a native metric, with the same metric behind that wrapper (same tree). "
        "The ratios are each figure over korel's with the same kind of metric (Python "
        "callable or native). The Python metric shared by all libraries is `math.dist` "
        "for vectors and `korel.metrics.levenshtein` called as a Python callable for words. "
        f"Rows \"{KOREL_EUCLIDEAN_VIA_PYTHON}\" and \"{KOREL_PURE_PYTHON}\" run korel with "
        "the native function as a plain Python callable and with a Euclidean distance "
        "written in Python.",
        "",
        "| case | library | metric | n | build s | query ms | evals/query "
        "| build / korel | query / korel | evals / korel |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for row in report.rows:
        reference = report.korel_row(row)
        evaluations = "n/a" if row.evaluations is None else f"{row.evaluations:.0f}"
        library = row.library + ("" if row.correct else " (WRONG ANSWERS)")
        lines.append(
            f"| {row.case} | {library} | {'native' if row.native else 'Python'} | {row.n} "
            f"| {row.build:.3f} | {row.query * 1e3:.3f} | {evaluations} "
            f"| {ratio(row.build, reference and reference.build)} "
            f"| {ratio(row.query, reference and reference.query)} "
            f"| {ratio(row.evaluations, reference and reference.evaluations)} |")
    lines += ["", "## Targets", ""] + [f"- {line}" for line in targets(report)]
    return "\n".join(lines) + "\n"


def find(report, case, library, n=None):
    rows = [r for r in report.rows if r.case == case and r.library == library
            and (n is None or r.n == n)]
    return rows[-1] if rows else None


def targets(report):
    lines = []
    native = find(report, "uniform 8-d", KOREL_NATIVE_EUCLIDEAN, 100_000)
    for library, what in ((KOREL_EUCLIDEAN_VIA_PYTHON, "the same C++ function called as a Python callable"),
                          (KOREL_PURE_PYTHON, "Euclidean distance written in Python")):
        python = find(report, "uniform 8-d", library, 100_000)
        if native and python:
            speedup = python.query / native.query
            lines.append(f"korel.metrics.euclidean vs {what}, 8-d, n = 10^5, k = {K}: "
                         f"{speedup:.1f}x faster per query "
                         f"(target 30x: {'met' if speedup >= 30 else 'missed'}).")
    for row in report.rows:
        if row.case == "uniform 8-d" and row.library == "korel" and not row.native:
            ball = find(report, row.case, "BallTree", row.n)
            if ball:
                speedup = ball.query / row.query
                lines.append(f"korel vs BallTree, same Python callable, 8-d, n = {row.n}: "
                             f"{speedup:.1f}x faster per query (target 3x: "
                             f"{'met' if speedup >= 3 else 'missed'}).")
    for case in ("uniform 8-d", "uniform 32-d"):
        for row in report.rows:
            if row.case == case and row.library == KOREL_NATIVE_EUCLIDEAN:
                ball = find(report, case, "BallTree native", row.n)
                batched = find(report, case, "BallTree native, queries batched", row.n)
                if ball:
                    lines.append(
                        f"korel native vs BallTree native, {case}, n = {row.n}: "
                        f"{ball.query / row.query:.2f}x BallTree's query time per single "
                        f"query (target >= 1: {'met' if row.query <= ball.query else 'missed'})"
                        + (f"; batched BallTree {batched.query * 1e3:.3f} ms per query"
                           if batched else "") + ".")
    return lines


def plot(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = [c for c in dict.fromkeys(r.case for r in report.rows) if c.startswith("uniform")]
    if not cases:
        return
    figure, axes = plt.subplots(2, len(cases), figsize=(5 * len(cases), 8), squeeze=False)
    for column, case in enumerate(cases):
        libraries = dict.fromkeys(r.library for r in report.rows if r.case == case)
        for library in libraries:
            rows = sorted((r for r in report.rows if r.case == case and r.library == library),
                          key=lambda r: r.n)
            if len(rows) < 2:
                continue
            style = "--" if rows[0].native else "-"
            sizes = [r.n for r in rows]
            axes[0][column].plot(sizes, [r.query * 1e3 for r in rows], style, marker="o",
                                 label=library)
            if all(r.evaluations is not None for r in rows) and not rows[0].native:
                axes[1][column].plot(sizes, [r.evaluations for r in rows], style, marker="o",
                                     label=library)
        axes[0][column].set_title(f"{case}, {K} nearest")
        axes[0][column].set_ylabel("mean query time (ms)")
        axes[1][column].set_ylabel("distance evaluations per query")
        for row_axes in (axes[0][column], axes[1][column]):
            row_axes.set_xscale("log")
            row_axes.set_yscale("log")
            row_axes.set_xlabel("n (stored points)")
            row_axes.grid(True, which="both", alpha=0.3)
            row_axes.legend(fontsize=7)
    figure.suptitle("korel and its peers (dashed: native metric)")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


# --- main ---------------------------------------------------------------------------


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes only: a run of well under a minute")
    parser.add_argument("--cases", default="vectors,digits,words",
                        help="comma-separated subset of: vectors, digits, words")
    parser.add_argument("--output", default=str(RESULTS),
                        help="folder for latest.md and latest.png")
    options = parser.parse_args(arguments)
    cases = set(options.cases.split(","))
    started = time.perf_counter()
    report = Report()
    if options.quick:
        python_sizes, native_sizes, word_sizes, native_queries = [1000, 3000], [1000, 3000], [2000], 50
    else:
        python_sizes = [1000, 3000, 10_000]
        native_sizes = [1000, 10_000, 100_000]
        word_sizes = [10_000]
        native_queries = 300
    if "vectors" in cases:
        random_vectors(report, [2, 8, 32], python_sizes, native_sizes, native_queries)
    if "digits" in cases:
        digits(report, native_queries)
    if "words" in cases:
        words(report, word_sizes, 50 if not options.quick else 20)
    output = pathlib.Path(options.output)
    output.mkdir(parents=True, exist_ok=True)
    text = markdown(report, time.perf_counter() - started, sys.argv[1:] if arguments is None else arguments)
    (output / "latest.md").write_text(text)
    plot(report, output / "latest.png")
    print("\n".join(["", "Targets:"] + targets(report)))
    print(f"Wrote {output / 'latest.md'} and {output / 'latest.png'}")


if __name__ == "__main__":
    main()
