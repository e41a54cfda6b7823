#include "support/exp_lanes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "parallel/parallel.hpp"
#include "support/cpu_features.hpp"

#if defined(__SANITIZE_ADDRESS__)
// Unoptimised and instrumented, every float would take minutes: an odd stride still reaches
// every binade and every pattern of low bits.
constexpr std::uint64_t kSweepStride = 4099;
#else
constexpr std::uint64_t kSweepStride = 1;
#endif

namespace kestrune::support {
namespace {

using detail::ExpForm;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

TEST(SupportExpLanes, TableHoldsTheRoundedPowersOfTwo) {
  const std::span<const std::uint64_t, 32> table = detail::exp2_fraction_table();
  for (std::uint64_t i = 0; i < 32; ++i) {
    // exp2l has eleven bits beyond double's to round from.
    const double expected = static_cast<double>(std::exp2(static_cast<long double>(i) / 32.0L));
    EXPECT_EQ(std::bit_cast<double>(table[i] + (i << 47)), expected) << i;
  }
}

// Every float with the sign bit set: each negative number down to -inf, -0, and the NaNs with
// the sign bit, through the vector form in batches, against std::exp. Where they all agree the
// vector form is the one exp_batch uses.
TEST(SupportExpLanes, VectorFormGivesStdExpForEveryNegativeFloat) {
  if (!cpu_has_avx2_fma()) GTEST_SKIP() << "no AVX2 and FMA";
  constexpr std::uint64_t kBatch = std::uint64_t{1} << 16;
  constexpr std::uint64_t kFirst = 0x80000000u;
  constexpr std::uint64_t kBatches = (std::uint64_t{1} << 31) / (kBatch * kSweepStride);
  std::atomic<std::uint64_t> mismatches{0};
  std::atomic<std::uint64_t> first_mismatch{std::numeric_limits<std::uint64_t>::max()};
  parallel::parallel_for(0, kBatches, [&](std::size_t batch) {
    std::vector<float> x(kBatch);
    std::vector<float> out(kBatch);
    for (std::uint64_t k = 0; k < kBatch; ++k) {
      x[k] = std::bit_cast<float>(static_cast<std::uint32_t>(kFirst + (batch * kBatch + k) * kSweepStride));
    }
    detail::exp_batch_avx2_fma(x, out);
    for (std::uint64_t k = 0; k < kBatch; ++k) {
      if (bits(out[k]) == bits(std::exp(x[k]))) continue;
      mismatches.fetch_add(1);
      std::uint64_t seen = first_mismatch.load();
      while (bits(x[k]) < seen && !first_mismatch.compare_exchange_weak(seen, bits(x[k]))) {
      }
    }
  });
  ASSERT_EQ(mismatches.load(), 0u) << "first at the float of bits 0x" << std::hex << first_mismatch.load();
  EXPECT_EQ(detail::exp_batch_form(), ExpForm::avx2_fma);
}

// Inputs of every kind mixed (NaNs of both signs and a payload, infinities, zeros, positive values
// up to overflow, subnormals, the underflow threshold), in runs of every length up to a few
// vectors and one long one, into separate storage and in place: every form gives std::exp's bits
// and writes nothing past the run.
TEST(SupportExpLanes, EveryFormGivesStdExpOnMixedInputsOfAnyLength) {
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                            std::bit_cast<float>(0x7fc01234u), INFINITY, -INFINITY, 0.0f, -0.0f, 1.0f, 88.8f,
                            0x1p-149f, -0x1p-149f, -0x1.9fe368p6f, -0x1.9fe36ap6f, -0x1.f8cbb2p+5f};
  std::vector<std::pair<std::string, void (*)(std::span<const float>, std::span<float>)>> forms = {
      {"exp_batch", exp_batch}, {"scalar", detail::exp_batch_scalar}};
  if (cpu_has_avx2_fma()) forms.emplace_back("avx2_fma", detail::exp_batch_avx2_fma);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> negative(-110.0f, 0.0f);
  std::vector<std::size_t> lengths(34);
  for (std::size_t n = 0; n < lengths.size(); ++n) lengths[n] = n;
  lengths.push_back(1001);
  constexpr float kGuard = 12345.0f;
  for (const auto& [name, form] : forms) {
    for (const std::size_t n : lengths) {
      std::vector<float> x(n);
      for (float& v : x) v = rng() % 4 == 0 ? specials[rng() % std::size(specials)] : negative(rng);
      for (const bool in_place : {false, true}) {
        SCOPED_TRACE(name + ", length " + std::to_string(n) + (in_place ? ", in place" : ""));
        std::vector<float> out(in_place ? x : std::vector<float>(n));
        out.resize(n + 8, kGuard);
        form(in_place ? std::span<const float>(out).first(n) : std::span<const float>(x),
             std::span<float>(out).first(n));
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(bits(out[i]), bits(std::exp(x[i]))) << "input " << x[i];
        EXPECT_TRUE(std::all_of(out.begin() + n, out.end(), [](float v) { return v == kGuard; }));
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::support
