// Binning must not depend on the pool size. The pool size is fixed per process, so the test runs
// this binary again with one and with four threads and compares what each produced.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "quantization/feature_statistics.hpp"
#include "quantization/linear_tail.hpp"
#include "quantization/matrix_preparation.hpp"
#include "quantization/prediction_quantizers.hpp"

namespace kestrune::quantization {
namespace {

constexpr const char* kProbeOutput = "KESTRUNE_QUANTIZATION_PROBE_OUTPUT";

// Every code and metadata value of each strategy on a matrix large enough for many chunks.
std::string binning_fingerprint() {
  const std::size_t rows = 20000, features = 4;
  std::vector<float> values(rows * features);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t h = (i * 2654435761u) % 100003;
    values[i] = (h % 89 == 0) ? std::numeric_limits<float>::quiet_NaN()
                              : (i % features == 3 && h % 50 == 0 ? 1e6f : static_cast<float>(h) * 0.01f - 300.0f);
  }
  const std::vector<float> targets(rows, 0.0f);
  std::ostringstream out;
  setenv(kLinearTailRankVariable, "1", 1);
  for (const auto strategy : {ContinuousBinningStrategy::Linear, ContinuousBinningStrategy::Rank,
                              ContinuousBinningStrategy::Quantile}) {
    for (const std::size_t max_bins : {std::size_t{255}, std::size_t{1000}}) {
      const auto prepared = prepare_training_matrices_from_dense_values(
          values, rows, features, targets, std::nullopt, std::nullopt, std::nullopt, strategy, max_bins, true);
      for (const float code : prepared.dataset.matrix.values) out << code << ',';
      const auto& metadata = prepared.binning_metadata;
      if (metadata.feature_quantile_cuts) {
        for (const auto& cuts : *metadata.feature_quantile_cuts) out << cuts.size() << ':' << cuts.back() << ';';
      }
      if (metadata.feature_linear_rank_flags) {
        for (const bool flag : *metadata.feature_linear_rank_flags) out << flag;
      }
      out << '|' << prepared.binned.max_bin << '\n';
    }
  }
  unsetenv(kLinearTailRankVariable);
  const auto [mins, maxs] = derive_dense_feature_bounds(values, rows, features);
  for (const float code : quantize_dense_values_linear_inplace_wide(values, rows, features, mins, maxs, 510)) {
    out << code << ',';
  }
  return out.str();
}

TEST(QuantizationThreadProbe, WritesFingerprint) {
  const char* path = std::getenv(kProbeOutput);
  if (path == nullptr) GTEST_SKIP() << "runs only as the probe of QuantizationThreadCount";
  std::ofstream(path) << binning_fingerprint();
}

std::string probe_with_threads(int threads) {
  // The process id keeps concurrent runs of this suite (several checkouts, several ctest runs) from
  // reading or removing each other's files.
  const std::string path = ::testing::TempDir() + "quantization_probe_" + std::to_string(getpid()) + "_" +
                           std::to_string(threads);
  // Resolved here: inside the shell, /proc/self/exe would name the shell.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = "RAYON_NUM_THREADS=" + std::to_string(threads) + " " + kProbeOutput + "=" + path + " '" +
                              self + "' --gtest_filter=QuantizationThreadProbe.* > /dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  return text.str();
}

TEST(QuantizationThreadCount, BinningIsIdenticalWithOneAndFourThreads) {
  const std::string one = probe_with_threads(1);
  const std::string four = probe_with_threads(4);
  ASSERT_FALSE(one.empty());
  EXPECT_TRUE(one == four);
  EXPECT_TRUE(one == binning_fingerprint());
}

}  // namespace
}  // namespace kestrune::quantization
