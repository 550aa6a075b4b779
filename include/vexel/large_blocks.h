// Scratch blocks that go back to the system as soon as they are freed.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vexel {

// glibc serves blocks below its mapping threshold (which rises to the
// largest block freed so far, up to 32 MB) from its heaps, and returns the
// free end of a build thread's heap to the system only once it passes
// twice that threshold; malloc_trim does not shrink those heaps either.
// Scratch that build threads freed would stay resident after the build.
// Blocks from this size up are mapped instead; smaller ones come from
// malloc, aligned for any fundamental type.
constexpr std::size_t mapped_block_bytes = std::size_t{1} << 20;

inline void* allocate_block(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= mapped_block_bytes) {
    void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    return block;
  }
#endif
  void* block = std::malloc(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

inline void free_block(void* block, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= mapped_block_bytes) {
    munmap(block, bytes);
    return;
  }
#endif
  std::free(block);
}

}  // namespace vexel
