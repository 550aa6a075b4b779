"""fork() while an index is in use: the child never hangs on it.

The thread using an index at the fork does not exist in the child, so that
index can never be released there: it refuses every call. Indexes idle at
the fork work normally, and so does the index whose own metric forked (that
thread lives on in the child and finishes its operation). A child that hangs
is killed with its parent by run_python's timeout.
"""

import json

from korel_oracles import CALLS, run_python

PREAMBLE = """
import json, os, threading, time, traceback, warnings
from korel import NearestNeighborsKorel
from korel_oracles import CALLS, assert_consistent, euclidean, random_points
warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork() with threads running

def report_and_exit(work):  # in the child: print what work() found, never run on
    try:
        print(json.dumps(work()), flush=True)
    except BaseException:
        traceback.print_exc()
    finally:
        os._exit(0)
"""

FORK_WHILE_BUSY = """
busy, idle = NearestNeighborsKorel(), NearestNeighborsKorel()
for index in (busy, idle):
    index.set_distance_function(euclidean)
    index.add_list(random_points(300, seed=90))
calls = []

def slow(a, b):
    calls.append(1)
    time.sleep(0.001)
    return euclidean(a, b)

def in_the_child():
    report = {}
    for method, arguments in CALLS.items():
        try:
            getattr(busy, method)(*arguments)
            report[method] = "served"
        except RuntimeError as error:
            report[method] = str(error)
    idle.add([1e6, 1e6])
    report["idle"] = [idle.size(), idle.nearest_k([1e6, 1e6], 1), idle.remove([1e6, 1e6]), idle.size()]
    return report

worker = threading.Thread(target=busy.set_distance_function, args=(slow,))  # a rebuild of seconds
worker.start()
while not calls:
    time.sleep(0.001)
pid = os.fork()
if pid == 0:
    report_and_exit(in_the_child)
os.waitpid(pid, 0)
worker.join()
"""


def test_fork_while_busy_refuses_that_index_in_the_child_and_keeps_idle_ones():
    result = run_python(PREAMBLE + FORK_WHILE_BUSY, timeout=60)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    report = json.loads(result.stdout)
    forked = "NearestNeighborsKorel was in use by another thread when the process forked"
    assert {method: report[method] for method in CALLS} == {method: forked for method in CALLS}
    assert report["idle"] == [301, [[1e6, 1e6]], True, 300]


FORK_FROM_THE_METRIC = """
index = NearestNeighborsKorel()
index.set_distance_function(euclidean)
index.add_list(random_points(300, seed=91))
child = {"calls": 0}

def forking(a, b):
    child["calls"] += 1
    if child["calls"] == 100:
        child["pid"] = os.fork()
        if child["pid"] == 0:
            try:
                index.size()
            except RuntimeError as error:
                child["call back"] = str(error)
    return euclidean(a, b)

def in_the_child():
    assert_consistent(index, metric=forking)
    from_a_thread = []
    thread = threading.Thread(target=lambda: from_a_thread.append(index.size()))
    thread.start()
    thread.join()
    return dict(call_back=child["call back"], size=index.size(), from_a_thread=from_a_thread)

index.set_distance_function(forking)  # a rebuild that forks in its middle
if child["pid"] == 0:
    report_and_exit(in_the_child)
os.waitpid(child["pid"], 0)
"""


def test_fork_from_the_metric_lets_the_child_finish_the_operation():
    result = run_python(PREAMBLE + FORK_FROM_THE_METRIC, timeout=60)
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert json.loads(result.stdout) == {
        "call_back": "NearestNeighborsKorel is busy: a distance function must not call back into the index it serves",
        "size": 300,
        "from_a_thread": [300],
    }
