// The joint trainer's keyed draws: which features a round's tree may search and which rows a
// round trains on when rows are subsampled. Both run a xorshift over a state keyed by (seed,
// round), so a round's draw never depends on earlier rounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrune::engine::joint {

// One keep flag per feature for the whole tree: every feature when col_subsample >= 1 (or when
// the draw keeps none), otherwise the features whose draw falls below col_subsample.
std::vector<bool> joint_feature_sample(std::size_t feature_count, float col_subsample, std::uint64_t seed,
                                       std::uint64_t round);

// The rows of a round under row_subsample < 1, ascending; every row when the draw keeps none.
std::vector<std::uint32_t> joint_row_subsample(std::size_t n_rows, float row_subsample, std::uint64_t seed,
                                               std::uint64_t round);

}  // namespace kestrune::engine::joint
