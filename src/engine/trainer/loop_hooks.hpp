// The two places where the single-output loop reaches outside itself each round: growing the
// round's tree, and asking the learning-rate schedule whether the round is a warm-up round and
// how far to scale the training-loss threshold. The loop takes them as one template argument, so
// tests can script trees (an empty one, one that raises the loss) and warm-up rounds while
// production fits use the growers with a flat schedule.
#pragma once

#include <cstdint>
#include <utility>

#include "core/config.hpp"
#include "engine/backend_ops.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "engine/tree_build/leaf_wise.hpp"
#include "engine/tree_build/level_wise.hpp"

namespace kestrune::engine::trainer {

// The growers chosen by `tree_growth`, without warm-up and with an unscaled threshold. (A morph
// fit asks its own schedule for both instead.)
struct GrowerHooks {
  // Its trees reach the predictions only through TreeGrowthRequest::before_updates.
  static constexpr bool honours_before_updates = true;
  template <BackendOps Backend>
  tree_build::GrownTree build_tree(const Backend& backend, tree_build::TreeGrowthRequest request) const {
    if (request.params.tree_growth == core::TreeGrowth::Leaf) {
      return tree_build::build_tree_leaf_wise(backend, std::move(request));
    }
    return tree_build::build_tree_level_wise(backend, std::move(request));
  }
  bool in_warmup(std::uint64_t /*iteration*/) const { return false; }
  float loss_threshold_scale(std::uint64_t /*iteration*/) const { return 1.0f; }
};

}  // namespace kestrune::engine::trainer
