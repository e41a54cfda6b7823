#include "support/exp_lanes.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "support/cpu_features.hpp"
#include "support/panic.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KESTRUNE_EXP_LANES_X86 1
#else
#define KESTRUNE_EXP_LANES_X86 0
#endif

namespace kestrune::support {
namespace detail {
namespace {

// exp(x) = 2^(k/32) * 2^(r/32), with k the integer nearest x * 32/ln 2 and r the rest, |r| <= 1/2.
// 2^(k/32) is a table entry (k's low five bits) scaled by 2^(k >> 5); 2^(r/32) is a cubic in r,
// whose coefficients carry the powers of 1/32. All in double, rounded to float once at the end.
constexpr double kInvLn2N = 0x1.71547652b82fep+0 * 32;
// Adding 1.5 * 2^52 rounds to an integer, which then sits in the low bits of the sum's mantissa.
constexpr double kShift = 0x1.8p+52;
constexpr double kC0 = 0x1.c6af84b912394p-5 / 32 / 32 / 32;
constexpr double kC1 = 0x1.ebfce50fac4f3p-3 / 32 / 32;
constexpr double kC2 = 0x1.62e42ff0c52d6p-1 / 32;
// Below this the exponential is 0 (-inf included); from it on the steps give the subnormals.
constexpr float kUnderflow = -0x1.9fe368p6f;

// Bits of 2^(i/32) rounded to double (computed to 80 digits and rounded), less i << 47: adding
// the rounded integer's bits shifted by 47 then puts k >> 5 into the exponent field, the low bits
// i << 47 cancelling (the bits of the shift itself fall off the top).
alignas(64) constexpr std::uint64_t kExp2Fraction[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};

// Reads the input through a volatile, so that no std::exp of a constant is folded at compile
// time (the compiler's own exponential rounds correctly, the C library's need not).
float libm_exp(float x) {
  volatile float v = x;
  return std::exp(v);
}

#if KESTRUNE_EXP_LANES_X86
// The helpers take and return vectors, so they must be inlined into the AVX2 function (a call
// would pass them by the baseline ABI, which the warning is about): they are always_inline, and
// the bit casts are builtins rather than std::bit_cast, a function of its own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// exp of four floats, each <= kUnderflow giving +0; lanes that are positive or NaN hold garbage.
__attribute__((target("avx2,fma"), always_inline)) inline __m128 exp_four(__m128 xf) {
  const __m256d inv_ln2_n = _mm256_set1_pd(kInvLn2N);
  const __m256d shift = _mm256_set1_pd(kShift);
  const __m256d x = _mm256_cvtps_pd(xf);
  __m256d kd = _mm256_fmadd_pd(inv_ln2_n, x, shift);
  const __m256i ki = _mm256_castpd_si256(kd);
  kd = _mm256_sub_pd(kd, shift);
  const __m256d r = _mm256_fmsub_pd(inv_ln2_n, x, kd);
  const __m256i index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
  const __m256i entry = _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kExp2Fraction), index, 8);
  const __m256d s = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(ki, 47)));
  const __m256d z = _mm256_fmadd_pd(_mm256_set1_pd(kC0), r, _mm256_set1_pd(kC1));
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d y = _mm256_fmadd_pd(_mm256_set1_pd(kC2), r, _mm256_set1_pd(1.0));
  y = _mm256_fmadd_pd(z, r2, y);
  y = _mm256_mul_pd(y, s);
  const __m128 result = _mm256_cvtpd_ps(y);
  // Far below the threshold (and at -inf) the steps give garbage or NaN: masked to +0.
  return _mm_andnot_ps(_mm_cmp_ps(xf, _mm_set1_ps(kUnderflow), _CMP_LT_OQ), result);
}

// The exponentials of the eight floats x, which were read from in[0..7] (not yet overwritten):
// the lanes that are positive or NaN get std::exp of their input (a lane that a masked load left
// at 0 is not one of them, so `in` is only read where it was loaded from).
__attribute__((target("avx2,fma"), always_inline)) inline __m256 exp_eight(__m256 x, const float* in) {
  __m256 e = _mm256_set_m128(exp_four(_mm256_extractf128_ps(x, 1)), exp_four(_mm256_castps256_ps128(x)));
  const int others = _mm256_movemask_ps(_mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_NLE_UQ));
  if (others != 0) [[unlikely]] {
    float lanes[8];
    _mm256_storeu_ps(lanes, e);
    for (int k = 0; k < 8; ++k) {
      if ((others >> k) & 1) lanes[k] = std::exp(in[k]);
    }
    e = _mm256_loadu_ps(lanes);
  }
  return e;
}

#pragma GCC diagnostic pop
#endif

// The vector form against std::exp on inputs that tell C libraries apart: -0x1.f8cbb2p+5, where
// the same steps with a separate multiply and add round differently; both zeros and -inf; a few
// hundred floats on each side of the underflow threshold, and down through the subnormal results;
// and a sweep of every binade from the smallest subnormal input to the threshold.
bool avx2_fma_agrees_with_libm() {
  std::vector<float> inputs = {-0x1.f8cbb2p+5f, -0.0f, -INFINITY, -0x1p-149f, -0x1p-126f, -1.0f, -0x1.62e43p6f};
  std::uint32_t threshold;
  std::memcpy(&threshold, &kUnderflow, sizeof threshold);
  for (std::uint32_t b = threshold - 300; b <= threshold + 300; ++b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    inputs.push_back(x);
  }
  for (int k = 0; k < 1024; ++k) inputs.push_back(-87.0f - 17.0f * static_cast<float>(k) / 1024.0f);
  const std::uint32_t negative_zero = 0x80000000u;
  const std::uint32_t step = (threshold - negative_zero) / 3000 | 1;  // odd: low bits of every kind
  for (std::uint32_t b = negative_zero; b <= threshold; b += step) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    inputs.push_back(x);
  }
  std::vector<float> lanes(inputs.size());
  exp_batch_avx2_fma(inputs, lanes);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const float expected = libm_exp(inputs[i]);
    if (std::memcmp(&lanes[i], &expected, sizeof expected) != 0) return false;
  }
  return true;
}

}  // namespace

ExpForm exp_batch_form() {
  static const ExpForm form =
      cpu_has_avx2_fma() && avx2_fma_agrees_with_libm() ? ExpForm::avx2_fma : ExpForm::scalar;
  return form;
}

void exp_batch_scalar(std::span<const float> x, std::span<float> out) {
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::exp(x[i]);
}

#if KESTRUNE_EXP_LANES_X86
__attribute__((target("avx2,fma"))) void exp_batch_avx2_fma(std::span<const float> x, std::span<float> out) {
  const std::size_t n = x.size();
  const std::size_t whole = n - n % 8;
  const float* const in = x.data();
  float* const o = out.data();
  for (std::size_t i = 0; i < whole; i += 8) _mm256_storeu_ps(o + i, exp_eight(_mm256_loadu_ps(in + i), in + i));
  if (whole == n) return;
  // The tail through masked loads and stores: its other lanes neither read nor written.
  const __m256i tail = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n - whole)),
                                          _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
  _mm256_maskstore_ps(o + whole, tail, exp_eight(_mm256_maskload_ps(in + whole, tail), in + whole));
}
#else
void exp_batch_avx2_fma(std::span<const float>, std::span<float>) {
  panic("the AVX2 exponentials are only built for x86-64");
}
#endif

std::span<const std::uint64_t, 32> exp2_fraction_table() { return std::span<const std::uint64_t, 32>(kExp2Fraction); }

}  // namespace detail

void exp_batch(std::span<const float> x, std::span<float> out) {
  invariant(x.size() == out.size(), "exp_batch writes one exponential per input");
  if (detail::exp_batch_form() == detail::ExpForm::avx2_fma) {
    detail::exp_batch_avx2_fma(x, out);
  } else {
    detail::exp_batch_scalar(x, out);
  }
}

}  // namespace kestrune::support
