"""progress=: reports that count up to the total and end with it, answers
that do not depend on them, and failures of a report that change nothing."""

import sys
import time

import numpy as np
import pytest

import korel


def slow_metric(a, b):
    time.sleep(0.0002)
    return abs(a - b)


def filled(kind):
    rng = np.random.default_rng(3)
    if kind == "vector":
        index = korel.Index("euclidean")
        index.add_many(rng.random((3000, 6)))
        return index, rng.random((4000, 6))
    if kind == "string":
        index = korel.Index("levenshtein")
        index.add_many(["".join(rng.choice(list("abcd"), size=6)) for _ in range(2000)])
        return index, ["".join(rng.choice(list("abcd"), size=6)) for _ in range(3000)]
    index = korel.Index(slow_metric)
    index.add_many([float(x) for x in rng.random(300)])
    return index, [float(x) for x in rng.random(120)]


class Recorder(list):
    def __call__(self, done, total):
        self.append((done, total))

    def check(self, total):
        assert self and self[-1] == (total, total)
        done = [d for d, _ in self]
        assert done == sorted(done) and all(t == total for _, t in self)


def refuse(done, total):
    raise RuntimeError("stop here")


@pytest.mark.parametrize("kind", ["vector", "string", "object"])
def test_batches_report_up_to_their_size_and_stop_at_a_report_that_raises(kind):
    index, queries = filled(kind)
    recorder = Recorder()
    answer = index.query(queries, 3, progress=recorder)
    recorder.check(len(queries))
    # 120 queries of up to 300 slow evaluations each: reports on the way.
    assert kind != "object" or len(recorder) >= 2, "a report before the end"
    assert all(np.array_equal(x, y) for x, y in zip(answer, index.query(queries, 3)))
    recorder = Recorder()
    within = index.query_radius(queries[:50], 0.3, progress=recorder)
    recorder.check(50)
    assert all(np.array_equal(x[1], y[1]) for x, y in zip(within, index.query_radius(queries[:50], 0.3)))
    with pytest.raises(RuntimeError, match="stop here"):
        index.query(queries, 2, progress=refuse)
    assert len(index.query(queries[:3], 2)[0]) == 3


def test_true_prints_lines_without_tqdm(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm then fails
    index, queries = filled("vector")
    index.query(queries, 1, progress=True)
    lines = capsys.readouterr().err.strip().splitlines()
    assert lines and lines[-1] == f"korel: queries: {len(queries)}/{len(queries)} (100%)"


@pytest.mark.parametrize("progress", [1, "yes", object()])
def test_other_progress_values_are_refused(progress):
    index, queries = filled("vector")
    with pytest.raises(TypeError, match="progress must be None, True or a callable"):
        index.query(queries, 1, progress=progress)


@pytest.mark.parametrize("kind", ["vector", "string"])
def test_loading_reports_the_bytes_read(kind, tmp_path):
    index, queries = filled(kind)
    path = tmp_path / "index.korel"
    index.save(path)
    recorder = Recorder()
    loaded = korel.Index.load(path, progress=recorder)
    recorder.check(path.stat().st_size)
    assert np.array_equal(loaded.query(queries[:20], 4)[1], index.query(queries[:20], 4)[1])


@pytest.mark.parametrize("kind", ["vector", "string", "object"])
def test_add_many_reports_the_points_in_place(kind):
    index, queries = filled(kind)
    before = len(index)
    recorder = Recorder()
    added = index.add_many(queries, progress=recorder)
    # A batch at least as large as the index rebuilds it in bulk: every
    # point is placed again.
    recorder.check(len(index) if len(queries) >= before else len(queries))
    recorder = Recorder()
    index.add_many(queries[:10], progress=recorder)  # point by point
    recorder.check(10)
    assert len(added) == len(queries)


def test_a_bulk_build_reports_and_a_failing_report_stores_nothing():
    rows = np.random.default_rng(8).random((400_000, 4))
    recorder = Recorder()
    korel.Index("euclidean").add_many(rows, progress=recorder)
    recorder.check(len(rows))
    index = korel.Index("euclidean")
    index.add([0.5] * 4)
    for batch in (rows, rows[:5]):  # a report on the way; only the last one
        with pytest.raises(RuntimeError, match="stop here"):
            index.add_many(batch, progress=refuse)
        assert len(index) == 1 and index.nearest([0.5] * 4)[1].tolist() == [0]
