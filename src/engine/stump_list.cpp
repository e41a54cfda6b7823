#include "engine/stump_list.hpp"

#include <algorithm>
#include <iterator>

#include "support/casts.hpp"

namespace kestrune::engine {

void append_round_stumps(std::vector<TrainedStump>& stumps, std::vector<TrainedStump>&& round,
                         std::size_t rounds_left) {
  if (stumps.capacity() - stumps.size() < round.size()) {
    const auto projected = support::checked_mul(round.size(), std::max<std::size_t>(rounds_left, 1));
    const std::size_t wanted = projected && *projected <= stumps.max_size() - stumps.size()
                                   ? stumps.size() + *projected
                                   : stumps.size() + round.size();
    stumps.reserve(wanted);
  }
  stumps.insert(stumps.end(), std::make_move_iterator(round.begin()), std::make_move_iterator(round.end()));
}

}  // namespace kestrune::engine
