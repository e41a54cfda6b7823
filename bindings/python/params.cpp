#include "params.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "conversions.hpp"
#include "core/error.hpp"
#include "engine/error.hpp"
#include "errors.hpp"
#include "support/debug_text.hpp"

namespace kestrune::python {
namespace {

// NaN and infinities fail; -0.0 passes.
bool finite_non_negative(float value) { return std::isfinite(value) && value >= 0.0f; }

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// A new reference to the value stored under `key`, or an empty Ref when the key is absent. The
// dict's own storage is read, so a subclass's __getitem__ is not consulted. The reference keeps
// the value alive while converting it runs Python code (a __float__ may change the dict).
Ref dict_item(PyObject* dict, const char* key) {
  Ref name(check(PyUnicode_FromString(key)));
  PyObject* value = PyDict_GetItemWithError(dict, name.get());
  if (value == nullptr && PyErr_Occurred()) throw PythonErrorSet{};
  return Ref::borrowed(value);
}

template <typename T, typename Convert>
T dict_value_or(PyObject* dict, const char* key, Convert convert, T fallback) {
  const Ref value = dict_item(dict, key);
  return value ? convert(value.get()) : fallback;
}

}  // namespace

TrainingPolicy parse_training_policy(std::string_view text) {
  if (text == "manual") return TrainingPolicy::Manual;
  if (text == "auto") return TrainingPolicy::Auto;
  throw engine::EngineError::invalid_config("training_policy must be 'auto' or 'manual', received " + quoted(text));
}

core::TreeGrowth parse_tree_growth(std::string_view text) {
  if (text == "level") return core::TreeGrowth::Level;
  if (text == "leaf") return core::TreeGrowth::Leaf;
  throw engine::EngineError::invalid_config("tree_growth must be 'level' or 'leaf', received " + quoted(text));
}

core::LeafModel parse_leaf_model(std::string_view text) {
  if (text == "constant") return core::LeafModel::Constant;
  if (text == "linear") return core::LeafModel::Linear;
  throw PythonError::value_error("leaf_model must be 'constant' or 'linear', got " + quoted(text));
}

core::LeafSolver parse_leaf_solver(std::string_view text) {
  if (text == "standard") return core::LeafSolver::Standard;
  if (text == "dro") return core::LeafSolver::Dro;
  throw PythonError::value_error("leaf_solver must be 'standard' or 'dro', got " + quoted(text));
}

std::optional<core::DroConfig> parse_dro_config(core::LeafSolver solver, float dro_radius,
                                                std::string_view dro_metric) {
  if (!finite_non_negative(dro_radius)) throw PythonError::value_error("dro_radius must be finite and >= 0");
  if (dro_metric != "wasserstein") {
    throw PythonError::value_error("dro_metric must be 'wasserstein', got " + quoted(dro_metric));
  }
  if (solver == core::LeafSolver::Standard) return std::nullopt;
  return core::DroConfig{dro_radius, core::DroMetric::Wasserstein};
}

std::optional<core::NeutralizationConfig> parse_neutralization_config(std::string_view neutralization,
                                                                      float factor_neutralization_lambda,
                                                                      float factor_penalty) {
  core::NeutralizationKind kind;
  if (neutralization == "none") {
    kind = core::NeutralizationKind::None;
  } else if (neutralization == "pre_target") {
    kind = core::NeutralizationKind::PreTarget;
  } else if (neutralization == "per_round_gradient") {
    kind = core::NeutralizationKind::PerRoundGradient;
  } else if (neutralization == "split_penalty") {
    kind = core::NeutralizationKind::SplitPenalty;
  } else {
    throw PythonError::value_error(
        "neutralization must be 'none', 'pre_target', 'per_round_gradient', or 'split_penalty', got " +
        quoted(neutralization));
  }
  if (!finite_non_negative(factor_neutralization_lambda)) {
    throw PythonError::value_error("factor_neutralization_lambda must be finite and >= 0");
  }
  if (!finite_non_negative(factor_penalty)) throw PythonError::value_error("factor_penalty must be finite and >= 0");
  if (factor_penalty != 0.0f && kind != core::NeutralizationKind::SplitPenalty) {
    throw PythonError::value_error("factor_penalty is only valid with neutralization='split_penalty'");
  }
  if (kind == core::NeutralizationKind::None) return std::nullopt;
  return core::NeutralizationConfig{kind, factor_neutralization_lambda, factor_penalty};
}

void validate_neutralization_leaf_model(const std::optional<core::NeutralizationConfig>& config,
                                        core::LeafModel leaf_model) {
  if (config && config->kind == core::NeutralizationKind::SplitPenalty && leaf_model == core::LeafModel::Linear) {
    throw PythonError::value_error("neutralization='split_penalty' requires leaf_model='constant'");
  }
}

std::optional<core::FactorExposureMatrix> parse_factor_exposure_matrix(std::optional<std::vector<float>> values,
                                                                       std::optional<std::size_t> row_count,
                                                                       std::optional<std::size_t> factor_count) {
  const bool any_count = row_count.has_value() || factor_count.has_value();
  const bool all_counts = row_count.has_value() && factor_count.has_value();
  if (!values) {
    if (any_count) {
      throw PythonError::value_error(
          "factor_exposure_values, factor_exposure_row_count, and factor_exposure_factor_count must be provided "
          "together");
    }
    return std::nullopt;
  }
  if (!all_counts) {
    throw PythonError::value_error(
        "factor_exposure_values, factor_exposure_row_count, and factor_exposure_factor_count must be provided "
        "together");
  }
  try {
    return core::FactorExposureMatrix::make(*row_count, *factor_count, std::move(*values));
  } catch (const core::CoreError& error) {
    throw core_error_as_value_error(error);
  }
}

core::BoostingMode parse_boosting_mode(std::string_view boosting_mode, std::optional<float> goss_top_rate,
                                       std::optional<float> goss_other_rate, std::optional<float> dart_drop_rate,
                                       std::optional<std::size_t> dart_max_drop,
                                       std::optional<std::string_view> dart_normalize_type,
                                       std::optional<std::string_view> dart_sample_type) {
  if (boosting_mode == "standard") return core::StandardBoosting{};
  if (boosting_mode == "goss") {
    if (!goss_top_rate) throw PythonError::value_error("boosting_mode='goss' requires goss_top_rate");
    if (!goss_other_rate) throw PythonError::value_error("boosting_mode='goss' requires goss_other_rate");
    return core::GossBoosting{*goss_top_rate, *goss_other_rate};
  }
  if (boosting_mode == "dart") {
    if (!dart_drop_rate) throw PythonError::value_error("boosting_mode='dart' requires dart_drop_rate");
    if (!dart_max_drop) throw PythonError::value_error("boosting_mode='dart' requires dart_max_drop");
    core::DartBoosting dart{*dart_drop_rate, *dart_max_drop, core::DartNormalizeType::Tree,
                            core::DartSampleType::Uniform};
    const std::string_view normalize = dart_normalize_type.value_or("tree");
    if (normalize == "forest") {
      dart.normalize_type = core::DartNormalizeType::Forest;
    } else if (normalize != "tree") {
      throw PythonError::value_error("dart_normalize_type must be 'tree' or 'forest', got " +
                                     support::debug_quote(normalize));
    }
    const std::string_view sample = dart_sample_type.value_or("uniform");
    if (sample == "weighted") {
      dart.sample_type = core::DartSampleType::Weighted;
    } else if (sample != "uniform") {
      throw PythonError::value_error("dart_sample_type must be 'uniform' or 'weighted', got " +
                                     support::debug_quote(sample));
    }
    return dart;
  }
  throw PythonError::value_error("boosting_mode must be 'standard', 'goss', or 'dart', got " +
                                 support::debug_quote(boosting_mode));
}

core::MorphConfig parse_morph_config_from_pydict(PyObject* dict) {
  core::MorphConfig config;
  config.morph_rate = dict_value_or(dict, "morph_rate", to_f32, 0.1f);
  config.evolution_pressure = dict_value_or(dict, "evolution_pressure", to_f32, 0.2f);
  config.morph_warmup_iters = dict_value_or(dict, "morph_warmup_iters", to_u32, std::uint32_t{5});
  config.info_score_weight = dict_value_or(dict, "info_score_weight", to_f32, 0.3f);
  config.depth_penalty_base = dict_value_or(dict, "depth_penalty_base", to_f32, 0.9f);
  config.balance_penalty = dict_value_or(dict, "balance_penalty", to_bool, true);

  // Only the presence of the warm-up fraction matters until the schedule is known.
  const Ref warmup_frac = dict_item(dict, "lr_warmup_frac");
  const bool has_warmup_frac = static_cast<bool>(warmup_frac);
  const Ref schedule = dict_item(dict, "lr_schedule");
  if (!schedule) {
    if (has_warmup_frac) throw PythonError::value_error("lr_warmup_frac requires lr_schedule=\"warmup_cosine\"");
    config.lr_schedule = core::LrSchedule{core::LrScheduleKind::Constant, 0.0f};
    return config;
  }
  const std::string_view text = to_text(schedule.get());
  const float fraction = warmup_frac ? to_f32(warmup_frac.get()) : 0.1f;
  if (text == "warmup_cosine") {
    config.lr_schedule = core::LrSchedule{core::LrScheduleKind::WarmupCosine, fraction};
  } else if (text == "constant") {
    if (has_warmup_frac) {
      throw PythonError::value_error("lr_warmup_frac has no effect when lr_schedule=\"constant\"");
    }
    config.lr_schedule = core::LrSchedule{core::LrScheduleKind::Constant, 0.0f};
  } else {
    throw PythonError::value_error("unknown lr_schedule: " + support::debug_quote(text) +
                                   " (expected \"constant\" or \"warmup_cosine\")");
  }
  return config;
}

}  // namespace kestrune::python
