"""korel.Index under threads the interpreter ends at exit, and threads that
would wait for each other forever: each case runs in its own interpreter,
under a timeout, so a crash or a hang fails the test instead of the run."""

import json

import pytest

from korel_oracles import run_python

EXIT_PROGRAM = """
import threading, time
import numpy as np
import korel
from korel_oracles import euclidean

calls = []

def metric(a, b):
    calls.append(1)
    return euclidean(a, b)

rng = np.random.default_rng(0)
index = korel.Index({metric})
points = {points}
index.add_many(points)
queries = points[:50]

def forever():
    while True:
        {call}

for _ in range(2):
    threading.Thread(target=forever, daemon=True).start()
time.sleep(0.3)
print(len(calls) or len(index))
"""

PYTHON_POINTS = "[tuple(p) for p in rng.random((300, 4))]"
NATIVE_POINTS = "rng.random((3000, 4))"
EXITS = {
    # A Python metric, ended inside it: one query, then a batch.
    "python metric, nearest": ("metric", PYTHON_POINTS, "index.nearest(queries[0], k=5)"),
    "python metric, batch": ("metric", PYTHON_POINTS, "index.query(queries, k=5)"),
    # Native batches on several threads, ended when a poll takes the GIL.
    "native batch": ("'euclidean'", NATIVE_POINTS, "index.query(points, k=5, workers=4)"),
    "native radius batch": ("'euclidean'", NATIVE_POINTS, "index.query_radius(points, 0.3, workers=4)"),
}
RUNS = 5


@pytest.mark.parametrize("case", sorted(EXITS))
def test_exit_while_daemon_threads_search_is_clean(case):
    metric, queries, call = EXITS[case]
    program = EXIT_PROGRAM.format(metric=metric, points=queries, call=call)
    for _ in range(RUNS):
        result = run_python(program, timeout=60)
        assert (result.returncode, result.stderr) == (0, "")
        assert int(result.stdout) > 0  # the searches were running at exit


CYCLE_PROGRAM = """
import json, threading
import korel

both_inside = threading.Barrier(2, timeout=10)
armed = {"on": False}

def metric_calling(other_name):
    def metric(a, b):  # once armed, its first call waits for the other thread, then needs its index
        if armed["on"] and metric.first_call:
            metric.first_call = False
            both_inside.wait()  # both threads hold their own index now
            indexes[other_name].nearest(a)
        return abs(a - b)
    metric.first_call = True
    return metric

indexes = {}
for name, other in (("first", "second"), ("second", "first")):
    indexes[name] = korel.Index(metric_calling(other))
    indexes[name].add_many(range(10))
armed["on"] = True
outcomes = {}

def search(name):
    try:
        outcomes[name] = indexes[name].nearest(3, k=2)[1].tolist()
    except RuntimeError as error:
        outcomes[name] = str(error)

worker = threading.Thread(target=search, args=("second",))
worker.start()
search("first")
worker.join(20)
print(json.dumps(dict(outcomes, worker_done=not worker.is_alive(), after=indexes["first"].nearest(3)[1].tolist())))
"""


def test_two_indexes_whose_metrics_call_each_other_raise_instead_of_deadlocking():
    for _ in range(5):
        result = run_python(CYCLE_PROGRAM, timeout=60)
        assert result.returncode == 0, result.stderr
        outcome = json.loads(result.stdout)
        assert outcome["worker_done"] and outcome["after"] == [3]
        errors = [o for name, o in outcome.items() if name in ("first", "second") and isinstance(o, str)]
        answers = [o for name, o in outcome.items() if name in ("first", "second") and isinstance(o, list)]
        # One thread is told of the cycle; the other then gets its index and answers.
        assert len(errors) == 1 and answers == [[3, 2]]
        assert "deadlock avoided" in errors[0] and errors[0].count("Index") == 2


LOW_LEVEL_CYCLE = """
import json, threading
import korel
from korel import NearestNeighborsKorel
from korel_oracles import euclidean

low = NearestNeighborsKorel()
both_inside = threading.Barrier(2, timeout=10)
state = {"armed": False, "low_first": True, "high_first": True}

def low_metric(a, b):
    if state["armed"] and state["low_first"]:
        state["low_first"] = False
        both_inside.wait()
        high.nearest(2.0)
    return euclidean(a, b)

def high_metric(a, b):
    if state["armed"] and state["high_first"]:
        state["high_first"] = False
        both_inside.wait()
        low.nearest([2.0, 0.0])
    return abs(a - b)

low.add_list([[float(i), 0.0] for i in range(10)])
low.set_distance_function(low_metric)
high = korel.Index(high_metric)
high.add_many([float(i) for i in range(10)])
state["armed"] = True
outcomes = {}

def run(name, call):
    try:
        outcomes[name] = repr(call())
    except RuntimeError as error:
        outcomes[name] = "error: " + str(error)

worker = threading.Thread(target=run, args=("high", lambda: high.nearest(2.0)))
worker.start()
run("low", lambda: low.nearest([2.0, 0.0]))
worker.join(20)
print(json.dumps(dict(outcomes, worker_done=not worker.is_alive())))
"""


def test_a_cycle_across_extension_modules_is_found():
    """korel.Index and the low-level class come from two extension modules:
    their holders and waiters are one table."""
    result = run_python(LOW_LEVEL_CYCLE, timeout=60)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["worker_done"]
    errors = [value for value in (outcome["low"], outcome["high"]) if value.startswith("error: ")]
    assert len(errors) == 1 and "deadlock avoided" in errors[0]
