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
reading one unpickles it, which runs code of the file's choosing: ``load``
reads one only when asked with ``allow_pickle=True`` (from trusted sources
only), and refuses it before reading its sections otherwise. A truncated,
damaged, foreign or newer file raises ValueError saying what is wrong, and
never yields a partial index; the magic and the header's length are checked
before anything more is read, so a foreign file is never read whole.
"""

import io
import json
import os
import pickle
import re
import secrets
import struct
import zlib
from typing import Any, Dict, List, Tuple

import numpy as np

MAGIC = b"KORELIDX"
VERSION = 1
_PREFIX = struct.Struct("<8sII")
_CRC = struct.Struct("<I")
_KINDS = ("vector", "string", "object")
_MAX_HEADER = 1 << 16  # bytes; a real header takes a few hundred
_MAX_DEPTH = 4  # the header, its sections, a section, its shape
_MAX_INT = 2**63 - 1
TEMPORARY_PREFIX = ".korel-"
TEMPORARY_SUFFIX = ".tmp"


def to_bytes(index, *, metric_required: bool = False) -> bytes:
    """The file content of ``index``. With ``metric_required`` (pickling), a
    Python metric that cannot be pickled raises pickle.PicklingError naming
    it; otherwise the file is written without it."""
    header, sections = _describe(index, metric_required)
    header["sections"] = [
        {"name": name, "dtype": array.dtype.str, "shape": list(array.shape)} for name, array in sections
    ]
    header_bytes = json.dumps(header, sort_keys=True).encode("utf-8")
    parts = [_PREFIX.pack(MAGIC, VERSION, len(header_bytes)), header_bytes]
    parts.extend(np.ascontiguousarray(array).tobytes() for _, array in sections)
    body = b"".join(parts)
    return body + _CRC.pack(zlib.crc32(body))


def from_bytes(content: bytes, metric=None, *, allow_pickle: bool = False):
    """The index stored in ``content`` (as written by ``to_bytes``)."""
    return _read(io.BytesIO(content), len(content), metric, allow_pickle)


def from_pickle(content: bytes):
    """The index of a pickle (``Index.__reduce__``): whoever unpickles has
    chosen to run what the pickle holds."""
    return from_bytes(content, allow_pickle=True)


def save(index, path) -> None:
    """Writes ``index`` to ``path`` (see ``write_atomically``)."""
    write_atomically(os.fspath(path), to_bytes(index))


def write_atomically(path: str, content: bytes) -> None:
    """Writes ``content`` to a temporary file in the folder of ``path``,
    flushes it to disk, renames it over ``path`` and flushes the folder: a
    crash leaves either the old file or the new one, whole."""
    folder = os.path.dirname(os.path.abspath(path))
    # Named after this process, so that a leftover of a killed save can be
    # told apart; created with the mode open() gives under the umask.
    temporary = os.path.join(
        folder, f"{TEMPORARY_PREFIX}{os.getpid()}-{secrets.token_hex(6)}{TEMPORARY_SUFFIX}"
    )
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
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


def load(path, metric=None, *, allow_pickle: bool = False):
    """Reads the index stored at ``path``."""
    with open(path, "rb") as file:
        return _read(file, os.fstat(file.fileno()).st_size, metric, allow_pickle)


# --- writing ----------------------------------------------------------------


def _describe(index, metric_required: bool) -> Tuple[Dict[str, Any], List[Tuple[str, np.ndarray]]]:
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
    except Exception as error:
        if metric_required:
            name = getattr(index._metric, "__qualname__", repr(index._metric))
            raise pickle.PicklingError(
                f"cannot pickle this Index: its metric {name!r} cannot be pickled ({error}); "
                "use a function defined at the top level of a module, or save the index and "
                "load it with Index.load(path, metric=..., allow_pickle=True)"
            ) from None
        # loading then needs metric=
    return header, sections


def _pickled(value) -> np.ndarray:
    return np.frombuffer(pickle.dumps(value, protocol=4), dtype=np.uint8)


# --- reading ----------------------------------------------------------------


def _fail(what: str):
    raise ValueError(f"not a valid korel index file: {what}")


def _read(file, size: int, metric, allow_pickle: bool):
    """The index stored in ``file`` of ``size`` bytes, read in order: the
    prefix, the header, and only once both are checked (and the kind fits
    the caller's metric and allow_pickle), the sections."""
    if size == 0:
        _fail("the file is empty")
    prefix = file.read(_PREFIX.size)
    if bytes(prefix[: len(MAGIC)]) != MAGIC[: len(prefix)]:
        _fail("it does not start with the korel magic bytes")
    if len(prefix) < _PREFIX.size or size < _PREFIX.size + _CRC.size:
        _fail(f"it is truncated ({size} bytes)")
    _, version, header_length = _PREFIX.unpack(prefix)
    if version > VERSION:
        raise ValueError(
            f"the file was written in korel index format {version}; this korel reads format "
            f"{VERSION} and older: upgrade korel to load it"
        )
    if version < 1:
        _fail(f"unknown format version {version}")
    body_end = size - _CRC.size
    header_end = _PREFIX.size + header_length
    if header_length > _MAX_HEADER:
        _fail(f"its header of {header_length} bytes is longer than {_MAX_HEADER}")
    if header_end > body_end:
        _fail(f"it is truncated (header of {header_length} bytes in a file of {size})")
    header_bytes = file.read(header_length)
    if len(header_bytes) != header_length:
        _fail(f"it is truncated (header of {header_length} bytes in a file of {size})")
    checksum = zlib.crc32(header_bytes, zlib.crc32(prefix))
    header = parse_json(header_bytes, _MAX_DEPTH, "its header")
    sections = _section_layout(header)
    expected_end = header_end + sum(section_size for _, _, _, section_size in sections)
    if expected_end != body_end:
        if expected_end > body_end:
            _fail(f"it is truncated: {expected_end + _CRC.size} bytes expected, {size} found")
        _fail(f"{body_end - expected_end} bytes follow the last section")
    _admit(header["kind"], metric, allow_pickle)
    arrays = {}
    for name, dtype, shape, section_size in sections:
        data = file.read(section_size)
        if len(data) != section_size:
            _fail("it is truncated: it changed while it was read")
        checksum = zlib.crc32(data, checksum)
        try:
            arrays[name] = np.frombuffer(data, dtype=dtype).reshape(shape).copy()
        except (ValueError, MemoryError):
            _fail(f"the section {name!r} of shape {list(shape)} cannot be read")
    stored = file.read(_CRC.size)
    if len(stored) != _CRC.size or _CRC.unpack(stored)[0] != checksum:
        _fail("its checksum does not match: the file is damaged")
    return _build(header, arrays, metric)


def parse_json(content: bytes, depth: int, what: str):
    """JSON ``content`` nested at most ``depth`` deep; ValueError naming
    ``what`` otherwise (before a deep document reaches the parser)."""
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        _fail(f"{what} is not valid UTF-8")
    level = deepest = 0
    for token in re.finditer(r'"(?:[^"\\]|\\.)*"|[\[\]{}]', text):
        bracket = token.group()
        if bracket in "[{":
            level += 1
            deepest = max(deepest, level)
            if deepest > depth:
                _fail(f"{what} is nested more than {depth} deep")
        elif bracket in "]}":
            level -= 1
    try:
        return json.loads(text)
    except (ValueError, RecursionError):
        _fail(f"{what} is not valid JSON")


def is_count(value) -> bool:
    """Whether ``value`` is an int (not a bool) in [0, 2**63 - 1]."""
    return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= _MAX_INT


def _admit(kind: str, metric, allow_pickle: bool) -> None:
    """Refuses a file the caller did not ask for: one whose kind does not
    fit ``metric``, or one of pickled objects without ``allow_pickle``."""
    from .index import _resolve_metric

    if metric is not None:
        wanted, _ = _resolve_metric(metric)
        if wanted != kind:
            raise ValueError(
                f"the file holds an index of {kind} points; it cannot be loaded under the metric "
                f"{metric if isinstance(metric, str) else getattr(metric, '__qualname__', metric)!r}"
            )
    if kind == "object" and not allow_pickle:
        raise ValueError(
            "the file holds Python objects, stored by pickle, and loading it would unpickle them "
            "(which runs code of the file's choosing): pass allow_pickle=True to load a file "
            "from a trusted source"
        )


def _section_layout(header):
    if not isinstance(header, dict):
        _fail("its header is not an object")
    kind = header.get("kind")
    if kind not in _KINDS:
        _fail(f"unknown kind {kind!r}")
    for field in ("count", "next_id"):
        if not is_count(header.get(field)):
            _fail(f"the header's {field} is not an integer in [0, 2**63 - 1]")
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
        if not isinstance(name, str) or not isinstance(dtype, str) or dtype not in allowed.get(name, ()):
            _fail(f"unexpected section {name!r} of type {dtype!r}")
        if any(name == seen for seen, _, _, _ in layout):
            _fail(f"the section {name!r} appears twice")
        if not isinstance(shape, list) or len(shape) > 2 or not all(is_count(n) for n in shape):
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
        try:
            index = Index(metric)
        except TypeError:
            _fail("its pickled metric is not callable")
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
