"""Index("bit_hamming") and korel.metrics.bit_hamming against a NumPy brute
force (unpackbits of the XOR), on codes full of ties and duplicates; every
accepted form of a code gives the same answers, and the refused ones say why."""

import array

import numpy as np
import pytest

import korel
from korel import metrics

def near_codes(count, length, seed, centers=10):
    """Codes near a few random centers (0 to 3 bits flipped): many ties and
    exact duplicates."""
    rng = np.random.default_rng(seed)
    middle = rng.integers(0, 256, size=(centers, length), dtype=np.uint8)
    codes = middle[rng.integers(0, centers, size=count)].copy()
    for row in range(count):
        for bit in rng.integers(0, 8 * length, size=rng.integers(0, 4)):
            codes[row, bit // 8] ^= np.uint8(1 << (bit % 8))
    return codes


def brute_distances(codes, query):
    return np.unpackbits(np.bitwise_xor(codes, query), axis=1).sum(axis=1).astype(np.float64)


def brute_ranked(codes, ids, query):
    """(distances, ids) of every code, nearest first, ties by ascending id."""
    distances = brute_distances(codes, query)
    order = np.lexsort((ids, distances))
    return distances[order], ids[order]


@pytest.mark.parametrize("length", [1, 8, 13, 64])
def test_answers_equal_brute_force_through_removals_and_copies(length):
    codes = near_codes(3000, length, seed=length)
    ids = np.random.default_rng(1).permutation(10 * len(codes))[: len(codes)].astype(np.int64)
    index = korel.Index("bit_hamming")
    index.add_many(codes[:2000], ids=ids[:2000])
    index.add_many(codes[2000:], ids=ids[2000:])  # smaller than the index: one by one
    assert index.remove_many(ids[::3]) == len(ids[::3])
    codes, ids = np.delete(codes, np.s_[::3], axis=0), np.delete(ids, np.s_[::3])
    queries = near_codes(20, length, seed=100 + length)
    # Copies from what the index stores, and from its state.
    rebuilt = korel.Index("bit_hamming")
    rebuilt.add_many(index.stored()[1], ids=index.stored()[0])
    from_state = korel.index.from_state(korel.index.state_of(index))
    assert korel.index.next_id(from_state) == korel.index.next_id(index)
    for copy in (rebuilt, from_state):
        for ours, theirs in zip(copy.query(queries, k=9), index.query(queries, k=9)):
            np.testing.assert_array_equal(ours, theirs)
        assert copy[ids[4]] == codes[4].tobytes()

    distances, found = index.query(queries, k=9)
    radius_answers = index.query_radius(queries, 3)
    for i, query in enumerate(queries):
        expected_d, expected_ids = brute_ranked(codes, ids, query)
        np.testing.assert_array_equal(distances[i], expected_d[:9])
        np.testing.assert_array_equal(found[i], expected_ids[:9])
        for k in (1, len(codes) + 5):
            d, found_ids = index.nearest(query.tobytes(), k=k)
            assert (d.tolist(), found_ids.tolist()) == (expected_d[:k].tolist(), expected_ids[:k].tolist())
        for radius in (0, 2.5, 8 * length):
            np.testing.assert_array_equal(index.within(query, radius)[1], expected_ids[expected_d <= radius])
        np.testing.assert_array_equal(radius_answers[i][1], expected_ids[expected_d <= 3])
        np.testing.assert_array_equal(radius_answers[i][0], expected_d[expected_d <= 3])
    padded_d, padded_ids = index.query(queries[-1:], k=len(codes) + 2)  # beyond the index: inf and -1
    np.testing.assert_array_equal(padded_d[0], np.append(expected_d, [np.inf, np.inf]))
    np.testing.assert_array_equal(padded_ids[0], np.append(expected_ids, [-1, -1]))


def little_endian(value):
    return value.to_bytes(8, "little")


# Every form one 64-bit code may take, given as an int.
ONE_CODE_FORMS = {
    "int": lambda v: v,
    "numpy int": np.uint64,
    "bytes": little_endian,
    "bytearray": lambda v: bytearray(little_endian(v)),
    "memoryview": lambda v: memoryview(little_endian(v)),
    "uint8 vector": lambda v: np.frombuffer(little_endian(v), dtype=np.uint8),
    "strided uint8 vector": lambda v: np.repeat(np.frombuffer(little_endian(v), dtype=np.uint8), 2)[::2],
    "array.array": lambda v: array.array("B", little_endian(v)),
}
VALUES = [0, 1, 2**63, 2**64 - 1, 2**64 - 1] + [
    int(v) for v in np.random.default_rng(3).integers(0, 2**64, size=195, dtype=np.uint64)
]


@pytest.mark.parametrize("form", ONE_CODE_FORMS.values(), ids=ONE_CODE_FORMS)
def test_every_form_of_a_code_stores_and_finds_the_same(form):
    index = korel.Index("bit_hamming")
    index.add_many([form(v) for v in VALUES])  # a batch of codes of this form
    ids, codes = index.stored()
    assert [bytes(code) for code in codes] == [little_endian(v) for v in VALUES]
    for value in VALUES[:10]:
        query = np.frombuffer(little_endian(value), dtype=np.uint8)
        expected_d, expected_ids = brute_ranked(codes, ids, query)
        d, found = index.nearest(form(value), k=5)
        np.testing.assert_array_equal(found, expected_ids[:5])
        np.testing.assert_array_equal(d, expected_d[:5])
        assert index.within(form(value), 20)[1].tolist() == expected_ids[expected_d <= 20].tolist()
        assert metrics.bit_hamming(form(value), VALUES[7]) == brute_distances(codes[7:8], query)[0]
    single = korel.Index("bit_hamming")
    assert single.add(form(VALUES[1])) == 0
    assert single[0] == little_endian(VALUES[1])


def test_arrays_of_codes_store_the_same_codes():
    values = np.array(VALUES, dtype=np.uint64)
    rows = values.astype("<u8").view(np.uint8).reshape(-1, 8)
    small = values < 2**63
    for batch, expected in [(rows, rows), (values, rows), (values[small].astype(np.int64), rows[small])]:
        index = korel.Index(metrics.bit_hamming)
        index.add_many(batch)
        np.testing.assert_array_equal(index.stored()[1], expected)


def test_the_metric_counts_differing_bits_at_every_simd_level():
    rng = np.random.default_rng(11)
    pairs = [rng.integers(0, 256, size=(2, length), dtype=np.uint8) for length in range(1, 70)]
    before = metrics.simd_level()
    try:
        for level in ("portable", before):
            metrics.set_simd_level(level)
            for a, b in pairs:
                expected = brute_distances(a[None, :], b)[0]
                assert metrics.bit_hamming(a.tobytes(), b) == expected
                assert metrics.bit_hamming(a, a.tobytes()) == 0.0
    finally:
        metrics.set_simd_level(before)


def test_pairs_and_graphs_find_the_near_duplicates():
    codes = near_codes(300, 8, seed=9)
    index = korel.Index("bit_hamming")
    index.add_many(codes)
    matrix = np.array([brute_distances(codes, code) for code in codes])
    first, second = np.nonzero(np.triu(matrix <= 2, k=1))
    found_first, found_second, distances = index.pairs(2)
    np.testing.assert_array_equal(found_first, first)
    np.testing.assert_array_equal(found_second, second)
    np.testing.assert_array_equal(distances, matrix[first, second])
    graph = index.neighbors_graph(radius=2).toarray()
    np.testing.assert_array_equal(graph > 0, (matrix <= 2) & (matrix > 0))


PACKBITS = "numpy.packbits"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda ix: ix.add_many(np.zeros((3, 8), dtype=bool)), TypeError, PACKBITS),
        (lambda ix: ix.add(np.zeros(8, dtype=bool)), TypeError, PACKBITS),
        (lambda ix: ix.add_many([True, False]), TypeError, PACKBITS),
        (lambda ix: ix.nearest(np.ones(16, dtype=bool)), TypeError, PACKBITS),
        (lambda ix: metrics.bit_hamming(np.zeros(8, dtype=bool), b"a"), TypeError, PACKBITS),
        (lambda ix: metrics.bit_hamming(np.bool_(True), 1), TypeError, PACKBITS),
        (lambda ix: ix.add_many([b"abcdefgh", b"abcd"]), ValueError, "got 8 and 4 bytes"),
        (lambda ix: ix.add_many([b"ab", 5]), ValueError, "got 2 and 8 bytes"),
        (lambda ix: ix.add(b"abc"), ValueError, "codes of 3 bytes for an index of codes of 8 bytes"),
        (lambda ix: ix.query([b"abc"], k=1), ValueError, "3 bytes"),
        (lambda ix: ix.add(-1), ValueError, "[0, 2**64)"),
        (lambda ix: ix.add_many([2**64]), ValueError, "[0, 2**64)"),
        (lambda ix: ix.add_many(np.array([-5, 3])), ValueError, "[0, 2**64)"),
        (lambda ix: metrics.bit_hamming(2**64, 0), ValueError, "[0, 2**64)"),
        (lambda ix: ix.add(b""), ValueError, "at least one byte"),
        (lambda ix: ix.add("abc"), TypeError, "Index('hamming') compares str"),
        (lambda ix: ix.add(1.5), TypeError, "not float"),
        (lambda ix: ix.add_many(np.zeros((2, 8), dtype=np.int64)), TypeError, "must be uint8"),
        (lambda ix: ix.add_many(np.zeros(8, dtype=np.uint8)), ValueError, "one bit code"),
        (lambda ix: ix.add_many(b"abcdefgh"), TypeError, "not a single bytes"),
        (lambda ix: metrics.bit_hamming(b"ab", b"abc"), ValueError, "2 and 3 bytes"),
        (lambda ix: metrics.bit_hamming(np.zeros(2, dtype=np.uint16), b"ab"), TypeError, "format"),
        (lambda ix: korel.Index("hamming").add(b"abc"), TypeError, "'bit_hamming'"),
        (lambda ix: korel.Index("hamming").nearest(7), TypeError, "'bit_hamming'"),
    ],
)
def test_refusals_name_the_problem_and_change_nothing(call, error, message):
    index = korel.Index("bit_hamming")
    index.add_many([b"\x00" * 8, b"\xff" * 8])
    with pytest.raises(error) as raised:
        call(index)
    assert message in str(raised.value)
    assert len(index) == 2 and index.ids().tolist() == [0, 1]
    assert index.nearest(b"\x01" + b"\x00" * 7)[1].tolist() == [0]
