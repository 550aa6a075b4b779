"""Runs bench jobs for bench/baseline.py under the Python (and so the korel
build) it is started with: `python worker.py CASES.pickle`, then one JSON
request per line on stdin ({"case", "job", "answers"}), one JSON reply per
line on stdout (what cases.run_job returns, or {"error"}).
"""

import json
import pathlib
import pickle
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import cases  # noqa: E402


def main():
    with open(sys.argv[1], "rb") as file:
        table = {case.name: case for case in pickle.load(file)}
    replies, sys.stdout = sys.stdout, sys.stderr  # nothing else reaches the pipe
    for line in sys.stdin:
        request = json.loads(line)
        try:
            reply = cases.run_job(cases.JOBS[request["job"]], table[request["case"]],
                                  request["answers"])
        except Exception as error:  # reported, not fatal: an old build may lack a feature
            reply = {"error": f"{type(error).__name__}: {error}"}
        replies.write(json.dumps(reply) + "\n")
        replies.flush()


if __name__ == "__main__":
    main()
