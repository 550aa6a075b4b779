// A barrier against floating-point contraction.
#pragma once

namespace vexel::detail {

// Returns `value` unchanged, but the compiler can no longer fuse the
// multiplication that produced it with a later addition into one FMA: the
// value must exist, rounded, in a register. Compilers contract a * b + c
// whenever the target has FMA and -ffp-contract=fast is in force (g++'s
// default, and target("avx512f") brings FMA), also across statements and
// across intrinsics, which would make one level round differently from
// another. The barrier emits no instruction. The vectorised levels have
// their own overloads for their registers.
inline double unfused(double value) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("" : "+x"(value));
#elif defined(__GNUC__) && defined(__aarch64__)
  __asm__("" : "+w"(value));
#elif defined(__GNUC__)
  __asm__("" : "+m"(value));
#else
  volatile double kept = value;
  value = kept;
#endif
  return value;
}

}  // namespace vexel::detail
