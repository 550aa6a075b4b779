"""Distance functions in C++, for ``korel.Index`` and
``NearestNeighborsKorel.set_distance_function``.

Passed to ``NearestNeighborsKorel``, each one is called directly from C++,
with no Python call per distance evaluation; passed to ``korel.Index``, each
stands for its name (``Index(korel.metrics.euclidean)`` is
``Index("euclidean")``). Each is a metric and returns exactly 0.0 for two
equal points. Metrics that need points of equal length raise ValueError
naming both lengths. Elements are compared as floats: NaN equals nothing.
``bit_hamming`` measures packed bit codes (bytes, or ints as 64-bit codes)
and stands for ``Index("bit_hamming")``; ``NearestNeighborsKorel``, whose
points are floats, cannot use it.

>>> from korel import metrics
>>> metrics.euclidean([0.0, 0.0], [3.0, 4.0])
5.0
"""

from ._index import (
    angular,
    bit_hamming,
    chebyshev,
    euclidean,
    hamming,
    haversine,
    levenshtein,
    manhattan,
    set_simd_level,
    simd_level,
)

__all__ = [
    "angular",
    "bit_hamming",
    "chebyshev",
    "euclidean",
    "hamming",
    "haversine",
    "levenshtein",
    "manhattan",
    "set_simd_level",
    "simd_level",
]

for _function in (angular, bit_hamming, chebyshev, euclidean, hamming, haversine, levenshtein, manhattan,
                  set_simd_level, simd_level):
    _function.__module__ = __name__  # where users find them (and pickles look)
del _function
