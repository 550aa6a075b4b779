// Batches of vector queries where the tree would measure most rows anyway
// (distances that concentrate): a streaming scan of every row answers them
// instead (vexel/vector_scan.h), with the tree's answers to the last bit.
// The first queries of a batch go through the tree, counted, and decide
// (vexel::prefers_scan): the choice follows from the data and the queries
// alone, the same on every machine.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "index/batches.h"
#include "vexel/vector_scan.h"

namespace korel {
namespace index {

namespace py = pybind11;

template <typename Scalar>
using VectorRows = vexel::RowIndex<vexel::VectorSpace<Scalar>>;

// The scan of `rows` when the first queries of a batch of `count` say it
// pays, after answering those queries through the tree into `first` (the
// trial costs little: the answers it finishes are kept, by the scan and by
// the tree alike; it ends as soon as the choice is settled); null
// otherwise. The trial's queries go on up to `workers` threads, which stop
// together once the choice is settled; the choice is the same however they
// interleave, as their counts only add up (vexel::TrialWork). `first`
// keeps the answers of the trial's queries up to the first it left
// unfinished. `search(query, searcher, budget, trial)` runs one counted tree
// search (vexel::nearest_counted or within_counted); the scan is prepared
// on `workers` threads. Called with the GIL held; releases it while it
// works.
template <typename Scalar, typename Search>
std::unique_ptr<vexel::VectorScan<Scalar>> scan_if_it_pays(const VectorRows<Scalar>& rows, std::size_t count,
                                                           std::size_t workers, const double* queries,
                                                           FirstAnswers<VectorRows<Scalar>>& first, Search search) {
  const auto metric = rows.space.metric();
  if (metric != vexel::VectorMetric::euclidean && metric != vexel::VectorMetric::angular) return nullptr;
  if (count <= vexel::scan_probe_queries || rows.size() == 0) return nullptr;
  ReleasedGil released;
  const std::size_t dim = rows.space.dim();
  constexpr std::size_t probes = vexel::scan_probe_queries;
  const std::size_t trial_workers = std::clamp<std::size_t>(workers, 1, probes);
  std::vector<Searcher<VectorRows<Scalar>>> searchers(trial_workers);
  FirstAnswers<VectorRows<Scalar>> answers(probes);
  std::vector<std::uint8_t> finished(probes, 0);
  vexel::TrialWork trial(rows.size(), dim);
  const std::uint64_t budget = vexel::probe_budget(rows.size());
  vexel::run_parallel(
      probes, trial_workers, 1,
      [&](std::size_t i, std::size_t, std::size_t worker) {
        if (trial.settled()) return;
        Searcher<VectorRows<Scalar>>& searcher = searchers[worker];
        const std::uint64_t one = search(queries + i * dim, searcher, budget, &trial);
        if (one >= budget) trial.settle();  // an unfinished answer: the scan gives it
        if (trial.settled()) return;        // this answer may be unfinished
        answers[i].swap(searcher.found);
        finished[i] = 1;
      },
      [] {});
  first.clear();
  for (std::size_t i = 0; i < probes && finished[i]; ++i) first.push_back(std::move(answers[i]));
  std::unique_ptr<vexel::VectorScan<Scalar>> scan;
  if (trial.settled()) {
    scan = std::make_unique<vexel::VectorScan<Scalar>>(vexel::VectorScan<Scalar>::of(rows, workers));
  }
  released.reacquire();
  return scan;
}

// Queries a scan answers at once: about half a worker's share, so that the
// workers (kept threads, which start at once) finish together. A call
// spreads its queries and sets up its buffers, and where the scan could not
// keep its rows packed it packs them again: such calls take at least 64
// queries, others at least 16. Ctrl-C and progress wait for a call.
inline std::size_t scan_block(std::size_t count, std::size_t workers, bool packed) {
  const std::size_t calls = 2 * std::max<std::size_t>(workers, 1);
  return std::clamp<std::size_t>((count + calls - 1) / calls, packed ? 16 : 64, 1024);
}

// The k nearest of `count` queries as nearest_batch answers them, or None
// where the tree should answer (see scan_if_it_pays), leaving in `first`
// the answers the trial found.
template <typename Scalar>
py::object scanned_nearest(const VectorRows<Scalar>& rows, const double* queries, std::size_t count, std::size_t k,
                           std::size_t workers, py::handle progress, FirstAnswers<VectorRows<Scalar>>& first) {
  using Neighbor = typename VectorRows<Scalar>::Neighbor;
  k = std::min(k, rows.size());
  const std::size_t dim = rows.space.dim();
  const auto search = [&](const double* query, auto& s, std::uint64_t budget, vexel::TrialWork* trial) {
    return vexel::nearest_counted(rows, query, k, s.found, s.neighbors, s.scratch, budget, trial);
  };
  const auto scan = scan_if_it_pays<Scalar>(rows, count, workers, queries, first, search);
  if (!scan) return py::none();
  py::array_t<double> distances({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(k)});
  py::array_t<std::int64_t> ids({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(k)});
  double* d = distances.mutable_data();
  std::int64_t* id = ids.mutable_data();
  std::fill(d, d + count * k, std::numeric_limits<double>::infinity());
  std::fill(id, id + count * k, std::int64_t{-1});
  for (std::size_t i = 0; i < first.size(); ++i) write_answer(d, id, k, i, first[i]);
  run_batch(
      true, count, workers,
      [&](std::size_t begin, std::size_t end, std::size_t) {
        begin = std::max(begin, first.size());
        if (begin >= end) return;
        std::vector<std::vector<Neighbor>> found;
        scan->nearest(queries + begin * dim, end - begin, k, found);
        for (std::size_t i = begin; i < end; ++i) write_answer(d, id, k, i, found[i - begin]);
      },
      progress, scan_block(count, workers, scan->packed()));
  return py::make_tuple(std::move(distances), std::move(ids));
}

// Every point within `radius` of each of `count` queries as within_batch
// answers them, or None where the tree should answer, leaving in `results`
// the answers the trial found.
template <typename Scalar>
py::object scanned_within(const VectorRows<Scalar>& rows, const double* queries, std::size_t count, double radius,
                          std::size_t workers, py::handle progress, FirstAnswers<VectorRows<Scalar>>& results) {
  using Neighbor = typename VectorRows<Scalar>::Neighbor;
  const std::size_t dim = rows.space.dim();
  const auto search = [&](const double* query, auto& s, std::uint64_t budget, vexel::TrialWork* trial) {
    return vexel::within_counted(rows, query, radius, s.found, s.neighbors, s.scratch, budget, trial);
  };
  const auto scan = scan_if_it_pays<Scalar>(rows, count, workers, queries, results, search);
  if (!scan) return py::none();
  const std::size_t probed = results.size();
  results.resize(count);
  run_batch(
      true, count, workers,
      [&](std::size_t begin, std::size_t end, std::size_t) {
        begin = std::max(begin, probed);
        if (begin >= end) return;
        std::vector<std::vector<Neighbor>> found;
        scan->within(queries + begin * dim, end - begin, radius, found);
        for (std::size_t i = begin; i < end; ++i) results[i].swap(found[i - begin]);
      },
      progress, scan_block(count, workers, scan->packed()));
  return answers_list(results);
}

}  // namespace index
}  // namespace korel
