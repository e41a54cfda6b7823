#include "backend_cpu/cpu_backend.hpp"

#include "engine/error.hpp"

namespace kestrune::backend_cpu {

std::optional<engine::LinearLeafPair> CpuBackend::compute_linear_leaf_pair_from_partitions(
    const core::BinnedMatrix&, std::span<const core::GradientPair>, const engine::LinearLeafPairRequest&) const {
  throw engine::EngineError::not_implemented("linear leaves are not implemented yet");
}

}  // namespace kestrune::backend_cpu
