// The objective text a joint fit stores in its artifact, "joint_multi_output[K]": it names the
// output count, which a model without trees carries nowhere else.
#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrune::engine::joint {

inline constexpr std::string_view kJointObjectivePrefix = "joint_multi_output[";

inline std::string joint_objective_text(std::size_t n_outputs) {
  return std::string(kJointObjectivePrefix) + std::to_string(n_outputs) + "]";
}

// K of a text "joint_multi_output[K]" with K >= 1; absent for any other text.
inline std::optional<std::size_t> joint_output_count_of(std::string_view text) {
  if (!text.starts_with(kJointObjectivePrefix) || !text.ends_with("]")) return std::nullopt;
  const std::string_view digits =
      text.substr(kJointObjectivePrefix.size(), text.size() - kJointObjectivePrefix.size() - 1);
  std::size_t count = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (error != std::errc{} || end != digits.data() + digits.size() || count == 0) return std::nullopt;
  return count;
}

}  // namespace kestrune::engine::joint
