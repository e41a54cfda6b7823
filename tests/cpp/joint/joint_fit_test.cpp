#include <gtest/gtest.h>

#include <utility>

#include "engine/joint/error.hpp"
#include "engine/joint/fit.hpp"
#include "joint_fit_support.hpp"

namespace kestrune::engine::joint {
namespace {

using namespace testing_support;

// A warm start whose trees' stumps are interleaved is refused rather than mis-dropped by DART.
TEST(JointFit, RefusesAWarmStartWithInterleavedTrees) {
  const JointData data = make_joint_data(5, 100, 4);
  const core::TrainParams params = joint_params();
  const JointTrainingSummary earlier = fit_joint(data, params, 2);
  JointWarmStartState warm = warm_start_of(earlier);
  ASSERT_GE(warm.stumps.size(), 3u);
  std::swap(warm.stumps[0], warm.stumps.back());
  warm.stumps.push_back(warm.stumps.front());
  EXPECT_THROW(fit_joint(data, params, 1, warm), JointError);
}

}  // namespace
}  // namespace kestrune::engine::joint
