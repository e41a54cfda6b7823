// The record constructors and the training-data check: each reports the first rule a record breaks.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/dataset.hpp"
#include "core/neutralization.hpp"
#include "core/validation.hpp"
#include "expect_core_error.hpp"
#include "support/panic.hpp"

namespace kestrune {
namespace {

using core::DatasetMatrix;
using core::DenseMatrixView;
using core::FactorExposureMatrix;
using core::TrainingDataset;
using testing_support::throws_validation;

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(CoreDatasetMatrix, ShapeRulesForOwnedMatrixAndView) {
  struct Case {
    std::size_t rows, features, length;
    const char* dataset_error;  // nullptr: accepted
    const char* view_error;
  };
  const std::vector<Case> cases = {
      {2, 3, 6, nullptr, nullptr},
      // Only the owned matrix may be metadata-only (no values).
      {5, 2, 0, nullptr, "matrix values length 0 does not match row_count * feature_count 10"},
      {2, 3, 5, "matrix values length 5 does not match row_count * feature_count 6",
       "matrix values length 5 does not match row_count * feature_count 6"},
      {0, 0, 4, "row_count must be greater than 0", "row_count must be greater than 0"},
      {2, 0, 4, "feature_count must be greater than 0", "feature_count must be greater than 0"},
      // 2^63 * 2 wraps to 0 in 64 bits; it must not pass as an empty (metadata-only) shape.
      {std::size_t{1} << 63, 2, 0, nullptr,
       "matrix values length 0 does not match row_count * feature_count 18446744073709551616"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.features) + " len " + std::to_string(c.length));
    const std::vector<float> values(c.length, 1.5f);
    if (c.dataset_error == nullptr) {
      EXPECT_EQ(DatasetMatrix::make(c.rows, c.features, values).values, values);
    } else {
      EXPECT_TRUE(throws_validation([&] { DatasetMatrix::make(c.rows, c.features, values); }, c.dataset_error));
    }
    if (c.view_error == nullptr) {
      EXPECT_EQ(DenseMatrixView::make(c.rows, c.features, values).values.data(), values.data());
    } else {
      EXPECT_TRUE(throws_validation([&] { DenseMatrixView::make(c.rows, c.features, values); }, c.view_error));
    }
  }
}

TEST(CoreDenseMatrixView, RowsAreBoundsChecked) {
  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  const DenseMatrixView view = DenseMatrixView::make(3, 2, values);
  EXPECT_EQ(view.row(2).data(), values.data() + 4);
  EXPECT_TRUE(throws_validation([&] { view.row(3); }, "row index 3 is out of bounds for row_count 3"));
  // A view assembled by hand over a short buffer is never read past its end.
  const DenseMatrixView short_view{std::span<const float>(values).first(3), 3, 2};
  EXPECT_EQ(short_view.row(0).size(), 2u);
  EXPECT_THROW(short_view.row(1), support::Panic);
  const DenseMatrixView huge{std::span<const float>(values), 4, std::numeric_limits<std::size_t>::max()};
  EXPECT_THROW(huge.row(1), support::Panic);
}

// The shape and finiteness rules are met through the dataset checks; these are the matrix's own.
TEST(CoreFactorExposureMatrix, MakeAndRowChecks) {
  EXPECT_TRUE(throws_validation([] { FactorExposureMatrix::make(0, 2, {}); },
                                "factor_exposures row_count must be greater than 0"));
  const FactorExposureMatrix m = FactorExposureMatrix::make(3, 2, {1, 2, 3, 4, 5, -0.0f});
  EXPECT_EQ(m.row(2).data(), m.values.data() + 4);
  EXPECT_EQ(m.row(2).size(), 2u);
  EXPECT_TRUE(throws_validation([&] { m.row(3); }, "factor_exposures row_index 3 is out of bounds for row_count 3"));
  // A record assembled by hand is checked before a row is read: never past the end of its values.
  const FactorExposureMatrix wrapped{{1, 2}, std::numeric_limits<std::size_t>::max(), 2};
  EXPECT_TRUE(throws_validation([&] { wrapped.row(0); }, "factor_exposures row_count * factor_count overflow"));
  const FactorExposureMatrix short_values{{1, 2, 3}, 2, 2};
  EXPECT_TRUE(throws_validation([&] { short_values.row(1); },
                                "factor_exposures values length 3 does not match row_count * factor_count 4"));
}

// A valid 3-row, 2-feature dataset with every optional column present.
TrainingDataset full_dataset() {
  TrainingDataset d;
  d.matrix = core::DatasetMatrix::make(3, 2, {1, 2, 3, 4, 5, 6});
  d.targets = {0.5f, 1.5f, 2.5f};
  d.sample_weights = std::vector<float>{1, 1, 1};
  d.time_index = std::vector<std::int64_t>{-1, 0, 1};
  d.group_id = std::vector<std::uint32_t>{0, 0, 1};
  d.factor_exposures = FactorExposureMatrix::make(3, 1, {0.1f, 0.2f, 0.3f});
  return d;
}

TEST(CoreValidateTrainingDataset, FirstFailingRuleWins) {
  struct Case {
    std::string name;
    std::function<void(TrainingDataset&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"matrix", [](TrainingDataset& d) { d.matrix.values.pop_back(); d.targets.clear(); },
       "matrix values length 5 does not match row_count * feature_count 6"},
      {"zero rows", [](TrainingDataset& d) { d.matrix.row_count = 0; }, "row_count must be greater than 0"},
      {"targets before weights",
       [](TrainingDataset& d) { d.targets.pop_back(); d.sample_weights->clear(); },
       "targets length 2 does not match row_count 3"},
      {"weights", [](TrainingDataset& d) { d.sample_weights->push_back(1); d.time_index->clear(); },
       "sample_weights length 4 does not match row_count 3"},
      {"time index", [](TrainingDataset& d) { d.time_index->clear(); d.group_id->clear(); },
       "time_index length 0 does not match row_count 3"},
      {"group id", [](TrainingDataset& d) { d.group_id->pop_back(); d.factor_exposures->row_count = 1; },
       "group_id length 2 does not match row_count 3"},
      {"exposure rows", [](TrainingDataset& d) { d.factor_exposures->row_count = 2; d.factor_exposures->factor_count = 0; },
       "factor_exposures row_count 2 does not match row_count 3"},
      {"exposure factors", [](TrainingDataset& d) { d.factor_exposures->factor_count = 0; },
       "factor_exposures factor_count must be greater than 0"},
      {"exposure overflow",
       [](TrainingDataset& d) { d.factor_exposures->factor_count = std::numeric_limits<std::size_t>::max(); },
       "factor_exposures row_count * factor_count overflow"},
      {"exposure length", [](TrainingDataset& d) { d.factor_exposures->values.push_back(kInf); },
       "factor_exposures values length 4 does not match row_count * factor_count 3"},
      {"exposure finite", [](TrainingDataset& d) { d.factor_exposures->values[2] = -kInf; },
       "factor_exposures must contain only finite values"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrainingDataset d = full_dataset();
    c.change(d);
    EXPECT_TRUE(throws_validation([&] { core::validate_training_dataset(d); }, c.message));
  }
}

TEST(CoreValidateTrainingDataset, AcceptsWhatItDoesNotJudge) {
  // Values are not inspected here: the objectives judge their own domains.
  TrainingDataset odd_values = full_dataset();
  odd_values.targets[0] = std::numeric_limits<float>::quiet_NaN();
  (*odd_values.sample_weights)[1] = -kInf;
  EXPECT_NO_THROW(core::validate_training_dataset(odd_values));
  // Absent columns are skipped; a metadata-only matrix passes.
  TrainingDataset minimal;
  minimal.matrix = core::DatasetMatrix::make_metadata_only(2, 7);
  minimal.targets = {1.0f, 2.0f};
  EXPECT_NO_THROW(core::validate_training_dataset(minimal));
}

TEST(CoreValidateBinnedMatrix, OnlyThePrimaryListIsRead) {
  core::BinnedMatrix m = core::BinnedMatrix::make(1, 2, 3, {1, 2});
  m.bins_column_major = core::BinStorage(std::vector<std::uint8_t>{200, 200});
  EXPECT_NO_THROW(core::validate_binned_matrix(m));
  m.bins = core::BinStorage(std::vector<std::uint16_t>{3, 256});
  EXPECT_TRUE(throws_validation([&] { core::validate_binned_matrix(m); }, "bin value 256 exceeds max_bin 3"));
  m.missing_bin = 256;
  EXPECT_NO_THROW(core::validate_binned_matrix(m));
}

}  // namespace
}  // namespace kestrune
