// The counter that rotates the order in which a search visits children.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexel {

// A counter that outlives searches and may be advanced by several at once
// (concurrent readers of one index): each visit takes the next value
// atomically. Copies and comparisons read its current value.
class RotationCounter {
 public:
  RotationCounter() = default;
  RotationCounter(const RotationCounter& other) : value_(other.load()) {}
  RotationCounter& operator=(const RotationCounter& other) {
    value_.store(other.load(), std::memory_order_relaxed);
    return *this;
  }

  operator std::uint64_t() const { return load(); }
  std::uint64_t load() const { return value_.load(std::memory_order_relaxed); }
  // The current value, which the counter then leaves behind (wrapping).
  std::uint64_t take() { return value_.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// The rotation of one visit: the counter's value, then advanced by one.
inline std::uint64_t take_rotation(std::uint64_t& counter) { return counter++; }
inline std::uint64_t take_rotation(RotationCounter& counter) { return counter.take(); }

}  // namespace vexel
