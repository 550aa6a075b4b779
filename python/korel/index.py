"""korel.Index: exact nearest neighbours with ids and distances, in batches.

>>> import numpy as np, korel
>>> index = korel.Index("euclidean")
>>> index.add_many(np.array([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0]]))
array([0, 1, 2])
>>> index.nearest([0.9, 0.9], k=2)
(array([0.14142136, 1.27279221]), array([2, 0]))
"""

import numbers
import os
import sys
from typing import Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from . import _index, arguments, bits, metric_table, storage
from .progress import reporter
from .state import IndexState

__all__ = ["Index"]

VECTOR_METRICS = metric_table.names("vector")
STRING_METRICS = metric_table.names("string")
NATIVE_METRICS = tuple(metric_table.NATIVE)
_LARGEST = sys.maxsize

Result = Tuple[np.ndarray, np.ndarray]
Metric = Union[str, Callable[[Any, Any], float]]
Ids = Union[Sequence[int], np.ndarray]

# The smallest magnitude that float32 rounds to infinity: 2**128 - 2**103,
# halfway between its largest finite value and 2**128.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103


def _first_cell(array: np.ndarray, test: Callable[[np.ndarray], np.ndarray]) -> Optional[Tuple[int, int]]:
    """(row, column) of the first cell of a 2-D ``array`` where ``test`` holds,
    tested in blocks of rows so that the temporaries stay small."""
    block = 1 << 14
    for start in range(0, len(array), block):
        hits = test(array[start : start + block])
        if hits.any():
            row, column = np.argwhere(hits)[0]
            return start + int(row), int(column)
    return None


def padded_answer(count: int, k: int) -> Result:
    """An answer of ``count`` queries of ``k`` neighbours, all padding."""
    try:
        return np.full((count, k), np.inf), np.full((count, k), -1, dtype=np.int64)
    except (MemoryError, ValueError):
        raise ValueError(
            f"k={k} is too large: an answer of {count} × {k} neighbours cannot be allocated"
        ) from None


def pad_answer(answer: Result, k: int, padded: Optional[Result] = None) -> Result:
    """``answer``, of min(k, len(index)) columns, padded to k columns with
    inf and -1 (into ``padded`` when already allocated)."""
    distances, ids = answer
    width = distances.shape[1]
    if width == k:
        return answer
    if padded is None:
        padded = padded_answer(distances.shape[0], k)
    padded[0][:, :width] = distances
    padded[1][:, :width] = ids
    return padded


def nearest_answers(index: "Index", points: Any, k: int, workers: Optional[int] = None) -> Result:
    """The ``k`` nearest of every query as ``Index.query`` finds them, but
    unpadded: arrays of shape ``(len(points), min(k, len(index)))``. For
    callers that merge several answers and pad once (korel.distributed)."""
    return index._core.query(index._points(points), arguments.k(k), arguments.workers(workers))


def prepared_points(index: "Index", points: Any) -> Any:
    """``points`` checked and converted as ``index`` takes a batch of
    queries (a 2-D float64 array, a list of str or a list of objects), so
    that several indexes of the same metric can take one converted batch."""
    return index._points(points)


def prepared_to_store(index: "Index", points: Any) -> Any:
    """``points`` checked and converted as ``index`` stores a batch."""
    return index._points(points, storing=True)


def next_id(index: "Index") -> int:
    """The first id ``index`` never used: the id its next point gets."""
    return int(index._core.next_id)


def state_of(index: "Index") -> IndexState:
    """The state of ``index`` (its points and its tree copied out)."""
    *exported, tree = index._core.export(tree=True)
    names = {
        "vector": ("ids", "points"),
        "string": ("ids", "starts", "code_points"),
        "bits": ("ids", "codes"),
        "object": ("ids", "objects"),
    }
    arrays = dict(zip(names[index._kind], exported))
    arrays.update(tree or {})
    dtype = index._dtype if index._kind == "vector" else None
    return IndexState(index._kind, index._metric, dtype, int(index._core.next_id), arrays)


def from_pickle(content: bytes) -> "Index":
    """The index of a pickle (``Index.__reduce__``): whoever unpickles has
    chosen to run what the pickle holds."""
    return _narrowed(_from_file(storage.from_bytes(content, allow_pickle=True)))


def _narrowed(index: "Index") -> "Index":
    """``index``, once the rows it restored have all arrived: float64 rows
    that float32 holds exactly are then kept as float32."""
    if index._kind == "vector" and index._dtype == "float64":
        index._core.narrow()
    return index


def _from_file(state: IndexState, mapped: bool = False) -> "Index":
    try:
        return from_state(state, mapped=mapped)
    except (TypeError, ValueError) as error:
        raise ValueError(f"not a valid korel index file: its points cannot be stored: {error}") from None


def from_state(state: IndexState, *, mapped: bool = False) -> "Index":
    """A new Index holding ``state``: ValueError (or TypeError) when the
    state cannot be stored as it is (a metric of the wrong kind, points
    that do not fit their ids, a damaged tree). With a tree the points go
    back under it, measured by nothing; without one, the tree is built.
    Vectors with a tree are read in place from the array that holds them,
    unscanned, until a change copies them (the state's arrays are taken
    over: leave them unchanged); with ``mapped`` (a numpy.memmap of a file)
    the index refuses changes."""
    index = Index(state.metric, dtype=state.dtype or "float64")
    if index._kind != state.kind:
        raise ValueError(f"a state of {state.kind} points cannot be held under the metric {state.metric!r}")
    arrays = state.arrays
    tree = {name: array for name, array in arrays.items() if name.startswith("tree_")}
    core = index._core
    if state.kind == "string":
        starts, code_points = arrays["starts"], arrays["code_points"]
        ids = arguments.ids(arrays["ids"], len(starts) - 1)
        if tree:
            core.restore(starts, code_points, ids, tree)
        else:
            texts = [
                code_points[starts[i] : starts[i + 1]].tobytes().decode("utf-32-le", "surrogatepass")
                for i in range(len(starts) - 1)
            ]
            core.add(index._points(texts, storing=True), ids)
    elif state.kind == "vector" and (tree or mapped):
        # Rows with their tree go back as they are: they were checked when
        # they were first stored, and a file's checksums show them unchanged
        # (a scan for NaN would cost as much as reading them; a forged NaN
        # row is an unmeasurable point, like any NaN distance).
        points = arrays["points"]
        if index._metric == "haversine" and points.ndim == 2 and points.shape[1] != 2:
            raise ValueError(f"haversine measures places of 2 coordinates, not {points.shape[1]}")
        ids = arguments.ids(arrays["ids"], len(points))
        core.restore(points, ids, tree, mapped)
    else:
        name = {"vector": "points", "bits": "codes", "object": "objects"}[state.kind]
        points = index._points(arrays[name], storing=True)
        ids = arguments.ids(arrays["ids"], len(points))
        if tree:
            core.restore(points, ids, tree)
        else:
            core.add(points, ids)
    core.next_id = state.next_id
    return index


class Index:
    """An exact nearest-neighbour index for any metric.

    ``metric`` chooses what the points are:

    - ``"euclidean"``, ``"manhattan"``, ``"chebyshev"`` or ``"angular"``: vectors
      (NumPy arrays of any real dtype, or sequences of numbers), stored as rows
      of ``dtype`` (``"float64"``, or ``"float32"`` to halve memory; a float64
      index keeps rows that float32 holds exactly, whole numbers say, in half
      the memory as they are, with the same distances). The first
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
        kind, resolved = metric_table.resolve(metric)
        self._core: Any
        dtype = arguments.dtype_name(dtype)
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
        """The precision of the stored vectors (``"float64"`` or
        ``"float32"``); None for strings and objects.

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
        ids = None if id is None else np.array([arguments.point_id(id)], dtype=np.int64)
        return int(self._core.add(self._points([point], single=True, storing=True), ids)[0])

    def add_many(self, points: Iterable[Any], ids: Optional[Ids] = None, *, progress: Any = None) -> np.ndarray:
        """Adds a batch of points and returns their ids (int64). A duplicate
        id, in the batch or already stored, raises ValueError and stores
        nothing; so does any other failure of the call. ``progress``
        reports how many points are in place (see ``korel.progress``).

        >>> Index("manhattan").add_many(np.eye(3), ids=[7, 8, 9])
        array([7, 8, 9])
        """
        converted = self._points(points, storing=True)
        count = len(converted)
        checked = None if ids is None else arguments.ids(ids, count)
        return self._core.add(converted, checked, reporter(progress, "adding"))

    def remove(self, id: int) -> bool:
        """Removes the point of ``id``; False when there is none.

        >>> index = Index("euclidean"); index.add([1.0])
        0
        >>> index.remove(0), index.remove(0)
        (True, False)
        """
        return bool(self._core.remove(np.array([arguments.point_id(id)], dtype=np.int64)))

    def remove_many(self, ids: Ids) -> int:
        """Removes the points of ``ids`` and returns how many there were. A
        removal that fails (a metric that raises during the rebuild a
        removal may start, memory, Ctrl-C) removes nothing.

        >>> index = Index("euclidean"); index.add_many([[1.0], [2.0]])
        array([0, 1])
        >>> index.remove_many([0, 1, 2])
        2
        """
        array = arguments.ids(ids, len(ids))
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
            return bool(self._core.contains(arguments.point_id(id)))
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
            number = arguments.point_id(id)
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
        if type(k) is not int or not 0 <= k <= _LARGEST:  # the usual k, checked without a call
            k = arguments.k(k)
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
        if type(radius) is not float:  # a float radius needs no check, nor a call
            radius = arguments.radius(radius)
        if self._kind == "vector":
            answer = self._core.within_one(point, radius)
            if answer is not None:
                return answer
        return self._core.query_radius(self._points([point], single=True), radius, 1)[0]

    def query(
        self, points: Iterable[Any], k: int, *, workers: Optional[int] = None, progress: Any = None
    ) -> Result:
        """The ``k`` nearest points of every query: ``(distances, ids)`` of
        shape ``(len(points), k)``, padded with ``inf`` and ``-1`` where the
        index holds fewer than ``k`` points (a ``k`` whose padded answer
        cannot be allocated raises ValueError before any work). With a
        native metric the batch runs on ``workers`` threads (default: every
        core) without the GIL. ``progress`` reports how many queries are answered
        (see ``korel.progress``).

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0]])
        array([0, 1])
        >>> index.query([[0.1], [1.9]], k=3)
        (array([[0.1, 1.9, inf],
               [0.1, 1.9, inf]]), array([[ 0,  1, -1],
               [ 1,  0, -1]]))
        """
        k = arguments.count(k, "k")
        batch = self._points(points)
        workers = arguments.workers(workers)
        # A padded answer that cannot be allocated is refused before the work.
        padded = padded_answer(len(batch), k) if k > len(self._core) else None
        report = reporter(progress, "queries")
        return pad_answer(self._core.query(batch, min(k, sys.maxsize), workers, report), k, padded)

    def query_radius(
        self, points: Iterable[Any], radius: float, *, workers: Optional[int] = None, progress: Any = None
    ) -> List[Result]:
        """Every point within ``radius`` of each query: one ``(distances,
        ids)`` pair per query.

        >>> index = Index("euclidean"); index.add_many([[0.0], [2.0]])
        array([0, 1])
        >>> index.query_radius([[0.0], [5.0]], 2.0)
        [(array([0., 2.]), array([0, 1])), (array([], dtype=float64), array([], dtype=int64))]
        """
        batch, radius = self._points(points), arguments.radius(radius)
        report = reporter(progress, "queries")
        return self._core.query_radius(batch, radius, arguments.workers(workers), report)

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

        k = None if k is None else arguments.k(k)
        radius = None if radius is None else arguments.radius(radius)
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

        return graphs.pairs(self, arguments.radius(radius), workers)

    # --- saving and loading ---------------------------------------------------

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the index to ``path`` (see ``korel.storage`` for the
        format): first to a temporary file in the same folder, then renamed
        over ``path``, so a crash never leaves a half-written file there.
        The file holds the tree beside the points, so that ``load``
        measures nothing; an index that still holds removed points (not yet
        dropped by a rebuild) is written without it, since removed points
        never reach a file, and ``load`` then builds the tree.

        >>> import tempfile, pathlib
        >>> index = Index("euclidean"); index.add([1.0, 2.0])
        0
        >>> path = pathlib.Path(tempfile.mkdtemp()) / "points.korel"
        >>> index.save(path); Index.load(path)[0]
        array([1., 2.])
        """
        storage.save(state_of(self), path)

    @classmethod
    def load(
        cls,
        path: Union[str, "os.PathLike[str]"],
        metric: Optional[Metric] = None,
        *,
        allow_pickle: bool = False,
        mmap: bool = False,
        verify: bool = False,
        progress: Any = None,
    ) -> "Index":
        """Reads an index written by ``save``. Vector and string files are
        plain data. A file of Python objects stores them by pickle, and
        unpickling runs code of the file's choosing: it loads only with
        ``allow_pickle=True`` (from trusted sources only), and needs
        ``metric=`` when its callable could not be pickled. A file whose
        kind does not fit ``metric``, and a damaged or foreign file, raise
        ValueError before anything is unpickled. ``progress`` reports how
        many of the file's bytes are read (see ``korel.progress``).

        ``mmap=True`` maps the vectors of the file read-only instead of
        reading them: the index opens at once whatever its size (its
        searches then skip no row by the sums that long vectors otherwise
        keep), several processes share one copy of the rows, and the index
        refuses changes (load with ``mmap=False`` to change it). The
        header and the structure of the tree are checked as always; the
        sections' checksums only with ``verify=True`` (it reads every row).
        Files of strings or objects, and files without a tree, are read
        with ``mmap=False`` only.

        >>> import tempfile, pathlib
        >>> path = pathlib.Path(tempfile.mkdtemp()) / "words.korel"
        >>> index = Index("levenshtein"); index.add_many(["korel", "vexel"])
        array([0, 1])
        >>> index.save(path); Index.load(path).nearest("kernel")
        (array([2.]), array([0]))
        """
        report = reporter(progress, "loading")
        return _narrowed(storage.load(
            path, metric, allow_pickle=allow_pickle, mmap=mmap, verify=verify, progress=report,
            restore=lambda state: _from_file(state, mapped=mmap),
        ))

    def __reduce__(self):
        return (from_pickle, (storage.to_bytes(state_of(self), metric_required=True),))

    def __repr__(self) -> str:
        metric = self._metric if isinstance(self._metric, str) else getattr(
            self._metric, "__qualname__", repr(self._metric)
        )
        details = f", dim={self.dim}, dtype={self._dtype!r}" if self._kind == "vector" else ""
        return f"<korel.Index metric={metric!r}{details}, {len(self)} points>"

    # --- conversion ---------------------------------------------------------

    def _points(self, points, single: bool = False, storing: bool = False):
        """The canonical form of a batch (or of one point, as a batch of one);
        ``storing`` for points to store rather than queries."""
        if self._kind == "vector":
            return self._vectors(points, single, storing)
        if self._kind == "string":
            return self._strings(points, single)
        if self._kind == "bits":
            return bits.codes(points[0] if single else points, single, self._core.length)
        if not single and isinstance(points, (str, bytes)):
            raise TypeError("points must be a sequence of objects, not a single str")
        return list(points)

    def _vectors(self, points, single: bool, storing: bool) -> np.ndarray:
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
        # float32 rows for a float32 index go in as they are: never widened.
        as_float32 = storing and self._dtype == "float32" and array.dtype == np.float32
        array = np.ascontiguousarray(array, dtype=np.float32 if as_float32 else np.float64)
        found = _first_cell(array, np.isnan)
        if found is not None:
            raise ValueError(f"NaN coordinate in {what}{'' if single else f' (row {found[0]})'}")
        if self._metric in ("angular", "haversine") and _first_cell(array, np.isinf) is not None:
            raise ValueError(f"{self._metric} distance needs finite coordinates")
        if storing and self._dtype == "float32" and not as_float32:
            found = _first_cell(array, lambda block: np.isfinite(block) & (np.abs(block) >= _FLOAT32_OVERFLOW))
            if found is not None:
                raise ValueError(
                    f"coordinate {array[found]!r} (row {found[0]}) is beyond the range of float32: "
                    "it would be stored as an infinity"
                )
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
