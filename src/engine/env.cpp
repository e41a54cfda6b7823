#include "engine/env.hpp"

#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/error.hpp"
#include "support/float_parse.hpp"
#include "support/unicode_trim.hpp"
#include "support/utf8.hpp"

namespace kestrune::engine {
namespace {

// The variable's value when it is set and valid UTF-8, trimmed of Unicode white space.
std::optional<std::string_view> trimmed_env_value(const char* name) {
  const char* raw = std::getenv(name);
  if (raw == nullptr) return std::nullopt;
  const std::string_view value(raw);
  if (support::validate_utf8(value).has_value()) return std::nullopt;
  return support::trim_unicode_whitespace(value);
}

}  // namespace

bool env_toggle_enabled(const char* name) {
  const auto value = trimmed_env_value(name);
  if (!value) return false;
  const std::string lowered = support::ascii_lowercase(*value);
  return lowered == "1" || lowered == "on" || lowered == "yes" || lowered == "true";
}

float parse_nonnegative_env_f32(const char* name) {
  const auto value = trimmed_env_value(name);
  if (!value || value->empty()) return 0.0f;
  const std::optional<float> parsed = support::parse_f32(*value);
  if (!parsed) throw EngineError::invalid_config(std::string(name) + " must be a finite, non-negative f32 value");
  if (!std::isfinite(*parsed) || *parsed < 0.0f) {
    throw EngineError::invalid_config(std::string(name) + " must be finite and >= 0");
  }
  return *parsed;
}

SplitSelectionOptions split_selection_options_from_env() {
  SplitSelectionOptions options;
  options.split_l2 = parse_nonnegative_env_f32(kSplitL2Variable);
  options.split_l1 = parse_nonnegative_env_f32(kSplitL1Variable);
  options.min_child_hess = parse_nonnegative_env_f32(kMinChildHessVariable);
  options.min_leaf_magnitude = parse_nonnegative_env_f32(kSplitMinLeafMagnitudeVariable);
  return options;
}

bool experiment_leaf_refinement_enabled() { return env_toggle_enabled(kEnableLeafRefinementVariable); }

}  // namespace kestrune::engine
