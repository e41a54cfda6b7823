// Growing a model's list of split records round by round.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// Moves a round's stumps onto the end of the model's. When the list must grow it grows for the
// rounds still to come (`rounds_left`, this one included), each assumed as large as this one,
// rather than doubling: a doubled list held up to twice the finished model, three times while it
// moved, and on large trees that was the largest buffer of the fit. Room never written is rarely
// resident: a large list is mapped, and its pages are touched only as it fills.
void append_round_stumps(std::vector<TrainedStump>& stumps, std::vector<TrainedStump>&& round,
                         std::size_t rounds_left);

}  // namespace kestrune::engine
