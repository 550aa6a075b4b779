// An array of floats whose memory, once released, waits for the next array
// of the process. A fresh block of memory costs a page fault for every page
// on its first writes, more on a virtual machine than the work of filling
// it; a batch that packs its rows anew each time (vexel/vector_scan.h)
// takes the last batch's memory instead. One block at most waits, and only
// up to spare_bytes: the allocator itself keeps freed blocks of that size
// for reuse, where it can.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace vexel {

class ReusedFloats {
 public:
  static constexpr std::size_t spare_bytes = std::size_t{32} << 20;

  ReusedFloats() = default;
  ReusedFloats(const ReusedFloats&) = delete;
  ReusedFloats& operator=(const ReusedFloats&) = delete;
  ReusedFloats(ReusedFloats&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  ReusedFloats& operator=(ReusedFloats&& other) noexcept {
    if (this != &other) {
      release();
      block_ = other.block_;
      other.block_ = nullptr;
    }
    return *this;
  }
  ~ReusedFloats() { release(); }

  // Room for `count` floats, their values undefined (the waiting block, if
  // large enough), or false, and empty, where the memory runs out.
  bool allocate(std::size_t count) {
    release();
    if (count == 0) return false;
    Block* block = spare().exchange(nullptr, std::memory_order_acq_rel);
    if (block != nullptr && block->count < count) {
      std::free(block);
      block = nullptr;
    }
    if (block == nullptr) {
      if (count > (static_cast<std::size_t>(-1) - 2 * line) / sizeof(float)) return false;
      void* memory = std::aligned_alloc(line, (line + count * sizeof(float) + line - 1) / line * line);
      if (memory == nullptr) return false;
      block = new (memory) Block{count};
    }
    block_ = block;
    return true;
  }

  // Gives the memory up: to wait for the next array where small enough.
  void release() {
    Block* block = block_;
    block_ = nullptr;
    if (block == nullptr) return;
    if (block->count * sizeof(float) > spare_bytes) {
      std::free(block);
      return;
    }
    std::free(spare().exchange(block, std::memory_order_acq_rel));
  }

  float* data() const { return block_ == nullptr ? nullptr : block_->floats(); }
  explicit operator bool() const { return block_ != nullptr; }

 private:
  // The floats start a cache line after the block's header.
  static constexpr std::size_t line = 64;
  struct Block {
    std::size_t count;
    float* floats() { return reinterpret_cast<float*>(reinterpret_cast<char*>(this) + line); }
  };

  // No lock: fork() may copy it in any state.
  static std::atomic<Block*>& spare() {
    static std::atomic<Block*> block{nullptr};
    return block;
  }

  Block* block_ = nullptr;
};

}  // namespace vexel
