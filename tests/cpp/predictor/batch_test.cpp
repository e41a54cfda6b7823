#include <gtest/gtest.h>

#include <limits>

#include "predictor_test_support.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::Predictor;

struct RandomSingleOutput {
  std::vector<engine::TrainedStump> stumps;
  Predictor predictor;
  std::string objective;
  float base = 0.0f;
};

RandomSingleOutput random_single_output(std::uint64_t seed, const ModelShape& shape, std::string objective) {
  std::mt19937_64 rng(seed);
  engine::TrainedModel model;
  model.feature_count = shape.feature_count;
  model.base_prediction = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  model.objective = objective;
  model.stumps = random_stumps(rng, shape);
  Predictor predictor = load(model.to_artifact_bytes());
  return {model.stumps, std::move(predictor), objective, model.base_prediction};
}

std::vector<float> reference_scores(const RandomSingleOutput& m, const std::vector<std::vector<float>>& rows) {
  const ReferenceForest forest = reference_forest(m.stumps);
  std::vector<float> out;
  for (const auto& row : rows) {
    out.push_back(reference_transform(m.objective, reference_raw_score(forest, m.base, row)));
  }
  return out;
}

TEST(PredictorBatch, SingleOutputMatchesTheStumpWalkOnEveryPath) {
  const std::vector<std::string> objectives = {"squared_error", "binary_crossentropy", "poisson", "gamma", "tweedie",
                                               "quantile"};
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    ModelShape shape;
    shape.trees = 40;
    shape.max_splits = 30;
    shape.dart = seed % 2 == 1;
    const RandomSingleOutput m = random_single_output(seed, shape, objectives[seed]);
    std::mt19937_64 rng(100 + seed);
    // 700 rows x 40 trees runs on the pool; single rows run serially.
    const auto rows = random_bin_rows(rng, 700, shape.feature_count, shape.max_bin);
    ASSERT_TRUE(predictor::uses_parallel_evaluation(rows.size(), m.predictor.total_tree_count()));
    const std::vector<float> expected = reference_scores(m, rows);

    EXPECT_TRUE(same_floats(m.predictor.predict_batch(rows), expected)) << seed;
    const std::vector<float> flat = flatten(rows);
    EXPECT_TRUE(same_floats(m.predictor.predict_batch_dense(flat, rows.size(), shape.feature_count), expected));
    EXPECT_TRUE(same_floats(m.predictor.predict_batch_dense_bytes(to_le_bytes(flat), rows.size(), shape.feature_count),
                            expected));
    std::vector<float> serial;
    for (const auto& row : rows) {
      serial.push_back(m.predictor.predict_batch({&row, 1})[0]);
      ASSERT_TRUE(same_bits(reference_transform(m.objective, m.predictor.predict_row_with_feature_count(
                                                                 row, shape.feature_count)),
                            serial.back()));
    }
    EXPECT_TRUE(same_floats(serial, expected));
  }
}

TEST(PredictorBatch, WideRowsOnTheBytePath) {
  // 3000 features: the byte path decodes fewer rows per scratch block.
  ModelShape shape;
  shape.trees = 12;
  shape.feature_count = 3000;
  const RandomSingleOutput m = random_single_output(9, shape, "squared_error");
  std::mt19937_64 rng(9);
  const auto rows = random_bin_rows(rng, 130, shape.feature_count, shape.max_bin);
  const std::vector<float> flat = flatten(rows);
  EXPECT_TRUE(same_floats(m.predictor.predict_batch_dense_bytes(to_le_bytes(flat), rows.size(), shape.feature_count),
                          reference_scores(m, rows)));
}

TEST(PredictorBatch, MulticlassMatchesTheStumpWalk) {
  for (std::uint64_t seed = 0; seed < 3; ++seed) {
    std::mt19937_64 rng(seed);
    ModelShape shape;
    shape.trees = 15;
    shape.max_splits = 25;
    engine::MultiClassTrainedModel model;
    model.num_classes = 2 + seed;
    model.feature_count = shape.feature_count;
    model.objective = "multiclass";
    for (std::size_t c = 0; c < model.num_classes; ++c) {
      model.class_baselines.push_back(std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng));
      model.class_stumps.push_back(random_stumps(rng, shape));
    }
    const Predictor p = load(model.to_artifact_bytes());
    const auto rows = random_bin_rows(rng, 600, shape.feature_count, shape.max_bin);
    std::vector<ReferenceForest> forests;
    for (const auto& stumps : model.class_stumps) forests.push_back(reference_forest(stumps));
    std::vector<float> expected;
    for (const auto& row : rows) {
      std::vector<float> scores;
      for (std::size_t c = 0; c < model.num_classes; ++c) {
        scores.push_back(reference_raw_score(forests[c], model.class_baselines[c], row));
      }
      for (const float v : reference_softmax(scores)) expected.push_back(v);
    }
    EXPECT_TRUE(same_floats(p.predict_batch_multiclass(rows), expected)) << seed;
    EXPECT_TRUE(same_floats(p.predict_batch_dense_multiclass(flatten(rows), rows.size(), shape.feature_count), expected));
    std::vector<float> serial;
    for (const auto& row : rows) {
      for (const float v : p.predict_batch_multiclass({&row, 1})) serial.push_back(v);
    }
    EXPECT_TRUE(same_floats(serial, expected));
  }
}

TEST(PredictorBatch, EntryPointChecksInOrder) {
  engine::TrainedModel single;
  single.feature_count = 2;
  single.stumps = {stump_at(0, 0, 0, 1, 1.0f, 2.0f)};
  const Predictor s = load(single.to_artifact_bytes());
  engine::MultiClassTrainedModel multi;
  multi.num_classes = 2;
  multi.feature_count = 2;
  multi.class_baselines = {0.0f, 0.0f};
  multi.class_stumps = {{}, {}};
  const Predictor m = load(multi.to_artifact_bytes());
  const std::vector<std::vector<float>> none;
  const std::vector<std::vector<float>> ragged = {{1.0f, 2.0f}, {1.0f}};
  const std::vector<float> four(4, 0.0f);
  const Bytes eight(8, 0);
  using Call = std::function<void()>;
  const std::vector<std::tuple<Call, PredictorErrorKind, std::string>> cases = {
      {[&] { m.predict_batch(ragged); }, PredictorErrorKind::InvalidModel,
       "use predict_batch_multiclass for multi-class models"},
      {[&] { s.predict_batch(none); }, PredictorErrorKind::InvalidInput, "rows cannot be empty"},
      {[&] { s.predict_batch(ragged); }, PredictorErrorKind::InvalidInput,
       "feature length 1 does not match model feature_count 2"},
      {[&] { m.predict_batch_dense(four, 2, 2); }, PredictorErrorKind::InvalidModel,
       "use predict_batch_dense_multiclass for multi-class models"},
      {[&] { s.predict_batch_dense(four, 0, 3); }, PredictorErrorKind::InvalidInput,
       "feature_count 3 does not match model feature_count 2"},
      {[&] { s.predict_batch_dense(four, 0, 2); }, PredictorErrorKind::InvalidInput,
       "values length 4 does not match row_count * feature_count 0"},
      {[&] { s.predict_batch_dense({}, 0, 2); }, PredictorErrorKind::InvalidInput, "row_count must be greater than 0"},
      {[&] { s.predict_batch_dense(four, std::numeric_limits<std::size_t>::max(), 2); }, PredictorErrorKind::InvalidInput,
       "values length 4 does not match row_count * feature_count 36893488147419103230"},
      {[&] { m.predict_batch_dense_bytes(eight, 1, 2); }, PredictorErrorKind::InvalidModel,
       "use predict_batch_multiclass for multi-class models"},
      {[&] { s.predict_batch_dense_bytes(eight, 1, 1); }, PredictorErrorKind::InvalidInput,
       "feature_count 1 does not match model feature_count 2"},
      {[&] { s.predict_batch_dense_bytes(eight, 2, 2); }, PredictorErrorKind::InvalidInput,
       "bytes length 8 does not match expected 16 (row_count=2 * feature_count=2 * 4)"},
      {[&] { s.predict_batch_dense_bytes({}, 0, 2); }, PredictorErrorKind::InvalidInput,
       "row_count must be greater than 0"},
      {[&] { s.predict_batch_multiclass(ragged); }, PredictorErrorKind::InvalidModel,
       "predict_batch_multiclass called on single-output model"},
      {[&] { m.predict_batch_multiclass(none); }, PredictorErrorKind::InvalidInput, "rows cannot be empty"},
      {[&] { m.predict_batch_multiclass(ragged); }, PredictorErrorKind::InvalidInput,
       "feature length 1 does not match model feature_count 2"},
      {[&] { s.predict_batch_dense_multiclass(four, 2, 2); }, PredictorErrorKind::InvalidModel,
       "predict_batch_dense_multiclass called on single-output model"},
      {[&] { m.predict_batch_dense_multiclass(four, 1, 2); }, PredictorErrorKind::InvalidInput,
       "values length 4 does not match row_count * feature_count 2"},
  };
  for (const auto& [call, kind, message] : cases) {
    EXPECT_TRUE(throws_predictor_error(call, kind, message)) << message;
  }
  EXPECT_EQ(s.predict_batch_dense(four, 2, 2), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(m.predict_batch_dense_multiclass(four, 2, 2), std::vector<float>(4, 0.5f));
}

TEST(PredictorBatch, FailingRowsFailTheWholeBatchOnEveryPath) {
  // Feature 3 of a 3-feature model sits on the right branch of every tree.
  std::vector<engine::TrainedStump> stumps;
  for (std::uint32_t t = 0; t < 80; ++t) {
    stumps.push_back(stump_at(t, 0, 0, 10, 1.0f, 1.0f));
    stumps.push_back(stump_at(t, 2, 3, 10, 1.0f, 1.0f));
  }
  const Predictor p = load(trees_artifact(3, stumps));
  std::vector<std::vector<float>> rows(5000, {0.0f, 0.0f, 0.0f});
  EXPECT_EQ(p.predict_batch(rows).size(), 5000u);
  rows[4321][0] = 50.0f;
  const std::string message = "split feature_index 3 exceeds feature length 3";
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch(rows); }, message));
  const std::vector<float> flat = flatten(rows);
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch_dense(flat, rows.size(), 3); }, message));
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch_dense_bytes(to_le_bytes(flat), rows.size(), 3); }, message));
}

TEST(PredictorBatch, TheFirstFailingRowNamesTheError) {
  // Tree 0 fails on feature 3 for rows with feature 0 past its threshold, tree 1 on feature 4 for
  // rows with feature 1 past it. The blocks walk tree by tree, so they meet the later row's
  // failure first; the error must still be the one a row-by-row walk meets first.
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 10, 1.0f, 1.0f), stump_at(0, 2, 3, 10, 1.0f, 1.0f),
                                                    stump_at(1, 0, 1, 10, 1.0f, 1.0f), stump_at(1, 2, 4, 10, 1.0f, 1.0f)};
  const Predictor p = load(trees_artifact(3, stumps));
  struct Case {
    std::size_t tree1_row;  // fails on feature 4
    std::size_t tree0_row;  // fails on feature 3
    const char* message;
  };
  // Rows at the start, inside and at the end of a block, and across blocks.
  const Case cases[] = {
      {0, 1, "split feature_index 4 exceeds feature length 3"},
      {512, 513, "split feature_index 4 exceeds feature length 3"},
      {700, 1023, "split feature_index 4 exceeds feature length 3"},
      {1024, 1000, "split feature_index 3 exceeds feature length 3"},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<float>> rows(1500, {0.0f, 0.0f, 0.0f});
    rows[c.tree1_row][1] = 50.0f;
    rows[c.tree0_row][0] = 50.0f;
    const std::vector<float> flat = flatten(rows);
    EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch(rows); }, c.message)) << c.tree1_row;
    EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch_dense(flat, rows.size(), 3); }, c.message)) << c.tree1_row;
  }
}

TEST(PredictorBatch, ZeroFeatureModel) {
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 1, 1.0f, 2.0f)};
  const Predictor p = load(trees_artifact(0, stumps, 0.5f));
  EXPECT_TRUE(throws_invalid_model([&] { p.predict_batch_dense({}, 300, 0); },
                                   "split feature_index 0 exceeds feature length 0"));
  const Predictor empty = load(trees_artifact(0, {}, 0.5f));
  EXPECT_EQ(empty.predict_batch_dense_bytes({}, 3, 0), std::vector<float>(3, 0.5f));
  EXPECT_EQ(empty.predict_batch(std::vector<std::vector<float>>(2)), std::vector<float>(2, 0.5f));
}

}  // namespace
}  // namespace kestrune
