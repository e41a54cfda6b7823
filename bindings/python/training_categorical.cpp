#include "training_categorical.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "engine/error.hpp"
#include "support/panic.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;
using quantization::PreparedTrainingMatrices;

// A native column's ids, decided before any bin is written.
struct NativeColumn {
  const CategoricalTargetEncodingSpec* spec = nullptr;
  std::map<std::string_view, std::uint32_t> ids;
};

// Each distinct string mapped to its position in byte-wise order (std::string_view compares
// bytes as unsigned char), so the ids never depend on hash order.
std::map<std::string_view, std::uint32_t> category_ids(const std::vector<std::string>& values) {
  std::map<std::string_view, std::uint32_t> ids;
  for (const std::string& value : values) ids.emplace(value, 0);
  std::uint32_t next = 0;
  for (auto& [category, id] : ids) id = next++;
  return ids;
}

// A bad index would write bins into another feature's cells, a short list would leave rows
// without a category: both are refused before any column is treated.
void check_lengths(const std::vector<std::string>& values, std::size_t row_count) {
  if (values.size() != row_count) {
    throw EngineError::contract_violation("categorical values length " + std::to_string(values.size()) +
                                          " does not match row_count " + std::to_string(row_count));
  }
}

void check_specs(const std::vector<CategoricalTargetEncodingSpec>& specs, const core::BinnedMatrix& binned) {
  for (const CategoricalTargetEncodingSpec& spec : specs) {
    if (spec.feature_index >= binned.feature_count) {
      throw EngineError::contract_violation("categorical feature index " + std::to_string(spec.feature_index) +
                                            " is out of bounds for feature_count " +
                                            std::to_string(binned.feature_count));
    }
    check_lengths(spec.values, binned.row_count);
  }
}

void write_native_ids(core::BinnedMatrix& binned, std::size_t feature_index,
                      const std::map<std::string_view, std::uint32_t>& ids, const std::vector<std::string>& values) {
  const std::size_t count = ids.size();
  binned.max_bin = std::max(binned.max_bin, static_cast<std::uint16_t>(count - 1));
  for (std::size_t row = 0; row < values.size(); ++row) {
    const auto found = ids.find(values[row]);
    binned.set_bin(row, feature_index,
                   found == ids.end() ? binned.missing_bin : static_cast<std::uint16_t>(found->second));
  }
}

}  // namespace

CategoricalPreparation apply_training_categorical_columns(PreparedTrainingMatrices& training,
                                                          const std::vector<CategoricalTargetEncodingSpec>& specs,
                                                          std::size_t max_cat_threshold) {
  CategoricalPreparation prepared;
  if (specs.empty()) return prepared;
  check_specs(specs, training.binned);

  std::vector<NativeColumn> native;
  std::vector<const CategoricalTargetEncodingSpec*> encoded;
  for (const CategoricalTargetEncodingSpec& spec : specs) {
    if (max_cat_threshold == 0) {
      encoded.push_back(&spec);
      continue;
    }
    std::map<std::string_view, std::uint32_t> ids = category_ids(spec.values);
    const std::size_t n = ids.size();
    if (n < 2 || n > max_cat_threshold) {
      encoded.push_back(&spec);
      continue;
    }
    const std::uint16_t missing_bin = training.binned.missing_bin;
    if (n > missing_bin) {
      throw EngineError::contract_violation(
          "Native categorical feature " + std::to_string(spec.feature_index) + " has " + std::to_string(n) +
          " categories which would collide with the missing-value sentinel (bin " + std::to_string(missing_bin) +
          "). Reduce max_cat_threshold or increase continuous_binning_max_bins.");
    }
    native.push_back(NativeColumn{&spec, std::move(ids)});
  }

  // The encoding writes only its own columns, and only once all of them are encoded.
  prepared.encoding = apply_categorical_encoding_to_training_matrices_multi(training, encoded);
  for (const NativeColumn& column : native) {
    const std::size_t feature_index = column.spec->feature_index;
    write_native_ids(training.binned, feature_index, column.ids, column.spec->values);
    prepared.native_features.emplace_back(feature_index, column.ids.size());
    std::map<std::string, std::uint32_t>& mapping = prepared.native_cat_mappings[feature_index];
    for (const auto& [category, id] : column.ids) mapping.emplace(std::string(category), id);
  }
  return prepared;
}

void apply_validation_categorical_columns(PreparedTrainingMatrices& validation, const CategoricalPreparation& prepared,
                                          const std::vector<CategoricalTargetEncodingSpec>& specs,
                                          const std::vector<std::vector<std::string>>& validation_values) {
  if (specs.empty()) return;
  if (validation_values.size() != specs.size()) {
    throw EngineError::contract_violation("validation categorical values list length " +
                                          std::to_string(validation_values.size()) +
                                          " does not match categorical specs count " + std::to_string(specs.size()));
  }
  // Every validation row needs its category: a row left without one would keep the bin of the
  // column's numeric placeholder and be read as some category id.
  for (const std::vector<std::string>& values : validation_values) check_lengths(values, validation.binned.row_count);

  // Each encoded column finds its strings by feature index (indices are unique).
  std::vector<const std::vector<std::string>*> encoded_values;
  encoded_values.reserve(prepared.encoding.columns.size());
  for (const TargetEncodedColumn& column : prepared.encoding.columns) {
    const auto k = std::find_if(specs.begin(), specs.end(), [&](const CategoricalTargetEncodingSpec& spec) {
      return spec.feature_index == column.feature_index;
    });
    support::invariant(k != specs.end(), "target-encoded column without its categorical spec");
    encoded_values.push_back(&validation_values[static_cast<std::size_t>(k - specs.begin())]);
  }
  apply_categorical_encoding_to_validation_matrices_multi(validation, prepared.encoding, encoded_values);

  for (std::size_t k = 0; k < specs.size(); ++k) {
    const auto mapping = prepared.native_cat_mappings.find(specs[k].feature_index);
    if (mapping == prepared.native_cat_mappings.end()) continue;
    std::map<std::string_view, std::uint32_t> ids;
    for (const auto& [category, id] : mapping->second) ids.emplace(category, id);
    write_native_ids(validation.binned, specs[k].feature_index, ids, validation_values[k]);
  }
}

}  // namespace kestrune::python
