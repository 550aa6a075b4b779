// How korel._index runs work: batches of queries on several threads
// without the GIL for native metrics (serially with it for a Python
// callable), tree builds that Ctrl-C can stop, and the scratch of searches.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "binding/gil.h"
#include "vexel/parallel.h"

namespace korel {
namespace index {

namespace py = pybind11;
using binding::ReleasedGil;

// Thrown by a poll that found a Python exception (KeyboardInterrupt) raised
// by a signal handler; the exception waits in the thread state.
struct Interrupted {};

// Runs the signal handlers at most every 20 ms of long work.
class SignalPoll {
 public:
  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20)) return false;
    last_ = now;
    return true;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Reports the progress of a batch to a Python callable `progress(done,
// total)` (None: to nobody), at most every 200 ms and once at the end. The
// callable is borrowed from the caller, so that an unwind without the GIL
// (a thread ended at exit) releases nothing.
class ProgressReport {
 public:
  ProgressReport(py::handle progress, std::size_t total) : progress_(progress.ptr()), total_(total) {}

  bool wanted() const { return progress_ != Py_None; }
  void set_total(std::size_t total) { total_ = total; }
  // Whether a report is due now; the caller then calls `report` with the GIL.
  bool due() {
    if (!wanted()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return false;
    last_ = now;
    return true;
  }
  // Calls the callable (holding the GIL); false when it raised, the
  // exception then waiting in the thread state.
  bool report(std::size_t done) {
    PyObject* result = PyObject_CallFunction(progress_, "nn", static_cast<Py_ssize_t>(done),
                                             static_cast<Py_ssize_t>(total_));
    if (result == nullptr) return false;
    Py_DECREF(result);
    return true;
  }
  // Whether `done` is the end, not yet reported: reported now, however
  // soon after the last report.
  bool final(std::size_t done) {
    if (!wanted() || finished_ || done != total_) return false;
    finished_ = true;
    return true;
  }
  void finish() {
    if (wanted() && !finished_ && !report(total_)) throw py::error_already_set();
    finished_ = true;
  }

 private:
  PyObject* progress_;
  std::size_t total_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Runs `work(begin, end, worker)` over [0, count), in ranges of `chunk`
// items: without the GIL on up to `workers` threads for native metrics,
// serially with the GIL for a Python callable. Either way Ctrl-C stops it
// with KeyboardInterrupt, and `progress` (a callable or None) hears how
// many items are done.
template <typename Work>
void run_batch(bool native, std::size_t count, std::size_t workers, Work work,
               py::handle progress = py::none(), std::size_t chunk = 8) {
  if (native && count == 1 && progress.is_none()) {
    // A single query, heard by nobody: there is no point between chunks to
    // poll at, and the interpreter answers a signal that came meanwhile as
    // soon as the call returns.
    ReleasedGil released;
    work(0, 1, 0);
    released.reacquire();
    return;
  }
  SignalPoll poll;
  ProgressReport report(progress, count);
  std::atomic<std::size_t> done{0};
  const auto counted = [&](std::size_t begin, std::size_t end, std::size_t worker) {
    work(begin, end, worker);
    done.fetch_add(end - begin, std::memory_order_relaxed);
  };
  if (!native) {
    vexel::run_parallel(count, 1, 1, counted, [&] {
      if (poll.due() && PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (report.due() && !report.report(done.load())) throw py::error_already_set();
    });
    report.finish();
    return;
  }
  ReleasedGil released;
  bool interrupted = false;
  try {
    vexel::run_parallel(count, workers, chunk, counted, [&] {
      if (poll.due() && !released.check_signals()) throw Interrupted();
      if (report.due() && !released.with_gil([&] { return report.report(done.load()); })) throw Interrupted();
    });
  } catch (const Interrupted&) {
    interrupted = true;
  }
  released.reacquire();
  if (interrupted) throw py::error_already_set();
  report.finish();
}

template <typename Rows>
struct Searcher {
  typename Rows::Neighbors neighbors;
  typename Rows::SearchScratch scratch;
  std::vector<typename Rows::Neighbor> found;
  std::vector<typename Rows::Neighbor> last;  // the answer before `found`, in a batch in `order`
};

// The scratch of a batch's workers. A native batch on one worker (every
// single query) borrows its thread's cached scratch, warm from the last
// search, unless a search of this thread holds it already (a signal handler
// may search while a search waits); a Python callable may search anything
// from inside a search, so its batches always start afresh. A cached scratch
// grown for a large answer is dropped afterwards.
template <typename Rows>
class Searchers {
 public:
  Searchers(bool native, std::size_t workers) {
    Cached& cached = cache();
    if (native && workers == 1 && !cached.busy) {
      borrowed_ = &cached;
      cached.busy = true;
      cached.searcher.last.clear();
    } else {
      own_.resize(workers);
    }
  }
  ~Searchers() {
    if (!borrowed_) return;
    if (borrowed_->largest > large) borrowed_->searcher = Searcher<Rows>();
    borrowed_->largest = 0;
    borrowed_->busy = false;
  }
  Searchers(const Searchers&) = delete;
  Searchers& operator=(const Searchers&) = delete;

  Searcher<Rows>& operator[](std::size_t worker) { return borrowed_ ? borrowed_->searcher : own_[worker]; }
  // Records an answer of `size` neighbours.
  void answered(std::size_t size) {
    if (borrowed_) borrowed_->largest = std::max(borrowed_->largest, size);
  }

 private:
  static constexpr std::size_t large = 4096;
  struct Cached {
    Searcher<Rows> searcher;
    std::size_t largest = 0;
    bool busy = false;
  };
  static Cached& cache() {
    thread_local Cached cached;
    return cached;
  }
  Cached* borrowed_ = nullptr;
  std::vector<Searcher<Rows>> own_;
};

// The answers of a batch's first queries, found before the batch ran (by
// the trial of vector_scans.h), in query order.
template <typename Rows>
using FirstAnswers = std::vector<std::vector<typename Rows::Neighbor>>;

// Writes `found` into row i of the (distances, ids) arrays, `width` wide.
template <typename Neighbor>
void write_answer(double* d, std::int64_t* id, std::size_t width, std::size_t i, const std::vector<Neighbor>& found) {
  for (std::size_t j = 0; j < found.size(); ++j) {
    d[i * width + j] = found[j].distance;
    id[i * width + j] = found[j].stored;
  }
}

// The k nearest of each of `count` queries (`query_of(i)`), on `workers`
// threads; the queries that `first` answers already (if given) are not
// searched again. Given an `order` that puts near queries together, each
// search starts from the bound its worker's last answer gives.
template <typename Rows, typename QueryOf>
py::tuple nearest_batch(const Rows& rows, bool native, std::size_t count, std::size_t k,
                        std::size_t workers, QueryOf query_of, bool single = false,
                        py::handle progress = py::none(), const FirstAnswers<Rows>* first = nullptr,
                        const std::vector<std::uint32_t>& order = {}) {
  k = std::min(k, rows.size());
  const std::size_t width = k;
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(width)};
  if (single) shape.erase(shape.begin());
  const std::size_t size = count * width;
  const std::size_t known = first != nullptr ? std::min(first->size(), count) : 0;
  auto search = [&](double* d, std::int64_t* id) {
    std::fill(d, d + size, std::numeric_limits<double>::infinity());
    std::fill(id, id + size, std::int64_t{-1});
    for (std::size_t i = 0; i < known; ++i) write_answer(d, id, width, i, (*first)[i]);
    workers = std::max<std::size_t>(1, std::min(workers, count));
    Searchers<Rows> searchers(native, workers);
    searchers.answered(k);
    run_batch(
        native, count, workers,
        [&](std::size_t begin, std::size_t end, std::size_t worker) {
          Searcher<Rows>& s = searchers[worker];
          for (std::size_t i = begin; i < end; ++i) {
            const std::size_t at = order.empty() ? i : order[i];
            if (at < known) continue;
            if (order.empty()) {
              rows.nearest(query_of(at), k, s.found, s.neighbors, s.scratch);
            } else {
              s.last.swap(s.found);
              rows.nearest_near(query_of(at), k, s.last, s.found, s.neighbors, s.scratch);
            }
            write_answer(d, id, width, at, s.found);
          }
        },
        progress);
  };
  if (native) {
    py::array_t<double> distances(shape);
    py::array_t<std::int64_t> ids(shape);
    search(distances.mutable_data(), ids.mutable_data());
    return py::make_tuple(std::move(distances), std::move(ids));
  }
  // A Python callable may end this thread at exit, and the unwind must then
  // free no Python object (it holds no GIL): the arrays are made once the
  // search is done.
  std::vector<double> d(size);
  std::vector<std::int64_t> id(size);
  search(d.data(), id.data());
  py::array_t<double> distances(shape);
  py::array_t<std::int64_t> ids(shape);
  std::copy(d.begin(), d.end(), distances.mutable_data());
  std::copy(id.begin(), id.end(), ids.mutable_data());
  return py::make_tuple(std::move(distances), std::move(ids));
}

// Answers of several queries as a list of (distances, ids) pairs of
// arrays; each answer is freed once copied.
template <typename Neighbor>
py::list answers_list(std::vector<std::vector<Neighbor>>& results) {
  py::list out(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::vector<Neighbor>& found = results[i];
    py::array_t<double> distances(static_cast<py::ssize_t>(found.size()));
    py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(found.size()));
    double* d = distances.mutable_data();
    std::int64_t* id = ids.mutable_data();
    for (std::size_t j = 0; j < found.size(); ++j) {
      d[j] = found[j].distance;
      id[j] = found[j].stored;
    }
    out[i] = py::make_tuple(std::move(distances), std::move(ids));
    std::vector<Neighbor>().swap(results[i]);
  }
  return out;
}

// Every point within `radius` of each query: a list of (distances, ids).
// The queries that `first` answers already (if given) are not searched
// again; their answers are moved out of it.
template <typename Rows, typename QueryOf>
py::list within_batch(const Rows& rows, bool native, std::size_t count, double radius,
                      std::size_t workers, QueryOf query_of, py::handle progress = py::none(),
                      FirstAnswers<Rows>* first = nullptr, const std::vector<std::uint32_t>& order = {}) {
  using Found = std::vector<typename Rows::Neighbor>;
  std::vector<Found> results(count);
  const std::size_t known = first != nullptr ? std::min(first->size(), count) : 0;
  for (std::size_t i = 0; i < known; ++i) results[i].swap((*first)[i]);
  workers = std::max<std::size_t>(1, std::min(workers, count));
  Searchers<Rows> searchers(native, workers);
  run_batch(
      native, count, workers,
      [&](std::size_t begin, std::size_t end, std::size_t worker) {
        Searcher<Rows>& s = searchers[worker];
        for (std::size_t i = begin; i < end; ++i) {
          const std::size_t at = order.empty() ? i : order[i];
          if (at < known) continue;
          rows.within(query_of(at), radius, results[at], s.neighbors, s.scratch);
          searchers.answered(results[at].size());
        }
      },
      progress);
  return answers_list(results);
}

// A large build frees big temporary blocks (the split matrices, the old row
// block) that the C library keeps in its heap; hand them back to the system.
inline void release_freed_memory(std::size_t rows_added) {
#if defined(__GLIBC__)
  if (rows_added >= (std::size_t{1} << 16)) malloc_trim(0);
#else
  (void)rows_added;
#endif
}

// Runs `work`, which may build or rebuild the tree, so that Ctrl-C stops it
// between two leaf splits: without the GIL for a native metric, with it for
// a Python callable (whose own code answers signals too). `progress` (a
// callable or None) hears how many rows of an add are in place.
template <typename Rows, typename Work>
void run_interruptibly(Rows& rows, bool native, Work work, py::handle progress = py::none()) {
  SignalPoll poll;
  ProgressReport report(progress, 0);
  const auto settled = [&] {
    report.set_total(rows.settling_rows);
    return std::min(rows.settled_rows.load(std::memory_order_relaxed), rows.settling_rows);
  };
  struct Forget {
    Rows& rows;
    ~Forget() {
      rows.interruption_point = nullptr;
      rows.build_workers = 1;
    }
  } forget{rows};
  if (!native) {
    rows.interruption_point = [&] {
      if (poll.due() && PyErr_CheckSignals() != 0) throw py::error_already_set();
      const std::size_t done = settled();
      if ((report.final(done) || report.due()) && !report.report(done)) throw py::error_already_set();
    };
    work();
    report.set_total(rows.settling_rows);
    report.finish();
    return;
  }
  bool interrupted = false;
  // A native metric builds a batch's tree on every core (the same tree).
  rows.build_workers = std::max(1u, std::thread::hardware_concurrency());
  {
    ReleasedGil released;
    rows.interruption_point = [&] {
      if (poll.due() && !released.check_signals()) throw Interrupted();
      const std::size_t done = settled();
      if ((report.final(done) || report.due()) && !released.with_gil([&] { return report.report(done); })) {
        throw Interrupted();
      }
    };
    try {
      work();
    } catch (const Interrupted&) {
      interrupted = true;
    }
    released.reacquire();
  }
  if (interrupted) throw py::error_already_set();
  report.set_total(rows.settling_rows);
  report.finish();
}


}  // namespace index
}  // namespace korel
