// The target encoder against a direct float64 re-computation: for every row, the sum and count
// of its category over the rows it may see (all rows, or those of strictly earlier time), blended
// with the prior of the same rows.
#include "categorical/target_encoder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace kestrune::categorical {
namespace {

float reference_blend(double sum, std::size_t count, double prior, const TargetEncoderConfig& config) {
  if (count < config.min_samples_leaf) return static_cast<float>(prior);
  const double mean = sum / static_cast<double>(count);
  if (config.smoothing == 0.0) return static_cast<float>(mean);
  const double w = static_cast<double>(count) / (config.smoothing + static_cast<double>(count));
  return static_cast<float>(mean * w + prior * (1.0 - w));
}

// Row i sees row j when j is in the fit (plain) or strictly earlier in time (time-aware).
std::vector<float> reference_encoding(const TargetEncoderConfig& config, const std::vector<std::string>& values,
                                      const std::vector<float>& targets, const std::vector<std::int64_t>& times) {
  std::vector<float> encoded;
  for (std::size_t i = 0; i < values.size(); ++i) {
    double sum = 0.0, total = 0.0;
    std::size_t count = 0, seen = 0;
    for (std::size_t j = 0; j < values.size(); ++j) {
      if (config.time_aware && !(times[j] < times[i])) continue;
      total += targets[j];
      ++seen;
      if (values[j] == values[i]) {
        sum += targets[j];
        ++count;
      }
    }
    const double prior = seen == 0 ? 0.0 : total / static_cast<double>(seen);
    encoded.push_back(reference_blend(sum, count, prior, config));
  }
  return encoded;
}

// Small columns with repeated categories, repeated time stamps and unordered times; the names
// cover byte-wise order (upper case first, a prefix first, bytes above 0x7f last).
struct Column {
  std::vector<std::string> values;
  std::vector<float> targets;
  std::vector<std::int64_t> times;
};

Column random_column(std::uint32_t seed, std::size_t rows) {
  Column column;
  std::uint32_t state = seed * 2654435761u + 1;
  auto next = [&] { return state = state * 1664525u + 1013904223u, state >> 8; };
  const char* names[] = {"a", "ab", "B", "b", "\xc3\xa9", ""};
  for (std::size_t r = 0; r < rows; ++r) {
    column.values.push_back(names[next() % 6]);
    column.targets.push_back(static_cast<float>(static_cast<int>(next() % 2001) - 1000) / 37.0f);
    column.times.push_back(static_cast<std::int64_t>(next() % 7) - 3);
  }
  return column;
}

TEST(TargetEncoder, MatchesDirectFloat64Computation) {
  const TargetEncoderConfig configs[] = {
      {0.0, 1, false}, {2.0, 1, false}, {20.0, 3, false}, {-0.0, 2, false},
      {0.0, 1, true},  {2.0, 1, true},  {20.0, 3, true},  {0.5, 2, true},
  };
  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    const Column column = random_column(seed, 5 + 9 * seed);
    for (const TargetEncoderConfig& config : configs) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " smoothing " << config.smoothing << " min "
                                      << config.min_samples_leaf << " time_aware " << config.time_aware);
      const FitTransformResult result =
          fit_transform_target_encoder(config, column.values, column.targets, column.times);
      EXPECT_EQ(result.encoded, reference_encoding(config, column.values, column.targets, column.times));

      // The state is the plain fit, whatever time_aware says; transform reads it back, and an
      // unseen category gets the prior.
      TargetEncoderConfig plain = config;
      plain.time_aware = false;
      const std::vector<float> fitted = reference_encoding(plain, column.values, column.targets, column.times);
      std::vector<std::string> probe = column.values;
      probe.push_back("unseen");
      std::vector<float> expected = fitted;
      double total = 0.0;
      for (const float t : column.targets) total += t;
      expected.push_back(static_cast<float>(total / static_cast<double>(column.targets.size())));
      EXPECT_EQ(transform_target_encoder(result.state, probe), expected);
      for (std::size_t k = 1; k < result.state.stats.size(); ++k) {
        EXPECT_LT(result.state.stats[k - 1].category, result.state.stats[k].category);
      }
    }
  }
}

TEST(TargetEncoder, RefusesBadInputInOrder) {
  const std::vector<std::string> two = {"a", "b"};
  const std::vector<float> targets = {1.0f, 2.0f};
  const std::vector<std::int64_t> times = {1, 2};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    TargetEncoderConfig config;
    std::vector<std::string> values;
    std::vector<float> targets;
    std::optional<std::vector<std::int64_t>> times;
    const char* message;
  };
  const Case cases[] = {
      {{std::nan(""), 1, false}, {}, {}, std::nullopt, "smoothing must be finite and >= 0"},
      {{-1.0, 0, false}, {}, {}, std::nullopt, "smoothing must be finite and >= 0"},
      {{INFINITY, 1, false}, two, targets, std::nullopt, "smoothing must be finite and >= 0"},
      {{1.0, 0, false}, {}, {}, std::nullopt, "min_samples_leaf must be greater than 0"},
      {{1.0, 1, false}, {}, {}, std::nullopt, "values cannot be empty"},
      {{1.0, 1, false}, two, {1.0f}, std::nullopt, "values and targets must have matching lengths"},
      {{1.0, 1, true}, {"a", "a", "a", "a", "a"}, {0, 0, 0, 0, nan}, std::nullopt, "target at index 4 must be finite"},
      {{1.0, 1, true}, two, targets, std::nullopt, "time_aware target encoding requires time_index"},
      {{1.0, 1, true}, two, targets, std::vector<std::int64_t>{1}, "time_index length 1 does not match row count 2"},
  };
  for (const Case& c : cases) {
    std::optional<std::span<const std::int64_t>> time_index;
    if (c.times) time_index = std::span<const std::int64_t>(*c.times);
    for (const bool transform : {false, true}) {
      try {
        if (transform) {
          fit_transform_target_encoder(c.config, c.values, c.targets, time_index);
        } else {
          fit_target_encoder(c.config, c.values, c.targets, time_index);
        }
        ADD_FAILURE() << "accepted: " << c.message;
      } catch (const CategoricalError& error) {
        EXPECT_EQ(error.kind(), CategoricalErrorKind::InvalidInput);
        EXPECT_EQ(std::string(error.what()), std::string("invalid input: ") + c.message);
      }
    }
  }
  const TargetEncoderState state = fit_target_encoder({1.0, 1, false}, two, targets, times);
  EXPECT_THROW(transform_target_encoder(state, std::vector<std::string>{}), CategoricalError);
}

}  // namespace
}  // namespace kestrune::categorical
