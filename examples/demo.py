"""korel at work: fuzzy word lookup and batched vector search with korel.Index.

Everything runs on data made here: a generated word list searched under edit
distance, strings in and (distances, ids) out, and random vectors searched in
one batch on every core. A sample of answers is checked against brute force,
and a table reports build and query times beside the time the brute force
took on the same machine (plain Python for words, NumPy for vectors), with
the machine's cores and load, which every timing depends on.
"""

import os
import random
import time

import numpy as np

import korel

SEED = 20240607
WORD_COUNT = 50_000
VECTOR_COUNT = 200_000
DIMENSION = 8
K = 10
CHECKED = 20
CHECKED_WORDS = 5  # the oracle is edit distance in plain Python

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


def edit_distance(a, b):
    """Levenshtein distance in plain Python: the brute-force oracle."""
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        diagonal, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (x != y))
    return row[-1]


def timed(work):
    start = time.perf_counter()
    result = work()
    return result, time.perf_counter() - start


# --- the cases -------------------------------------------------------------------


def word_lookup(rng, rows):
    print(f"Fuzzy word lookup: {WORD_COUNT} generated words under edit distance")
    words = generate_words(rng, WORD_COUNT)
    index = korel.Index("levenshtein")
    ids, build_seconds = timed(lambda: index.add_many(words))
    typos = [misspell(rng, rng.choice(words)) for _ in range(2000)]

    nearest, single_seconds = timed(lambda: [index.nearest(t, 5) for t in typos[:200]])
    within, radius_seconds = timed(lambda: [index.within(t, 2) for t in typos[:200]])
    batch, batch_seconds = timed(lambda: index.query(typos, 5))
    rows.append(("words, 5 nearest, one by one", len(words), build_seconds, single_seconds / 200))
    rows.append(("words, within 2, one by one", len(words), build_seconds, radius_seconds / 200))
    rows.append((f"words, 5 nearest, batch on {os.cpu_count()} cores", len(words), build_seconds,
                 batch_seconds / len(typos)))

    scan_started = time.perf_counter()
    for typo, (distances, found) in zip(typos[:CHECKED_WORDS], nearest):
        scan = sorted((edit_distance(typo, w), i) for i, w in zip(ids.tolist(), words))[:5]
        if list(zip(distances.tolist(), found.tolist())) != scan:
            raise SystemExit(f"wrong answer for {typo!r}: {distances}, {found}; brute force {scan}")
    scan_seconds = (time.perf_counter() - scan_started) / CHECKED_WORDS
    for row in range(len(rows) - 3, len(rows)):
        rows[row] += (scan_seconds,)
    for row, (distances, found) in enumerate(nearest):
        if not (np.array_equal(batch[0][row], distances) and np.array_equal(batch[1][row], found)):
            raise SystemExit(f"the batch disagrees with the single query for {typos[row]!r}")

    print("  Examples (distance, word):")
    for typo, (distances, found), (close_distances, close) in list(zip(typos, nearest, within))[:4]:
        five = ", ".join(f"{d:.0f} {index[i]}" for d, i in zip(distances, found))
        print(f"    {typo!r}: {five}; {len(close)} words within 2")


def vector_search(rng, rows):
    print(f"\n{K}-nearest search: {VECTOR_COUNT} uniform random vectors in {DIMENSION} dimensions")
    generator = np.random.default_rng(SEED)
    points = generator.random((VECTOR_COUNT, DIMENSION))
    queries = generator.random((20_000, DIMENSION))
    index = korel.Index("euclidean")
    _, build_seconds = timed(lambda: index.add_many(points))

    (one_d, one_i), serial_seconds = timed(lambda: index.query(queries, K, workers=1))
    (all_d, all_i), batch_seconds = timed(lambda: index.query(queries, K))
    _, single_seconds = timed(lambda: [index.nearest(q, K) for q in queries[:2000]])
    rows.append((f"vectors, {K} nearest, one by one", VECTOR_COUNT, build_seconds, single_seconds / 2000))
    rows.append((f"vectors, {K} nearest, batch on 1 core", VECTOR_COUNT, build_seconds,
                 serial_seconds / len(queries)))
    rows.append((f"vectors, {K} nearest, batch on {os.cpu_count()} cores", VECTOR_COUNT, build_seconds,
                 batch_seconds / len(queries)))

    if not (np.array_equal(one_d, all_d) and np.array_equal(one_i, all_i)):
        raise SystemExit("the batch on every core disagrees with the one on one core")
    scan_started = time.perf_counter()
    for row in range(CHECKED):
        distances = np.sqrt(((points - queries[row]) ** 2).sum(axis=1))
        order = np.lexsort((np.arange(VECTOR_COUNT), distances))[:K]
        if not (np.array_equal(all_i[row], order) and np.allclose(all_d[row], distances[order])):
            raise SystemExit(f"wrong answer for query {row}")
    scan_seconds = (time.perf_counter() - scan_started) / CHECKED
    for row in range(len(rows) - 3, len(rows)):
        rows[row] += (scan_seconds,)
    print(f"  Query 0: ids {all_i[0][:5].tolist()}..., distances {np.round(all_d[0][:5], 4).tolist()}...")
    print(f"  Batch speed-up on {os.cpu_count()} cores: {serial_seconds / batch_seconds:.2f}x")


def print_table(rows):
    header = ("case", "points", "build s", "ms per query", "brute force ms")
    lines = [header] + [(case, str(n), f"{b:.2f}", f"{q * 1e3:.4f}", f"{scan * 1e3:.1f}")
                        for case, n, b, q, scan in rows]
    widths = [max(len(line[c]) for line in lines) for c in range(len(header))]
    print()
    for number, line in enumerate(lines):
        print("  ".join(cell.ljust(w) if c == 0 else cell.rjust(w)
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
    load = ", ".join(f"{value:.1f}" for value in os.getloadavg()) if hasattr(os, "getloadavg") else "unknown"
    print(f"\nOn {os.cpu_count()} cores, load average {load} (other work on the machine slows every "
          "figure). Brute force: one query scanning every point, in plain Python for words and in "
          "NumPy for vectors; the sampled queries above.")
    print(f"\nSampled answers ({CHECKED_WORDS} word queries, {CHECKED} vector queries) match brute "
          "force, ties by id.\n"
          f"Total {time.perf_counter() - started:.1f} s.")


if __name__ == "__main__":
    main()
