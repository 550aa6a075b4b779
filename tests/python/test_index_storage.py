"""Saving, loading and pickling korel.Index: the same answers afterwards,
and a clear ValueError for every damaged or foreign file."""

import json
import math
import multiprocessing
import os
import pickle
import struct
import zlib

import numpy as np
import pytest
from rapidfuzz.distance import Levenshtein

import korel
from korel import storage
import korel.index


def module_level_metric(a, b):
    return abs(a - b)


def filled(kind):
    rng = np.random.default_rng(5)
    if kind == "vector":
        index = korel.Index("manhattan", dtype="float32")
        index.add_many(rng.integers(-5, 5, size=(300, 4)), ids=rng.permutation(1000)[:300])
        queries = rng.integers(-5, 5, size=(8, 4)).astype(float)
    elif kind == "string":
        index = korel.Index("levenshtein")
        index.add_many(["".join(rng.choice(list("abcé😀"), size=rng.integers(0, 7))) for _ in range(300)])
        queries = ["abc", "", "é😀a"]
    else:
        index = korel.Index(module_level_metric)
        index.add_many([int(x) for x in rng.integers(0, 50, size=300)])
        queries = [3, 25, 49]
    for id in index.ids()[::4]:
        index.remove(int(id))
    return index, queries


def same_answers(a, b, queries):
    assert len(a) == len(b) and np.array_equal(a.ids(), b.ids())
    for k in (1, 10):
        x, y = a.query(queries, k), b.query(queries, k)
        assert np.array_equal(x[0], y[0]) and np.array_equal(x[1], y[1])
    for x, y in zip(a.query_radius(queries, 2), b.query_radius(queries, 2)):
        assert np.array_equal(x[0], y[0]) and np.array_equal(x[1], y[1])


@pytest.mark.parametrize("kind", ["vector", "string", "object"])
def test_save_load_and_pickle_give_the_same_index(kind, tmp_path):
    index, queries = filled(kind)
    path = tmp_path / "index.korel"
    index.save(path)
    for make in (lambda: korel.Index.load(path, allow_pickle=True), lambda: pickle.loads(pickle.dumps(index))):
        copy = make()
        same_answers(index, copy, queries)
        assert copy.metric == index.metric and copy.dtype == index.dtype and copy.dim == index.dim
        assert copy.add(queries[0]) == index.add(queries[0]), "ids continue where they did"
        index.remove(int(index.ids()[-1]))
    assert not [name for name in os.listdir(tmp_path) if name != "index.korel"], "no temporary left"


def square(x):
    return x * x


def test_an_index_travels_to_another_process():
    index, queries = filled("vector")
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        copy = pool.apply(pickle.loads, (pickle.dumps(index),))
    same_answers(index, copy, queries)


def test_a_callable_that_cannot_be_pickled_must_be_given_again(tmp_path):
    index = korel.Index(lambda a, b: abs(a - b))
    index.add_many([1, 5, 9])
    path = tmp_path / "objects.korel"
    index.save(path)
    with pytest.raises(ValueError, match="metric="):
        korel.Index.load(path, allow_pickle=True)
    loaded = korel.Index.load(path, metric=module_level_metric, allow_pickle=True)
    assert loaded.nearest(6, 2)[1].tolist() == [1, 2]


def test_native_files_never_unpickle(tmp_path, monkeypatch):
    index, _ = filled("string")
    path = tmp_path / "words.korel"
    index.save(path)
    monkeypatch.setattr(pickle, "loads", lambda *a, **k: pytest.fail("unpickled"))
    korel.Index.load(path)
    with pytest.raises(ValueError, match="saved under 'levenshtein'"):
        korel.Index.load(path, metric="hamming")


def damaged(content):
    """(description, bytes, message) for files that must be refused."""
    magic, version, header_length = struct.unpack_from("<8sII", content)
    header = content[16 : 16 + header_length]
    first_section = json.loads(header)["sections"][0]["offset"]
    yield "empty", b"", "empty"
    yield "foreign", b"PK\x03\x04" + content[4:], "magic"
    yield "future", content[:8] + struct.pack("<I", 99) + content[12:], "format 99"
    for cut in (10, 16 + header_length // 2, 16 + header_length + 2, first_section + 3, len(content) - 1):
        yield f"truncated at {cut}", content[:cut], "truncated"
    yield "trailing bytes", content + b"\0" * 8, "follow"
    for at in (16 + header_length // 2, 16 + header_length + 1, first_section, len(content) - 1):
        flipped = bytearray(content)
        flipped[at] ^= 0x40
        yield f"flipped byte {at}", bytes(flipped), "checksum"
    forged = header.replace(b'"count": ', b'"count": 1').replace(b'"next_id": ', b'"next_id": 0')
    prefix = content[:8] + struct.pack("<II", version, len(forged))
    crc = struct.pack("<I", zlib.crc32(forged, zlib.crc32(prefix)))
    yield "inconsistent header", prefix + forged + crc + content[16 + header_length + 4 :], "not a valid korel"


@pytest.mark.parametrize("kind", ["vector", "string", "object"])
def test_damaged_files_raise_value_error(kind, tmp_path):
    index, _ = filled(kind)
    content = storage.to_bytes(korel.index.state_of(index))
    for description, data, message in damaged(content):
        path = tmp_path / "bad.korel"
        path.write_bytes(data)
        with pytest.raises(ValueError, match=message):
            korel.Index.load(path, allow_pickle=True)
            pytest.fail(description)


def test_a_failed_save_keeps_the_previous_file(tmp_path, monkeypatch):
    index, _ = filled("vector")
    path = tmp_path / "index.korel"
    index.save(path)
    before = path.read_bytes()
    index.add_many(np.zeros((3, 4)))

    def crash(*arguments):
        raise OSError("disk full")

    monkeypatch.setattr(os, "fsync", crash)
    with pytest.raises(OSError, match="disk full"):
        index.save(path)
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["index.korel"]


def test_nan_and_infinite_distances_survive_a_round_trip(tmp_path):
    index = korel.Index("euclidean")
    index.add_many([[math.inf, 0.0], [0.0, 0.0], [-math.inf, 1.0]])
    copy = pickle.loads(pickle.dumps(index))
    same_answers(index, copy, np.array([[0.0, 0.0], [1e308, 0.0]]))


def format_1(index):
    """The file of ``index`` as korel wrote it before the tree was stored:
    the sections one after the other, one CRC-32 of everything at the end."""
    state = korel.index.state_of(index)
    arrays = {"ids": state.arrays["ids"], "points": state.arrays["points"]}
    header = {
        "kind": state.kind, "metric": state.metric, "dtype": state.dtype, "count": state.count,
        "next_id": state.next_id,
        "sections": [{"name": n, "dtype": a.dtype.str, "shape": list(a.shape)} for n, a in arrays.items()],
    }
    encoded = json.dumps(header).encode()
    body = b"KORELIDX" + struct.pack("<II", 1, len(encoded)) + encoded + b"".join(a.tobytes() for a in arrays.values())
    return body + struct.pack("<I", zlib.crc32(body))


def test_files_of_the_first_format_still_load(tmp_path):
    index, queries = filled("vector")
    path = tmp_path / "old.korel"
    path.write_bytes(format_1(index))
    same_answers(index, korel.Index.load(path), queries)
    damaged_file = bytearray(format_1(index))
    damaged_file[-10] ^= 1
    path.write_bytes(bytes(damaged_file))
    with pytest.raises(ValueError, match="checksum"):
        korel.Index.load(path)


class CountingMetric:
    """|a - b|, counting its calls (picklable: defined at module level)."""

    calls = 0

    def __call__(self, a, b):
        CountingMetric.calls += 1
        return abs(a - b)


def grown(make, points):
    """An index built in bulk, then grown point by point."""
    index = make()
    index.add_many(points[: len(points) // 2])
    for point in points[len(points) // 2 :]:
        index.add(point)
    return index


TREE_CASES = {
    "float64": (lambda: korel.Index("euclidean"), np.random.default_rng(1).integers(0, 6, (700, 3)).astype(float)),
    "float32": (lambda: korel.Index("chebyshev", dtype="float32"), np.random.default_rng(2).random((700, 9))),
    "levenshtein": (lambda: korel.Index("levenshtein"), ["".join(w) for w in np.random.default_rng(3).choice(list("ab"), (700, 5))]),
    "hamming": (lambda: korel.Index("hamming"), ["".join(w) for w in np.random.default_rng(4).choice(list("xyz"), (700, 4))]),
    "bits": (lambda: korel.Index("bit_hamming"), [int(x) for x in np.random.default_rng(6).integers(0, 2**12, 700)]),
    "objects": (lambda: korel.Index(CountingMetric()), [float(x) for x in np.random.default_rng(5).integers(0, 40, 700)]),
}


@pytest.mark.parametrize("case", TREE_CASES)
def test_a_loaded_tree_answers_and_grows_as_the_saved_one(case, tmp_path):
    make, points = TREE_CASES[case]
    index = grown(make, points)
    path = tmp_path / "index.korel"
    index.save(path)
    CountingMetric.calls = 0
    loaded = korel.Index.load(path, allow_pickle=True)
    assert CountingMetric.calls == 0, "loading measures nothing"
    queries = points[::37]
    for step in range(3):
        answers = []
        for copy in (index, loaded):
            CountingMetric.calls = 0
            answers.append((copy.query(queries, 6), copy.query_radius(queries, 1.0), CountingMetric.calls))
        ((d, ids), within, calls), ((loaded_d, loaded_ids), loaded_within, loaded_calls) = answers
        assert calls == loaded_calls, f"the same evaluations after step {step}"
        assert np.array_equal(ids, loaded_ids) and np.array_equal(d, loaded_d)
        assert all(np.array_equal(x[1], y[1]) for x, y in zip(within, loaded_within))
        for copy in (index, loaded):  # later adds and removals split as they would have
            copy.add_many(points[step * 60 : step * 60 + 60])
            copy.remove_many(copy.ids()[step::7][:40])


def tree_file_with(content, name, edit):
    """``content`` with the section ``name`` changed by ``edit(array)`` and
    every checksum redone, as a careful forger would."""
    _, version, length = struct.unpack_from("<8sII", content)
    header = json.loads(content[16 : 16 + length])
    section = next(s for s in header["sections"] if s["name"] == name)
    start = section["offset"]
    array = np.frombuffer(content, dtype=section["dtype"], count=int(np.prod(section["shape"])), offset=start).copy()
    edit(array)
    body = bytearray(content)
    body[start : start + array.nbytes] = array.tobytes()
    section["checksum"] = zlib.crc32(array.tobytes())
    return with_header(content, header, bytes(body[16 + length + 4 :]))


def with_header(content, header, body):
    """``content``'s prefix, then ``header`` in the room of its header,
    with its checksum redone, then ``body``."""
    _, _, length = struct.unpack_from("<8sII", content)
    encoded = json.dumps(header, separators=(",", ":")).encode().ljust(length)  # compact: it always fits
    prefix = content[:16]
    return prefix + encoded + struct.pack("<I", zlib.crc32(encoded, zlib.crc32(prefix))) + body


@pytest.mark.parametrize(
    "name, edit",
    [
        ("tree_node_pivot", lambda a: a.__setitem__(0, 10**6)),  # a row out of range
        ("tree_bucket_rows", lambda a: a.__setitem__(slice(None), a[0])),  # rows twice, others never
        ("tree_node_children", lambda a: a.__setitem__(0, 3000)),  # children beyond the node count
        ("tree_node_bucket", lambda a: a.__setitem__(0, 2**32 - 1)),  # a bucket longer than the rows
        ("tree_node_min_radius", lambda a: a.__setitem__(0, np.nan)),
        ("tree_shape", lambda a: a.__setitem__(2, 2**31)),  # a degree out of range
        ("tree_node_degree", lambda a: a.__setitem__(0, 0)),
        ("tree_id_rows", lambda a: a.__setitem__(slice(None), 0)),  # one row everywhere
        ("ids", lambda a: a.__setitem__(5, -1)),
    ],
)
def test_a_damaged_tree_raises_value_error(tmp_path, name, edit):
    content = storage.to_bytes(korel.index.state_of(grown(*TREE_CASES["float64"])))
    path = tmp_path / "bad.korel"
    path.write_bytes(tree_file_with(content, name, edit))
    with pytest.raises(ValueError, match="not a valid korel index file"):
        korel.Index.load(path)


def test_a_tree_file_whose_next_id_lags_its_ids_gives_new_ids_above_them(tmp_path):
    index = grown(*TREE_CASES["float64"])
    content = storage.to_bytes(korel.index.state_of(index))
    _, _, length = struct.unpack_from("<8sII", content)
    header = json.loads(content[16 : 16 + length])
    header["next_id"] = 3
    path = tmp_path / "lagging.korel"
    path.write_bytes(with_header(content, header, content[16 + length + 4 :]))
    loaded = korel.Index.load(path)
    assert loaded.add([0.5, 0.5, 0.5]) == int(index.ids().max()) + 1


def test_a_file_without_the_dense_id_table_loads_and_grows_alike(tmp_path):
    # As files written before ids travelled in a dense table: the id map is
    # then made from the ids.
    make, points = TREE_CASES["float64"]
    index = grown(make, points)
    content = storage.to_bytes(korel.index.state_of(index))
    _, _, length = struct.unpack_from("<8sII", content)
    header = json.loads(content[16 : 16 + length])
    table = header["sections"].pop()  # the last section: the file then ends before it
    assert table["name"] == "tree_id_rows" and table["shape"] == [len(points)]
    path = tmp_path / "older.korel"
    path.write_bytes(with_header(content, header, content[16 + length + 4 : table["offset"]]))
    loaded = korel.Index.load(path)
    same_answers(index, loaded, points[::40])
    for each in (index, loaded):
        each.add_many(points[:30] + 0.5)
        each.remove_many(np.arange(0, 600, 7))
    same_answers(index, loaded, points[::40])


@pytest.mark.parametrize("kind", ["vector", "string"])
def test_ids_past_32_bits_keep_their_points_through_builds_and_files(kind, tmp_path):
    # Ids are held in 4 bytes until one needs 8: a batch beyond 2**32 into
    # an index of small ids (some removed) rebuilds it with every id
    # widened, and the file then carries the tree.
    rng = np.random.default_rng(9)
    if kind == "vector":
        make, points = (lambda: korel.Index("euclidean")), rng.integers(0, 5, (600, 2)).astype(float)
        queries = points[::50] + 0.5
    else:
        make, points = (lambda: korel.Index("levenshtein")), ["".join(w) for w in rng.choice(list("ab"), (600, 4))]
        queries = points[::50]
    ids = np.concatenate([np.arange(300) * 3, 2**32 - 150 + np.arange(300)])
    index = make()
    index.add_many(points[:300], ids=ids[:300])
    index.remove_many(ids[:300:7])
    index.add_many(points[300:], ids=ids[300:])
    index.add(points[0], id=2**40)
    kept = np.setdiff1d(np.append(ids, 2**40), ids[:300:7])
    point_of = dict(zip(ids.tolist(), points))
    point_of[2**40] = points[0]
    metric = math.dist if kind == "vector" else Levenshtein.distance
    distances, found = index.query(queries, 8)
    for query, row_d, row_ids in zip(queries, distances, found):
        expected = sorted((float(metric(query, point_of[i])), i) for i in kept.tolist())[:8]
        assert [(float(d), int(i)) for d, i in zip(row_d, row_ids)] == expected
    path = tmp_path / "index.korel"
    index.save(path)
    for loaded in (korel.Index.load(path), korel.Index.load(path, mmap=kind == "vector")):
        same_answers(index, loaded, queries)


@pytest.mark.parametrize("by_position", [True, False])
def test_every_section_is_checked_however_the_file_is_read(tmp_path, monkeypatch, by_position):
    if not by_position:  # as where the system cannot read a file by position
        monkeypatch.setattr(storage, "_descriptor", lambda file: None)
    make, points = TREE_CASES["float32"]
    index = grown(make, points)
    path = tmp_path / "index.korel"
    index.save(path)
    same_answers(index, korel.Index.load(path), points[::50])
    content = path.read_bytes()
    _, _, length = struct.unpack_from("<8sII", content)
    for section in json.loads(content[16 : 16 + length])["sections"]:
        if not section["shape"] or not np.prod(section["shape"]):
            continue
        damaged = bytearray(content)
        damaged[section["offset"]] ^= 0x10
        path.write_bytes(damaged)
        with pytest.raises(ValueError, match=f"checksum of its section '{section['name']}' does not match"):
            korel.Index.load(path)


def test_points_that_arrive_while_the_tree_is_restored_arrive_whole(tmp_path):
    # Enough rows that the ids are mapped on a thread of their own, too.
    points = np.random.default_rng(8).random((70_000, 8))
    index = korel.Index("euclidean")
    index.add_many(points)
    path = tmp_path / "index.korel"
    index.save(path)
    restored = []
    loaded = storage.load(path, restore=lambda state: restored.append(state) or korel.index.from_state(state))
    assert np.array_equal(restored[0].arrays["points"], korel.index.state_of(index).arrays["points"])
    same_answers(index, loaded, points[::997])

    def failing(state):
        raise RuntimeError("the restore failed")

    with pytest.raises(RuntimeError, match="the restore failed"):
        storage.load(path, restore=failing)
    same_answers(index, korel.Index.load(path), points[::997])
    content = path.read_bytes()
    for name, edit, fault in [
        ("ids", lambda a: a.__setitem__(5, -1), "id -1 is out of range"),
        ("tree_node_degree", lambda a: a.__setitem__(0, 0), "damaged tree"),
    ]:
        path.write_bytes(tree_file_with(content, name, edit))
        with pytest.raises(ValueError, match=fault):
            korel.Index.load(path)


@pytest.mark.parametrize("mmap", [False, True])
def test_a_forged_nan_row_loads_as_a_point_no_query_measures(tmp_path, mmap):
    # Rows that come with their tree are not scanned again on loading.
    content = storage.to_bytes(korel.index.state_of(grown(*TREE_CASES["float64"])))
    path = tmp_path / "nan.korel"
    path.write_bytes(tree_file_with(content, "points", lambda a: a.__setitem__(5 * 3 + 1, np.nan)))
    loaded = korel.Index.load(path, mmap=mmap)
    distances, ids = loaded.nearest(np.zeros(3), k=len(loaded))
    assert len(ids) == 700 and np.isnan(distances[-1]) and np.isfinite(distances[:-1]).all()
    assert np.isnan(loaded[int(ids[-1])]).any()


def test_removed_points_never_reach_a_file(tmp_path):
    index = korel.Index("levenshtein")
    index.add_many(["secret", "public", "open", "known"])
    index.remove(0)
    path = tmp_path / "index.korel"
    index.save(path)
    assert "secret".encode("utf-32-le") not in path.read_bytes()
    assert korel.Index.load(path).stored()[1] == ["public", "open", "known"]


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_a_mapped_index_answers_as_the_saved_one_and_refuses_changes(dtype, tmp_path):
    points = np.random.default_rng(9).integers(0, 5, (3000, 4)).astype(dtype)
    index = korel.Index("manhattan", dtype=dtype)
    index.add_many(points[:2000])
    index.add_many(points[2000:])  # a tree grown point by point too
    path = tmp_path / "index.korel"
    index.save(path)
    mapped = korel.Index.load(path, mmap=True)
    index.save(path)  # replaced on disk: the map keeps the file it opened
    same_answers(index, mapped, points[::97].astype(float))
    assert np.array_equal(mapped[2999], points[2999]) and mapped.dtype == dtype
    changes = (lambda: mapped.add(points[0]), lambda: mapped.add_many(points[:2]), lambda: mapped.remove(0),
               lambda: mapped.remove_many([0, 1]), mapped.clear)
    for change in changes:
        with pytest.raises(ValueError, match="mmap=False"):
            change()
    assert len(mapped) == 3000
    copy = pickle.loads(pickle.dumps(mapped))  # a copy owns its rows and changes
    copy.add(points[0])
    assert len(copy) == 3001


@pytest.mark.parametrize("section", ["points", "tree_node_max_radius"])
def test_verify_checks_the_mapped_sections(tmp_path, section):
    index = korel.Index("euclidean")
    index.add_many(np.random.default_rng(1).random((500, 3)))
    path = tmp_path / "index.korel"
    index.save(path)
    content = bytearray(path.read_bytes())
    header = json.loads(content[16 : 16 + struct.unpack_from("<I", content, 12)[0]])
    damaged = next(s for s in header["sections"] if s["name"] == section)
    content[damaged["offset"] + 8] ^= 0x01  # the lowest bit of the second number
    path.write_bytes(bytes(content))
    assert len(korel.Index.load(path, mmap=True)) == 500  # the checksums are not computed
    for load in (lambda: korel.Index.load(path, mmap=True, verify=True), lambda: korel.Index.load(path)):
        with pytest.raises(ValueError, match=f"checksum of its section '{section}'"):
            load()


def test_only_vector_files_with_a_tree_are_mapped(tmp_path):
    words = korel.Index("levenshtein")
    words.add_many(["map", "me"])
    words.save(tmp_path / "words.korel")
    vectors = korel.Index("euclidean")
    vectors.add_many(np.eye(3))
    vectors.remove(0)  # removed points still in the tree: saved without it
    vectors.save(tmp_path / "vectors.korel")
    for name in ("words.korel", "vectors.korel"):
        with pytest.raises(ValueError, match="load it with mmap=False"):
            korel.Index.load(tmp_path / name, mmap=True)
