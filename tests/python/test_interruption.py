"""Ctrl-C reaches a thread that waits for a busy index.

Each program runs in its own interpreter, which sends itself SIGINT as
Ctrl-C would; a wait that ignores it hangs until run_python's timeout.
"""

import json

import pytest

from korel_oracles import run_python

WAITING_MAIN_THREAD = """
import json, os, signal, threading, time
from korel import NearestNeighborsKorel
from korel_oracles import euclidean, random_points

index = NearestNeighborsKorel()
index.set_distance_function(euclidean)
index.add_list(random_points(300, seed=70))
calls = []

def slow(a, b):
    calls.append(1)
    time.sleep(0.001)
    return euclidean(a, b)

worker = threading.Thread(target=index.set_distance_function, args=(slow,))  # a rebuild of seconds
worker.start()
while not calls:
    time.sleep(0.001)
sent = time.monotonic()
threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    {call}
except KeyboardInterrupt:
    delay = time.monotonic() - sent - 0.2
    busy_then, calls_then = worker.is_alive(), len(calls)
else:
    raise SystemExit("served, not interrupted")
worker.join()
print(json.dumps(dict(delay=delay, busy_then=busy_then, measured_since=len(calls) - calls_then,
                      size=index.size(), stored=[1e6, 1e6] in index.list())))
"""


@pytest.mark.parametrize("call", ["index.add([1e6, 1e6])", "index.nearest_k([1e6, 1e6], 3)", "index.size()"])
def test_sigint_interrupts_a_waiting_main_thread_and_changes_nothing(call):
    result = run_python(WAITING_MAIN_THREAD.replace("{call}", call), timeout=30)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["busy_then"] and outcome["measured_since"] > 0  # it was waiting, not served
    assert outcome["delay"] < 1.0
    # Nothing added, and the lock was not kept: size() and list() were served.
    assert outcome["size"] == 300 and not outcome["stored"]


CROSSED_INDEXES = """
import json, os, signal, threading
from korel import NearestNeighborsKorel
from korel_oracles import euclidean

first, second = NearestNeighborsKorel(), NearestNeighborsKorel()
inside = {id(first): threading.Event(), id(second): threading.Event()}

def metric_calling(index, other):
    def metric(a, b):  # each waits until both operations are open, then needs the other index
        inside[id(index)].set()
        inside[id(other)].wait(10)
        other.size()
        return euclidean(a, b)
    return metric

for index, other in ((first, second), (second, first)):
    index.add_list([[float(i), 0.0] for i in range(10)])
    index.set_distance_function(metric_calling(index, other))
found, refused = [], []

def search(index, query):
    try:
        found.append(index.nearest(query))
    except RuntimeError as error:  # the wait that would close the cycle
        refused.append(str(error))

worker = threading.Thread(target=search, args=(second, [1.0, 0.0]))
worker.start()
search(first, [2.0, 0.0])
worker.join(10)
print(json.dumps(dict(refused=refused, worker_done=not worker.is_alive(), found=found,
                      first=first.nearest([2.0, 0.0]))))
"""


def test_two_indexes_waiting_for_each_other_refuse_instead_of_deadlocking():
    result = run_python(CROSSED_INDEXES, timeout=30)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    # One thread is refused; the other gets both indexes and answers.
    assert len(outcome["refused"]) == 1 and "deadlock avoided" in outcome["refused"][0]
    assert outcome["worker_done"] and len(outcome["found"]) == 1
    assert outcome["first"] == [2.0, 0.0]
