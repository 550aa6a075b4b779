"""Fault injection: a distance callable that raises on its n-th call, for
every n over scripted workloads that insert, split, search, remove, rebuild
and replace the distance function.

After each failure the index must hold one of the outcomes the interrupted
operation may leave (no live point lost or duplicated), its searches must
still be exact, and the rest of the workload must run normally.

`make test` fails every third call (and the last); `make test-all` every
call (KOREL_FAULT_EVERY=1).
"""

import contextlib
import os
import random
from collections import Counter

import pytest

from korel import NearestNeighborsKorel
from oracle import (
    BruteForce,
    Model,
    add_list_outcomes,
    add_outcomes,
    check_contents,
    check_nearest,
    check_nearest_k,
    check_nearest_r,
    check_outcome,
    check_searches,
    chebyshev,
    manhattan,
    remove_outcomes,
)

try:
    from korel.metrics import manhattan as native_manhattan
except ImportError:  # the native metrics are optional
    native_manhattan = manhattan

# What the runs covered, printed with -s.
SUMMARY = Counter()
FAULT_EVERY = int(os.environ.get("KOREL_FAULT_EVERY", "3"))


def fault_points(total):
    """The calls to fail, of `total`: every FAULT_EVERY-th from the first, and the last."""
    points = list(range(1, total + 1, FAULT_EVERY))
    return points if points[-1] == total else points + [total]


class InjectedFault(Exception):
    pass


class FaultPlan:
    """Counts distance calls made after `arm()` and raises on call number
    `fail_at` (never, when it is None). Metrics wrapped by one plan share
    its counter, so a fault can land in any metric installed in turn."""

    def __init__(self, fail_at=None):
        self.fail_at = fail_at
        self.armed = False
        self.calls = 0
        self.raised = None

    def arm(self):
        self.armed = True

    @contextlib.contextmanager
    def paused(self):
        """Calls made by the checks neither count nor fail."""
        armed, self.armed = self.armed, False
        try:
            yield
        finally:
            self.armed = armed

    def wrap(self, metric):
        def distance(a, b):
            if self.armed:
                self.calls += 1
                if self.calls == self.fail_at:
                    self.raised = InjectedFault("distance call %d" % self.calls)
                    raise self.raised
            return metric(a, b)

        distance.metric = metric
        return distance


class Runner:
    """Applies workload steps to an index and a model, checking each one."""

    def __init__(self, plan):
        self.plan = plan
        self.index = NearestNeighborsKorel()
        self.model = Model()
        self.failed_step = None

    def run(self, steps):
        for number, step in enumerate(steps):
            raised_before = self.plan.raised
            self.apply(step)
            if self.plan.raised is not raised_before:
                self.failed_step = number
                SUMMARY["fault in %s" % step[0]] += 1
                with self.plan.paused():
                    self.check_after_fault()
        with self.plan.paused():
            check_contents(self.index, self.model)
            if self.model.points and self.model.metric is not None:
                check_searches(self.index, self.model, self.model.points[-1], radii=[1.0])

    def apply(self, step):
        op, *args = step
        before = list(self.model.points)
        try:
            result = getattr(self.index, op)(*[self.argument(a) for a in args])
        except InjectedFault as error:
            assert error is self.plan.raised, "a different exception object reached the caller"
            self.after_failure(op, args, before)
            return
        self.after_success(op, args, before, result)

    def argument(self, value):
        if callable(value):
            return self.plan.wrap(value)
        if isinstance(value, tuple):
            return list(value)
        if isinstance(value, list):
            return [list(p) for p in value]
        return value

    def after_failure(self, op, args, before):
        if op == "add":
            outcomes = add_outcomes(before, args[0])
        elif op == "add_list":
            outcomes = add_list_outcomes(before, args[0])
        elif op == "remove":
            outcomes = remove_outcomes(before, args[0])
        else:  # searches change nothing; a replaced metric keeps every point
            outcomes = [before]
        if op == "set_distance_function":
            self.model.metric = args[0]  # installed before the rebuild failed
        listed = check_outcome(self.index, before, outcomes)
        SUMMARY["%s: %d point(s) changed" % (op, abs(len(listed) - len(before)))] += 1
        self.model.adopt(listed)

    def after_success(self, op, args, before, result):
        model = self.model
        if op == "set_distance_function":
            model.metric = args[0]
        elif op == "add":
            model.points.append(tuple(args[0]))
        elif op == "add_list":
            model.points += [tuple(p) for p in args[0]]
        elif op == "clear":
            model.points = []
        elif op == "remove":
            copies = model.equal_copies(args[0])
            assert result is bool(copies)
            if result:
                outcomes = [o for o in remove_outcomes(before, args[0]) if len(o) < len(before)]
                model.adopt(check_outcome(self.index, before, outcomes))
        elif op == "nearest":
            check_nearest_result(result, BruteForce(model, args[0]))
        elif op == "nearest_k":
            check_nearest_k(FixedResult(result), BruteForce(model, args[0]), args[1])
        elif op == "nearest_r":
            check_nearest_r(FixedResult(result), BruteForce(model, args[0]), args[1])

    def check_after_fault(self):
        """The index answers exactly once the fault has passed."""
        check_contents(self.index, self.model)
        if self.model.points:
            for query in (self.model.points[0], self.model.points[-1], (0.5, -0.5)):
                check_searches(self.index, self.model, query, radii=[0.0, 2.0])


class FixedResult:
    """Hands a result already computed to the oracle's search checks."""

    def __init__(self, result):
        self.result = result

    def nearest_k(self, query, k):
        return self.result

    def nearest_r(self, query, radius):
        return self.result


def check_nearest_result(result, brute):
    class Index:
        def nearest(self, query):
            return result

    check_nearest(Index(), brute)


def grid_points(rng, n, spread=6):
    return [(float(rng.randint(-spread, spread)), float(rng.randint(-spread, spread))) for _ in range(n)]


def workloads():
    """Short scripts, each a setup (run without faults) and a phase (run
    with a fault at every call in turn): insertion one by one and in
    batches with splits, searches, lazy and pivot removals, a rebuild forced
    by a leaf that overflows while points are marked, a chain of equal
    points, distance replacement and a batch into an emptied index."""
    rng = random.Random(7)
    first, more = grid_points(rng, 20), grid_points(rng, 40)
    filled = grid_points(rng, 60)
    searches = [
        ("nearest", (0.0, 0.0)),
        ("nearest_k", (1.0, -2.0), 5),
        ("nearest_k", (3.0, 3.0), 100),
        ("nearest_r", (0.0, 1.0), 3.0),
    ]
    setup = [("set_distance_function", manhattan), ("add_list", filled)]
    batch = grid_points(rng, 70)
    return {
        # The root stays a leaf for 51 points and splits on the 52nd.
        "insert and split": (
            [("set_distance_function", manhattan)],
            [("add", p) for p in first] + [("add_list", more)] + searches,
        ),
        "removals": (
            setup,
            [
                ("remove", filled[0]),  # the root's pivot: rebuilds
                ("remove", filled[30]),
                ("remove", filled[45]),
                ("remove", (99.0, 99.0)),  # never stored
                ("remove", filled[30]),  # a duplicate, or already gone
                ("nearest_k", (1.0, 1.0), 7),
            ],
        ),
        # Copies of one point pile into one leaf, which overflows while
        # removed points are marked: a rebuild instead of a split.
        "overflow with marks": (
            setup + [("remove", filled[10]), ("remove", filled[20])],
            [("add", (2.0, 2.0))] * 30 + [("remove", (2.0, 2.0)), ("nearest_r", (2.0, 2.0), 1.0)],
        ),
        # A chain a few levels deep: each further level fails alike.
        "chain of equal points": (
            [("set_distance_function", manhattan)],
            [
                ("add_list", [(5.0, 5.0)] * 55),
                ("add", (5.0, 5.0)),
                ("nearest_k", (5.0, 5.0), 3),
                ("remove", (5.0, 5.0)),
                ("nearest_r", (5.0, 5.0), 0.0),
            ],
        ),
        "replace the metric": (
            setup,
            [("set_distance_function", chebyshev), ("nearest_k", (-1.0, 4.0), 10), ("add", (1.0, 1.0))],
        ),
        # A failed split leaves the root an over-full leaf whose bucket has
        # no spare room: a removal marks one of its points, and the next
        # insertion grows the bucket (the mark must follow it) and rebuilds.
        "batch into an emptied index": (
            setup,
            [
                ("clear",),
                ("add_list", batch),
                ("remove", batch[5]),
                ("add", (0.0, 0.0)),
                ("remove", (0.0, 0.0)),
                ("nearest", (1.0, 1.0)),
            ],
        ),
    }


@pytest.fixture(scope="module", autouse=True)
def print_summary():
    yield
    print("\nfault injection:", dict(sorted(SUMMARY.items())))


def run_segment(setup, phase, fail_at=None):
    plan = FaultPlan(fail_at)
    runner = Runner(plan)
    runner.run(setup)
    plan.arm()
    runner.run(phase)
    return plan, runner


@pytest.mark.parametrize("name", sorted(workloads()))
def test_every_fault_in_a_workload(name):
    setup, phase = workloads()[name]
    total = run_segment(setup, phase)[0].calls
    assert total > 100, "the phase should make many distance calls"
    for fail_at in fault_points(total):
        plan, runner = run_segment(setup, phase, fail_at)
        assert plan.raised is not None and runner.failed_step is not None, "call %d did not fail" % fail_at
    SUMMARY["fault points: " + name] = total


def lazy_removal_setup():
    """Twelve points stored 46 times each: each one's copies fill one leaf's
    bucket, so removing up to 45 of each stays lazy. 499 such removals."""
    values = [(float(10 * i), float(-7 * i)) for i in range(12)]
    batch = [v for v in values for _ in range(46)]
    victims = [v for v in values for _ in range(42)][:499]
    return batch, victims, values


def test_every_fault_in_the_rebuild_after_500_removals():
    batch, victims, values = lazy_removal_setup()
    phase = [
        ("remove", values[-1]),  # the 500th mark: rebuilds
        ("nearest_k", values[0], 4),
        ("add", values[1]),
        ("remove", values[2]),
        ("nearest_r", values[3], 15.0),
    ]

    left = list(batch)
    for v in victims:
        left.remove(v)

    def prepare(plan):
        runner = Runner(plan)
        runner.index.set_distance_function(plan.wrap(native_manhattan))
        runner.model.metric = native_manhattan
        runner.index.add_list([list(p) for p in batch])
        for v in victims:
            assert runner.index.remove(list(v))
        runner.model.points = list(left)
        return runner

    # Unfaulted: the 499 removals were lazy (each kept the listing's order)
    # and the 500th rebuilt (it reordered the listing).
    probe = Runner(FaultPlan())
    probe.index.set_distance_function(native_manhattan)
    probe.index.add_list([list(p) for p in batch])
    listed = [tuple(p) for p in probe.index.list()]
    for number, v in enumerate(victims + [values[-1]], start=1):
        assert probe.index.remove(list(v))
        relisted = [tuple(p) for p in probe.index.list()]
        lazy = any(relisted == listed[:i] + listed[i + 1 :] for i in range(len(listed)) if listed[i] == v)
        assert lazy == (number < 500), "removal %d" % number
        listed = relisted

    plan = FaultPlan()
    runner = prepare(plan)
    plan.arm()
    runner.run(phase)
    total = plan.calls
    assert total > 100
    for fail_at in fault_points(total):
        plan = FaultPlan(fail_at)
        runner = prepare(plan)
        plan.arm()
        runner.run(phase)
        assert plan.raised is not None, "call %d did not fail" % fail_at
    SUMMARY["500-removal rebuild fault points"] = total


def test_faults_with_a_metric_that_raises_from_the_start():
    """Every operation that needs a distance fails at once; the index keeps
    exactly what it was given and recovers when a working metric comes."""
    def failing(a, b):
        raise InjectedFault("always")

    runner = Runner(FaultPlan())
    runner.index.set_distance_function(failing)
    with pytest.raises(InjectedFault):
        runner.index.add_list([[float(i), 0.0] for i in range(70)])
    runner.model.points = [(float(i), 0.0) for i in range(70)]  # stored before the split failed
    check_contents(runner.index, runner.model)
    with pytest.raises(InjectedFault):
        runner.index.add([100.0, 0.0])  # stored in the over-full leaf, the split fails again
    runner.model.points.append((100.0, 0.0))
    check_contents(runner.index, runner.model)
    runner.index.set_distance_function(manhattan)
    runner.model.metric = manhattan
    check_contents(runner.index, runner.model)
    check_searches(runner.index, runner.model, (3.0, 0.0))
