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

// Rows ahead whose codes and gradient pair are fetched while the current rows are routed: a
// node's rows lie scattered over the matrix, and each one would otherwise wait for its cache misses.
// One group ahead: fetching further ahead gained nothing on one thread and lost 10-20% on eight,
// where the rows' reads share the memory bandwidth.
constexpr std::size_t kPrefetchRows = 32;

// Rows whose sides are all decided before the first of them is stored. Some cores hold every load
// back until the addresses of all older stores are known, and the slot a row is stored at depends
// on the sides of the rows before it: reading a row's index and code after the previous row's
// store would make every row wait for the previous row's code to arrive, a memory round trip per
// row. The group's sides are read first, into one register; its stores then depend on nothing
// still in flight, and the loads wait once per group.
constexpr std::size_t kGroupRows = 32;

[[noreturn]] void row_outside(std::uint32_t row, std::size_t row_limit) {
  support::panic("partition row " + std::to_string(row) + " is outside the " + std::to_string(row_limit) +
                 " rows the gradients and bin codes cover");
}

// Panics on the first of rows[0, count) at or past row_limit.
[[noreturn, gnu::cold, gnu::noinline]] void first_row_outside(const std::uint32_t* rows, std::size_t count,
                                                              std::size_t row_limit) {
  for (std::size_t k = 0; k < count; ++k) {
    if (rows[k] >= row_limit) row_outside(rows[k], row_limit);
  }
  support::panic("a partition group holds no row outside the data");
}

// Fetches the cache line at an address that may lie outside every object: prefetching never faults.
inline void prefetch_address(std::uintptr_t address) { __builtin_prefetch(reinterpret_cast<const void*>(address)); }

// Routes rows[0, n) without a branch on the side: each row is written at the front of `out` when
// it goes left and at the back when it goes right, so the left rows end in order at the front and
// the right rows in reverse order at the back; with kGatherPairs its gradient pair is written at
// the same slot of `out_pairs`. `on_row(left, pair)` sees every row in order. A row outside the
// data panics before any row of its group is stored. kUnitStep: the codes are column-major
// (row_step 1). Returns the number of left rows.
template <bool kGatherPairs, bool kUnitStep, typename Code, typename GoesLeft, typename OnRow>
std::size_t route_block(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                        std::span<const std::uint32_t> rows, GoesLeft&& goes_left, std::uint32_t* out,
                        core::GradientPair* out_pairs, OnRow&& on_row) {
  static_assert(kGroupRows <= 64, "a group's sides fit one 64-bit word");
  const std::size_t n = rows.size();
  const std::uint32_t* const row_data = rows.data();
  const core::GradientPair* const pair_data = gradients.data();
  const std::size_t row_step = kUnitStep ? 1 : located.row_step;
  const std::size_t row_limit = located.row_limit;
  const std::uintptr_t code_base =
      reinterpret_cast<std::uintptr_t>(located.codes.data()) + located.offset * sizeof(Code);
  const std::uintptr_t pair_base = reinterpret_cast<std::uintptr_t>(pair_data);
  std::size_t front = 0;
  const auto route_group = [&](std::size_t first, std::size_t count) {
    if (first + kPrefetchRows + count <= n) {
#pragma GCC unroll 8
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t ahead = row_data[first + kPrefetchRows + k];
        prefetch_address(code_base + ahead * row_step * sizeof(Code));
        prefetch_address(pair_base + ahead * sizeof(core::GradientPair));
      }
    }
    std::uint32_t highest = 0;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < count; ++k) highest = std::max(highest, row_data[first + k]);
    if (highest >= row_limit) [[unlikely]] first_row_outside(row_data + first, count, row_limit);
    std::uint64_t sides = 0;  // bit k: row first + k goes left
#pragma GCC unroll 8
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t row = row_data[first + k];
      sides |= std::uint64_t{goes_left(located.codes[row * row_step + located.offset])} << k;
    }
    // The rows' indices and pairs are read again here: only the slots depend on the sides.
    // The next right slot is n - 1 - (rows routed right so far) = front + (n - 1 - i) for row i:
    // the slot is chosen by a mask, not by a branch the sides would mispredict.
    std::size_t right_offset = n - 1 - first;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < count; ++k, --right_offset, sides >>= 1) {
      const std::uint32_t row = row_data[first + k];
      const core::GradientPair pair = pair_data[row];
      const std::size_t left = sides & 1u;
      const std::size_t slot = front + ((left - 1) & right_offset);
      out[slot] = row;
      if constexpr (kGatherPairs) out_pairs[slot] = pair;
      front += left;
      on_row(left != 0, pair);
    }
  };
  std::size_t first = 0;
  for (; first + kGroupRows <= n; first += kGroupRows) route_group(first, kGroupRows);
  if (first < n) route_group(first, n - first);
  return front;
}

// Calls route_block with the split's routing rule for the storage's code width and layout.
template <bool kGatherPairs, typename Code, typename OnRow>
std::size_t route_with_rule(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                            std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                            std::uint16_t missing_bin, std::uint32_t* out, core::GradientPair* out_pairs,
                            OnRow&& on_row) {
  const auto route = [&](auto&& goes_left) {
    if (located.row_step == 1) {
      return route_block<kGatherPairs, true>(located, gradients, rows, goes_left, out, out_pairs, on_row);
    }
    return route_block<kGatherPairs, false>(located, gradients, rows, goes_left, out, out_pairs, on_row);
  };
  if constexpr (sizeof(Code) == 1) {
    const std::array<bool, 256> table = routing_table(split, missing_bin);
    return route([&](Code code) { return table[code]; });
  } else {
    return route([&](Code code) {
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
  // equal those of the side's rows alone without a branch on the side. The three sums of a side
  // are lanes of one vector: lane by lane the additions are the scalar ones.
  using Lanes = float __attribute__((vector_size(16)));
  using LaneBits = std::uint32_t __attribute__((vector_size(16)));
  using Halves = std::uint64_t __attribute__((vector_size(16)));
  Lanes left_sums{};
  Lanes right_sums{};
  const std::size_t left_count = route_with_rule<false>(
      located, gradients, rows, split, missing_bin, buffer.data(), nullptr, [&](bool left, core::GradientPair pair) {
        // {grad, hess, grad * grad, hess * hess}: lane 3's sum is never read.
        const Lanes values = std::bit_cast<Lanes>(Halves{std::bit_cast<std::uint64_t>(pair), 0});
        const Lanes squares = values * values;
        const Lanes row_sums =
            std::bit_cast<Lanes>(Halves{std::bit_cast<Halves>(values)[0], std::bit_cast<Halves>(squares)[0]});
        // All ones for the side the row takes, all zeros (+0.0) for the other: masks, not a branch.
        const LaneBits left_mask = LaneBits{} - static_cast<std::uint32_t>(left);
        const LaneBits bits = std::bit_cast<LaneBits>(row_sums);
        const LaneBits left_bits = bits & left_mask;
        const LaneBits right_bits = bits ^ left_bits;
        left_sums += std::bit_cast<Lanes>(left_bits);
        right_sums += std::bit_cast<Lanes>(right_bits);
      });
  const auto stats_of = [](const Lanes& sums) {
    core::HistogramBin stats;
    stats.grad_sum = sums[0];
    stats.hess_sum = sums[1];
    stats.grad_sq_sum = sums[2];
    return stats;
  };
  const core::HistogramBin left_stats = stats_of(left_sums);
  const core::HistogramBin right_stats = stats_of(right_sums);
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

// One side of a partition in blocks, as assembled.
struct Side {
  std::vector<std::uint32_t> rows;
  core::HistogramBin stats;
  std::vector<core::GradientPair> pairs;
};

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
  // Both live in one kept scratch block: the pairs first, then the rows (no padding is needed,
  // the pairs' alignment is the rows' alignment).
  static_assert(alignof(core::GradientPair) == alignof(std::uint32_t));
  MappedBytes scratch = take_scratch_block(n * (sizeof(core::GradientPair) + sizeof(std::uint32_t)));
  core::GradientPair* const pairs = reinterpret_cast<core::GradientPair*>(scratch.data());
  std::uint32_t* const routed = reinterpret_cast<std::uint32_t*>(scratch.data() + n * sizeof(core::GradientPair));
  std::vector<std::size_t> left_counts(block_count);
  parallel::parallel_for_chunks(
      n, block_size,
      [&](std::size_t first, std::size_t last) {
        left_counts[first / block_size] =
            route_with_rule<true>(located, gradients, rows.subspan(first, last - first), split, missing_bin,
                                  routed + first, pairs + first, [](bool, core::GradientPair) {});
      },
      parallel::kDefaultMinParallel, n / kPartitionRowsPerThread);
  std::size_t total_left = 0;
  for (const std::size_t count : left_counts) total_left += count;

  // The sums are not combined from per-block partial sums: each side is summed in one pass in node
  // row order, exactly as the serial loop does, so the children's statistics (and every leaf value
  // and gain computed from them) do not depend on the blocks. The two sides are assembled at the
  // same time, each copying its rows block by block.
  // The smaller side also keeps its pairs in its row order, for its histograms.
  const bool right_smaller = n - total_left < total_left;
  const auto assemble = [&](bool left) {
    Side side;
    side.rows = take_row_list(left ? total_left : n - total_left);
    const bool keep_pairs = left != right_smaller;
    if (keep_pairs) side.pairs = take_pair_list(side.rows.capacity());
    for (std::size_t block = 0; block < block_count; ++block) {
      const std::size_t first = block * block_size;
      const std::size_t length = std::min(block_size, n - first);
      const std::size_t lefts = left_counts[block];
      if (left) {
        side.rows.insert(side.rows.end(), routed + first, routed + first + lefts);
        for (std::size_t k = first; k < first + lefts; ++k) add_row(side.stats, pairs[k]);
        if (keep_pairs) side.pairs.insert(side.pairs.end(), pairs + first, pairs + first + lefts);
      } else {
        side.rows.insert(side.rows.end(), std::reverse_iterator(routed + first + length),
                         std::reverse_iterator(routed + first + lefts));
        for (std::size_t k = first + length; k > first + lefts; --k) add_row(side.stats, pairs[k - 1]);
        if (keep_pairs) {
          side.pairs.insert(side.pairs.end(), std::reverse_iterator(pairs + first + length),
                            std::reverse_iterator(pairs + first + lefts));
        }
      }
    }
    side.stats.count = support::wrapping_cast<std::uint32_t>(side.rows.size());
    return side;
  };
  auto [left, right] = parallel::join([&] { return assemble(true); }, [&] { return assemble(false); });
  recycle_scratch_block(std::move(scratch));
  core::PartitionResult result;
  result.left_rows = std::move(left.rows);
  result.left_stats = left.stats;
  result.right_rows = std::move(right.rows);
  result.right_stats = right.stats;
  result.smaller_side_pairs = std::move(right_smaller ? right.pairs : left.pairs);
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
