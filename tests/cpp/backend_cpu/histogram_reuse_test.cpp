// Memory that histogram building reuses from node to node: siblings subtracted into their
// parent's bins, and the gather block a thread keeps between parallel builds (larger nodes leave
// stale rows in it for smaller ones). Every bundle must still be the definition's sums.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "backend_cpu/histogram.hpp"
#include "backend_cpu/histogram_store.hpp"
#include "backend_test_support.hpp"
#include "engine/tree_build/node_split.hpp"

namespace kestrune::backend_cpu {
namespace {

void expect_same_bundle(const core::HistogramBundle& actual, const core::HistogramBundle& expected) {
  ASSERT_EQ(actual.histograms.size(), expected.histograms.size());
  for (std::size_t i = 0; i < actual.histograms.size(); ++i) {
    EXPECT_TRUE(test::same_histogram(actual.histograms[i], expected.histograms[i])) << "histogram " << i;
  }
}

// The definition's sums of the rows, feature by feature.
core::HistogramBundle naive_bundle(const core::BinnedMatrix& binned, const std::vector<core::GradientPair>& gradients,
                                   const std::vector<std::uint32_t>& rows) {
  core::HistogramBundle bundle;
  for (std::uint32_t f = 0; f < binned.feature_count; ++f) {
    bundle.histograms.push_back(test::naive_histogram(binned, gradients, rows, f, binned.max_bin + 1u));
  }
  return bundle;
}

// Splits a node again and again, always building the smaller side and subtracting the larger, as
// the growers do, through every loop: gathered (on a pool of several threads), arena, and the
// per-feature loop. Each built and subtracted bundle must equal the
// definition's sums of its rows (dyadic gradients: sums are exact in any order, so subtraction
// gives the direct sums).
TEST(HistogramReuse, ReusedMemoryGivesTheDefinitionsSums) {
  std::mt19937 rng(11);
  for (const test::MatrixShape shape : {test::MatrixShape{30000, 24, 255, 255, false, true, 0.1},
                                        test::MatrixShape{2000, 9, 40, 255, false, true, 0.0},
                                        test::MatrixShape{1500, 13, 700, 700, true, true, 0.1}}) {
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng, /*dyadic=*/true);
    const std::vector<core::FeatureTile> tiles{core::FeatureTile::make(0, 5),
                                               core::FeatureTile::make(5, static_cast<std::uint32_t>(shape.features))};
    std::vector<std::uint32_t> rows(shape.rows);
    for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = static_cast<std::uint32_t>(r);
    core::HistogramBundle parent = build_histograms(binned, gradients, core::NodeSlice::make(0, rows), tiles);
    for (std::uint32_t depth = 1; rows.size() > 4; ++depth) {
      // A random split; the smaller side is built from its rows, the larger one subtracted.
      std::vector<std::uint32_t> left, right;
      std::bernoulli_distribution goes_left(depth % 2 == 0 ? 0.4 : 0.55);
      for (const std::uint32_t r : rows) (goes_left(rng) ? left : right).push_back(r);
      if (left.empty() || right.empty()) continue;
      std::vector<std::uint32_t>& small = left.size() <= right.size() ? left : right;
      std::vector<std::uint32_t>& large = left.size() <= right.size() ? right : left;
      const core::HistogramBundle built = build_histograms(binned, gradients, core::NodeSlice::make(depth, small), tiles);
      SCOPED_TRACE(std::to_string(small.size()) + " built rows, " + std::to_string(large.size()) + " subtracted");
      expect_same_bundle(built, naive_bundle(binned, gradients, small));
      core::HistogramBundle sibling = engine::tree_build::subtract_histogram_bundle(std::move(parent), built, depth);
      expect_same_bundle(sibling, naive_bundle(binned, gradients, large));
      // Keep splitting the larger side: its bundle is the one the next subtraction consumes.
      parent = std::move(sibling);
      rows = std::move(large);
    }
  }
}

// A thread's handed-back lists come back to that thread first, the last handed back first, up to
// its byte cap; the rest go to the shared store and come back after them. Empty lists are not kept,
// and lists the caller already holds stay where they are.
TEST(HistogramReuse, HandedBackListsComeBackToTheirThreadFirst) {
  constexpr std::size_t kBins = 256;
  const std::size_t fit_here = kThreadKeptHistogramBytes / (kBins * sizeof(core::HistogramBin));
  const std::size_t beyond = 16;
  // A thread of its own, whose kept lists no other test has touched.
  std::thread([&] {
    core::HistogramBundle bundle;
    std::vector<const core::HistogramBin*> handed;
    for (std::uint32_t f = 0; f < fit_here + beyond; ++f) {
      bundle.histograms.push_back(core::FeatureHistogram{std::vector<core::HistogramBin>(kBins), f});
      handed.push_back(bundle.histograms.back().bins.data());
    }
    bundle.histograms.insert(bundle.histograms.begin() + 3, core::FeatureHistogram{{}, 99});
    recycle_histograms(std::move(bundle));

    std::vector<std::vector<core::HistogramBin>> lists(2);
    take_histogram_lists(4, kBins, lists);
    ASSERT_EQ(lists.size(), 6u);
    EXPECT_TRUE(lists[0].empty() && lists[1].empty()) << "lists already held were replaced";
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(lists[2 + k].data(), handed[fit_here - 1 - k]) << k;

    take_histogram_lists(fit_here - 4 + beyond, kBins, lists);
    ASSERT_EQ(lists.size(), 2 + fit_here + beyond);
    const std::set<const core::HistogramBin*> own(handed.begin(), handed.begin() + fit_here);
    const std::set<const core::HistogramBin*> shared(handed.begin() + fit_here, handed.end());
    for (std::size_t i = 6; i < 2 + fit_here; ++i) EXPECT_TRUE(own.contains(lists[i].data())) << i;
    for (std::size_t i = 2 + fit_here; i < lists.size(); ++i) {
      EXPECT_TRUE(shared.contains(lists[i].data())) << i;
      EXPECT_EQ(lists[i].size(), kBins);
    }
  }).join();
}

}  // namespace
}  // namespace kestrune::backend_cpu
