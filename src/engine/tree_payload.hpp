// The Trees section payload and the 32-byte split record it shares with the multiclass trees
// payload. A record keeps only what routing and the constant part of each side need; linear
// terms, bitsets, weights and multi-output values travel in their own sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "engine/trained_stump.hpp"
#include "support/bytes.hpp"

namespace kestrune::engine {

inline constexpr std::size_t kStumpRecordLength = 32;
inline constexpr std::size_t kTreesHeaderLength = 16;

// node_id, feature_index, split_bin, flags (bit 0 default_left, bit 1 categorical), gain, left
// and right constant (or intercept), left and right row counts.
void write_stump_record(support::ByteWriter& writer, const TrainedStump& stump);

// The record at `offset`: constant sides, row counts standing in for the hessian sums, zero
// gradient sums, no bitset, weight 1.
TrainedStump read_stump_record(std::span<const std::uint8_t> payload, std::size_t offset);

// u32 version 1, u32 feature count, u32 stump count, f32 base prediction, then the records.
std::vector<std::uint8_t> encode_trained_model_payload(const TrainedModel& model);

// A model holding the payload's stumps, feature count and base prediction; objective
// "squared_error" and no optional parts (the artifact reader attaches those).
TrainedModel decode_trained_model_payload(std::span<const std::uint8_t> payload);

}  // namespace kestrune::engine
