"""korel.distributed: one exact index sharded over the workers of a Dask cluster.

Each shard is a plain ``korel.Index`` held by a Dask actor on a worker. Points
go to a shard by a hash of their id; a query goes to every shard at once, and
the shards' answers are merged in the order ``Index`` itself uses (distance,
NaN last, then ascending id), so the answers are exactly those of one
``Index`` holding every point.

Dask is an optional dependency: ``pip install korel[distributed]``. The same
code runs on a ``LocalCluster``, under dask-jobqueue or on Kubernetes.

Failure model: the shards live only in the workers' memory. When a worker
holding a shard dies, every call raises ``ShardLost`` naming the shards that
are gone (never a partial answer), and the index comes back with
``ShardedIndex.load`` from its last ``save``: points added or removed since
that save are lost, so save after every batch you cannot afford to redo.

>>> from distributed import Client, LocalCluster
>>> import numpy as np
>>> with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
...     index = ShardedIndex(client, "euclidean")
...     index.add_many(np.array([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0]]))
...     index.query([[0.9, 0.9]], k=2)
array([0, 1, 2])
(array([[0.14142136, 1.27279221]]), array([[2, 0]]))
"""

import asyncio
import concurrent.futures
import json
import operator
import os
import pickle
import re
import secrets
import sys
import threading
import time
import uuid
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

try:
    import cloudpickle
    import distributed
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "korel.distributed needs Dask's distributed scheduler: pip install korel[distributed]"
    ) from error

from . import arguments, metric_table, storage
from .index import Index, nearest_answers, next_id, pad_answer, padded_answer, prepared_points, prepared_to_store
from .progress import reporter

__all__ = ["ShardedIndex", "ShardLost", "merge_nearest", "merge_within", "shard_of"]

Result = Tuple[np.ndarray, np.ndarray]
Metric = Union[str, Callable[[Any, Any], float]]

MANIFEST = "manifest.json"
MANIFEST_FORMAT = "korel-sharded-index"
MANIFEST_VERSION = 1
DEFAULT_TIMEOUT = 300.0

# What waiting on a Dask call raises when it took too long, on every Python.
_TIMEOUTS = (TimeoutError, asyncio.TimeoutError, concurrent.futures.TimeoutError)


class ShardLost(RuntimeError):
    """A shard's worker is gone (or did not answer in time): the index can no
    longer answer exactly. ``shards`` holds the numbers of the lost shards.
    Bring the index back with ``ShardedIndex.load`` from its last save.

    >>> try:
    ...     index.query(points, k=10)
    ... except ShardLost as lost:
    ...     index = ShardedIndex.load(client, "saved/")
    """

    def __init__(self, shards: Iterable[int], details: str = ""):
        self.shards = tuple(sorted(set(shards)))
        self.details = details
        names = ", ".join(str(s) for s in self.shards)
        super().__init__(
            f"shard{'s' if len(self.shards) > 1 else ''} {names} of the sharded index "
            f"{'are' if len(self.shards) > 1 else 'is'} lost{f' ({details})' if details else ''}: "
            "load the index from its last save with ShardedIndex.load(client, directory); "
            "the changes made since that save are lost"
        )

    def __reduce__(self):
        return (ShardLost, (self.shards, self.details))


# --- routing ------------------------------------------------------------------


def shard_of(ids: np.ndarray, shards: int) -> np.ndarray:
    """The shard of each id: the splitmix64 finaliser of the id, modulo the
    number of shards. A fixed mix rather than Python's ``hash`` (the identity
    on small ints), so ids with a common stride still spread evenly, and so
    the routing is the same in every process and every release.

    >>> shard_of(np.array([0, 1, 2, 3]), 2)
    array([1, 1, 0, 1])
    """
    z = np.asarray(ids, dtype=np.int64).astype(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    z = z ^ (z >> np.uint64(31))
    return (z % np.uint64(shards)).astype(np.int64)


# --- merging ------------------------------------------------------------------


def merge_nearest(answers: Sequence[Result], k: int) -> Result:
    """The ``k`` nearest of each query from the shards' own ``k`` nearest:
    every candidate ordered by (distance with NaN last, id), padding (id -1)
    after every real point, as ``Index.query`` orders one index's points.

    >>> merge_nearest([(np.array([[1.0, np.inf]]), np.array([[4, -1]])),
    ...                (np.array([[1.0, 2.0]]), np.array([[2, 9]]))], k=2)
    (array([[1., 1.]]), array([[2, 4]]))
    """
    distances = np.concatenate([d for d, _ in answers], axis=1)
    ids = np.concatenate([i for _, i in answers], axis=1)
    order = np.lexsort((ids, distances, ids < 0), axis=-1)[:, :k]
    return np.take_along_axis(distances, order, axis=1), np.take_along_axis(ids, order, axis=1)


def merge_within(answers: Sequence[List[Result]]) -> List[Result]:
    """Every shard's points within the radius of each query, in one list per
    query ordered by (distance, id).

    >>> merge_within([[(np.array([2.0]), np.array([5]))], [(np.array([2.0]), np.array([1]))]])
    [(array([2., 2.]), array([1, 5]))]
    """
    merged = []
    for parts in zip(*answers):
        distances = np.concatenate([d for d, _ in parts])
        ids = np.concatenate([i for _, i in parts])
        order = np.lexsort((ids, distances))
        merged.append((distances[order], ids[order]))
    return merged


# --- the shard, on a worker ---------------------------------------------------------


class _Shard:
    """One shard: a korel.Index in a Dask actor.

    Every call goes through ``call``, which answers ``(token, error, value)``.
    The token is drawn when the actor starts, so a shard that Dask recreated
    empty elsewhere is told apart from the one that holds the points. Errors
    of the work itself come back as values: anything the call raises on the
    client is then Dask's, i.e. the shard is unreachable.
    """

    def __init__(
        self,
        metric: Metric,
        path: Optional[str] = None,
        allow_pickle: bool = False,
        shard: int = 0,
        shards: int = 1,
        dtype: str = "float64",
        mmap: bool = False,
        verify: bool = False,
    ):
        self.token = secrets.token_hex(16)
        self.failure: Optional[BaseException] = None
        self.index: Index  # unset when the start failed: `call` raises first
        # Search with as many threads as the worker was given.
        try:
            worker = distributed.get_worker()
            self.threads = max(1, int(getattr(worker, "state", worker).nthreads))
        except (ValueError, AttributeError):
            self.threads = 1
        try:
            if path is None:
                self.index = Index(metric, dtype=dtype)
            else:
                self.index = Index.load(path, metric, allow_pickle=allow_pickle, mmap=mmap, verify=verify)
                ids = self.index.ids()
                homes = shard_of(ids, shards)
                if np.any(homes != shard):
                    stray = int(np.flatnonzero(homes != shard)[0])
                    raise ValueError(
                        f"the shard file {path} holds id {ids[stray]}, which belongs to shard "
                        f"{homes[stray]}, not {shard}: the manifest names the wrong file"
                    )
        except Exception as error:
            self.failure = _portable(error)

    def call(self, payload: bytes) -> Tuple[str, Optional[BaseException], Any]:
        try:
            if self.failure is not None:
                raise self.failure
            name, arguments = pickle.loads(payload)
            return self.token, None, getattr(self, "do_" + name)(*arguments)
        except Exception as error:
            return self.token, _portable(error), None

    def do_describe(self) -> Tuple[int, int, Optional[int], Metric, Optional[str]]:
        return (len(self.index), next_id(self.index), self._shape(), self.index.metric,
                self.index.dtype)

    def do_size(self) -> int:
        return len(self.index)

    def do_check(self, ids: np.ndarray) -> Tuple[np.ndarray, Optional[int]]:
        """The ids already stored, and the shape new points must have."""
        if len(ids) * 16 < len(self.index):  # a lookup per id
            present = np.array([i for i in ids.tolist() if i in self.index], dtype=np.int64)
        else:  # one sorted pass over every stored id
            present = ids[np.isin(ids, self.index.ids())]
        return present, self._shape()

    def do_add(self, points: Any, ids: np.ndarray) -> int:
        self.index.add_many(points, ids)
        return len(ids)

    def do_remove(self, ids: np.ndarray) -> int:
        return self.index.remove_many(ids)

    def do_points_of(self, ids: np.ndarray) -> Tuple[np.ndarray, Any]:
        """The ids of ``ids`` stored here, and their points: what a removal
        that fails elsewhere puts back."""
        present = np.array([i for i in ids.tolist() if i in self.index], dtype=np.int64)
        points = [self.index[i] for i in present.tolist()]
        return present, (np.array(points) if self.index.dim is not None and points else points)

    def do_restore(self, ids: np.ndarray, points: Any) -> int:
        """Stores again those of the points given that are missing."""
        missing = np.array([i not in self.index for i in ids.tolist()], dtype=bool)
        if missing.any():
            self.index.add_many(_subset(points, np.flatnonzero(missing)), ids[missing])
        return int(missing.sum())

    def do_contains(self, id: int) -> bool:
        return id in self.index

    def do_get(self, id: int) -> Any:
        return self.index[id]

    def do_nearest(self, point: Any, k: int) -> Result:
        return self.index.nearest(point, k)

    def do_within(self, point: Any, radius: float) -> Result:
        return self.index.within(point, radius)

    def do_query(self, points: Any, k: int, workers: Optional[int] = None) -> Result:
        """Unpadded: at most min(k, len(shard)) neighbours a query."""
        return nearest_answers(self.index, points, k, workers=self._threads(workers))

    def do_query_radius(self, points: Any, radius: float, workers: Optional[int] = None) -> List[Result]:
        return self.index.query_radius(points, radius, workers=self._threads(workers))

    def do_save(self, path: str) -> int:
        self.index.save(path)
        return len(self.index)

    def _threads(self, workers: Optional[int]) -> Any:
        """The threads a batch runs on: by default those the worker was
        given; any other value goes to Index, which checks it."""
        return self.threads if workers is None else workers

    def _shape(self) -> Optional[int]:
        """What every stored point shares: the dimension of vectors, the
        length of strings under Hamming distance; None when empty."""
        if len(self.index) == 0:
            return None
        if self.index.dim is not None:
            return self.index.dim
        if self.index.metric == "hamming":
            return len(self.index[int(self.index.ids()[0])])
        return None


def _portable(error: BaseException) -> BaseException:
    """The error itself when it can travel back to the client by pickle."""
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


# --- the client side ----------------------------------------------------------------


def _check_metric(metric: Metric) -> Metric:
    """The metric as it travels: a native metric by name, a callable only if
    the standard pickle takes it (as Index.save does)."""
    kind, resolved = metric_table.resolve(metric)
    if kind == "object":
        try:
            pickle.dumps(resolved, protocol=4)
        except Exception as error:
            name = getattr(resolved, "__qualname__", repr(resolved))
            raise TypeError(
                f"the metric {name!r} cannot be pickled ({error}); a sharded index sends its "
                "metric to the workers and saves it by pickle: use a function defined at the "
                "top level of a module, not a lambda or a nested function"
            ) from None
    return resolved


def _workers(client: "distributed.Client") -> List[str]:
    workers = sorted(client.nthreads())
    if not workers:
        raise ValueError(
            "the Dask cluster has no workers: start some first "
            "(e.g. client.wait_for_workers(n, timeout=...))"
        )
    return workers


def _subset(points: Any, rows: np.ndarray) -> Any:
    return points[rows] if isinstance(points, np.ndarray) else [points[i] for i in rows.tolist()]


def _unlink(paths: Iterable[str]) -> None:
    for path in paths:
        try:
            os.unlink(path)
        except OSError:
            pass


_SHARD_FILE = re.compile(r"shard-(\d+)-[0-9a-f]+\.korel")


def _read_manifest(directory: str) -> Dict[str, Any]:
    """The manifest of ``directory``, checked: each shard file named once
    (a file of this directory), shard numbers in their places, counts in
    range and adding up."""
    path = os.path.join(directory, MANIFEST)
    with open(path, "rb") as file:
        content = file.read()
    try:
        manifest = storage.parse_json(content, 3, "the manifest")
    except ValueError as error:
        raise ValueError(f"{path} is not a sharded korel index manifest: {error}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != MANIFEST_FORMAT:
        raise ValueError(f"{path} is not a sharded korel index manifest")
    if manifest.get("version") != MANIFEST_VERSION:
        raise ValueError(
            f"{path} has sharded index format {manifest.get('version')!r}; "
            f"this korel reads format {MANIFEST_VERSION}"
        )
    shards = manifest.get("shards")
    if not isinstance(shards, list) or not shards or not all(
        isinstance(s, dict) and isinstance(s.get("file"), str) and storage.is_count(s.get("count"))
        and os.path.basename(s["file"]) == s["file"]  # files of this directory only
        and s["file"] not in ("", ".", "..")
        for s in shards
    ):
        raise ValueError(f"{path} lists no valid shards")
    files = [s["file"] for s in shards]
    if len(set(files)) != len(files):
        repeated = next(name for name in files if files.count(name) > 1)
        raise ValueError(f"{path} names the shard file {repeated} more than once")
    for number, name in enumerate(files):
        named = _SHARD_FILE.fullmatch(name)
        if named is not None and int(named.group(1)) != number:
            raise ValueError(f"{path} lists the file of shard {int(named.group(1))} as shard {number}")
    if not storage.is_count(manifest.get("next_id")):
        raise ValueError(f"{path} has no valid next_id")
    total = sum(s["count"] for s in shards)
    if "count" in manifest and manifest["count"] != total:
        raise ValueError(f"{path}: the manifest says {manifest['count']!r} points in all, but {total} in its shards")
    metric = manifest.get("metric")
    if metric is not None and not isinstance(metric, str):
        raise ValueError(f"{path} has no valid metric")
    return manifest


class ShardedIndex:
    """An exact nearest-neighbour index whose points are spread over the
    workers of a Dask cluster, one ``korel.Index`` per shard.

    ``metric`` is what ``korel.Index`` takes: a native metric's name (or its
    ``korel.metrics`` function), which travels by name, or a Python callable,
    which travels by pickle and so must be a module-level function; ``dtype``
    is ``Index``'s too (``"float32"`` halves the shards' memory). By default
    there is one shard per worker; ``shards=n`` spreads ``n`` shards over the
    workers in turn. Every call to the shards waits at most ``timeout``
    seconds; a shard that does not answer in time counts as lost.

    It answers as ``Index`` does (``nearest``, ``within``, ``query``,
    ``query_radius``, ``[id]``, ``id in index``, ``remove``, ``remove_many``),
    and with the same answers as one ``Index`` holding the same points:
    ``(distances, ids)`` sorted by distance, ties by ascending id.
    ``ShardLost`` is raised by every call once a shard's worker is gone.

    >>> index = ShardedIndex(client, "euclidean")
    >>> index.add_many(np.random.default_rng(0).random((1000, 8)))[:3]
    array([0, 1, 2])
    >>> distances, ids = index.query(np.zeros((5, 8)), k=10)
    """

    _futures: List[Any]
    _actors: List[Any]
    _template: Index

    def __init__(
        self,
        client: "distributed.Client",
        metric: Metric,
        *,
        shards: Optional[int] = None,
        timeout: float = DEFAULT_TIMEOUT,
        dtype: str = "float64",
    ):
        resolved = _check_metric(metric)
        workers = _workers(client)
        count = len(workers) if shards is None else arguments.count(shards, "shards")
        if count < 1:
            raise ValueError(f"shards must be at least 1, got {count}")
        self._setup(client, resolved, [None] * count, workers, timeout, dtype=dtype)
        self._next_id = 0

    @classmethod
    def load(
        cls,
        client: "distributed.Client",
        directory: Union[str, "os.PathLike[str]"],
        metric: Optional[Metric] = None,
        *,
        allow_pickle: bool = False,
        mmap: bool = False,
        verify: bool = False,
        progress: Any = None,
        timeout: float = DEFAULT_TIMEOUT,
    ) -> "ShardedIndex":
        """Reads an index written by ``save``, spreading its shards over the
        current workers (the number of shards stays that of the save). The
        directory must be reachable at the same path from the workers.
        ``metric``, ``allow_pickle``, ``mmap`` and ``verify`` are those of
        ``Index.load``, applied to every shard file: shards of Python objects
        are pickles, read only with ``allow_pickle=True``; mapped shards
        refuse changes. ``progress`` hears how many shards have loaded.
        The manifest is checked before any shard loads, and each shard
        checks that its ids belong to it; the index is returned only when
        every shard passed, otherwise ValueError names the problem.

        >>> index.save("saved/")
        >>> index = ShardedIndex.load(client, "saved/")
        """
        directory = os.path.abspath(os.fspath(directory))
        manifest = _read_manifest(directory)
        paths = [os.path.join(directory, shard["file"]) for shard in manifest["shards"]]
        for path in paths:
            if not os.path.isfile(path):
                raise FileNotFoundError(f"the shard file {path} named by the manifest is missing")
        saved = manifest.get("metric")
        saved_kind = "object" if saved is None else metric_table.resolve(saved)[0]
        if metric is not None:
            metric = _check_metric(metric)
            if metric_table.resolve(metric)[0] != saved_kind:
                raise ValueError(
                    f"the sharded index holds {saved_kind} points; it cannot be loaded under the metric "
                    f"{metric if isinstance(metric, str) else getattr(metric, '__qualname__', repr(metric))!r}"
                )
        if saved_kind == "object" and not allow_pickle:
            raise ValueError(
                "the sharded index holds Python objects, stored by pickle, and loading it would "
                "unpickle them (which runs code of the files' choosing): pass allow_pickle=True to "
                "load it from a trusted source"
            )
        self = cls.__new__(cls)
        try:
            self._setup(client, metric if metric is not None else saved, paths, _workers(client), timeout,
                        allow_pickle, mapping=(mmap, verify), report=reporter(progress, "shards loaded"))
            described = self._everywhere("describe")
            dtype = described[0][4]
            for s, (count, _, _, _, stored) in enumerate(described):
                expected = manifest["shards"][s]["count"]
                if count != expected:
                    raise ValueError(
                        f"the shard file {paths[s]} holds {count} points; the manifest says {expected}"
                    )
                if stored != dtype:
                    raise ValueError(
                        f"the shard file {paths[s]} stores {stored} vectors, the file of shard 0 {dtype}"
                    )
        except BaseException:
            self._release()
            raise
        self._metric = described[0][3]
        self._template = Index(self._metric, dtype=dtype or "float64")
        self._next_id = max([manifest["next_id"]] + [next_id for _, next_id, _, _, _ in described])
        return self

    def _release(self) -> None:
        """Lets go of every actor started (a load that failed)."""
        futures = getattr(self, "_futures", [])
        try:
            self._client.cancel(futures)
        except Exception:
            pass
        self._futures, self._actors = [], []

    def _setup(
        self, client, metric, paths: Sequence[Optional[str]], workers: List[str], timeout,
        allow_pickle: bool = False, dtype: str = "float64", mapping: Tuple[bool, bool] = (False, False),
        report: Optional[Callable[[int, int], None]] = None,
    ) -> None:
        """Starts one actor per shard on the workers in turn (new shards
        store vectors as ``dtype``; loaded ones as their files do)."""
        try:
            timeout = float(timeout)
        except (TypeError, ValueError):
            raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}") from None
        if not 0 < timeout < float("inf"):
            raise ValueError(f"timeout must be a positive, finite number of seconds, got {timeout}")
        self._client = client
        self._metric = metric
        self._timeout = timeout
        self._lock = threading.Lock()
        self._lost: Dict[int, str] = {}
        # Converts and checks the points and ids of a call as a shard would
        # (it also refuses a bad dtype before any shard starts); a loaded
        # index gets it once the shards have said what their metric is.
        self._template = Index(metric, dtype=dtype) if metric is not None else None  # type: ignore[assignment]
        self._addresses = [workers[s % len(workers)] for s in range(len(paths))]
        self._futures = []  # none yet, for _release
        self._futures = [
            client.submit(
                _Shard, metric, path, allow_pickle, s, len(paths), dtype, *mapping, actor=True, pure=False,
                workers=[address],
                key=f"korel-shard-{s}-{uuid.uuid4().hex}",
            )
            for s, (path, address) in enumerate(zip(paths, self._addresses))
        ]
        self._actors = [None] * len(paths)
        self._tokens: List[Optional[str]] = [None] * len(paths)
        deadline = time.monotonic() + timeout
        for s, future in enumerate(self._futures):
            try:
                self._actors[s] = future.result(timeout=max(deadline - time.monotonic(), 0.01))
                if report is not None:
                    report(s + 1, len(paths))
            except _TIMEOUTS:
                self._lost[s] = f"it did not start within {timeout:g} s"
            except Exception as error:
                raise RuntimeError(
                    f"shard {s} could not start on {self._addresses[s]}: {type(error).__name__}: "
                    f"{error} (korel, and the module of a Python metric, must be importable there)"
                ) from error
        self._raise_if_lost()
        # Learn each shard's token: a shard that later answers with another
        # one was recreated empty by Dask.
        self._everywhere("size")

    # --- properties -------------------------------------------------------------

    @property
    def metric(self) -> Metric:
        """The metric's name, or the Python callable.

        >>> ShardedIndex(client, "manhattan").metric
        'manhattan'
        """
        return self._metric

    @property
    def shards(self) -> int:
        """The number of shards.

        >>> ShardedIndex(client, "euclidean", shards=3).shards
        3
        """
        return len(self._futures)

    @property
    def workers(self) -> Tuple[str, ...]:
        """The address of the worker holding each shard.

        >>> ShardedIndex(client, "euclidean").workers
        ('tcp://127.0.0.1:40331', 'tcp://127.0.0.1:45671')
        """
        return tuple(self._addresses)

    @property
    def dtype(self) -> Optional[str]:
        """How the shards store vectors (``"float64"`` or ``"float32"``);
        None for strings and objects, as ``Index.dtype``.

        >>> ShardedIndex(client, "euclidean", dtype="float32").dtype
        'float32'
        """
        return self._template.dtype

    # --- calling the shards -----------------------------------------------------------

    def _raise_if_lost(self) -> None:
        if self._lost:
            details = "; ".join(
                f"shard {s} on {self._addresses[s]}: {why}" for s, why in sorted(self._lost.items())
            )
            raise ShardLost(self._lost, details)

    def _call(self, name: str, arguments: Dict[int, tuple]) -> Tuple[Dict[int, Any], Dict[int, BaseException]]:
        """Runs ``name`` on the given shards at once: their answers and their
        errors, by shard. Raises ShardLost if any shard is unreachable, after
        waiting for all (so none is left running unseen)."""
        self._raise_if_lost()
        payloads, pickled = {}, {}
        try:
            for s, args in arguments.items():
                # The same arguments for every shard (a query) are pickled once.
                if id(args) not in pickled:
                    pickled[id(args)] = cloudpickle.dumps((name, args), protocol=4)
                payloads[s] = pickled[id(args)]
        except Exception as unsendable:
            raise TypeError(f"cannot send the call to the shards: {unsendable}") from None
        pending = {}
        for s, payload in payloads.items():
            try:
                pending[s] = self._actors[s].call(payload)
            except Exception as refused:  # Dask refuses to call an actor it knows is lost
                self._lost[s] = f"{type(refused).__name__}: {refused}"
        answers: Dict[int, Any] = {}
        errors: Dict[int, BaseException] = {}
        deadline = time.monotonic() + self._timeout
        try:
            self._collect(pending, deadline, answers, errors)
        except BaseException:
            # Interrupted (Ctrl-C): the calls sent still run. Wait for them
            # (within the timeout), so that the caller may undo what they
            # did, and no call runs on unseen.
            for future in pending.values():
                try:
                    future.result(timeout=max(deadline - time.monotonic(), 0.01))
                except Exception:
                    pass
            raise
        self._raise_if_lost()
        return answers, errors

    def _collect(self, pending: Dict[int, Any], deadline: float, answers: Dict[int, Any],
                 errors: Dict[int, BaseException]) -> None:
        """The answers and errors of the calls ``pending``, by shard."""
        for s, future in pending.items():
            try:
                token, error, value = future.result(timeout=max(deadline - time.monotonic(), 0.01))
            except (Exception, asyncio.CancelledError) as unreachable:
                if isinstance(unreachable, _TIMEOUTS):
                    self._lost[s] = f"no answer within {self._timeout:g} s"
                else:
                    self._lost[s] = f"{type(unreachable).__name__}: {unreachable}"
                continue
            if self._tokens[s] is None:
                self._tokens[s] = token
            elif token != self._tokens[s]:
                self._lost[s] = "its worker restarted it empty"
                continue
            if error is not None:
                errors[s] = error
            else:
                answers[s] = value

    def _call_all(self, name: str, arguments: Dict[int, tuple]) -> Dict[int, Any]:
        """``_call``, raising the first shard's error."""
        answers, errors = self._call(name, arguments)
        if errors:
            raise errors[min(errors)]
        return answers

    def _everywhere(self, name: str, *arguments) -> List[Any]:
        """Runs ``name`` with the same arguments on every shard."""
        answers = self._call_all(name, dict.fromkeys(range(self.shards), arguments))
        return [answers[s] for s in range(self.shards)]

    # --- points in and out ---------------------------------------------------------------

    def add_many(self, points: Iterable[Any], ids: Optional[Sequence[int]] = None) -> np.ndarray:
        """Adds a batch of points and returns their ids (int64), sending each
        shard its part in one call. Without ``ids`` they continue from the
        largest id so far. A duplicate id, in the batch or already stored,
        raises ValueError and stores nothing; so does any other failure.

        >>> index.add_many([[1.0, 2.0], [3.0, 4.0]], ids=[10, 20])
        array([10, 20])
        """
        with self._lock:
            self._raise_if_lost()
            batch = prepared_to_store(self._template, points)
            count = len(batch)
            if ids is None:
                if count and self._next_id > np.iinfo(np.int64).max - count:
                    raise ValueError(f"no ids left to assign after {self._next_id - 1}")
                ids_array = np.arange(self._next_id, self._next_id + count, dtype=np.int64)
            else:
                ids_array = arguments.ids(ids, count)
                if count and ids_array.min() < 0:
                    raise ValueError(f"ids must be non-negative, got {ids_array.min()}")
                unique, counts = np.unique(ids_array, return_counts=True)
                if count and counts.max() > 1:
                    raise ValueError(f"duplicate id {unique[counts.argmax()]} in the call")
            route = shard_of(ids_array, self.shards)
            rows = {s: np.flatnonzero(route == s) for s in range(self.shards)}
            # Ask every shard first, so that a duplicate stores nothing anywhere.
            checked = self._call_all("check", {s: (ids_array[rows[s]],) for s in range(self.shards)})
            present = np.concatenate([checked[s][0] for s in range(self.shards)])
            if present.size:
                raise ValueError(f"id {present.min()} is already stored")
            self._check_shape(batch, {shape for _, shape in checked.values() if shape is not None})
            self._check_range(batch)
            parts = {s: (_subset(batch, rows[s]), ids_array[rows[s]]) for s in rows if rows[s].size}
            try:
                done, errors = self._call("add", parts)
            except BaseException:
                # Interrupted or lost once every add had ended: the batch was
                # new on every shard, so removing it restores those that remain.
                try:
                    self._call("remove", {s: (ids_array[rows[s]],) for s in parts})
                except Exception:
                    pass
                raise
            if errors:
                # The batch was new on every shard: removing it restores them.
                self._call_all("remove", {s: (ids_array[rows[s]],) for s in done})
                raise errors[min(errors)]
            if count:
                self._next_id = max(self._next_id, int(ids_array.max()) + 1)
            return ids_array

    def _check_shape(self, batch: Any, stored: set) -> None:
        """Refuses points that do not fit those stored on the other shards."""
        if isinstance(batch, np.ndarray):
            shapes = {batch.shape[1]} if len(batch) else set()
            what = "dimension"
        elif self._metric == "hamming":
            shapes = {len(text) for text in batch}
            what = "length"
        else:
            return
        if len(shapes | stored) > 1:
            if stored:
                raise ValueError(
                    f"points of {what} {sorted(shapes - stored)[0]} do not fit this index of "
                    f"{what} {next(iter(stored))}"
                )
            raise ValueError(f"hamming distance needs strings of one length: got lengths {sorted(shapes)}")

    def _check_range(self, batch: Any) -> None:
        """Refuses a finite coordinate that float32 shards would store as an
        infinity, as Index does, but here, where the row is that of the call
        (a shard sees only its own rows)."""
        if self.dtype != "float32" or not len(batch):
            return
        with np.errstate(over="ignore"):
            beyond = np.isfinite(batch) & np.isinf(batch.astype(np.float32))
        if beyond.any():
            row, column = (int(i) for i in np.argwhere(beyond)[0])
            raise ValueError(
                f"coordinate {batch[row][column]!r} (row {row}) is beyond the range of float32: "
                "it would be stored as an infinity"
            )

    def remove(self, id: int) -> bool:
        """Removes the point of ``id`` from the one shard that would hold it;
        False when there is none.

        >>> index.remove(10), index.remove(10)
        (True, False)
        """
        with self._lock:
            number = self._checked_id(id)
            home = self._home(number)
            return bool(self._call_all("remove", {home: (np.array([number], dtype=np.int64),)})[home])

    def remove_many(self, ids: Sequence[int]) -> int:
        """Removes the points of ``ids`` and returns how many there were,
        sending each shard its part in one call.

        >>> index.remove_many([10, 20, 30])
        2
        """
        with self._lock:
            ids_array = arguments.ids(ids, len(ids))
            route = shard_of(ids_array, self.shards)
            parts = {s: (ids_array[route == s],) for s in range(self.shards) if (route == s).any()}
            # The points first, so that a removal that fails on one shard (or
            # is interrupted) can be undone on the others: all or nothing.
            kept = self._call_all("points_of", parts)
            try:
                done, errors = self._call("remove", parts)
            except BaseException:
                self._restore(kept)
                raise
            if errors:
                self._restore(kept)
                raise errors[min(errors)]
            return int(sum(done.values()))

    def _restore(self, kept: Dict[int, Tuple[np.ndarray, Any]]) -> None:
        """Puts back on each shard the points of ``kept`` it no longer has."""
        try:
            self._call("restore", {s: part for s, part in kept.items() if len(part[0])})
        except Exception:
            pass  # a lost shard: ShardLost follows on the next call

    def _checked_id(self, id: Any) -> int:
        """``id`` as an int, refused with ``Index``'s own TypeError or
        ValueError: the empty template checks it, removing nothing."""
        self._template.remove(id)
        return operator.index(id)

    def _home(self, id: int) -> int:
        """The shard that holds ``id`` if any does."""
        return int(shard_of(np.array([id], dtype=np.int64), self.shards)[0])

    def __len__(self) -> int:
        """The number of stored points, counted on every shard.

        >>> index = ShardedIndex(client, "euclidean"); index.add_many(np.eye(3)); len(index)
        array([0, 1, 2])
        3
        """
        with self._lock:
            return int(sum(self._everywhere("size")))

    def __contains__(self, id: object) -> bool:
        """Whether a point has this id, asked of the one shard that would
        hold it.

        >>> index = ShardedIndex(client, "euclidean"); index.add_many([[1.0]])
        array([0])
        >>> 0 in index, 1 in index
        (True, False)
        """
        with self._lock:
            try:
                number = self._checked_id(id)
            except (TypeError, ValueError):
                return False
            home = self._home(number)
            return bool(self._call_all("contains", {home: (number,)})[home])

    def __getitem__(self, id: int) -> Any:
        """The stored point of ``id``, from the one shard that would hold
        it: as ``Index`` returns it; KeyError for an unknown id.

        >>> index = ShardedIndex(client, "levenshtein"); index.add_many(["korel"])
        array([0])
        >>> index[0]
        'korel'
        """
        with self._lock:
            try:
                number = self._checked_id(id)
            except ValueError:
                raise KeyError(id) from None
            home = self._home(number)
            return self._call_all("get", {home: (number,)})[home]

    # --- queries ------------------------------------------------------------------------

    def nearest(self, point: Any, k: int = 1) -> Result:
        """The ``k`` nearest points: ``(distances, ids)``, two 1-D arrays of
        length ``min(k, len(index))``, nearest first, ties by ascending id,
        as ``Index.nearest``.

        >>> index.nearest([0.0, 0.0], k=2)
        (array([2.23606798, 5.        ]), array([10, 20]))
        """
        with self._lock:
            # Every shard checks k and the point as Index does.
            answers = self._everywhere("nearest", point, k)
        rows = [(distances[np.newaxis], ids[np.newaxis]) for distances, ids in answers]
        distances, ids = merge_nearest(rows, min(operator.index(k), sys.maxsize))
        return distances[0], ids[0]

    def within(self, point: Any, radius: float) -> Result:
        """Every point at distance at most ``radius``: ``(distances, ids)``,
        nearest first, ties by ascending id, as ``Index.within``.

        >>> index.within([0.0, 0.0], 3.0)
        (array([2.23606798]), array([10]))
        """
        with self._lock:
            answers = self._everywhere("within", point, radius)
        return merge_within([[answer] for answer in answers])[0]

    def query(self, points: Iterable[Any], k: int, *, workers: Optional[int] = None) -> Result:
        """The ``k`` nearest points of every query: ``(distances, ids)`` of
        shape ``(len(points), k)``, padded with ``inf`` and ``-1`` where the
        index holds fewer than ``k`` points, as ``Index.query``. Each shard
        searches on ``workers`` threads (default: the threads its worker
        was given).

        >>> index.query([[0.0, 0.0]], k=2)
        (array([[2.23606798, 5.        ]]), array([[10, 20]]))
        """
        k = arguments.count(k, "k")
        with self._lock:
            batch = prepared_points(self._template, points)
            # Refused before anything is sent when the padded answer cannot be allocated.
            padded = padded_answer(len(batch), k)
            answers = self._everywhere("query", batch, min(k, sys.maxsize), workers)
            return pad_answer(merge_nearest(answers, k), k, padded)

    def query_radius(
        self, points: Iterable[Any], radius: float, *, workers: Optional[int] = None
    ) -> List[Result]:
        """Every point within ``radius`` of each query: one ``(distances,
        ids)`` pair per query, as ``Index.query_radius``. Each shard
        searches on ``workers`` threads (default: the threads its worker
        was given).

        >>> index.query_radius([[0.0, 0.0]], 3.0)
        [(array([2.23606798]), array([10]))]
        """
        radius = arguments.radius(radius)
        with self._lock:
            batch = prepared_points(self._template, points)
            return merge_within(self._everywhere("query_radius", batch, radius, workers))

    # --- saving -------------------------------------------------------------------------

    def save(self, directory: Union[str, "os.PathLike[str]"]) -> None:
        """Writes one ``Index`` file per shard into ``directory``, then the
        manifest, last and atomically: until the new manifest is in place,
        the previous save stays whole. The files of the previous save are
        removed afterwards. Every worker must reach ``directory`` at the same
        path (on several machines, a shared file system).

        >>> index.save("saved/")
        """
        with self._lock:
            directory = os.path.abspath(os.fspath(directory))
            os.makedirs(directory, exist_ok=True)
            generation = uuid.uuid4().hex[:12]
            files = [f"shard-{s:04d}-{generation}.korel" for s in range(self.shards)]
            paths = [os.path.join(directory, name) for name in files]
            try:
                counts = self._call_all("save", {s: (paths[s],) for s in range(self.shards)})
            except BaseException:
                _unlink(paths)  # the previous save stays whole
                raise
            try:
                previous = [shard["file"] for shard in _read_manifest(directory)["shards"]]
            except (OSError, ValueError):
                previous = []
            manifest = {
                "format": MANIFEST_FORMAT,
                "version": MANIFEST_VERSION,
                "metric": self._metric if isinstance(self._metric, str) else None,
                "next_id": self._next_id,
                "count": int(sum(counts.values())),
                "shards": [{"file": files[s], "count": int(counts[s])} for s in range(self.shards)],
            }
            content = json.dumps(manifest, indent=1, sort_keys=True).encode("utf-8")
            storage.write_atomically(os.path.join(directory, MANIFEST), content)
            _unlink(os.path.join(directory, name) for name in set(previous) - set(files))

    def __repr__(self) -> str:
        metric = self._metric if isinstance(self._metric, str) else getattr(
            self._metric, "__qualname__", repr(self._metric)
        )
        state = f"lost shards {sorted(self._lost)}" if self._lost else f"{self.shards} shards"
        return f"<korel.distributed.ShardedIndex metric={metric!r}, {state}>"

