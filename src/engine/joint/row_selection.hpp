// The rows of a joint round under GOSS: rows are ranked by their absolute gradients summed over
// all outputs, and the drawn small-gradient rows are re-weighted in every output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/histogram.hpp"

namespace kestrune::engine::joint {

// Absent when the boosting mode is not GOSS (the caller then subsamples or takes all rows).
// Otherwise the kept large-gradient rows and the drawn small-gradient rows, ascending; the drawn
// rows' gradients and hessians are multiplied by the GOSS amplification in each of the first
// n_outputs lists, unless it is within one float32 epsilon of 1. Lists shorter than n_rows panic.
std::optional<std::vector<std::uint32_t>> select_joint_row_indices_for_round(
    const core::BoostingMode& boosting_mode, std::size_t n_rows, std::uint64_t seed, std::uint64_t round,
    std::vector<std::vector<core::GradientPair>>& gradients, std::size_t n_outputs);

}  // namespace kestrune::engine::joint
