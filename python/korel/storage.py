"""The file format of ``korel.Index.save`` and ``korel.Index.load``.

A file is, in this order (all integers little-endian):

========  ============================================================
bytes     content
========  ============================================================
8         the magic ``b"KORELIDX"``
4         the format version, uint32 (this korel writes 2, reads 1 and 2)
4         the header length H, uint32
H         the header: UTF-8 JSON (below)
4         CRC-32 (zlib) of the 16 + H bytes before it
...       the sections the header lists, each at an offset that is a
          multiple of 64 (zero bytes in between), the last one ending the file
========  ============================================================

The header holds ``kind`` (``"vector"``, ``"string"``, ``"bits"`` or
``"object"``),
``metric`` (a native metric's name, or null for a Python callable),
``dtype`` (``"float64"`` or ``"float32"`` for vectors), ``count`` (points),
``next_id`` (the first id never used) and ``sections``: a list of
``{"name", "dtype", "shape", "offset", "checksum"}``, in file order, where
``dtype`` is a NumPy little-endian type string and ``checksum`` the CRC-32
of the section's bytes. The sections are:

- vector: ``ids`` (``<i8``, n) and ``points`` (``<f8`` or ``<f4``, n × dim);
- string: ``ids``, ``starts`` (``<i8``, n + 1: string i is
  ``code_points[starts[i]:starts[i + 1]]``) and ``code_points`` (``<u4``);
- bits: ``ids`` and ``codes`` (``|u1``, n × bytes of a code);
- object: ``ids`` and ``objects`` (``|u1``: a pickle of the list of points),
  and ``metric`` (``|u1``: a pickle of the callable) when it could be pickled;
- and, for every kind, the tree when the index had one, in sections named
  ``tree_*``: the nodes in pre-order (pivot rows, child counts, radii,
  ranges, bucket rows and their distances to their pivot, lower-bound
  boxes), the pivot generator's state and the id map's table (its dense
  table, the row of each id, in ``tree_id_rows`` while the ids are dense;
  otherwise its hash table in ``tree_id_slots``), so that loading measures
  no distance. Without them, loading builds the tree.

Format 1 (korel 0.1 before the tree was stored) had no header checksum, no
offsets and one CRC-32 of the whole file at its end; such files still load,
by rebuilding the tree.

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
from typing import Any, BinaryIO, Callable, Dict, List, NoReturn, Optional, Tuple, Union

import numpy as np

from . import _index, metric_table
from .state import IndexState

MAGIC = b"KORELIDX"
VERSION = 2
ALIGNMENT = 64  # bytes: every section starts at a multiple of it
_PREFIX = struct.Struct("<8sII")
_CRC = struct.Struct("<I")
_MAX_HEADER = 1 << 16  # bytes; a real header takes a few hundred, a few thousand with a tree
_MAX_DEPTH = 4  # the header, its sections, a section, its shape
_MAX_INT = 2**63 - 1
TEMPORARY_PREFIX = ".korel-"
TEMPORARY_SUFFIX = ".tmp"

# The sections each kind of file may hold, with the types each may have.
_SECTIONS: Dict[str, Dict[str, Tuple[str, ...]]] = {
    "vector": {"ids": ("<i8",), "points": ("<f8", "<f4")},
    "string": {"ids": ("<i8",), "starts": ("<i8",), "code_points": ("<u4",)},
    "bits": {"ids": ("<i8",), "codes": ("|u1",)},
    "object": {"ids": ("<i8",), "objects": ("|u1",), "metric": ("|u1",)},
}
_NEEDED = {
    "vector": ("ids", "points"),
    "string": ("ids", "starts", "code_points"),
    "bits": ("ids", "codes"),
    "object": ("ids", "objects"),
}
_TREE_PREFIX = "tree_"
_TREE_TYPES = ("<u4", "<i8", "<u8", "<f8", "<f4", "|u1")


def to_bytes(state, *, metric_required: bool = False) -> bytes:
    """The file content of the index state ``state``. With ``metric_required`` (pickling), a Python metric that
    cannot be pickled raises pickle.PicklingError naming it; otherwise the
    file is written without it."""
    buffer = io.BytesIO()
    _write(buffer, state, metric_required)
    return buffer.getvalue()


def from_bytes(content: bytes, metric=None, *, allow_pickle: bool = False):
    """The index state stored in ``content`` (as written by ``to_bytes``)."""
    return _read(io.BytesIO(content), len(content), metric, allow_pickle, None)


def save(state, path) -> None:
    """Writes the index state ``state`` to ``path`` (see ``write_atomically``)."""
    write_atomically(os.fspath(path), lambda file: _write(file, state, False))


def load(
    path,
    metric=None,
    *,
    allow_pickle: bool = False,
    mmap: bool = False,
    verify: bool = False,
    progress: Optional[Callable[[int, int], None]] = None,
    restore: Optional[Callable[[IndexState], Any]] = None,
):
    """The index state stored at ``path``; ``progress(done, total)`` hears
    how many of the file's bytes are read. With ``mmap``, the points of a
    vector file with a tree stay in the file, mapped read-only (a
    numpy.memmap), and the sections' checksums are checked only with
    ``verify`` (the tree's structure always is, where it is restored).

    With ``restore``, the result of ``restore(state)`` instead, returned
    once every section is read and checked. The points of vectors with a
    tree may still be arriving while ``restore`` runs: it may keep them but
    must not read them (a damaged file raises ValueError after it)."""
    with open(path, "rb") as file:
        return _read(file, os.fstat(file.fileno()).st_size, metric, allow_pickle, progress, mmap, verify, restore)


def write_atomically(path: str, content: Union[bytes, Callable[[BinaryIO], None]]) -> None:
    """Writes ``content`` (bytes, or a function that writes to a file) to
    a temporary file in the folder of ``path``, flushes it to disk, renames
    it over ``path`` and flushes the folder: a crash leaves either the old
    file or the new one, whole."""
    folder = os.path.dirname(os.path.abspath(path))
    # Named after this process, so that a leftover of a killed save can be
    # told apart; created with the mode open() gives under the umask.
    temporary = os.path.join(
        folder, f"{TEMPORARY_PREFIX}{os.getpid()}-{secrets.token_hex(6)}{TEMPORARY_SUFFIX}"
    )
    handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with os.fdopen(handle, "wb") as file:
            if callable(content):
                content(file)
            else:
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


# --- writing ----------------------------------------------------------------


def _little(array, dtype: str) -> np.ndarray:
    return np.ascontiguousarray(array, dtype=np.dtype(dtype).newbyteorder("<"))


def _sections(state, metric_required: bool) -> List[Tuple[str, np.ndarray]]:
    arrays = state.arrays
    if state.kind == "vector":
        storage = "<f8" if state.dtype == "float64" else "<f4"
        sections = [("ids", _little(arrays["ids"], "<i8")), ("points", _little(arrays["points"], storage))]
    elif state.kind == "bits":
        sections = [("ids", _little(arrays["ids"], "<i8")), ("codes", np.ascontiguousarray(arrays["codes"], np.uint8))]
    elif state.kind == "string":
        sections = [
            ("ids", _little(arrays["ids"], "<i8")),
            ("starts", _little(arrays["starts"], "<i8")),
            ("code_points", _little(arrays["code_points"], "<u4")),
        ]
    else:
        sections = [("ids", _little(arrays["ids"], "<i8")), ("objects", _pickled(list(arrays["objects"])))]
        try:
            sections.append(("metric", _pickled(state.metric)))
        except Exception as error:
            if metric_required:
                raise pickle.PicklingError(
                    f"cannot pickle this Index: its metric {metric_table.describe(state.metric)!r} cannot "
                    f"be pickled ({error}); use a function defined at the top level of a module, or save "
                    "the index and load it with Index.load(path, metric=..., allow_pickle=True)"
                ) from None
            # loading then needs metric=
    for name, array in arrays.items():
        if name.startswith(_TREE_PREFIX):
            sections.append((name, _little(array, np.dtype(array.dtype).newbyteorder("<").str)))
    return sections


def _write(file: BinaryIO, state, metric_required: bool) -> None:
    sections = _sections(state, metric_required)
    table = [
        {"name": name, "dtype": array.dtype.str, "shape": list(array.shape), "checksum": _checksum(array)}
        for name, array in sections
    ]
    header: Dict[str, Any] = {
        "kind": state.kind,
        "metric": state.metric if isinstance(state.metric, str) else None,
        "dtype": state.dtype if state.kind == "vector" else None,
        "count": state.count,
        "next_id": int(state.next_id),
        "sections": table,
    }
    # The offsets depend on the header's length, which grows with their
    # digits: lay out again until the first offset fits the header.
    length = 0
    while True:
        offset = _aligned(_PREFIX.size + length + _CRC.size)
        for entry, (_, array) in zip(table, sections):
            entry["offset"] = offset
            offset = _aligned(offset + array.nbytes)
        header_bytes = json.dumps(header, sort_keys=True).encode("utf-8")
        if _aligned(_PREFIX.size + len(header_bytes) + _CRC.size) == table[0]["offset"]:
            break
        length = len(header_bytes)
    prefix = _PREFIX.pack(MAGIC, VERSION, len(header_bytes))
    file.write(prefix)
    file.write(header_bytes)
    file.write(_CRC.pack(_index.crc32(header_bytes, _index.crc32(prefix))))
    position = _PREFIX.size + len(header_bytes) + _CRC.size
    for entry, (_, array) in zip(table, sections):
        file.write(b"\0" * (entry["offset"] - position))
        file.write(array.data.cast("B") if array.size else b"")
        position = entry["offset"] + array.nbytes


def _aligned(offset: int) -> int:
    return -(-offset // ALIGNMENT) * ALIGNMENT


def _checksum(array: np.ndarray) -> int:
    """The CRC-32 of the array's bytes, as zlib.crc32 gives it."""
    return _index.crc32(array.data.cast("B")) if array.size else 0


def _pickled(value) -> np.ndarray:
    return np.frombuffer(pickle.dumps(value, protocol=4), dtype=np.uint8)


# --- reading ----------------------------------------------------------------


def _holds_tree(names) -> bool:
    """Whether the section names include a tree's."""
    return any(name.startswith(_TREE_PREFIX) for name in names)


def _fail(what: str) -> NoReturn:
    raise ValueError(f"not a valid korel index file: {what}")


def _read(file, size: int, metric, allow_pickle: bool, progress, mapped: bool = False, verify: bool = True,
          restore=None):
    """The index state stored in ``file`` of ``size`` bytes, read in order:
    the prefix, the header, and only once both are checked (and the kind
    fits the caller's metric and allow_pickle), the sections; or, with
    ``restore``, what ``restore(state)`` gives (see ``load``)."""
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
    header_end = _PREFIX.size + header_length
    if header_length > _MAX_HEADER:
        _fail(f"its header of {header_length} bytes is longer than {_MAX_HEADER}")
    if header_end + _CRC.size > size:
        _fail(f"it is truncated (header of {header_length} bytes in a file of {size})")
    header_bytes = file.read(header_length)
    if len(header_bytes) != header_length:
        _fail(f"it is truncated (header of {header_length} bytes in a file of {size})")
    checksum = _index.crc32(header_bytes, _index.crc32(prefix))
    if version >= 2:
        stored = file.read(_CRC.size)
        if len(stored) != _CRC.size or _CRC.unpack(stored)[0] != checksum:
            _fail("the checksum of its header does not match: the file is damaged")
    header = parse_json(header_bytes, _MAX_DEPTH, "its header")
    sections = _section_layout(header, version)
    if version >= 2:
        _check_offsets(sections, header_end + _CRC.size, size)
    else:
        expected_end = header_end + sum(section[3] for section in sections)
        body_end = size - _CRC.size
        if expected_end != body_end:
            if expected_end > body_end:
                _fail(f"it is truncated: {expected_end + _CRC.size} bytes expected, {size} found")
            _fail(f"{body_end - expected_end} bytes follow the last section")
    _admit(header["kind"], metric, allow_pickle)
    if mapped:
        _check_mappable(header, version, sections)
    if version < 2:  # the sections follow the header, one after another
        placed, position = [], header_end
        for name, dtype, shape, section_size, _, expected in sections:
            placed.append((name, dtype, shape, section_size, position, expected))
            position += section_size
        sections = placed
    arrays: Dict[str, np.ndarray] = {}
    unread = []
    for name, dtype, shape, section_size, offset, expected in sections:
        # A mapped file opens without reading its rows: the tree's structure
        # is checked where it is restored, the checksums only with verify.
        if mapped and name == "points" and section_size:
            arrays[name] = np.memmap(file, dtype=dtype, mode="r", offset=offset, shape=shape)
            if verify and _checksum(arrays[name]) != expected:
                _fail(f"the checksum of its section {name!r} does not match: the file is damaged")
            continue
        try:
            arrays[name] = np.empty(shape, dtype=dtype)
        except (ValueError, MemoryError):
            _fail(f"the section {name!r} of shape {list(shape)} cannot be read")
        unread.append((name, arrays[name], offset))
    # The rows of vectors under a tree are only kept where they are until
    # the tree is restored: they arrive meanwhile, on threads of their own.
    descriptor = _descriptor(file)
    later = next(
        (
            section
            for section in unread
            if section[0] == "points" and restore is not None and progress is None and descriptor is not None
            and header["kind"] == "vector" and _holds_tree(arrays)
        ),
        None,
    )
    pending = None
    if later is not None:
        assert descriptor is not None  # only a file read by position defers its points
        pending = _index.start_read(descriptor, [(later[2], later[1].data.cast("B"))], _READ_THREADS)
    try:
        crcs = _read_sections(file, [section for section in unread if section is not later], progress, size)
        if version >= 2:
            for name, _, _, _, _, expected in sections:
                if (verify or not mapped) and name in crcs and crcs[name] != expected:
                    _fail(f"the checksum of its section {name!r} does not match: the file is damaged")
        else:
            for name, _, _, section_size, _, _ in sections:
                checksum = _index.crc32_combine(checksum, crcs[name], section_size)
            file.seek(size - _CRC.size)
            stored = file.read(_CRC.size)
            if len(stored) != _CRC.size or _CRC.unpack(stored)[0] != checksum:
                _fail("its checksum does not match: the file is damaged")
        if progress is not None:
            progress(size, size)
        state = _state(header, arrays, metric)
        restored = state if restore is None else restore(state)
    except BaseException:
        if pending is not None:
            pending.stop()
        raise
    if pending is not None and later is not None:  # both or neither
        [(got, crc)] = pending.wait()
        name, array, _ = later
        if got != array.nbytes:
            _fail("it is truncated: it changed while it was read")
        if crc != next(expected for named, *_, expected in sections if named == name):
            _fail(f"the checksum of its section {name!r} does not match: the file is damaged")
    return restored


_BLOCK = 1 << 26  # bytes read at once: progress reports between blocks
# Threads that read a block, each checking its pieces as it reads them.
_READ_THREADS = min(os.cpu_count() or 1, 4)


def _check_mappable(header, version: int, sections) -> None:
    """Refuses to map what cannot be read in place."""
    if header["kind"] != "vector":
        raise ValueError(
            f"mmap=True maps files of vectors, and this file holds {header['kind']} points: "
            "load it with mmap=False"
        )
    if version < 2 or not _holds_tree(section[0] for section in sections):
        raise ValueError(
            "this file holds no tree (it was saved by an older korel, or while removed points were "
            "still in the index), and mapped points cannot be built into one: load it with mmap=False"
        )


def _read_sections(file, sections, progress, total: int) -> Dict[str, int]:
    """Fills each array of ``sections``, a list of (name, array, offset),
    straight from the file at the offset (no second copy): the CRC-32 of each
    section's bytes, taken as they arrive. Blocks of about _BLOCK bytes are
    read at once, several sections together on several threads; progress is
    reported between blocks."""
    crcs = {name: 0 for name, _, _ in sections}
    pieces = []  # (name, offset, where), none longer than _BLOCK, in file order
    for name, array, offset in sections:
        into = array.data.cast("B") if array.size else memoryview(b"")
        for start in range(0, len(into), _BLOCK):
            pieces.append((name, offset + start, into[start : start + _BLOCK]))
    descriptor = _descriptor(file)
    first = 0
    while first < len(pieces):
        last, length = first + 1, len(pieces[first][2])
        while last < len(pieces) and length + len(pieces[last][2]) <= _BLOCK:
            length += len(pieces[last][2])
            last += 1
        block = pieces[first:last]
        if descriptor is None:
            read = []
            for _, offset, into in block:
                file.seek(offset)
                got = file.readinto(into)
                read.append((got, _index.crc32(into[:got])))
        else:
            read = _index.read_checked(descriptor, [(offset, into) for _, offset, into in block], _READ_THREADS)
        for (name, _, into), (got, crc) in zip(block, read):
            if got != len(into):
                _fail("it is truncated: it changed while it was read")
            crcs[name] = _index.crc32_combine(crcs[name], crc, got)
        if progress is not None:
            progress(block[-1][1] + len(block[-1][2]), total)
        first = last
    return crcs


def _descriptor(file) -> Optional[int]:
    """The descriptor to read ``file`` by position from, on several threads;
    None when it has none (bytes in memory) or the system reads otherwise."""
    if not hasattr(_index, "read_checked"):
        return None
    try:
        return file.fileno()
    except (AttributeError, OSError):  # io.UnsupportedOperation is an OSError
        return None


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
    if metric is not None and metric_table.resolve(metric)[0] != kind:
        raise ValueError(
            f"the file holds an index of {kind} points; it cannot be loaded under the metric "
            f"{metric_table.describe(metric)!r}"
        )
    if kind == "object" and not allow_pickle:
        raise ValueError(
            "the file holds Python objects, stored by pickle, and loading it would unpickle them "
            "(which runs code of the file's choosing): pass allow_pickle=True to load a file "
            "from a trusted source"
        )


def _section_layout(header, version: int):
    """(name, dtype, shape, size, offset, checksum) of every section listed."""
    if not isinstance(header, dict):
        _fail("its header is not an object")
    kind = header.get("kind")
    if kind not in _SECTIONS:
        _fail(f"unknown kind {kind!r}")
    for field in ("count", "next_id"):
        if not is_count(header.get(field)):
            _fail(f"the header's {field} is not an integer in [0, 2**63 - 1]")
    allowed = _SECTIONS[kind]
    listed = header.get("sections")
    if not isinstance(listed, list):
        _fail("the header lists no sections")
    layout: List[Tuple[str, np.dtype, Tuple[int, ...], int, int, int]] = []
    for section in listed:
        if not isinstance(section, dict):
            _fail("a section is not an object")
        name, dtype, shape = section.get("name"), section.get("dtype"), section.get("shape")
        if not isinstance(name, str) or not isinstance(dtype, str):
            _fail(f"unexpected section {name!r} of type {dtype!r}")
        tree = version >= 2 and name.startswith(_TREE_PREFIX)
        if dtype not in (_TREE_TYPES if tree else allowed.get(name, ())):
            _fail(f"unexpected section {name!r} of type {dtype!r}")
        if any(name == seen[0] for seen in layout):
            _fail(f"the section {name!r} appears twice")
        if not isinstance(shape, list) or len(shape) > 2 or not all(is_count(n) for n in shape):
            _fail(f"the section {name!r} has no valid shape")
        size = np.dtype(dtype).itemsize
        for n in shape:
            size *= n
        offset: Any = 0
        checksum: Any = 0
        if version >= 2:
            offset, checksum = section.get("offset"), section.get("checksum")
            if not is_count(offset) or offset % ALIGNMENT:
                _fail(f"the section {name!r} has no valid offset")
            if not is_count(checksum) or checksum >= 2**32:
                _fail(f"the section {name!r} has no valid checksum")
        layout.append((name, np.dtype(dtype), tuple(shape), size, offset, checksum))
    for name in _NEEDED[kind]:
        if not any(name == seen[0] for seen in layout):
            _fail(f"the section {name!r} is missing")
    return layout


def _check_offsets(sections, first: int, size: int) -> None:
    """Sections in file order, apart, inside the file, the last one ending it."""
    end = first
    for name, _, _, section_size, offset, _ in sections:
        if offset < end:
            _fail(f"the section {name!r} overlaps what comes before it")
        if offset - end >= ALIGNMENT:
            _fail(f"{offset - end} unexpected bytes precede the section {name!r}")
        end = offset + section_size
        if end > size:
            _fail(f"it is truncated: {end} bytes expected, {size} found")
    if end != size:
        _fail(f"{size - end} bytes follow the last section")


def _state(header, arrays, metric):
    """The index state of a file's checked header and sections."""
    kind, count = header["kind"], header["count"]
    ids = arrays["ids"]
    if ids.shape != (count,):
        _fail(f"{ids.shape[0] if ids.ndim == 1 else ids.shape} ids for {count} points")
    # Repeated ids are refused where the points are stored; under a tree
    # that restore also refuses ids out of range and keeps the next id above
    # them, which saves two passes over the ids here.
    if count and not _holds_tree(arrays):
        if ids.min() < 0:
            _fail("its ids are negative")
        if header["next_id"] < int(ids.max()) + 1:
            _fail("its next id is not above its ids")
    saved = header.get("metric")
    state_arrays: Dict[str, Any] = {"ids": ids}
    dtype: Optional[str] = None
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
            if not callable(metric):
                _fail("its pickled metric is not callable")
        objects = pickle.loads(arrays["objects"].tobytes())
        if not isinstance(objects, list) or len(objects) != count:
            _fail("its objects do not match its ids")
        state_arrays["objects"] = objects
    else:
        if saved not in metric_table.names(kind):
            _fail(f"unknown {kind} metric {saved!r}")
        if metric is not None and metric_table.resolve(metric)[1] != saved:
            raise ValueError(f"the index was saved under {saved!r}; it cannot be loaded under {metric!r}")
        metric = saved
        if kind == "bits":
            codes = arrays["codes"]
            if codes.ndim != 2 or codes.shape[0] != count or (count and codes.shape[1] == 0):
                _fail(f"codes of shape {codes.shape} for {count} points")
            state_arrays["codes"] = codes
        elif kind == "vector":
            dtype = header.get("dtype")
            points = arrays["points"]
            if dtype not in ("float64", "float32") or points.dtype != np.dtype(dtype).newbyteorder("<"):
                _fail(f"points of type {points.dtype} for dtype {dtype!r}")
            if points.ndim != 2 or points.shape[0] != count or (count and points.shape[1] == 0):
                _fail(f"points of shape {points.shape} for {count} points")
            state_arrays["points"] = points
        else:
            starts, code_points = arrays["starts"], arrays["code_points"]
            if starts.shape != (count + 1,) or starts[0] != 0 or starts[-1] != len(code_points):
                _fail("its string offsets do not cover its code points")
            if count and np.any(np.diff(starts) < 0):
                _fail("its string offsets are not ascending")
            if code_points.size and (code_points.max() > 0x10FFFF):
                _fail("a code point is beyond U+10FFFF")
            state_arrays["starts"], state_arrays["code_points"] = starts, code_points
    for name, array in arrays.items():
        if name.startswith(_TREE_PREFIX):
            state_arrays[name] = array
    return IndexState(kind, metric, dtype, header["next_id"], state_arrays)
