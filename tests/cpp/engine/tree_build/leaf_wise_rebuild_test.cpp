// The leaf-wise grower hands a small child's histograms back once the child is searched and
// builds them again from its rows if the child is split. The split of such a node must see the
// very sums its search saw: every build of a node must give the bundle its first build gave.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "grow_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

using testing_support::grow;
using testing_support::Growth;
using testing_support::random_scenario;

// The CPU backend, recording each node's bundle at its first build and counting the builds
// whose bundle differs from that one (bit for bit) or that repeat one.
class RecordingBackend : public testing_support::CpuForwardingBackend {
 public:
  struct Record {
    std::mutex lock;
    std::map<std::uint32_t, core::HistogramBundle> first;
    std::size_t repeated = 0;
    std::size_t differing = 0;
  };
  Record* record = nullptr;

  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles) const {
    core::HistogramBundle built = cpu_.build_histograms(binned, gradients, node, tiles);
    const std::lock_guard<std::mutex> held(record->lock);
    const auto [at, fresh] = record->first.try_emplace(node.node_id, built);
    if (!fresh) {
      ++record->repeated;
      if (!same_bits(at->second, built)) ++record->differing;
    }
    return built;
  }

 private:
  static bool same_bits(const core::HistogramBundle& a, const core::HistogramBundle& b) {
    if (a.histograms.size() != b.histograms.size()) return false;
    for (std::size_t i = 0; i < a.histograms.size(); ++i) {
      const auto& x = a.histograms[i];
      const auto& y = b.histograms[i];
      if (x.feature_index != y.feature_index || x.bins.size() != y.bins.size() ||
          std::memcmp(x.bins.data(), y.bins.data(), x.bins.size() * sizeof(core::HistogramBin)) != 0) {
        return false;
      }
    }
    return true;
  }
};
static_assert(BackendOps<RecordingBackend>);

TEST(GrowLeafWiseRebuild, ASplitNodeIsBuiltAgainWithTheSumsItsSearchSaw) {
  // Small nodes throughout, so that most children hand their histograms back, and deep enough
  // trees that many of them are split afterwards; 8-bit and 16-bit codes.
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "16-bit codes" : "8-bit codes");
    std::mt19937_64 rng(wide ? 23 : 17);
    testing_support::GrowScenario s = random_scenario(rng, 4000, 7, 40, wide);
    s.params.max_depth = 12;
    s.params.max_leaves = 127;
    s.controls.max_leaves = 127;
    s.controls.min_rows_per_leaf = 3;
    RecordingBackend::Record record;
    RecordingBackend backend;
    backend.record = &record;
    std::vector<float> predictions(4000, 0.0f);
    const GrownTree tree = grow(s, Growth::Leaf, predictions, 0, backend);
    ASSERT_GT(tree.stumps.size(), 60u);
    EXPECT_GT(record.repeated, 10u) << "too few nodes were built again to test anything";
    EXPECT_EQ(record.differing, 0u);
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build
