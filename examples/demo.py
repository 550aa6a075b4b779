"""korel at work: fuzzy word lookup and k-nearest vector search.

Everything runs on data made here: a generated word list searched under edit
distance (korel.metrics.levenshtein), and random vectors searched with a
Euclidean distance written in Python and with korel.metrics.euclidean.
A sample of answers is checked against brute force, and a table reports,
per case, the build time, the mean query time and the mean number of
distance evaluations per query with its share of a brute-force scan.
"""

import math
import random
import sys
import time

import korel
from korel import metrics

SEED = 20240607
WORD_COUNT = 30_000
VECTOR_COUNT = 20_000
DIMENSION = 8
K = 10
CHECKED_QUERIES = 20


# --- data ----------------------------------------------------------------------

ONSETS = ["", "b", "br", "c", "ch", "cl", "d", "dr", "f", "fl", "g", "gr", "h", "j",
          "k", "l", "m", "n", "p", "pl", "qu", "r", "s", "sh", "sl", "st", "t", "th",
          "tr", "v", "w", "z"]
VOWELS = ["a", "e", "i", "o", "u", "ai", "ea", "ee", "io", "ou", "y"]
CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "ng", "ck", "st", "nd"]


def generate_words(rng, count):
    """Pronounceable made-up words of one to four syllables, all distinct."""
    words = set()
    while len(words) < count:
        syllables = rng.choice((1, 2, 2, 3, 3, 4))
        words.add("".join(rng.choice(ONSETS) + rng.choice(VOWELS) + rng.choice(CODAS)
                          for _ in range(syllables)))
    return sorted(words)


def misspell(rng, word):
    """One or two random typos: a dropped, doubled, swapped or replaced letter."""
    letters = list(word)
    for _ in range(rng.choice((1, 2))):
        i = rng.randrange(len(letters))
        typo = rng.choice(("drop", "double", "swap", "replace"))
        if typo == "drop" and len(letters) > 1:
            del letters[i]
        elif typo == "double":
            letters.insert(i, letters[i])
        elif typo == "swap" and i + 1 < len(letters):
            letters[i], letters[i + 1] = letters[i + 1], letters[i]
        else:
            letters[i] = rng.choice("abcdefghijklmnopqrstuvwxyz")
    return "".join(letters)


# --- distance callables ----------------------------------------------------------


class Counting:
    """Wraps a distance function and counts its evaluations."""

    def __init__(self, distance):
        self.distance = distance
        self.calls = 0

    def __call__(self, a, b):
        self.calls += 1
        return self.distance(a, b)


def python_euclidean(a, b):
    """Euclidean distance in plain Python."""
    return math.sqrt(sum((x - y) * (x - y) for x, y in zip(a, b)))


# --- measuring -------------------------------------------------------------------


def progress(label, done, total):
    """A progress line on a terminal, rewritten in place and wiped when done."""
    if not sys.stderr.isatty():
        return
    sys.stdout.flush()
    line = f"  {label}: {done}/{total}"
    sys.stderr.write("\r" + (line if done < total else " " * len(line) + "\r"))
    sys.stderr.flush()


def build(distance, points, label):
    """An index over ``points``, filled in tenths so progress shows."""
    index = korel.NearestNeighborsKorel()
    index.set_distance_function(distance)
    chunk = max(1, len(points) // 10)
    start = time.perf_counter()
    for begin in range(0, len(points), chunk):
        index.add_list(points[begin:begin + chunk])
        progress(f"building {label}", min(begin + chunk, len(points)), len(points))
    return index, time.perf_counter() - start


def run_queries(search, queries, label, counter=None):
    """Answers, mean seconds per query and mean evaluations per query (or None)."""
    answers = []
    evaluations = 0
    elapsed = 0.0
    step = max(1, len(queries) // 10)
    for i, query in enumerate(queries, 1):
        if counter is not None:
            counter.calls = 0
        start = time.perf_counter()
        answers.append(search(query))
        elapsed += time.perf_counter() - start
        if counter is not None:
            evaluations += counter.calls
        if i % step == 0 or i == len(queries):
            progress(f"querying {label}", i, len(queries))
    mean_evaluations = evaluations / len(queries) if counter is not None else None
    return answers, elapsed / len(queries), mean_evaluations


def check_against_brute_force(distance, points, queries, answers, expected_distances):
    """Each answer must hold exactly the distances a full scan finds."""
    for query, answer in zip(queries, answers):
        scan = sorted(distance(query, p) for p in points)
        got = [distance(query, p) for p in answer]
        want = expected_distances(scan)
        if got != want:
            raise SystemExit(f"wrong answer for {query!r}: distances {got}, brute force {want}")


# --- the cases ---------------------------------------------------------------------


def word_lookup(rng, rows):
    print(f"Fuzzy word lookup: {WORD_COUNT} generated words, korel.metrics.levenshtein")
    words = generate_words(rng, WORD_COUNT)
    points = [korel.encode(w) for w in words]
    index, build_seconds = build(metrics.levenshtein, points, "word index")
    # The same metric behind a counting Python callable builds the same tree,
    # so it tells how many distances the native searches evaluate.
    counter = Counting(metrics.levenshtein)
    counting_index, _ = build(counter, points, "counting twin")

    typos = [misspell(rng, rng.choice(words)) for _ in range(100)]
    queries = [korel.encode(t) for t in typos]
    searches = [
        ("nearest", lambda i, q: [i.nearest(q)], lambda scan: scan[:1]),
        ("5 nearest", lambda i, q: i.nearest_k(q, 5), lambda scan: scan[:5]),
        ("within 2", lambda i, q: i.nearest_r(q, 2.0), lambda scan: [d for d in scan if d <= 2]),
    ]
    for name, search, expected in searches:
        answers, seconds, _ = run_queries(lambda q: search(index, q), queries, name)
        _, _, evaluations = run_queries(
            lambda q: search(counting_index, q), queries, f"{name}, counting", counter)
        check_against_brute_force(metrics.levenshtein, points, queries[:CHECKED_QUERIES],
                                  answers, expected)
        rows.append((f"words, {name}", "levenshtein (native)", len(points), build_seconds,
                     seconds, evaluations))
    print("  Examples:")
    for typo in typos[:4]:
        query = korel.encode(typo)
        five = ", ".join(korel.decode(p) for p in index.nearest_k(query, 5))
        within = [korel.decode(p) for p in index.nearest_r(query, 2.0)]
        shown = ", ".join(within[:8]) + (f", ... ({len(within)} in all)" if len(within) > 8 else "")
        print(f"    {typo!r}: nearest {korel.decode(index.nearest(query))!r}; 5 nearest: {five}; "
              f"within 2: {shown or 'none'}")


def vector_search(rng, rows):
    print(f"\n{K}-nearest search: {VECTOR_COUNT} uniform random vectors in {DIMENSION} dimensions")
    points = [[rng.random() for _ in range(DIMENSION)] for _ in range(VECTOR_COUNT)]
    queries = [[rng.random() for _ in range(DIMENSION)] for _ in range(300)]

    counter = Counting(python_euclidean)
    python_index, python_build = build(counter, points, "index, Python callable")
    python_answers, python_seconds, evaluations = run_queries(
        lambda q: python_index.nearest_k(q, K), queries[:50], "Python callable", counter)
    rows.append((f"vectors {DIMENSION}-d, {K} nearest", "Python callable", len(points),
                 python_build, python_seconds, evaluations))

    check_against_brute_force(python_euclidean, points, queries[:CHECKED_QUERIES],
                              python_answers, lambda scan: scan[:K])

    native_index, native_build = build(metrics.euclidean, points, "index, native")
    native_answers, native_seconds, _ = run_queries(
        lambda q: native_index.nearest_k(q, K), queries, "native")
    # The native metric behind a counting callable builds the same tree and
    # evaluates as many distances as the native searches.
    twin = Counting(metrics.euclidean)
    twin_index, _ = build(twin, points, "counting twin")
    _, _, native_evaluations = run_queries(
        lambda q: twin_index.nearest_k(q, K), queries[:50], "native, counting", twin)
    rows.append((f"vectors {DIMENSION}-d, {K} nearest", "korel.metrics.euclidean", len(points),
                 native_build, native_seconds, native_evaluations))
    check_against_brute_force(metrics.euclidean, points, queries[:CHECKED_QUERIES],
                              native_answers, lambda scan: scan[:K])


def print_table(rows):
    header = ("case", "metric", "points", "build s", "query ms", "evals/query", "of brute force")
    lines = [header]
    for case, metric, n, build_seconds, query_seconds, evaluations in rows:
        lines.append((
            case, metric, str(n), f"{build_seconds:.2f}", f"{query_seconds * 1e3:.3f}",
            "n/a" if evaluations is None else f"{evaluations:.0f}",
            "n/a" if evaluations is None else f"{evaluations / n:.1%}",
        ))
    widths = [max(len(line[c]) for line in lines) for c in range(len(header))]
    print()
    for number, line in enumerate(lines):
        print("  ".join(cell.ljust(w) if c < 2 else cell.rjust(w)
                        for c, (cell, w) in enumerate(zip(line, widths))))
        if number == 0:
            print("  ".join("-" * w for w in widths))


def main():
    started = time.perf_counter()
    rng = random.Random(SEED)
    rows = []
    word_lookup(rng, rows)
    vector_search(rng, rows)
    print_table(rows)
    print(f"\nSampled answers ({CHECKED_QUERIES} queries per search) match brute force.\n"
          "Evaluations for native metrics: counted on the same data and queries (the first\n"
          "50 for vectors) with the same metric behind a counting Python callable, which\n"
          "builds the same tree.\n"
          f"Total {time.perf_counter() - started:.1f} s.")


if __name__ == "__main__":
    main()
