"""Distance functions in C++ for NearestNeighborsKorel.set_distance_function.

Passed to the index, each one is called directly from C++, with no Python
call per distance evaluation. Each is a metric and returns exactly 0.0 for
two equal points. Metrics that need points of equal length raise ValueError
naming both lengths.
"""

from typing import Sequence, Union

import numpy as np

def euclidean(a: Sequence[float], b: Sequence[float]) -> float:
    """sqrt(sum_i (a[i] - b[i])**2); O(n); equal lengths."""

def manhattan(a: Sequence[float], b: Sequence[float]) -> float:
    """sum_i |a[i] - b[i]|; O(n); equal lengths."""

def chebyshev(a: Sequence[float], b: Sequence[float]) -> float:
    """max_i |a[i] - b[i]| (0 for empty points); O(n); equal lengths."""

def hamming(a: Sequence[float], b: Sequence[float]) -> float:
    """Number of positions where a and b differ; O(n); equal lengths."""

def angular(a: Sequence[float], b: Sequence[float]) -> float:
    """Angle between a and b divided by pi, in [0, 1]; the zero vector is at
    1/2 from every other vector; O(n); equal lengths, finite coordinates."""

def haversine(a: Sequence[float], b: Sequence[float]) -> float:
    """Central angle in radians between places a = (latitude, longitude) and
    b, in radians (scikit-learn's convention); times 6371.0088 gives km.
    Exactly 0 for equal places, accurate up to antipodes; 2 coordinates each."""

def levenshtein(a: Sequence[float], b: Sequence[float]) -> float:
    """Edit distance (insertions, deletions, substitutions); O(n m) time,
    O(min(n, m)) memory; any lengths."""

_BitCode = Union[bytes, bytearray, memoryview, np.ndarray, int]

def bit_hamming(a: _BitCode, b: _BitCode) -> float:
    """Number of differing bits of two packed bit codes of one length (bytes,
    a 1-D uint8 array, or an int in [0, 2**64): 8 bytes, little-endian)."""

def simd_level() -> str:
    """The instruction set the vector metrics use now: 'portable', 'avx2' or
    'avx512' (the best this machine runs, unless the environment variable
    VEXEL_SIMD named a lower one at import). Every level gives bit-identical
    results."""

def set_simd_level(name: str) -> None:
    """Use the instruction set `name` ('portable', 'avx2' or 'avx512') from now
    on, in every thread, in these metrics and in korel.Index; ValueError for
    an unknown name or one this machine does not run."""
