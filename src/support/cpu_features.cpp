#include "support/cpu_features.hpp"

namespace kestrune::support {

bool cpu_has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
  return has;
#else
  return false;
#endif
}

bool cpu_has_avx2_fma() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = cpu_has_avx2() && __builtin_cpu_supports("fma");
  return has;
#else
  return false;
#endif
}

}  // namespace kestrune::support
