"""A short stateful property test: korel.Index and a dict of points driven
side by side through adds, removals, queries and save/load round trips."""

import pickle

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import korel
from korel import metrics

coordinate = st.integers(-3, 3).map(float)
point = st.tuples(coordinate, coordinate)
METRICS = ["euclidean", "manhattan", "chebyshev"]


class IndexMachine(RuleBasedStateMachine):
    @initialize(name=st.sampled_from(METRICS), dtype=st.sampled_from(["float64", "float32"]))
    def start(self, name, dtype):
        self.index = korel.Index(name, dtype=dtype)
        self.metric = getattr(metrics, name)
        self.model = {}
        self.next_id = 0

    @rule(points=st.lists(point, max_size=80), own_ids=st.booleans())
    def add_many(self, points, own_ids):
        ids = [self.next_id + 3 * i for i in range(len(points))] if own_ids else None
        added = self.index.add_many(np.array(points).reshape(-1, 2), ids=ids).tolist()
        assert added == (ids if own_ids else list(range(self.next_id, self.next_id + len(points))))
        self.model.update(zip(added, points))
        if added:
            self.next_id = max(added) + 1

    @precondition(lambda self: self.model)
    @rule(data=st.data())
    def remove(self, data):
        id = data.draw(st.sampled_from(sorted(self.model)))
        assert self.index.remove(id)
        del self.model[id]
        assert not self.index.remove(id)

    @rule(count=st.integers(0, 400))
    def remove_many(self, count):
        gone = sorted(self.model)[:count]
        assert self.index.remove_many(gone) == len(gone)
        for id in gone:
            del self.model[id]

    @rule()
    def round_trip(self):
        self.index = pickle.loads(pickle.dumps(self.index))

    @rule(query=point, k=st.integers(0, 12), radius=st.sampled_from([0.0, 1.0, 2.5]))
    def queries(self, query, k, radius):
        ranked = sorted((self.metric(query, p), id) for id, p in self.model.items())
        distances, ids = self.index.nearest(query, k)
        assert list(zip(distances.tolist(), ids.tolist())) == ranked[:k]
        distances, ids = self.index.within(query, radius)
        assert list(zip(distances.tolist(), ids.tolist())) == [(d, i) for d, i in ranked if d <= radius]

    @invariant()
    def contents_agree(self):
        assert len(self.index) == len(self.model)
        assert self.index.ids().tolist() == sorted(self.model)


IndexMachine.TestCase.settings = settings(
    derandomize=True,
    max_examples=25,
    stateful_step_count=25,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
TestIndexMachine = IndexMachine.TestCase
