// The LinearLeafCoefficients section: the linear models of stump sides whose Trees record can
// only hold the intercept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"
#include "core/leaf.hpp"

namespace kestrune::core {

// The most terms one stored linear leaf holds.
inline constexpr std::size_t kMaxLinearLeafTerms = 8;

struct LinearLeafEntry {
  std::optional<LinearLeaf> left;
  std::optional<LinearLeaf> right;
  std::uint32_t stump_index = 0;  // position of the stump in the model's stump list

  friend bool operator==(const LinearLeafEntry&, const LinearLeafEntry&) = default;
};

using LinearLeafCoefficientsPayload = std::vector<LinearLeafEntry>;

// u32 version 1, u32 entry count, then per entry: u32 stump index, u8 presence flags (bit 0
// left, bit 1 right), and each present leaf as u8 k, f32 intercept, k f32 coefficients, k u32
// feature indices. A leaf whose coefficient and feature-index lists differ in length, or that
// has more than 8 terms, cannot be stored faithfully and is refused (CoreError::Validation).
std::vector<std::uint8_t> encode_linear_leaf_coefficients_payload(std::span<const LinearLeafEntry> entries);
// CoreError::Validation on a short or unsupported payload; trailing bytes are ignored.
LinearLeafCoefficientsPayload decode_linear_leaf_coefficients_payload(std::span<const std::uint8_t> payload);

std::optional<LinearLeafCoefficientsPayload> decode_optional_linear_leaf_coefficients_section(
    std::span<const ModelArtifactSection> sections);

}  // namespace kestrune::core
