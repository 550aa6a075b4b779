"""The interpreter exits cleanly while daemon threads use or wait for an index.

CPython ends such threads when they next take the GIL: inside the Python
metric, or when a waiting thread takes the GIL back. A crash there shows as
SIGABRT or SIGSEGV in a fraction of runs, so each program runs 20 times.
"""

from concurrent.futures import ThreadPoolExecutor

import pytest
from korel_oracles import run_python

PROGRAM = """
import threading, time
from korel import NearestNeighborsKorel
from korel_oracles import euclidean, random_points

index = NearestNeighborsKorel()
index.set_distance_function(euclidean)
index.add_list(random_points(200, seed=80))
calls = []
sleepy = threading.Event()  # set once installed: the main thread's rebuild stays quick

def slow(a, b):
    calls.append(1)
    if sleepy.is_set():
        time.sleep(0.001)
    return euclidean(a, b)

def forever(work):
    while True:
        work()

{setup}
sleepy.set()
for _ in range(3):
    threading.Thread(target=forever, args=(index.size,), daemon=True).start()  # waiting
time.sleep(0.3)
print(len(calls))
"""

SETUPS = {
    # The program: searches under a metric that sleeps.
    "searching": """
index.set_distance_function(slow)
threading.Thread(target=forever, args=(lambda: index.nearest_k([3.0, 3.0], 5),), daemon=True).start()
""",
    # Ended inside set_distance_function, with the new metric still in its argument.
    "installing": """
install = lambda: index.set_distance_function(lambda a, b: slow(a, b))  # a new callable each time
threading.Thread(target=forever, args=(install,), daemon=True).start()
""",
}

RUNS = 20


@pytest.mark.parametrize("setup", sorted(SETUPS))
def test_exit_with_daemon_threads_inside_and_waiting_is_clean(setup):
    # A few programs at a time: each mostly sleeps.
    with ThreadPoolExecutor(4) as pool:
        program = PROGRAM.replace("{setup}", SETUPS[setup])
        results = list(pool.map(lambda _: run_python(program, timeout=30), range(RUNS)))
    for result in results:
        assert int(result.stdout) > 0  # the metric was running when the interpreter exited
    assert [(result.returncode, result.stderr) for result in results] == [(0, "")] * RUNS
