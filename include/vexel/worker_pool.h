// Threads kept between parallel runs. Starting a thread for each run, and
// waiting for the scheduler to place it, can cost as much as a short
// batch's whole share of work on a virtual machine; a kept thread waits for
// the next run, spinning a little first, as runs often follow each other
// closely (a batch's trial, then its scan). Waking a thread that sleeps
// costs as much again: a run whose work is done before its helpers wake
// up does not wait for them (they find it closed and leave its task alone).
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
  // How long a kept thread spins for the next run before it sleeps.
  static constexpr std::chrono::microseconds spin_time{100};
  // How long a caller spins for the helpers still inside its run's task
  // before it sleeps: they are at work, and waking the caller again would
  // cost more than their last piece of it.
  static constexpr std::chrono::microseconds finish_spin_time{1000};

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

    // Offers task(h) to helper h, for every h in [1, size()]: each helper
    // that wakes before wait() closes the run calls it. The task must not
    // throw (a thread the system ends may unwind through it).
    template <typename Task>
    void start(Task& task) {
      if (helpers_ == 0) return;
      pool_->start(helpers_, &task, [](void* context, std::size_t h) { (*static_cast<Task*>(context))(h); });
      started_ = true;
    }

    // Closes the run to helpers not yet in its task, and returns once every
    // helper that is has returned from it.
    void wait() {
      if (!started_) return;
      pool_->finish();
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

  // The state of the run in `run_`: its number (the high 32 bits), whether
  // helpers may still join it (bit 0), and how many are inside its task
  // (the bits between, 2 a helper).
  static constexpr std::uint64_t open_bit = 1, one_inside = 2;
  static std::uint64_t number(std::uint64_t state) { return state >> 32; }
  static std::uint64_t inside(std::uint64_t state) { return (state & 0xffffffffu) >> 1; }

  // No helper is inside the task of the last run, which is closed (finish()).
  void start(std::size_t helpers, void* context, Call call) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      call_ = call;
      context_ = context;
      active_ = helpers;
      const std::uint64_t next = number(run_.load(std::memory_order_relaxed)) + 1;
      run_.store((next << 32) | open_bit, std::memory_order_release);
    }
    wake_.notify_all();
  }

  void finish() {
    const std::uint64_t before = run_.fetch_and(~open_bit, std::memory_order_acq_rel);
    if (inside(before) == 0) return;  // none inside, and none may join now
    const auto done = [this] { return inside(run_.load(std::memory_order_acquire)) == 0; };
    spin_until(done, finish_spin_time);
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, done);
  }

  void serve(std::size_t h) {
    inside_a_helper() = true;
    std::uint64_t seen = 0;  // the number of the last run this helper looked at
    const auto new_run = [&] { return number(run_.load(std::memory_order_acquire)) != seen; };
    for (;;) {
      spin_until(new_run, spin_time);
      Call call;
      void* context;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, new_run);
        // The run's number and its task, read together: start() writes
        // them under the lock.
        std::uint64_t state = run_.load(std::memory_order_acquire);
        seen = number(state);
        if (h > active_) continue;
        // Joins the run unless its caller closed it meanwhile.
        bool joined = false;
        while (!joined && (state & open_bit) != 0 && number(state) == seen) {
          joined = run_.compare_exchange_weak(state, state + one_inside, std::memory_order_acq_rel);
        }
        if (!joined) continue;
        call = call_;
        context = context_;
      }
      try {
        call(context, h);
      } catch (...) {
        // Only the system ending this thread gets here (tasks do not
        // throw): the run must not wait for it, and no run may count on it.
        broken_.store(true);
        leave();
        throw;
      }
      leave();
    }
  }

  void leave() {
    const std::uint64_t before = run_.fetch_sub(one_inside, std::memory_order_acq_rel);
    // A caller that closed the run may be asleep, waiting for the last one out.
    if (inside(before) != 1 || (before & open_bit) != 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    finished_.notify_all();
  }

  // Spins until `ready()` or for `time`, whichever comes first.
  template <typename Ready>
  static void spin_until(Ready ready, std::chrono::microseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
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
  std::atomic<std::uint64_t> run_{0};
  std::size_t active_ = 0;  // helpers offered the run's task
  Call call_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace vexel
