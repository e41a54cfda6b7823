// The morph gain where the denominators' epsilon decides it: children (or a whole node) whose
// hessian sums are zero or tiny, as rows of zero weight or saturated probabilities give.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "backend_cpu/morph_gain.hpp"

namespace kestrune::backend_cpu {
namespace {

// The base gain of the effective gradients in float64, each denominator (l2 + H) + 1e-6.
double reference_base_gain(const MorphSplitStats& s) {
  const auto term = [&](double g, double h) { return g * g / (s.split_l2 + h + 1e-6); };
  return term(s.left_gradient, s.left_hess) + term(s.right_gradient, s.right_hess) -
         term(static_cast<double>(s.left_gradient) + s.right_gradient,
              static_cast<double>(s.left_hess) + s.right_hess);
}

TEST(MorphGainSmallHessians, MatchesTheFloat64BaseGain) {
  struct Case {
    float left_hess;
    float right_hess;
    float split_l2;
  };
  const Case cases[] = {
      {0.0f, 2.0f, 0.0f},     // an empty-hessian left child
      {3.0f, 1e-7f, 0.0f},    // a saturated right child
      {0.0f, 0.0f, 0.0f},     // the whole node without hessian: the parent term too
      {1e-7f, 2e-7f, 0.0f},
      {0.0f, 0.0f, 1e-6f},    // a ridge term as small as the epsilon
      {4.0f, 6.0f, 0.5f},     // ordinary sums: the epsilon is noise
  };
  core::MorphConfig config;
  config.balance_penalty = false;
  engine::MorphContext context;
  context.config = config;
  context.precomputed = core::MorphPrecomputed::for_iteration(0, config);  // warm-up: the base gain
  ASSERT_TRUE(context.precomputed.in_warmup);
  for (const Case& c : cases) {
    for (const auto& [gl, gr] : {std::pair{3.0f, -2.0f}, std::pair{-0.5f, -1.5f}}) {
      SCOPED_TRACE(::testing::Message() << "hessians " << c.left_hess << ", " << c.right_hess << " l2 " << c.split_l2
                                        << " gradients " << gl << ", " << gr);
      const MorphSplitStats stats{gl, c.left_hess, 40, gr, c.right_hess, 60, 0, 10, 0.0f, 1.0f, c.split_l2};
      const double want = reference_base_gain(stats);
      EXPECT_NEAR(compute_morph_gain(stats, context, context.precomputed), want, 1e-5 * std::fabs(want) + 1e-6);
    }
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu
