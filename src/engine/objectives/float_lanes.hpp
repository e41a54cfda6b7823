// Vectors of float lanes and their lane masks (GCC vector extensions), four lanes for the
// baseline instruction set and eight for code built for AVX2. Code that takes or returns the
// eight-lane form must be inlined into a function built for AVX2, so that no call passes one by
// the baseline ABI.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::engine::objectives {

template <std::size_t kWidth>
struct FloatLanes;
template <>
struct FloatLanes<4> {
  using Lanes = float __attribute__((vector_size(16)));
  using LaneMask = std::int32_t __attribute__((vector_size(16)));
};
template <>
struct FloatLanes<8> {
  using Lanes = float __attribute__((vector_size(32)));
  using LaneMask = std::int32_t __attribute__((vector_size(32)));
};

}  // namespace kestrune::engine::objectives
