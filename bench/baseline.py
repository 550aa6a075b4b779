"""korel "before" figures: older builds measured side by side with the
current one. Run by hand (not by `make bench`), with the bench's Python:

    .venv/bin/python bench/baseline.py [--index-commit 41b60d1] [--nnk-commit 962e967]

Each commit is extracted with `git archive` into a scratch folder and
pip-installed into a virtual environment of its own there (kept, so a second
run skips the build). Then the native-speed cases of `make bench` run with,
in every round and in rotated order: korel.Index of the old commit (a worker
process under its environment), korel.Index of the current build (a worker
under this interpreter) and the peers the targets name (in this process);
on uniform 8-d also NearestNeighborsKorel with korel.metrics.euclidean of
the second commit against the current build. The memory probe alternates
between the two builds. Writes bench/results/before.md (the tables) and
before.json (the same figures, for scripts).
"""

import argparse
import datetime
import json
import os
import pathlib
import pickle
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import cases  # noqa: E402
import peers  # noqa: E402
from cases import CDIST, EXTRACT, INDEX, INDEX32, KDTREE, NNK_EUCLIDEAN, PYNEAR  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
REPOSITORY = HERE.parent
BEFORE = "before: "  # label prefix of the old build's rows


def build(commit, scratch, python):
    """A virtual environment with korel at `commit` installed; its Python."""
    home = scratch / commit
    interpreter = home / "venv" / "bin" / "python"
    done = home / ".installed"
    if done.exists():
        return interpreter
    source = home / "source"
    source.mkdir(parents=True, exist_ok=True)
    print(f"Building korel at {commit} in {home}", flush=True)
    archive = subprocess.run(["git", "-C", str(REPOSITORY), "archive", "--format=tar", commit],
                             check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    subprocess.run([python, "-m", "venv", str(home / "venv")], check=True)
    environment = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    # NumPy by name: the oldest builds did not depend on it, the bench's worker does.
    subprocess.run([str(interpreter), "-m", "pip", "install", "-q", "numpy", str(source)],
                   check=True, env=environment)
    done.touch()
    return interpreter


class Remote:
    """A worker process (worker.py) running jobs under another interpreter."""

    def __init__(self, python, cases_file):
        self.process = subprocess.Popen([str(python), str(HERE / "worker.py"), str(cases_file)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def run(self, case, job, answers):
        try:
            self.process.stdin.write(json.dumps({"case": case.name, "job": job.name,
                                                 "answers": answers}) + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            return {"error": "the worker ended"}
        line = self.process.stdout.readline()
        return json.loads(line) if line else {"error": "the worker ended"}

    def close(self):
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        self.process.wait()


def peer_jobs(case):
    """The peers that the targets compare with, on this case."""
    if case.kind == "words":
        return [EXTRACT, CDIST]
    return [PYNEAR] + ([KDTREE] if case.name == "uniform 8-d" else [])


SOURCES = ("include", "python", "CMakeLists.txt")  # what the korel build is made of


def git_commit():
    commit = peers.git_commit()
    dirty = subprocess.run(["git", "-C", str(REPOSITORY), "status", "--porcelain", "--",
                            *SOURCES], capture_output=True, text=True).stdout.strip()
    return commit + ("+changes" if dirty else "")


def same_sources(commit, after_commit):
    """Whether the current build is made of the same sources as `commit`."""
    return not after_commit.endswith("+changes") and subprocess.run(
        ["git", "-C", str(REPOSITORY), "diff", "--quiet", commit, "HEAD", "--", *SOURCES]
    ).returncode == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--index-commit", default="41b60d1")
    parser.add_argument("--nnk-commit", default="962e967")
    parser.add_argument("--scratch", default=str(pathlib.Path(tempfile.gettempdir()) / "korel-baseline"))
    parser.add_argument("--python", default="python3.9", help="interpreter for the scratch environments")
    parser.add_argument("--quick", action="store_true", help="small sizes, to try the script")
    parser.add_argument("--output", default=str(peers.RESULTS))
    options = parser.parse_args()
    sizes = peers.QUICK if options.quick else peers.FULL
    scratch = pathlib.Path(options.scratch)
    old_index = build(options.index_commit, scratch, options.python)
    old_nnk = build(options.nnk_commit, scratch, options.python)
    started = time.perf_counter()
    after_commit = git_commit()

    native_cases = peers.native_cases(sizes, real=False)
    cases_file = scratch / "cases.pickle"
    with open(cases_file, "wb") as file:
        pickle.dump(native_cases, file)
    old, current, old_class = (Remote(python, cases_file)
                               for python in (old_index, sys.executable, old_nnk))
    native = {}
    try:
        for case in native_cases:
            print(f"  {case.name}, n = {case.n}, {len(case.queries)} queries", flush=True)
            korel_jobs = [INDEX, INDEX32] if case.kind == "vectors" else [INDEX]
            entries = [(BEFORE + name, old, cases.JOBS[name]) for name in korel_jobs]
            entries += [(name, current, cases.JOBS[name]) for name in korel_jobs]
            if case.name == "uniform 8-d":
                entries += [(BEFORE + NNK_EUCLIDEAN, old_class, cases.JOBS[NNK_EUCLIDEAN]),
                            (NNK_EUCLIDEAN, current, cases.JOBS[NNK_EUCLIDEAN])]
            entries += [(name, peers.Local(), cases.JOBS[name]) for name in peer_jobs(case)]
            native[case.name] = (case, peers.side_by_side(case, entries, sizes.rounds))
    finally:
        for worker in (old, current, old_class):
            worker.close()

    print("Memory", flush=True)
    memory = {"before": [], "after": []}
    for _ in range(sizes.memory_runs):
        for which, python in (("before", old_index), ("after", sys.executable)):
            memory[which].append(peers.memory(sizes.memory_n, 1, python=str(python)))

    record = summarise(native, memory, options, after_commit)
    output = pathlib.Path(options.output)
    (output / "before.json").write_text(json.dumps(record, indent=1) + "\n")
    (output / "before.md").write_text(report(record, native, memory, options, sizes,
                                             time.perf_counter() - started))
    print(f"Wrote {output / 'before.md'} and {output / 'before.json'}")


def summarise(native, memory, options, after_commit):
    """Per target: the old build's figure and ratio, and the current one's."""
    targets = {}
    for target in peers.TARGETS:
        if target.korel:
            before = peers.speed_figures(target, native, prefix=BEFORE)
            after = peers.speed_figures(target, native)
            if before and after:
                targets[target.key] = {
                    "before": f"{peers.mode_name(*target.korel)} {before[0]:.3f} ms",
                    "ratio before": before[3],
                    "after": f"{peers.mode_name(*target.korel)} {after[0]:.3f} ms",
                    "ratio after": after[3]}
    measured = native.get("uniform 8-d", (None, {}))[1]
    if NNK_EUCLIDEAN in measured and BEFORE + NNK_EUCLIDEAN in measured:
        old = measured[BEFORE + NNK_EUCLIDEAN].rounds["single"]
        new = measured[NNK_EUCLIDEAN].rounds["single"]
        targets["nnk-8d"] = {"before": f"{statistics.median(old) * 1e3:.3f} ms",
                             "after": f"{statistics.median(new) * 1e3:.3f} ms",
                             "ratio": peers.paired_ratio(old, new),
                             "rounds": [[a * 1e3, b * 1e3] for a, b in zip(old, new)]}
    memory_figures = {which: {key: statistics.median(run[key] for run in runs)
                              for key in ("growth", "raw", "build")}
                      for which, runs in memory.items()}
    targets["memory"], targets["build"] = {}, {}
    for which, figures in memory_figures.items():
        ratio = "ratio before" if which == "before" else "ratio after"
        targets["memory"][which] = f"{figures['growth'] / 1e6:.1f} MB RSS growth"
        targets["memory"][ratio] = figures["growth"] / figures["raw"]
        targets["build"][which] = f"{figures['build']:.3f} s"
        targets["build"][ratio] = figures["build"]
    return {"date": str(datetime.date.today()), "before commit": options.index_commit,
            "nnk before commit": options.nnk_commit, "after commit": after_commit,
            "targets": targets}


def report(record, native, memory, options, sizes, seconds):
    lines = [
        "# korel before and after", "",
        f"`bench/baseline.py` on {record['date']}: korel.Index of {options.index_commit} "
        f"(\"before\") and NearestNeighborsKorel of {options.nnk_commit}, each built into a "
        f"scratch environment, measured side by side with the build of "
        f"{record['after commit']} (\"after\") and the peers the targets name; "
        f"{sizes.rounds} rounds, rotated order; {peers.cpu_name()}, 2 shared cores; "
        f"{seconds / 60:.1f} min." + (" **Quick run.**" if options.quick else ""), "",
    ]
    if same_sources(options.index_commit, record["after commit"]):
        lines += [f"The after build is made of the same sources as {options.index_commit}: "
                  "the differences between before and after are this machine's noise.", ""]
    lines += [
        "## Targets", "",
        "| target | before | ratio before | after | ratio after | required |",
        "|---|---|---:|---|---:|---|",
    ]
    for target in peers.TARGETS:
        figures = record["targets"].get(target.key)
        if not figures:
            continue
        if target.key == "nnk-8d":
            lines.append(f"| {target.what} | {figures['before']} ({options.nnk_commit}) | "
                         f"| {figures['after']} | {figures['ratio']:.2f} (before / after) "
                         f"| {peers.required_text(target)} |")
            continue
        lines.append(f"| {target.what} | {figures['before']} | {figures['ratio before']:.2f} "
                     f"| {figures['after']} | {figures['ratio after']:.2f} "
                     f"| {peers.required_text(target)} |")
    lines += ["", "Ratios as in latest.md: the peer's time over korel's for speed (median "
              "over rounds of the ratio within a round), korel's figure over the limit for "
              "memory (growth / raw) and build (seconds)."]
    nnk = record["targets"].get("nnk-8d")
    if nnk:
        pairs = ", ".join(f"{a:.3f}/{b:.3f}" for a, b in nnk["rounds"])
        lines += ["", f"NearestNeighborsKorel, ms per query in each round, {options.nnk_commit} / "
                  f"{record['after commit']}: {pairs}."]
    lines += ["", "## Cases"]
    lines += peers.native_tables(native)
    lines += ["", "## Memory", "", "| build | runs | RSS growth MB | growth / raw | build s |",
              "|---|---:|---:|---:|---:|"]
    for which, runs in memory.items():
        growth = statistics.median(run["growth"] for run in runs)
        build_seconds = statistics.median(run["build"] for run in runs)
        lines.append(f"| {which} | {len(runs)} | {growth / 1e6:.1f} | {growth / runs[0]['raw']:.2f} "
                     f"| {build_seconds:.3f} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
