// The GIL, taken and given back safely at interpreter exit.
//
// From the moment CPython starts finalizing, a thread other than the
// finalizing one that takes the GIL (PyEval_RestoreThread, PyGILState_Ensure)
// is ended there with pthread_exit (3.9 to 3.13), which unwinds its C++
// frames with a forced unwind. A destructor on the way that touches a Python
// object without the GIL crashes, and a forced unwind out of a noexcept
// function (any destructor) aborts. So: never take the GIL from a destructor
// when it can be avoided, check `interpreter_finalizing()` first and park the
// thread instead (the process exits without it), and give back only what
// this thread still holds.

#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <thread>
#include <utility>

namespace korel {
namespace binding {

inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The thread state that holds the GIL, or null; unlike PyThreadState_Get
// it never aborts when there is none.
inline PyThreadState* current_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// Whether this very thread holds the GIL (a null or foreign current state
// means no: CPython never ends a thread that holds it).
inline bool holds_gil() {
  PyThreadState* mine = PyGILState_GetThisThreadState();
  return mine != nullptr && mine == current_thread_state();
}

// Where a thread goes instead of taking the GIL during finalization.
[[noreturn]] inline void park_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// The GIL given up by this thread for a wait or for native work, and taken
// back by `reacquire()`. Construct it with the GIL held.
class ReleasedGil {
 public:
  // A thread that holds the GIL while the interpreter finalizes is the
  // finalizing thread itself: it may always take the GIL back.
  ReleasedGil() : finalizing_thread_(interpreter_finalizing()), state_(PyEval_SaveThread()) {}

  // Only for an exception thrown while released; call `reacquire()` on the
  // normal path (CPython may end the thread there, which a destructor cannot
  // let through).
  ~ReleasedGil() {
    if (state_ != nullptr) reacquire();
  }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  void reacquire() {
    PyThreadState* state = std::exchange(state_, nullptr);
    if (!finalizing_thread_ && interpreter_finalizing()) park_forever();
    PyEval_RestoreThread(state);
  }

  // Runs the Python signal handlers, which CPython runs on the main thread
  // only (elsewhere this costs one GIL round trip). Returns false when a
  // handler raised, such as KeyboardInterrupt for Ctrl-C: the exception then
  // waits in this thread's state, and the caller throws it with
  // `throw pybind11::error_already_set()` once it has reacquired the GIL.
  bool check_signals() {
    return with_gil([] { return PyErr_CheckSignals() == 0; });
  }

  // Runs `call` (which must not throw) with the GIL and releases it again;
  // `call` returns false when it left a Python exception in this thread's
  // state.
  template <typename Call>
  bool with_gil(Call call) {
    reacquire();
    const bool calm = call();
    state_ = PyEval_SaveThread();
    return calm;
  }

 private:
  bool finalizing_thread_;
  PyThreadState* state_;
};

// The GIL for one scope, from a thread that may hold it already (then this
// does nothing). Gives it back only if this thread still holds it: a thread
// that CPython ends at exit unwinds through here without it.
class GilForScope {
 public:
  GilForScope() : taken_(!holds_gil()) {
    if (taken_) {
      if (interpreter_finalizing()) park_forever();
      state_ = PyGILState_Ensure();
    }
  }
  ~GilForScope() {
    if (taken_ && holds_gil()) PyGILState_Release(state_);
  }
  GilForScope(const GilForScope&) = delete;
  GilForScope& operator=(const GilForScope&) = delete;

 private:
  bool taken_;
  PyGILState_STATE state_{};
};

}  // namespace binding
}  // namespace korel
