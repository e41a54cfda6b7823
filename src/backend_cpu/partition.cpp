#include "backend_cpu/partition.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/error.hpp"
#include "engine/routing.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

// Where the split feature's codes are: the code of row r at codes[r * row_step + offset], for
// every row below row_limit.
template <typename Code>
struct FeatureCodes {
  std::span<const Code> codes;
  std::size_t row_step = 0;
  std::size_t offset = 0;
  std::size_t row_limit = 0;
};

template <typename Code>
FeatureCodes<Code> locate_feature_codes(const core::BinnedMatrix& binned, std::span<const Code> codes,
                                        bool column_major, std::size_t feature, std::size_t gradient_count) {
  support::invariant(feature < binned.feature_count, "split feature must lie inside the matrix");
  FeatureCodes<Code> located{codes, 0, 0, std::min(binned.row_count, gradient_count)};
  if (column_major) {
    const auto needed = support::checked_mul(feature + 1, binned.row_count);
    if (!needed || *needed > codes.size()) support::panic("column-major bin codes are shorter than the matrix");
    located.row_step = 1;
    located.offset = feature * binned.row_count;
  } else {
    const std::size_t covered = codes.size() <= feature ? 0 : (codes.size() - feature - 1) / binned.feature_count + 1;
    located.row_limit = std::min(located.row_limit, covered);
    located.row_step = binned.feature_count;
    located.offset = feature;
  }
  return located;
}

// The side of every 8-bit code, decided once per partition by the routing rule.
std::array<bool, 256> routing_table(const engine::SplitCandidate& split, std::uint16_t missing_bin) {
  std::array<bool, 256> goes_left{};
  for (std::size_t code = 0; code < goes_left.size(); ++code) {
    goes_left[code] = engine::routes_left(static_cast<std::uint16_t>(code), missing_bin, split.threshold_bin,
                                          split.default_left, split.is_categorical, split.category_bitset);
  }
  return goes_left;
}

struct RoutedRows {
  std::vector<std::uint32_t> left;
  std::vector<std::uint32_t> right;
};

// Appends each row of `rows` to its side, in order. `on_row(row, left)` sees every row as it is
// routed.
template <typename Code, typename OnRow>
void route_rows(const FeatureCodes<Code>& located, std::span<const std::uint32_t> rows,
                const engine::SplitCandidate& split, std::uint16_t missing_bin, RoutedRows& routed, OnRow&& on_row) {
  const auto route = [&](auto&& goes_left) {
    for (const std::uint32_t row : rows) {
      if (row >= located.row_limit) {
        support::panic("partition row " + std::to_string(row) + " is outside the " +
                       std::to_string(located.row_limit) + " rows the gradients and bin codes cover");
      }
      const bool left = goes_left(located.codes[row * located.row_step + located.offset]);
      (left ? routed.left : routed.right).push_back(row);
      on_row(row, left);
    }
  };
  if constexpr (sizeof(Code) == 1) {
    const std::array<bool, 256> table = routing_table(split, missing_bin);
    route([&](Code code) { return table[code]; });
  } else {
    route([&](Code code) {
      return engine::routes_left(code, missing_bin, split.threshold_bin, split.default_left, split.is_categorical,
                                 split.category_bitset);
    });
  }
}

void add_row(core::HistogramBin& stats, const core::GradientPair& pair) {
  stats.grad_sum += pair.grad;
  stats.hess_sum += pair.hess;
  stats.grad_sq_sum += pair.grad * pair.grad;
}

// One chunk of a parallel partition: its rows by side and the gradient pairs of those rows.
struct RoutedChunk {
  RoutedRows rows;
  std::vector<core::GradientPair> pairs_left;
  std::vector<core::GradientPair> pairs_right;
};

}  // namespace

std::size_t partition_chunk_size(std::size_t rows, std::size_t threads) {
  return std::max(rows / std::max<std::size_t>(threads, 1), kMinPartitionChunk);
}

core::PartitionResult partition_rows(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                     std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                     std::size_t chunk_size) {
  const bool column_major = !binned.bins_column_major.empty();
  const core::BinStorage& source = column_major ? binned.bins_column_major : binned.bins;
  core::PartitionResult result;
  source.visit([&](auto codes) {
    const auto located = locate_feature_codes(binned, codes, column_major, split.feature_index, gradients.size());
    if (chunk_size == 0) {
      RoutedRows routed;
      routed.left.reserve(rows.size() / 2);
      routed.right.reserve(rows.size() / 2);
      route_rows(located, rows, split, binned.missing_bin, routed, [&](std::uint32_t row, bool left) {
        add_row(left ? result.left_stats : result.right_stats, gradients[row]);
      });
      result.left_rows = std::move(routed.left);
      result.right_rows = std::move(routed.right);
      result.left_stats.count = support::wrapping_cast<std::uint32_t>(result.left_rows.size());
      result.right_stats.count = support::wrapping_cast<std::uint32_t>(result.right_rows.size());
      return;
    }
    const std::size_t chunk_count = rows.size() / chunk_size + (rows.size() % chunk_size != 0 ? 1 : 0);
    // Each chunk also gathers the gradient pairs of its rows, side by side in row order: the
    // scattered reads happen on the pool, and the sums below read the pairs in sequence.
    std::vector<RoutedChunk> chunks = parallel::parallel_map<RoutedChunk>(chunk_count, [&](std::size_t chunk) {
      const std::size_t first = chunk * chunk_size;
      const std::size_t length = std::min(chunk_size, rows.size() - first);
      RoutedChunk routed;
      // Room for every row on either side: no list grows by copying while the chunk is routed.
      routed.rows.left.reserve(length);
      routed.rows.right.reserve(length);
      routed.pairs_left.reserve(length);
      routed.pairs_right.reserve(length);
      route_rows(located, rows.subspan(first, length), split, binned.missing_bin, routed.rows,
                 [&](std::uint32_t row, bool left) {
                   (left ? routed.pairs_left : routed.pairs_right).push_back(gradients[row]);
                 });
      return routed;
    }, parallel::kDefaultMinParallel, rows.size() / kPartitionRowsPerThread);
    // The sums are not combined from per-chunk partial sums: each side is summed in one pass in
    // node row order, exactly as the serial loop does, so the children's statistics (and every
    // leaf value and gain computed from them) do not depend on the number of threads. The two
    // sides are assembled at the same time.
    const auto assemble = [&](bool left) {
      std::size_t total = 0;
      for (const RoutedChunk& chunk : chunks) total += (left ? chunk.rows.left : chunk.rows.right).size();
      std::pair<std::vector<std::uint32_t>, core::HistogramBin> side;
      side.first.reserve(total);
      for (const RoutedChunk& chunk : chunks) {
        const std::vector<std::uint32_t>& chunk_rows = left ? chunk.rows.left : chunk.rows.right;
        side.first.insert(side.first.end(), chunk_rows.begin(), chunk_rows.end());
        for (const core::GradientPair& pair : left ? chunk.pairs_left : chunk.pairs_right) add_row(side.second, pair);
      }
      side.second.count = support::wrapping_cast<std::uint32_t>(side.first.size());
      return side;
    };
    auto [left, right] = parallel::join([&] { return assemble(true); }, [&] { return assemble(false); });
    result.left_rows = std::move(left.first);
    result.left_stats = left.second;
    result.right_rows = std::move(right.first);
    result.right_stats = right.second;
  });
  return result;
}

core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                             std::span<const core::GradientPair> gradients, const core::NodeSlice& node,
                                             const engine::SplitCandidate& split) {
  engine::with_core_errors([&] { node.validate_bounds(binned.row_count); });
  if (gradients.size() != binned.row_count) {
    throw engine::EngineError::contract_violation("gradients length " + std::to_string(gradients.size()) +
                                                  " does not match row_count " + std::to_string(binned.row_count));
  }
  if (split.feature_index >= binned.feature_count) {
    throw engine::EngineError::contract_violation("split feature_index " + std::to_string(split.feature_index) +
                                                  " exceeds feature_count " + std::to_string(binned.feature_count));
  }
  const std::size_t rows = node.row_indices.size();
  const std::size_t chunk_size =
      rows >= kParallelPartitionRows ? partition_chunk_size(rows, parallel::current_num_threads()) : 0;
  return partition_rows(binned, gradients, node.row_indices, split, chunk_size);
}

}  // namespace kestrune::backend_cpu
