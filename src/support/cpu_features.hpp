// What the processor offers beyond the baseline instruction set, asked once per process, for the
// code paths built for it.
#pragma once

namespace kestrune::support {

// AVX2 with POPCNT (every processor with AVX2 has it; code built for AVX2 may use both).
bool cpu_has_avx2();

// That and FMA.
bool cpu_has_avx2_fma();

}  // namespace kestrune::support
