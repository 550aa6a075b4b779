"""korel against its peers, measured side by side in one run (`make bench`).

Three sections, written to bench/results/latest.md (and latest.png):

- Native speed: korel.Index (single queries and batches on every core) and
  NearestNeighborsKorel with korel.metrics.euclidean, against pynear's
  VPTreeL2Index, scikit-learn's KDTree and BallTree, faiss's IndexFlatL2 and,
  for words, rapidfuzz and pybktree; plus the memory and build time of a
  10^6 x 8 Index, measured in a fresh process.
- Python callables: the cost per evaluation of korel.Index with a Python
  metric against a bare Python loop calling the same metric.
- The earlier comparison of NearestNeighborsKorel with peers that take a
  Python metric (brute force, BallTree, vptree, pybktree), with evaluation
  counts.

The machine is shared, so every comparison is a ratio of measurements taken
in the same run: each round runs every library once, in an order rotated
from round to round, and a ratio is the median over rounds of the ratio
within a round. The answers to a sample of queries are checked against
brute force. Figures of an older korel build ("before") come from
bench/results/before.json, written by bench/baseline.py.

`python bench/peers.py --quick` runs small sizes (about a minute) and writes
to bench/results/quick/ instead.
"""

import argparse
import datetime
import json
import math
import pathlib
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Dict, List, Optional

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import cases  # noqa: E402
from cases import (BALLTREE, BKTREE, CDIST, EXTRACT, FAISS, FAISS1, INDEX, INDEX32,  # noqa: E402
                   KDTREE, NNK_EUCLIDEAN, PYNEAR, K, WORD_K, WORD_RADIUS)

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"
MEMORY_N, MEMORY_DIM = 1_000_000, 8


@dataclass
class Sizes:
    rounds: int
    vectors8: tuple  # (n, queries)
    vectors32: tuple
    digits_queries: int
    words: tuple
    memory_n: int
    memory_runs: int
    callable_n: int
    callable_queries: int
    python_rounds: int
    python_sizes: tuple
    python_queries: int
    python_words: int


FULL = Sizes(rounds=7, vectors8=(100_000, 1000), vectors32=(100_000, 100), digits_queries=300,
             words=(50_000, 100), memory_n=MEMORY_N, memory_runs=3, callable_n=10_000,
             callable_queries=50, python_rounds=3, python_sizes=(1000, 3000, 10_000),
             python_queries=30, python_words=10_000)
QUICK = Sizes(rounds=3, vectors8=(20_000, 200), vectors32=(20_000, 30), digits_queries=300,
              words=(10_000, 30), memory_n=200_000, memory_runs=1, callable_n=2000,
              callable_queries=20, python_rounds=2, python_sizes=(1000, 3000),
              python_queries=10, python_words=2000)


# --- measuring side by side ------------------------------------------------------------


class Local:
    """Runs jobs in this process (baseline.py also has one in a worker)."""

    label = "this build"

    def run(self, case, job, answers):
        return cases.run_job(job, case, answers)


@dataclass
class Measured:
    """One library on one case: figures per round, evaluations, check."""

    label: str
    job: cases.Job
    rounds: Dict[str, List[float]] = field(default_factory=dict)  # build/single/batch
    evals: Dict[str, float] = field(default_factory=dict)
    correct: Dict[str, Optional[bool]] = field(default_factory=dict)
    error: Optional[str] = None

    def median(self, what):
        values = self.rounds.get(what)
        return statistics.median(values) if values else None


def side_by_side(case, entries, rounds, expected=None):
    """Runs (label, executor, job) entries once per round, the order rotated
    every round; checks the first round's answers against brute force."""
    if expected is None:
        expected = cases.brute_force(case)
    measured = {label: Measured(label, job) for label, _, job in entries}
    for number in range(rounds):
        shift = number % len(entries)
        for label, executor, job in entries[shift:] + entries[:shift]:
            record = measured[label]
            if record.error:
                continue
            result = executor.run(case, job, answers=number == 0)
            if "error" in result:
                record.error = result["error"]
                print(f"    {label}: {record.error}", flush=True)
                continue
            for what in ("build", "single", "batch"):
                if what in result:
                    record.rounds.setdefault(what, []).append(result[what])
            for mode in ("single", "batch"):
                if f"{mode} evals" in result:
                    record.evals[mode] = result[f"{mode} evals"]
                if f"{mode} answers" in result:
                    record.correct[mode] = cases.check(
                        result[f"{mode} answers"], expected, job.tolerance, job.ids)
    for record in measured.values():
        figures = "  ".join(f"{what} {record.median(what) * (1 if what == 'build' else 1e3):.4g}"
                            f"{' s' if what == 'build' else ' ms'}"
                            for what in ("build", "single", "batch") if record.rounds.get(what))
        wrong = [mode for mode, ok in record.correct.items() if not ok]
        print(f"    {record.label:<42} {figures}{'  WRONG: ' + ', '.join(wrong) if wrong else ''}",
              flush=True)
    return measured


def paired_ratio(numerator, denominator):
    """Median over rounds of numerator / denominator, measured in the same round."""
    if not numerator or not denominator:
        return None
    return statistics.median(a / b for a, b in zip(numerator, denominator))


# --- the native-speed cases ---------------------------------------------------------


def native_cases(sizes):
    n8, q8 = sizes.vectors8
    n32, q32 = sizes.vectors32
    vocabulary, typos = cases.words(*sizes.words)
    digits, digit_queries = cases.digits(sizes.digits_queries)
    return [
        cases.Case("uniform 8-d", "vectors", *cases.uniform(8, n8, q8), k=K),
        cases.Case("uniform 32-d", "vectors", *cases.uniform(32, n32, q32), k=K),
        cases.Case("digits 64-d", "vectors", digits, digit_queries, k=K, repeats=10),
        cases.Case(f"words, within {WORD_RADIUS}", "words", vocabulary, typos, radius=WORD_RADIUS),
        cases.Case(f"words, {WORD_K} nearest", "words", vocabulary, typos, k=WORD_K),
    ]


def native_jobs(case):
    """Which libraries run on a case, korel's first."""
    if case.kind == "words":
        return [INDEX, EXTRACT, CDIST] + ([BKTREE] if case.radius is not None else [])
    korel = [INDEX, INDEX32] + ([NNK_EUCLIDEAN] if case.name == "uniform 8-d" else [])
    return korel + [PYNEAR, KDTREE, BALLTREE, FAISS, FAISS1]


def run_native(sizes):
    results = {}
    for case in native_cases(sizes):
        print(f"  {case.name}, n = {case.n}, {len(case.queries)} queries", flush=True)
        entries = [(name, Local(), cases.JOBS[name]) for name in native_jobs(case)]
        results[case.name] = (case, side_by_side(case, entries, sizes.rounds))
    return results


def memory(n, runs, python=None):
    """The memory probe, in fresh processes: the median of each figure."""
    results = []
    for _ in range(runs):
        output = subprocess.run([python or sys.executable, str(HERE / "memory_probe.py"),
                                 str(n), str(MEMORY_DIM)],
                                check=True, capture_output=True, text=True).stdout
        results.append(json.loads(output.strip().splitlines()[-1]))
    figures = {key: statistics.median(run[key] for run in results) for key in results[0]}
    figures["runs"] = len(results)
    return figures


# --- the Python-callable cost ---------------------------------------------------------


def callable_cost(name, points, queries, function, k, rounds):
    """Seconds per evaluation of korel.Index queries with a Python metric
    (query time over the evaluations the metric counts), and of a bare
    Python loop calling the same metric on the same pairs (recorded from
    the same queries beforehand), in alternating rounds."""
    import korel

    count = [0]
    recording = [None]

    def metric(a, b):
        count[0] += 1
        if recording[0] is not None:
            recording[0].append((a, b))
        return function(a, b)

    index = korel.Index(metric)
    index.add_many(points)
    pairs = recording[0] = []
    for query in queries:
        index.nearest(query, k)
    recording[0] = None

    def through_index():
        count[0] = 0
        start = time.perf_counter()
        for query in queries:
            index.nearest(query, k)
        return (time.perf_counter() - start) / count[0]

    def bare_loop():
        start = time.perf_counter()
        for a, b in pairs:
            metric(a, b)
        return (time.perf_counter() - start) / len(pairs)

    index_times, bare_times = [], []
    for number in range(rounds):
        order = (through_index, bare_loop) if number % 2 == 0 else (bare_loop, through_index)
        for run in order:
            (index_times if run is through_index else bare_times).append(run())
    result = {"case": name, "n": len(points), "queries": len(queries),
              "evals": len(pairs) / len(queries), "index": statistics.median(index_times),
              "bare": statistics.median(bare_times),
              "ratio": paired_ratio(index_times, bare_times)}
    print(f"  {name}: {result['index'] * 1e9:.0f} ns per evaluation through korel.Index, "
          f"{result['bare'] * 1e9:.0f} ns in a bare loop ({result['ratio']:.2f}x)", flush=True)
    return result


def run_callable(sizes):
    from rapidfuzz.distance import Levenshtein

    data, queries = cases.uniform(8, sizes.callable_n, sizes.callable_queries)
    vocabulary, typos = cases.words(sizes.callable_n, sizes.callable_queries)
    return [
        callable_cost(f"tuples of 8 floats, math.dist, {K} nearest",
                      [tuple(row) for row in data.tolist()],
                      [tuple(row) for row in queries.tolist()], math.dist, K, sizes.rounds),
        callable_cost(f"words, rapidfuzz Levenshtein.distance, {WORD_K} nearest", vocabulary,
                      typos, Levenshtein.distance, WORD_K, sizes.rounds),
    ]


# --- the Python-metric comparison ---------------------------------------------------


def python_cases(sizes):
    from korel import metrics

    result = []
    for dimension in (8, 32):
        for n in sizes.python_sizes:
            data, queries = cases.uniform(dimension, n, sizes.python_queries)
            result.append(cases.Case(f"uniform {dimension}-d", "vectors", data, queries, k=K,
                                     metric=cases.Counting(math.dist)))
    digits, digit_queries = cases.digits(sizes.digits_queries)
    result.append(cases.Case("digits 64-d", "vectors", digits,
                             digit_queries[:sizes.python_queries], k=K,
                             metric=cases.Counting(math.dist)))
    vocabulary, typos = cases.words(sizes.python_words, sizes.python_queries)
    for search in (dict(k=1), dict(k=K), dict(radius=1.0), dict(radius=2.0)):
        case = cases.Case("words", "words", vocabulary, typos,
                          metric=cases.Counting(metrics.levenshtein), **search)
        case.name = f"words, {'nearest' if case.k == 1 else case.search}"
        result.append(case)
    return result


def python_jobs(case):
    jobs = [cases.P_NNK, cases.P_INDEX, cases.P_BRUTE]
    if case.kind == "vectors":
        jobs += [cases.P_BALL, cases.P_VPTREE, cases.P_NNK_NATIVE, cases.P_BALL_NATIVE]
    else:
        jobs += [cases.P_VPTREE] + ([cases.P_BKTREE] if case.radius is not None else [])
        jobs += [cases.P_NNK_NATIVE]
    return jobs


def run_python(sizes):
    results = []
    for case in python_cases(sizes):
        print(f"  {case.name}, n = {case.n}, {len(case.queries)} queries", flush=True)
        entries = [(name, Local(), cases.PYTHON_JOBS[name]) for name in python_jobs(case)]
        results.append((case, side_by_side(case, entries, sizes.python_rounds)))
    return results


# --- targets --------------------------------------------------------------------------


@dataclass
class Target:
    key: str
    issue: str  # "native speed" or "korel.Index"
    what: str
    case: str = ""
    korel: tuple = ()  # (library, mode)
    reference: tuple = ()
    required: float = 1.0
    at_least: bool = True  # the ratio must be at least `required`, else at most


def speed(key, issue, what, case, korel, reference, required=1.0):
    """ratio = reference's ms per query / korel's: how many times faster korel is."""
    return Target(key, issue, what, case, korel, reference, required)


WITHIN_1_5 = 1 / 1.5
NATIVE = "native speed"
INDEX_ISSUE = "korel.Index"
TARGETS = [
    speed("single-8d", NATIVE, "Single queries, uniform 8-d: Index no slower than pynear",
          "uniform 8-d", (INDEX, "single"), (PYNEAR, "single")),
    speed("single-digits", NATIVE, "Single queries, digits 64-d: Index no slower than pynear",
          "digits 64-d", (INDEX, "single"), (PYNEAR, "single")),
    speed("single-32d", NATIVE, "Single queries, uniform 32-d: Index (float64) within 1.5x of pynear",
          "uniform 32-d", (INDEX, "single"), (PYNEAR, "single"), WITHIN_1_5),
    speed("single-32d-f32", NATIVE,
          "Single queries, uniform 32-d: Index float32 no slower than pynear",
          "uniform 32-d", (INDEX32, "single"), (PYNEAR, "single")),
    speed("batch-8d-pynear", NATIVE, "Batches, uniform 8-d: Index no slower than pynear",
          "uniform 8-d", (INDEX, "batch"), (PYNEAR, "batch")),
    speed("batch-8d-kdtree", NATIVE, "Batches, uniform 8-d: Index no slower than KDTree",
          "uniform 8-d", (INDEX, "batch"), (KDTREE, "batch")),
    speed("batch-32d-f32", NATIVE, "Batches, uniform 32-d: Index float32 no slower than pynear",
          "uniform 32-d", (INDEX32, "batch"), (PYNEAR, "batch")),
    speed("words-radius-single", NATIVE,
          f"Words within {WORD_RADIUS}, one query: Index 3x faster than process.extract",
          f"words, within {WORD_RADIUS}", (INDEX, "single"), (EXTRACT, "single"), 3.0),
    speed("words-knn-single", NATIVE,
          f"Words, {WORD_K} nearest, one query: Index 3x faster than process.extract",
          f"words, {WORD_K} nearest", (INDEX, "single"), (EXTRACT, "single"), 3.0),
    speed("words-radius-batch", NATIVE,
          f"Words within {WORD_RADIUS}, batched: Index within 1.5x of process.cdist",
          f"words, within {WORD_RADIUS}", (INDEX, "batch"), (CDIST, "batch"), WITHIN_1_5),
    speed("words-knn-batch", NATIVE,
          f"Words, {WORD_K} nearest, batched: Index within 1.5x of process.cdist",
          f"words, {WORD_K} nearest", (INDEX, "batch"), (CDIST, "batch"), WITHIN_1_5),
    Target("nnk-8d", NATIVE, "NearestNeighborsKorel + metrics.euclidean, uniform 8-d, "
           "n = 10^5: 1.5x faster than at 962e967", required=1.5),
    Target("memory", NATIVE, "Memory: RSS growth of a 10^6 x 8 Index at most 1.6x the raw "
           "float64 coordinates", required=1.6, at_least=False),
    Target("build", NATIVE, "Build: 10^6 x 8 Index in at most 1.5 s", required=1.5,
           at_least=False),
    Target("callable-vectors", INDEX_ISSUE, "Python callable over objects (tuples, math.dist): "
           "cost per evaluation at most 1.3x a bare call", required=1.3, at_least=False),
    Target("callable-words", INDEX_ISSUE, "Python callable over objects (str, rapidfuzz "
           "Levenshtein.distance): cost per evaluation at most 1.3x a bare call",
           required=1.3, at_least=False),
    speed("batch-speedup-8d", INDEX_ISSUE, "Batch vs one by one, uniform 8-d: 1.8x faster per query",
          "uniform 8-d", (INDEX, "batch"), (INDEX, "single"), 1.8),
    speed("batch-speedup-32d", INDEX_ISSUE, "Batch vs one by one, uniform 32-d: 1.8x faster per query",
          "uniform 32-d", (INDEX, "batch"), (INDEX, "single"), 1.8),
    speed("batch-speedup-words", INDEX_ISSUE,
          f"Batch vs one by one, words {WORD_K} nearest: 1.8x faster per query",
          f"words, {WORD_K} nearest", (INDEX, "batch"), (INDEX, "single"), 1.8),
]


def mode_name(library, mode):
    short = {INDEX: "Index", INDEX32: "Index f32", PYNEAR: "pynear", KDTREE: "KDTree",
             EXTRACT: "extract", CDIST: "cdist"}.get(library, library)
    return f"{short} {'batched' if mode == 'batch' else 'single'}"


def speed_figures(target, native, prefix=""):
    """(korel ms, reference ms, ratio) of a speed target; korel's row is the
    one labelled prefix + library (baseline.py's old build: "before: ")."""
    if target.case not in native:
        return None
    measured = native[target.case][1]
    korel = measured.get(prefix + target.korel[0])
    reference = measured.get((prefix if target.reference[0] == target.korel[0] else "")
                             + target.reference[0])
    if korel is None or reference is None:
        return None
    korel_rounds = korel.rounds.get(target.korel[1])
    reference_rounds = reference.rounds.get(target.reference[1])
    if not korel_rounds or not reference_rounds:
        return None
    return (statistics.median(korel_rounds) * 1e3, statistics.median(reference_rounds) * 1e3,
            paired_ratio(reference_rounds, korel_rounds))


def evaluate(native, memory_figures, callables):
    """Per target: (measured text, against text, ratio) or None when not measured."""
    figures = {}
    for target in TARGETS:
        if target.korel:
            found = speed_figures(target, native)
            if found:
                korel_ms, reference_ms, ratio = found
                figures[target.key] = (f"{mode_name(*target.korel)} {korel_ms:.3f} ms",
                                       f"{mode_name(*target.reference)} {reference_ms:.3f} ms",
                                       ratio)
    if memory_figures:
        growth = memory_figures["growth"]
        raw = memory_figures["n"] * memory_figures["dim"] * 8
        figures["memory"] = (f"{growth / 1e6:.1f} MB RSS growth", f"{raw / 1e6:.0f} MB raw",
                             growth / raw)
        figures["build"] = (f"{memory_figures['build']:.3f} s", "limit 1.5 s",
                            memory_figures["build"])
    for key, result in zip(("callable-vectors", "callable-words"), callables or []):
        figures[key] = (f"{result['index'] * 1e9:.0f} ns per evaluation",
                        f"bare call {result['bare'] * 1e9:.0f} ns", result["ratio"])
    return figures


def met(target, ratio):
    if ratio is None:
        return "not measured"
    return "met" if (ratio >= target.required if target.at_least else ratio <= target.required) \
        else "**missed**"


def required_text(target):
    if target.at_least and abs(target.required - WITHIN_1_5) < 1e-9:
        return "≥ 0.67 (within 1.5x)"
    return f"{'≥' if target.at_least else '≤'} {target.required:g}"


# --- the report ------------------------------------------------------------------------


def load_before(path):
    try:
        return json.loads(path.read_text())
    except (OSError, ValueError):
        return None


def target_rows(figures, before):
    """(target, measured, against, ratio, before) per target."""
    rows = []
    for target in TARGETS:
        measured, against, ratio = figures.get(target.key, ("not measured", "", None))
        earlier = (before or {}).get("targets", {}).get(target.key)
        if target.key == "nnk-8d" and earlier:
            # Both builds measured side by side by baseline.py: its pair is the figure.
            measured = f"{earlier['after']} (build of {before['after commit']})"
            against = f"{earlier['before']} (962e967)"
            ratio = earlier["ratio"]
            earlier_text = "recorded by baseline.py"
        elif earlier:
            earlier_text = f"{earlier['before']}, {earlier['ratio before']:.2f}"
        else:
            earlier_text = ""
        rows.append((target, measured, against, ratio, earlier_text))
    return rows


def targets_table(figures, before, quick):
    lines = [
        "| issue | target | measured | against | ratio | required | status | before: measured, ratio |",
        "|---|---|---|---|---:|---|---|---|",
    ]
    for target, measured, against, ratio, earlier_text in target_rows(figures, before):
        ratio_text = "" if ratio is None else f"{ratio:.2f}"
        lines.append(f"| {target.issue} | {target.what} | {measured} | {against} | {ratio_text} "
                     f"| {required_text(target)} | {met(target, ratio)} | {earlier_text} |")
    notes = [
        "",
        "Speed ratios are the reference's time per query over korel's (above 1: korel is "
        "faster), the median over rounds of the ratio within a round; the times shown are "
        "medians. Memory, build and callable ratios are korel's figure over the other one.",
    ]
    if before:
        notes.append(
            f"\"Before\" figures: korel at {before['before commit']} measured by "
            f"`bench/baseline.py` on {before['date']}, side by side with the peers and with the "
            f"build of {before['after commit']} (see [before.md](before.md)); "
            "NearestNeighborsKorel's row is that run's pair of builds, 962e967 against "
            f"{before['after commit']}. Compare the ratios rather than the times: the load of "
            "this shared machine changes from run to run.")
    if quick:
        notes.append("**Quick run**: sizes are smaller than the targets name; the figures "
                     "only show that the bench works.")
    return lines + notes


def native_tables(native):
    lines = []
    for name, (case, measured) in native.items():
        korel = measured.get(INDEX)
        passes = f" (timed {case.repeats} times over)" if case.repeats > 1 else ""
        lines += ["", f"### {name}: n = {case.n}, {len(case.queries)} queries{passes}, "
                  f"{case.search}", "",
                  "| library | build s | single ms/query | batched ms/query "
                  "| single / Index | batched / Index batched | answers | notes |",
                  "|---|---:|---:|---:|---:|---:|---|---|"]
        for label, record in measured.items():
            if record.error:
                lines.append(f"| {label} | | | | | | error: {record.error} | |")
                continue
            cells = []
            for what in ("build", "single", "batch"):
                value = record.median(what)
                scale = 1 if what == "build" else 1e3
                cells.append("" if value is None else f"{value * scale:.3f}")
            for mode in ("single", "batch"):
                ratio = paired_ratio(record.rounds.get(mode), korel.rounds.get(mode)) \
                    if korel else None
                cells.append("" if ratio is None else f"{ratio:.2f}")
            lines.append(f"| {label} | {' | '.join(cells)} | {answers_text(record)} "
                         f"| {record.job.note} |")
    return lines


def answers_text(record):
    if not record.correct:
        return "not checked"
    wrong = [mode for mode, ok in record.correct.items() if not ok]
    if wrong:
        return f"**WRONG ({', '.join(wrong)})**"
    if record.job.tolerance >= cases.FLOAT32:
        return "ok (float32 distances, rel. 1e-4)"
    return "ok, exact ids" if record.job.ids else "ok (distances)"


def python_table(results):
    lines = ["| case | library | metric | n | build s | query ms | evals/query "
             "| query / NearestNeighborsKorel | evals / NearestNeighborsKorel | answers |",
             "|---|---|---|---:|---:|---:|---:|---:|---:|---|"]
    for case, measured in results:
        for label, record in measured.items():
            native = label in cases.PYTHON_NATIVE
            reference = measured[cases.P_NNK_NATIVE if native else cases.P_NNK]
            evals = record.evals.get("single")
            reference_evals = reference.evals.get("single")
            ratio = paired_ratio(record.rounds.get("single"), reference.rounds.get("single"))
            lines.append(
                f"| {case.name} | {label} | {'native' if native else 'Python'} | {case.n} "
                f"| {record.median('build'):.3f} | {record.median('single') * 1e3:.3f} "
                f"| {'n/a' if evals is None else f'{evals:.0f}'} "
                f"| {'' if ratio is None else f'{ratio:.2f}'} "
                f"| {f'{evals / reference_evals:.2f}' if evals and reference_evals else 'n/a'} "
                f"| {answers_text(record)} |")
    return lines


def callable_table(callables):
    lines = ["| case | n | queries | evals/query | ns per evaluation, Index | "
             "ns per evaluation, bare loop | ratio |", "|---|---:|---:|---:|---:|---:|---:|"]
    for r in callables:
        lines.append(f"| {r['case']} | {r['n']} | {r['queries']} | {r['evals']:.0f} "
                     f"| {r['index'] * 1e9:.0f} | {r['bare'] * 1e9:.0f} | {r['ratio']:.2f} |")
    return lines


def memory_lines(figures):
    if not figures:
        return []
    return ["", "## Memory and build time", "",
            f"`bench/memory_probe.py {figures['n']:.0f} {MEMORY_DIM}` in a fresh process "
            f"(median of {figures['runs']} runs): RSS before allocating the data array, then "
            "after building with the array freed.", "",
            "| n | dim | raw float64 MB | RSS growth MB | growth / raw | with the array alive MB "
            "| peak growth MB | build s |", "|---:|---:|---:|---:|---:|---:|---:|---:|",
            f"| {figures['n']:.0f} | {figures['dim']:.0f} | {figures['raw'] / 1e6:.0f} "
            f"| {figures['growth'] / 1e6:.1f} | {figures['growth'] / figures['raw']:.2f} "
            f"| {figures['growth with data'] / 1e6:.1f} | {figures['peak growth'] / 1e6:.1f} "
            f"| {figures['build']:.3f} |"]


def markdown(arguments, seconds, sizes, native, memory_figures, callables, python, before):
    figures = evaluate(native, memory_figures, callables)
    import korel

    lines = [
        "# korel against its peers", "",
        f"`{' '.join(['python bench/peers.py'] + list(arguments))}`: {datetime.date.today()}, "
        f"{platform.system()} {platform.machine()}, {cpu_name()}, 2 cores shared with other "
        f"work, Python {platform.python_version()}, korel {korel.__version__} "
        f"(commit {git_commit()}), SIMD level {korel.metrics.simd_level()}; "
        f"{sizes.rounds} rounds; total {seconds / 60:.1f} min.", "",
        "## Targets", "",
    ] + targets_table(figures, before, sizes is QUICK)
    lines += [
        "", "## Native speed", "",
        f"Vectors: {K} nearest under Euclidean distance; words: the bench's made-up words "
        "under edit distance. Times are medians over rounds; \"single\" is one call per "
        "query, \"batched\" one call for the whole query set (on every core where the "
        "library can). Ratios are each library's time over korel.Index's in the same "
        "mode, median of per-round ratios (above 1: korel is faster). Answers to the first "
        f"{cases.CHECKED} queries are checked against brute force (NumPy, float64; edit "
        "distance by a NumPy dynamic program): korel.Index with float64 storage must return "
        "the same ids in the same order (ties by id) and the same distances; peers and "
        "float32 storage must return the same distances within the rounding of their "
        "floats. pynear and faiss compute in float32 only.",
    ] + native_tables(native)
    lines += memory_lines(memory_figures)
    if callables:
        lines += ["", "## Python callables", "",
                  "korel.Index over Python objects with a Python metric that counts its own "
                  "calls: time per query over the evaluations counted, against a bare Python "
                  "loop (`for a, b in pairs: metric(a, b)`) over the pairs the same queries "
                  "evaluated; alternating, median of per-round ratios.", ""]
        lines += callable_table(callables)
    if python:
        lines += ["", "## With a Python metric", "",
                  "Every library gets the same counting Python metric (`math.dist` on lists "
                  "of floats; `korel.metrics.levenshtein` called from Python on "
                  "`korel.encode`d words); rows marked native use the library's own metric. "
                  "Single queries; ratios over NearestNeighborsKorel with the same kind of "
                  "metric, median of per-round ratios.", ""]
        lines += python_table(python)
    return "\n".join(lines) + "\n", figures


def cpu_name():
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def git_commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=HERE,
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def plot(python, path):
    """Query time and evaluations against n, Python-metric uniform cases."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(case.name for case, _ in python if case.name.startswith("uniform")))
    if not names:
        return
    figure, axes = plt.subplots(2, len(names), figsize=(5 * len(names), 8), squeeze=False)
    for column, name in enumerate(names):
        runs = [(case, measured) for case, measured in python if case.name == name]
        for label in runs[0][1]:
            sizes = [case.n for case, _ in runs]
            style = "--" if label in cases.PYTHON_NATIVE else "-"
            axes[0][column].plot(sizes, [m[label].median("single") * 1e3 for _, m in runs],
                                 style, marker="o", label=label)
            if label not in cases.PYTHON_NATIVE:
                axes[1][column].plot(sizes, [m[label].evals.get("single") for _, m in runs],
                                     style, marker="o", label=label)
        axes[0][column].set_title(f"{name}, {K} nearest")
        axes[0][column].set_ylabel("query time (ms)")
        axes[1][column].set_ylabel("distance evaluations per query")
        for cell in (axes[0][column], axes[1][column]):
            cell.set_xscale("log")
            cell.set_yscale("log")
            cell.set_xlabel("n (stored points)")
            cell.grid(True, which="both", alpha=0.3)
            cell.legend(fontsize=7)
    figure.suptitle("korel and its peers with a Python metric (dashed: native metric)")
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)


# --- main -------------------------------------------------------------------------------


SECTIONS = ("native", "memory", "callable", "python")


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes: about a minute")
    parser.add_argument("--only", default=",".join(SECTIONS),
                        help=f"comma-separated sections to run: {', '.join(SECTIONS)}")
    parser.add_argument("--output", help="folder for latest.md and latest.png (default: "
                        "bench/results, or bench/results/quick with --quick)")
    options = parser.parse_args(arguments)
    sections = set(options.only.split(","))
    sizes = QUICK if options.quick else FULL
    started = time.perf_counter()
    native = memory_figures = callables = python = None
    if "native" in sections:
        print("Native speed", flush=True)
        native = run_native(sizes)
    if "memory" in sections:
        print("Memory", flush=True)
        memory_figures = memory(sizes.memory_n, sizes.memory_runs)
        print(f"  {memory_figures}", flush=True)
    if "callable" in sections:
        print("Python callables", flush=True)
        callables = run_callable(sizes)
    if "python" in sections:
        print("With a Python metric", flush=True)
        python = run_python(sizes)
    before = load_before(RESULTS / "before.json")
    text, figures = markdown(sys.argv[1:] if arguments is None else arguments,
                             time.perf_counter() - started, sizes, native or {},
                             memory_figures, callables, python, before)
    output = pathlib.Path(options.output or (RESULTS / "quick" if options.quick else RESULTS))
    output.mkdir(parents=True, exist_ok=True)
    (output / "latest.md").write_text(text)
    if python:
        plot(python, output / "latest.png")
    print("\nTargets:")
    for target, measured, against, ratio, _ in target_rows(figures, before):
        print(f"  {target.what}: {measured} vs {against}: "
              f"{'' if ratio is None else f'{ratio:.2f}'} ({required_text(target)}: "
              f"{met(target, ratio).strip('*')})")
    print(f"Total {(time.perf_counter() - started) / 60:.1f} min; wrote {output / 'latest.md'}")


if __name__ == "__main__":
    main()
