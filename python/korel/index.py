"""korel.Index: exact nearest neighbours with ids and distances, in batches.

>>> import numpy as np, korel
>>> index = korel.Index("euclidean")
>>> index.add_many(np.array([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0]]))
array([0, 1, 2])
>>> index.nearest([0.9, 0.9], k=2)
(array([0.14142136, 1.27279221]), array([2, 0]))
"""

import numbers
import operator
import os
import sys
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _index, bits, metrics

__all__ = ["Index"]

VECTOR_METRICS = ("euclidean", "manhattan", "chebyshev", "angular", "haversine")
STRING_METRICS = ("levenshtein", "hamming")
BIT_METRICS = ("bit_hamming",)
NATIVE_METRICS = VECTOR_METRICS + STRING_METRICS + BIT_METRICS
DTYPES = ("float64", "float32")

Result = Tuple[np.ndarray, np.ndarray]
Metric = Union[str, Callable[[Any, Any], float]]
Ids = Union[Sequence[int], np.ndarray]

_INT64 = np.iinfo(np.int64)
# The smallest magnitude that float32 rounds to infinity: 2**128 - 2**103,
# halfway between its largest finite value and 2**128.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103


def _dtype_name(dtype) -> str:
    """The canonical name of a storage dtype given as a name or a NumPy dtype."""
    try:
        name = np.dtype(dtype).name
    except TypeError:
        name = None
    if name not in DTYPES or isinstance(dtype, bool):
        raise ValueError(f"dtype must be 'float64' or 'float32', got {dtype!r}")
    return name


def _padded(count: int, k: int) -> Result:
    """An answer of ``count`` queries of ``k`` neighbours, all padding."""
    try:
        return np.full((count, k), np.inf), np.full((count, k), -1, dtype=np.int64)
    except (MemoryError, ValueError):
        raise ValueError(
            f"k={k} is too large: an answer of {count} × {k} neighbours cannot be allocated"
        ) from None


def _pad(answer: Result, k: int, padded: Optional[Result] = None) -> Result:
    """``answer``, of min(k, len(index)) columns, padded to k columns with
    inf and -1 (into ``padded`` when already allocated)."""
    distances, ids = answer
    width = distances.shape[1]
    if width == k:
        return answer
    if padded is None:
        padded = _padded(distances.shape[0], k)
    padded[0][:, :width] = distances
    padded[1][:, :width] = ids
    return padded


def nearest_answers(index: "Index", points: Any, k: int, workers: Optional[int] = None) -> Result:
    """The ``k`` nearest of every query as ``Index.query`` finds them, but
    unpadded: arrays of shape ``(len(points), min(k, len(index)))``. For
    callers that merge several answers and pad once (korel.distributed)."""
    return index._core.query(index._points(points), _k(k), _workers(workers))


def _kind_of(name: str) -> str:
    """What the points of a native metric are."""
    if name in VECTOR_METRICS:
        return "vector"
    return "string" if name in STRING_METRICS else "bits"


def _resolve_metric(metric):
    """(kind, name or callable) for a metric given by name, as a
    korel.metrics function, or as any Python callable."""
    if isinstance(metric, str):
        if metric not in NATIVE_METRICS:
            raise ValueError(
                f"unknown metric {metric!r}: expected one of {', '.join(NATIVE_METRICS)}, "
                "or a Python callable"
            )
        return _kind_of(metric), metric
    for name in NATIVE_METRICS:
        if metric is getattr(metrics, name):
            return _kind_of(name), name
    if not callable(metric):
        raise TypeError(
            f"metric must be a metric name or a callable, not {type(metric).__name__}"
        )
    return "object", metric


def _count(value, what: str) -> int:
    if isinstance(value, (float, np.floating)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{what} must be non-negative, got {number}")
    return number


def _radius(value) -> float:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"radius must be a number, not {type(value).__name__}")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"radius must be a number, not {type(value).__name__}") from None
    except OverflowError:
        raise ValueError(f"radius {value} is out of range: it must fit in a float64") from None


def _k(value) -> int:
    """k as the native search takes it: answers hold min(k, len(index))
    entries, so a k beyond any index is the largest index."""
    return min(_count(value, "k"), sys.maxsize)


def _workers(value) -> int:
    if value is None:
        return os.cpu_count() or 1
    number = _count(value, "workers")
    if number < 1:
        raise ValueError(f"workers must be at least 1, got {number}")
    if number > sys.maxsize:
        raise ValueError(f"workers must be at most {sys.maxsize}, got {number}")
    return number


def _id(value) -> int:
    if isinstance(value, (float, np.floating, bool, np.bool_)):
        raise TypeError(f"an id must be an integer, not {type(value).__name__}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"an id must be an integer, not {type(value).__name__}") from None
    if not _INT64.min <= number <= _INT64.max:
        raise ValueError(f"id {number} is out of range: ids are int64")
    return number


def _ids(values, count: int) -> np.ndarray:
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
        array = np.array([_id(value) for value in array], dtype=np.int64)
    if len(array) != count:
        raise ValueError(f"got {len(array)} ids for {count} points")
    if array.dtype.kind == "u" and array.size and array.max() > np.iinfo(np.int64).max:
        raise ValueError("ids must fit in int64")
    return np.ascontiguousarray(array, dtype=np.int64)


class Index:
    """An exact nearest-neighbour index for any metric.

    ``metric`` chooses what the points are:

    - ``"euclidean"``, ``"manhattan"``, ``"chebyshev"`` or ``"angular"``: vectors
      (NumPy arrays of any real dtype, or sequences of numbers), stored as rows
      of ``dtype`` (``"float64"``, or ``"float32"`` to halve memory). The first
      point added fixes the dimension. NaN coordinates are refused (no distance
      to such a point could be measured); infinite ones are stored, except
      under ``"angular"``, which needs finite coordinates.
    - ``"haversine"``: places on a sphere, rows of (latitude, longitude) in
      radians, measured by their central angle in radians (scikit-learn's
      convention: multiply by 6371.0088 for kilometres); finite coordinates.
    - ``"levenshtein"`` or ``"hamming"``: strings (``str``), compared by code
      point. Hamming distance needs strings of one length.
    - ``"bit_hamming"``: packed bit codes of one length, measured by the
      number of differing bits: ``bytes`` (or ``bytearray``, ``memoryview``,
      a 1-D uint8 array) for one code, rows of a 2-D uint8 array for many;
      a Python int in [0, 2**64) or an element of a 1-D uint64 array is a
      64-bit code (8 bytes, little-endian). ``index[id]`` gives ``bytes``.
      Boolean arrays are refused: ``numpy.packbits`` packs them.
    - any Python callable ``metric(a, b) -> float``: any Python objects, which
      the callable receives exactly as they were added (stored by reference:
      do not change them while they are in the index).

    The functions of ``korel.metrics`` stand for their names. Points get int64
    ids: your own, or 0, 1, 2, ... (never reused). Every answer is a pair
    ``(distances, ids)`` sorted by distance, ties by ascending id, so answers
    do not depend on the order in which points were added.

    >>> index = Index("levenshtein")
    >>> index.add_many(["kitten", "sitting", "mitten"])
    array([0, 1, 2])
    >>> index.nearest("kitchen", k=2)
    (array([2., 3.]), array([0, 2]))
    """

    __slots__ = ("_core", "_kind", "_metric", "_dtype", "__weakref__")

    def __init__(self, metric: Metric, *, dtype: str = "float64"):
        kind, resolved = _resolve_metric(metric)
        self._core: Any
        dtype = _dtype_name(dtype)
        if kind != "vector" and dtype != "float64":
            raise ValueError(f"dtype applies to vector metrics only, not to {metric!r}")
        self._kind = kind
        self._metric = resolved
        self._dtype = dtype
        if kind == "vector":
            core = _index.VectorIndex64 if dtype == "float64" else _index.VectorIndex32
            self._core = core(resolved)
        elif kind == "string":
            self._core = _index.StringIndex(resolved)
        elif kind == "bits":
            self._core = _index.BitIndex(resolved)
        else:
            self._core = _index.ObjectIndex(resolved)

    # --- properties ----------------------------------------------------------

    @property
    def metric(self) -> Metric:
        """The metric's name, or the Python callable.

        >>> Index("euclidean").metric
        'euclidean'
        """
        return self._metric

    @property
    def dim(self) -> Optional[int]:
        """The dimension of the stored vectors: None while the index is empty,
        and for strings, bit codes and objects.

        >>> index = Index("euclidean"); index.add([1.0, 2.0, 3.0]); index.dim
        0
        3
        """
        return self._core.dim if self._kind == "vector" else None

    @property
    def dtype(self) -> Optional[str]:
        """How vectors are stored (``"float64"`` or ``"float32"``); None for
        strings and objects.

        >>> Index("euclidean", dtype="float32").dtype
        'float32'
        """
        return self._dtype if self._kind == "vector" else None

    # --- points in ---------------------------------------------------------

    def add(self, point: Any, id: Optional[int] = None) -> int:
        """Adds one point and returns its id.

        >>> index = Index("euclidean")
        >>> index.add([1.0, 2.0]), index.add([3.0, 4.0], id=10), index.add([5.0, 6.0])
        (0, 10, 11)
        """
        ids = None if id is None else np.array([_id(id)], dtype=np.int64)
        return int(self._core.add(self._storable(self._points([point], single=True)), ids)[0])

    def add_many(self, points: Iterable[Any], ids: Optional[Ids] = None) -> np.ndarray:
        """Adds a batch of points and returns their ids (int64). A duplicate
        id, in the batch or already stored, raises ValueError and stores
        nothing; so does any other failure of the call.

        >>> Index("manhattan").add_many(np.eye(3), ids=[7, 8, 9])
        array([7, 8, 9])
        """
        converted = self._storable(self._points(points))
        count = len(converted)
        return self._core.add(converted, None if ids is None else _ids(ids, count))

    def remove(self, id: int) -> bool:
        """Removes the point of ``id``; False when there is none.

        >>> index = Index("euclidean"); index.add([1.0])
        0
        >>> index.remove(0), index.remove(0)
        (True, False)
        """
        return bool(self._core.remove(np.array([_id(id)], dtype=np.int64)))

    def remove_many(self, ids: Ids) -> int:
        """Removes the points of ``ids`` and returns how many there were. A
        removal that fails (a metric that raises during the rebuild a
        removal may start, memory, Ctrl-C) removes nothing.

        >>> index = Index("euclidean"); index.add_many([[1.0], [2.0]])
        array([0, 1])
        >>> index.remove_many([0, 1, 2])
        2
        """
        array = _ids(ids, len(ids))
        return int(self._core.remove(array))

    def clear(self) -> None:
        """Removes every point (new ids still continue after the old ones).

        >>> index = Index("euclidean"); index.add([1.0]); index.clear(); len(index)
        0
        0
        """
        self._core.clear()

    # --- what is stored -----------------------------------------------------

    def __len__(self) -> int:
        """The number of stored points.

        >>> len(Index("euclidean"))
        0
        """
        return len(self._core)

    def __contains__(self, id: object) -> bool:
        """Whether a point has this id.

        >>> index = Index("euclidean"); index.add([1.0])
        0
        >>> 0 in index, 1 in index
        (True, False)
        """
        try:
            return bool(self._core.contains(_id(id)))
        except (TypeError, ValueError):
            return False

    def __getitem__(self, id: int) -> Any:
        """The stored point of ``id``: a NumPy array (of the index's dtype), a
        str, the bytes of a bit code or the object itself; KeyError for an
        unknown id.

        >>> index = Index("levenshtein"); index.add("korel")
        0
        >>> index[0]
        'korel'
        """
        try:
            number = _id(id)
        except ValueError:
            raise KeyError(id) from None
        return self._core.get(number)

    def ids(self) -> np.ndarray:
        """Every stored id, ascending (int64).

        >>> index = Index("euclidean"); index.add_many([[1.0], [2.0]], ids=[5, 3]); index.ids()
        array([5, 3])
        array([3, 5])
        """
        return self._core.ids()

    # --- queries ------------------------------------------------------------

    def nearest(self, point: Any, k: int = 1) -> Result:
        """The ``k`` nearest points: ``(distances, ids)``, two 1-D arrays of
        length ``min(k, len(index))``, nearest first, ties by ascending id.
        A vector given as a contiguous float64 NumPy array is searched as it
        is; any other form is converted first (a few microseconds more).

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0], [-2.0]])
        array([0, 1, 2])
        >>> index.nearest([0.5], k=2)
        (array([0.5, 1.5]), array([0, 1]))
        """
        k = _k(k)
        if self._kind == "vector":
            answer = self._core.nearest_one(point, k)  # a plain float64 vector goes straight in
            if answer is not None:
                return answer
        distances, ids = self._core.query(self._points([point], single=True), k, 1)
        return distances[0], ids[0]

    def within(self, point: Any, radius: float) -> Result:
        """Every point at distance at most ``radius``: ``(distances, ids)``,
        nearest first, ties by ascending id. A negative or NaN radius finds
        nothing.

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0], [-2.0]])
        array([0, 1, 2])
        >>> index.within([0.0], 2.0)
        (array([0., 2., 2.]), array([0, 1, 2]))
        """
        radius = _radius(radius)
        if self._kind == "vector":
            answer = self._core.within_one(point, radius)
            if answer is not None:
                return answer
        return self._core.query_radius(self._points([point], single=True), radius, 1)[0]

    def query(self, points: Iterable[Any], k: int, *, workers: Optional[int] = None) -> Result:
        """The ``k`` nearest points of every query: ``(distances, ids)`` of
        shape ``(len(points), k)``, padded with ``inf`` and ``-1`` where the
        index holds fewer than ``k`` points (a ``k`` whose padded answer
        cannot be allocated raises ValueError before any work). With a
        native metric the batch runs on ``workers`` threads (default: every
        core) without the GIL.

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0]])
        array([0, 1])
        >>> index.query([[0.1], [1.9]], k=3)
        (array([[0.1, 1.9, inf],
               [0.1, 1.9, inf]]), array([[ 0,  1, -1],
               [ 1,  0, -1]]))
        """
        k = _count(k, "k")
        batch = self._points(points)
        workers = _workers(workers)
        # A padded answer that cannot be allocated is refused before the work.
        padded = _padded(len(batch), k) if k > len(self._core) else None
        return _pad(self._core.query(batch, min(k, sys.maxsize), workers), k, padded)

    def query_radius(
        self, points: Iterable[Any], radius: float, *, workers: Optional[int] = None
    ) -> List[Result]:
        """Every point within ``radius`` of each query: one ``(distances,
        ids)`` pair per query.

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0]])
        array([0, 1])
        >>> index.query_radius([[0.0], [5.0]], 2.0)
        [(array([0., 2.]), array([0, 1])), (array([], dtype=float64), array([], dtype=int64))]
        """
        return self._core.query_radius(self._points(points), _radius(radius), _workers(workers))

    # --- graphs of the stored points --------------------------------------------

    def stored(self) -> Tuple[np.ndarray, Any]:
        """Every stored id, ascending, and the stored points in that order:
        a 2-D array of vectors, a list of str, a 2-D uint8 array of bit
        codes (one row a code) or a list of objects.

        >>> index = Index("euclidean"); index.add_many([[2.0], [1.0]], ids=[9, 4])
        array([9, 4])
        >>> index.stored()
        (array([4, 9]), array([[1.],
               [2.]]))
        """
        exported = self._core.export()
        ids = exported[0]
        order = np.argsort(ids, kind="stable")
        if self._kind in ("vector", "bits"):
            return ids[order], exported[1][order]
        if self._kind == "string":
            starts, code_points = exported[1], exported[2]
            texts = [
                code_points[starts[i] : starts[i + 1]].tobytes().decode("utf-32-le", "surrogatepass")
                for i in order.tolist()
            ]
            return ids[order], texts
        objects = exported[1]
        return ids[order], [objects[i] for i in order.tolist()]

    def neighbors_graph(
        self,
        k: Optional[int] = None,
        *,
        radius: Optional[float] = None,
        mode: str = "distance",
        workers: Optional[int] = None,
    ) -> Any:
        """The k-nearest-neighbour graph (``k=``) or the radius graph
        (``radius=``) of the stored points, each point itself left out, as a
        ``scipy.sparse.csr_matrix`` whose rows and columns follow ``ids()``:
        distances (``mode="distance"``, zero distances kept as explicit
        entries) or ones (``mode="connectivity"``), each row nearest first,
        ties by id. Needs scipy.

        >>> index = Index("euclidean"); index.add_many([[0.0], [1.0], [3.0]])
        array([0, 1, 2])
        >>> index.neighbors_graph(1).toarray()
        array([[0., 1., 0.],
               [1., 0., 0.],
               [0., 2., 0.]])
        """
        if (k is None) == (radius is None):
            raise ValueError("neighbors_graph takes exactly one of k and radius")
        if mode not in ("distance", "connectivity"):
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {mode!r}")
        from . import graphs

        k = None if k is None else _k(k)
        radius = None if radius is None else _radius(radius)
        return graphs.neighbors_graph(self, k, radius, mode, workers)

    def pairs(self, radius: float, *, workers: Optional[int] = None) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Every pair of stored points within ``radius`` of each other, once:
        ``(first_ids, second_ids, distances)`` with ``first_ids <
        second_ids``, sorted by ``(first_ids, second_ids)``. Finds
        near-duplicates in one call.

        >>> index = Index("levenshtein"); index.add_many(["korel", "koral", "vexel"])
        array([0, 1, 2])
        >>> index.pairs(1)
        (array([0]), array([1]), array([1.]))
        """
        from . import graphs

        return graphs.pairs(self, _radius(radius), workers)

    # --- saving and loading ---------------------------------------------------

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the index to ``path`` (see ``korel.storage`` for the
        format): first to a temporary file in the same folder, then renamed
        over ``path``, so a crash never leaves a half-written file there.

        >>> import tempfile, pathlib
        >>> index = Index("euclidean"); index.add([1.0, 2.0])
        0
        >>> path = pathlib.Path(tempfile.mkdtemp()) / "points.korel"
        >>> index.save(path); Index.load(path)[0]
        array([1., 2.])
        """
        from . import storage

        self._require_file_format()
        storage.save(self, path)

    @classmethod
    def load(
        cls,
        path: Union[str, "os.PathLike[str]"],
        metric: Optional[Metric] = None,
        *,
        allow_pickle: bool = False,
    ) -> "Index":
        """Reads an index written by ``save``. Vector and string files are
        plain data. A file of Python objects stores them by pickle, and
        unpickling runs code of the file's choosing: it loads only with
        ``allow_pickle=True`` (from trusted sources only), and needs
        ``metric=`` when its callable could not be pickled. A file whose
        kind does not fit ``metric``, and a damaged or foreign file, raise
        ValueError before anything is unpickled.

        >>> import tempfile, pathlib
        >>> path = pathlib.Path(tempfile.mkdtemp()) / "words.korel"
        >>> index = Index("levenshtein"); index.add_many(["korel", "vexel"])
        array([0, 1])
        >>> index.save(path); Index.load(path).nearest("kernel")
        (array([2.]), array([0]))
        """
        from . import storage

        return storage.load(path, metric, allow_pickle=allow_pickle)

    def __reduce__(self):
        from . import storage

        self._require_file_format()
        return (storage.from_pickle, (storage.to_bytes(self, metric_required=True),))

    def __repr__(self) -> str:
        metric = self._metric if isinstance(self._metric, str) else getattr(
            self._metric, "__qualname__", repr(self._metric)
        )
        details = f", dim={self.dim}, dtype={self._dtype!r}" if self._kind == "vector" else ""
        return f"<korel.Index metric={metric!r}{details}, {len(self)} points>"

    def _require_file_format(self) -> None:
        """Refuses to write what the file format cannot hold yet: bit codes."""
        if self._kind == "bits":
            raise NotImplementedError(
                "an index of bit codes cannot be saved or pickled yet: rebuild it from "
                "Index.stored() (ids, codes) with add_many(codes, ids=ids)"
            )

    # --- conversion ---------------------------------------------------------

    def _storable(self, points):
        """``points``, refused when a finite coordinate would be stored as
        an infinity (beyond the range of float32)."""
        if self._kind == "vector" and self._dtype == "float32" and len(points):
            beyond = np.isfinite(points) & (np.abs(points) >= _FLOAT32_OVERFLOW)
            if beyond.any():
                row = int(np.argwhere(beyond)[0][0])
                raise ValueError(
                    f"coordinate {points[row][np.argwhere(beyond)[0][1]]!r} (row {row}) is beyond "
                    "the range of float32: it would be stored as an infinity"
                )
        return points

    def _points(self, points, single: bool = False):
        """The canonical form of a batch (or of one point, as a batch of one)."""
        if self._kind == "vector":
            return self._vectors(points, single)
        if self._kind == "string":
            return self._strings(points, single)
        if self._kind == "bits":
            return bits.codes(points[0] if single else points, single, self._core.length)
        if not single and isinstance(points, (str, bytes)):
            raise TypeError("points must be a sequence of objects, not a single str")
        return list(points)

    def _vectors(self, points, single: bool) -> np.ndarray:
        what = "point" if single else "points"
        if single:
            points = points[0]
            if isinstance(points, (str, bytes)):
                raise TypeError(
                    f"a {type(points).__name__} is not a vector: this index measures vectors "
                    f"under {self._metric!r}"
                )
        elif isinstance(points, (str, bytes)):
            raise TypeError(f"points must be vectors, not a {type(points).__name__}")
        try:
            array = np.asarray(points)
        except ValueError as error:
            raise ValueError(f"{what} must all have one length: {error}") from None
        if array.dtype.kind in "US":
            raise TypeError(f"{what} must be numeric, got strings")
        if array.dtype.kind not in "biuf":
            if array.dtype.kind != "O" or not all(isinstance(x, numbers.Real) for x in array.flat):
                raise TypeError(f"{what} must be numeric, got dtype {array.dtype}")
            array = array.astype(np.float64)
        if single:
            if array.ndim != 1:
                raise ValueError(f"a point must be one-dimensional, got an array of shape {array.shape}")
            array = array.reshape(1, -1)
        elif array.ndim == 1 and array.size == 0:
            array = array.reshape(0, self.dim or 1)
        elif array.ndim != 2:
            raise ValueError(
                f"points must be a 2-D array (one point per row), got {array.ndim}-D "
                f"of shape {array.shape}"
            )
        if array.shape[0] == 0 and not single:
            return np.zeros((0, self._core.dim or max(array.shape[1], 1)))
        if array.shape[1] == 0:
            raise ValueError("a point must have at least one coordinate")
        if self._metric == "haversine" and array.shape[1] != 2:
            raise ValueError(
                f"haversine measures places of 2 coordinates (latitude, longitude), "
                f"not {array.shape[1]}"
            )
        dim = self._core.dim
        if dim is not None and array.shape[1] != dim:
            raise ValueError(
                f"{what} of dimension {array.shape[1]} do not fit this index of dimension {dim}"
                if not single
                else f"a point of dimension {array.shape[1]} does not fit this index of dimension {dim}"
            )
        array = np.ascontiguousarray(array, dtype=np.float64)
        if np.isnan(array).any():
            row = int(np.argwhere(np.isnan(array))[0][0])
            raise ValueError(f"NaN coordinate in {what}{'' if single else f' (row {row})'}")
        if self._metric in ("angular", "haversine") and not np.isfinite(array).all():
            raise ValueError(f"{self._metric} distance needs finite coordinates")
        return array

    def _strings(self, points, single: bool) -> List[str]:
        texts = [points[0]] if single else points
        if not single and isinstance(texts, str):
            raise TypeError("points must be a sequence of str, not a single str")
        try:
            texts = list(texts)
        except TypeError:
            raise TypeError(f"points must be a sequence of str, not {type(texts).__name__}") from None
        for text in texts:
            if not isinstance(text, str):
                other = (
                    "use 'bit_hamming' for packed bit codes (bytes, uint8 rows, 64-bit ints)"
                    if self._metric == "hamming"
                    else "use a vector metric or korel.metrics for numbers"
                )
                raise TypeError(f"{self._metric} compares str, not {type(text).__name__}: {other}")
        return texts
