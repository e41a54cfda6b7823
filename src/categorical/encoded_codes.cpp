#include "categorical/encoded_codes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <unordered_map>

#include "engine/error.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::categorical {
namespace {

using engine::EngineError;

// A signed integer whose order is the IEEE 754 total order of the float: negative values have
// every bit but the sign flipped, so that they count down towards -0.0.
std::int32_t total_order_key(float value) {
  const std::int32_t bits = std::bit_cast<std::int32_t>(value);
  return bits ^ static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 31) >> 1);
}

bool total_less(float a, float b) { return total_order_key(a) < total_order_key(b); }

void check_values(std::span<const float> values) {
  if (values.empty()) throw EngineError::contract_violation("encoded values cannot be empty");
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      throw EngineError::contract_violation("encoded value at index " + std::to_string(i) + " must be finite");
    }
  }
}

}  // namespace

EncodedCodes encode_bins_from_encoded_values(std::span<const float> values, std::size_t max_distinct) {
  check_values(values);
  // Distinct values by hash of their total-order key, then ranked; the ranks, not the hash
  // order, decide every code.
  std::unordered_map<std::int32_t, std::uint32_t> slots;
  for (const float value : values) slots.try_emplace(total_order_key(value), 0);
  if (slots.size() > max_distinct) {
    throw EngineError::contract_violation("encoded cardinality " + std::to_string(slots.size()) +
                                          " exceeds supported max " + std::to_string(max_distinct));
  }
  EncodedCodes result;
  for (const float value : values) {
    if (slots.size() == result.distinct.size()) break;
    std::uint32_t& slot = slots.find(total_order_key(value))->second;
    if (slot == 0) {
      result.distinct.push_back(value);
      slot = 1;
    }
  }
  support::stable_merge_sort(result.distinct, total_less);
  for (std::size_t code = 0; code < result.distinct.size(); ++code) {
    slots.find(total_order_key(result.distinct[code]))->second = static_cast<std::uint32_t>(code);
  }
  result.codes.reserve(values.size());
  for (const float value : values) {
    const auto found = slots.find(total_order_key(value));
    if (found == slots.end()) throw EngineError::contract_violation("encoded value lookup failed during bin mapping");
    result.codes.push_back(static_cast<std::uint16_t>(found->second));
  }
  result.max_code = static_cast<std::uint16_t>(result.distinct.size() - 1);
  return result;
}

std::vector<std::uint16_t> codes_in_code_space(std::span<const float> distinct, std::span<const float> values) {
  check_values(values);
  std::vector<std::uint16_t> codes;
  codes.reserve(values.size());
  for (const float value : values) {
    // The first distinct value above `value`; the one before it is the largest not above it.
    const auto above = std::upper_bound(distinct.begin(), distinct.end(), value, total_less);
    const std::size_t position = above == distinct.begin() ? 0 : static_cast<std::size_t>(above - distinct.begin()) - 1;
    codes.push_back(static_cast<std::uint16_t>(position));
  }
  return codes;
}

}  // namespace kestrune::categorical
