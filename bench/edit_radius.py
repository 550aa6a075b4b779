"""Small edit radii over real words, outside `make bench`: wordfreq's
100,000 most frequent English words in `Index("levenshtein")`.

- `within(q, 1)` one query at a time, for 500 stored words and the same
  words with one random edit, against symspellpy's
  `lookup(q, Verbosity.ALL, max_edit_distance=1)` when it is installed;
- `query_radius(queries, 1)` as one batch on every core;
- `pairs(1)`, against `rapidfuzz.process.cdist(score_cutoff=1)` over the
  upper triangle, timed on evenly spread blocks of rows and scaled to the
  whole triangle.

Run: .venv/bin/python bench/edit_radius.py
"""

import random
import time

import numpy as np

import korel


def one_edit(rng, word, letters="abcdefghijklmnopqrstuvwxyz"):
    i = rng.randrange(len(word) + 1)
    kind = rng.choice("sid") if word else "i"
    if kind == "i":
        return word[:i] + rng.choice(letters) + word[i:]
    i = min(i, len(word) - 1)
    if kind == "d":
        return word[:i] + word[i + 1:]
    return word[:i] + rng.choice(letters) + word[i + 1:]


def per_query_us(action, queries, runs=3):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        for q in queries:
            action(q)
        best = min(best, time.perf_counter() - start)
    return best / len(queries) * 1e6


def main():
    from wordfreq import top_n_list

    words = top_n_list("en", 100_000)
    rng = random.Random(5)
    stored = rng.sample(words, 500)
    typos = [one_edit(rng, w) for w in stored]

    index = korel.Index("levenshtein")
    index.add_many(words)
    start = time.perf_counter()
    index.within(stored[0], 1)
    print(f"first within(q, 1) (builds what it needs): {(time.perf_counter() - start) * 1e3:.1f} ms")
    for name, queries in (("stored words", stored), ("one typo", typos)):
        us = per_query_us(lambda q: index.within(q, 1), queries)
        print(f"korel within(q, 1), {name}: {us:.1f} us/query")

    try:
        from symspellpy import SymSpell, Verbosity
    except ImportError:
        print("symspellpy is not installed: no comparison")
    else:
        sym = SymSpell(max_dictionary_edit_distance=1, prefix_length=64)
        start = time.perf_counter()
        for w in words:
            sym.create_dictionary_entry(w, 1)
        print(f"symspellpy dictionary: {time.perf_counter() - start:.2f} s")
        for name, queries in (("stored words", stored), ("one typo", typos)):
            us = per_query_us(lambda q: sym.lookup(q, Verbosity.ALL, max_edit_distance=1), queries)
            print(f"symspellpy lookup(ALL, 1), {name}: {us:.1f} us/query")

    batch = stored + typos
    start = time.perf_counter()
    index.query_radius(batch, 1)
    print(f"korel query_radius(1), batch of {len(batch)}: "
          f"{(time.perf_counter() - start) / len(batch) * 1e6:.1f} us/query")

    start = time.perf_counter()
    first, _, _ = index.pairs(1)
    pairs_seconds = time.perf_counter() - start
    print(f"korel pairs(1): {pairs_seconds:.2f} s, {len(first):,} pairs")

    try:
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein
    except ImportError:
        print("rapidfuzz is not installed: no comparison")
        return
    n, block, samples = len(words), 200, 10
    compared, seconds = 0, 0.0
    for start_row in np.linspace(0, n - block, samples).astype(int):
        begin = time.perf_counter()
        process.cdist(words[start_row:start_row + block], words[start_row:], scorer=Levenshtein.distance,
                      score_cutoff=1, workers=-1, dtype=np.int32)
        seconds += time.perf_counter() - begin
        compared += block * (n - start_row)
    brute = seconds / compared * n * (n - 1) / 2
    print(f"rapidfuzz cdist over the upper triangle (sampled): {brute:.1f} s; "
          f"korel pairs(1) is {brute / pairs_seconds:.1f}x faster")


if __name__ == "__main__":
    main()
