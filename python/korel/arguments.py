"""Checks of the arguments korel.Index and korel.distributed take: each
returns the value in the form the compiled module takes, or raises
TypeError or ValueError naming the argument and the problem."""

import functools
import operator
import os
import sys
from typing import Any

import numpy as np

DTYPES = ("float64", "float32")

_INT64 = np.iinfo(np.int64)


def dtype_name(dtype: Any) -> str:
    """The canonical name of a storage dtype given as a name or a NumPy dtype."""
    try:
        name = np.dtype(dtype).name
    except TypeError:
        name = None
    if name not in DTYPES or isinstance(dtype, bool):
        raise ValueError(f"dtype must be 'float64' or 'float32', got {dtype!r}")
    return name


def count(value: Any, what: str) -> int:
    """A non-negative integer (not a float, not a bool-like float)."""
    if type(value) is int and value >= 0:  # the common case, checked first: single queries feel it
        return value
    if isinstance(value, (float, np.floating)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{what} must be non-negative, got {number}")
    return number


def radius(value: Any) -> float:
    if type(value) is float:
        return value
    if isinstance(value, (str, bytes)):
        raise TypeError(f"radius must be a number, not {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"radius must be a number, not {type(value).__name__}") from None
    except OverflowError:
        raise ValueError(f"radius {value} is out of range: it must fit in a float64") from None


def k(value: Any) -> int:
    """k as the native search takes it: answers hold min(k, len(index))
    entries, so a k beyond any index is the largest index."""
    if type(value) is int and 0 <= value <= sys.maxsize:
        return value
    return min(count(value, "k"), sys.maxsize)


@functools.lru_cache(maxsize=None)
def cores() -> int:
    """The machine's cores, asked once: the question costs a system call."""
    return os.cpu_count() or 1


def workers(value: Any) -> int:
    """Threads of a batch; None means every core."""
    if value is None:
        return cores()
    number = count(value, "workers")
    if number < 1:
        raise ValueError(f"workers must be at least 1, got {number}")
    if number > sys.maxsize:
        raise ValueError(f"workers must be at most {sys.maxsize}, got {number}")
    return number


def point_id(value: Any) -> int:
    if isinstance(value, (float, np.floating, bool, np.bool_)):
        raise TypeError(f"an id must be an integer, not {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"an id must be an integer, not {type(value).__name__}") from None
    if not _INT64.min <= number <= _INT64.max:
        raise ValueError(f"id {number} is out of range: ids are int64")
    return number


def ids(values: Any, expected: int) -> np.ndarray:
    """``expected`` ids as a contiguous int64 array."""
    if not isinstance(values, np.ndarray) and any(isinstance(v, (bool, np.bool_)) for v in values):
        raise TypeError("an id must be an integer, not bool")
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"ids must be one-dimensional, got an array of shape {array.shape}")
    if array.dtype.kind == "b":
        raise TypeError("ids must be integers, got dtype bool")
    if array.size and array.dtype.kind not in "iu":
        if array.dtype.kind != "O":
            raise TypeError(f"ids must be integers, got dtype {array.dtype}")
        array = np.array([point_id(value) for value in array], dtype=np.int64)
    if len(array) != expected:
        raise ValueError(f"got {len(array)} ids for {expected} points")
    if array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError("ids must fit in int64")
    return np.ascontiguousarray(array, dtype=np.int64)
