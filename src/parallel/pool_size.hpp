// How many threads the process-wide worker pool has. The size is decided once per process, on
// first use, from the environment:
//   1. RAYON_NUM_THREADS, if it holds a positive integer; 0 there means "the default" and goes
//      straight to the logical CPU count;
//   2. else RAYON_RS_NUM_CPUS, if it holds a positive integer;
//   3. else the number of logical CPUs this process may run on (at least 1).
// A value that does not parse (see parse_thread_count) counts as unset. The names and rules are
// those of the pool this engine has always used, so existing deployments keep their settings.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace kestrune::parallel {

// Parses an unsigned decimal count the strict way: ASCII digits with an optional leading '+',
// nothing else (no whitespace, no sign '-', no empty text); a value that does not fit a size_t
// does not parse. "0" parses as 0.
std::optional<std::size_t> parse_thread_count(std::string_view text);

// The pool-size rule above, as a pure function of the two variables (nullptr when unset) and the
// logical CPU count (0 is taken as 1).
std::size_t resolve_pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                              std::size_t logical_cpus);

// The CPUs this process may run on (its affinity mask), else the hardware's; at least 1.
std::size_t logical_cpu_count();

// The pool size, read from the environment on the first call and the same for the whole process.
std::size_t current_num_threads();

}  // namespace kestrune::parallel
