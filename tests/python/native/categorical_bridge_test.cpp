// The categorical preparation up to the trainer: the bins and the native feature list that the
// trainer receives, the target-encoded codes in the matrix's own storage width, validation rows
// in the training code space, and failures that leave the matrices untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "categorical/encoded_codes.hpp"
#include "categorical/target_encoder.hpp"
#include "engine/error.hpp"
#include "training_categorical.hpp"
#include "training_preparation.hpp"

namespace kestrune::python {
namespace {

constexpr std::size_t kRows = 320;
constexpr std::size_t kFeatures = 3;

// Column 0 numeric with kRows distinct values (codes above 254 under 16-bit storage), column 1
// native (strings b, a, ab), column 2 target-encoded (40 categories), targets tied to column 2.
struct Data {
  std::vector<float> values;
  std::vector<float> targets;
  std::vector<std::string> native;
  std::vector<std::string> encoded;
};

Data make_data(std::size_t rows, std::size_t shift) {
  Data data;
  const char* names[] = {"b", "a", "ab"};
  for (std::size_t r = 0; r < rows; ++r) {
    data.values.insert(data.values.end(), {static_cast<float>(r) + 0.5f, 0.0f, 0.0f});  // not whole: not taken as bins
    data.native.push_back(names[(r + shift) % 3]);
    const std::size_t category = (r * 7 + shift) % 40;
    // Appended, not prepended: GCC 12 warns falsely on a literal + std::string.
    data.encoded.push_back(std::string("c").append(std::to_string(category)));
    data.targets.push_back(static_cast<float>(category % 9) * 0.5f + static_cast<float>(r) * 0.001f);
  }
  return data;
}

TrainingPipelineInputs make_inputs(const Data& data, std::size_t max_bins) {
  TrainingPipelineInputs inputs;
  inputs.values = data.values;
  inputs.row_count = data.targets.size();
  inputs.feature_count = kFeatures;
  inputs.targets = data.targets;
  inputs.continuous_binning_max_bins = max_bins;
  inputs.max_cat_threshold = 3;
  inputs.objective = "squared_error";
  inputs.categorical_specs = {CategoricalTargetEncodingSpec{data.native, 2.0, 1, false, 1},
                              CategoricalTargetEncodingSpec{data.encoded, 2.0, 1, false, 2}};
  return inputs;
}

std::vector<std::uint16_t> column(const core::BinnedMatrix& binned, std::size_t feature) {
  std::vector<std::uint16_t> bins;
  for (std::size_t r = 0; r < binned.row_count; ++r) bins.push_back(binned.bins.at(r * binned.feature_count + feature));
  return bins;
}

TEST(CategoricalBridge, BinsAndFeatureListHandedToTheTrainer) {
  const Data train = make_data(kRows, 0);
  const Data valid = make_data(30, 1);
  for (const std::size_t max_bins : {std::size_t{255}, std::size_t{400}}) {
    SCOPED_TRACE(max_bins);
    TrainingPipelineInputs inputs = make_inputs(train, max_bins);
    inputs.validation_values = std::span<const float>(valid.values);
    inputs.validation_row_count = valid.targets.size();
    inputs.validation_targets = std::span<const float>(valid.targets);
    std::vector<std::string> unseen = valid.native;
    unseen[4] = "zz";
    std::vector<std::string> unseen_encoded = valid.encoded;
    unseen_encoded[5] = "new";
    inputs.validation_categorical_values = {unseen, unseen_encoded};
    const bool linear = max_bins > 255;
    if (linear) inputs.params.leaf_model = core::LeafModel::Linear;

    const quantization::PreparedTrainingMatrices plain = quantization::prepare_training_matrices_from_dense_values(
        train.values, kRows, kFeatures, train.targets, std::nullopt, std::nullopt, std::nullopt,
        quantization::ContinuousBinningStrategy::Linear, max_bins, false);
    const PreparedTraining prepared = prepare_training(inputs);
    const core::BinnedMatrix& binned = prepared.training.binned;

    // Storage width and the numeric column are those of the quantizer.
    EXPECT_EQ(binned.bins.is_u8(), max_bins <= 255);
    EXPECT_EQ(column(binned, 0), column(plain.binned, 0));
    const std::vector<std::uint16_t> numeric = column(binned, 0);
    const std::uint16_t top = *std::max_element(numeric.begin(), numeric.end());
    EXPECT_TRUE(max_bins <= 255 ? top == 254 : top > 255) << top;

    // Native: ids by byte-wise order a, ab, b; the trainer is told (feature 1, 3 categories).
    std::vector<std::uint16_t> ids;
    for (const std::string& s : train.native) ids.push_back(s == "a" ? 0 : s == "ab" ? 1 : 2);
    EXPECT_EQ(column(binned, 1), ids);
    EXPECT_EQ(prepared.native_categorical_features, (std::vector<engine::trainer::CategoricalFeature>{{1, 3}}));
    EXPECT_EQ(prepared.native_cat_mappings,
              (CategoryMappings{{1, {{"a", 0}, {"ab", 1}, {"b", 2}}}}));

    // Target-encoded: the codes of each row's encoded value, whatever the storage width.
    const categorical::FitTransformResult reference =
        categorical::fit_transform_target_encoder({2.0, 1, false}, train.encoded, train.targets, std::nullopt);
    const categorical::EncodedCodes codes = categorical::encode_bins_from_encoded_values(reference.encoded, 255);
    EXPECT_EQ(column(binned, 2), codes.codes);
    EXPECT_GE(binned.max_bin, codes.max_code);
    ASSERT_TRUE(prepared.categorical_state);
    EXPECT_EQ(prepared.categorical_state->feature_indices, std::vector<std::uint32_t>{2});

    // The dense matrices hold raw rows only where linear leaves read them, never bin codes; the
    // encoded column then holds the encoded values.
    const core::DatasetMatrix& dense = prepared.training.dataset.matrix;
    const core::DatasetMatrix& vdense = prepared.validation->dataset.matrix;
    ASSERT_EQ(dense.values.size(), linear ? kRows * kFeatures : 0);
    ASSERT_EQ(vdense.values.size(), linear ? valid.values.size() : 0);
    if (linear) {
      for (std::size_t r = 0; r < kRows; ++r) {
        EXPECT_EQ(dense.values[r * kFeatures], train.values[r * kFeatures]);
        EXPECT_EQ(dense.values[r * kFeatures + 2], reference.encoded[r]);
      }
      const std::vector<float> transformed = categorical::transform_target_encoder(reference.state, unseen_encoded);
      for (std::size_t r = 0; r < valid.targets.size(); ++r) {
        EXPECT_EQ(vdense.values[r * kFeatures], valid.values[r * kFeatures]);
        EXPECT_EQ(vdense.values[r * kFeatures + 2], transformed[r]);
      }
    }

    // Validation: each category reads the bin it has in training; an unseen string gets the
    // missing bin in a native column.
    const core::BinnedMatrix& vbinned = prepared.validation->binned;
    for (std::size_t r = 0; r < valid.targets.size(); ++r) {
      const std::size_t native_row = static_cast<std::size_t>(
          std::find(train.native.begin(), train.native.end(), unseen[r]) - train.native.begin());
      EXPECT_EQ(vbinned.bins.at(r * kFeatures + 1), r == 4 ? vbinned.missing_bin : column(binned, 1)[native_row]);
      if (r == 5) continue;
      const std::size_t encoded_row = static_cast<std::size_t>(
          std::find(train.encoded.begin(), train.encoded.end(), valid.encoded[r]) - train.encoded.begin());
      EXPECT_EQ(vbinned.bins.at(r * kFeatures + 2), codes.codes[encoded_row]) << r;
    }
  }
}

// Every failure comes before the first write: the matrices are left as they were.
TEST(CategoricalBridge, FailuresLeaveTheMatricesUntouched) {
  const Data train = make_data(kRows, 0);
  std::vector<std::string> many;
  for (std::size_t r = 0; r < kRows; ++r) many.push_back(std::string("k").append(std::to_string(r)));
  struct Case {
    std::vector<CategoricalTargetEncodingSpec> specs;
    std::size_t threshold;
    const char* message;
  };
  const Case cases[] = {
      {{{train.native, 2.0, 1, false, 1}, {train.encoded, 2.0, 1, true, 2}},
       3,
       "invalid input: time_aware target encoding requires time_index"},
      {{{train.native, 2.0, 1, false, 0}, {many, 0.0, 1, false, 2}}, 3, "encoded cardinality 320 exceeds supported max 255"},
      {{{train.encoded, 2.0, 1, false, 0}, {many, 0.0, 1, false, 2}},
       400,
       "Native categorical feature 2 has 320 categories which would collide with the missing-value sentinel (bin "
       "255). Reduce max_cat_threshold or increase continuous_binning_max_bins."},
      {{{train.native, 2.0, 1, false, 1}, {train.encoded, 2.0, 1, false, 3}},
       3,
       "categorical feature index 3 is out of bounds for feature_count 3"},
  };
  for (const Case& c : cases) {
    quantization::PreparedTrainingMatrices matrices = quantization::prepare_training_matrices_from_dense_values(
        train.values, kRows, kFeatures, train.targets, std::nullopt, std::nullopt, std::nullopt,
        quantization::ContinuousBinningStrategy::Linear, 255, false);
    const core::BinnedMatrix before = matrices.binned;
    try {
      apply_training_categorical_columns(matrices, c.specs, c.threshold);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const engine::EngineError& error) {
      EXPECT_EQ(error.kind(), engine::EngineErrorKind::ContractViolation);
      EXPECT_EQ(error.message(), c.message);
    }
    EXPECT_EQ(matrices.binned.bins, before.bins);
    EXPECT_EQ(matrices.binned.bins_column_major, before.bins_column_major);
    EXPECT_EQ(matrices.binned.max_bin, before.max_bin);
  }
}

}  // namespace
}  // namespace kestrune::python
