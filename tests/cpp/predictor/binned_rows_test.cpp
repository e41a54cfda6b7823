// Raw rows scored on their bins: numeric splits route on the bins, categorical splits and linear
// leaves read the raw values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "predictor_test_support.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::Predictor;

struct BinnedBatch {
  std::vector<std::vector<float>> bins;
  std::vector<std::vector<float>> raw;  // NaN exactly where the bin is NaN, as a quantizer leaves it
};

BinnedBatch random_binned_batch(std::mt19937_64& rng, std::size_t rows, const ModelShape& shape) {
  BinnedBatch batch{random_bin_rows(rng, rows, shape.feature_count, shape.max_bin), {}};
  std::uniform_real_distribution<float> value(-50.0f, 50.0f);
  for (const auto& bin_row : batch.bins) {
    std::vector<float> raw_row;
    for (const float bin : bin_row) raw_row.push_back(std::isnan(bin) ? bin : value(rng));
    batch.raw.push_back(raw_row);
  }
  return batch;
}

// The raw values as little-endian bytes starting `offset` bytes into the buffer, with a tail of
// bytes that must not be read.
Bytes shifted_bytes(const std::vector<float>& values, std::size_t offset) {
  Bytes bytes(offset, 0xAB);
  const Bytes body = to_le_bytes(values);
  bytes.insert(bytes.end(), body.begin(), body.end());
  bytes.insert(bytes.end(), 8, 0xFF);
  return bytes;
}

TEST(PredictorBinnedRows, CategoricalSplitsAndLinearLeavesReadTheRawValuesOnEveryPath) {
  // Seeds 0-3: linear leaves (and some categorical splits); 4-5: categorical splits with constant
  // leaves only.
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    ModelShape shape;
    shape.trees = 40;
    shape.max_splits = 20;
    shape.linear_rate = seed < 4 ? 0.4 : 0.0;
    shape.categorical_rate = seed < 4 ? 0.15 : 0.4;
    shape.dart = seed % 2 == 1;
    std::mt19937_64 rng(seed);
    engine::TrainedModel model;
    model.feature_count = shape.feature_count;
    model.base_prediction = 0.25f;
    model.objective = seed == 2 ? "poisson" : "squared_error";
    model.stumps = random_stumps(rng, shape);
    const Predictor p = load(model.to_artifact_bytes());
    ASSERT_EQ(p.has_linear_leaves(), seed < 4);
    ASSERT_TRUE(p.has_categorical_splits());
    const ReferenceForest forest = reference_forest(model.stumps);
    // 700 rows x 40 trees run on the pool, 7 rows serially.
    for (const std::size_t rows : {std::size_t{7}, std::size_t{700}}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", rows " << rows);
      const BinnedBatch batch = random_binned_batch(rng, rows, shape);
      std::vector<float> expected;
      for (std::size_t r = 0; r < rows; ++r) {
        expected.push_back(reference_transform(
            model.objective, reference_raw_score(forest, model.base_prediction, batch.bins[r], batch.raw[r])));
      }
      const std::vector<float> bins = flatten(batch.bins);
      const std::vector<float> raw = flatten(batch.raw);
      EXPECT_TRUE(same_floats(p.predict_batch_dense_binned(bins, raw, rows, shape.feature_count), expected));
      // The bins alone score differently: the test reaches nodes that read the raw values.
      const std::vector<float> on_bins = p.predict_batch_dense(bins, rows, shape.feature_count);
      EXPECT_FALSE(same_floats(on_bins, expected));
      for (const std::size_t offset : {0, 1, 2, 3}) {
        // Byte buffers may start at any address; rows are decoded, never read where they lie.
        const Bytes raw_bytes = shifted_bytes(raw, offset);
        const Bytes bin_bytes = shifted_bytes(bins, offset);
        const auto tail = [offset](const Bytes& bytes) { return std::span<const std::uint8_t>(bytes).subspan(offset); };
        EXPECT_TRUE(
            same_floats(p.predict_batch_dense_binned_bytes(bins, tail(raw_bytes), rows, shape.feature_count), expected))
            << "offset " << offset;
        EXPECT_TRUE(same_floats(
            p.predict_batch_dense_bytes(tail(bin_bytes).first(bins.size() * 4), rows, shape.feature_count), on_bins))
            << "offset " << offset;
      }
    }
  }
}

TEST(PredictorBinnedRows, NumericConstantLeafModelsNeverReadTheRawValues) {
  ModelShape shape;
  shape.linear_rate = 0.0;
  shape.categorical_rate = 0.0;
  std::mt19937_64 rng(5);
  engine::TrainedModel model;
  model.feature_count = shape.feature_count;
  model.stumps = random_stumps(rng, shape);
  const Predictor p = load(model.to_artifact_bytes());
  ASSERT_FALSE(p.has_linear_leaves());
  ASSERT_FALSE(p.has_categorical_splits());
  const std::vector<float> bins = flatten(random_bin_rows(rng, 300, shape.feature_count, shape.max_bin));
  const std::vector<float> nonsense(bins.size(), std::numeric_limits<float>::quiet_NaN());
  const std::vector<float> expected = p.predict_batch_dense(bins, 300, shape.feature_count);
  EXPECT_TRUE(same_floats(p.predict_batch_dense_binned(bins, nonsense, 300, shape.feature_count), expected));
  EXPECT_TRUE(same_floats(p.predict_batch_dense_binned_bytes(bins, {}, 300, shape.feature_count), expected));
}

TEST(PredictorBinnedRows, MulticlassModelsAreRefusedAsOnTheDensePath) {
  std::mt19937_64 rng(6);
  ModelShape shape;
  shape.linear_rate = 1.0;
  engine::MultiClassTrainedModel multi;
  multi.num_classes = 2;
  multi.feature_count = shape.feature_count;
  multi.class_baselines = {0.0f, 0.0f};
  multi.class_stumps = {random_stumps(rng, shape), random_stumps(rng, shape)};
  const Predictor m = load(multi.to_artifact_bytes());
  ASSERT_TRUE(m.has_linear_leaves());
  const std::vector<float> row(shape.feature_count, 1.0f);
  EXPECT_TRUE(throws_invalid_model([&] { m.predict_batch_dense_binned(row, row, 1, shape.feature_count); },
                                   "use predict_batch_dense_multiclass for multi-class models"));
}

}  // namespace
}  // namespace kestrune
