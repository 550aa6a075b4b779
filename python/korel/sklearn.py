"""korel.sklearn: korel's exact neighbours as scikit-learn transformers.

``KNeighborsTransformer`` and ``RadiusNeighborsTransformer`` give the sparse
neighbour graphs of scikit-learn's transformers of the same names, computed
by a ``korel.Index``, for estimators that take ``metric="precomputed"``:

>>> from sklearn.datasets import load_digits
>>> from sklearn.model_selection import cross_val_score
>>> from sklearn.neighbors import KNeighborsClassifier
>>> from sklearn.pipeline import make_pipeline
>>> import korel.sklearn
>>> X, y = load_digits(return_X_y=True)
>>> model = make_pipeline(korel.sklearn.KNeighborsTransformer(n_neighbors=5),
...                       KNeighborsClassifier(n_neighbors=5, metric="precomputed"))
>>> print(round(cross_val_score(model, X, y, cv=3).mean(), 3))
0.963

Needs scikit-learn 1.3 or later: ``pip install korel[sklearn]``.
"""

import numbers
import os

import numpy as np

import korel
from korel import metric_table

try:
    import scipy.sparse
    import sklearn
    from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, TransformerMixin
    from sklearn.utils.validation import check_is_fitted
except ImportError as error:
    raise ImportError(
        "korel.sklearn needs scikit-learn 1.3 or later: pip install 'korel[sklearn]'"
    ) from error

if tuple(int(part) for part in sklearn.__version__.split(".")[:2]) < (1, 3):
    raise ImportError(
        f"korel.sklearn needs scikit-learn 1.3 or later, found {sklearn.__version__}: "
        "pip install 'korel[sklearn]'"
    )

try:
    from sklearn.utils.validation import validate_data
except ImportError:  # scikit-learn before 1.6 validates through a method

    def validate_data(estimator, X, **options):
        return estimator._validate_data(X, **options)


__all__ = ["KNeighborsTransformer", "RadiusNeighborsTransformer"]

MODES = ("distance", "connectivity")


def _workers(n_jobs):
    """korel's ``workers=`` for scikit-learn's ``n_jobs`` (None and -1: every
    core, -2: all but one, ...)."""
    if n_jobs is None:
        return None
    if not isinstance(n_jobs, numbers.Integral) or isinstance(n_jobs, bool) or n_jobs == 0:
        raise ValueError(f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
    if n_jobs > 0:
        return int(n_jobs)
    return max(1, (os.cpu_count() or 1) + 1 + int(n_jobs))


class _NeighborsTransformer(ClassNamePrefixFeaturesOutMixin, TransformerMixin, BaseEstimator):
    """What both transformers share: the index over the fitted points, the
    checks of the points and the sparse graph built from korel's answers."""

    def fit(self, X, y=None):
        """Stores the points of ``X`` in a ``korel.Index`` (``index_``)."""
        if self.mode not in MODES:
            raise ValueError(f"mode must be 'distance' or 'connectivity', got {self.mode!r}")
        self._check_parameters()
        _workers(self.n_jobs)
        index = korel.Index(self.metric)
        points = self._points(X, index, reset=True)
        index.add_many(points)
        self.index_ = index
        self.n_samples_fit_ = len(index)
        self._n_features_out = self.n_samples_fit_
        return self

    def transform(self, X):
        """The graph from each point of ``X`` to the fitted points: a
        ``scipy.sparse.csr_matrix`` of shape ``(len(X), n_samples_fit_)``
        whose rows list neighbours nearest first, distances of 0 included."""
        check_is_fitted(self, "index_")
        return self._graph(self._points(X, self.index_, reset=False))

    def fit_transform(self, X, y=None):
        """``fit(X).transform(X)``: each point is its own nearest neighbour."""
        return self.fit(X).transform(X)

    def _points(self, X, index, reset):
        """The points as ``index`` takes them: rows of floats for vector
        metrics and Python callables (which receive the rows), rows of
        bytes (uint8) for bit codes, or str."""
        kind = metric_table.resolve(index.metric)[0]
        if kind == "bits":
            return validate_data(self, X, reset=reset, dtype=None, order="C")
        if kind == "string":
            texts = [] if isinstance(X, str) else list(X)
            if isinstance(X, str) or not all(isinstance(text, str) for text in texts):
                raise TypeError(f"metric {index.metric!r} needs a sequence of str")
            return texts
        X = validate_data(self, X, reset=reset, dtype=np.float64, order="C")
        return X if index.dtype is not None else list(X)

    def _csr(self, distances, columns, row_lengths, n_queries):
        data = distances if self.mode == "distance" else np.ones(len(columns))
        indptr = np.concatenate(([0], np.cumsum(row_lengths)))
        return scipy.sparse.csr_matrix(
            (data, columns, indptr), shape=(n_queries, self.n_samples_fit_)
        )


class KNeighborsTransformer(_NeighborsTransformer):
    """The k-nearest-neighbour graph, as scikit-learn's
    ``sklearn.neighbors.KNeighborsTransformer`` gives it, from a ``korel.Index``.

    - ``mode="distance"``: each row holds the ``n_neighbors + 1`` nearest
      fitted points with their distances (the extra one, because
      ``fit_transform`` finds each point itself at distance 0, kept as an
      explicit entry); ``"connectivity"``: the ``n_neighbors`` nearest, each 1.
    - ``metric``: any korel metric: a name (``"euclidean"``, ``"manhattan"``,
      ``"chebyshev"``, ``"angular"``, ``"haversine"``; ``"bit_hamming"`` over
      rows of packed bits (uint8); ``"levenshtein"`` and ``"hamming"`` over
      sequences of str), a ``korel.metrics`` function or a
      Python callable, which receives two rows of ``X``.
    - ``n_jobs``: threads of a batch; None or -1 for every core.

    Neighbours at equal distance come in ascending order of their row in the
    fitted data; among points tied at the last place, those of lowest rows.

    >>> import numpy as np
    >>> graph = KNeighborsTransformer(n_neighbors=1).fit_transform(np.array([[0.0], [1.0], [3.0]]))
    >>> graph.toarray()
    array([[0., 1., 0.],
           [1., 0., 0.],
           [0., 2., 0.]])
    """

    def __init__(self, *, mode="distance", n_neighbors=5, metric="euclidean", n_jobs=None):
        self.mode = mode
        self.n_neighbors = n_neighbors
        self.metric = metric
        self.n_jobs = n_jobs

    def _check_parameters(self):
        if (
            not isinstance(self.n_neighbors, numbers.Integral)
            or isinstance(self.n_neighbors, bool)
            or self.n_neighbors < 1
        ):
            raise ValueError(f"n_neighbors must be a positive integer, got {self.n_neighbors!r}")

    def _graph(self, points):
        k = self.n_neighbors + (self.mode == "distance")
        if k > self.n_samples_fit_:
            raise ValueError(
                f"Expected n_neighbors <= n_samples_fit, but n_neighbors = {k}, "
                f"n_samples_fit = {self.n_samples_fit_}, n_samples = {len(points)}"
            )
        distances, ids = self.index_.query(points, k, workers=_workers(self.n_jobs))
        return self._csr(distances.ravel(), ids.ravel(), np.full(len(points), k), len(points))


class RadiusNeighborsTransformer(_NeighborsTransformer):
    """The graph of neighbours within ``radius``, as scikit-learn's
    ``sklearn.neighbors.RadiusNeighborsTransformer`` gives it, from a
    ``korel.Index``: each row holds every fitted point at distance at most
    ``radius``, nearest first, with its distance (``mode="distance"``, zeros
    kept as explicit entries) or 1 (``"connectivity"``). ``metric`` and
    ``n_jobs`` as for ``KNeighborsTransformer``.

    >>> import numpy as np
    >>> graph = RadiusNeighborsTransformer(radius=1.5).fit_transform(np.array([[0.0], [1.0], [3.0]]))
    >>> graph.toarray()
    array([[0., 1., 0.],
           [1., 0., 0.],
           [0., 0., 0.]])
    >>> graph.nnz  # the three zero distances are stored
    5
    """

    def __init__(self, *, mode="distance", radius=1.0, metric="euclidean", n_jobs=None):
        self.mode = mode
        self.radius = radius
        self.metric = metric
        self.n_jobs = n_jobs

    def _check_parameters(self):
        if (
            not isinstance(self.radius, numbers.Real)
            or isinstance(self.radius, bool)
            or not self.radius >= 0
        ):
            raise ValueError(f"radius must be a non-negative number, got {self.radius!r}")

    def _graph(self, points):
        found = self.index_.query_radius(points, self.radius, workers=_workers(self.n_jobs))
        lengths = np.array([len(ids) for _, ids in found], dtype=np.int64)
        distances = np.concatenate([d for d, _ in found]) if found else np.zeros(0)
        columns = np.concatenate([ids for _, ids in found]) if found else np.zeros(0, np.int64)
        return self._csr(distances, columns, lengths, len(points))
