"""Bit codes as ``korel.Index("bit_hamming")`` takes them.

A code is a run of packed bytes: ``bytes``, ``bytearray``, ``memoryview``
(any object of bytes), a 1-D uint8 array, or one row of a 2-D uint8 array. A Python int (or NumPy
integer) in [0, 2**64) is a 64-bit code: its 8 bytes, little-endian, and a
1-D array of such integers (uint64 above all) is a batch of them. Every form
becomes a 2-D uint8 array, one row a code, which is what the compiled index
takes. Arrays of booleans are refused: ``numpy.packbits`` packs them first.
"""

from typing import Any, List, Optional

import numpy as np

__all__ = ["code", "codes"]

_PACKBITS = "bit codes are packed bytes, not booleans: pack them with numpy.packbits first"
_FORMS = "a bit code is bytes, bytearray, memoryview, a 1-D uint8 array or an int in [0, 2**64)"
_LIMIT = 2**64


def _ints(values) -> np.ndarray:
    """Integers in [0, 2**64) as 8-byte little-endian codes, one row each."""
    if isinstance(values, np.ndarray):
        if values.size and values.dtype.kind == "i" and values.min() < 0:
            raise ValueError(f"an int code must be in [0, 2**64), got {values.min()}")
        array = values.astype("<u8")
    else:
        for value in values:
            if not 0 <= value < _LIMIT:
                raise ValueError(f"an int code must be in [0, 2**64), got {value}")
        array = np.array([int(value) for value in values], dtype="<u8")
    return array.view(np.uint8).reshape(len(array), 8)


def code(point: Any) -> np.ndarray:
    """One code as a 1-D uint8 array (its bytes)."""
    if isinstance(point, (bool, np.bool_)):
        raise TypeError(_PACKBITS)
    if isinstance(point, (int, np.integer)):
        return _ints([int(point)])[0]
    if isinstance(point, str):
        raise TypeError("a str is not a bit code: Index('hamming') compares str")
    if isinstance(point, np.ndarray):
        if point.dtype.kind == "b":
            raise TypeError(_PACKBITS)
        if point.ndim != 1 or point.dtype != np.uint8:
            raise TypeError(f"{_FORMS}, not an array of dtype {point.dtype} and shape {point.shape}")
        array = point
    else:
        # Any other object of bytes (bytes, bytearray, memoryview, array.array("B"), ...).
        try:
            view = memoryview(point)
        except TypeError:
            raise TypeError(f"{_FORMS}, not {type(point).__name__}") from None
        if view.format == "?":
            raise TypeError(_PACKBITS)
        if view.ndim != 1 or view.format not in ("B", "c"):
            raise TypeError(f"{_FORMS}, not a buffer of format {view.format!r} and {view.ndim} dimensions")
        array = np.frombuffer(view if view.c_contiguous else view.tobytes(), dtype=np.uint8)
    if array.size == 0:
        raise ValueError("a bit code must have at least one byte")
    return array


def _joined(items: List[Any]) -> np.ndarray:
    """Codes of one length given one by one, as rows."""
    if all(isinstance(item, (int, np.integer)) and not isinstance(item, (bool, np.bool_)) for item in items):
        return _ints([int(item) for item in items])
    rows = [code(item) for item in items]
    for row in rows:
        if len(row) != len(rows[0]):
            raise ValueError(f"bit codes must all have one length: got {len(rows[0])} and {len(row)} bytes")
    return np.stack(rows)


def codes(points: Any, single: bool = False, length: Optional[int] = None) -> np.ndarray:
    """A batch of codes (or one code, as a batch of one) as a C-contiguous
    2-D uint8 array; ``length``, the length of the stored codes, shapes an
    empty batch."""
    if single:
        return np.ascontiguousarray(code(points).reshape(1, -1))
    if isinstance(points, (bytes, bytearray, memoryview, str)):
        raise TypeError(f"points must be a batch of bit codes, not a single {type(points).__name__}")
    if isinstance(points, np.ndarray) and points.dtype.kind != "O":
        if points.dtype.kind == "b":
            raise TypeError(_PACKBITS)
        if points.ndim == 2:
            if points.dtype != np.uint8:
                raise TypeError(
                    f"bit codes as a 2-D array must be uint8 (one row a code, packed with "
                    f"numpy.packbits), got dtype {points.dtype}"
                )
            if points.shape[1] == 0:
                raise ValueError("a bit code must have at least one byte")
            return np.ascontiguousarray(points)
        if points.ndim == 1 and points.dtype.kind in "iu" and points.dtype != np.uint8:
            return _ints(points)
        if points.ndim == 1 and points.dtype == np.uint8:
            raise ValueError("a 1-D uint8 array is one bit code: give a batch as a 2-D uint8 array, one row a code")
        raise TypeError(
            f"bit codes must be a 2-D uint8 array or a 1-D array of 64-bit integers, got dtype "
            f"{points.dtype} and shape {points.shape}"
        )
    try:
        items = list(points)
    except TypeError:
        raise TypeError(f"points must be a batch of bit codes, not {type(points).__name__}") from None
    if not items:
        return np.zeros((0, length or 1), dtype=np.uint8)
    return _joined(items)
