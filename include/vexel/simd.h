// Run-time choice of the instruction set used by the vector kernels.
//
// How the kernels are dispatched: each one is written three times, portable
// C++ and intrinsics in functions marked __attribute__((target("avx2"))) or
// target("avx512f"), and the caller picks one through a function pointer
// chosen from active() (vector_kernels.h). We preferred this to g++
// target_clones because:
//  - clones are chosen once, at load time, by an ifunc resolver: no way to
//    lower the level afterwards (VEXEL_SIMD, set_active, the tests), and musl
//    has no ifunc at all;
//  - clones of inline functions in headers put a resolver in every
//    translation unit, with the comdat and ODR pitfalls that brings;
//  - the compiler would vectorise as it likes, while every level must sum in
//    one fixed order: that takes hand-written lanes anyway;
//  - a clone is not inlined into its caller either, so both cost one indirect
//    call; ours is taken once per leaf through VectorKernel::many.
// Everything outside those marked functions is compiled for the plain target,
// so a library built with these headers runs on any x86-64.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#define VEXEL_SIMD_X86 1
#include <cpuid.h>
#else
#define VEXEL_SIMD_X86 0
#endif

namespace vexel::simd {

enum class Level : int { portable = 0, avx2 = 1, avx512 = 2 };

inline const char* name(Level level) {
  switch (level) {
    case Level::portable: return "portable";
    case Level::avx2: return "avx2";
    case Level::avx512: return "avx512";
  }
  return "unknown";
}

// The level called `text` ("portable", "avx2", "avx512"), if any.
inline std::optional<Level> level_named(const char* text) {
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    if (std::strcmp(text, name(level)) == 0) return level;
  }
  return std::nullopt;
}

namespace detail {

#if VEXEL_SIMD_X86
// The register state the OS saves on a context switch (XCR0): a CPU feature
// is usable only when the OS saves its registers.
inline std::uint64_t os_saved_state() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE)) return 0;
  unsigned low = 0, high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}
#endif

inline Level detect() {
#if VEXEL_SIMD_X86
  __builtin_cpu_init();  // we may run before the constructors that call it
  const std::uint64_t state = os_saved_state();
  constexpr std::uint64_t ymm_state = 0x06;  // SSE and AVX registers
  constexpr std::uint64_t zmm_state = 0xE6;  // and the opmask and upper ZMM registers
  const bool avx2 = __builtin_cpu_supports("avx2") && (state & ymm_state) == ymm_state;
  if (avx2 && __builtin_cpu_supports("avx512f") && (state & zmm_state) == zmm_state) {
    return Level::avx512;
  }
  if (avx2) return Level::avx2;
#endif
  return Level::portable;
}

}  // namespace detail

// The best level this CPU and OS run.
inline Level supported() {
  static const Level level = detail::detect();
  return level;
}

namespace detail {

// supported(), lowered (never raised) by the environment variable VEXEL_SIMD.
inline Level initial_level() {
  Level level = supported();
  if (const char* wanted = std::getenv("VEXEL_SIMD")) {
    const std::optional<Level> named = level_named(wanted);
    if (named && *named < level) level = *named;
  }
  return level;
}

inline std::atomic<int>& active_level() {
  static std::atomic<int> level{static_cast<int>(initial_level())};
  return level;
}

}  // namespace detail

// The level in use. Each shared library built with these headers keeps its own.
inline Level active() {
  return static_cast<Level>(detail::active_level().load(std::memory_order_relaxed));
}

// Uses `level` from now on; throws std::invalid_argument above supported().
inline void set_active(Level level) {
  if (level < Level::portable || level > supported()) {
    throw std::invalid_argument(std::string("SIMD level ") + name(level) +
                                " is not supported here (best: " + name(supported()) + ")");
  }
  detail::active_level().store(static_cast<int>(level), std::memory_order_relaxed);
}

// set_active for a level given by name; std::invalid_argument says what is wrong.
inline void set_active_named(const std::string& wanted) {
  const std::optional<Level> level = level_named(wanted.c_str());
  if (!level) {
    throw std::invalid_argument("unknown SIMD level '" + wanted + "' (portable, avx2 or avx512)");
  }
  if (*level > supported()) {
    throw std::invalid_argument("SIMD level '" + wanted + "' is not supported on this machine (best: " +
                                name(supported()) + ")");
  }
  set_active(*level);
}

}  // namespace vexel::simd
