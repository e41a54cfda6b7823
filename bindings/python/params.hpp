// Option parsers of the training calls: keyword strings, optional numbers and the morph dict
// become the typed records of core::TrainParams. Each vocabulary is exact (case-sensitive, no
// trimming), and each parser reports its first problem:
//   - as PythonError ValueError (leaf model and solver, DRO, neutralization, factor exposures,
//     boosting mode, the lr_schedule rules of the morph dict);
//   - as engine::EngineError InvalidConfig (training policy, tree growth), which the boundary
//     also raises as ValueError with the bare message;
//   - as the conversion's own Python exception for a morph dict value of the wrong type
//     (PythonErrorSet).
// Numeric ranges are not checked here: the trainer validates the assembled parameters.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/neutralization.hpp"
#include "python.hpp"

namespace kestrune::python {

enum class TrainingPolicy { Manual, Auto };

TrainingPolicy parse_training_policy(std::string_view text);
core::TreeGrowth parse_tree_growth(std::string_view text);
core::LeafModel parse_leaf_model(std::string_view text);
core::LeafSolver parse_leaf_solver(std::string_view text);

// The radius and the metric are checked whatever the solver; the configuration exists only for
// the 'dro' solver.
std::optional<core::DroConfig> parse_dro_config(core::LeafSolver solver, float dro_radius, std::string_view dro_metric);

// Absent for "none" (whose numbers are checked all the same).
std::optional<core::NeutralizationConfig> parse_neutralization_config(std::string_view neutralization,
                                                                      float factor_neutralization_lambda,
                                                                      float factor_penalty);

void validate_neutralization_leaf_model(const std::optional<core::NeutralizationConfig>& config,
                                        core::LeafModel leaf_model);

// All three arguments or none.
std::optional<core::FactorExposureMatrix> parse_factor_exposure_matrix(std::optional<std::vector<float>> values,
                                                                       std::optional<std::size_t> row_count,
                                                                       std::optional<std::size_t> factor_count);

core::BoostingMode parse_boosting_mode(std::string_view boosting_mode, std::optional<float> goss_top_rate,
                                       std::optional<float> goss_other_rate, std::optional<float> dart_drop_rate,
                                       std::optional<std::size_t> dart_max_drop,
                                       std::optional<std::string_view> dart_normalize_type,
                                       std::optional<std::string_view> dart_sample_type);

// Reads only the documented keys of `dict` (borrowed); any other key is ignored.
core::MorphConfig parse_morph_config_from_pydict(PyObject* dict);

}  // namespace kestrune::python
