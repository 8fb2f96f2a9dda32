// IEEE-754 single-precision arithmetic with round-to-nearest-even and subnormals kept, the same
// on host and device. Device code uses the explicitly rounded intrinsics (never contracted into
// a fused multiply-add); host code uses plain SSE arithmetic, which kest_flags builds with
// -ffp-contract=off and without fast-math.
#pragma once

#include <cstdint>
#include <cstring>

#include "pow/hd.h"

#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "Single-precision arithmetic must be evaluated in single precision (no x87)"
#endif

namespace kest_pow {

#if defined(__CUDA_ARCH__)
KEST_HD KEST_FORCEINLINE float fadd_rn(float a, float b) {
  return __fadd_rn(a, b);
}
KEST_HD KEST_FORCEINLINE float fsub_rn(float a, float b) {
  return __fsub_rn(a, b);
}
KEST_HD KEST_FORCEINLINE float fmul_rn(float a, float b) {
  return __fmul_rn(a, b);
}
KEST_HD KEST_FORCEINLINE float fdiv_rn(float a, float b) {
  return __fdiv_rn(a, b);
}
KEST_HD KEST_FORCEINLINE float i2f_rn(int32_t v) {
  return __int2float_rn(v);
}
KEST_HD KEST_FORCEINLINE float u2f_rn(uint32_t v) {
  return __uint2float_rn(v);
}
#else
KEST_HD KEST_FORCEINLINE float fadd_rn(float a, float b) {
  return a + b;
}
KEST_HD KEST_FORCEINLINE float fsub_rn(float a, float b) {
  return a - b;
}
KEST_HD KEST_FORCEINLINE float fmul_rn(float a, float b) {
  return a * b;
}
KEST_HD KEST_FORCEINLINE float fdiv_rn(float a, float b) {
  return a / b;
}
KEST_HD KEST_FORCEINLINE float i2f_rn(int32_t v) {
  return static_cast<float>(v);
}
KEST_HD KEST_FORCEINLINE float u2f_rn(uint32_t v) {
  return static_cast<float>(v);
}
#endif

constexpr uint32_t kF32ExponentMask = 0x7f800000u;
constexpr uint32_t kF32MantissaMask = 0x007fffffu;

KEST_HD KEST_FORCEINLINE uint32_t f32_bits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}

KEST_HD KEST_FORCEINLINE float f32_from_bits(uint32_t u) {
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

// NaN test on the encoding (quiet or signalling): all-ones exponent, non-zero mantissa.
KEST_HD KEST_FORCEINLINE bool f32_bits_is_nan(uint32_t u) {
  return (u & kF32ExponentMask) == kF32ExponentMask && (u & kF32MantissaMask) != 0;
}

}  // namespace kest_pow
