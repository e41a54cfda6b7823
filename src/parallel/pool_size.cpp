#include "parallel/pool_size.hpp"

#include <cstdlib>
#include <limits>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace kestrune::parallel {

std::optional<std::size_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;  // "" and a lone "+" are not numbers
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  std::size_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t resolve_pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                              std::size_t logical_cpus) {
  const std::size_t fallback = logical_cpus == 0 ? 1 : logical_cpus;
  // Each source counts only when it holds a positive integer; 0 or an unparsable text falls
  // through to the next one.
  for (const char* source : {rayon_num_threads, rayon_rs_num_cpus}) {
    if (source == nullptr) continue;
    const auto count = parse_thread_count(source);
    if (count && *count > 0) return *count;
  }
  return fallback;
}

std::size_t logical_cpu_count() {
#if defined(__linux__)
  // A container or taskset may restrict the process to fewer CPUs than the machine has; a pool
  // wider than that only oversubscribes them.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

std::size_t current_num_threads() {
  static const std::size_t size = resolve_pool_size(
      std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), logical_cpu_count());
  return size;
}

}  // namespace kestrune::parallel
