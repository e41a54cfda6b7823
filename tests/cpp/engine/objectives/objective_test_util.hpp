// Helpers shared by the objective tests: error matching, float64 finite differences and the
// random rows of the pool suites.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/error.hpp"

namespace kestrune::engine::objectives::testing {

// Runs `body` and checks that it throws an EngineError of `kind` whose message is `message`.
template <typename Body>
void expect_engine_error(Body&& body, EngineErrorKind kind, const std::string& message) {
  try {
    body();
    ADD_FAILURE() << "expected EngineError \"" << message << "\"";
  } catch (const EngineError& error) {
    EXPECT_EQ(error.kind(), kind) << error.debug();
    EXPECT_EQ(error.message(), message);
  }
}

template <typename Body>
void expect_contract_violation(Body&& body, const std::string& message) {
  expect_engine_error(std::forward<Body>(body), EngineErrorKind::ContractViolation, message);
}

// A rejected gradient pair arrives as the wrapped core validation error.
template <typename Body>
void expect_rejected_pair(Body&& body, const std::string& core_message) {
  expect_engine_error(std::forward<Body>(body), EngineErrorKind::Core, "validation error: " + core_message);
}

// Central differences of a smooth float64 function.
inline double first_derivative(const std::function<double(double)>& f, double x, double h = 1e-5) {
  return (f(x + h) - f(x - h)) / (2.0 * h);
}
inline double second_derivative(const std::function<double(double)>& f, double x, double h = 1e-4) {
  return (f(x + h) - 2.0 * f(x) + f(x - h)) / (h * h);
}

// |actual - expected| within a float32-sized relative tolerance (plus a small absolute floor).
inline void expect_close(double actual, double expected, double rel = 2e-5, double abs = 1e-6) {
  EXPECT_NEAR(actual, expected, abs + rel * std::fabs(expected));
}

// Random scores, labels (classes 0..3), counts and positive weights, the same for every suite
// that asks for n rows.
struct Rows {
  std::vector<float> scores, labels, counts, weights;
};

inline Rows make_rows(std::size_t n) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal(0.0f, 2.0f);
  std::uniform_real_distribution<float> uniform(0.1f, 3.0f);
  Rows r;
  for (std::size_t i = 0; i < n; ++i) {
    r.scores.push_back(normal(rng));
    r.labels.push_back(static_cast<float>(rng() % 4));  // binary labels after % 2
    r.counts.push_back(std::floor(uniform(rng) * 2.0f));
    r.weights.push_back(uniform(rng));
  }
  return r;
}

}  // namespace kestrune::engine::objectives::testing
