#include "backend_cpu/partition.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "engine/error.hpp"
#include "engine/routing.hpp"
#include "parallel/parallel.hpp"
#include "parallel/per_thread.hpp"
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

// Rows ahead whose codes and gradient pair are fetched while the current row is routed: a node's
// rows lie scattered over the matrix, and each one would otherwise wait for its cache misses.
constexpr std::size_t kPrefetchRows = 16;

[[noreturn]] void row_outside(std::uint32_t row, std::size_t row_limit) {
  support::panic("partition row " + std::to_string(row) + " is outside the " + std::to_string(row_limit) +
                 " rows the gradients and bin codes cover");
}

// Routes rows[0, n) without a branch on the side: each row is written at the front of `out` when
// it goes left and at the back when it goes right, so the left rows end in order at the front and
// the right rows in reverse order at the back. `on_row(row, left)` sees every row in order.
// Returns the number of left rows.
template <typename Code, typename GoesLeft, typename OnRow>
std::size_t route_block(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                        std::span<const std::uint32_t> rows, GoesLeft&& goes_left, std::uint32_t* out,
                        OnRow&& on_row) {
  const std::size_t n = rows.size();
  std::size_t front = 0;
  std::size_t back = n;  // one past the next right slot
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kPrefetchRows < n && rows[i + kPrefetchRows] < located.row_limit) {
      const std::size_t ahead = rows[i + kPrefetchRows];
      __builtin_prefetch(located.codes.data() + ahead * located.row_step + located.offset);
      __builtin_prefetch(gradients.data() + ahead);
    }
    const std::uint32_t row = rows[i];
    if (row >= located.row_limit) [[unlikely]] row_outside(row, located.row_limit);
    const bool left = goes_left(located.codes[row * located.row_step + located.offset]);
    // Both slots are written; only the one of the row's side is kept (front <= back - 1 always).
    out[front] = row;
    out[back - 1] = row;
    front += left;
    back -= !left;
    on_row(row, left);
  }
  return front;
}

// Calls route_block with the split's routing rule for the storage's code width.
template <typename Code, typename OnRow>
std::size_t route_with_rule(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                            std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                            std::uint16_t missing_bin, std::uint32_t* out, OnRow&& on_row) {
  if constexpr (sizeof(Code) == 1) {
    const std::array<bool, 256> table = routing_table(split, missing_bin);
    return route_block(located, gradients, rows, [&](Code code) { return table[code]; }, out, on_row);
  } else {
    return route_block(
        located, gradients, rows,
        [&](Code code) {
          return engine::routes_left(code, missing_bin, split.threshold_bin, split.default_left,
                                     split.is_categorical, split.category_bitset);
        },
        out, on_row);
  }
}

void add_row(core::HistogramBin& stats, const core::GradientPair& pair) {
  stats.grad_sum += pair.grad;
  stats.hess_sum += pair.hess;
  stats.grad_sq_sum += pair.grad * pair.grad;
}

// The serial partition's buffer, kept by each thread from call to call.
parallel::PerThread<std::vector<std::uint32_t>>& serial_buffers() {
  static parallel::PerThread<std::vector<std::uint32_t>> buffers;
  return buffers;
}

template <typename Code>
core::PartitionResult partition_serially(const FeatureCodes<Code>& located,
                                         std::span<const core::GradientPair> gradients,
                                         std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                         std::uint16_t missing_bin) {
  std::vector<std::uint32_t>& buffer = serial_buffers().local();
  if (buffer.size() < rows.size()) buffer.resize(rows.size());
  // Each side's sums take every row of the node in order, the other side's rows as +0.0: a sum
  // that starts at +0.0 is never -0.0, so adding +0.0 leaves its bits as they are, and the sums
  // equal those of the side's rows alone without a branch on the side.
  core::HistogramBin left_stats;
  core::HistogramBin right_stats;
  const std::size_t left_count = route_with_rule(
      located, gradients, rows, split, missing_bin, buffer.data(), [&](std::uint32_t row, bool left) {
        const core::GradientPair pair = gradients[row];
        const float square = pair.grad * pair.grad;
        // All ones for the side the row takes, all zeros (+0.0) for the other: masks, not a branch.
        const std::uint32_t left_mask = 0u - static_cast<std::uint32_t>(left);
        const std::uint32_t right_mask = ~left_mask;
        const auto masked = [](float value, std::uint32_t mask) {
          return std::bit_cast<float>(std::bit_cast<std::uint32_t>(value) & mask);
        };
        left_stats.grad_sum += masked(pair.grad, left_mask);
        left_stats.hess_sum += masked(pair.hess, left_mask);
        left_stats.grad_sq_sum += masked(square, left_mask);
        right_stats.grad_sum += masked(pair.grad, right_mask);
        right_stats.hess_sum += masked(pair.hess, right_mask);
        right_stats.grad_sq_sum += masked(square, right_mask);
      });
  core::PartitionResult result;
  result.left_rows = take_row_list(left_count);
  result.left_rows.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(left_count));
  result.right_rows = take_row_list(rows.size() - left_count);
  result.right_rows.assign(buffer.rbegin() + static_cast<std::ptrdiff_t>(buffer.size() - rows.size()),
                           buffer.rend() - static_cast<std::ptrdiff_t>(left_count));
  result.left_stats = left_stats;
  result.right_stats = right_stats;
  result.left_stats.count = support::wrapping_cast<std::uint32_t>(result.left_rows.size());
  result.right_stats.count = support::wrapping_cast<std::uint32_t>(result.right_rows.size());
  return result;
}

template <typename Code>
core::PartitionResult partition_in_blocks(const FeatureCodes<Code>& located,
                                          std::span<const core::GradientPair> gradients,
                                          std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                          std::uint16_t missing_bin, std::size_t block_size) {
  const std::size_t n = rows.size();
  const std::size_t block_count = n / block_size + (n % block_size != 0 ? 1 : 0);
  // Each block routes its rows into its own stretch of one buffer (left in order from the front,
  // right reversed from the back) and gathers their gradient pairs alongside, so that the scattered
  // reads happen on the pool and the sums below read the pairs in sequence.
  // Both live in one kept scratch buffer: the pairs first, then the rows (no padding is needed,
  // the pairs' alignment is the rows' alignment).
  static_assert(alignof(core::GradientPair) == alignof(std::uint32_t));
  PartitionScratch scratch = take_partition_scratch(n * (sizeof(core::GradientPair) + sizeof(std::uint32_t)));
  core::GradientPair* const pairs = reinterpret_cast<core::GradientPair*>(scratch.bytes.get());
  std::uint32_t* const routed = reinterpret_cast<std::uint32_t*>(scratch.bytes.get() + n * sizeof(core::GradientPair));
  std::vector<std::size_t> left_counts(block_count);
  parallel::parallel_for_chunks(
      n, block_size,
      [&](std::size_t first, std::size_t last) {
        std::uint32_t* out = routed + first;
        core::GradientPair* gathered = pairs + first;
        std::size_t front = 0;
        std::size_t back = last - first;
        left_counts[first / block_size] =
            route_with_rule(located, gradients, rows.subspan(first, last - first), split, missing_bin, out,
                            [&](std::uint32_t row, bool left) {
                              const core::GradientPair pair = gradients[row];
                              gathered[front] = pair;
                              gathered[back - 1] = pair;
                              front += left;
                              back -= !left;
                            });
      },
      parallel::kDefaultMinParallel, n / kPartitionRowsPerThread);
  std::size_t total_left = 0;
  for (const std::size_t count : left_counts) total_left += count;

  // The sums are not combined from per-block partial sums: each side is summed in one pass in node
  // row order, exactly as the serial loop does, so the children's statistics (and every leaf value
  // and gain computed from them) do not depend on the blocks. The two sides are assembled at the
  // same time, each copying its rows block by block.
  const auto assemble = [&](bool left) {
    std::pair<std::vector<std::uint32_t>, core::HistogramBin> side;
    side.first = take_row_list(left ? total_left : n - total_left);
    for (std::size_t block = 0; block < block_count; ++block) {
      const std::size_t first = block * block_size;
      const std::size_t length = std::min(block_size, n - first);
      const std::size_t lefts = left_counts[block];
      if (left) {
        side.first.insert(side.first.end(), routed + first, routed + first + lefts);
        for (std::size_t k = first; k < first + lefts; ++k) add_row(side.second, pairs[k]);
      } else {
        side.first.insert(side.first.end(), std::reverse_iterator(routed + first + length),
                          std::reverse_iterator(routed + first + lefts));
        for (std::size_t k = first + length; k > first + lefts; --k) add_row(side.second, pairs[k - 1]);
      }
    }
    side.second.count = support::wrapping_cast<std::uint32_t>(side.first.size());
    return side;
  };
  auto [left, right] = parallel::join([&] { return assemble(true); }, [&] { return assemble(false); });
  recycle_partition_scratch(std::move(scratch));
  core::PartitionResult result;
  result.left_rows = std::move(left.first);
  result.left_stats = left.second;
  result.right_rows = std::move(right.first);
  result.right_stats = right.second;
  return result;
}

}  // namespace

std::size_t partition_chunk_size(std::size_t rows, std::size_t threads) {
  return std::max(rows / std::max<std::size_t>(threads, 1), kMinPartitionChunk);
}

core::PartitionResult partition_rows(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                     std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                     std::size_t chunk_size) {
  const bool column_major = !binned.bins_column_major.empty();
  const core::BinStorage& source = column_major ? binned.bins_column_major : binned.bins;
  return source.visit([&](auto codes) {
    const auto located = locate_feature_codes(binned, codes, column_major, split.feature_index, gradients.size());
    if (chunk_size == 0 || rows.empty()) {
      return partition_serially(located, gradients, rows, split, binned.missing_bin);
    }
    return partition_in_blocks(located, gradients, rows, split, binned.missing_bin, chunk_size);
  });
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
  // A pool of one thread would route one chunk: the serial loop gives the same result without
  // gathering the gradient pairs.
  const std::size_t threads = parallel::current_num_threads();
  const std::size_t chunk_size =
      rows >= kParallelPartitionRows && threads > 1 ? partition_chunk_size(rows, threads) : 0;
  return partition_rows(binned, gradients, node.row_indices, split, chunk_size);
}

}  // namespace kestrune::backend_cpu
