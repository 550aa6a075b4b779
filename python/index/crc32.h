// CRC-32 as zlib computes it (the reflected polynomial 0xEDB88320), fast
// enough that checking a file costs little beside reading it: folding with
// carry-less multiplication (PCLMULQDQ) where the CPU has it, chosen at run
// time, eight tables otherwise; and the CRC of two pieces joined, so that
// pieces can be checked apart, on several threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KOREL_CRC32_CLMUL 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define KOREL_CRC32_CLMUL 0
#endif

namespace korel {
namespace crc32 {

constexpr std::uint32_t polynomial = 0xEDB88320u;

namespace detail {

// table[k][byte]: the CRC of `byte` followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

inline const Tables& tables() {
  static const Tables made = [] {
    Tables t{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
      std::uint32_t c = byte;
      for (int bit = 0; bit < 8; ++bit) c = c & 1 ? (c >> 1) ^ polynomial : c >> 1;
      t[0][byte] = c;
    }
    for (std::size_t byte = 0; byte < 256; ++byte) {
      for (std::size_t k = 1; k < 8; ++k) t[k][byte] = (t[k - 1][byte] >> 8) ^ t[0][t[k - 1][byte] & 0xFF];
    }
    return t;
  }();
  return made;
}

// The running (inverted) CRC `c` advanced over `data`, eight bytes a step.
inline std::uint32_t update_portable(std::uint32_t c, const unsigned char* data, std::size_t length) {
  const Tables& t = tables();
  while (length >= 8) {
    std::uint32_t low = 0, high = 0;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + 4, 4);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    low = __builtin_bswap32(low);
    high = __builtin_bswap32(high);
#endif
    low ^= c;
    c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
        t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    data += 8;
    length -= 8;
  }
  while (length-- > 0) c = (c >> 8) ^ t[0][(c ^ *data++) & 0xFF];
  return c;
}

#if KOREL_CRC32_CLMUL
#define KOREL_CRC32_TARGET __attribute__((target("pclmul,sse4.1")))

KOREL_CRC32_TARGET inline __m128i load_16(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// `lane` carried forward over the distance that `by` holds the powers of x
// for, and added to the data found there.
KOREL_CRC32_TARGET inline __m128i fold(__m128i lane, __m128i by, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(lane, by, 0x00), _mm_clmulepi64_si128(lane, by, 0x11)), next);
}

// The running (inverted) CRC `c` advanced over `length` bytes of `data`, a
// multiple of 16 and at least 64: four 128-bit lanes are folded forward 512
// bits a step, then into one, which is reduced to 32 bits (Barrett). The
// constants are powers of x modulo the polynomial, bit-reflected.
KOREL_CRC32_TARGET inline std::uint32_t update_clmul(std::uint32_t c, const unsigned char* data, std::size_t length) {
  const __m128i fold_512 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i fold_128 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i fold_64 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i barrett = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low_32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(load_16(data), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = load_16(data + 16), x3 = load_16(data + 32), x4 = load_16(data + 48);
  data += 64;
  length -= 64;
  while (length >= 64) {
    x1 = fold(x1, fold_512, load_16(data));
    x2 = fold(x2, fold_512, load_16(data + 16));
    x3 = fold(x3, fold_512, load_16(data + 32));
    x4 = fold(x4, fold_512, load_16(data + 48));
    data += 64;
    length -= 64;
  }
  x1 = fold(x1, fold_128, x2);
  x1 = fold(x1, fold_128, x3);
  x1 = fold(x1, fold_128, x4);
  while (length >= 16) {
    x1 = fold(x1, fold_128, load_16(data));
    data += 16;
    length -= 16;
  }
  // 128 bits to 64, then to 32 plus a remainder, then Barrett's reduction.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, fold_128, 0x10));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low_32), fold_64, 0x00), _mm_srli_si128(x1, 4));
  __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(x1, low_32), barrett, 0x10);
  quotient = _mm_clmulepi64_si128(_mm_and_si128(quotient, low_32), barrett, 0x00);
  x1 = _mm_xor_si128(x1, quotient);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

inline bool has_clmul() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (ecx & bit_SSE4_1) != 0;
}
#endif

// Multiplies a(x) by b(x) modulo the polynomial (reflected: x^0 is the top bit).
inline std::uint32_t multiply(std::uint32_t a, std::uint32_t b) {
  std::uint32_t product = 0;
  for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
    if (a & bit) product ^= b;
    b = b & 1 ? (b >> 1) ^ polynomial : b >> 1;
  }
  return product;
}

// x^(8 * bytes) modulo the polynomial, by squaring.
inline std::uint32_t shift_of(std::uint64_t bytes) {
  std::uint32_t power = 1u << 31;        // x^0
  std::uint32_t square = 1u << 23;       // x^8: one byte
  for (; bytes != 0; bytes >>= 1) {
    if (bytes & 1) power = multiply(power, square);
    square = multiply(square, square);
  }
  return power;
}

}  // namespace detail

// Whether the folding kernel runs (false: the tables do): where the CPU
// has it, unless the environment variable VEXEL_SIMD=portable asks every
// kernel for its portable form.
inline bool uses_clmul() {
#if KOREL_CRC32_CLMUL
  static const bool available = [] {
    const char* level = std::getenv("VEXEL_SIMD");
    return detail::has_clmul() && !(level != nullptr && std::strcmp(level, "portable") == 0);
  }();
  return available;
#else
  return false;
#endif
}

// zlib.crc32(data, crc): the CRC-32 of `crc`'s data followed by `data`.
inline std::uint32_t update(std::uint32_t crc, const void* data, std::size_t length) {
  auto bytes = static_cast<const unsigned char*>(data);
  std::uint32_t c = ~crc;
#if KOREL_CRC32_CLMUL
  if (length >= 64 && uses_clmul()) {
    const std::size_t folded = length & ~std::size_t{15};
    c = detail::update_clmul(c, bytes, folded);
    bytes += folded;
    length -= folded;
  }
#endif
  return ~detail::update_portable(c, bytes, length);
}

// The CRC-32 of A followed by B, from A's CRC `first`, B's `second` and B's
// length (zlib's crc32_combine).
inline std::uint32_t combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_length) {
  return detail::multiply(detail::shift_of(second_length), first) ^ second;
}

}  // namespace crc32
}  // namespace korel
