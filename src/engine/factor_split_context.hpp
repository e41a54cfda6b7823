// What a split search needs to penalise splits that line up with the factor exposures: the fit's
// bins and exposures, the rows of the node searched and the penalty strength. The tree growers
// build one per node search (only when the split penalty is on); every search of that node reads
// it and none writes it, so worker threads may share it.
#pragma once

#include <cstdint>
#include <span>

#include "core/binned.hpp"
#include "core/neutralization.hpp"

namespace kestrune::engine {

struct FactorSplitContext {
  const core::BinnedMatrix& binned;
  const core::FactorExposureMatrix& exposures;
  std::span<const std::uint32_t> row_indices;  // the node's rows
  float penalty = 0.0f;                        // lambda, the fit's factor_penalty
};

}  // namespace kestrune::engine
