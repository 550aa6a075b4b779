"""The file format of ``korel.Index.save`` and ``korel.Index.load``.

A file is, in this order (all integers little-endian):

========  ============================================================
bytes     content
========  ============================================================
8         the magic ``b"KORELIDX"``
4         the format version, uint32 (this korel writes and reads 1)
4         the header length H, uint32
H         the header: UTF-8 JSON (below)
...       the sections the header lists, one after the other
4         CRC-32 (zlib) of everything before it
========  ============================================================

The header holds ``kind`` (``"vector"``, ``"string"`` or ``"object"``),
``metric`` (a native metric's name, or null for a Python callable),
``dtype`` (``"float64"`` or ``"float32"`` for vectors), ``count`` (points),
``next_id`` (the first id never used) and ``sections``: a list of
``{"name", "dtype", "shape"}``, in file order, where ``dtype`` is a NumPy
little-endian type string. The sections are:

- vector: ``ids`` (``<i8``, n) and ``points`` (``<f8`` or ``<f4``, n × dim);
- string: ``ids``, ``starts`` (``<i8``, n + 1: string i is
  ``code_points[starts[i]:starts[i + 1]]``) and ``code_points`` (``<u4``);
- object: ``ids`` and ``objects`` (``|u1``: a pickle of the list of points),
  and ``metric`` (``|u1``: a pickle of the callable) when it could be pickled.

Vector and string files are plain data: reading them never unpickles
anything. Object files can only store their points by pickling them, and
reading one unpickles it, which runs code of the file's choosing: load them
from trusted sources only. A truncated, damaged, foreign or newer file raises
ValueError saying what is wrong, and never yields a partial index.
"""

import json
import os
import pickle
import struct
import tempfile
import zlib
from typing import Any, Dict, List, Tuple

import numpy as np

MAGIC = b"KORELIDX"
VERSION = 1
_PREFIX = struct.Struct("<8sII")
_CRC = struct.Struct("<I")
_KINDS = ("vector", "string", "object")


def to_bytes(index) -> bytes:
    """The file content of ``index``."""
    header, sections = _describe(index)
    header["sections"] = [
        {"name": name, "dtype": array.dtype.str, "shape": list(array.shape)} for name, array in sections
    ]
    header_bytes = json.dumps(header, sort_keys=True).encode("utf-8")
    parts = [_PREFIX.pack(MAGIC, VERSION, len(header_bytes)), header_bytes]
    parts.extend(np.ascontiguousarray(array).tobytes() for _, array in sections)
    body = b"".join(parts)
    return body + _CRC.pack(zlib.crc32(body))


def from_bytes(content: bytes, metric=None):
    """The index stored in ``content`` (as written by ``to_bytes``)."""
    header, sections = _parse(memoryview(content))
    return _build(header, sections, metric)


def save(index, path) -> None:
    """Writes ``index`` to ``path`` (see ``write_atomically``)."""
    write_atomically(os.fspath(path), to_bytes(index))


def write_atomically(path: str, content: bytes) -> None:
    """Writes ``content`` to a temporary file in the folder of ``path``,
    flushes it to disk, renames it over ``path`` and flushes the folder: a
    crash leaves either the old file or the new one, whole."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".korel-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(content)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    # The rename itself is durable once the folder is flushed, where the
    # system can flush a folder at all.
    try:
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def load(path, metric=None):
    """Reads the index stored at ``path``."""
    with open(path, "rb") as file:
        content = file.read()
    return from_bytes(content, metric)


# --- writing ----------------------------------------------------------------


def _describe(index) -> Tuple[Dict[str, Any], List[Tuple[str, np.ndarray]]]:
    core = index._core
    header: Dict[str, Any] = {
        "kind": index._kind,
        "metric": index._metric if isinstance(index._metric, str) else None,
        "dtype": index._dtype if index._kind == "vector" else None,
        "count": len(core),
        "next_id": int(core.next_id),
    }
    exported = core.export()

    def little(array, dtype):
        return np.ascontiguousarray(array, dtype=np.dtype(dtype).newbyteorder("<"))

    if index._kind == "vector":
        ids, points = exported
        storage = "<f8" if index._dtype == "float64" else "<f4"
        return header, [("ids", little(ids, "<i8")), ("points", little(points, storage))]
    if index._kind == "string":
        ids, starts, code_points = exported
        return header, [
            ("ids", little(ids, "<i8")),
            ("starts", little(starts, "<i8")),
            ("code_points", little(code_points, "<u4")),
        ]
    ids, objects = exported
    sections = [("ids", little(ids, "<i8")), ("objects", _pickled(list(objects)))]
    try:
        sections.append(("metric", _pickled(index._metric)))
    except Exception:
        pass  # loading then needs metric=
    return header, sections


def _pickled(value) -> np.ndarray:
    return np.frombuffer(pickle.dumps(value, protocol=4), dtype=np.uint8)


# --- reading ----------------------------------------------------------------


def _fail(what: str):
    raise ValueError(f"not a valid korel index file: {what}")


def _parse(content: memoryview):
    if len(content) == 0:
        _fail("the file is empty")
    if len(content) < _PREFIX.size + _CRC.size:
        if bytes(content[: len(MAGIC)]) != MAGIC[: len(content)]:
            _fail("it does not start with the korel magic bytes")
        _fail(f"it is truncated ({len(content)} bytes)")
    magic, version, header_length = _PREFIX.unpack_from(content)
    if magic != MAGIC:
        _fail("it does not start with the korel magic bytes")
    if version > VERSION:
        raise ValueError(
            f"the file was written in korel index format {version}; this korel reads format "
            f"{VERSION} and older: upgrade korel to load it"
        )
    if version < 1:
        _fail(f"unknown format version {version}")
    body_end = len(content) - _CRC.size
    header_end = _PREFIX.size + header_length
    if header_end > body_end:
        _fail(f"it is truncated (header of {header_length} bytes in a file of {len(content)})")
    try:
        header = json.loads(bytes(content[_PREFIX.size:header_end]).decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        _fail("its header is not valid JSON")
    sections = _section_layout(header)
    expected_end = header_end + sum(size for _, _, _, size in sections)
    if expected_end != body_end:
        if expected_end > body_end:
            _fail(f"it is truncated: {expected_end + _CRC.size} bytes expected, {len(content)} found")
        _fail(f"{body_end - expected_end} bytes follow the last section")
    (checksum,) = _CRC.unpack_from(content, body_end)
    if zlib.crc32(content[:body_end]) != checksum:
        _fail("its checksum does not match: the file is damaged")
    arrays = {}
    at = header_end
    for name, dtype, shape, size in sections:
        arrays[name] = np.frombuffer(content[at : at + size], dtype=dtype).reshape(shape).copy()
        at += size
    return header, arrays


def _section_layout(header):
    if not isinstance(header, dict):
        _fail("its header is not an object")
    kind = header.get("kind")
    if kind not in _KINDS:
        _fail(f"unknown kind {kind!r}")
    for field in ("count", "next_id"):
        if not isinstance(header.get(field), int) or header[field] < 0:
            _fail(f"the header's {field} is not a non-negative integer")
    allowed = {
        "vector": {"ids": ("<i8",), "points": ("<f8", "<f4")},
        "string": {"ids": ("<i8",), "starts": ("<i8",), "code_points": ("<u4",)},
        "object": {"ids": ("<i8",), "objects": ("|u1",), "metric": ("|u1",)},
    }[kind]
    listed = header.get("sections")
    if not isinstance(listed, list):
        _fail("the header lists no sections")
    layout = []
    for section in listed:
        if not isinstance(section, dict):
            _fail("a section is not an object")
        name, dtype, shape = section.get("name"), section.get("dtype"), section.get("shape")
        if name not in allowed or dtype not in allowed[name]:
            _fail(f"unexpected section {name!r} of type {dtype!r}")
        if any(name == seen for seen, _, _, _ in layout):
            _fail(f"the section {name!r} appears twice")
        if not isinstance(shape, list) or not all(isinstance(n, int) and n >= 0 for n in shape):
            _fail(f"the section {name!r} has no valid shape")
        size = np.dtype(dtype).itemsize
        for n in shape:
            size *= n
        layout.append((name, np.dtype(dtype), tuple(shape), size))
    needed = {"vector": ("ids", "points"), "string": ("ids", "starts", "code_points"), "object": ("ids", "objects")}
    for name in needed[kind]:
        if not any(name == seen for seen, _, _, _ in layout):
            _fail(f"the section {name!r} is missing")
    return layout


def _build(header, arrays, metric):
    from .index import STRING_METRICS, VECTOR_METRICS, Index

    kind, count = header["kind"], header["count"]
    ids = arrays["ids"]
    if ids.shape != (count,):
        _fail(f"{ids.shape[0] if ids.ndim == 1 else ids.shape} ids for {count} points")
    saved = header.get("metric")
    if kind == "object":
        if saved is not None:
            _fail("an index of objects names a native metric")
        if metric is None:
            if "metric" not in arrays:
                raise ValueError(
                    "the index was saved with a metric that could not be pickled: "
                    "pass it again with Index.load(path, metric=...)"
                )
            metric = pickle.loads(arrays["metric"].tobytes())
        index = Index(metric)
        objects = pickle.loads(arrays["objects"].tobytes())
        if not isinstance(objects, list) or len(objects) != count:
            _fail("its objects do not match its ids")
        points = objects
    else:
        names = VECTOR_METRICS if kind == "vector" else STRING_METRICS
        if saved not in names:
            _fail(f"unknown {kind} metric {saved!r}")
        if metric is not None and metric != saved and metric is not _native(saved):
            raise ValueError(f"the index was saved under {saved!r}; it cannot be loaded under {metric!r}")
        if kind == "vector":
            dtype = header.get("dtype")
            points = arrays["points"]
            if dtype not in ("float64", "float32") or points.dtype != np.dtype(dtype).newbyteorder("<"):
                _fail(f"points of type {points.dtype} for dtype {dtype!r}")
            if points.ndim != 2 or points.shape[0] != count or (count and points.shape[1] == 0):
                _fail(f"points of shape {points.shape} for {count} points")
            index = Index(saved, dtype=dtype)
            points = points.astype(np.float64)
        else:
            starts, code_points = arrays["starts"], arrays["code_points"]
            if starts.shape != (count + 1,) or starts[0] != 0 or starts[-1] != len(code_points):
                _fail("its string offsets do not cover its code points")
            if count and np.any(np.diff(starts) < 0):
                _fail("its string offsets are not ascending")
            if code_points.size and (code_points.max() > 0x10FFFF):
                _fail("a code point is beyond U+10FFFF")
            index = Index(saved)
            points = [
                code_points[starts[i] : starts[i + 1]].tobytes().decode("utf-32-le", "surrogatepass")
                for i in range(count)
            ]
    if count and (ids.min() < 0 or len(np.unique(ids)) != count):
        _fail("its ids are negative or repeated")
    if header["next_id"] < (int(ids.max()) + 1 if count else 0):
        _fail("its next id is not above its ids")
    try:
        index._core.add(index._points(points), ids)
    except (TypeError, ValueError) as error:
        _fail(f"its points cannot be stored: {error}")
    index._core.next_id = header["next_id"]
    return index


def _native(name: str):
    from . import metrics

    return getattr(metrics, name)
