// Exclusive use of one bound object for the length of one call.
//
// A Python callable run by an operation lets other threads take the GIL in
// its middle, and may itself call back into the object. So each object
// embeds a `UseLock`, and each method holds an `ExclusiveUse` of it:
// - a call from the thread already inside an operation can only come from
//   that operation's callable, and is refused (the object is busy);
// - a call from another thread waits its turn with the GIL released, in
//   short slices, running the signal handlers between slices, so Ctrl-C
//   interrupts it as it interrupts threading.Lock.acquire, and a waiting
//   thread never takes the GIL back while the interpreter exits;
// - after fork(), an object that another thread was using at the fork can
//   never be released in the child (that thread does not exist there): every
//   call raises RuntimeError. Idle objects work normally.
//
// - a thread about to wait for an object whose holder waits, directly or
//   through a chain of threads, for an object this thread holds would wait
//   forever: it gets RuntimeError naming the cycle instead, as Python's own
//   import locks do.
//
// The lock is taken and its holder recorded while the GIL is held (a waiter
// only tries it for a moment without the GIL), so a thread holding the GIL,
// as os.fork() does, sees a taken lock with the record of its holder.

#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>

#include "gil.h"

namespace korel {
namespace binding {

namespace fork_watch {

// Bumped in every child process; `forker` is the one thread that lives on
// in the child (fork() copies only the calling thread).
struct State {
  std::atomic<std::uint64_t> generation{0};
  std::atomic<std::thread::id> forker{};
};

inline State& state() {
  static State forks;
  return forks;
}

inline void note_fork_in_child() {
  state().generation.fetch_add(1);
  state().forker.store(std::this_thread::get_id());
}

// Once per extension module (each has its own copy of these functions).
inline void start() {
  static const bool started = (state(), pthread_atfork(nullptr, nullptr, note_fork_in_child) == 0);
  static_cast<void>(started);
}

}  // namespace fork_watch

class UseLock;

namespace waits {

// The object each waiting thread waits for.
struct Wait {
  const UseLock* lock;
  const char* class_name;
  std::uint64_t generation;  // of forks: a wait from before a fork is void
};
using Waits = std::unordered_map<std::thread::id, Wait>;

// The waits of every thread of the interpreter, whichever extension module
// the objects come from (each module has its own copy of this code), so one
// table, created by the first module that asks and kept in a capsule in the
// interpreter's dict. Read and written with the GIL held only, which makes
// it consistent, in a fork's child too. Never freed: a daemon thread may
// still use it while the interpreter exits.
inline Waits& shared() {
  static Waits* table = [] {
    static const char* const key = "korel.binding.waits.v1";
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict != nullptr) {
      if (PyObject* found = PyDict_GetItemString(dict, key)) {
        if (void* pointer = PyCapsule_GetPointer(found, key)) return static_cast<Waits*>(pointer);
      }
      auto* created = new Waits();
      PyObject* capsule = PyCapsule_New(created, key, nullptr);
      if (capsule != nullptr && PyDict_SetItemString(dict, key, capsule) == 0) {
        Py_DECREF(capsule);
        return created;
      }
      Py_XDECREF(capsule);
    }
    PyErr_Clear();
    static Waits own;  // this module's objects only: still no deadlock among them
    return &own;
  }();
  return *table;
}

}  // namespace waits

// Embedded in each bound object; `ExclusiveUse` is its only user.
class UseLock {
 public:
  UseLock() : generation_(fork_watch::state().generation.load()) { fork_watch::start(); }
  UseLock(const UseLock&) = delete;
  UseLock& operator=(const UseLock&) = delete;

 private:
  friend class ExclusiveUse;

  // Taken by a thread that no longer exists: taken before the latest fork
  // by a thread other than the one that forked. Asked with the GIL held.
  bool orphaned() const {
    const fork_watch::State& forks = fork_watch::state();
    return generation_.load() != forks.generation.load() && user_.load() != forks.forker.load();
  }

  std::timed_mutex mutex_;
  // The holder and the fork generation it took the lock in. The holder
  // clears `user_` before letting go, so a thread reading its own id here
  // holds the lock.
  std::atomic<std::thread::id> user_{};
  std::atomic<std::uint64_t> generation_;
};

class ExclusiveUse {
 public:
  // With the GIL held. `class_name` names the object in the errors: its
  // std::runtime_error when it is busy with this thread or was orphaned by
  // a fork, and pybind11::error_already_set when a signal handler raised
  // while waiting (the lock is then not taken).
  ExclusiveUse(UseLock& lock, const char* class_name) : lock_(lock) {
    const std::thread::id me = std::this_thread::get_id();
    if (lock.user_.load() == me) {
      if (lock.orphaned()) throw forked(class_name);  // a thread id reused in the child
      throw std::runtime_error(std::string(class_name) +
                               " is busy: a distance function must not call back into the index "
                               "it serves");
    }
    if (!lock.mutex_.try_lock()) {
      Waiting waiting(lock, class_name);
      do {
        if (lock.orphaned()) throw forked(class_name);
        check_for_cycle(class_name);
        if (PyErr_CheckSignals() != 0) throw pybind11::error_already_set();
        wait_a_slice();
      } while (!lock.mutex_.try_lock());
    }
    lock.generation_.store(fork_watch::state().generation.load());
    lock.user_.store(me);
  }

  ~ExclusiveUse() {
    lock_.user_.store(std::thread::id());
    // Current again after a hold that spanned a fork, so that a waiter
    // trying the free lock never makes it look orphaned.
    lock_.generation_.store(fork_watch::state().generation.load());
    lock_.mutex_.unlock();
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  static std::runtime_error forked(const char* class_name) {
    return std::runtime_error(std::string(class_name) +
                              " was in use by another thread when the process forked");
  }

  // This thread's entry in the table of waits, for the length of a wait.
  class Waiting {
   public:
    Waiting(const UseLock& lock, const char* class_name) : me_(std::this_thread::get_id()) {
      waits::shared()[me_] = {&lock, class_name, fork_watch::state().generation.load()};
    }
    ~Waiting() { waits::shared().erase(me_); }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

   private:
    std::thread::id me_;
  };

  // Follows the chain from the object wanted to its holder, the object that
  // thread waits for, its holder, and so on: back to this thread is a cycle.
  void check_for_cycle(const char* class_name) const {
    const std::thread::id me = std::this_thread::get_id();
    const waits::Waits& table = waits::shared();
    const std::uint64_t generation = fork_watch::state().generation.load();
    std::ostringstream chain;
    chain << "this thread waits for " << object_name(class_name, lock_);
    const UseLock* wanted = &lock_;
    for (std::size_t step = 0; step <= table.size(); ++step) {
      const std::thread::id holder = wanted->user_.load();
      if (holder == std::thread::id()) return;
      if (holder == me) {
        chain << ", held by this thread";
        throw std::runtime_error("deadlock avoided: " + chain.str());
      }
      const auto next = table.find(holder);
      if (next == table.end() || next->second.generation != generation) return;
      wanted = next->second.lock;
      chain << ", held by thread " << holder << ", which waits for "
            << object_name(next->second.class_name, *wanted);
    }
  }

  static std::string object_name(const char* class_name, const UseLock& lock) {
    std::ostringstream name;
    name << class_name << " " << static_cast<const void*>(&lock);
    return name.str();
  }

  // Up to 20 ms without the GIL, until the lock comes free. It is only
  // looked at here; the caller takes it with the GIL held.
  void wait_a_slice() {
    ReleasedGil released;
    if (lock_.mutex_.try_lock_for(std::chrono::milliseconds(20))) lock_.mutex_.unlock();
    released.reacquire();
  }

  UseLock& lock_;
};

}  // namespace binding
}  // namespace korel
