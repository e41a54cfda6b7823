#include "core/validation.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "expect_core_error.hpp"

namespace kestrune {
namespace {

using core::FactorExposureMatrix;
using core::TrainingDataset;
using testing_support::throws_validation;

constexpr float kInf = std::numeric_limits<float>::infinity();

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

struct DatasetCase {
  std::string name;
  std::function<void(TrainingDataset&)> change;
  std::string message;
};

TEST(CoreValidateTrainingDataset, FirstFailingRuleWins) {
  const std::vector<DatasetCase> cases = {
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
  for (const DatasetCase& c : cases) {
    SCOPED_TRACE(c.name);
    TrainingDataset d = full_dataset();
    c.change(d);
    EXPECT_TRUE(throws_validation([&] { core::validate_training_dataset(d); }, c.message));
  }
}

TEST(CoreValidateTrainingDataset, AcceptsCompleteAndMinimalDatasets) {
  EXPECT_NO_THROW(core::validate_training_dataset(full_dataset()));

  TrainingDataset minimal;
  minimal.matrix = core::DatasetMatrix::make_metadata_only(2, 7);
  minimal.targets = {1.0f, 2.0f};
  EXPECT_NO_THROW(core::validate_training_dataset(minimal));

  // Values are not inspected here: the objectives judge their own domains.
  TrainingDataset odd_values = full_dataset();
  odd_values.targets[0] = std::numeric_limits<float>::quiet_NaN();
  (*odd_values.sample_weights)[1] = -kInf;
  EXPECT_NO_THROW(core::validate_training_dataset(odd_values));

  // Absent columns are skipped, but present empty ones are length mismatches.
  TrainingDataset empty_weights = minimal;
  empty_weights.sample_weights = std::vector<float>{};
  EXPECT_TRUE(throws_validation([&] { core::validate_training_dataset(empty_weights); },
                                "sample_weights length 0 does not match row_count 2"));
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
