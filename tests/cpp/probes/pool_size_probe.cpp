// Checks the pool size a fresh process reads from its environment: exits 0 when
// current_num_threads() equals the expected count given as the only argument.
#include <cstdio>
#include <cstdlib>

#include "parallel/pool_size.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::size_t expected = std::strtoull(argv[1], nullptr, 10);
  const std::size_t actual = kestrune::parallel::current_num_threads();
  std::printf("current_num_threads() = %zu, expected %zu\n", actual, expected);
  return actual == expected ? 0 : 1;
}
