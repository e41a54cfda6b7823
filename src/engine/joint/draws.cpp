#include "engine/joint/draws.hpp"

namespace kestrune::engine::joint {
namespace {

constexpr std::uint64_t kZeroStateFallback = 0xDEADBEEFCAFEBABEull;

// A uniform fraction in [0, 1) from the next xorshift state; 24 bits, so exact in float32.
float next_fraction(std::uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return static_cast<float>((state >> 11) & 0xFFFFFFull) / 16777216.0f;
}

}  // namespace

std::vector<bool> joint_feature_sample(std::size_t feature_count, float col_subsample, std::uint64_t seed,
                                       std::uint64_t round) {
  std::vector<bool> keep(feature_count, true);
  if (col_subsample >= 1.0f) return keep;
  const std::uint64_t a = seed * 0xBF58476D1CE4E5B9ull;
  const std::uint64_t b = round * 0x94D049BB133111EBull;
  std::uint64_t state = kZeroStateFallback;
  if (a != b) {
    const std::uint64_t x = a ^ b;
    state = (x ^ (x >> 30)) * 0x94D049BB133111EBull;
  }
  bool any = false;
  for (std::size_t f = 0; f < feature_count; ++f) {
    keep[f] = next_fraction(state) < col_subsample;
    any = any || keep[f];
  }
  if (!any) keep.assign(feature_count, true);
  return keep;
}

std::vector<std::uint32_t> joint_row_subsample(std::size_t n_rows, float row_subsample, std::uint64_t seed,
                                               std::uint64_t round) {
  const std::uint64_t a = seed * 0x9E3779B97F4A7C15ull;
  const std::uint64_t b = round * 0xBF58476D1CE4E5B9ull;
  std::uint64_t state = a == b ? kZeroStateFallback : (a ^ b);
  std::vector<std::uint32_t> rows;
  for (std::size_t r = 0; r < n_rows; ++r) {
    if (next_fraction(state) < row_subsample) rows.push_back(static_cast<std::uint32_t>(r));
  }
  if (rows.empty()) {
    rows.resize(n_rows);
    for (std::size_t r = 0; r < n_rows; ++r) rows[r] = static_cast<std::uint32_t>(r);
  }
  return rows;
}

}  // namespace kestrune::engine::joint
