// Threads kept between parallel runs. Starting a thread for each run, and
// waiting for the scheduler to place it, can cost as much as a short
// batch's whole share of work on a virtual machine; a kept thread waits for
// the next run, spinning a little first, as runs often follow each other
// closely (a batch's trial, then its scan).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define VEXEL_HAS_FORK 1
#endif

namespace vexel {

class WorkerPool {
 public:
  // How long a kept thread, or a caller waiting for one, spins before it
  // sleeps.
  static constexpr std::chrono::microseconds spin_time{100};

  // The helpers of one run: while a lease lives, no other run has them.
  class Lease {
   public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      if (!pool_) return;
      wait();
      pool_->busy_.store(false, std::memory_order_release);
    }

    // How many helpers the run has (0: none; the caller starts its own).
    std::size_t size() const { return helpers_; }

    // Starts task(h) on helper h, for every h in [1, size()]. The task must
    // not throw (a thread the system ends may unwind through it).
    template <typename Task>
    void start(Task& task) {
      if (helpers_ == 0) return;
      pool_->start(helpers_, &task, [](void* context, std::size_t h) { (*static_cast<Task*>(context))(h); });
      started_ = true;
    }

    // Returns once every helper has returned from its task.
    void wait() {
      if (!started_) return;
      pool_->wait();
      started_ = false;
    }

   private:
    friend class WorkerPool;
    WorkerPool* pool_ = nullptr;
    std::size_t helpers_ = 0;
    bool started_ = false;
  };

  // Up to `helpers` kept threads for one run (and no more than the cores),
  // started as needed; none while another run holds them, from inside a
  // kept thread, or when the system starts no thread.
  static void lease(std::size_t helpers, Lease& lease) {
    WorkerPool* pool = shared();
    if (pool == nullptr || helpers == 0 || helpers > max_helpers() || inside_a_helper()) return;
    if (pool->busy_.exchange(true, std::memory_order_acquire)) return;
    lease.pool_ = pool;
    lease.helpers_ = pool->grow(helpers);
  }

 private:
  using Call = void (*)(void*, std::size_t);

  static std::size_t max_helpers() {
    static const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());  // read once: a file read
    return cores;
  }

  static bool& inside_a_helper() {
    static thread_local bool inside = false;
    return inside;
  }

  // The pool of this process, made at first use and never destroyed: its
  // threads wait until the process ends. A child that fork() made has none
  // of its parent's threads, and makes its own pool.
  static WorkerPool* shared() {
    static std::atomic<WorkerPool*> current{nullptr};
    WorkerPool* pool = current.load(std::memory_order_acquire);
    if (pool != nullptr && pool->owner_ == this_process()) return pool;
    WorkerPool* made = new (std::nothrow) WorkerPool();
    if (made == nullptr) return nullptr;
    if (current.compare_exchange_strong(pool, made, std::memory_order_acq_rel)) return made;
    delete made;  // another thread made one first; it has no threads yet
    return pool;
  }

  static std::int64_t this_process() {
#if defined(VEXEL_HAS_FORK)
    return static_cast<std::int64_t>(getpid());
#else
    return 0;
#endif
  }

  WorkerPool() : owner_(this_process()) {}

  // Starts threads up to `helpers` of them, or as many as the system gives;
  // how many there are.
  std::size_t grow(std::size_t helpers) {
    while (threads_ < helpers && !broken_.load()) {
      try {
        std::thread([this, h = threads_ + 1] { serve(h); }).detach();
        ++threads_;
      } catch (const std::system_error&) {
        break;
      } catch (const std::bad_alloc&) {
        break;
      }
    }
    return broken_.load() ? 0 : std::min(helpers, threads_);
  }

  void start(std::size_t helpers, void* context, Call call) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call_ = call;
      context_ = context;
      active_ = helpers;
      pending_.store(helpers, std::memory_order_relaxed);
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
  }

  void wait() {
    spin_until([this] { return pending_.load(std::memory_order_acquire) == 0; });
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
  }

  void serve(std::size_t h) {
    inside_a_helper() = true;
    std::uint64_t seen = 0;
    for (;;) {
      spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; });
      Call call;
      void* context;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
        seen = generation_.load(std::memory_order_relaxed);
        if (h > active_) continue;
        call = call_;
        context = context_;
      }
      try {
        call(context, h);
      } catch (...) {
        // Only the system ending this thread gets here (tasks do not
        // throw): the run must not wait for it, and no run may count on it.
        broken_.store(true);
        done_one();
        throw;
      }
      done_one();
    }
  }

  void done_one() {
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.notify_all();
  }

  // Spins until `ready()` or for spin_time, whichever comes first.
  template <typename Ready>
  static void spin_until(Ready ready) {
    const auto until = std::chrono::steady_clock::now() + spin_time;
    while (!ready() && std::chrono::steady_clock::now() < until) pause();
  }

  static void pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }

  const std::int64_t owner_;
  std::atomic<bool> busy_{false}, broken_{false};
  std::size_t threads_ = 0;  // started, detached, numbered from 1
  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<std::size_t> pending_{0};
  std::size_t active_ = 0;
  Call call_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace vexel
