"""korel.Index against hostile input: malformed files and headers, files
of a kind the caller did not ask for, arguments out of every range. Each
raises korel's own ValueError (KeyError for index[id], TypeError for a
wrong type) and changes nothing."""

import json
import os
import pickle
import stat
import struct
import sys
import zlib

import numpy as np
import pytest

import korel
from korel import storage
import korel.index
from korel_oracles import run_python


def module_level_metric(a, b):
    return abs(a - b)


def objects_file(tmp_path, metric=module_level_metric):
    index = korel.Index(metric)
    index.add_many([1.0, 5.0, 9.0])
    path = tmp_path / "objects.korel"
    index.save(path)
    return path


def forge(content, edit):
    """``content`` with its header changed by ``edit(header)``, its checksum
    redone (the sections stay where they were)."""
    _, version, length = struct.unpack_from("<8sII", content)
    header = json.loads(content[16 : 16 + length])
    header = edit(header)
    encoded = header if isinstance(header, bytes) else json.dumps(header).encode()
    prefix = content[:8] + struct.pack("<II", version, len(encoded))
    return prefix + encoded + struct.pack("<I", zlib.crc32(encoded, zlib.crc32(prefix))) + content[16 + length + 4 :]


# --- files the caller did not ask for ----------------------------------------------


@pytest.mark.parametrize("metric", [None, "euclidean", "levenshtein"])
def test_object_files_are_not_unpickled_without_allow_pickle(tmp_path, monkeypatch, metric):
    path = objects_file(tmp_path)
    content = path.read_bytes()
    path.write_bytes(content[:-12] + b"\xff" * 8 + content[-4:])  # damaged sections: never reached
    monkeypatch.setattr(pickle, "loads", lambda *a, **k: pytest.fail("unpickled"))
    with pytest.raises(ValueError, match="allow_pickle=True" if metric is None else "object points"):
        korel.Index.load(path, metric)


def test_a_file_must_fit_the_metric_named(tmp_path):
    index = korel.Index("levenshtein")
    index.add("korel")
    path = tmp_path / "words.korel"
    index.save(path)
    with pytest.raises(ValueError, match="string points; it cannot be loaded under the metric 'module_level_metric'"):
        korel.Index.load(path, module_level_metric, allow_pickle=True)
    with pytest.raises(ValueError, match="string points"):
        korel.Index.load(path, "euclidean")
    assert korel.Index.load(path, allow_pickle=True)[0] == "korel"
    loaded = korel.Index.load(objects_file(tmp_path), allow_pickle=True)
    assert loaded.nearest(6.0, k=2)[1].tolist() == [1, 2]


# --- malformed files ---------------------------------------------------------------


def malformed_headers():
    yield "a section name that is a list", lambda h: {**h, "sections": [{**h["sections"][0], "name": ["ids"]}] + h["sections"][1:]}
    yield "a section name that is a dict", lambda h: {**h, "sections": [{**h["sections"][0], "name": {"a": 1}}] + h["sections"][1:]}
    yield "a section dtype that is a list", lambda h: {**h, "sections": [{**h["sections"][0], "dtype": ["<i8"]}] + h["sections"][1:]}
    yield "next_id of 2**63", lambda h: {**h, "next_id": 2**63}
    yield "next_id of 2**64", lambda h: {**h, "next_id": 2**64}
    yield "count that is a bool", lambda h: {**h, "count": True}
    yield "a shape of 2**63", lambda h: {**h, "sections": [{**h["sections"][0], "shape": [2**63]}] + h["sections"][1:]}
    yield "a header nested 100,000 deep", lambda h: b"[" * 100_000 + b"]" * 100_000
    yield "a header nested in a field", lambda h: {**h, "extra": [[[[[[1]]]]]]}


@pytest.mark.parametrize("case", [name for name, _ in malformed_headers()])
def test_malformed_headers_raise_value_error(tmp_path, case):
    edit = dict(malformed_headers())[case]
    index = korel.Index("euclidean")
    index.add_many(np.eye(3))
    path = tmp_path / "bad.korel"
    path.write_bytes(forge(storage.to_bytes(korel.index.state_of(index)), edit))
    with pytest.raises(ValueError, match="not a valid korel index file"):
        korel.Index.load(path)


FOREIGN = """
import json, os, resource, sys
import korel
path = sys.argv[1] if len(sys.argv) > 1 else {path!r}
with open(path, "wb") as file:
    file.write({prefix!r})
    file.truncate(6 << 30)  # sparse: 6 GiB that take no disk
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (used + (300 << 20), resource.RLIM_INFINITY))
try:
    korel.Index.load(path)
    print("loaded")
except Exception as error:
    print(type(error).__name__ + ": " + str(error))
finally:
    os.unlink(path)
"""


@pytest.mark.parametrize(
    "prefix, message",
    [
        (b"PK\x03\x04" + b"\0" * 12, "ValueError: not a valid korel index file: it does not start with the korel magic bytes"),
        (b"KORELIDX" + struct.pack("<II", 1, 2**31), "ValueError: not a valid korel index file: its header of 2147483648 bytes is longer than 65536"),
        (b"KORELIDX" + struct.pack("<II", 1, 20) + b'{"kind": "vector"}  ', "ValueError: not a valid korel index file: the header's count"),
    ],
)
def test_a_large_foreign_file_is_refused_without_reading_it(tmp_path, prefix, message):
    result = run_python(FOREIGN.format(path=str(tmp_path / "foreign.korel"), prefix=prefix), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(message)


# --- dtypes, pickling and the files a save writes ---------------------------------


@pytest.mark.parametrize("dtype", ["float32", np.float32, np.dtype("float32"), "f4", np.dtype("<f4")])
def test_dtype_takes_numpy_dtypes_and_stores_a_canonical_name(dtype, tmp_path):
    index = korel.Index("euclidean", dtype=dtype)
    assert index.dtype == "float32"
    index.add([1.0, 2.0])
    index.save(tmp_path / "index.korel")
    for copy in (korel.Index.load(tmp_path / "index.korel"), pickle.loads(pickle.dumps(index))):
        assert copy.dtype == "float32" and copy[0].dtype == np.float32


@pytest.mark.parametrize("dtype", ["float16", np.int64, "int", True, "f8 ", "complex"])
def test_other_dtypes_are_refused(dtype):
    with pytest.raises(ValueError, match="dtype must be 'float64' or 'float32'"):
        korel.Index("euclidean", dtype=dtype)


def test_pickling_fails_at_dumps_naming_the_metric():
    index = korel.Index(lambda a, b: abs(a - b))
    index.add(1.0)
    with pytest.raises(pickle.PicklingError, match=r"its metric '\S*<lambda>' cannot be pickled"):
        pickle.dumps(index)
    restored = pickle.loads(pickle.dumps(korel.Index(module_level_metric)))
    assert restored.metric is module_level_metric


@pytest.mark.parametrize("umask", [0o022, 0o002, 0o077])
def test_saved_files_get_the_mode_of_the_umask(tmp_path, umask):
    index = korel.Index("euclidean")
    index.add([1.0])
    previous = os.umask(umask)
    try:
        index.save(tmp_path / "index.korel")
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(tmp_path / "index.korel").st_mode) == 0o666 & ~umask


def test_a_temporary_file_carries_the_pid_and_a_failed_save_removes_it(tmp_path, monkeypatch):
    index = korel.Index("euclidean")
    index.add([1.0])
    seen = []

    def refuse(source, target):
        seen.append(os.path.basename(source))
        raise OSError("no rename")

    monkeypatch.setattr(os, "replace", refuse)
    with pytest.raises(OSError, match="no rename"):
        index.save(tmp_path / "index.korel")
    assert seen[0].startswith(f".korel-{os.getpid()}-") and seen[0].endswith(".tmp")
    assert os.listdir(tmp_path) == []


# --- arguments out of range --------------------------------------------------------


def filled():
    index = korel.Index("euclidean")
    index.add_many([[0.0], [1.0], [2.0]])
    return index


HUGE = [2**63, 2**64, -(2**63) - 1, 10**30]


@pytest.mark.parametrize("number", HUGE)
def test_ids_out_of_range_raise_value_error(number):
    index = filled()
    for call in (lambda: index.add([5.0], id=number), lambda: index.remove(number),
                 lambda: index.remove_many([number]), lambda: index.add_many([[5.0]], ids=[number])):
        with pytest.raises(ValueError, match="out of range|fit in int64|non-negative"):
            call()
    with pytest.raises(KeyError):
        index[number]
    assert number not in index
    assert index.ids().tolist() == [0, 1, 2]


@pytest.mark.parametrize("k", [2**63, 2**64, 10**30])
def test_a_huge_k_finds_everything_or_names_k(k):
    index = filled()
    assert index.nearest([0.9], k=k)[1].tolist() == [1, 0, 2]
    assert index.nearest(np.array([0.9]), k=k)[1].tolist() == [1, 0, 2]
    with pytest.raises(ValueError, match=f"k={k} is too large"):
        index.query([[0.9]], k=k)


@pytest.mark.parametrize("workers", [2**63, 2**64])
def test_workers_out_of_range_raise_value_error(workers):
    with pytest.raises(ValueError, match="workers must be at most"):
        filled().query([[0.9]], k=1, workers=workers)


def test_radii_out_of_range_and_str_radii():
    index = filled()
    with pytest.raises(ValueError, match="radius .* out of range"):
        index.within([0.0], 10**400)
    with pytest.raises(ValueError, match="radius .* out of range"):
        index.query_radius([[0.0]], -(10**400))
    for radius in ("2", b"2"):
        with pytest.raises(TypeError, match="radius must be a number"):
            index.within([0.0], radius)
        with pytest.raises(TypeError, match="radius must be a number"):
            index.query_radius([[0.0]], radius)
    assert index.within([0.0], 2**70)[1].tolist() == [0, 1, 2]


@pytest.mark.parametrize("ids", [[7, True], [False], np.array([True]), (np.bool_(True),)])
def test_bool_ids_are_refused_everywhere(ids):
    index = filled()
    with pytest.raises(TypeError, match="bool"):
        index.add_many([[5.0]] * len(ids), ids=ids)
    with pytest.raises(TypeError, match="bool"):
        index.remove_many(ids)
    with pytest.raises(TypeError, match="bool"):
        index.add([5.0], id=True)
    assert index.ids().tolist() == [0, 1, 2]
