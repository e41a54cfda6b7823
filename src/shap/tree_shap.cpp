#include "shap/tree_shap.hpp"

#include <algorithm>
#include <cstdint>

#include "parallel/parallel.hpp"
#include "shap/additivity.hpp"
#include "shap/linear_leaf.hpp"
#include "shap/model_structure.hpp"
#include "shap/tree_shap_recursion.hpp"

namespace kestrune::shap {
namespace {

constexpr std::size_t kRowsPerChunk = 8;

}  // namespace

ShapExplanationBatch explain_rows_tree_shap(const engine::TrainedModel& model,
                                            std::span<const std::vector<float>> rows, const BinningContext* binning) {
  check_split_features(model);
  const StumpIndex index = index_stumps(model);
  const ModelTreeForms forms = build_model_tree_forms(index, model);
  const bool linear = has_linear_leaves(model);
  ShapExplanationBatch batch;
  batch.expected_value = forms.expected_value;
  batch.values.resize(rows.size());
  parallel::parallel_for_chunks(rows.size(), kRowsPerChunk, [&](std::size_t first, std::size_t last) {
    PathScratch scratch(forms.max_depth);
    std::vector<double> phi(model.feature_count);
    for (std::size_t r = first; r < last; ++r) {
      const std::span<const float> row = rows[r];
      tree_shap_row(forms, row, binning, scratch, phi);
      if (linear) distribute_linear_terms_for_row(index, row, model.feature_baseline, binning, phi);
      std::vector<float> values(phi.size());
      for (std::size_t j = 0; j < phi.size(); ++j) values[j] = static_cast<float>(phi[j]);
      verify_additivity(model, index, row, values, r, binning, batch.expected_value, linear);
      batch.values[r] = std::move(values);
    }
  });
  return batch;
}

}  // namespace kestrune::shap
