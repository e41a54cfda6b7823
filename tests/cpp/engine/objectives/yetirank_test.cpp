#include "engine/objectives/yetirank.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/objectives/lambdamart.hpp"
#include "objective_test_util.hpp"
#include "ranking_reference.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_close;

std::uint32_t bits_of(float x) {
  std::uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

TEST(ObjectiveYetiRank, NoiseIsTheKeyedSplitmixHash) {
  // Values computed independently from the key formula and the splitmix64 finaliser.
  struct Case {
    std::uint64_t seed;
    std::size_t group, sample, position;
    std::uint32_t bits;
  };
  const Case cases[] = {{42, 1, 0, 0, 3200455968u}, {42, 1, 2, 3, 1033020725u}, {~0ULL, 5, 9, 100, 3198619334u}};
  for (const Case& c : cases) EXPECT_EQ(bits_of(yetirank_noise(c.seed, c.group, c.sample, c.position)), c.bits);
  for (std::size_t i = 0; i < 2000; ++i) {
    const float noise = yetirank_noise(7, i % 13, i % 10, i);
    ASSERT_TRUE(noise >= -0.5f && noise <= 0.5f) << i;
  }
}

TEST(ObjectiveYetiRank, GradientsAverageLambdasOverNoisyRankings) {
  const std::vector<std::uint32_t> ids{3, 1, 1, 1, 1, 2, 2, 2};  // a leading single-row group shifts the index
  const std::vector<float> scores{1.0f, 0.1f, 0.3f, 0.2f, 0.25f, -1.0f, 0.0f, 1.0f};
  const std::vector<float> labels{1.0f, 2.0f, 0.0f, 1.0f, 3.0f, 0.0f, 1.0f, 0.0f};
  const std::size_t samples = 4;
  const std::uint64_t seed = 99;
  const YetiRankObjective objective(ids, samples, seed);
  const auto pairs = objective.compute_gradients(scores, labels, std::nullopt);
  const auto& b = objective.train_boundaries();
  std::vector<double> grad(scores.size(), 0.0), hess(scores.size(), 0.0);
  for (std::size_t g = 0; g + 1 < b.size(); ++g) {
    const std::size_t rows = b[g + 1] - b[g];
    if (rows < 2) continue;
    const std::span<const float> l = std::span<const float>(labels).subspan(b[g], rows);
    const std::span<const float> s = std::span<const float>(scores).subspan(b[g], rows);
    testing::ReferenceTerms terms{std::vector<double>(rows, 0.0), std::vector<double>(rows, 0.0)};
    for (std::size_t k = 0; k < samples; ++k) {
      std::vector<float> noisy(rows);
      for (std::size_t i = 0; i < rows; ++i) noisy[i] = s[i] + yetirank_noise(seed, g, k, i);
      testing::add_lambda_terms(l, s, noisy, 1.0 / samples, terms);
    }
    for (std::size_t i = 0; i < rows; ++i) {
      grad[b[g] + i] = terms.grad[i];
      hess[b[g] + i] = terms.hess[i];
    }
  }
  for (std::size_t i = 0; i < scores.size(); ++i) {
    expect_close(pairs[i].grad, grad[i], 1e-5, 1e-7);
    expect_close(pairs[i].hess, std::max(hess[i], 1e-7), 1e-5, 1e-9);
  }
  EXPECT_EQ(pairs[0].grad, 0.0f);
  EXPECT_EQ(pairs[0].hess, 1e-7f);
}

TEST(ObjectiveYetiRank, LargeGroupsMatchTheReferenceToo) {
  // Groups with very many pairs do not keep per-pair weights between samples; same result.
  const std::size_t rows = 900;
  const std::vector<std::uint32_t> ids(rows, 1);
  std::vector<float> scores(rows), labels(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    scores[i] = static_cast<float>((i * 37) % 101) / 50.0f - 1.0f;
    labels[i] = static_cast<float>((i * 7) % 5);
  }
  const std::size_t samples = 2;
  const auto pairs = YetiRankObjective(ids, samples, 3).compute_gradients(scores, labels, std::nullopt);
  testing::ReferenceTerms terms{std::vector<double>(rows, 0.0), std::vector<double>(rows, 0.0)};
  for (std::size_t k = 0; k < samples; ++k) {
    std::vector<float> noisy(rows);
    for (std::size_t i = 0; i < rows; ++i) noisy[i] = scores[i] + yetirank_noise(3, 0, k, i);
    testing::add_lambda_terms(labels, scores, noisy, 1.0 / samples, terms);
  }
  for (std::size_t i = 0; i < rows; ++i) {
    expect_close(pairs[i].grad, terms.grad[i], 1e-4, 1e-6);
    expect_close(pairs[i].hess, terms.hess[i], 1e-4, 1e-6);
  }
}

TEST(ObjectiveYetiRank, TwoRowGroupsAgreeWithLambdaMart) {
  const std::vector<std::uint32_t> ids{1, 1, 2, 2};
  const std::vector<float> scores{0.3f, -0.2f, 1.0f, 1.0f};
  const std::vector<float> labels{0.0f, 2.0f, 1.0f, 0.0f};
  const auto yeti = YetiRankObjective(ids, 10, 5).compute_gradients(scores, labels, std::nullopt);
  const auto lambda = LambdaMARTObjective(ids).compute_gradients(scores, labels, std::nullopt);
  for (std::size_t i = 0; i < scores.size(); ++i) {
    EXPECT_NEAR(yeti[i].grad, lambda[i].grad, 1e-6f);
    EXPECT_NEAR(yeti[i].hess, lambda[i].hess, 1e-6f);
  }
  EXPECT_EQ(YetiRankObjective(ids, 10, 5).loss(scores, labels, std::nullopt),
            LambdaMARTObjective(ids).loss(scores, labels, std::nullopt));
}

TEST(ObjectiveYetiRank, DeterministicAndDegenerateCases) {
  const std::vector<std::uint32_t> ids{1, 1, 1, 1, 2, 2};
  const std::vector<float> scores{0.0f, 0.0f, 0.0f, 0.0f, 1.0f, 2.0f};
  const std::vector<float> labels{3.0f, 1.0f, 0.0f, 2.0f, 0.0f, 0.0f};
  const YetiRankObjective objective(ids, 10, 123);
  const auto first = objective.compute_gradients(scores, labels, std::nullopt);
  const auto second = objective.compute_gradients(scores, labels, std::nullopt);
  EXPECT_EQ(std::memcmp(first.data(), second.data(), first.size() * sizeof(GradientPair)), 0);
  // The all-zero group has no ideal DCG.
  EXPECT_EQ(first[4].grad, 0.0f);
  EXPECT_EQ(first[5].hess, 1e-7f);
  // Without samples nothing is updated.
  for (const GradientPair& pair : YetiRankObjective(ids, 0, 123).compute_gradients(scores, labels, std::nullopt)) {
    EXPECT_EQ(pair.grad, 0.0f);
    EXPECT_EQ(pair.hess, 1e-7f);
  }
}

}  // namespace
}  // namespace kestrune::engine::objectives
