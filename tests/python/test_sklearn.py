"""korel.sklearn's transformers against scikit-learn's own, in pipelines and
under scikit-learn's estimator checks."""

import doctest
import subprocess
import sys

import numpy as np
import pytest

sklearn = pytest.importorskip("sklearn")

import korel
import korel.sklearn
from scipy.spatial.distance import cdist
from sklearn import neighbors
from sklearn.cluster import DBSCAN
from sklearn.datasets import load_digits, make_blobs
from sklearn.manifold import TSNE, Isomap
from sklearn.model_selection import cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.utils.estimator_checks import parametrize_with_checks

OURS = {"k": korel.sklearn.KNeighborsTransformer, "radius": korel.sklearn.RadiusNeighborsTransformer}
THEIRS = {"k": neighbors.KNeighborsTransformer, "radius": neighbors.RadiusNeighborsTransformer}
CDIST_NAMES = {"euclidean": "euclidean", "manhattan": "cityblock", "chebyshev": "chebyshev"}


def taxicab(a, b):
    return float(np.abs(a - b).sum())


@parametrize_with_checks(
    [
        korel.sklearn.KNeighborsTransformer(),
        korel.sklearn.KNeighborsTransformer(mode="connectivity", metric="manhattan", n_jobs=1),
        korel.sklearn.RadiusNeighborsTransformer(),
        korel.sklearn.RadiusNeighborsTransformer(mode="connectivity", radius=2.0, metric=taxicab),
    ]
)
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def assert_same_graph(ours, theirs, distances):
    """Equal graphs up to the order of ties: the same sparse type and row
    lengths, the same values, and in each row the same points, except which
    of the points tied at the row's last distance made it in. ``distances``
    is the full matrix from queries to fitted points."""
    assert type(ours) is type(theirs) and ours.format == "csr"
    assert ours.shape == theirs.shape
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    for row in range(ours.shape[0]):
        span = slice(ours.indptr[row], ours.indptr[row + 1])
        our_columns, their_columns = ours.indices[span], theirs.indices[span]
        np.testing.assert_allclose(np.sort(ours.data[span]), np.sort(theirs.data[span]), rtol=1e-12)
        if not len(their_columns):
            continue
        our_distances = distances[row, our_columns]
        assert np.all(np.diff(our_distances) >= -1e-12), "a row is not sorted by distance"
        last = distances[row, their_columns].max()
        assert set(our_columns[our_distances < last - 1e-9]) == set(
            their_columns[distances[row, their_columns] < last - 1e-9]
        )
        assert np.all(our_distances <= last + 1e-9)
        assert len(set(our_columns)) == len(our_columns)


def grid_with_duplicates(seed, n, dim=2):
    return np.random.default_rng(seed).integers(0, 4, size=(n, dim)).astype(float)


@pytest.mark.parametrize("kind, size", [("k", 1), ("k", 4), ("radius", 0.0), ("radius", 1.5)])
@pytest.mark.parametrize("metric", ["euclidean", "manhattan", "chebyshev", "callable"])
@pytest.mark.parametrize("mode", ["distance", "connectivity"])
def test_graphs_equal_scikit_learn_on_ties_and_duplicates(kind, size, metric, mode):
    fitted, queries = grid_with_duplicates(1, 60), grid_with_duplicates(2, 25)
    ours_metric, their_metric = (taxicab, taxicab) if metric == "callable" else (metric, metric)
    setting = {"n_neighbors": size} if kind == "k" else {"radius": size}
    ours = OURS[kind](mode=mode, metric=ours_metric, **setting)
    theirs = THEIRS[kind](mode=mode, metric=their_metric, **setting)
    cdist_name = CDIST_NAMES.get(metric, "cityblock")
    assert_same_graph(ours.fit_transform(fitted), theirs.fit_transform(fitted),
                      cdist(fitted, fitted, cdist_name))
    assert_same_graph(ours.transform(queries), theirs.transform(queries),
                      cdist(queries, fitted, cdist_name))


@pytest.mark.parametrize("kind, size", [("k", 3), ("radius", 0.4)])
def test_graphs_equal_scikit_learn_exactly_without_ties(kind, size):
    points = np.random.default_rng(3).random((200, 3))
    setting = {"n_neighbors": size} if kind == "k" else {"radius": size}
    ours = OURS[kind](**setting).fit_transform(points)
    theirs = THEIRS[kind](**setting).fit_transform(points)
    np.testing.assert_array_equal(ours.indptr, theirs.indptr)
    np.testing.assert_array_equal(ours.indices, theirs.indices)
    np.testing.assert_allclose(ours.data, theirs.data, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("n_jobs", [None, -1, -2, 1, 2])
def test_n_jobs_changes_nothing_but_the_threads(n_jobs):
    points = grid_with_duplicates(4, 300, dim=3)
    expected = korel.sklearn.KNeighborsTransformer(n_jobs=1).fit_transform(points)
    got = korel.sklearn.KNeighborsTransformer(n_jobs=n_jobs).fit_transform(points)
    assert (got != expected).nnz == 0 and np.array_equal(got.indices, expected.indices)


@pytest.mark.parametrize(
    "estimator, message",
    [
        (korel.sklearn.KNeighborsTransformer(mode="distances"), "mode must be"),
        (korel.sklearn.KNeighborsTransformer(n_neighbors=0), "n_neighbors must be"),
        (korel.sklearn.KNeighborsTransformer(n_neighbors=2.5), "n_neighbors must be"),
        (korel.sklearn.RadiusNeighborsTransformer(radius=-1.0), "radius must be"),
        (korel.sklearn.RadiusNeighborsTransformer(radius=float("nan")), "radius must be"),
        (korel.sklearn.KNeighborsTransformer(n_jobs=0), "n_jobs must be"),
        (korel.sklearn.KNeighborsTransformer(metric="minkowski"), "unknown metric"),
        (korel.sklearn.KNeighborsTransformer(n_neighbors=3), "Expected n_neighbors <= n_samples_fit"),
    ],
)
def test_bad_parameters_raise_value_error(estimator, message):
    with pytest.raises(ValueError, match=message):
        estimator.fit_transform(np.zeros((3, 2)))


def test_string_metrics_take_sequences_of_str():
    words = ["kitten", "sitting", "mitten", "smitten", "kitchen", "mitten"]
    graph = korel.sklearn.KNeighborsTransformer(n_neighbors=2, metric=korel.metrics.levenshtein).fit_transform(words)
    brute = np.array([[korel.metrics.levenshtein(korel.encode(a), korel.encode(b)) for b in words] for a in words])
    for row in range(len(words)):
        span = slice(graph.indptr[row], graph.indptr[row + 1])
        np.testing.assert_array_equal(graph.data[span], np.sort(brute[row])[:3])
        np.testing.assert_array_equal(brute[row, graph.indices[span]], graph.data[span])
    with pytest.raises(TypeError, match="sequence of str"):
        korel.sklearn.KNeighborsTransformer(metric="levenshtein").fit(np.zeros((6, 2)))


def test_classifier_cross_validation_scores_equal_scikit_learn():
    X, y = load_digits(return_X_y=True)
    ours = make_pipeline(
        korel.sklearn.KNeighborsTransformer(n_neighbors=5),
        neighbors.KNeighborsClassifier(n_neighbors=5, metric="precomputed"),
    )
    theirs = neighbors.KNeighborsClassifier(n_neighbors=5)
    np.testing.assert_array_equal(cross_val_score(ours, X, y, cv=5), cross_val_score(theirs, X, y, cv=5))


def test_dbscan_labels_equal_scikit_learn():
    X, _ = make_blobs(n_samples=400, centers=4, cluster_std=0.8, random_state=0)
    X = np.vstack([X, X[:40]])  # duplicates
    ours = make_pipeline(
        korel.sklearn.RadiusNeighborsTransformer(radius=0.5),
        DBSCAN(eps=0.5, min_samples=5, metric="precomputed"),
    ).fit(X)[-1].labels_
    theirs = DBSCAN(eps=0.5, min_samples=5).fit(X).labels_
    assert len(set(theirs)) > 3
    np.testing.assert_array_equal(ours, theirs)


@pytest.mark.parametrize(
    "embedding",
    [
        lambda: Isomap(n_neighbors=6, n_components=2, metric="precomputed"),
        lambda: TSNE(n_components=2, perplexity=5.0, metric="precomputed", init="random", random_state=0),
    ],
    ids=["Isomap", "TSNE"],
)
def test_embeddings_equal_those_with_scikit_learns_transformer(embedding):
    X = np.random.default_rng(5).random((90, 4))
    neighbours = 3 * 5 + 1 if isinstance(embedding(), TSNE) else 6
    ours = make_pipeline(korel.sklearn.KNeighborsTransformer(n_neighbors=neighbours), embedding())
    theirs = make_pipeline(neighbors.KNeighborsTransformer(n_neighbors=neighbours), embedding())
    np.testing.assert_allclose(np.abs(ours.fit_transform(X)), np.abs(theirs.fit_transform(X)), rtol=1e-6, atol=1e-6)


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


def test_plain_import_leaves_scikit_learn_out():
    result = run_python("import sys, korel; print('sklearn' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_missing_scikit_learn_names_the_extra():
    result = run_python("import sys; sys.modules['sklearn'] = None; import korel.sklearn")
    assert result.returncode != 0
    assert "ImportError: korel.sklearn needs scikit-learn" in result.stderr
    assert "korel[sklearn]" in result.stderr


def test_docstring_examples_hold():
    failed, attempted = doctest.testmod(korel.sklearn, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert attempted >= 3 and failed == 0


def test_bit_codes_pass_as_rows_of_bytes():
    codes = np.random.default_rng(4).integers(0, 256, (60, 8), dtype=np.uint8)
    codes[10:20] = codes[:10]
    graph = korel.sklearn.KNeighborsTransformer(n_neighbors=3, metric="bit_hamming").fit_transform(codes)
    bits = np.unpackbits(codes, axis=1)
    brute = (bits[:, None, :] != bits[None, :, :]).sum(axis=2)
    for row in range(len(codes)):
        found = graph[row].indices, graph[row].data
        assert np.array_equal(np.sort(found[1]), np.sort(brute[row])[:4])
