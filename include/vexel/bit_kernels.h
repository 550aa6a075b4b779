// Hamming distances between packed bit codes (the popcount of their XOR),
// at the instruction-set level in use (simd.h).
//
// Codes are whole 64-bit words, zero past the code's last byte. The portable
// kernel counts with __builtin_popcountll as compiled for the plain target
// (a library call on x86-64); the x86 one is the same loop compiled for the
// POPCNT instruction, which every CPU with AVX2 has. Counts are integers, so
// every level gives the same distances. A vector count (AVX2's nibble
// lookup) pays only for codes of hundreds of bytes, far longer than hashes
// are, so there is none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vexel/simd.h"

namespace vexel {

struct BitKernel {
  // The number of differing bits of `a` and `b`, both of `words` words.
  std::uint64_t (*one)(const std::uint64_t* a, const std::uint64_t* b, std::size_t words);
  // out[i] = one(query, base + rows[i] * words, words) for i < count.
  void (*many)(const std::uint64_t* query, const std::uint64_t* base, std::size_t words,
               const std::uint32_t* rows, std::size_t count, double* out);
};

namespace detail {

// The kernels, written once and compiled per level by VEXEL_BIT_KERNELS.
// Codes of one word, the common case (64-bit hashes), keep the query in a
// register.
#define VEXEL_BIT_KERNELS(ATTRIBUTES)                                                                  \
  ATTRIBUTES inline std::uint64_t differing_bits(const std::uint64_t* a, const std::uint64_t* b,       \
                                                 std::size_t words) {                                  \
    std::uint64_t total = 0;                                                                           \
    for (std::size_t i = 0; i < words; ++i) {                                                          \
      total += static_cast<std::uint64_t>(__builtin_popcountll(a[i] ^ b[i]));                          \
    }                                                                                                  \
    return total;                                                                                      \
  }                                                                                                    \
  ATTRIBUTES inline void many_differing_bits(const std::uint64_t* query, const std::uint64_t* base,    \
                                             std::size_t words, const std::uint32_t* rows,             \
                                             std::size_t count, double* out) {                         \
    if (words == 1) {                                                                                  \
      const std::uint64_t q = *query;                                                                  \
      for (std::size_t i = 0; i < count; ++i) {                                                        \
        out[i] = static_cast<double>(__builtin_popcountll(q ^ base[rows[i]]));                         \
      }                                                                                                \
      return;                                                                                          \
    }                                                                                                  \
    for (std::size_t i = 0; i < count; ++i) {                                                          \
      out[i] = static_cast<double>(differing_bits(query, base + std::size_t{rows[i]} * words, words)); \
    }                                                                                                  \
  }

namespace portable_bits {
VEXEL_BIT_KERNELS()
}  // namespace portable_bits

#if VEXEL_SIMD_X86
namespace popcnt_bits {
VEXEL_BIT_KERNELS(__attribute__((target("popcnt"))))
}  // namespace popcnt_bits
#endif

#undef VEXEL_BIT_KERNELS

}  // namespace detail

// The kernel for `level`; throws std::invalid_argument above
// simd::supported().
inline BitKernel bit_kernel(simd::Level level) {
  if (level > simd::supported()) {
    throw std::invalid_argument(std::string("vexel::bit_kernel: SIMD level ") + simd::name(level) +
                                " is not supported here");
  }
#if VEXEL_SIMD_X86
  if (level != simd::Level::portable && __builtin_cpu_supports("popcnt")) {
    return {detail::popcnt_bits::differing_bits, detail::popcnt_bits::many_differing_bits};
  }
#endif
  return {detail::portable_bits::differing_bits, detail::portable_bits::many_differing_bits};
}

// The kernel for simd::active() at the time of the call.
inline BitKernel bit_kernel() { return bit_kernel(simd::active()); }

}  // namespace vexel
