// Running independent pieces of work on several threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "vexel/worker_pool.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vexel {

// A thread ended by the system (pthread_exit, pthread_cancel; CPython ends a
// daemon thread so at exit) unwinds with a "forced unwind" that must never be
// swallowed: catching it without rethrowing aborts the process.
#if defined(__GLIBCXX__)
#define VEXEL_RETHROW_FORCED_UNWIND(on_unwind) \
  catch (abi::__forced_unwind&) {              \
    on_unwind;                                 \
    throw;                                     \
  }
#else
#define VEXEL_RETHROW_FORCED_UNWIND(on_unwind)
#endif

// To call once a thread has started others: a new thread starts on its
// creator's core, and may wait there until the creator blocks
// (milliseconds, on some virtual machines) while another core idles;
// stepping aside lets the scheduler spread them at once.
inline void let_new_threads_spread() { std::this_thread::yield(); }

// Runs work(begin, end, worker) over [0, count) in chunks of `chunk` items on
// up to `workers` threads, the calling thread being worker 0. Between its
// chunks the calling thread runs poll(), which may throw to stop the run (an
// interrupted caller). The first exception, of a worker or of poll, stops
// every thread at its next chunk and is rethrown once all have stopped. When
// the system refuses more threads, fewer do the work. The other workers are
// kept threads (WorkerPool) where they are free. A forced unwind of the
// calling thread stops the others, waits for them and goes on unwinding.
template <typename Work, typename Poll>
void run_parallel(std::size_t count, std::size_t workers, std::size_t chunk, Work work,
                  Poll poll) {
  chunk = std::max<std::size_t>(chunk, 1);
  workers = std::max<std::size_t>(1, std::min(workers, (count + chunk - 1) / chunk));
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto fail = [&](std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(failure_mutex);
    if (!failure) failure = error;
    stop.store(true);
  };
  auto run = [&](std::size_t worker, bool polls) {
    while (!stop.load(std::memory_order_relaxed)) {
      if (polls) {
        try {
          poll();
        } VEXEL_RETHROW_FORCED_UNWIND(stop.store(true)) catch (...) {
          fail(std::current_exception());
          return;
        }
      }
      const std::size_t begin = next.fetch_add(chunk);
      if (begin >= count) return;
      try {
        work(begin, std::min(begin + chunk, count), worker);
      } VEXEL_RETHROW_FORCED_UNWIND(stop.store(true)) catch (...) {
        fail(std::current_exception());
        return;
      }
    }
  };

  // Kept threads where they are free, else threads of this run's own.
  WorkerPool::Lease helpers;
  WorkerPool::lease(workers - 1, helpers);
  auto help = [&](std::size_t worker) { run(worker, false); };
  helpers.start(help);
  std::vector<std::thread> threads;
  try {
    threads.reserve(workers - 1 - helpers.size());
    for (std::size_t worker = helpers.size() + 1; worker < workers; ++worker) {
      threads.emplace_back(run, worker, false);
    }
  } catch (const std::system_error&) {
    // Fewer threads than asked for.
  } catch (const std::bad_alloc&) {
  }
  if (!threads.empty()) let_new_threads_spread();
  try {
    run(0, true);
  } catch (...) {  // only a forced unwind leaves `run`
    stop.store(true);
    helpers.wait();
    for (std::thread& thread : threads) thread.join();
    throw;
  }
  helpers.wait();
  for (std::thread& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace vexel
