// Several tree nodes' work at once. Each node's partition, child histograms and searches depend
// only on its own rows and its parent's histograms, so the growers run them as one pool task per
// node and then commit the results one node at a time in their sequential order: the tree, the
// queue and the prediction updates see exactly what a one-node-at-a-time grower would give them,
// whatever the pool size. Inside a task the backend's own parallel calls nest, so a large node
// still spreads over the workers the other tasks leave idle.
#pragma once

#include <cstddef>
#include <exception>
#include <vector>

#include "parallel/parallel.hpp"

namespace kestrune::engine::tree_build {

// Runs work(i) for every i in [0, count), one pool task each, and returns each task's exception
// (null when it finished). A failure is kept rather than thrown, because the grower reports it
// only if its sequential order reaches that node: work done ahead of time for a node that is
// never split must not fail the tree.
template <typename Work>
std::vector<std::exception_ptr> run_node_tasks(std::size_t count, Work&& work) {
  std::vector<std::exception_ptr> failures(count);
  parallel::parallel_for(0, count, [&](std::size_t i) {
    try {
      work(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  });
  return failures;
}

}  // namespace kestrune::engine::tree_build
