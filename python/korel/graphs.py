"""Neighbour graphs and self-joins of the points stored in a ``korel.Index``.

Both are answered by batches of native searches on every core (serially
for a Python metric): each stored point is searched for once, with its own
search bound, and the answers are turned into a sparse graph or a list of
pairs. A pair of points is measured from both of its ends.
"""

from typing import Any, Optional, Tuple

import numpy as np

__all__ = ["neighbors_graph", "pairs"]


def _answers_without_self(index, k: Optional[int], radius: Optional[float], workers):
    """(ids, distances, neighbour ids, row lengths): each stored point's
    neighbours in ``index.ids()`` order, the point itself left out."""
    ids, points = index.stored()
    if k is not None:
        # k + 1, so that k remain once the point itself is left out; where
        # more than k + 1 points tie at its distance 0 it may not be among
        # them, and then the last one goes instead.
        distances, found = index.query(points, k + 1, workers=workers)
        keep = (found != ids[:, None]) & (found >= 0)
        extra = keep.sum(axis=1) > k
        last = extra[:, None] & (keep.cumsum(axis=1) > k)
        keep &= ~last
        lengths = keep.sum(axis=1)
        return ids, distances[keep], found[keep], lengths
    answers = index.query_radius(points, radius, workers=workers)
    lengths = np.array([len(d) for d, _ in answers], dtype=np.int64)
    distances = np.concatenate([d for d, _ in answers]) if answers else np.zeros(0)
    found = np.concatenate([i for _, i in answers]) if answers else np.zeros(0, dtype=np.int64)
    owner = np.repeat(ids, lengths)
    keep = found != owner
    lengths = np.bincount(np.repeat(np.arange(len(ids)), lengths)[keep], minlength=len(ids))
    return ids, distances[keep], found[keep], lengths


def neighbors_graph(index, k: Optional[int], radius: Optional[float], mode: str, workers) -> Any:
    """See ``Index.neighbors_graph``."""
    try:
        from scipy.sparse import csr_matrix
    except ImportError:
        raise ImportError("Index.neighbors_graph needs scipy: pip install scipy") from None
    ids, distances, found, lengths = _answers_without_self(index, k, radius, workers)
    columns = np.searchsorted(ids, found)
    data = distances if mode == "distance" else np.ones(len(distances))
    pointers = np.concatenate([[0], np.cumsum(lengths)])
    return csr_matrix((data, columns, pointers), shape=(len(ids), len(ids)))


def pairs(index, radius: float, workers) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """See ``Index.pairs``."""
    ids, distances, found, lengths = _answers_without_self(index, None, radius, workers)
    first = np.repeat(ids, lengths)
    once = first < found
    first, second, distances = first[once], found[once], distances[once]
    order = np.lexsort((second, first))
    return first[order], second[order], distances[order]
